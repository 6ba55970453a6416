// Shared by every binding module: the one mapping of core errors to Python
// exception types, and conversions between core values and Python objects.
#pragma once

#include <nanobind/nanobind.h>

#include <cstdint>
#include <string>

#include "format/errors.hpp"
#include "format/numbers.hpp"
#include "py_ops.hpp"
#include "threading.hpp"

namespace zarn::py {

namespace nb = nanobind;

// A Python class imported once and kept for the life of the interpreter.
inline PyObject *import_attr(const char *module, const char *name) {
    nb::object m = nb::module_::import_(module);
    return nb::object(m.attr(name)).release().ptr();
}

inline PyObject *zarn_exception_type() {
    static PyObject *type = import_attr("zarn_data_access.exception", "ZarnException");
    return type;
}
inline PyObject *zarn_version_exception_type() {
    static PyObject *type = import_attr("zarn_data_access.exception", "ZarnVersionException");
    return type;
}
inline PyObject *zstd_error_type() {
    static PyObject *type = import_attr("zarn_data_access.zstd", "ZstdError");
    return type;
}
inline PyObject *struct_error_type() {
    static PyObject *type = import_attr("struct", "error");
    return type;
}

// Raises the interpreter's own UnicodeDecodeError for text that failed
// validation in the core.
inline void set_decode_error(const TextDecodeError &e) {
    PyObject *text = PyUnicode_Decode(e.bytes.data(), Py_ssize_t(e.bytes.size()), e.encoding, "strict");
    if (text) {
        Py_DECREF(text);
        PyErr_SetString(PyExc_UnicodeError, e.what());
    }
}

// The enumeration's own lookup error: the enumeration named by the core is
// called with the value, so that the caller sees exactly what the
// enumeration raises (a flag enumeration words it differently).
inline void set_enum_lookup_error(const EnumLookupError &e) {
    for (const char *module : {"zarn_data_access._internal._enum", "zarn_data_access.common"}) {
        PyObject *m = PyImport_ImportModule(module);
        if (!m) {
            PyErr_Clear();
            continue;
        }
        PyObject *type = PyObject_GetAttrString(m, e.enum_name.c_str());
        Py_DECREF(m);
        if (!type) {
            PyErr_Clear();
            continue;
        }
        PyObject *member = PyObject_CallFunction(type, "L", (long long)e.value);
        Py_DECREF(type);
        if (!member) return;
        Py_DECREF(member);
        break;
    }
    PyErr_SetString(PyExc_ValueError, e.what());
}

inline void translate_error(const std::exception_ptr &p, void *) {
    try {
        std::rethrow_exception(p);
    } catch (const DecompressionError &e) {
        PyErr_SetString(zstd_error_type(), e.what());
    } catch (const ZarnVersionError &e) {
        PyErr_SetString(zarn_version_exception_type(), e.what());
    } catch (const ZarnError &e) {
        PyErr_SetString(zarn_exception_type(), e.what());
    } catch (const OutOfRange &e) {
        PyErr_SetString(PyExc_IndexError, e.what());
    } catch (const EnumLookupError &e) {
        set_enum_lookup_error(e);
    } catch (const InvalidValue &e) {
        PyErr_SetString(PyExc_ValueError, e.what());
    } catch (const ShortRawArray &e) {
        PyErr_SetString(struct_error_type(), e.what());
    } catch (const WrongKind &e) {
        PyErr_SetString(PyExc_TypeError, e.what());
    } catch (const VersionNotSet &) {
        // As the reader's version field reads before it was set.
        PyErr_SetString(PyExc_AttributeError,
                        "'KxmFileReader' object has no attribute '_KxmFileReader__major_version'");
    } catch (const MissingField &e) {
        PyErr_SetString(PyExc_AttributeError, e.what());
    } catch (const Misuse &e) {
        PyErr_SetString(PyExc_Exception, e.what());
    } catch (const TextDecodeError &e) {
        set_decode_error(e);
    }
}

// One level of the interpreter's recursion count for as long as it lives.
// C++ code that recurses through values a caller can nest (hashes and
// comparisons of conditions) takes one per level, so that a value whose
// fields lead back to itself fails with RecursionError, as it would in
// Python code, instead of overflowing the C stack.
class RecursionLevel {
public:
    explicit RecursionLevel(const char *where) {
        if (Py_EnterRecursiveCall(where)) throw nb::python_error();
    }
    RecursionLevel(const RecursionLevel &) = delete;
    RecursionLevel &operator=(const RecursionLevel &) = delete;
    ~RecursionLevel() { Py_LeaveRecursiveCall(); }
};

// hash(o) under the recursion limit: the interpreter counts no depth for
// hashes computed in C.
inline Py_hash_t hash_within_limit(nb::handle o) {
    Py_hash_t h;
    {
        RecursionLevel level(" while computing a hash");
        h = PyObject_Hash(o.ptr());
    }
    if (h == -1 && PyErr_Occurred()) throw nb::python_error();
    return h;
}

// Runs f where no Python caller can receive a failure (a finaliser, the
// collector's clear): a failure of any kind goes to the interpreter's
// unraisable hook, named by `context`, and an exception already set is left
// as it was.
template <typename F>
void or_unraisable(const char *context, F &&f) noexcept {
    nb::error_scope scope;
    try {
        f();
        return;
    } catch (nb::python_error &e) {
        e.discard_as_unraisable(context);
        return;
    } catch (const std::exception &e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
    } catch (...) {
        PyErr_SetString(PyExc_RuntimeError, "unknown C++ exception");
    }
    nb::object where = nb::steal(PyUnicode_FromString(context));
    PyErr_WriteUnraisable(where.ptr());
}

// Every module calls this from its initialiser; the exception types it
// needs are imported then, so that raising never has to import.
inline void init_module_support() {
    static bool done = false;
    if (done) return;
    done = true;
    nb::register_exception_translator(translate_error);
    register_exit_hook();
    zarn_exception_type();
    zarn_version_exception_type();
    struct_error_type();
}

// ---------------------------------------------------------------- integers

// A Python int as a 64-bit value, saturated at the ends of the range.
inline int64_t to_i64_saturating(nb::handle h) {
    int overflow = 0;
    long long v = PyLong_AsLongLongAndOverflow(h.ptr(), &overflow);
    if (v == -1 && PyErr_Occurred()) throw nb::python_error();
    if (overflow > 0) return INT64_MAX;
    if (overflow < 0) return INT64_MIN;
    return v;
}

inline nb::object int_from_i128(i128 v) {
    if (v >= INT64_MIN && v <= INT64_MAX) return nb::steal(PyLong_FromLongLong((long long)v));
    const bool negative = v < 0;
    u128 m = negative ? u128(0) - u128(v) : u128(v);
    nb::object hi = nb::steal(PyLong_FromUnsignedLongLong((unsigned long long)(m >> 64)));
    nb::object lo = nb::steal(PyLong_FromUnsignedLongLong((unsigned long long)m));
    nb::object shift = nb::steal(PyLong_FromLong(64));
    nb::object r = nb::steal(PyNumber_Lshift(hi.ptr(), shift.ptr()));
    if (!r.is_valid()) throw nb::python_error();
    r = nb::steal(PyNumber_Or(r.ptr(), lo.ptr()));
    if (!r.is_valid()) throw nb::python_error();
    if (negative) {
        r = nb::steal(PyNumber_Negative(r.ptr()));
        if (!r.is_valid()) throw nb::python_error();
    }
    return r;
}

// A Python int as a 128-bit value; OverflowError beyond +-2**126.
inline i128 int_to_i128(nb::handle h) {
    if (!PyLong_Check(h.ptr())) throw nb::type_error("an integer is required");
    int overflow = 0;
    long long v = PyLong_AsLongLongAndOverflow(h.ptr(), &overflow);
    if (v == -1 && PyErr_Occurred()) throw nb::python_error();
    if (!overflow) return v;
    nb::object shift = nb::steal(PyLong_FromLong(64));
    nb::object hi = nb::steal(PyNumber_Rshift(h.ptr(), shift.ptr()));
    if (!hi.is_valid()) throw nb::python_error();
    long long hv = PyLong_AsLongLongAndOverflow(hi.ptr(), &overflow);
    if (overflow || (hv == -1 && PyErr_Occurred()) || hv >= (1LL << 62) || hv < -(1LL << 62)) {
        PyErr_SetString(PyExc_OverflowError, "integer too large");
        throw nb::python_error();
    }
    nb::object mask = nb::steal(PyLong_FromUnsignedLongLong(~0ull));
    nb::object lo = nb::steal(PyNumber_And(h.ptr(), mask.ptr()));
    if (!lo.is_valid()) throw nb::python_error();
    unsigned long long lv = PyLong_AsUnsignedLongLong(lo.ptr());
    return (i128(hv) << 64) | i128(lv);
}

}  // namespace zarn::py
