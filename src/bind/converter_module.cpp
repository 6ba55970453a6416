// zarn_data_access.converter: the conversion front end. The option classes
// that describe a conversion, and WbnConverter, which runs the converter
// program with them on a worker thread, passes its progress to a callback and
// hands its result back through a future.
//
// The module takes the interpreter's process, file and thread facilities as
// module attributes when it loads and looks them up at each use, as a Python
// module's globals are.
#include <nanobind/nanobind.h>

#include <cstdint>
#include <exception>
#include <initializer_list>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "conversion/conversion.hpp"
#include "signatures.hpp"
#include "support.hpp"

namespace nb = nanobind;
using namespace nb::literals;
namespace conv = zarn::conversion;

namespace {

using zarn::py::checked;
using zarn::py::compare;
using zarn::py::GetterSignature;
using zarn::py::SetterSignature;
using zarn::py::truth;

nb::handle g_module;

nb::object global(const char *name) { return g_module.attr(name); }

nb::object bit_and(nb::handle a, nb::handle b) { return checked(PyNumber_And(a.ptr(), b.ptr())); }

nb::str text(const char *s) { return nb::str(s); }

// Raises WbnConverterException with one argument, the message.
[[noreturn]] void raise_conversion_error(nb::handle message) {
    nb::object type = global("WbnConverterException");
    nb::object error = type(message);
    PyErr_SetObject(type.ptr(), error.ptr());
    throw nb::python_error();
}

[[noreturn]] void raise_conversion_error(const char *message) { raise_conversion_error(text(message)); }

// Runs f and drops any failure: for clean-up steps that must not stop the
// ones after them.
template <typename F>
void quietly(F &&f) noexcept {
    try {
        f();
    } catch (...) {}
}

// ------------------------------------------------------------ option classes

struct OptionField {
    const char *property;
    nb::object default_value;
    const char *doc;   // the property's docstring
    const char *type;  // the property's Python type
};

// A plain class whose properties read the object's own value, or else the
// class attribute that holds the default, under the field's class-qualified
// name, and write the object's own value; `doc` is its docstring.
void define_option_class(nb::module_ &m, const char *name, const char *doc, std::vector<OptionField> fields) {
    nb::dict namespace_;
    namespace_["__module__"] = nb::getattr(m, "__name__");
    namespace_["__qualname__"] = name;
    namespace_["__doc__"] = doc;
    for (OptionField &field : fields) {
        const std::string stored = std::string("_") + name + "__" + field.property;
        namespace_[stored.c_str()] = std::move(field.default_value);
        const GetterSignature getter_signature(field.property, field.type);
        const SetterSignature setter_signature(field.property, field.type);
        nb::object getter = nb::cpp_function([stored](nb::handle self) { return nb::getattr(self, stored.c_str()); },
                                             nb::name(field.property), "self"_a, getter_signature.sig(), field.doc);
        nb::object setter = nb::cpp_function(
            [stored](nb::handle self, nb::handle value) { nb::setattr(self, stored.c_str(), value); },
            nb::name(field.property), "self"_a, nb::arg(field.property).none(), setter_signature.sig());
        namespace_[field.property] =
            nb::handle(reinterpret_cast<PyObject *>(&PyProperty_Type))(getter, setter, nb::none(), field.doc);
    }
    nb::handle type_type(reinterpret_cast<PyObject *>(&PyType_Type));
    m.attr(name) =
        type_type(name, nb::make_tuple(nb::handle(reinterpret_cast<PyObject *>(&PyBaseObject_Type))), namespace_);
}

// ------------------------------------------------------------ the converter

// One conversion run. Its cancelled flag and its process are its own, so that
// a run that is ending never acts on the next one.
struct Run {
    Run(uint64_t number, bool overwrite) : number(number), overwrite(overwrite) {}
    const uint64_t number;
    // The caller let the program replace a file already at the destination.
    const bool overwrite;
    // A file at the destination that this run must leave alone: it was there
    // before the program started, and the program was not let replace it.
    bool keep_destination = true;
    bool cancelled = false;  // guarded by Converter::mutex
    nb::object process;      // guarded; unset until the program has started
    nb::object pool;         // the pool the run was submitted to, if any
};

// The run state of one WbnConverter. The object's fields under their
// class-qualified names (_WbnConverter__is_converting and so on) show this
// state; they are written under the same lock.
struct Converter {
    // Recursive: the holder runs interpreter code (a field's setattr, the
    // pool's factory and submit) that may call cancel() or convert() on the
    // same object from the same thread, which must not wait for itself.
    zarn::py::ThreadLock mutex{"converter", false};
    std::shared_ptr<Run> current;  // the run that holds the busy flag
    nb::object executor;           // the worker pool, or unset
    uint64_t runs = 0;             // number of the newest run
};

// Takes the converter's lock. Another thread may hold it while it runs
// interpreter code, so the wait happens without the interpreter lock.
class StateLock {
public:
    explicit StateLock(zarn::py::ThreadLock &mutex) : mutex_(mutex) { mutex_.lock(); }
    ~StateLock() { mutex_.unlock(); }
    StateLock(const StateLock &) = delete;
    StateLock &operator=(const StateLock &) = delete;

private:
    zarn::py::ThreadLock &mutex_;
};

Converter &state_of(nb::handle self) { return nb::cast<Converter &>(self); }

// Shows the run state in the object's field. Best effort: a field that
// cannot be written never stops a kill, a reap or a shutdown.
void set_field(nb::handle self, const char *field, nb::handle value) {
    quietly([&] { nb::setattr(self, (std::string("_WbnConverter__") + field).c_str(), value); });
}

void show_busy(nb::handle self, bool busy) { set_field(self, "is_converting", nb::bool_(busy)); }

void kill_if_running(nb::handle process) {
    if (process.attr("poll")().is_none()) process.attr("kill")();
}

// Shuts a pool down without waiting, dropping a task it has not started.
void shut_down(nb::handle pool) {
    if (!pool.is_valid() || pool.is_none()) return;
    const int minor = nb::cast<int>(global("sys").attr("version_info").attr("minor"));
    if (minor > 8)
        pool.attr("shutdown")("wait"_a = false, "cancel_futures"_a = true);
    else
        pool.attr("shutdown")("wait"_a = false);
}

// A line of output as text; `bytes` is given the line's bytes, empty at the
// end of the stream.
nb::object decode_line(nb::handle raw, std::string_view &bytes) {
    char *data = nullptr;
    Py_ssize_t size = 0;
    if (PyBytes_AsStringAndSize(raw.ptr(), &data, &size) != 0) throw nb::python_error();
    bytes = std::string_view(data, size_t(size));
    return checked(PyUnicode_DecodeUTF8(data, size, "strict"));
}

// One progress value to the callback. Nothing here may stop the run: a line
// that is no number, a failing property or a failing callback is passed over.
void report_progress(nb::handle self, const std::string &value_text) {
    quietly([&] {
        nb::object value_str =
            checked(PyUnicode_DecodeUTF8(value_text.data(), Py_ssize_t(value_text.size()), "strict"));
        nb::object value = checked(PyFloat_FromString(value_str.ptr()));
        if (!nb::getattr(self, "progress_report_callback").is_none())
            nb::getattr(self, "progress_report_callback")(value);
    });
}

// The command line that the program's C runtime splits back into the given
// arguments (text, bytes or path objects). Text that is not valid Unicode
// (lone surrogates) passes through unchanged.
nb::object windows_command_line_of(nb::handle arguments) {
    nb::object fsdecode = global("os").attr("fsdecode");
    std::vector<std::string> args;
    for (nb::handle argument : arguments) {
        nb::object decoded = fsdecode(argument);
        nb::object utf8 = checked(PyUnicode_AsEncodedString(decoded.ptr(), "utf-8", "surrogatepass"));
        args.emplace_back(PyBytes_AS_STRING(utf8.ptr()), size_t(PyBytes_GET_SIZE(utf8.ptr())));
    }
    const std::string line = conv::windows_command_line(args);
    return checked(PyUnicode_DecodeUTF8(line.data(), Py_ssize_t(line.size()), "surrogatepass"));
}

// Starts the program with its standard output piped and its standard error
// sent to `stderr_io`. No handle of this process passes to the child but its
// own three.
nb::object start_program(nb::handle cmd_and_params, nb::handle stderr_io) {
    nb::object subprocess = global("subprocess");
#ifdef _WIN32
    // Handed over as one command line, quoted for the program's C runtime.
    nb::object args = windows_command_line_of(cmd_and_params);
#else
    nb::object args = nb::borrow(cmd_and_params);
#endif
    try {
        nb::object popen = nb::getattr(subprocess, "Popen");
        nb::object pipe = nb::getattr(subprocess, "PIPE");
        return popen(args, "stdout"_a = pipe, "stderr"_a = stderr_io, "close_fds"_a = true);
    } catch (nb::python_error &e) {
        if (e.matches(PyExc_FileNotFoundError)) raise_conversion_error(conv::kStartFailureMessage);
        throw;
    }
}

bool is_newest(Converter &c, const Run &run) { return run.number == c.runs; }

bool cancelled(Converter &c, const Run &run) {
    StateLock lock(c.mutex);
    return run.cancelled;
}

// The guarded part of a run: reads the program's output until it ends and
// the program has exited. Progress goes to the callback; the result block's
// lines become the result text. Output on standard error fails the run, and
// so does a non-zero exit code when no whole result block was written.
nb::object read_output(nb::handle self, Run &run, nb::handle stderr_io, nb::object &exit_code) {
    nb::handle process = run.process;
    conv::OutputProtocol protocol;
    nb::list result_lines;
    nb::object readline = process.attr("stdout").attr("readline");
    for (;;) {
        std::string_view bytes;
        nb::object raw = readline();
        nb::object line = decode_line(raw, bytes);
        if (bytes.empty()) break;
        const conv::LineUse use = protocol.feed(bytes);
        if (use.progress) report_progress(self, conv::without_crlf_pairs(bytes));
        if (use.result) result_lines.append(line);
    }
    process.attr("wait")();

    nb::list error_lines;
    stderr_io.attr("seek")(0);
    for (;;) {
        std::string_view bytes;
        nb::object raw = stderr_io.attr("readline")();
        nb::object line = decode_line(raw, bytes);
        if (bytes.empty()) break;
        error_lines.append(line);
    }
    exit_code = process.attr("returncode");

    nb::object linesep = global("os").attr("linesep");
    nb::object result = checked(PyUnicode_Join(linesep.ptr(), result_lines.ptr()));
    {
        Converter &c = state_of(self);
        StateLock lock(c.mutex);
        if (is_newest(c, run)) set_field(self, "conversion_result", result);
    }
    if (nb::len(error_lines) != 0) raise_conversion_error(checked(PyUnicode_Join(linesep.ptr(), error_lines.ptr())));
    if (compare(exit_code, nb::int_(0), Py_NE) && !protocol.has_result_block()) {
        nb::str message = nb::str("wbnc.exe ended with exit code {} and wrote no conversion result.").format(exit_code);
        raise_conversion_error(message);
    }
    return result;
}

// Ends a run's hold on the converter: the busy flag, the pool it was given,
// and the shown cancelled flag once a cancellation has been reported.
// Returns the pool to shut down and whether the run was cancelled.
std::pair<nb::object, bool> release(nb::handle self, Run &run) {
    Converter &c = state_of(self);
    StateLock lock(c.mutex);
    nb::object pool;
    if (c.current.get() == &run) {
        c.current.reset();
        show_busy(self, false);
    }
    if (run.pool.is_valid() && c.executor.is(run.pool)) {
        pool = std::move(c.executor);
        set_field(self, "executor", nb::none());
    }
    if (run.cancelled && is_newest(c, run)) set_field(self, "is_cancelled", nb::bool_(false));
    return {std::move(pool), run.cancelled};
}

// Whether the destination is a file the run must not delete. When that
// cannot be told, the file is kept.
bool must_keep_destination(const Run &run, nb::handle dest_file_path) {
    if (run.overwrite) return false;
    bool exists = true;
    quietly([&] { exists = truth(global("os").attr("path").attr("lexists")(dest_file_path)); });
    return exists;
}

// Kills the program if it still runs, reaps it and closes its pipe. After an
// unexpected failure, a program that had to be killed may have left a partial
// destination file: it is deleted, unless the run was cancelled or the file
// is the caller's own from before the run.
void end_program(Converter &c, Run &run, nb::handle exit_code, nb::handle dest_file_path) {
    nb::handle process = run.process;
    bool still_running = false;
    quietly([&] { still_running = process.attr("poll")().is_none(); });
    if (still_running) {
        quietly([&] {
            process.attr("kill")();
            process.attr("wait")();
        });
    }
    quietly([&] { process.attr("stdout").attr("close")(); });
    if (!still_running || run.keep_destination || !compare(exit_code, nb::int_(0), Py_NE)) return;
    // The file may stay locked for a moment after the program has gone.
    for (int attempt = 0; attempt < 100 && !cancelled(c, run); ++attempt) {
        try {
            global("os").attr("remove")(dest_file_path);
            return;
        } catch (const nb::python_error &) {}
        quietly([&] { global("time").attr("sleep")(0.1); });
    }
}

// One run, on the worker thread (or the caller's, when __execute is called
// directly). Returns the result text or raises the run's failure.
nb::object execute(nb::handle self, const std::shared_ptr<Run> &run, nb::handle cmd_and_params,
                   nb::handle dest_file_path) {
    Converter &c = state_of(self);
    if (cancelled(c, *run)) {
        // Cancelled before the program started: it never starts.
        quietly([&] { shut_down(release(self, *run).first); });
        raise_conversion_error("Cancelled.");
    }

    nb::object stderr_io;
    try {
        stderr_io = global("tempfile").attr("TemporaryFile")();
        // Noted before the program can create or replace the file.
        run->keep_destination = must_keep_destination(*run, dest_file_path);
        nb::object process = start_program(cmd_and_params, stderr_io);
        StateLock lock(c.mutex);
        run->process = std::move(process);
        if (is_newest(c, *run)) set_field(self, "process", run->process);
    } catch (...) {
        if (stderr_io.is_valid()) quietly([&] { stderr_io.attr("close")(); });
        StateLock lock(c.mutex);
        if (c.current == run) {
            c.current.reset();
            show_busy(self, false);
        }
        throw;
    }
    // A cancel that came while the program was being started.
    if (cancelled(c, *run)) quietly([&] { kill_if_running(run->process); });

    nb::object exit_code = nb::int_(0);
    nb::object result;
    std::exception_ptr failure;
    try {
        result = read_output(self, *run, stderr_io, exit_code);
    } catch (nb::python_error &e) {
        if (PyObject_IsInstance(e.value().ptr(), global("WbnConverterException").ptr()) == 1 ||
            !e.matches(PyExc_Exception)) {
            failure = std::current_exception();
        } else {
            exit_code = nb::int_(1);
            try {
                nb::object reason = checked(PyObject_Str(e.value().ptr()));
                raise_conversion_error(checked(PyUnicode_Concat(text("Command interrupted. ").ptr(), reason.ptr())));
            } catch (...) {
                failure = std::current_exception();
            }
        }
    } catch (const std::exception &e) {
        exit_code = nb::int_(1);
        try {
            raise_conversion_error((std::string("Command interrupted. ") + e.what()).c_str());
        } catch (...) {
            failure = std::current_exception();
        }
    }
    quietly([&] { stderr_io.attr("close")(); });

    end_program(c, *run, exit_code, dest_file_path);
    auto released = release(self, *run);
    quietly([&] { shut_down(released.first); });
    if (released.second) raise_conversion_error("Cancelled.");
    if (failure) std::rethrow_exception(failure);
    return result;
}

// Accepts a run and submits it to the worker pool; returns its future.
// `overwrite`: the program may replace a file already at the destination.
nb::object submit_run(nb::handle self, nb::handle args, nb::handle dest_path, bool overwrite) {
    nb::list params;
    params.append(text(conv::kProgramName));
    params.attr("extend")(args);

    Converter &c = state_of(self);
    nb::object future, broken_pool;
    std::exception_ptr failure;
    {
        StateLock lock(c.mutex);
        if (c.current) raise_conversion_error("Already converting.");
        auto run = std::make_shared<Run>(++c.runs, overwrite);
        c.current = run;
        try {
            show_busy(self, true);
            set_field(self, "is_cancelled", nb::bool_(false));
            if (!c.executor.is_valid()) {
                c.executor = global("ThreadPoolExecutor")(1);
                set_field(self, "executor", c.executor);
            }
            // A cancel() from the executor field's setattr has taken the pool.
            if (!c.executor.is_valid()) raise_conversion_error("Cancelled.");
            run->pool = c.executor;
            nb::object task = nb::cpp_function([self = nb::borrow(self), run, params, dest = nb::borrow(dest_path)] {
                return execute(self, run, params, dest);
            });
            future = c.executor.attr("submit")(task);
        } catch (...) {
            // Not accepted after all: the object is free again, and the pool,
            // which may be the cause, is dropped.
            failure = std::current_exception();
            if (c.current == run) {
                c.current.reset();
                show_busy(self, false);
            }
            broken_pool = std::move(c.executor);
            set_field(self, "executor", nb::none());
        }
    }
    if (failure) {
        quietly([&] { shut_down(broken_pool); });
        std::rethrow_exception(failure);
    }
    return future;
}

void cancel(nb::handle self) {
    Converter &c = state_of(self);
    nb::object process, pool;
    {
        StateLock lock(c.mutex);
        if (!c.current) return;
        std::shared_ptr<Run> run = std::move(c.current);
        run->cancelled = true;
        process = run->process;
        pool = std::move(c.executor);
        show_busy(self, false);
        set_field(self, "is_cancelled", nb::bool_(true));
        set_field(self, "executor", nb::none());
    }
    // A run whose program has not started yet sees the flag and never starts it.
    if (process.is_valid()) quietly([&] { kill_if_running(process); });
    quietly([&] { shut_down(pool); });
}

// -------------------------------------------------------------- command line

nb::object tree(nb::handle self) { return nb::getattr(self, "_WbnConverter__convert_options"); }

bool equals_none(nb::handle o) { return compare(o, nb::none(), Py_EQ); }

// The flags of one kind restriction: none when the value is the `ALL` member,
// else one per member whose bit is set. Every read starts at the tree.
template <typename Read>
void restriction(const char *enumeration, Read read, std::initializer_list<std::pair<const char *, bool *>> members) {
    if (!compare(read(), global(enumeration).attr("ALL"), Py_NE)) return;
    for (const auto &[member, flag] : members) *flag = truth(bit_and(read(), global(enumeration).attr(member)));
}

// Returns whether `overwrite` was true, tested once.
bool add_option_string(nb::handle self, nb::handle arrays, nb::handle overwrite) {
    conv::OptionValues v;
    if (equals_none(tree(self))) throw zarn::Misuse("convert_options is null.");
    v.overwrite = truth(overwrite);
    if (equals_none(tree(self).attr("qual_options"))) throw zarn::Misuse("qual_options is null.");
    if (equals_none(tree(self).attr("quan_options"))) throw zarn::Misuse("quan_options is null.");
    v.keep_only_ms1_spectra = truth(tree(self).attr("qual_options").attr("keep_only_ms1_spectra"));
    v.keep_profile_spectra = truth(tree(self).attr("qual_options").attr("keep_profile_spectra"));
    restriction("QuanAnalysisTypes",
                [&]() -> nb::object { return tree(self).attr("quan_options").attr("desired_quan_analysis_type"); },
                {{"SRM", &v.srm}, {"SIM", &v.sim}});
    // The readers return owned objects: an attribute accessor would outlive
    // the object it was taken from.
    restriction("AnalysisTypes", [&]() -> nb::object { return tree(self).attr("desired_analysis_type"); },
                {{"QUAL", &v.qual}, {"QUAN", &v.quan}, {"DAD", &v.dad}, {"ANALOG", &v.analog}});
    v.force_split_by_measurement = truth(tree(self).attr("additional_options").attr("force_split_by_measurement"));
    v.keep_last_ms_function_in_mse =
        truth(tree(self).attr("manufacturer_options").attr("waters_options").attr("keep_last_ms_function_in_mse"));
    v.use_shimadzu_post_processing =
        truth(tree(self).attr("manufacturer_options").attr("shimadzu_options").attr("use_shimadzu_post_processing"));
    for (const char *flag : conv::option_flags(v)) arrays.attr("append")(text(flag));
    return v.overwrite;
}

nb::object convert(nb::handle self, nb::handle source_file_paths, nb::handle destination_file_path,
                   nb::handle overwrite) {
    nb::list params;
    // One path as text is one argument; anything else is iterated.
    if (PyUnicode_Check(source_file_paths.ptr()))
        params.append(source_file_paths);
    else
        params.attr("extend")(source_file_paths);
    for (const char *argument : conv::kLeadingArguments) params.append(text(argument));
    params.append(destination_file_path);
    const bool may_replace = add_option_string(self, params, overwrite);
    return submit_run(self, params, destination_file_path, may_replace);
}

// ------------------------------------------------------------------ loading

// The ImportError of `from <source> import <name>` when the module lacks the
// name, worded as the interpreter words it.
[[noreturn]] void raise_cannot_import(nb::handle source, const char *module, const char *name) {
    nb::object module_name = nb::getattr(source, "__name__", text(module));
    if (!PyUnicode_Check(module_name.ptr())) module_name = text(module);
    nb::object path = nb::steal(PyModule_GetFilenameObject(source.ptr()));
    if (!path.is_valid()) PyErr_Clear();
    const bool located = path.is_valid() && PyUnicode_Check(path.ptr());
    nb::object message = located ? checked(PyUnicode_FromFormat("cannot import name %R from %R (%S)", text(name).ptr(),
                                                                module_name.ptr(), path.ptr()))
                                 : checked(PyUnicode_FromFormat("cannot import name %R from %R (unknown location)",
                                                                text(name).ptr(), module_name.ptr()));
    nb::dict details;
    details["name"] = module_name;
    details["path"] = located ? path : nb::none();
#if PY_VERSION_HEX >= 0x030C0000
    details["name_from"] = text(name);
#endif
    nb::object error = nb::handle(PyExc_ImportError)(message, **details);
    PyErr_SetObject(PyExc_ImportError, error.ptr());
    throw nb::python_error();
}

// `from <module> import <names>`, onto the module's attributes.
void import_from(nb::module_ &m, const char *module, std::initializer_list<const char *> names) {
    nb::list from_list;
    for (const char *name : names) from_list.append(text(name));
    nb::object source = checked(PyImport_ImportModuleLevel(module, nullptr, nullptr, from_list.ptr(), 0));
    for (const char *name : names) {
        PyObject *value = PyObject_GetAttrString(source.ptr(), name);
        if (!value) {
            if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw nb::python_error();
            PyErr_Clear();
            raise_cannot_import(source, module, name);
        }
        m.attr(name) = nb::steal(value);
    }
}

void load(nb::module_ &m) {
    zarn::py::init_module_support();
    g_module = m.inc_ref();

    import_from(m, "concurrent.futures", {"ThreadPoolExecutor"});
    import_from(m, "zarn_data_access.exception", {"WbnConverterException"});
    import_from(m, "zarn_data_access.common", {"QuanAnalysisTypes", "AnalysisTypes"});
    for (const char *name : {"os", "subprocess", "sys", "tempfile", "time"}) m.attr(name) = nb::module_::import_(name);

    // Defaults are made in order; object defaults are made from the classes
    // defined before, through the module's attributes, and shared by every
    // holder that has no value of its own.
    nb::object no = nb::bool_(false);
    define_option_class(m, "QualOptions", "The conversion options of qualitative data: which spectra to keep.",
                        {{"keep_profile_spectra", no, "Whether profile spectra are kept (default False).", "bool"},
                         {"keep_only_ms1_spectra", no, "Whether only MS1 spectra are kept (default False).", "bool"}});
    define_option_class(m, "QuanOptions", "The conversion options of quantitative data: which analyses to convert.",
                        {{"desired_quan_analysis_type", global("QuanAnalysisTypes").attr("ALL"),
                          "The quantitative analyses (SIM, SRM) to convert, QuanAnalysisTypes flags (default ALL).",
                          "zarn_data_access.common.QuanAnalysisTypes"}});
    define_option_class(m, "ShimadzuOptions", "A maker-specific conversion option: the maker's post-processing.",
                        {{"use_shimadzu_post_processing", no,
                          "Whether the maker's post-processing is applied (default False).", "bool"}});
    define_option_class(m, "WatersOptions", "A maker-specific conversion option: the last MS function of MSE data.",
                        {{"keep_last_ms_function_in_mse", no,
                          "Whether the last MS function in MSE data is kept (default False).", "bool"}});
    define_option_class(m, "ManufacturerOptions", "The maker-specific conversion options.",
                        {{"shimadzu_options", global("ShimadzuOptions")(),
                          "The ShimadzuOptions (by default one object shared by every holder).",
                          "zarn_data_access.converter.ShimadzuOptions"},
                         {"waters_options", global("WatersOptions")(),
                          "The WatersOptions (by default one object shared by every holder).",
                          "zarn_data_access.converter.WatersOptions"}});
    define_option_class(m, "AdditionalOptions", "Further conversion options.",
                        {{"force_split_by_measurement", no,
                          "Whether the conversion is forced to split by measurement (default False).", "bool"}});
    define_option_class(
        m, "ConvertOptions", "The root of the conversion options.",
        {{"qual_options", global("QualOptions")(), "The QualOptions (by default one object shared by every holder).",
          "zarn_data_access.converter.QualOptions"},
         {"quan_options", global("QuanOptions")(), "The QuanOptions (by default one object shared by every holder).",
          "zarn_data_access.converter.QuanOptions"},
         {"manufacturer_options", global("ManufacturerOptions")(),
          "The ManufacturerOptions (by default one object shared by every holder).",
          "zarn_data_access.converter.ManufacturerOptions"},
         {"desired_analysis_type", global("AnalysisTypes").attr("ALL"),
          "The kinds of analysis (QUAL, QUAN, DAD, ANALOG) to convert, AnalysisTypes flags (default ALL).",
          "zarn_data_access.common.AnalysisTypes"},
         {"additional_options", global("AdditionalOptions")(),
          "The AdditionalOptions (by default one object shared by every holder).",
          "zarn_data_access.converter.AdditionalOptions"}});

    nb::class_<Converter> converter(
        m, "WbnConverter",
        "Converts raw files into a Zarn file with the converter program on a worker thread; works only on Windows.",
        nb::dynamic_attr(), nb::is_weak_referenceable());
    converter.attr("_WbnConverter__executor") = nb::none();
    converter.attr("_WbnConverter__process") = nb::none();
    converter.attr("_WbnConverter__conversion_result") = nb::str("");
    converter.attr("_WbnConverter__convert_options") = global("ConvertOptions")();
    converter.attr("_WbnConverter__progress_report_callback") = nb::none();
    converter.attr("_WbnConverter__is_converting") = no;
    converter.attr("_WbnConverter__is_cancelled") = no;
    converter
        .def("__init__",
             [](Converter *self) {
                 if (compare(global("sys").attr("platform"), text("win32"), Py_NE))
                     raise_conversion_error("WbnConverter works only on Windows.");
                 new (self) Converter();
             })
        .def("convert", &convert, nb::arg("source_file_paths").none(), nb::arg("destination_file_path").none(),
             nb::arg("overwrite").none(),
             nb::sig("def convert(self, source_file_paths: str | collections.abc.Iterable[str], "
                     "destination_file_path: str, overwrite: bool) -> concurrent.futures.Future[str]"),
             "Starts converting the source file or files into the destination; returns a future of the result text.")
        .def(
            "_WbnConverter__add_option_string",
            [](nb::handle self, nb::handle arrays, nb::handle overwrite) {
                add_option_string(self, arrays, overwrite);
            },
            nb::arg("arrays").none(), nb::arg("overwrite").none())
        .def(
            "_WbnConverter__convert",
            [](nb::handle self, nb::handle args, nb::handle dest_path) {
                // Called directly, the run is not known to be let replace an
                // earlier file.
                return submit_run(self, args, dest_path, false);
            },
            nb::arg("args").none(), nb::arg("dest_path").none())
        .def("cancel", &cancel, "Cancels the conversion in progress, if any; returns None.")
        .def(
            "_WbnConverter__execute",
            [](nb::handle self, nb::handle cmd_and_params, nb::handle dest_file_path) {
                // Called directly, a run of its own on the calling thread,
                // outside the busy flag and cancel().
                Converter &c = state_of(self);
                std::shared_ptr<Run> run;
                {
                    StateLock lock(c.mutex);
                    run = std::make_shared<Run>(++c.runs, false);
                }
                return execute(self, run, cmd_and_params, dest_file_path);
            },
            nb::arg("cmd_and_params").none(), nb::arg("dest_file_path").none())
        .def_prop_rw(
            "convert_options", [](nb::handle self) { return nb::getattr(self, "_WbnConverter__convert_options"); },
            [](nb::handle self, nb::handle value) { nb::setattr(self, "_WbnConverter__convert_options", value); },
            nb::for_getter(nb::sig("def convert_options(self) -> zarn_data_access.converter.ConvertOptions")),
            nb::for_setter(nb::arg("convert_options").none()),
            nb::for_setter(nb::sig("def convert_options(self, convert_options: "
                                   "zarn_data_access.converter.ConvertOptions, /) -> None")),
            "The ConvertOptions of the conversions (by default one object shared by every converter).")
        .def_prop_rw(
            "progress_report_callback",
            [](nb::handle self) { return nb::getattr(self, "_WbnConverter__progress_report_callback"); },
            [](nb::handle self, nb::handle value) {
                nb::setattr(self, "_WbnConverter__progress_report_callback", value);
            },
            nb::for_getter(nb::sig("def progress_report_callback(self) -> "
                                   "collections.abc.Callable[[float], object] | None")),
            nb::for_setter(nb::arg("progress_report_callback").none()),
            nb::for_setter(nb::sig("def progress_report_callback(self, progress_report_callback: "
                                   "collections.abc.Callable[[float], object] | None, /) -> None")),
            "The callable given each progress value as a float, or None.");

    // Not part of the interface: the Windows quoting, for the tests.
    m.def("_windows_command_line", &windows_command_line_of, nb::arg("arguments").none());
}

// The module's initialisation. A failure reaches the importer as it is (the
// ImportError of a module or name that cannot be imported, the
// AttributeError of a missing enumeration member), where NB_MODULE would wrap
// it in an ImportError of its own.
int exec_module(PyObject *m) noexcept {
    nb::detail::nb_module_exec(NB_DOMAIN_STR, m);
    try {
        nb::module_ module = nb::borrow<nb::module_>(m);
        load(module);
        return 0;
    } catch (nb::python_error &e) {
        e.restore();
    } catch (const std::exception &e) {
        PyErr_SetString(PyExc_ImportError, e.what());
    } catch (...) {
        PyErr_SetString(PyExc_ImportError, "zarn_data_access.converter could not be initialised");
    }
    return -1;
}

PyModuleDef_Slot module_slots[] = {{Py_mod_exec, (void *)exec_module}, NB_MODULE_SLOTS_2};

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT,     "converter", nullptr, 0, nullptr, module_slots, nullptr, nullptr,
    nb::detail::nb_module_free};

}  // namespace

extern "C" [[maybe_unused]] NB_EXPORT PyObject *PyInit_converter(void);
extern "C" PyObject *PyInit_converter(void) { return PyModuleDef_Init(&module_definition); }
