// The interpreter's own operations on caller objects, each with its error
// turned into a C++ exception: one home for truth, comparison, length and
// text, so that every module asks a caller's object the same way.
#pragma once

#include <nanobind/nanobind.h>

#include <initializer_list>

namespace zarn::py {

namespace nb = nanobind;

// A new reference from the C API, or the pending Python error.
inline nb::object checked(PyObject *o) {
    if (!o) throw nb::python_error();
    return nb::steal(o);
}

// bool(h).
inline bool truth(nb::handle h) {
    const int r = PyObject_IsTrue(h.ptr());
    if (r < 0) throw nb::python_error();
    return r == 1;
}

// `a <op> b` (Py_EQ, Py_LT, ...) taken for its truth, as an expression
// compares: the objects are always asked, identical or not.
inline bool compare(nb::handle a, nb::handle b, int op) {
    return truth(checked(PyObject_RichCompare(a.ptr(), b.ptr(), op)));
}
inline bool equals(nb::handle a, nb::handle b) { return compare(a, b, Py_EQ); }
inline bool differ(nb::handle a, nb::handle b) { return compare(a, b, Py_NE); }

// `a <op> b` as lists and dictionaries compare their items: identical
// objects are equal without being asked.
inline bool compare_items(nb::handle a, nb::handle b, int op) {
    const int r = PyObject_RichCompareBool(a.ptr(), b.ptr(), op);
    if (r < 0) throw nb::python_error();
    return r == 1;
}

// len(h).
inline Py_ssize_t length(nb::handle h) {
    const Py_ssize_t n = PyObject_Length(h.ptr());
    if (n < 0) throw nb::python_error();
    return n;
}

// str(h).
inline nb::object str_of(nb::handle h) { return checked(PyObject_Str(h.ptr())); }

// The pieces joined into one text, each by the interpreter's str().
inline nb::str join_str(std::initializer_list<nb::handle> pieces) {
    nb::list parts;
    for (nb::handle piece : pieces) parts.append(nb::str(piece));
    return nb::steal<nb::str>(checked(PyUnicode_Join(nb::str("").ptr(), parts.ptr())).release());
}

}  // namespace zarn::py
