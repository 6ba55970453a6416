// zarn_data_access.access: the public entry point of the reading side.
//
// ZarnFile opens one file: it creates the file's reader and its jump table
// (header, versions, measurement index), answers the versions and the
// measurement count, hands out a new Measurement per request and closes
// the stream, once. A Measurement reads its function index block when it is
// created, sorts the functions by kind and hands out a new analysis of the
// matching class per request. Both reach the records of the other modules
// through their private members, and the analyses through their class
// factories.
#include <nanobind/nanobind.h>

#include <string_view>

#include "index_objects.hpp"
#include "pyconv.hpp"
#include "reader_object.hpp"
#include "record_fields.hpp"
#include "records/index.hpp"
#include "records/rules.hpp"
#include "signatures.hpp"
#include "support.hpp"

namespace nb = nanobind;
using namespace nb::literals;
using namespace zarn::py;

namespace {

constexpr const char *kOutOfRange = "Index out of range";

// ---------------------------------------------------------------- imports

// What the module takes from the other modules when it loads, kept for the
// life of the interpreter.
struct Imports {
    PyObject *reader_factory = nullptr;      // KxmFileReader._KxmFileReader__create_instance
    PyObject *jump_table_factory = nullptr;  // JumpTable._JumpTable__create_instance
    // The analysis factories, by function kind.
    PyObject *analysis_factory[zarn::kFunctionKindCount] = {};
};
Imports imports;

using Kind = zarn::FunctionKind;

nb::object factory_of(nb::handle cls) {
    std::string name = "_";
    name.append(nb::str(cls.attr("__name__")).c_str()).append("__create_instance");
    return cls.attr(name.c_str());
}

// The analysis classes of qual and quan, taken as module attributes.
void import_analyses(nb::module_ &m) {
    struct Source {
        const char *module, *name;
        Kind kind;
    };
    static constexpr Source sources[] = {{"zarn_data_access.qual", "QualAnalysis", Kind::Qual},
                                         {"zarn_data_access.qual", "DADAnalysis", Kind::Dad},
                                         {"zarn_data_access.quan", "QuanAnalysis", Kind::Quan},
                                         {"zarn_data_access.quan", "AnalogAnalysis", Kind::Analog}};
    for (const Source &s : sources) {
        nb::object cls = nb::module_::import_(s.module).attr(s.name);
        m.attr(s.name) = cls;
        imports.analysis_factory[size_t(s.kind)] = factory_of(cls).release().ptr();
    }
}

// ---------------------------------------------------------------- ZarnFile

// Closes the reader's stream unless it is closed already.
void close_stream(nb::handle reader) {
    nb::object stream = private_field<zarn::Reader>(reader, "_KxmFileReader__stream", [](zarn::Reader &r) {
        return static_cast<zarn::py::StreamSource &>(r.source()).closing();
    });
    const nb::object closed = stream.attr("closed");
    if (!nb::cast<bool>(nb::bool_(closed))) stream.attr("close")();
}

// Finalisation and failure paths close the stream without raising: a
// failure of the close itself is reported as unraisable, and an exception
// already in flight is left as it was.
void close_stream_quietly(nb::handle reader, const char *context) noexcept {
    if (!reader.is_valid()) return;
    or_unraisable(context, [&] { close_stream(reader); });
}

struct FileObject {
    nb::object file_path, reader, jump_table;

    FileObject(nb::object file_path, nb::object reader, nb::object jump_table)
        : file_path(std::move(file_path)), reader(std::move(reader)), jump_table(std::move(jump_table)) {}
    FileObject(const FileObject &) = delete;
    FileObject &operator=(const FileObject &) = delete;
    ~FileObject() { close_stream_quietly(reader, "ZarnFile finalisation"); }

    static constexpr const char *kName = "ZarnFile";
    bool cleared() const { return !jump_table.is_valid(); }
    // A field of the jump table, as its property answers it.
    nb::object table(const char *name, int64_t zarn::JumpTable::*field) {
        return private_field<JumpTableObject>(ready(*this).jump_table, name,
                                              [field](JumpTableObject &t) { return nb::int_(t.rec().*field); });
    }
    nb::object measurement_index_list() {
        return private_field<JumpTableObject>(ready(*this).jump_table, "_JumpTable__measurement_index_list",
                                              [](JumpTableObject &t) { return or_none(t.measurement_index_list); });
    }

    int traverse(visitproc visit, void *arg) const { return visit_objects(visit, arg, file_path, reader, jump_table); }
    // Garbage collection of a cycle through the handle closes the stream
    // before the reader goes.
    void clear() {
        close_stream_quietly(reader, "ZarnFile finalisation");
        reset_objects(file_path, reader, jump_table);
    }
};

// The open sequence. A failure after the reader has opened the file closes
// the stream before the failure reaches the caller; the handle is then
// never made, so there is nothing for finalisation to do.
void open_file(FileObject *self, nb::handle file_path) {
    nb::object reader = nb::handle(imports.reader_factory)(file_path);
    nb::object jump_table;
    try {
        jump_table = nb::handle(imports.jump_table_factory)(reader);
    } catch (...) {
        close_stream_quietly(reader, "closing a Zarn file that failed to open");
        throw;
    }
    new (self) FileObject(nb::borrow(file_path), std::move(reader), std::move(jump_table));
}

// The three parts of a version, each as the jump table's field of that name.
struct VersionFields {
    const char *names[3];
    int64_t zarn::JumpTable::*fields[3];
};
constexpr VersionFields kFileFormatVersion = {
    {"_JumpTable__major_version", "_JumpTable__minor_version", "_JumpTable__revision_version"},
    {&zarn::JumpTable::major_version, &zarn::JumpTable::minor_version, &zarn::JumpTable::revision_version}};
constexpr VersionFields kConverterVersion = {
    {"_JumpTable__major_lib_version", "_JumpTable__minor_lib_version", "_JumpTable__revision_lib_version"},
    {&zarn::JumpTable::major_lib_version, &zarn::JumpTable::minor_lib_version, &zarn::JumpTable::revision_lib_version}};

nb::str version_text(FileObject &o, const VersionFields &v) {
    const nb::object a = o.table(v.names[0], v.fields[0]), b = o.table(v.names[1], v.fields[1]),
                     c = o.table(v.names[2], v.fields[2]);
    const nb::str dot(".");
    return join_str({a, dot, b, dot, c});
}

nb::object measurement_count(FileObject &o) {
    return o.table("_JumpTable__num_measurements", &zarn::JumpTable::num_measurements);
}

// Out of range: below 0, or at or past `length`, by the interpreter's
// comparisons.
bool out_of_range(nb::handle index, nb::handle length) {
    const nb::int_ zero(0);
    return compare(index, zero, Py_LT) || compare(index, length, Py_GE);
}

nb::object item(nb::handle list, nb::handle index) {
    PyObject *entry = PyObject_GetItem(list.ptr(), index.ptr());
    if (!entry) throw nb::python_error();
    return nb::steal(entry);
}

// ---------------------------------------------------------------- Measurement

struct MeasurementObject {
    nb::object measurement_index, index;
    nb::object lists[zarn::kFunctionKindCount];  // FunctionIndex objects of each kind, in block order

    static constexpr const char *kName = "Measurement";
    bool cleared() const { return !measurement_index.is_valid(); }
    int traverse(visitproc visit, void *arg) const {
        return visit_objects(visit, arg, measurement_index, index, lists[0], lists[1], lists[2], lists[3]);
    }
    void clear() { reset_objects(measurement_index, index, lists[0], lists[1], lists[2], lists[3]); }
};

// The kind of a function index's function.
Kind kind_of(nb::handle function_index) {
    FunctionIndexObject *entry = as<FunctionIndexObject>(function_index);
    FunctionDescriptionObject *description = entry ? entry->description() : nullptr;
    if (!description) throw nb::type_error("a FunctionIndex with its description is required");
    return zarn::function_kind(description->rec());
}

// Reads the function index block at the measurement's position and appends
// one FunctionIndex per function to the list of its kind.
void read_measurement(MeasurementObject &o, nb::handle reader_object) {
    const ReaderUse use(reader_object);
    zarn::Reader &reader = use.reader();
    const int64_t position = measurement_index_position(o.measurement_index);
    zarn::read_function_index_block(reader, position, [&](int64_t function_position) {
        nb::object function_index = make_function_index(reader_object, function_position);
        if (PyList_Append(o.lists[size_t(kind_of(function_index))].ptr(), function_index.ptr()) != 0)
            throw nb::python_error();
    });
}

nb::object create_measurement(nb::handle measurement_index, nb::handle index) {
    return create<MeasurementObject>([&](MeasurementObject &o) {
        o.measurement_index = nb::borrow(measurement_index);
        o.index = nb::borrow(index);
        for (nb::object &list : o.lists) list = nb::list();
        nb::object reader = measurement_index_reader(measurement_index);
        read_measurement(o, reader);
    });
}

nb::object description_field(MeasurementObject &o, size_t field) {
    nb::object description = measurement_index_description(ready(o).measurement_index);
    return record_field<MeasurementDescriptionObject>(description, field);
}

nb::int_ analysis_count(MeasurementObject &o, Kind kind) {
    const Py_ssize_t n = PyObject_Length(ready(o).lists[size_t(kind)].ptr());
    if (n < 0) throw nb::python_error();
    return nb::int_(n);
}

nb::object get_analysis(MeasurementObject &o, Kind kind, nb::handle index) {
    const nb::object &list = ready(o).lists[size_t(kind)];
    if (out_of_range(index, analysis_count(o, kind))) throw zarn::Misuse(kOutOfRange);
    nb::object entry = item(list, index);
    return nb::handle(imports.analysis_factory[size_t(kind)])(entry, index);
}

nb::str measurement_text(nb::handle self) {
    nb::list parts;
    const nb::str empty("");
    for (auto [label, property] : {std::pair{"[Sample Name] ", "sample_name"}, {"[Sample ID] ", "sample_id"}}) {
        const nb::object value = self.attr(property);
        if (compare(value, Py_None, Py_EQ) || compare(value, empty, Py_EQ)) continue;
        parts.append(join_str({nb::str(label), value, nb::str(", ")}));
    }
    for (auto [label, method] : {std::pair{"[#Qual] ", "get_qual_analysis_count"},
                                 {", [#Quan] ", "get_quan_analysis_count"},
                                 {", [#DAD] ", "get_dad_analysis_count"},
                                 {", [#Analog] ", "get_analog_analysis_count"}}) {
        const nb::object count = self.attr(method)();
        parts.append(join_str({nb::str(label), count}));
    }
    PyObject *text = PyUnicode_Join(empty.ptr(), parts.ptr());
    if (!text) throw nb::python_error();
    return nb::steal<nb::str>(text);
}

// The Python types and docstrings of the properties that hand out the
// measurement description's fields, in the order of those fields.
struct DescriptionProperty {
    const char *name, *type, *doc;
};
constexpr DescriptionProperty kDescriptionProperties[] = {
    {"hash", "str | None", "The measurement's hash text, or None."},
    {"sample_name", "str | None", "The sample name, or None."},
    {"sample_id", "str | None", "The sample ID, or None."},
    {"acquisition_method_file_name", "str | None", "The file name of the acquisition method, or None."},
    {"dilution_factor", "float | None", "The dilution factor as a float, or None."},
    {"injection_volume", "float | None", "The injection volume as a float, or None."},
    {"original_file_path", "str | None", "The path of the file the measurement was converted from, or None."},
    {"instrument_product_name", "str | None", "The instrument's product name, or None."},
    {"measurement_user_name", "str | None", "The name of the user who made the measurement, or None."},
    {"plate_code", "str | None", "The plate code, or None."},
    {"well_code", "str | None", "The well code, or None."},
    {"measurement_date_time", "datetime.datetime | None", "The date and time of the measurement, or None."},
    {"instrument_manufacturer", "zarn_data_access.common.InstrumentManufacturers | None",
     "The instrument's maker as an InstrumentManufacturers member, or None."},
    {"source_file_definition", "str | None", "The source file definition text, or None."},
    {"supplemental_properties", "dict[str, str]",
     "The description's own dictionary of supplemental properties, text to text."},
};

consteval bool describes_every_field() {
    if (std::size(kDescriptionProperties) != std::size(MeasurementDescriptionObject::fields)) return false;
    for (size_t i = 0; i < std::size(kDescriptionProperties); ++i)
        if (std::string_view(kDescriptionProperties[i].name) != MeasurementDescriptionObject::fields[i].name)
            return false;
    return true;
}
static_assert(describes_every_field(), "one docstring per measurement description field, in field order");

}  // namespace

NB_MODULE(access, m) {
    init_module_support();
    PyDateTime_IMPORT;
    if (!PyDateTimeAPI) throw nb::python_error();

    // The names the module takes from the others, in this order.
    m.attr("ZarnSymbols") = nb::getattr(nb::module_::import_("zarn_data_access._internal._enum"), "ZarnSymbols");
    nb::module_ index_module = nb::module_::import_("zarn_data_access._internal._index");
    m.attr("FunctionIndex") = nb::getattr(index_module, "FunctionIndex");
    m.attr("JumpTable") = nb::getattr(index_module, "JumpTable");
    m.attr("DetectorTypes") =
        nb::getattr(nb::module_::import_("zarn_data_access._internal._description"), "DetectorTypes");
    m.attr("KxmFileReader") = nb::getattr(nb::module_::import_("zarn_data_access._internal._reader"), "KxmFileReader");
    m.attr("ZarnException") = nb::getattr(nb::module_::import_("zarn_data_access.exception"), "ZarnException");
    import_analyses(m);
    imports.reader_factory = factory_of(m.attr("KxmFileReader")).release().ptr();
    imports.jump_table_factory = factory_of(m.attr("JumpTable")).release().ptr();

    // ---- ZarnFile
    nb::class_<FileObject> file(m, "ZarnFile",
                                "An open Zarn file: its format and converter versions and its measurements.",
                                nb::type_slots(gc_slots<FileObject>));
    file.def("__init__", &open_file, "file_path"_a.none(), nb::sig("def __init__(self, file_path: str) -> None"))
        .def("__del__",
             [](nb::handle self) {
                 // A handle whose opening never completed holds nothing open.
                 if (nb::inst_ready(self))
                     close_stream_quietly(nb::inst_ptr<FileObject>(self)->reader, "ZarnFile finalisation");
             })
        .def(
            "__enter__", [](nb::handle self) { return nb::borrow(self); },
            nb::sig("def __enter__(self) -> zarn_data_access.access.ZarnFile"))
        .def(
            "__exit__",
            [](FileObject &o, nb::handle, nb::handle, nb::handle) {
                if (o.reader.is_valid()) close_stream(o.reader);
            },
            "ex_type"_a.none(), "ex_value"_a.none(), "trace"_a.none(),
            nb::sig("def __exit__(self, ex_type: type[BaseException] | None, ex_value: BaseException | None, "
                    "trace: types.TracebackType | None) -> None"))
        .def(
            "__str__", [](FileObject &o) { return path_text(ready(o).file_path); }, nb::sig("def __str__(self) -> str"))
        .def(
            "__repr__", [](FileObject &o) { return path_text(ready(o).file_path); },
            nb::sig("def __repr__(self) -> str"))
        .def(
            "close", [](FileObject &o) { close_stream(ready(o).reader); },
            "Closes the file's stream unless it is closed already; returns None.")
        .def_prop_ro(
            "file_path", [](FileObject &o) { return ready(o).file_path; }, nb::sig("def file_path(self) -> str"),
            "The path as it was given.")
        .def(
            "get_file_format_version", [](FileObject &o) { return version_text(o, kFileFormatVersion); },
            "The file's format version as text: major.minor.revision.")
        .def(
            "get_converter_version", [](FileObject &o) { return version_text(o, kConverterVersion); },
            "The version of the converter that wrote the file as text: major.minor.revision, 0.0.0 when unknown.")
        .def(
            "get_measurement_count", [](FileObject &o) { return measurement_count(o); },
            nb::sig("def get_measurement_count(self) -> int"), "The number of measurements in the file.")
        .def(
            "get_measurement",
            [](FileObject &o, nb::handle index) {
                if (out_of_range(index, measurement_count(o))) throw zarn::ZarnError(kOutOfRange);
                nb::object entry = item(o.measurement_index_list(), index);
                return create_measurement(entry, index);
            },
            "index"_a.none(), nb::sig("def get_measurement(self, index: int) -> zarn_data_access.access.Measurement"),
            "A new Measurement for the measurement at the given position.")
        .def_prop_ro("_ZarnFile__file_path", [](FileObject &o) { return or_none(o.file_path); })
        .def_prop_ro("_ZarnFile__reader", [](FileObject &o) { return or_none(o.reader); })
        .def_prop_ro("_ZarnFile__jump_table", [](FileObject &o) { return or_none(o.jump_table); });

    // ---- Measurement
    auto measurement = record_class<MeasurementObject>(
        m, "Measurement", "One measurement of a Zarn file: its description values and its analyses of each kind.");
    measurement
        .def_static("_Measurement__create_instance", &create_measurement, "measurement_index"_a.none(),
                    "index"_a.none())
        .def("__str__", &measurement_text)
        .def("__repr__", &measurement_text)
        .def(
            "_Measurement__read", [](MeasurementObject &o, nb::handle reader) { read_measurement(ready(o), reader); },
            "reader"_a.none())
        .def(
            "get_qual_analysis_count", [](MeasurementObject &o) { return analysis_count(o, Kind::Qual); },
            "The number of qualitative MS analyses.")
        .def(
            "get_dad_analysis_count", [](MeasurementObject &o) { return analysis_count(o, Kind::Dad); },
            "The number of DAD analyses.")
        .def(
            "get_quan_analysis_count", [](MeasurementObject &o) { return analysis_count(o, Kind::Quan); },
            "The number of quantitative (SIM and SRM) analyses.")
        .def(
            "get_analog_analysis_count", [](MeasurementObject &o) { return analysis_count(o, Kind::Analog); },
            "The number of analog analyses.")
        .def(
            "get_qual_analysis", [](MeasurementObject &o, nb::handle i) { return get_analysis(o, Kind::Qual, i); },
            "index"_a.none(), nb::sig("def get_qual_analysis(self, index: int) -> zarn_data_access.qual.QualAnalysis"),
            "A new QualAnalysis for the qualitative MS analysis at the given position.")
        .def(
            "get_dad_analysis", [](MeasurementObject &o, nb::handle i) { return get_analysis(o, Kind::Dad, i); },
            "index"_a.none(), nb::sig("def get_dad_analysis(self, index: int) -> zarn_data_access.qual.DADAnalysis"),
            "A new DADAnalysis for the DAD analysis at the given position.")
        .def(
            "get_quan_analysis", [](MeasurementObject &o, nb::handle i) { return get_analysis(o, Kind::Quan, i); },
            "index"_a.none(), nb::sig("def get_quan_analysis(self, index: int) -> zarn_data_access.quan.QuanAnalysis"),
            "A new QuanAnalysis for the quantitative analysis at the given position.")
        .def(
            "get_analog_analysis", [](MeasurementObject &o, nb::handle i) { return get_analysis(o, Kind::Analog, i); },
            "index"_a.none(),
            nb::sig("def get_analog_analysis(self, index: int) -> zarn_data_access.quan.AnalogAnalysis"),
            "A new AnalogAnalysis for the analog analysis at the given position.")
        .def_prop_ro(
            "index", [](MeasurementObject &o) { return ready(o).index; }, nb::sig("def index(self) -> int"),
            "The measurement's position in the file.");
    // Every field of the measurement's description, under the field's name.
    for (size_t i = 0; i < std::size(MeasurementDescriptionObject::fields); ++i) {
        const DescriptionProperty &property = kDescriptionProperties[i];
        const GetterSignature signature(property.name, property.type);
        measurement.def_prop_ro(
            property.name, [i](MeasurementObject &o) { return description_field(o, i); }, signature.sig(),
            property.doc);
    }
    measurement
        .def_prop_ro("_Measurement__measurement_index",
                     [](MeasurementObject &o) { return or_none(o.measurement_index); })
        .def_prop_ro("_Measurement__index", [](MeasurementObject &o) { return or_none(o.index); });
    for (auto [name, kind] : {std::pair{"_Measurement__qual_index_list", Kind::Qual},
                              {"_Measurement__dad_index_list", Kind::Dad},
                              {"_Measurement__quan_index_list", Kind::Quan},
                              {"_Measurement__analog_index_list", Kind::Analog}}) {
        const Kind k = kind;  // clang 14 cannot capture a structured binding
        measurement.def_prop_ro(name, [k](MeasurementObject &o) { return or_none(o.lists[size_t(k)]); });
    }
}
