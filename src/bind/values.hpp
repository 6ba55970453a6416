// The value types of zarn_data_access.common as C++ types with inline
// storage. The module _common makes their classes; every other module
// creates them through the helpers below without calling Python code.
//
// The point classes are plain extension types: a point is the object header
// followed by its C++ value, allocated here without the binding library,
// with no registration of the instance anywhere. _common shares the three
// classes and their pools of dropped points with the other modules through
// one capsule, so that every module makes instances of the same classes.
#pragma once

#include <nanobind/nanobind.h>

#include <cstddef>
#include <cstdint>
#include <new>
#include <type_traits>

#include "format/numbers.hpp"
#include "support.hpp"

namespace zarn::py {

// A number field that keeps its Python type: a float, an int of 64 bits, or
// any other object (ints beyond 64 bits, or whatever a caller passed).
class Num {
public:
    Num() = default;
    static Num of_float(double v) {
        Num n;
        n.kind_ = Float;
        n.f_ = v;
        return n;
    }
    static Num of_int(int64_t v) {
        Num n;
        n.kind_ = Int;
        n.i_ = v;
        return n;
    }
    static Num of_i128(i128 v) {
        if (v >= INT64_MIN && v <= INT64_MAX) return of_int(int64_t(v));
        return of_object(int_from_i128(v));
    }
    // The fields of a point that __new__ made and __init__ has not filled.
    static Num unset() {
        Num n;
        n.kind_ = Unset;
        return n;
    }
    static Num of_object(nb::handle h) {
        PyObject *o = h.ptr();
        if (PyFloat_CheckExact(o)) return of_float(PyFloat_AS_DOUBLE(o));
        if (PyLong_CheckExact(o)) {
            int overflow = 0;
            long long v = PyLong_AsLongLongAndOverflow(o, &overflow);
            if (!overflow && !(v == -1 && PyErr_Occurred())) return of_int(v);
            PyErr_Clear();
        }
        Num n;
        n.kind_ = Object;
        n.o_ = h.inc_ref().ptr();
        return n;
    }

    Num(const Num &other) : kind_(other.kind_) {
        take(other);
        if (kind_ == Object) Py_INCREF(o_);
    }
    Num(Num &&other) noexcept : kind_(other.kind_) {
        take(other);
        other.kind_ = Float;
        other.f_ = 0.0;
    }
    Num &operator=(Num other) noexcept {
        Num old(std::move(*this));
        kind_ = other.kind_;
        take(other);
        other.kind_ = Float;
        other.f_ = 0.0;
        return *this;
    }
    ~Num() {
        if (kind_ == Object) Py_DECREF(o_);
    }

    bool is_set() const { return kind_ != Unset; }
    bool is_float() const { return kind_ == Float; }
    double float_value() const { return f_; }

    nb::object object() const {
        switch (kind_) {
            case Float:
                return nb::steal(PyFloat_FromDouble(f_));
            case Int:
                return nb::steal(PyLong_FromLongLong(i_));
            case Object:
                return nb::borrow(o_);
            default:
                return nb::none();
        }
    }

    // Python's ==, with fast paths for two floats or two ints.
    bool equals(const Num &other) const {
        if (kind_ == Float && other.kind_ == Float) return f_ == other.f_;
        if (kind_ == Int && other.kind_ == Int) return i_ == other.i_;
        int r = PyObject_RichCompareBool(object().ptr(), other.object().ptr(), Py_EQ);
        if (r < 0) throw nb::python_error();
        return r == 1;
    }

    int traverse(visitproc visit, void *arg) const {
        if (kind_ == Object) Py_VISIT(o_);
        return 0;
    }

private:
    enum Kind : uint8_t { Float, Int, Object, Unset };
    // The value of `other`'s kind, without touching reference counts.
    void take(const Num &other) noexcept {
        switch (other.kind_) {
            case Float:
                f_ = other.f_;
                break;
            case Int:
                i_ = other.i_;
                break;
            case Object:
                o_ = other.o_;
                break;
            default:
                break;
        }
    }

    // Only the member of the kind holds a value: a point keeps two to four
    // of these, and points are made by the million.
    Kind kind_ = Float;
    union {
        double f_ = 0.0;
        int64_t i_;
        PyObject *o_;
    };
};

static_assert(sizeof(Num) == 16);

struct SpectrumPoint {
    Num x, intensity;
};

struct ChromatogramPoint {
    Num retention_time, intensity;
};

struct SpectrumBasedChromatogramPoint {
    Num index, retention_time, intensity, x;
};

struct ValueRange {
    nb::object min, max;
};

// ---------------------------------------------------------------- point objects

// A point object: the object header, then the point. A point that __new__
// made and __init__ has not filled holds unset fields.
template <typename T>
struct PointObject {
    PyObject_HEAD T value;
};

// Each point type: its place in the shared table, the point of unset fields,
// and whether a point holds values (all its fields are set together, so the
// first one tells).
template <typename T>
struct PointClass;
template <>
struct PointClass<SpectrumPoint> {
    static constexpr int index = 0;
    static bool is_set(const SpectrumPoint &p) { return p.x.is_set(); }
    static SpectrumPoint unset() { return {Num::unset(), Num::unset()}; }
};
template <>
struct PointClass<ChromatogramPoint> {
    static constexpr int index = 1;
    static bool is_set(const ChromatogramPoint &p) { return p.retention_time.is_set(); }
    static ChromatogramPoint unset() { return {Num::unset(), Num::unset()}; }
};
template <>
struct PointClass<SpectrumBasedChromatogramPoint> {
    static constexpr int index = 2;
    static bool is_set(const SpectrumBasedChromatogramPoint &p) { return p.index.is_set(); }
    static SpectrumBasedChromatogramPoint unset() { return {Num::unset(), Num::unset(), Num::unset(), Num::unset()}; }
};

template <typename T>
concept PointType = requires { PointClass<T>::index; };

// Points are made and dropped by the thousand (a spectrum's list, then the
// next one's): up to this many dropped points of each class are kept for
// reuse, chained through the memory of their values.
inline constexpr uint32_t kPooledPoints = 16384;

struct PointPool {
    PyObject *first = nullptr;
    uint32_t size = 0;
};

// What _common shares: the three classes and their pools.
struct PointTypes {
    PyTypeObject *type[3] = {};
    PointPool pool[3];
};

inline constexpr const char *kPointTypesCapsule = "zarn_data_access._internal._common._point_types";

// This module's view of the shared table: set by _common when it makes the
// classes, by require_value_types(), or at the first point this module makes.
inline PointTypes *point_types = nullptr;

// The table of _common when that is loaded; TypeError when it is not.
inline PointTypes *load_point_types() {
    nb::object module = nb::steal(PyImport_GetModule(nb::str("zarn_data_access._internal._common").ptr()));
    if (!module.is_valid()) {
        if (PyErr_Occurred()) throw nb::python_error();
        throw nb::type_error("zarn_data_access.common is not loaded");
    }
    nb::object capsule = module.attr("_point_types");
    void *table = PyCapsule_GetPointer(capsule.ptr(), kPointTypesCapsule);
    if (!table) throw nb::python_error();
    point_types = static_cast<PointTypes *>(table);
    return point_types;
}

// A pooled object's value is gone: its memory holds the next pooled object.
inline void *pooled_link(PyObject *o) { return reinterpret_cast<char *>(o) + sizeof(PyObject); }
inline void set_next_pooled(PyObject *o, PyObject *next) { new (pooled_link(o)) PyObject *(next); }
inline PyObject *next_pooled(PyObject *o) { return *std::launder(static_cast<PyObject **>(pooled_link(o))); }

static_assert(offsetof(PointObject<SpectrumPoint>, value) == sizeof(PyObject));
static_assert(alignof(SpectrumPoint) >= alignof(PyObject *) && sizeof(SpectrumPoint) >= sizeof(PyObject *));

// A new object of T's exact class holding `value`: taken from the pool or
// allocated, with no Python code run.
template <typename T>
    requires PointType<std::remove_cvref_t<T>>
PyObject *new_point(T &&value) {
    using V = std::remove_cvref_t<T>;
    PointTypes *types = point_types ? point_types : load_point_types();
    constexpr int k = PointClass<V>::index;
    PointPool &pool = types->pool[k];
    PyObject *o = pool.first;
    if (o) {
        pool.first = next_pooled(o);
        --pool.size;
    } else {
        o = static_cast<PyObject *>(PyObject_Malloc(sizeof(PointObject<V>)));
        if (!o) throw std::bad_alloc();
    }
    PyObject_Init(o, types->type[k]);
    new (&reinterpret_cast<PointObject<V> *>(o)->value) V(std::forward<T>(value));
    return o;
}

// Creates an instance of a value type from C++ without running Python code:
// a point as above; a type registered with nanobind by allocation,
// placement construction and the ready flag.
template <typename T>
nb::object make_value(T &&value) {
    using V = std::decay_t<T>;
    if constexpr (PointType<V>) {
        return nb::steal(new_point(std::forward<T>(value)));
    } else {
        static nb::handle type = nb::type<V>();
        if (!type.is_valid()) throw nb::type_error("zarn_data_access.common is not loaded");
        nb::object obj = nb::inst_alloc(type);
        new (nb::inst_ptr<V>(obj)) V(std::forward<T>(value));
        nb::inst_mark_ready(obj);
        return obj;
    }
}

// Imports the module that makes the value types and takes its table of
// point classes; a module that creates them calls it from its initialiser
// (one that does not takes the table when it makes its first point, as long
// as some other module loaded _common).
inline void require_value_types() {
    nb::module_::import_("zarn_data_access._internal._common");
    if (!point_types) load_point_types();
}

}  // namespace zarn::py
