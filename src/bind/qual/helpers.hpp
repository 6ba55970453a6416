// The interpreter's operations that the files of the qual module share:
// truth, comparison, length and number conversion of caller objects, texts
// with a count, and list positions as a list takes them.
#pragma once

#include <nanobind/nanobind.h>

#include <cstddef>
#include <cstdint>

#include "format/errors.hpp"
#include "format/numbers.hpp"
#include "points.hpp"
#include "support.hpp"

namespace zarn::py {

namespace nb = nanobind;

inline nb::object to_float(nb::handle h) {
    nb::object f = nb::steal(PyNumber_Float(h.ptr()));
    if (!f.is_valid()) throw nb::python_error();
    return f;
}

// A number that arithmetic on a float produced, as the native number
// comparisons take it.
inline Number number_of(nb::handle h) {
    if (PyLong_Check(h.ptr())) {
        Bound bound{nb::borrow(h)};
        if (bound.native()) return bound.number();
    }
    return Number::real(as_double(h));
}

// "[<index>] <count> <words>"
inline nb::str counted_text(nb::handle index, Py_ssize_t count, const char *words) {
    nb::object text = nb::steal(PyUnicode_FromFormat("[%S] %zd %s", index.ptr(), count, words));
    if (!text.is_valid()) throw nb::python_error();
    return nb::borrow<nb::str>(text);
}

// The list position that `index` names, checked as `index < 0 or index >=
// count` raising "Index out of range"; an index that is no integer fails
// as list indexing fails.
inline size_t checked_position(nb::handle index, size_t count) {
    nb::object zero = nb::int_(0), size = nb::int_(count);
    if (compare(index, zero, Py_LT) || compare(index, size, Py_GE)) throw zarn::Misuse("Index out of range");
    if (!PyIndex_Check(index.ptr())) {
        nb::object message = nb::steal(
            PyUnicode_FromFormat("list indices must be integers or slices, not %s", Py_TYPE(index.ptr())->tp_name));
        throw nb::type_error(nb::borrow<nb::str>(message).c_str());
    }
    nb::object position = nb::steal(PyNumber_Index(index.ptr()));
    if (!position.is_valid()) throw nb::python_error();
    // The comparisons above are the index's own; the list position is what
    // it converts to, taken as a list takes it (negative from the end).
    int64_t i = to_i64_saturating(position);
    if (i < 0) i += int64_t(count);
    if (i < 0 || uint64_t(i) >= count) throw zarn::OutOfRange("list index out of range");
    return size_t(i);
}

}  // namespace zarn::py
