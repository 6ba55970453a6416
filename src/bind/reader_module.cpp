// zarn_data_access._internal._reader: the container reader.
//
// Every member keeps the class-qualified name under which the rest of the
// package reaches it (`_KxmFileReader__read_int32`, `_KxmFileReader__stream`).
#include <nanobind/nanobind.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/unique_ptr.h>

#include <cfloat>
#include <cstring>
#include <optional>
#include <span>
#include <unordered_map>
#include <vector>

#include "blocks/blocks.hpp"
#include "io/reader.hpp"
#include "objects.hpp"
#include "points.hpp"
#include "pyconv.hpp"
#include "reader_object.hpp"
#include "support.hpp"
#include "values.hpp"

namespace nb = nanobind;
using namespace nb::literals;
using zarn::Reader;

namespace {

constexpr const char *kRefused = "Inaccessible due to protection level";

std::unique_ptr<Reader> create_reader(nb::handle file_path) {
    nb::module_ os_path = nb::module_::import_("os.path");
    if (!nb::cast<bool>(os_path.attr("exists")(file_path))) {
        nb::object message =
            nb::steal(PyNumber_Add(nb::str("File not found: ").ptr(), zarn::py::path_text(file_path).ptr()));
        if (!message.is_valid()) throw nb::python_error();
        // Raised as the Python text it is: a path the file system decodes
        // with lone surrogates has no UTF-8 form for a core error to carry.
        PyErr_SetObject(zarn::py::zarn_exception_type(), message.ptr());
        throw nb::python_error();
    }
    nb::object stream = nb::module_::import_("builtins").attr("open")(file_path, "rb");
    // A failure before the reader stands (the size, the first window) closes
    // the stream: the failure may keep it alive in its traceback.
    try {
        const int64_t size =
            zarn::py::to_i64_saturating(nb::module_::import_("os").attr("stat")(file_path).attr("st_size"));
        return std::make_unique<Reader>(std::make_unique<zarn::py::StreamSource>(stream), size);
    } catch (...) {
        zarn::py::or_unraisable("closing a Zarn file that failed to open", [&] { stream.attr("close")(); });
        throw;
    }
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

// ---------------------------------------------------------------- points

using zarn::py::as_double;
using zarn::py::Items;
using zarn::py::locked;
using zarn::py::Num;
using zarn::py::number_object;
using zarn::py::spectrum_list;

// A codec run at the position, its points as a new list.
template <void (*Codec)(Reader &, std::vector<zarn::Point> &)>
nb::list codec_list(Reader &r) {
    std::vector<zarn::Point> points;
    Codec(r, points);
    return spectrum_list(points);
}

// ---------------------------------------------------------------- SCIEX helpers

// (ca * (bin_index * resolution - t0))**2 as the interpreter computes it.
nb::object sciex_mass(nb::handle bin_index, nb::handle ca, nb::handle t0, nb::handle resolution) {
    auto plain = [](nb::handle h) { return PyFloat_CheckExact(h.ptr()) || PyLong_CheckExact(h.ptr()); };
    // When the first product is a float, every step is a float operation.
    if (plain(bin_index) && plain(ca) && plain(t0) && plain(resolution) &&
        (PyFloat_CheckExact(bin_index.ptr()) || PyFloat_CheckExact(resolution.ptr())))
        return nb::float_(zarn::sciex_mass(as_double(bin_index), as_double(ca), as_double(t0), as_double(resolution)));
    nb::object num = ca * (bin_index * resolution - t0);
    return num * num;
}

// Writes the rebuilt deltas and intensities of a zero-filled SCIEX segment
// into the caller's sequences.
void add_zero(int32_t min_index_diff, nb::handle filtered_index_arr, nb::handle filtered_intensity_arr,
              nb::handle index_arr, nb::handle intensity_arr) {
    const Items filtered(filtered_index_arr);
    std::vector<int64_t> f(filtered.size());
    for (size_t i = 0; i < f.size(); ++i) f[i] = nb::cast<int64_t>(filtered[i]);
    auto set = [](nb::handle seq, size_t c, nb::handle value) {
        nb::object key = nb::steal(PyLong_FromSize_t(c));
        if (PyObject_SetItem(seq.ptr(), key.ptr(), value.ptr()) != 0) throw nb::python_error();
    };
    zarn::add_zero(min_index_diff, f, [&](size_t c, int64_t delta, int64_t source) {
        set(index_arr, c, nb::int_(delta));
        nb::object value = nb::int_(0);
        if (source >= 0) {
            nb::object key = nb::steal(PyLong_FromLongLong(source));
            value = nb::steal(PyObject_GetItem(filtered_intensity_arr.ptr(), key.ptr()));
            if (!value.is_valid()) throw nb::python_error();
        }
        set(intensity_arr, c, value);
    });
}

// ---------------------------------------------------------------- DAD

// The values of the DAD intensity segment at the position, made into the
// list's objects as they are decoded: no native copy of them all is held
// beside the list. Making a number runs no Python code.
nb::list intensity_list(Reader &r) {
    class ListOut final : public zarn::NumberOut {
    public:
        size_t size() const override { return filled_; }
        void grow(size_t count) override {
            nb::list grown = nb::steal<nb::list>(PyList_New(Py_ssize_t(filled_ + count)));
            if (!grown.is_valid()) throw nb::python_error();
            for (size_t i = 0; i < filled_; ++i) {
                PyObject *item = PyList_GET_ITEM(list.ptr(), Py_ssize_t(i));
                PyList_SET_ITEM(list.ptr(), Py_ssize_t(i), nullptr);
                PyList_SET_ITEM(grown.ptr(), Py_ssize_t(i), item);
            }
            list = std::move(grown);
        }
        void put(const zarn::Number &value) override {
            PyList_SET_ITEM(list.ptr(), Py_ssize_t(filled_++), number_object(value).release().ptr());
        }
        nb::list list = nb::steal<nb::list>(PyList_New(0));
        size_t filled_ = 0;
    } out;
    zarn::py::assert_gil("making DAD intensities");
    if (!out.list.is_valid()) throw nb::python_error();
    zarn::get_dad_intensities(r, out);
    // A failure after grow() leaves empty slots: the list is not handed out
    // then, and a list with empty slots is freed safely.
    if (out.filled_ != size_t(PyList_GET_SIZE(out.list.ptr()))) throw std::logic_error("DAD intensities not filled");
    return out.list;
}

// ---------------------------------------------------------------- XicInfo

// The C++ side of an XicInfo: nothing. Its fields are instance attributes,
// as the class-level defaults of the flag and the range require.
struct XicInfo {};

constexpr const char *kBreakField = "_XicInfo__is_break_to_read";
constexpr const char *kRangeField = "_XicInfo__mz_range";
constexpr const char *kMinimumField = "_XicInfo__minimum_intensity";
constexpr const char *kPointsField = "_XicInfo__spectrum_point";
constexpr const char *kXicField = "_XicInfo__xic";

nb::object create_xic_info(nb::handle mz_range) {
    static nb::handle type = nb::type<XicInfo>();
    nb::object info = nb::inst_alloc(type);
    new (nb::inst_ptr<XicInfo>(info)) XicInfo{};
    nb::inst_mark_ready(info);
    nb::setattr(info, kMinimumField, nb::float_(-DBL_MAX));
    nb::setattr(info, kPointsField, nb::list());
    nb::setattr(info, kXicField, nb::list());
    nb::setattr(info, kRangeField, mz_range);
    return info;
}

using zarn::py::Bound;

// One XicInfo during one range-limited read. Its attributes are read when
// first needed and kept for the call; a passed flag and every collected
// point are written to the object at once.
class XicEntry {
public:
    explicit XicEntry(nb::object info) : info_(std::move(info)) {
        const int flag = PyObject_IsTrue(nb::getattr(info_, kBreakField).ptr());
        if (flag < 0) throw nb::python_error();
        is_break_to_read = flag == 1;
    }
    bool is_break_to_read = false;

    bool below(double x) {
        if (!min_) min_.emplace(nb::getattr(range(), "min"));
        return min_->greater(x);
    }
    bool above(double x) {
        if (!max_) max_.emplace(nb::getattr(range(), "max"));
        return max_->less(x);
    }
    bool refuses(double intensity) {
        if (!minimum_) minimum_.emplace(nb::getattr(info_, kMinimumField));
        return minimum_->greater(intensity);
    }
    void set_break() {
        is_break_to_read = true;
        nb::setattr(info_, kBreakField, nb::borrow(Py_True));
    }
    void collect(double x, double intensity) {
        if (!points_.is_valid()) points_ = nb::getattr(info_, kPointsField);
        nb::object point = zarn::py::make_value(zarn::py::SpectrumPoint{Num::of_float(x), Num::of_float(intensity)});
        if (!PyList_CheckExact(points_.ptr())) {
            points_.attr("append")(point);
        } else if (PyList_Append(points_.ptr(), point.ptr()) != 0) {
            throw nb::python_error();
        }
    }

private:
    const nb::object &range() {
        if (!range_.is_valid()) range_ = nb::getattr(info_, kRangeField);
        return range_;
    }
    nb::object info_, range_, points_;
    std::optional<Bound> min_, max_, minimum_;
};

// Offers points to the XicInfo objects of `xic_arr`. The list is read at the
// first offer; an object that appears more than once is one entry.
class XicInfoSink final : public zarn::PointSink {
public:
    explicit XicInfoSink(nb::handle xic_arr) : xic_arr_(xic_arr) {}

    bool offer(double x, double intensity) override {
        if (!ready_) take_list();
        return zarn::offer_to_ranges(std::span<XicEntry *const>(order_), x, intensity);
    }

private:
    void take_list() {
        const Items items(xic_arr_);
        std::vector<nb::object> infos;
        std::unordered_map<PyObject *, size_t> index;
        std::vector<size_t> slots(items.size());
        for (size_t i = 0; i < items.size(); ++i) {
            nb::object info = items[i];
            auto [it, added] = index.emplace(info.ptr(), infos.size());
            if (added) infos.push_back(std::move(info));
            slots[i] = it->second;
        }
        entries_.reserve(infos.size());
        for (nb::object &info : infos) entries_.emplace_back(std::move(info));
        for (size_t slot : slots) order_.push_back(&entries_[slot]);
        ready_ = true;
    }

    nb::handle xic_arr_;
    bool ready_ = false;
    std::vector<XicEntry> entries_;
    std::vector<XicEntry *> order_;
};
}  // namespace

NB_MODULE(_reader, m) {
    zarn::py::init_module_support();
    zarn::py::zstd_error_type();
    zarn::py::require_value_types();
    nb::module_::import_("zarn_data_access._internal._enum");
    PyDateTime_IMPORT;
    if (!PyDateTimeAPI) throw nb::python_error();
    zarn::py::install_signal_hook();

    nb::class_<zarn::BitConverter>(m, "IntegerBitConverter")
        .def(nb::init<int64_t>(), "length_of_bit_field"_a)
        .def_prop_ro("_IntegerBitConverter__length_of_bit_field", &zarn::BitConverter::length_of_bit_field)
        .def("_IntegerBitConverter__get_int", &bit_field, "bytes"_a, "offset"_a)
        .def("_IntegerBitConverter__get_method", &bit_field, "bytes"_a, "offset"_a);

    nb::class_<zarn::DateTimeParser> parser(m, "DateTimeParser");
    parser.def("__init__", [](zarn::DateTimeParser *) { throw zarn::Misuse(kRefused); })
        .def_static("_DateTimeParser__create_instance", []() { return zarn::DateTimeParser{}; })
        .def(
            "_DateTimeParser__get_datetime",
            [](const zarn::DateTimeParser &, nb::handle ticks) {
                // Only bits 0-62 are looked at; masking as the interpreter does
                // keeps any integer argument meaningful.
                nb::object low = nb::steal(PyNumber_And(ticks.ptr(), nb::int_(INT64_MAX).ptr()));
                if (!low.is_valid()) throw nb::python_error();
                return zarn::py::make_datetime(zarn::datetime_from_ticks(uint64_t(nb::cast<int64_t>(low))));
            },
            "ticks"_a);
    parser.attr("_DateTimeParser__TICKS_MASK") = nb::int_(int64_t(zarn::kTicksMask));
    parser.attr("_DateTimeParser__EPOCH_TICKS") = nb::int_(zarn::kEpochTicks);
    parser.attr("_DateTimeParser__UTC_MASK") = nb::int_(int64_t(zarn::kUtcMask));
    parser.attr("_DateTimeParser__TICKS_PER_MSEC") = nb::int_(zarn::kTicksPerMillisecond);

    nb::class_<Reader> reader(m, "KxmFileReader");
    reader.def("__init__", [](Reader *) { throw zarn::Misuse(kRefused); })
        .def_static("_KxmFileReader__create_instance", &create_reader, "file_path"_a)
        // fields
        .def_prop_ro("_KxmFileReader__stream", [](Reader &r) { return zarn::py::stream_of(r); })
        .def_prop_ro("_KxmFileReader__local_position", locked(&Reader::local_position))
        .def_prop_ro("_KxmFileReader__origin_of_local_position", locked(&Reader::origin_of_local_position))
        .def_prop_ro("_KxmFileReader__after_decompressd_position", locked(&Reader::after_decompressed_position))
        .def_prop_ro("_KxmFileReader__default_buffer_size", locked(&Reader::default_buffer_size))
        .def_prop_ro("_KxmFileReader__stream_length", locked(&Reader::stream_length))
        .def_prop_ro("_KxmFileReader__is_small_file", locked(&Reader::is_small_file))
        .def_prop_ro("_KxmFileReader__common_buffer", locked([](Reader &r) {
                         const auto &b = r.common_buffer();
                         return nb::bytes(reinterpret_cast<const char *>(b.data()), b.size());
                     }))
        .def_prop_ro("_KxmFileReader__convert_uint_6", &Reader::convert_uint_6, nb::rv_policy::reference_internal)
        .def_prop_ro("_KxmFileReader__convert_uint_11", &Reader::convert_uint_11, nb::rv_policy::reference_internal)
        .def_prop_ro("_KxmFileReader__convert_uint_12", &Reader::convert_uint_12, nb::rv_policy::reference_internal)
        .def_prop_ro("_KxmFileReader__datetime_parser", &Reader::datetime_parser, nb::rv_policy::reference_internal)
        .def_prop_ro("_KxmFileReader__major_version", locked([](Reader &r) {
                         return version_field(r, &zarn::Version::major, "_KxmFileReader__major_version");
                     }))
        .def_prop_ro("_KxmFileReader__minor_version", locked([](Reader &r) {
                         return version_field(r, &zarn::Version::minor, "_KxmFileReader__minor_version");
                     }))
        .def_prop_ro("_KxmFileReader__revision_version", locked([](Reader &r) {
                         return version_field(r, &zarn::Version::revision, "_KxmFileReader__revision_version");
                     }))
        // positioning and windows
        .def("_KxmFileReader__set_version", locked(&Reader::set_version), "major"_a, "minor"_a, "revision"_a)
        .def("_KxmFileReader__get_absolute_position", locked(&Reader::absolute_position))
        .def("_KxmFileReader__get_file_channel_size", locked(&Reader::file_channel_size))
        .def("_KxmFileReader__set_buffer",
             locked([](Reader &r, nb::handle position, nb::handle required_size, bool force) {
                 r.set_buffer(zarn::py::to_i64_saturating(position), zarn::py::to_i64_saturating(required_size), force);
             }),
             "position"_a, "required_size"_a = 0, "force_update_buffer"_a = false)
        .def("_KxmFileReader__ensure_buffer",
             locked([](Reader &r, nb::handle n) { r.ensure_buffer(zarn::py::to_i64_saturating(n)); }),
             "required_size"_a)
        .def("_KxmFileReader__get_bytes",
             locked([](Reader &r, nb::handle n) { return to_bytes(r.get_bytes(zarn::py::to_i64_saturating(n))); }),
             "size"_a)
        .def("_KxmFileReader__skip_bytes",
             locked([](Reader &r, nb::handle n) { r.skip_bytes(zarn::py::to_i64_saturating(n)); }), "size"_a)
        .def("_KxmFileReader__set_decompressed_buffer", locked([](Reader &r) { r.set_decompressed_buffer(); }))
        .def("_KxmFileReader__reset_decompressed_buffer", locked(&Reader::reset_decompressed_buffer))
        // tagged values
        .def("_KxmFileReader__read_zarn_symbol", locked(&Reader::read_zarn_symbol))
        .def("_KxmFileReader__confirm_zarn_symbol", locked(&Reader::confirm_zarn_symbol), "symbol"_a)
        .def("_KxmFileReader__is_tiny_uint", locked(&Reader::is_tiny_uint))
        .def("_KxmFileReader__read_bool", locked(&Reader::read_bool))
        .def("_KxmFileReader__read_tiny_uint", locked(&Reader::read_tiny_uint))
        .def("_KxmFileReader__read_mini_uint", locked(&Reader::read_mini_uint))
        .def("_KxmFileReader__read_int16", locked(&Reader::read_int16))
        .def("_KxmFileReader__read_uint16", locked(&Reader::read_uint16))
        .def("_KxmFileReader__read_int32", locked(&Reader::read_int32))
        .def("_KxmFileReader__read_uint32", locked(&Reader::read_uint32))
        .def("_KxmFileReader__read_uint16_or_32", locked(&Reader::read_uint16_or_32))
        .def("_KxmFileReader__read_int64", locked(&Reader::read_int64))
        .def("_KxmFileReader__read_uint64", locked(&Reader::read_uint64))
        .def("_KxmFileReader__read_single", locked([](Reader &r) { return double(r.read_single()); }))
        .def("_KxmFileReader__read_double", locked(&Reader::read_double))
        .def("_KxmFileReader__read_int32_array",
             locked([](Reader &r) { return zarn::py::int_list(r.read_int32_array()); }))
        .def("_KxmFileReader__read_int64_array",
             locked([](Reader &r) { return zarn::py::int_list(r.read_int64_array()); }))
        .def("_KxmFileReader__read_single_array",
             locked([](Reader &r) { return zarn::py::float_list(r.read_single_array()); }))
        .def("_KxmFileReader__read_string", locked([](Reader &r) { return zarn::py::make_str(r.read_string()); }))
        .def("_KxmFileReader__read_datetime",
             locked([](Reader &r) { return zarn::py::make_datetime(r.read_datetime()); }))
        .def("_KxmFileReader__skip_object", locked(&Reader::skip_object))
        .def("_KxmFileReader__skip_collection", locked(&Reader::skip_collection))
        // packed arrays
        .def(
            "_KxmFileReader__read_compressed_int_array",
            [](Reader &, nb::handle b, nb::handle n) { return packed(b, n, zarn::decode_packed_int32); },
            "unwrapped_bytes"_a, "size"_a)
        .def(
            "_KxmFileReader__read_compressed_long_array",
            [](Reader &, nb::handle b, nb::handle n) { return packed(b, n, zarn::decode_packed_int64); },
            "unwrapped_bytes"_a, "size"_a)
        .def("_KxmFileReader__read_float_array", locked([](Reader &r, nb::handle n) {
                 return zarn::py::float_list(r.read_float_array(zarn::py::to_i64_saturating(n)));
             }),
             "size"_a)
        .def(
            "_KxmFileReader__convert_compression_ready_int_to_int",
            [](Reader &, nb::handle c) {
                return zarn::py::int_from_i128(zarn::compression_ready_to_int(zarn::py::int_to_i128(c)));
            },
            "compression_ready_int"_a)
        .def(
            "_KxmFileReader__convert_int_to_compression_ready_int",
            [](Reader &, nb::handle x) {
                return zarn::py::int_from_i128(zarn::int_to_compression_ready(zarn::py::int_to_i128(x)));
            },
            "int_value"_a);

    // data blocks
    reader
        .def("_KxmFileReader__read_chromatogram",
             locked([](Reader &r) { return zarn::py::read_chromatogram_points(r); }))
        .def("_KxmFileReader__read_spectrum", locked([](Reader &r) { return zarn::py::read_spectrum_points(r); }))
        .def("_KxmFileReader__read_zstd_efficient_spectrum", locked(&codec_list<zarn::read_zstd_efficient_spectrum>))
        .def("_KxmFileReader__read_efficient_mz_compressed_spectrum",
             locked(&codec_list<zarn::read_efficient_mz_compressed_spectrum>))
        .def("_KxmFileReader__read_efficient_sciex_spectrum", locked(&codec_list<zarn::read_efficient_sciex_spectrum>))
        .def("_KxmFileReader__read_efficient_agilent_spectrum",
             locked(&codec_list<zarn::read_efficient_agilent_spectrum>))
        .def(
            "_KxmFileReader__get_sciex_mass",
            [](Reader &, nb::handle bin_index, nb::handle ca, nb::handle t0, nb::handle resolution) {
                return sciex_mass(bin_index, ca, t0, resolution);
            },
            "bin_index"_a, "ca"_a, "t0"_a, "resolution"_a)
        .def(
            "_KxmFileReader__add_zero",
            [](Reader &, int32_t d, nb::handle f, nb::handle g, nb::handle index_arr, nb::handle intensity_arr) {
                add_zero(d, f, g, index_arr, intensity_arr);
            },
            "min_index_diff"_a, "filtered_index_arr"_a, "filtered_intensity_arr"_a, "index_arr"_a, "intensity_arr"_a)
        .def("_KxmFileReader__get_dad_intensities", locked([](Reader &r) { return intensity_list(r); }))
        .def("_KxmFileReader__read_dad_spectrum", locked(&zarn::py::read_dad_spectrum), "wavelength_arr"_a.none())
        // range-limited reads
        .def(
            "_KxmFileReader__set_xic_info",
            [](Reader &, nb::handle xic_arr, nb::handle mz, nb::handle intensity) {
                const double x = as_double(mz), y = as_double(intensity);
                XicInfoSink sink(xic_arr);
                return sink.offer(x, y);
            },
            "xic_arr"_a, "mz"_a, "intensity"_a)
        .def("_KxmFileReader__read_spectrum_for_multiple_xic", locked([](Reader &r, nb::handle xic_arr) {
                 XicInfoSink sink(xic_arr);
                 zarn::read_spectrum_for_multiple_xic(r, sink);
             }),
             "xic_arr"_a)
        .def("_KxmFileReader__read_dad_spectrum_for_multiple_xic",
             locked([](Reader &r, nb::handle xic_arr, nb::handle wavelength_arr) {
                 XicInfoSink sink(xic_arr);
                 const std::vector<zarn::Number> intensities =
                     zarn::read_dad_segments(r, zarn::py::usable_intensities(wavelength_arr));
                 // The wavelengths and the sink are Python objects, whose
                 // code may read elsewhere with the same reader.
                 const Reader::Mark end = r.mark();
                 const Items wavelengths(wavelength_arr);
                 auto wavelength_at = [&](size_t i) { return as_double(wavelengths[i]); };
                 const bool stopped = zarn::offer_dad_points(intensities, wavelengths.size(), wavelength_at, sink);
                 r.seat(end);
                 if (stopped) return;
                 r.confirm_zarn_symbol(zarn::Symbol::END_OF_SPECTRUM);
             }),
             "xic_arr"_a, "wavelength_arr"_a);

    nb::class_<XicInfo> xic_info(m, "XicInfo", nb::dynamic_attr());
    xic_info.def("__init__", [](XicInfo *) { throw zarn::Misuse(kRefused); })
        .def_static("_XicInfo__create_instance", &create_xic_info, "mz_range"_a)
        .def_static(
            "_XicInfo__get_xic_list",
            [](nb::handle mass_range_list) {
                const Items ranges(mass_range_list);
                nb::list out;
                for (size_t i = 0; i < ranges.size(); ++i) out.append(create_xic_info(ranges[i]));
                return out;
            },
            "mass_range_list"_a)
        .def_static(
            "_XicInfo__get_spectrum_list",
            [](nb::handle xic_info_arr) {
                const Items infos(xic_info_arr);
                nb::list out;
                for (size_t i = 0; i < infos.size(); ++i) out.append(nb::getattr(infos[i], kXicField));
                return out;
            },
            "xic_info_arr"_a);
    zarn::py::free_nested_in_turn(xic_info);
    xic_info.attr(kBreakField) = false;
    xic_info.attr(kRangeField) = nb::none();
}
