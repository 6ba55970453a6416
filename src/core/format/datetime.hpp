// Stored date-times: 100-nanosecond ticks since 0001-01-01 in bits 0-61 and a
// UTC flag in bit 62, turned into calendar fields.
#pragma once

#include <cstdint>

namespace zarn {

struct DateTimeFields {
    int year, month, day, hour, minute, second, microsecond;
    bool utc;  // the stored value carries the UTC flag
};

inline constexpr uint64_t kTicksMask = 0x3FFFFFFFFFFFFFFFull;
inline constexpr uint64_t kUtcMask = 0x4000000000000000ull;
inline constexpr int64_t kEpochTicks = 621355968000000000;
inline constexpr int64_t kTicksPerMillisecond = 10000;

// Calendar fields of the stored value `ticks` (bit 63 is ignored). The
// sub-second part is truncated to whole microseconds. A year beyond 9999
// raises InvalidValue "year <y> is out of range", as the interpreter's
// date-time does.
DateTimeFields datetime_from_ticks(uint64_t ticks);

}  // namespace zarn
