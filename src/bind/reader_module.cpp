// zarn_data_access._internal._reader: the container reader.
//
// Every member keeps the class-qualified name under which the rest of the
// package reaches it (`_KxmFileReader__read_int32`, `_KxmFileReader__stream`).
#include <nanobind/nanobind.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/unique_ptr.h>

#include "reader.hpp"
#include "pyconv.hpp"
#include "support.hpp"
#include "values.hpp"

namespace nb = nanobind;
using namespace nb::literals;
using zarn::Reader;

namespace {

constexpr const char *kRefused = "Inaccessible due to protection level";

// The container file as the interpreter's binary file object.
class StreamSource final : public zarn::ByteSource {
public:
    explicit StreamSource(nb::object stream) : stream_(std::move(stream)) {}
    const nb::object &stream() const { return stream_; }

    void seek(int64_t position) override { stream_.attr("seek")(position); }

    size_t read(uint8_t *out, size_t size) override {
        if (size == 0) return 0;
        nb::object view = nb::steal(PyMemoryView_FromMemory(reinterpret_cast<char *>(out), Py_ssize_t(size), PyBUF_WRITE));
        if (!view.is_valid()) throw nb::python_error();
        nb::object got;
        try {
            got = stream_.attr("readinto")(view);
        } catch (...) {
            view.attr("release")();
            throw;
        }
        view.attr("release")();
        if (got.is_none()) return 0;
        const int64_t n = nb::cast<int64_t>(got);
        return n < 0 ? 0 : std::min<size_t>(size_t(n), size);
    }

private:
    nb::object stream_;
};

const nb::object &stream_of(Reader &reader) { return static_cast<StreamSource &>(reader.source()).stream(); }

std::unique_ptr<Reader> create_reader(nb::handle file_path) {
    nb::module_ os_path = nb::module_::import_("os.path");
    if (!nb::cast<bool>(os_path.attr("exists")(file_path))) {
        nb::object message = nb::steal(PyNumber_Add(nb::str("File not found: ").ptr(), file_path.ptr()));
        if (!message.is_valid()) throw nb::python_error();
        throw zarn::ZarnError(nb::cast<std::string>(message));
    }
    nb::object stream = nb::module_::import_("builtins").attr("open")(file_path, "rb");
    int64_t size;
    try {
        size = zarn::py::to_i64_saturating(nb::module_::import_("os").attr("stat")(file_path).attr("st_size"));
    } catch (...) {
        stream.attr("close")();
        throw;
    }
    return std::make_unique<Reader>(std::make_unique<StreamSource>(stream), size);
}

nb::bytes to_bytes(zarn::Bytes b) { return nb::bytes(reinterpret_cast<const char *>(b.data()), b.size()); }

// The byte string, or the single byte given as an integer, of the bit converter.
int64_t bit_field(const zarn::BitConverter &c, nb::handle bytes, nb::handle offset_obj) {
    const int64_t offset = nb::cast<int64_t>(offset_obj);
    if (PyLong_Check(bytes.ptr())) {
        nb::object low = nb::steal(PyNumber_And(bytes.ptr(), nb::int_(0xFF).ptr()));
        if (!low.is_valid()) throw nb::python_error();
        return c.get(uint8_t(nb::cast<int64_t>(low)), offset);
    }
    Py_buffer view;
    if (PyObject_GetBuffer(bytes.ptr(), &view, PyBUF_SIMPLE) != 0) throw nb::python_error();
    try {
        int64_t v = c.get(zarn::Bytes(static_cast<const uint8_t *>(view.buf), size_t(view.len)), offset);
        PyBuffer_Release(&view);
        return v;
    } catch (...) {
        PyBuffer_Release(&view);
        throw;
    }
}

template <typename F>
nb::list packed(nb::handle bytes, nb::handle size_obj, F decode) {
    const int64_t size = zarn::py::to_i64_saturating(size_obj);
    Py_buffer view;
    if (PyObject_GetBuffer(bytes.ptr(), &view, PyBUF_SIMPLE) != 0) throw nb::python_error();
    std::vector<int64_t> values;
    try {
        values = decode(zarn::Bytes(static_cast<const uint8_t *>(view.buf), size_t(view.len)), size);
    } catch (...) {
        PyBuffer_Release(&view);
        throw;
    }
    PyBuffer_Release(&view);
    return zarn::py::int_list(values);
}

nb::object version_field(Reader &r, int64_t zarn::Version::*field, const char *name) {
    if (!r.has_version())
        throw nb::attribute_error(("'KxmFileReader' object has no attribute '" + std::string(name) + "'").c_str());
    return nb::int_(r.version().*field);
}

}  // namespace

NB_MODULE(_reader, m) {
    zarn::py::init_module_support();
    zarn::py::zstd_error_type();
    zarn::py::require_value_types();
    nb::module_::import_("zarn_data_access._internal._enum");
    PyDateTime_IMPORT;
    if (!PyDateTimeAPI) throw nb::python_error();

    nb::class_<zarn::BitConverter>(m, "IntegerBitConverter")
        .def(nb::init<int64_t>(), "length_of_bit_field"_a)
        .def_prop_ro("_IntegerBitConverter__length_of_bit_field", &zarn::BitConverter::length_of_bit_field)
        .def("_IntegerBitConverter__get_int", &bit_field, "bytes"_a, "offset"_a)
        .def("_IntegerBitConverter__get_method", &bit_field, "bytes"_a, "offset"_a);

    nb::class_<zarn::DateTimeParser> parser(m, "DateTimeParser");
    parser.def("__init__", [](zarn::DateTimeParser *) { throw zarn::PlainError(kRefused); })
        .def_static("_DateTimeParser__create_instance", []() { return zarn::DateTimeParser{}; })
        .def("_DateTimeParser__get_datetime", [](const zarn::DateTimeParser &, nb::handle ticks) {
            // Only bits 0-62 are looked at; masking as the interpreter does
            // keeps any integer argument meaningful.
            nb::object low = nb::steal(PyNumber_And(ticks.ptr(), nb::int_(INT64_MAX).ptr()));
            if (!low.is_valid()) throw nb::python_error();
            return zarn::py::make_datetime(zarn::datetime_from_ticks(uint64_t(nb::cast<int64_t>(low))));
        }, "ticks"_a);
    parser.attr("_DateTimeParser__TICKS_MASK") = nb::int_(int64_t(zarn::kTicksMask));
    parser.attr("_DateTimeParser__EPOCH_TICKS") = nb::int_(zarn::kEpochTicks);
    parser.attr("_DateTimeParser__UTC_MASK") = nb::int_(int64_t(zarn::kUtcMask));
    parser.attr("_DateTimeParser__TICKS_PER_MSEC") = nb::int_(zarn::kTicksPerMillisecond);

    nb::class_<Reader> reader(m, "KxmFileReader");
    reader.def("__init__", [](Reader *) { throw zarn::PlainError(kRefused); })
        .def_static("_KxmFileReader__create_instance", &create_reader, "file_path"_a)
        // fields
        .def_prop_ro("_KxmFileReader__stream", [](Reader &r) { return stream_of(r); })
        .def_prop_ro("_KxmFileReader__local_position", &Reader::local_position)
        .def_prop_ro("_KxmFileReader__origin_of_local_position", &Reader::origin_of_local_position)
        .def_prop_ro("_KxmFileReader__after_decompressd_position", &Reader::after_decompressed_position)
        .def_prop_ro("_KxmFileReader__default_buffer_size", &Reader::default_buffer_size)
        .def_prop_ro("_KxmFileReader__stream_length", &Reader::stream_length)
        .def_prop_ro("_KxmFileReader__is_small_file", &Reader::is_small_file)
        .def_prop_ro("_KxmFileReader__common_buffer", [](Reader &r) {
            const auto &b = r.common_buffer();
            return nb::bytes(reinterpret_cast<const char *>(b.data()), b.size());
        })
        .def_prop_ro("_KxmFileReader__convert_uint_6", &Reader::convert_uint_6, nb::rv_policy::reference_internal)
        .def_prop_ro("_KxmFileReader__convert_uint_11", &Reader::convert_uint_11, nb::rv_policy::reference_internal)
        .def_prop_ro("_KxmFileReader__convert_uint_12", &Reader::convert_uint_12, nb::rv_policy::reference_internal)
        .def_prop_ro("_KxmFileReader__datetime_parser", &Reader::datetime_parser, nb::rv_policy::reference_internal)
        .def_prop_ro("_KxmFileReader__major_version",
                     [](Reader &r) { return version_field(r, &zarn::Version::major, "_KxmFileReader__major_version"); })
        .def_prop_ro("_KxmFileReader__minor_version",
                     [](Reader &r) { return version_field(r, &zarn::Version::minor, "_KxmFileReader__minor_version"); })
        .def_prop_ro("_KxmFileReader__revision_version", [](Reader &r) {
            return version_field(r, &zarn::Version::revision, "_KxmFileReader__revision_version");
        })
        // positioning and windows
        .def("_KxmFileReader__set_version", &Reader::set_version, "major"_a, "minor"_a, "revision"_a)
        .def("_KxmFileReader__get_absolute_position", &Reader::absolute_position)
        .def("_KxmFileReader__get_file_channel_size", &Reader::file_channel_size)
        .def(
            "_KxmFileReader__set_buffer",
            [](Reader &r, nb::handle position, nb::handle required_size, bool force) {
                r.set_buffer(zarn::py::to_i64_saturating(position), zarn::py::to_i64_saturating(required_size), force);
            },
            "position"_a, "required_size"_a = 0, "force_update_buffer"_a = false)
        .def("_KxmFileReader__ensure_buffer",
             [](Reader &r, nb::handle n) { r.ensure_buffer(zarn::py::to_i64_saturating(n)); }, "required_size"_a)
        .def("_KxmFileReader__get_bytes",
             [](Reader &r, nb::handle n) { return to_bytes(r.get_bytes(zarn::py::to_i64_saturating(n))); }, "size"_a)
        .def("_KxmFileReader__skip_bytes",
             [](Reader &r, nb::handle n) { r.skip_bytes(zarn::py::to_i64_saturating(n)); }, "size"_a)
        .def("_KxmFileReader__set_decompressed_buffer", &Reader::set_decompressed_buffer)
        .def("_KxmFileReader__reset_decompressed_buffer", &Reader::reset_decompressed_buffer)
        // tagged values
        .def("_KxmFileReader__read_zarn_symbol", &Reader::read_zarn_symbol)
        .def("_KxmFileReader__confirm_zarn_symbol", &Reader::confirm_zarn_symbol, "symbol"_a)
        .def("_KxmFileReader__is_tiny_uint", &Reader::is_tiny_uint)
        .def("_KxmFileReader__read_bool", &Reader::read_bool)
        .def("_KxmFileReader__read_tiny_uint", &Reader::read_tiny_uint)
        .def("_KxmFileReader__read_mini_uint", &Reader::read_mini_uint)
        .def("_KxmFileReader__read_int16", &Reader::read_int16)
        .def("_KxmFileReader__read_uint16", &Reader::read_uint16)
        .def("_KxmFileReader__read_int32", &Reader::read_int32)
        .def("_KxmFileReader__read_uint32", &Reader::read_uint32)
        .def("_KxmFileReader__read_uint16_or_32", &Reader::read_uint16_or_32)
        .def("_KxmFileReader__read_int64", &Reader::read_int64)
        .def("_KxmFileReader__read_uint64", &Reader::read_uint64)
        .def("_KxmFileReader__read_single", [](Reader &r) { return double(r.read_single()); })
        .def("_KxmFileReader__read_double", &Reader::read_double)
        .def("_KxmFileReader__read_int32_array", [](Reader &r) { return zarn::py::int_list(r.read_int32_array()); })
        .def("_KxmFileReader__read_int64_array", [](Reader &r) { return zarn::py::int_list(r.read_int64_array()); })
        .def("_KxmFileReader__read_single_array",
             [](Reader &r) { return zarn::py::float_list(r.read_single_array()); })
        .def("_KxmFileReader__read_string", [](Reader &r) { return zarn::py::make_str(r.read_string()); })
        .def("_KxmFileReader__read_datetime", [](Reader &r) { return zarn::py::make_datetime(r.read_datetime()); })
        .def("_KxmFileReader__skip_object", &Reader::skip_object)
        .def("_KxmFileReader__skip_collection", &Reader::skip_collection)
        // packed arrays
        .def("_KxmFileReader__read_compressed_int_array",
             [](Reader &, nb::handle b, nb::handle n) { return packed(b, n, zarn::decode_packed_int32); },
             "unwrapped_bytes"_a, "size"_a)
        .def("_KxmFileReader__read_compressed_long_array",
             [](Reader &, nb::handle b, nb::handle n) { return packed(b, n, zarn::decode_packed_int64); },
             "unwrapped_bytes"_a, "size"_a)
        .def("_KxmFileReader__read_float_array",
             [](Reader &r, nb::handle n) { return zarn::py::float_list(r.read_float_array(zarn::py::to_i64_saturating(n))); },
             "size"_a)
        .def("_KxmFileReader__convert_compression_ready_int_to_int",
             [](Reader &, nb::handle c) { return zarn::py::int_from_i128(zarn::compression_ready_to_int(zarn::py::int_to_i128(c))); },
             "compression_ready_int"_a)
        .def("_KxmFileReader__convert_int_to_compression_ready_int",
             [](Reader &, nb::handle x) { return zarn::py::int_from_i128(zarn::int_to_compression_ready(zarn::py::int_to_i128(x))); },
             "int_value"_a);
}
