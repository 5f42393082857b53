#include "core/civil.h"

// Both directions count years from March, so that the leap day is the last
// day of a year: era = 400 years = 146097 days, day 719468 of era 0 is
// 1970-01-01.

Civil unix_civil(uint32_t t) {
    Civil c;
    uint32_t days = t / 86400, s = t % 86400;
    c.hour = s / 3600;
    c.minute = (s % 3600) / 60;
    c.second = s % 60;
    uint32_t z = days + 719468;
    uint32_t era = z / 146097;
    uint32_t doe = z % 146097;
    uint32_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    uint32_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    uint32_t mp = (5 * doy + 2) / 153;
    c.day = doy - (153 * mp + 2) / 5 + 1;
    c.month = mp < 10 ? mp + 3 : mp - 9;
    c.year = era * 400 + yoe + (c.month < 3 ? 1 : 0);
    return c;
}

int64_t days_from_civil(int64_t year, int64_t month, int64_t day) {
    int64_t y = year;
    int64_t m = month;
    if (m <= 2) {
        y -= 1;
        m += 9;
    } else {
        m -= 3;
    }
    return 365 * y + y / 4 - y / 100 + y / 400 + (153 * m + 2) / 5 + day - 1 - 719468;
}
