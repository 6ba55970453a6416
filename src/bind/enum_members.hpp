// The members of the package's enumerations that records hand out, each
// made once by calling its enumeration and kept for the life of the
// interpreter.
#pragma once

#include <nanobind/nanobind.h>

#include <cstdint>
#include <optional>

#include "format/enums.hpp"
#include "records/records.hpp"
#include "records/rules.hpp"
#include "support.hpp"

namespace zarn::py {

namespace nb = nanobind;

// The Python enumerations that records hand out. The first five are the
// core's ValueEnum kinds, in the same order.
enum class PyEnum : uint8_t {
    Polarity,
    SpectrumType,
    QuanAnalysisType,
    CompoundType,
    InstrumentManufacturer,
    Detector,
    VendorCondition,
    TripleQScan
};
inline constexpr int kPyEnumCount = 8;

inline PyEnum py_enum(ValueEnum kind) { return PyEnum(uint8_t(kind)); }

inline nb::handle enum_type(PyEnum kind) {
    struct Where {
        const char *module, *name;
    };
    static constexpr Where where[kPyEnumCount] = {
        {"zarn_data_access.common", "PolarityTypes"},
        {"zarn_data_access.common", "SpectrumTypes"},
        {"zarn_data_access.common", "QuanAnalysisTypes"},
        {"zarn_data_access.common", "CompoundTypes"},
        {"zarn_data_access.common", "InstrumentManufacturers"},
        {"zarn_data_access._internal._enum", "DetectorTypes"},
        {"zarn_data_access._internal._enum", "VendorSpecificAdditionalConditionTypes"},
        {"zarn_data_access._internal._enum", "TripleQScanTypes"},
    };
    static PyObject *types[kPyEnumCount] = {};
    PyObject *&type = types[size_t(kind)];
    if (!type) type = import_attr(where[size_t(kind)].module, where[size_t(kind)].name);
    return type;
}

// The member of value v, made once (for 0-63) by calling the enumeration.
inline nb::object enum_member(PyEnum kind, int64_t value) {
    static PyObject *members[kPyEnumCount][64] = {};
    if (value < 0 || value > 63) return enum_type(kind)(value);
    PyObject *&member = members[size_t(kind)][size_t(value)];
    if (!member) member = nb::object(enum_type(kind)(value)).release().ptr();
    return nb::borrow(member);
}

// The member that a record holds when the file does not store the field.
inline nb::handle enum_default(ValueEnum kind) {
    static PyObject *defaults[kValueEnumCount] = {};
    PyObject *&member = defaults[size_t(kind)];
    if (!member) member = nb::object(enum_type(py_enum(kind)).attr(absent_member_name(kind))).release().ptr();
    return member;
}
inline nb::handle enum_default(PyEnum kind) { return enum_default(ValueEnum(uint8_t(kind))); }

template <typename I>
nb::object value_enum(ValueEnum kind, const std::optional<I> &v) {
    return v ? enum_member(py_enum(kind), *v) : nb::borrow(enum_default(kind));
}
inline nb::object detector_member(DetectorType v) { return enum_member(PyEnum::Detector, int64_t(v)); }
template <typename E>
nb::object opt_enum(PyEnum kind, const std::optional<E> &v) {
    return v ? enum_member(kind, int64_t(*v)) : nb::none();
}

}  // namespace zarn::py
