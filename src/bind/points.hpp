// Decoded points as Python objects, and Python sequences and numbers as the
// decoders take them; shared by the reader module and the analyses.
#pragma once

#include <nanobind/nanobind.h>

#include <vector>

#include "blocks/blocks.hpp"
#include "format/numbers.hpp"
#include "support.hpp"
#include "threading.hpp"
#include "values.hpp"

namespace zarn::py {

namespace nb = nanobind;

inline Num num_of(const Number &n) { return n.is_int ? Num::of_i128(n.i) : Num::of_float(n.f); }

inline nb::object number_object(const Number &n) {
    return n.is_int ? int_from_i128(n.i) : nb::steal(PyFloat_FromDouble(n.f));
}

// A new list of one point object per point, made by `make(point)`.
template <typename Make>
nb::list point_list(const std::vector<Point> &points, Make &&make) {
    assert_gil("making a point list");
    nb::list list = nb::steal<nb::list>(PyList_New(Py_ssize_t(points.size())));
    if (!list.is_valid()) throw nb::python_error();
    for (size_t i = 0; i < points.size(); ++i) PyList_SET_ITEM(list.ptr(), Py_ssize_t(i), make(points[i]));
    return list;
}

inline nb::list spectrum_list(const std::vector<Point> &points) {
    return point_list(points,
                      [](const Point &p) { return new_point(SpectrumPoint{Num::of_float(p.x), num_of(p.intensity)}); });
}

inline nb::list chromatogram_list(const std::vector<Point> &points) {
    return point_list(
        points, [](const Point &p) { return new_point(ChromatogramPoint{Num::of_float(p.x), num_of(p.intensity)}); });
}

// The items of a sequence as `len(seq)` and `seq[i]` give them (lists and
// tuples directly).
class Items {
public:
    explicit Items(nb::handle seq) : seq_(seq) {
        fast_ = PyList_CheckExact(seq.ptr()) || PyTuple_CheckExact(seq.ptr());
        size_ = PyObject_Length(seq.ptr());
        if (size_ < 0) throw nb::python_error();
    }
    size_t size() const { return size_t(size_); }
    nb::object operator[](size_t i) const {
        if (fast_ && Py_ssize_t(i) < PySequence_Fast_GET_SIZE(seq_.ptr()))
            return nb::borrow(PySequence_Fast_GET_ITEM(seq_.ptr(), Py_ssize_t(i)));
        nb::object key = nb::steal(PyLong_FromSize_t(i));
        nb::object item = nb::steal(PyObject_GetItem(seq_.ptr(), key.ptr()));
        if (!item.is_valid()) throw nb::python_error();
        return item;
    }

private:
    nb::handle seq_;
    Py_ssize_t size_;
    bool fast_;
};

// float(h) for a float or an int; the interpreter's error for anything else.
inline double as_double(nb::handle h) {
    const double v = PyFloat_AsDouble(h.ptr());
    if (v == -1.0 && PyErr_Occurred()) throw nb::python_error();
    return v;
}

// The DAD spectrum block at the position, one point per element of
// `wavelength_arr`, whose objects become the points' x values.
inline nb::list read_dad_spectrum(Reader &r, nb::handle wavelength_arr) {
    const std::vector<Number> intensities = read_dad_segments(r);
    assert_gil("making DAD points");
    const Items wavelengths(wavelength_arr);
    // Taking a wavelength may run Python code, which must never see a list
    // with empty slots: the points are made first, the list at the end.
    std::vector<nb::object> points;
    points.reserve(wavelengths.size());
    for (size_t i = 0; i < wavelengths.size(); ++i)
        points.push_back(
            make_value(SpectrumPoint{Num::of_object(wavelengths[i]), num_of(dad_intensity(intensities, i))}));
    nb::list list = nb::steal<nb::list>(PyList_New(Py_ssize_t(points.size())));
    if (!list.is_valid()) throw nb::python_error();
    for (size_t i = 0; i < points.size(); ++i) PyList_SET_ITEM(list.ptr(), Py_ssize_t(i), points[i].release().ptr());
    r.confirm_zarn_symbol(Symbol::END_OF_SPECTRUM);
    return list;
}

// A bound of a range for one call: a float or an integer compared exactly
// in C++, any other object by the interpreter. A bound asked point by point
// while a spectrum is decoded keeps the reader's lock for its comparison
// (the decoder reads the reader's segment in place); one asked between
// spectra gives it up (see threading.hpp).
class Bound {
public:
    enum class Asked : bool { WhileDecoding, BetweenSpectra };
    explicit Bound(nb::object value, Asked asked = Asked::WhileDecoding) : object_(std::move(value)), asked_(asked) {
        PyObject *o = object_.ptr();
        if (PyFloat_CheckExact(o)) {
            number_ = Number::real(PyFloat_AS_DOUBLE(o));
            native_ = true;
        } else if (PyLong_CheckExact(o) || PyBool_Check(o)) {
            int overflow = 0;
            const long long v = PyLong_AsLongLongAndOverflow(o, &overflow);
            if (v == -1 && PyErr_Occurred()) throw nb::python_error();
            if (!overflow) {
                number_ = Number::integer(v);
                native_ = true;
            }
        }
    }
    bool native() const { return native_; }
    const Number &number() const { return number_; }
    const nb::object &object() const { return object_; }
    // bound > x, bound < x
    bool greater(double x) const { return native_ ? zarn::greater(number_, Number::real(x)) : compare(x, Py_GT); }
    bool less(double x) const { return native_ ? zarn::less(number_, Number::real(x)) : compare(x, Py_LT); }

private:
    bool compare(double x, int op) const {
        auto compared = [&] {
            nb::object other = nb::float_(x);
            const int r = PyObject_RichCompareBool(object_.ptr(), other.ptr(), op);
            if (r < 0) throw nb::python_error();
            return r == 1;
        };
        return asked_ == Asked::BetweenSpectra ? with_gil(compared) : holding_gil(compared);
    }
    nb::object object_;
    Asked asked_;
    Number number_;
    bool native_ = false;
};

}  // namespace zarn::py
