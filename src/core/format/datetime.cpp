#include "format/datetime.hpp"

#include <string>

#include "format/errors.hpp"

namespace zarn {
namespace {

int64_t floor_div(int64_t a, int64_t b) {
    int64_t q = a / b;
    if ((a % b != 0) && ((a < 0) != (b < 0))) --q;
    return q;
}

// Proleptic Gregorian date of a day count relative to 1970-01-01.
void civil_from_days(int64_t z, int64_t &y, int &m, int &d) {
    z += 719468;
    const int64_t era = floor_div(z, 146097);
    const int64_t doe = z - era * 146097;
    const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    y = yoe + era * 400;
    const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const int64_t mp = (5 * doy + 2) / 153;
    d = int(doy - (153 * mp + 2) / 5 + 1);
    m = int(mp < 10 ? mp + 3 : mp - 9);
    if (m <= 2) ++y;
}

}  // namespace

DateTimeFields datetime_from_ticks(uint64_t ticks) {
    const int64_t masked = int64_t(ticks & kTicksMask);
    const int64_t seconds = floor_div(masked - kEpochTicks, 10000000);
    const int microsecond = int((masked % 10000000) / 10);
    const int64_t days = floor_div(seconds, 86400);
    const int64_t second_of_day = seconds - days * 86400;
    int64_t year;
    int month, day;
    civil_from_days(days, year, month, day);
    if (year < 1 || year > 9999) throw InvalidValue("year " + std::to_string(year) + " is out of range");
    DateTimeFields f;
    f.year = int(year);
    f.month = month;
    f.day = day;
    f.hour = int(second_of_day / 3600);
    f.minute = int(second_of_day / 60 % 60);
    f.second = int(second_of_day % 60);
    f.microsecond = microsecond;
    f.utc = (ticks & kUtcMask) != 0;
    return f;
}

}  // namespace zarn
