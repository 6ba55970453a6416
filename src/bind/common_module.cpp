// zarn_data_access._internal._common: the point and range value types that
// zarn_data_access.common offers.
#include <nanobind/nanobind.h>
#include <nanobind/stl/string.h>

#include <cstring>
#include <new>
#include <utility>
#include <vector>

#include "objects.hpp"
#include "signatures.hpp"
#include "support.hpp"
#include "values.hpp"

namespace nb = nanobind;
using namespace nb::literals;
using zarn::py::Num;

namespace {

// The text of a value as str() or repr() gives it, kept a Python text: any
// text a value gives (a NUL, a lone surrogate) is joined as it stands.
nb::object text_of(nb::handle h, bool repr) {
    return zarn::py::checked(repr ? PyObject_Repr(h.ptr()) : PyObject_Str(h.ptr()));
}

using zarn::py::join_str;

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

}  // namespace

// ---------------------------------------------------------------- point classes

namespace zarn::py {

// A point of class T (or of a subclass) whose fields are set, as a method
// takes it; and the point that __init__ fills, one that __new__ made and
// nothing has filled yet.
template <typename T>
struct Ready {
    const T *point = nullptr;
    const T *operator->() const { return point; }
};
template <typename T>
struct Fresh {
    T *point = nullptr;
};

// The names of each point class: as signatures give it, and as the warnings
// about a point in the wrong state give it.
template <typename T>
struct PointNames;
template <>
struct PointNames<SpectrumPoint> {
    static constexpr char shown[] = "zarn_data_access.common.SpectrumPoint";
    static constexpr const char *internal = "zarn_data_access._internal._common.SpectrumPoint";
};
template <>
struct PointNames<ChromatogramPoint> {
    static constexpr char shown[] = "zarn_data_access.common.ChromatogramPoint";
    static constexpr const char *internal = "zarn_data_access._internal._common.ChromatogramPoint";
};
template <>
struct PointNames<SpectrumBasedChromatogramPoint> {
    static constexpr char shown[] = "zarn_data_access.common.SpectrumBasedChromatogramPoint";
    static constexpr const char *internal = "zarn_data_access._internal._common.SpectrumBasedChromatogramPoint";
};

// The point object of `h` when it is of T's class and in the wanted state
// (filled, or not yet filled for __init__); otherwise null, with a warning
// when only the state is wrong.
template <typename T>
PointObject<T> *point_object(nb::handle h, bool filled) noexcept {
    PyTypeObject *type = point_types->type[PointClass<T>::index];
    if (!PyObject_TypeCheck(h.ptr(), type)) return nullptr;
    auto *o = reinterpret_cast<PointObject<T> *>(h.ptr());
    if (PointClass<T>::is_set(o->value) == filled) return o;
    // A subclass is named by its module and qualified name.
    PyObject *cls = reinterpret_cast<PyObject *>(Py_TYPE(h.ptr())), *name = nullptr;
    if (Py_TYPE(h.ptr()) == type) {
        name = PyUnicode_FromString(PointNames<T>::internal);
    } else {
        PyObject *module = PyObject_GetAttrString(cls, "__module__");
        PyObject *qualname = module ? PyObject_GetAttrString(cls, "__qualname__") : nullptr;
        if (qualname) name = PyUnicode_FromFormat("%S.%S", module, qualname);
        Py_XDECREF(module);
        Py_XDECREF(qualname);
    }
    if (!name || PyErr_WarnFormat(PyExc_RuntimeWarning, 1, "nanobind: %s of type '%U'!\n",
                                  filled ? "attempted to access an uninitialized instance"
                                         : "attempted to initialize an already-initialized instance",
                                  name) != 0)
        PyErr_WriteUnraisable(nullptr);
    Py_XDECREF(name);
    return nullptr;
}

// The point of `h` for a method that takes any object as its self.
template <typename T>
const T &ready_point(nb::handle h) {
    PointObject<T> *o = point_object<T>(h, true);
    if (!o) throw nb::cast_error();
    return o->value;
}

}  // namespace zarn::py

namespace nanobind::detail {

// An argument that takes a point of T's class in the state `Filled` asks.
template <typename Arg, typename T, bool Filled>
struct point_caster {
    NB_TYPE_CASTER(Arg, const_name(zarn::py::PointNames<T>::shown))
    bool from_python(handle src, uint8_t, cleanup_list *) noexcept {
        zarn::py::PointObject<T> *o = zarn::py::point_object<T>(src, Filled);
        value.point = o ? &o->value : nullptr;
        return o != nullptr;
    }
};

template <typename T>
struct type_caster<zarn::py::Ready<T>> : point_caster<zarn::py::Ready<T>, T, true> {};
template <typename T>
struct type_caster<zarn::py::Fresh<T>> : point_caster<zarn::py::Fresh<T>, T, false> {};

}  // namespace nanobind::detail

namespace {

using zarn::py::Fresh;
using zarn::py::PointClass;
using zarn::py::PointObject;
using zarn::py::Ready;

zarn::py::PointTypes shared_points;

// Releases the fields and keeps the object in its class's pool, or frees it.
template <typename T>
void free_point(PyObject *self) {
    PyTypeObject *type = Py_TYPE(self);
    reinterpret_cast<PointObject<T> *>(self)->value.~T();
    constexpr int k = PointClass<T>::index;
    zarn::py::PointPool &pool = shared_points.pool[k];
    if (type == shared_points.type[k] && pool.size < zarn::py::kPooledPoints) {
        zarn::py::set_next_pooled(self, pool.first);
        pool.first = self;
        ++pool.size;
    } else {
        type->tp_free(self);
    }
    Py_DECREF(type);
}

template <typename T>
void point_dealloc(PyObject *self) {
    zarn::py::free_in_turn(self, &free_point<T>);
}

// A point of unset fields; __init__ fills it.
template <typename T>
PyObject *point_new(PyTypeObject *type, PyObject *, PyObject *) {
    if (type == shared_points.type[PointClass<T>::index]) {
        try {
            return zarn::py::new_point(PointClass<T>::unset());
        } catch (const std::bad_alloc &) {
            return PyErr_NoMemory();
        }
    }
    PyObject *o = type->tp_alloc(type, 0);
    if (o) new (&reinterpret_cast<PointObject<T> *>(o)->value) T(PointClass<T>::unset());
    return o;
}

// The class of T: a plain extension type whose methods nanobind makes, as
// the methods of one of its own classes. `name` lives as long as the class.
template <typename T>
nb::handle make_point_class(nb::module_ &m, const char *name, const char *doc) {
    PyType_Slot slots[] = {{Py_tp_dealloc, reinterpret_cast<void *>(&point_dealloc<T>)},
                           {Py_tp_new, reinterpret_cast<void *>(&point_new<T>)},
                           {Py_tp_doc, const_cast<char *>(doc)},
                           {0, nullptr}};
    PyType_Spec type_spec = {name, int(sizeof(PointObject<T>)), 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE, slots};
    nb::object cls = nb::steal(PyType_FromSpec(&type_spec));
    if (!cls.is_valid()) throw nb::python_error();
    // The name without the module: messages name instances by it.
    const char *dot = std::strrchr(name, '.');
    cls.attr("__name__") = nb::str(dot ? dot + 1 : name);
    // The class dictionary starts __module__, __new__, __init__, __doc__,
    // as a nanobind class's does: __new__ moves behind __module__ here, and
    // __doc__ returns behind __init__ when that is defined.
    PyObject *dict = reinterpret_cast<PyTypeObject *>(cls.ptr())->tp_dict;
    nb::object new_ = nb::borrow(PyDict_GetItemString(dict, "__new__"));
    if (!new_.is_valid() || PyDict_DelItemString(dict, "__new__") != 0 || PyDict_DelItemString(dict, "__doc__") != 0 ||
        PyDict_SetItemString(dict, "__new__", new_.ptr()) != 0)
        throw nb::python_error();
    PyType_Modified(reinterpret_cast<PyTypeObject *>(cls.ptr()));
    m.attr(cls.attr("__name__")) = cls;
    shared_points.type[PointClass<T>::index] = reinterpret_cast<PyTypeObject *>(cls.release().ptr());
    return reinterpret_cast<PyObject *>(shared_points.type[PointClass<T>::index]);
}

// Methods and read-only properties of a point class, made as nb::class_
// makes them.
class PointMethods {
public:
    PointMethods(nb::handle cls, const char *doc) : cls_(cls), doc_(doc) {}

    template <typename F, typename... Extra>
    PointMethods &def(const char *name, F &&f, const Extra &...extra) {
        nb::cpp_function_def(std::forward<F>(f), nb::scope(cls_), nb::name(name), nb::is_method(), extra...);
        if (std::strcmp(name, "__init__") == 0) {
            // __doc__ follows __init__ in the class dictionary.
            PyObject *dict = reinterpret_cast<PyTypeObject *>(cls_.ptr())->tp_dict;
            nb::str doc(doc_);
            if (PyDict_SetItemString(dict, "__doc__", doc.ptr()) != 0) throw nb::python_error();
            PyType_Modified(reinterpret_cast<PyTypeObject *>(cls_.ptr()));
        }
        return *this;
    }

    template <typename F>
    PointMethods &def_prop_ro(const char *name, F &&getter, const char *type) {
        const zarn::py::GetterSignature signature(name, type);
        nb::object get = nb::cpp_function(std::forward<F>(getter), nb::is_method(), nb::is_getter(),
                                          nb::rv_policy::reference_internal, signature.sig());
        nb::detail::property_install(cls_.ptr(), name, get.ptr(), nullptr);
        return *this;
    }

private:
    nb::handle cls_;
    const char *doc_;
};

template <typename T>
PointMethods point_class(nb::module_ &m, const char *name, const char *doc) {
    return PointMethods(make_point_class<T>(m, name, doc), doc);
}

}  // namespace

NB_MODULE(_common, m) {
    zarn::py::init_module_support();
    zarn::py::point_types = &shared_points;

    using SP = zarn::py::SpectrumPoint;
    point_class<SP>(m, "zarn_data_access._internal._common.SpectrumPoint",
                    "One spectrum point: x (m/z or wavelength) and intensity.")
        .def(
            "__init__",
            [](Fresh<SP> self, nb::handle x, nb::handle intensity) {
                *self.point = SP{Num::of_object(x), Num::of_object(intensity)};
            },
            "x"_a, "intensity"_a, nb::sig("def __init__(self, x: float, intensity: float) -> None"))
        .def_prop_ro(
            "x", [](Ready<SP> p) { return p->x.object(); }, "float")
        .def_prop_ro(
            "intensity", [](Ready<SP> p) { return p->intensity.object(); }, "float")
        .def("__eq__", [](Ready<SP> a, Ready<SP> b) { return a->x.equals(b->x) && a->intensity.equals(b->intensity); })
        .def(
            "__eq__", [](Ready<SP>, nb::handle) { return nb::not_implemented(); }, "other"_a.none())
        .def("__hash__", [](Ready<SP> p) { return hash_of_tuple({p->x.object(), p->intensity.object()}); })
        .def("__reduce__",
             [](nb::handle self) {
                 const SP &p = zarn::py::ready_point<SP>(self);
                 return rebuilt_by(self, {p.x.object(), p.intensity.object()});
             })
        .def("__repr__", [](Ready<SP> p) {
            return join_str({nb::str("SpectrumPoint(x="), text_of(p->x.object(), true), nb::str(", intensity="),
                             text_of(p->intensity.object(), true), nb::str(")")});
        });

    using CP = zarn::py::ChromatogramPoint;
    point_class<CP>(m, "zarn_data_access._internal._common.ChromatogramPoint",
                    "One chromatogram point: retention time and intensity.")
        .def(
            "__init__",
            [](Fresh<CP> self, nb::handle rt, nb::handle intensity) {
                *self.point = CP{Num::of_object(rt), Num::of_object(intensity)};
            },
            "retention_time"_a, "intensity"_a,
            nb::sig("def __init__(self, retention_time: float, intensity: float) -> None"))
        .def_prop_ro(
            "retention_time", [](Ready<CP> p) { return p->retention_time.object(); }, "float")
        .def_prop_ro(
            "intensity", [](Ready<CP> p) { return p->intensity.object(); }, "float")
        .def("__eq__",
             [](Ready<CP> a, Ready<CP> b) {
                 return a->retention_time.equals(b->retention_time) && a->intensity.equals(b->intensity);
             })
        .def(
            "__eq__", [](Ready<CP>, nb::handle) { return nb::not_implemented(); }, "other"_a.none())
        .def("__hash__", [](Ready<CP> p) { return hash_of_tuple({p->retention_time.object(), p->intensity.object()}); })
        .def("__reduce__",
             [](nb::handle self) {
                 const CP &p = zarn::py::ready_point<CP>(self);
                 return rebuilt_by(self, {p.retention_time.object(), p.intensity.object()});
             })
        .def("__repr__", [](Ready<CP> p) {
            return join_str({nb::str("ChromatogramPoint(retention_time="), text_of(p->retention_time.object(), true),
                             nb::str(", intensity="), text_of(p->intensity.object(), true), nb::str(")")});
        });

    using SBCP = zarn::py::SpectrumBasedChromatogramPoint;
    point_class<SBCP>(m, "zarn_data_access._internal._common.SpectrumBasedChromatogramPoint",
                      "One chromatogram point derived from a spectrum: the spectrum's index, its retention "
                      "time, the intensity, and the x value of the highest point.")
        .def(
            "__init__",
            [](Fresh<SBCP> self, nb::handle index, nb::handle rt, nb::handle intensity, nb::handle x) {
                *self.point =
                    SBCP{Num::of_object(index), Num::of_object(rt), Num::of_object(intensity), Num::of_object(x)};
            },
            "index"_a, "retention_time"_a, "intensity"_a, "x"_a,
            nb::sig("def __init__(self, index: int, retention_time: float, intensity: float, x: float) -> None"))
        .def_prop_ro(
            "index", [](Ready<SBCP> p) { return p->index.object(); }, "int")
        .def_prop_ro(
            "retention_time", [](Ready<SBCP> p) { return p->retention_time.object(); }, "float")
        .def_prop_ro(
            "intensity", [](Ready<SBCP> p) { return p->intensity.object(); }, "float")
        .def_prop_ro(
            "x", [](Ready<SBCP> p) { return p->x.object(); }, "float")
        .def("__eq__",
             [](Ready<SBCP> a, Ready<SBCP> b) {
                 return a->index.equals(b->index) && a->retention_time.equals(b->retention_time) &&
                        a->intensity.equals(b->intensity) && a->x.equals(b->x);
             })
        .def(
            "__eq__", [](Ready<SBCP>, nb::handle) { return nb::not_implemented(); }, "other"_a.none())
        .def("__hash__",
             [](Ready<SBCP> p) {
                 return hash_of_tuple(
                     {p->index.object(), p->retention_time.object(), p->intensity.object(), p->x.object()});
             })
        .def("__reduce__",
             [](nb::handle self) {
                 const SBCP &p = zarn::py::ready_point<SBCP>(self);
                 return rebuilt_by(self,
                                   {p.index.object(), p.retention_time.object(), p.intensity.object(), p.x.object()});
             })
        .def("__repr__", [](Ready<SBCP> p) {
            return join_str({nb::str("SpectrumBasedChromatogramPoint(index="), text_of(p->index.object(), true),
                             nb::str(", retention_time="), text_of(p->retention_time.object(), true),
                             nb::str(", intensity="), text_of(p->intensity.object(), true), nb::str(", x="),
                             text_of(p->x.object(), true), nb::str(")")});
        });

    // The other modules make points of these classes through this table.
    nb::object capsule = nb::steal(PyCapsule_New(&shared_points, zarn::py::kPointTypesCapsule, nullptr));
    if (!capsule.is_valid()) throw nb::python_error();
    m.attr("_point_types") = capsule;

    using VR = zarn::py::ValueRange;
    nb::class_<VR> value_range(m, "ValueRange", "A closed numeric range [min, max].");
    value_range
        .def(
            "__init__", [](VR *self, nb::object min, nb::object max) { new (self) VR{std::move(min), std::move(max)}; },
            "min"_a, "max"_a, nb::sig("def __init__(self, min: float, max: float) -> None"))
        .def_prop_rw(
            "min", [](const VR &r) { return r.min; }, [](VR &r, nb::object v) { r.min = std::move(v); },
            nb::for_getter(nb::sig("def min(self) -> float")),
            nb::for_setter(nb::sig("def min(self, arg: float, /) -> None")))
        .def_prop_rw(
            "max", [](const VR &r) { return r.max; }, [](VR &r, nb::object v) { r.max = std::move(v); },
            nb::for_getter(nb::sig("def max(self) -> float")),
            nb::for_setter(nb::sig("def max(self, arg: float, /) -> None")))
        .def(
            "contains_value",
            [](const VR &r, nb::handle value) {
                // Each bound is held while compared: a comparison may replace it.
                nb::object min = r.min;
                if (!zarn::py::compare(min, value, Py_LE)) return false;
                nb::object max = r.max;
                return zarn::py::compare(value, max, Py_LE);
            },
            "value"_a, nb::sig("def contains_value(self, value: float) -> bool"))
        .def("__eq__", [](const VR &a, const VR &b) { return ranges_equal(a, b); })
        .def(
            "__eq__", [](const VR &, nb::handle) { return nb::not_implemented(); }, "other"_a.none())
        .def("__ne__", [](const VR &a, const VR &b) { return !ranges_equal(a, b); })
        .def(
            "__ne__", [](const VR &, nb::handle) { return nb::not_implemented(); }, "other"_a.none())
        .def("__hash__", [](const VR &r) { return hash_of_tuple({r.min, r.max}); })
        .def("__reduce__",
             [](nb::handle self) {
                 const auto &r = nb::cast<const VR &>(self);
                 return rebuilt_by(self, {r.min, r.max});
             })
        // Each bound is held while its text is made: a __repr__ may replace it.
        .def("__str__",
             [](const VR &r) {
                 nb::object min = r.min, max = r.max;
                 return join_str({text_of(min, false), nb::str(" - "), text_of(max, false)});
             })
        .def("__repr__", [](const VR &r) {
            nb::object min = r.min, max = r.max;
            return join_str(
                {nb::str("ValueRange("), text_of(min, true), nb::str(", "), text_of(max, true), nb::str(")")});
        });
    zarn::py::free_nested_in_turn(value_range);

    // The classes belong to zarn_data_access.common as far as callers see.
    for (const char *name : {"SpectrumPoint", "ChromatogramPoint", "SpectrumBasedChromatogramPoint", "ValueRange"})
        m.attr(name).attr("__module__") = "zarn_data_access.common";
}
