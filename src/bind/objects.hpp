// C++ objects as Python objects: making an instance of a registered class
// without running Python code, taking the C++ object of a Python one, and
// the garbage-collector support that every class holding Python objects
// shares.
#pragma once

#include <nanobind/nanobind.h>

#include <utility>

#include "support.hpp"

namespace zarn::py {

namespace nb = nanobind;

// ---------------------------------------------------------------- instances

// A new Python instance of a registered type, made without running Python
// code (the classes refuse construction from Python).
template <typename T, typename... Args>
nb::object new_instance(Args &&...args) {
    static nb::handle type;
    if (!type.is_valid()) type = nb::type<T>();
    if (!type.is_valid()) throw nb::type_error("zarn_data_access._internal record types are not loaded");
    nb::object obj = nb::inst_alloc(type);
    new (nb::inst_ptr<T>(obj)) T(std::forward<Args>(args)...);
    nb::inst_mark_ready(obj);
    return obj;
}

// The C++ object of `h` when it is a T, else null.
template <typename T>
T *as(nb::handle h) {
    if (!h.is_valid() || !nb::isinstance<T>(h)) return nullptr;
    if (!nb::inst_ready(h)) return nullptr;
    return nb::inst_ptr<T>(h);
}

inline nb::object or_none(const nb::object &o) { return o.is_valid() ? o : nb::none(); }

// ---------------------------------------------------------------- garbage collection

// Pauses the cyclic garbage collector while many record objects are made in
// one go (a spectrum index block): otherwise every few hundred new objects
// start a collection that walks all objects made so far.
class GcPause {
public:
    GcPause() : was_enabled_(PyGC_Disable() == 1) {}
    GcPause(const GcPause &) = delete;
    GcPause &operator=(const GcPause &) = delete;
    ~GcPause() {
        if (was_enabled_) PyGC_Enable();
    }

private:
    bool was_enabled_;
};

// A C++ object's traverse and clear over the Python objects it holds.
template <typename... Objects>
int visit_objects(visitproc visit, void *arg, const Objects &...objects) {
    int r = 0;
    ((r = r != 0 || !objects.ptr() ? r : visit(objects.ptr(), arg)), ...);
    return r;
}

template <typename... Objects>
void reset_objects(Objects &...objects) {
    (objects.reset(), ...);
}

// Garbage-collector support for the classes: the objects they hold may be
// anything a caller put into a list or dictionary, cycles included. T
// visits and drops them in traverse() and clear().
template <typename T>
int record_traverse(PyObject *self, visitproc visit, void *arg) {
    Py_VISIT(Py_TYPE(self));
    if (!nb::inst_ready(self)) return 0;
    return nb::inst_ptr<T>(self)->traverse(visit, arg);
}

template <typename T>
int record_clear(PyObject *self) {
    if (nb::inst_ready(self)) nb::inst_ptr<T>(self)->clear();
    return 0;
}

template <typename T>
inline PyType_Slot gc_slots[] = {{Py_tp_traverse, (void *)record_traverse<T>},
                                 {Py_tp_clear, (void *)record_clear<T>},
                                 {0, nullptr}};

// ---------------------------------------------------------------- classes

// A record class: garbage-collected, and refusing construction from Python
// (objects come from the class factories).
template <typename T>
nb::class_<T> record_class(nb::module_ &m, const char *name) {
    nb::class_<T> cls(m, name, nb::type_slots(gc_slots<T>));
    cls.def("__init__", [](T *) { throw PlainError("Inaccessible due to protection level"); });
    return cls;
}

}  // namespace zarn::py
