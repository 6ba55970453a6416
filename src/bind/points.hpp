// Decoded points as Python objects, and Python sequences and numbers as the
// decoders take them; shared by the reader module and the analyses.
#pragma once

#include <nanobind/nanobind.h>

#include <algorithm>
#include <cstring>
#include <memory>
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

// Point objects made by `Make{}(x, intensity)` as the decoder hands the
// points over in batches, so that no native copy of all the points is kept
// beside them; the list is made when every point is there (list()), and no
// Python code ever sees one with empty slots. The references wait in
// blocks, each freed as soon as the list holds its objects. Making a point
// runs no Python code.
template <typename Make>
class PointObjects final : public PointBatches {
public:
    PointObjects() = default;
    PointObjects(const PointObjects &) = delete;
    PointObjects &operator=(const PointObjects &) = delete;
    ~PointObjects() override {
        for (size_t b = 0; b < blocks_.size(); ++b)
            for (size_t i = 0; i < in_block(b); ++i) Py_DECREF(blocks_[b][i]);
    }
    nb::list list() {
        nb::list list = nb::steal<nb::list>(PyList_New(Py_ssize_t(count_)));
        if (!list.is_valid()) throw nb::python_error();
        PyObject **items = PySequence_Fast_ITEMS(list.ptr());
        for (size_t b = 0; b < blocks_.size(); ++b) {
            std::memcpy(items + b * kBlock, blocks_[b].get(), in_block(b) * sizeof(PyObject *));
            blocks_[b].reset();
        }
        blocks_.clear();
        count_ = 0;
        return list;
    }

private:
    size_t in_block(size_t b) const { return std::min(kBlock, count_ - b * kBlock); }
    void flush(const Point *points, size_t n) override {
        for (size_t i = 0; i < n;) {
            if (count_ % kBlock == 0) blocks_.emplace_back(new PyObject *[kBlock]);
            PyObject **block = blocks_.back().get() + count_ % kBlock;
            const size_t m = std::min(n - i, kBlock - count_ % kBlock);
            for (size_t k = 0; k < m; ++k, ++i) {
                block[k] = Make{}(points[i].x, points[i].intensity);
                ++count_;
            }
        }
    }

    static constexpr size_t kBlock = 8192;
    std::vector<std::unique_ptr<PyObject *[]>> blocks_;
    size_t count_ = 0;
};

struct MakeSpectrumPoint {
    PyObject *operator()(double x, const Number &y) const {
        return new_point(SpectrumPoint{Num::of_float(x), num_of(y)});
    }
};

struct MakeChromatogramPoint {
    PyObject *operator()(double x, const Number &y) const {
        return new_point(ChromatogramPoint{Num::of_float(x), num_of(y)});
    }
};

// The points of the MS spectrum block at the position, as a new list.
inline nb::list read_spectrum_points(Reader &r) {
    PointObjects<MakeSpectrumPoint> out;
    read_spectrum(r, out);
    return out.list();
}

// The points of the chromatogram block at the position, as a new list.
inline nb::list read_chromatogram_points(Reader &r) {
    PointObjects<MakeChromatogramPoint> out;
    read_chromatogram(r, out);
    return out.list();
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

// How many intensities of a DAD block a wavelength sequence can use: its
// length when a list or tuple tells it without running Python code, else
// all of them (the caller's sequence is asked only after the block is read).
inline size_t usable_intensities(nb::handle wavelength_arr) {
    PyObject *o = wavelength_arr.ptr();
    return PyList_CheckExact(o) || PyTuple_CheckExact(o) ? size_t(PySequence_Fast_GET_SIZE(o)) : SIZE_MAX;
}

// The DAD spectrum block at the position, one point per element of
// `wavelength_arr`, whose objects become the points' x values.
inline nb::list read_dad_spectrum(Reader &r, nb::handle wavelength_arr) {
    const std::vector<Number> intensities = read_dad_segments(r, usable_intensities(wavelength_arr));
    // Python code run below may read elsewhere with the same reader.
    const Reader::Mark end = r.mark();
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
    r.seat(end);
    r.confirm_zarn_symbol(Symbol::END_OF_SPECTRUM);
    return list;
}

// A bound of a range for one call: a float or an integer compared exactly
// in C++, any other object by the interpreter. Its comparison is caller code
// and runs without the reader's lock (see threading.hpp): the decoders own
// the bytes they decode and seat the reader again after it.
class Bound {
public:
    explicit Bound(nb::object value) : object_(std::move(value)) {
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
        return with_gil(compared);
    }
    nb::object object_;
    Number number_;
    bool native_ = false;
};

}  // namespace zarn::py
