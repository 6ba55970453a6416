// The supplemental properties of a record as a Python dictionary: made on
// first access and kept, and from then on the record's truth.
#pragma once

#include <nanobind/nanobind.h>

#include <string>
#include <string_view>
#include <utility>

#include "pyconv.hpp"
#include "records/records.hpp"

namespace zarn::py {

namespace nb = nanobind;

inline void dict_set(nb::handle dict, const std::string &key, const std::string &value) {
    if (PyDict_SetItem(dict.ptr(), make_str(key).ptr(), make_str(value).ptr()) != 0) throw nb::python_error();
}

inline nb::object supplemental_dict(const SupplementalProperties &props) {
    nb::dict d;
    for (const auto &[key, value] : props.items()) dict_set(d, key, value);
    return d;
}

// Reading into a record whose dictionary has been handed out adds the pairs
// read to that dictionary, as reading into the dictionary itself would: the
// record's pairs are set aside, the read fills an empty list, and its pairs
// then go into the dictionary and join the record's.
template <typename Read>
void read_with_dictionary(SupplementalProperties &props, const nb::object &dict, Read &&read) {
    if (!dict.is_valid()) {
        read();
        return;
    }
    SupplementalProperties earlier;
    std::swap(earlier, props);
    auto finish = [&]() {
        std::swap(earlier, props);
        for (const auto &[key, value] : earlier.items()) dict_set(dict, key, value);
        props.merge(earlier);
    };
    try {
        read();
    } catch (...) {
        finish();
        throw;
    }
    finish();
}

// True when the record's supplemental properties hold `key`: the kept
// dictionary once it exists, else the pairs read.
inline bool supplemental_contains(const nb::object &dict, const SupplementalProperties &props, std::string_view key) {
    if (!dict.is_valid()) return props.contains(key);
    nb::object k = nb::steal(PyUnicode_FromStringAndSize(key.data(), Py_ssize_t(key.size())));
    const int r = PyDict_Contains(dict.ptr(), k.ptr());
    if (r < 0) throw nb::python_error();
    return r == 1;
}

// The dictionary of a record object `o` (its `supplemental` member and its
// record's properties).
template <typename T>
nb::object supplemental_properties(T &o) {
    if (!o.supplemental.is_valid()) o.supplemental = supplemental_dict(o.rec().supplemental_properties);
    return o.supplemental;
}

template <typename T>
bool supplemental_contains(T &o, std::string_view key) {
    return supplemental_contains(o.supplemental, o.rec().supplemental_properties, key);
}

}  // namespace zarn::py
