// Calendar arithmetic on seconds since 1970, proleptic Gregorian, without
// time zones: the one conversion between day counts and civil dates that
// the packet dates, the ZIP and packet header stamps, the Via lines and the
// editor's date column all use. Pure functions; no state, cannot fail.
#pragma once

#include <cstdint>

struct Civil {
    uint32_t year, month, day, hour, minute, second;  // month 1-12
};

// Seconds since 1970 to a date and time.
Civil unix_civil(uint32_t t);
// Days since 1970-01-01 of a date (month 1-12, day 1-31; negative before
// 1970). No range check: day 32 is the next month's first.
int64_t days_from_civil(int64_t year, int64_t month, int64_t day);
