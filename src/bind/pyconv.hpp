// Conversions of core results into Python objects, shared by the binding
// modules. A module that uses make_datetime calls PyDateTime_IMPORT in its
// initialiser (each module is one translation unit).
#pragma once

#include <nanobind/nanobind.h>

#include <datetime.h>

#include <initializer_list>
#include <string>
#include <vector>

#include "format/datetime.hpp"
#include "format/errors.hpp"

namespace zarn::py {

namespace nb = nanobind;

// The text of a file path as the caller passed it: a str as it is, a
// bytes or os.PathLike path decoded as the file system does, anything else
// by str(). Messages and texts of a handle opened with a pathlib.Path or
// bytes path then read as text instead of failing to concatenate.
inline nb::object path_text(nb::handle path) {
    if (PyUnicode_Check(path.ptr())) return nb::borrow(path);
    if (PyBytes_Check(path.ptr()) || PyObject_HasAttrString(path.ptr(), "__fspath__"))
        return nb::module_::import_("os").attr("fsdecode")(path);
    nb::object text = nb::steal(PyObject_Str(path.ptr()));
    if (!text.is_valid()) throw nb::python_error();
    return text;
}

// The lists take their values by value: making a list may start a
// collection whose finalisers read into the record the values came from.
inline nb::list int_list(std::vector<int64_t> values) {
    PyObject *list = PyList_New(Py_ssize_t(values.size()));
    if (!list) throw nb::python_error();
    nb::list result = nb::steal<nb::list>(list);
    for (size_t i = 0; i < values.size(); ++i) {
        PyObject *item = PyLong_FromLongLong(values[i]);
        if (!item) throw nb::python_error();
        PyList_SET_ITEM(list, Py_ssize_t(i), item);
    }
    return result;
}

inline nb::list float_list(std::vector<double> values) {
    PyObject *list = PyList_New(Py_ssize_t(values.size()));
    if (!list) throw nb::python_error();
    nb::list result = nb::steal<nb::list>(list);
    for (size_t i = 0; i < values.size(); ++i) {
        PyObject *item = PyFloat_FromDouble(values[i]);
        if (!item) throw nb::python_error();
        PyList_SET_ITEM(list, Py_ssize_t(i), item);
    }
    return result;
}

// Text already validated by the core (ASCII or strict UTF-8).
inline nb::str make_str(const std::string &text) {
    PyObject *s = PyUnicode_DecodeUTF8(text.data(), Py_ssize_t(text.size()), "strict");
    if (!s) throw nb::python_error();
    return nb::steal<nb::str>(s);
}

// A naive date-time, or, when the stored value is flagged as UTC, the same
// instant in the local zone, carrying a new dateutil tzlocal(). An instant
// that the local zone would move beyond year 1 or 9999 keeps its UTC fields.
inline nb::object make_datetime(const DateTimeFields &f) {
    auto make = [&f](PyObject *zone) {
        PyObject *dt = PyDateTimeAPI->DateTime_FromDateAndTime(f.year, f.month, f.day, f.hour, f.minute, f.second,
                                                               f.microsecond, zone, PyDateTimeAPI->DateTimeType);
        if (!dt) throw nb::python_error();
        return nb::steal(dt);
    };
    if (!f.utc) return make(Py_None);
    static nb::handle tzlocal = nb::object(nb::module_::import_("dateutil.tz").attr("tzlocal")).release();
    nb::object local = tzlocal();
    try {
        return make(PyDateTime_TimeZone_UTC).attr("astimezone")(local);
    } catch (nb::python_error &e) {
        if (!e.matches(PyExc_OverflowError)) throw;
    }
    return make(local.ptr());
}

}  // namespace zarn::py
