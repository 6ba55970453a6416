// C++ objects as Python objects: making an instance of a registered class
// without running Python code, taking the C++ object of a Python one, and
// what every class holding Python objects shares: the garbage-collector
// support, and freeing long chains of such objects in turn.
#pragma once

#include <nanobind/nanobind.h>

#include <new>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "support.hpp"

namespace zarn::py {

namespace nb = nanobind;

// ---------------------------------------------------------------- instances

// A new Python instance of `cls` (the registered class of T or a class
// derived from it), its C++ object made from `args`, without running Python
// code (the classes refuse construction from Python).
template <typename T, typename... Args>
nb::object new_instance_of(nb::handle cls, Args &&...args) {
    nb::object obj = nb::inst_alloc(cls);
    new (nb::inst_ptr<T>(obj)) T(std::forward<Args>(args)...);
    nb::inst_mark_ready(obj);
    return obj;
}

// The registered class of T, looked up once.
template <typename T>
nb::handle registered_type() {
    static nb::handle type;
    if (!type.is_valid()) type = nb::type<T>();
    return type;
}

// A new Python instance of the registered class of T.
template <typename T, typename... Args>
nb::object new_instance(Args &&...args) {
    nb::handle type = registered_type<T>();
    if (!type.is_valid()) throw nb::type_error("zarn_data_access._internal record types are not loaded");
    return new_instance_of<T>(type, std::forward<Args>(args)...);
}

// The class factories (`__create_instance`): a new object of T's class,
// its C++ object made from `args`, which `make` then sets up (fills,
// reads); a failure drops it.
template <typename T, typename Make, typename... Args>
nb::object create(Make &&make, Args &&...args) {
    nb::object obj = new_instance<T>(std::forward<Args>(args)...);
    make(*nb::inst_ptr<T>(obj));
    return obj;
}

template <typename T>
nb::object create() {
    return new_instance<T>();
}

// The same for a factory that makes an object of the class it is called on
// (a classmethod): `cls` is T's class or a subclass of it, else TypeError.
template <typename T, typename Make>
nb::object create_of(nb::handle cls, Make &&make) {
    if (!PyType_Check(cls.ptr()) || !PyType_IsSubtype((PyTypeObject *)cls.ptr(), (PyTypeObject *)nb::type<T>().ptr()))
        throw nb::type_error("the factory makes objects of its own class only");
    nb::object obj = new_instance_of<T>(cls);
    make(*nb::inst_ptr<T>(obj));
    return obj;
}

// The C++ object of `h` when it is a T, else null.
template <typename T>
T *as(nb::handle h) {
    if (!h.is_valid() || !nb::isinstance<T>(h)) return nullptr;
    if (!nb::inst_ready(h)) return nullptr;
    return nb::inst_ptr<T>(h);
}

// The C++ object of `h` when it is exactly a T (no subclass), else null.
template <typename T>
T *exactly(nb::handle h) {
    nb::handle type = registered_type<T>();
    if (!h.is_valid() || !type.is_valid() || (PyObject *)Py_TYPE(h.ptr()) != type.ptr()) return nullptr;
    if (!nb::inst_ready(h)) return nullptr;
    return nb::inst_ptr<T>(h);
}

// A private field of `h`, which the modules pass each other under its
// class-qualified `name`: from the C++ object when `h` is exactly a T (the
// field is then T's own property, which runs no Python code and answers what
// `native` answers), else looked up by name as the interpreter would.
template <typename T, typename Native>
nb::object private_field(nb::handle h, const char *name, Native &&native) {
    if (T *o = exactly<T>(h)) return native(*o);
    return nb::getattr(h, name);
}

inline nb::object or_none(const nb::object &o) { return o.is_valid() ? o : nb::none(); }

// The collector may clear an object whose cycle it frees while finalisers
// of that cycle still reach it. A class whose public members cannot answer
// once its fields are gone says when it is cleared (`cleared()`) and what it
// is (`kName`); its members take the object through ready(), which then
// fails with TypeError "the <name> has been cleared".
template <typename T>
T &ready(T &o) {
    if (o.cleared()) throw nb::type_error((std::string("the ") + T::kName + " has been cleared").c_str());
    return o;
}

// ---------------------------------------------------------------- garbage collection

// Pauses the cyclic garbage collector while many record objects are made in
// one go (every spectrum's objects of an analysis): otherwise every few
// hundred new objects start a collection that walks all objects made so far.
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
    or_unraisable("clearing a Zarn object", [&] {
        if (nb::inst_ready(self)) nb::inst_ptr<T>(self)->clear();
    });
    return 0;
}

template <typename T>
inline PyType_Slot gc_slots[] = {
    {Py_tp_traverse, (void *)record_traverse<T>}, {Py_tp_clear, (void *)record_clear<T>}, {0, nullptr}};

// ---------------------------------------------------------------- freeing

// Freeing an object drops what it holds, which may be an object holding an
// object, and so on: past this depth of nested frees an object waits in a
// list that the outermost free empties, so that a long chain is freed
// without deep C recursion. Frees run with the GIL held; a thread that frees
// while another one's free is paused in Python code counts on from its depth
// and leaves what waits to that outermost free.
constexpr int kFreeDepth = 50;

struct Frees {
    int depth = 0;
    std::vector<std::pair<PyObject *, destructor>> waiting;
};
inline Frees frees;

// Frees `self` with `free`, or puts it aside past kFreeDepth. A collected
// object waits untracked, so that the collector never meets it.
inline void free_in_turn(PyObject *self, destructor free) {
    Frees &f = frees;
    if (f.depth >= kFreeDepth) {
        try {
            f.waiting.emplace_back(self, free);
            if (PyType_IS_GC(Py_TYPE(self))) PyObject_GC_UnTrack(self);
            return;
        } catch (const std::bad_alloc &) {
            // No room to wait: freed at once.
        }
    }
    ++f.depth;
    free(self);
    if (f.depth == 1) {
        while (!f.waiting.empty()) {
            const auto [o, free_o] = f.waiting.back();
            f.waiting.pop_back();
            free_o(o);
        }
    }
    --f.depth;
}

// nanobind's own deallocation of the classes, the same for all of them.
inline destructor nanobind_dealloc = nullptr;

inline void dealloc_in_turn(PyObject *self) { free_in_turn(self, nanobind_dealloc); }

// Frees the objects of `cls` in turn. Every class that holds Python objects
// a caller may nest (a range whose bound is a range) installs it.
inline void free_nested_in_turn(nb::handle cls) {
    auto *type = reinterpret_cast<PyTypeObject *>(cls.ptr());
    if (type->tp_dealloc == dealloc_in_turn) return;
    if (!nanobind_dealloc) nanobind_dealloc = type->tp_dealloc;
    if (type->tp_dealloc != nanobind_dealloc) throw std::logic_error("a class is not freed by nanobind");
    type->tp_dealloc = dealloc_in_turn;
}

// ---------------------------------------------------------------- classes

// A record class: garbage-collected, and refusing construction from Python
// (objects come from the class factories); `doc` is its docstring, if any.
template <typename T>
nb::class_<T> record_class(nb::module_ &m, const char *name, const char *doc = nullptr) {
    nb::class_<T> cls = doc ? nb::class_<T>(m, name, doc, nb::type_slots(gc_slots<T>))
                            : nb::class_<T>(m, name, nb::type_slots(gc_slots<T>));
    cls.def("__init__", [](T *) { throw Misuse("Inaccessible due to protection level"); });
    free_nested_in_turn(cls);
    return cls;
}

}  // namespace zarn::py
