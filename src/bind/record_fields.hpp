// The fields of the record classes, declared once per class in a table.
//
// A record object type T names its record (`Record`, `rec()`), its Python
// class (`kClass`) and its fields (`fields`, one line each), and holds
// `Slots<kept_count(fields)> slots` for the fields that keep their object.
// The table drives everything else: each field's Python name
// ("_<Class>__<name>"), how its object is made and whether it is kept, the
// value hash and equality of the condition records, and the registration
// with nanobind (def_fields, def_value_semantics).
//
// A field line is ZARN_KEPT(member, Convert, InValue) or ZARN_FRESH(member,
// Convert) for a member of the record (Convert and InValue may be left
// out), or custom<T>(name, getter, InValue, setter) for a field whose object
// the record object holds itself.
#pragma once

#include <nanobind/nanobind.h>

#include <array>
#include <concepts>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "enum_members.hpp"
#include "field_values.hpp"
#include "objects.hpp"
#include "records/records.hpp"
#include "support.hpp"
#include "value_semantics.hpp"

namespace zarn::py {

namespace nb = nanobind;

// Python objects of a record's fields, made on first access and kept, so
// that a field reads as the same object every time, as an attribute would.
template <size_t N>
struct Slots {
    std::array<nb::object, N> objects;

    template <typename Make>
    nb::object get(size_t i, Make &&make) {
        if (!objects[i].is_valid()) objects[i] = make();
        return objects[i];
    }
    void clear() {
        for (nb::object &o : objects) o.reset();
    }
    int traverse(visitproc visit, void *arg) const {
        for (const nb::object &o : objects) Py_VISIT(o.ptr());
        return 0;
    }
};

// How a field takes part in its record's value hash and equality: not at
// all; by its own hash; as the integer it holds; as the tuple of its list's
// elements. Equality compares every one of them with its own inequality.
enum class InValue : uint8_t { No, Hash, Integer, Tuple };

template <typename T>
struct Field {
    const char *name;        // the Python field is "_<Class>__<name>"
    nb::object (*get)(T &);  // makes the field's object
    bool kept = false;       // made on first access and kept until a read drops it
    InValue value = InValue::No;
    void (*set)(T &, nb::handle) = nullptr;  // a field that may be assigned
    // The getter's signature where the field is always of one type (a
    // plain integer or flag); null: object.
    const char *signature = nullptr;
};

// ---------------------------------------------------------------- converters

// The object of a member by its type: None when absent, else the value.
struct ByType {
    nb::object operator()(const std::optional<std::string> &v) const { return opt_str(v); }
    nb::object operator()(const std::optional<double> &v) const { return opt_float(v); }
    nb::object operator()(const std::optional<bool> &v) const { return opt_bool(v); }
    template <std::integral I>
    nb::object operator()(const std::optional<I> &v) const {
        return opt_int(v);
    }
    nb::object operator()(const std::optional<Range> &v) const { return opt_range(v); }
    nb::object operator()(const std::optional<std::vector<int64_t>> &v) const { return opt_int_list(v); }
    nb::object operator()(const std::optional<std::vector<double>> &v) const { return opt_float_list(v); }
    nb::object operator()(const std::optional<DateTimeFields> &v) const { return opt_datetime(v); }
    nb::object operator()(bool v) const { return nb::bool_(v); }
    template <std::integral I>
    nb::object operator()(I v) const {
        return nb::int_(v);
    }
};

// A stored value of the shared value module: its member, the enumeration's
// default member when absent.
template <ValueEnum Kind>
struct ValueMember {
    template <typename I>
    nb::object operator()(const std::optional<I> &v) const {
        return value_enum(Kind, v);
    }
};

// A member of the enumeration, None when absent.
template <PyEnum Kind>
struct OptionalMember {
    template <typename E>
    nb::object operator()(const std::optional<E> &v) const {
        return opt_enum(Kind, v);
    }
};

struct DetectorMember {
    nb::object operator()(DetectorType v) const { return detector_member(v); }
};

// A number whose absence is the integer 0.
struct FloatOrZero {
    nb::object operator()(const std::optional<double> &v) const { return float_or_zero(v); }
};

// ---------------------------------------------------------------- field lines

template <typename T, auto Member, typename Convert>
nb::object made(T &o) {
    return Convert{}(o.rec().*Member);
}

// The signature of a fresh field's getter, for the member types that give
// one Python type.
template <typename Convert, typename R, typename M>
constexpr const char *getter_signature(M R::*) {
    if constexpr (!std::is_same_v<Convert, ByType>)
        return nullptr;
    else if constexpr (std::is_same_v<M, bool>)
        return "def (self) -> bool";
    else if constexpr (std::is_integral_v<M>)
        return "def (self) -> int";
    else
        return nullptr;
}

template <typename T, auto Member, typename Convert = ByType, InValue Value = InValue::No>
constexpr Field<T> kept(const char *name) {
    return {name, &made<T, Member, Convert>, true, Value};
}

template <typename T, auto Member, typename Convert = ByType>
constexpr Field<T> fresh(const char *name) {
    return {name, &made<T, Member, Convert>, false, InValue::No, nullptr, getter_signature<Convert>(Member)};
}

template <typename T>
constexpr Field<T> custom(const char *name, nb::object (*get)(T &), InValue value = InValue::No,
                          void (*set)(T &, nb::handle) = nullptr, const char *signature = nullptr) {
    return {name, get, false, value, set, signature};
}

// Inside the record object's class, whose `Self` and `Record` name it and
// its core record.
#define ZARN_KEPT(member, ...) kept<Self, &Record::member __VA_OPT__(, ) __VA_ARGS__>(#member)
#define ZARN_FRESH(member, ...) fresh<Self, &Record::member __VA_OPT__(, ) __VA_ARGS__>(#member)

template <typename T, size_t N>
constexpr size_t kept_count(const Field<T> (&fields)[N]) {
    size_t n = 0;
    for (const Field<T> &f : fields) n += f.kept ? 1 : 0;
    return n;
}

// The slot of each kept field: kept fields in table order.
template <typename T>
inline constexpr auto kSlotOf = [] {
    std::array<size_t, std::size(T::fields)> slots{};
    size_t n = 0;
    for (size_t i = 0; i < slots.size(); ++i) {
        slots[i] = n;
        n += T::fields[i].kept ? 1 : 0;
    }
    return slots;
}();

// The position of the field `name` in T's table; no such field does not
// compile.
template <typename T>
consteval size_t field_index(std::string_view name) {
    for (size_t i = 0; i < std::size(T::fields); ++i)
        if (name == T::fields[i].name) return i;
    throw "no such field";
}

// ---------------------------------------------------------------- field access

// The object of field i.
template <typename T>
nb::object field(T &o, size_t i) {
    const Field<T> &f = T::fields[i];
    if (!f.kept) return f.get(o);
    return o.slots.get(kSlotOf<T>[i], [&] { return f.get(o); });
}

template <typename T>
std::string field_name(const char *name) {
    return std::string("_") + T::kClass + "__" + name;
}

// Field i of `h` as the other modules read it: from the C++ object when `h`
// is exactly a T, else by the field's class-qualified name.
template <typename T>
nb::object record_field(nb::handle h, size_t i) {
    if (T *o = exactly<T>(h)) return field(*o, i);
    return nb::getattr(h, field_name<T>(T::fields[i].name).c_str());
}

// Every field of the table as a property of the class, in table order.
template <typename T>
void def_fields(nb::class_<T> &cls) {
    for (size_t i = 0; i < std::size(T::fields); ++i) {
        const Field<T> &f = T::fields[i];
        const std::string name = field_name<T>(f.name);
        if (f.set)
            cls.def_prop_rw(
                name.c_str(), [i](T &o) { return field(o, i); },
                [i](T &o, nb::handle value) { T::fields[i].set(o, value); }, nb::arg("value").none());
        else if (f.signature)
            cls.def_prop_ro(name.c_str(), [i](T &o) { return field(o, i); }, nb::sig(f.signature));
        else
            cls.def_prop_ro(name.c_str(), [i](T &o) { return field(o, i); });
    }
}

template <typename T>
constexpr bool has_value_fields() {
    for (const Field<T> &f : T::fields)
        if (f.value != InValue::No) return true;
    return false;
}

// The value hash: the fields that take part, in table order.
template <typename T>
nb::object value_hash(T &o) {
    ValueHash h;
    for (size_t i = 0; i < std::size(T::fields); ++i) {
        switch (T::fields[i].value) {
            case InValue::No:
                break;
            case InValue::Hash:
                h.add(field(o, i));
                break;
            case InValue::Integer:
                h.add_integer(nb::cast<int64_t>(field(o, i)));
                break;
            case InValue::Tuple:
                h.add_as_tuple(field(o, i));
                break;
        }
    }
    return h.value();
}

// Unequal to an object of another class; otherwise the fields that take
// part compared in order, each with its own inequality.
template <typename T>
bool value_equal(T &self, nb::handle other) {
    T *that = as<T>(other);
    if (!that) return false;
    for (size_t i = 0; i < std::size(T::fields); ++i) {
        if (T::fields[i].value == InValue::No) continue;
        nb::object mine = field(self, i);
        if (differ(mine, field(*that, i))) return false;
    }
    return true;
}

template <typename T>
void def_value_semantics(nb::class_<T> &cls) {
    cls.def("__hash__", &value_hash<T>).def("__eq__", &value_equal<T>, nb::arg("other").none());
}

}  // namespace zarn::py
