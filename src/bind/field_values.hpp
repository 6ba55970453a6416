// The Python objects of record fields, made from the core's values: None
// for a field the record did not carry, unless the field says otherwise.
#pragma once

#include <nanobind/nanobind.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "format/datetime.hpp"
#include "pyconv.hpp"
#include "records/records.hpp"
#include "values.hpp"

namespace zarn::py {

namespace nb = nanobind;

inline nb::object opt_str(const std::optional<std::string> &v) { return v ? nb::object(make_str(*v)) : nb::none(); }
inline nb::object opt_float(const std::optional<double> &v) {
    return v ? nb::steal(PyFloat_FromDouble(*v)) : nb::none();
}
template <typename I>
nb::object opt_int(const std::optional<I> &v) {
    return v ? nb::steal(PyLong_FromLongLong((long long)*v)) : nb::none();
}
inline nb::object opt_bool(const std::optional<bool> &v) { return v ? nb::object(nb::bool_(*v)) : nb::none(); }
// A number whose absence is the integer 0.
inline nb::object float_or_zero(const std::optional<double> &v) {
    return v ? nb::steal(PyFloat_FromDouble(*v)) : nb::object(nb::int_(0));
}
inline nb::object range_value(const Range &r) {
    return make_value(ValueRange{nb::steal(PyFloat_FromDouble(r.min)), nb::steal(PyFloat_FromDouble(r.max))});
}
inline nb::object opt_range(const std::optional<Range> &v) { return v ? range_value(*v) : nb::none(); }
inline nb::object opt_int_list(const std::optional<std::vector<int64_t>> &v) {
    return v ? nb::object(int_list(*v)) : nb::none();
}
inline nb::object opt_float_list(const std::optional<std::vector<double>> &v) {
    return v ? nb::object(float_list(*v)) : nb::none();
}
inline nb::object opt_datetime(const std::optional<DateTimeFields> &v) { return v ? make_datetime(*v) : nb::none(); }

}  // namespace zarn::py
