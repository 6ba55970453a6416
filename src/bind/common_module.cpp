// zarn_data_access._internal._common: the point and range value types that
// zarn_data_access.common offers.
#include <nanobind/nanobind.h>
#include <nanobind/stl/string.h>

#include "support.hpp"
#include "values.hpp"

namespace nb = nanobind;
using namespace nb::literals;
using zarn::py::Num;

namespace {

// The text of a value as str() or repr() gives it.
std::string text_of(nb::handle h, bool repr) {
    nb::str s = nb::steal<nb::str>(repr ? PyObject_Repr(h.ptr()) : PyObject_Str(h.ptr()));
    if (!s.is_valid()) throw nb::python_error();
    return s.c_str();
}

Py_hash_t hash_of_tuple(std::initializer_list<nb::object> items) {
    nb::object tuple = nb::steal(PyTuple_New(Py_ssize_t(items.size())));
    Py_ssize_t i = 0;
    for (const nb::object &item : items) PyTuple_SET_ITEM(tuple.ptr(), i++, item.inc_ref().ptr());
    return zarn::py::hash_within_limit(tuple);
}

// Bound by bound, each held while compared: a comparison may replace it.
bool ranges_equal(const zarn::py::ValueRange &a, const zarn::py::ValueRange &b) {
    nb::object a_min = a.min, b_min = b.min;
    if (!a_min.equal(b_min)) return false;
    nb::object a_max = a.max, b_max = b.max;
    return a_max.equal(b_max);
}

// (class, arguments): copy and pickle make the value again by calling its
// class with its fields.
nb::tuple rebuilt_by(nb::handle self, std::initializer_list<nb::object> fields) {
    nb::object arguments = nb::steal(PyTuple_New(Py_ssize_t(fields.size())));
    if (!arguments.is_valid()) throw nb::python_error();
    Py_ssize_t i = 0;
    for (const nb::object &field : fields) PyTuple_SET_ITEM(arguments.ptr(), i++, field.inc_ref().ptr());
    return nb::make_tuple(self.type(), arguments);
}

bool truth(PyObject *o) {
    if (!o) throw nb::python_error();
    nb::object owned = nb::steal(o);
    int r = PyObject_IsTrue(o);
    if (r < 0) throw nb::python_error();
    return r == 1;
}

// Points are made and dropped by the thousand (a spectrum's list, then the
// next one's): up to this many dropped points of each class are kept for
// reuse, which saves their allocation and their registration with
// nanobind.
constexpr uint32_t kPooledPoints = 16384;

}  // namespace

NB_MODULE(_common, m) {
    zarn::py::init_module_support();

    nb::class_<zarn::py::SpectrumPoint>(m, "SpectrumPoint", "One spectrum point: x (m/z or wavelength) and intensity.",
                                        nb::pooled(kPooledPoints))
        .def("__init__",
             [](zarn::py::SpectrumPoint *self, nb::handle x, nb::handle intensity) {
                 new (self) zarn::py::SpectrumPoint{Num::of_object(x), Num::of_object(intensity)};
             },
             "x"_a, "intensity"_a)
        .def_prop_ro("x", [](const zarn::py::SpectrumPoint &p) { return p.x.object(); })
        .def_prop_ro("intensity", [](const zarn::py::SpectrumPoint &p) { return p.intensity.object(); })
        .def("__eq__",
             [](const zarn::py::SpectrumPoint &a, const zarn::py::SpectrumPoint &b) {
                 return a.x.equals(b.x) && a.intensity.equals(b.intensity);
             })
        .def("__eq__", [](const zarn::py::SpectrumPoint &, nb::handle) { return nb::not_implemented(); }, "other"_a.none())
        .def("__hash__",
             [](const zarn::py::SpectrumPoint &p) { return hash_of_tuple({p.x.object(), p.intensity.object()}); })
        .def("__reduce__", [](nb::handle self) {
            const auto &p = nb::cast<const zarn::py::SpectrumPoint &>(self);
            return rebuilt_by(self, {p.x.object(), p.intensity.object()});
        })
        .def("__repr__", [](const zarn::py::SpectrumPoint &p) {
            return "SpectrumPoint(x=" + text_of(p.x.object(), true) +
                   ", intensity=" + text_of(p.intensity.object(), true) + ")";
        });

    nb::class_<zarn::py::ChromatogramPoint>(m, "ChromatogramPoint", "One chromatogram point: retention time and intensity.",
                                            nb::pooled(kPooledPoints))
        .def("__init__",
             [](zarn::py::ChromatogramPoint *self, nb::handle rt, nb::handle intensity) {
                 new (self) zarn::py::ChromatogramPoint{Num::of_object(rt), Num::of_object(intensity)};
             },
             "retention_time"_a, "intensity"_a)
        .def_prop_ro("retention_time", [](const zarn::py::ChromatogramPoint &p) { return p.retention_time.object(); })
        .def_prop_ro("intensity", [](const zarn::py::ChromatogramPoint &p) { return p.intensity.object(); })
        .def("__eq__",
             [](const zarn::py::ChromatogramPoint &a, const zarn::py::ChromatogramPoint &b) {
                 return a.retention_time.equals(b.retention_time) && a.intensity.equals(b.intensity);
             })
        .def("__eq__", [](const zarn::py::ChromatogramPoint &, nb::handle) { return nb::not_implemented(); }, "other"_a.none())
        .def("__hash__",
             [](const zarn::py::ChromatogramPoint &p) {
                 return hash_of_tuple({p.retention_time.object(), p.intensity.object()});
             })
        .def("__reduce__", [](nb::handle self) {
            const auto &p = nb::cast<const zarn::py::ChromatogramPoint &>(self);
            return rebuilt_by(self, {p.retention_time.object(), p.intensity.object()});
        })
        .def("__repr__", [](const zarn::py::ChromatogramPoint &p) {
            return "ChromatogramPoint(retention_time=" + text_of(p.retention_time.object(), true) +
                   ", intensity=" + text_of(p.intensity.object(), true) + ")";
        });

    using SBCP = zarn::py::SpectrumBasedChromatogramPoint;
    nb::class_<SBCP>(m, "SpectrumBasedChromatogramPoint",
                     "One chromatogram point derived from a spectrum: the spectrum's index, its retention "
                     "time, the intensity, and the x value of the highest point.",
                     nb::pooled(kPooledPoints))
        .def("__init__",
             [](SBCP *self, nb::handle index, nb::handle rt, nb::handle intensity, nb::handle x) {
                 new (self) SBCP{Num::of_object(index), Num::of_object(rt), Num::of_object(intensity), Num::of_object(x)};
             },
             "index"_a, "retention_time"_a, "intensity"_a, "x"_a)
        .def_prop_ro("index", [](const SBCP &p) { return p.index.object(); })
        .def_prop_ro("retention_time", [](const SBCP &p) { return p.retention_time.object(); })
        .def_prop_ro("intensity", [](const SBCP &p) { return p.intensity.object(); })
        .def_prop_ro("x", [](const SBCP &p) { return p.x.object(); })
        .def("__eq__",
             [](const SBCP &a, const SBCP &b) {
                 return a.index.equals(b.index) && a.retention_time.equals(b.retention_time) &&
                        a.intensity.equals(b.intensity) && a.x.equals(b.x);
             })
        .def("__eq__", [](const SBCP &, nb::handle) { return nb::not_implemented(); }, "other"_a.none())
        .def("__hash__",
             [](const SBCP &p) {
                 return hash_of_tuple({p.index.object(), p.retention_time.object(), p.intensity.object(), p.x.object()});
             })
        .def("__reduce__", [](nb::handle self) {
            const auto &p = nb::cast<const SBCP &>(self);
            return rebuilt_by(self, {p.index.object(), p.retention_time.object(), p.intensity.object(), p.x.object()});
        })
        .def("__repr__", [](const SBCP &p) {
            return "SpectrumBasedChromatogramPoint(index=" + text_of(p.index.object(), true) +
                   ", retention_time=" + text_of(p.retention_time.object(), true) +
                   ", intensity=" + text_of(p.intensity.object(), true) + ", x=" + text_of(p.x.object(), true) + ")";
        });

    using VR = zarn::py::ValueRange;
    nb::class_<VR>(m, "ValueRange", "A closed numeric range [min, max].")
        .def("__init__",
             [](VR *self, nb::object min, nb::object max) { new (self) VR{std::move(min), std::move(max)}; },
             "min"_a, "max"_a)
        .def_prop_rw(
            "min", [](const VR &r) { return r.min; }, [](VR &r, nb::object v) { r.min = std::move(v); })
        .def_prop_rw(
            "max", [](const VR &r) { return r.max; }, [](VR &r, nb::object v) { r.max = std::move(v); })
        .def(
            "contains_value",
            [](const VR &r, nb::handle value) {
                // Each bound is held while compared: a comparison may replace it.
                nb::object min = r.min;
                if (!truth(PyObject_RichCompare(min.ptr(), value.ptr(), Py_LE))) return false;
                nb::object max = r.max;
                return truth(PyObject_RichCompare(value.ptr(), max.ptr(), Py_LE));
            },
            "value"_a)
        .def("__eq__", [](const VR &a, const VR &b) { return ranges_equal(a, b); })
        .def("__eq__", [](const VR &, nb::handle) { return nb::not_implemented(); }, "other"_a.none())
        .def("__ne__", [](const VR &a, const VR &b) { return !ranges_equal(a, b); })
        .def("__ne__", [](const VR &, nb::handle) { return nb::not_implemented(); }, "other"_a.none())
        .def("__hash__", [](const VR &r) { return hash_of_tuple({r.min, r.max}); })
        .def("__reduce__", [](nb::handle self) {
            const auto &r = nb::cast<const VR &>(self);
            return rebuilt_by(self, {r.min, r.max});
        })
        .def("__str__", [](const VR &r) { return text_of(r.min, false) + " - " + text_of(r.max, false); })
        .def("__repr__",
             [](const VR &r) { return "ValueRange(" + text_of(r.min, true) + ", " + text_of(r.max, true) + ")"; });

    // The classes belong to zarn_data_access.common as far as callers see.
    for (const char *name : {"SpectrumPoint", "ChromatogramPoint", "SpectrumBasedChromatogramPoint", "ValueRange"})
        m.attr(name).attr("__module__") = "zarn_data_access.common";
}
