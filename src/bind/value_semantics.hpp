// The value hash and value equality that the condition records and the
// public condition classes share: the hash starts at 1 and takes 31 times
// itself plus each field's hash (0 for None), in unbounded arithmetic that
// the interpreter reduces; fields compare with their own inequality.
#pragma once

#include <nanobind/nanobind.h>

#include <cstdint>

#include "format/numbers.hpp"
#include "support.hpp"

namespace zarn::py {

namespace nb = nanobind;

class ValueHash {
public:
    void add(nb::handle field) {
        if (field.is_none()) {
            add_integer(0);
            return;
        }
        add_integer(hash_within_limit(field));
    }
    // A list takes part as the tuple of its elements.
    void add_as_tuple(nb::handle field) {
        if (field.is_none()) {
            add_integer(0);
            return;
        }
        nb::object tuple = nb::steal(PySequence_Tuple(field.ptr()));
        if (!tuple.is_valid()) throw nb::python_error();
        add(tuple);
    }
    void add_integer(int64_t c) { result_ = 31 * result_ + c; }
    nb::object value() const { return int_from_i128(result_); }

private:
    i128 result_ = 1;
};

}  // namespace zarn::py
