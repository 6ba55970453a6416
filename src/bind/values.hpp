// The value types of zarn_data_access.common as C++ types with inline
// storage. The module _common registers them with nanobind; every other
// module creates them through the helpers below without calling Python code.
#pragma once

#include <nanobind/nanobind.h>

#include <cstdint>

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

    bool is_float() const { return kind_ == Float; }
    double float_value() const { return f_; }

    nb::object object() const {
        switch (kind_) {
            case Float: return nb::steal(PyFloat_FromDouble(f_));
            case Int: return nb::steal(PyLong_FromLongLong(i_));
            default: return nb::borrow(o_);
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
    enum Kind : uint8_t { Float, Int, Object };
    // The value of `other`'s kind, without touching reference counts.
    void take(const Num &other) noexcept {
        switch (other.kind_) {
            case Float: f_ = other.f_; break;
            case Int: i_ = other.i_; break;
            default: o_ = other.o_; break;
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

// Creates an instance of a registered value type from C++ without running
// Python code: allocation, placement construction, ready flag.
template <typename T>
nb::object make_value(T &&value) {
    static nb::handle type = nb::type<std::decay_t<T>>();
    if (!type.is_valid()) throw nb::type_error("zarn_data_access.common is not loaded");
    nb::object obj = nb::inst_alloc(type);
    new (nb::inst_ptr<std::decay_t<T>>(obj)) std::decay_t<T>(std::forward<T>(value));
    nb::inst_mark_ready(obj);
    return obj;
}

// Imports the module that registers the value types; every module that
// creates them calls it from its initialiser.
inline void require_value_types() { nb::module_::import_("zarn_data_access._internal._common"); }

}  // namespace zarn::py
