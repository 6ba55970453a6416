// zarn_data_access._internal._testing: small hooks for the test suite that
// reach the C++ core from a module other than the one that made an object.
#include <nanobind/nanobind.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/pair.h>
#include <nanobind/stl/vector.h>

#include "blocks/blocks.hpp"
#include "io/reader.hpp"
#include "index_objects.hpp"
#include "support.hpp"
#include "values.hpp"

namespace nb = nanobind;

NB_MODULE(_testing, m) {
    zarn::py::init_module_support();
    zarn::py::require_value_types();
    // A KxmFileReader made by _reader, taken here as the same C++ object.
    m.def("reader_read_tiny_uint_at", [](zarn::Reader &reader, int64_t position) {
        reader.set_buffer(position);
        return reader.read_tiny_uint();
    });
    m.def("reader_address", [](zarn::Reader &reader) { return reinterpret_cast<uintptr_t>(&reader); });

    // The record objects of _description and _index, reached as C++ objects
    // the way the analyses reach them.
    using namespace zarn::py;
    // SpectrumIndex records made from C++, one per offset, from the
    // descriptions at the reader's place.
    m.def("make_spectrum_indices", [](nb::handle reader_object, int64_t origin, std::vector<int64_t> offsets) {
        zarn::Reader &reader = reader_of(reader_object);
        GcPause pause;
        nb::list list;
        for (size_t i = 0; i < offsets.size(); ++i) {
            int64_t position;
            if (__builtin_add_overflow(origin, offsets[i], &position))
                throw zarn::ZarnError("Spectrum offset lies outside the file");
            list.append(make_spectrum_index(reader_object, reader, position, int64_t(i)));
        }
        return list;
    });
    // What C++ sees of a SpectrumIndex and its description.
    m.def("spectrum_index_view", [](nb::handle entry) -> nb::object {
        SpectrumIndexObject *index = as<SpectrumIndexObject>(entry);
        InternalSpectrumDescriptionObject *d = spectrum_description_of(entry);
        if (!index || !d) return nb::none();
        const zarn::InternalSpectrumDescription &r = d->rec();
        return nb::make_tuple(index->position, index->profile_position, r.index, opt_float(r.retention_time),
                              r.has_total_ion_base_peak, float_or_zero(r.current_total_ion),
                              or_none(d->acquisition_condition));
    });
    m.def("spectrum_supplemental_contains", [](nb::handle description, std::string key) {
        auto *d = as<InternalSpectrumDescriptionObject>(description);
        if (!d) throw nb::type_error("an InternalSpectrumDescription is expected");
        return supplemental_contains(*d, key);
    });
    // The MS level of a condition's linked core condition, through the core
    // records only.
    m.def("linked_core_ms_level", [](nb::handle condition) -> nb::object {
        auto &c = nb::cast<InternalAcquisitionConditionObject &>(condition);
        const auto &core = c.rec().internal_acquisition_core_condition;
        return core ? opt_int(core->ms_level) : nb::none();
    });
    m.def("function_is_qual", [](nb::handle function_index) -> nb::object {
        FunctionIndexObject *index = as<FunctionIndexObject>(function_index);
        if (!index || !index->description()) return nb::none();
        return opt_bool(index->description()->rec().is_qual);
    });

    // n new SpectrumPoint objects made the way the decoders make them: the
    // floor of any decoding that returns n points.
    m.def("make_spectrum_points", [](size_t n) {
        if (n > size_t(PY_SSIZE_T_MAX)) throw std::bad_alloc();
        nb::list list = nb::steal<nb::list>(PyList_New(Py_ssize_t(n)));
        if (!list.is_valid()) throw nb::python_error();
        for (size_t i = 0; i < n; ++i) {
            nb::object point = zarn::py::make_value(
                zarn::py::SpectrumPoint{zarn::py::Num::of_float(double(i)), zarn::py::Num::of_float(1.0)});
            PyList_SET_ITEM(list.ptr(), Py_ssize_t(i), point.release().ptr());
        }
        return list;
    });
    // The range-limited MS read over native ranges, as C++ callers run it:
    // per range its collected (x, intensity) pairs and its passed flag.
    m.def("read_spectrum_for_native_ranges", [](zarn::Reader &reader, const std::vector<std::pair<double, double>> &bounds) {
        std::vector<zarn::XicRange> ranges(bounds.size());
        std::vector<zarn::XicRange *> order;
        for (size_t i = 0; i < bounds.size(); ++i) {
            ranges[i].min = zarn::Number::real(bounds[i].first);
            ranges[i].max = zarn::Number::real(bounds[i].second);
            order.push_back(&ranges[i]);
        }
        zarn::XicSink sink(order);
        zarn::read_spectrum_for_multiple_xic(reader, sink);
        nb::list out;
        for (const zarn::XicRange &range : ranges) {
            nb::list points;
            for (const zarn::Point &p : range.spectrum_point)
                points.append(nb::make_tuple(p.x, p.intensity.to_double()));
            out.append(nb::make_tuple(points, range.is_break_to_read));
        }
        return out;
    });
}
