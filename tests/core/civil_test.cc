#include "core/civil.h"

#include <gtest/gtest.h>

TEST(Civil, KnownDates) {
    struct Case {
        uint32_t t;
        Civil want;
    } cases[] = {
        {0, {1970, 1, 1, 0, 0, 0}},
        {951782400, {2000, 2, 29, 0, 0, 0}},     // leap day of a century divisible by 400
        {4107542400u, {2100, 3, 1, 0, 0, 0}},    // 2100 has no leap day
        {1796444632, {2026, 12, 5, 4, 23, 52}},  //
        {4294967295u, {2106, 2, 7, 6, 28, 15}},  // the last second a u32 holds
    };
    for (const Case& c : cases) {
        Civil g = unix_civil(c.t);
        EXPECT_EQ(g.year, c.want.year) << c.t;
        EXPECT_EQ(g.month, c.want.month) << c.t;
        EXPECT_EQ(g.day, c.want.day) << c.t;
        EXPECT_EQ(g.hour, c.want.hour) << c.t;
        EXPECT_EQ(g.minute, c.want.minute) << c.t;
        EXPECT_EQ(g.second, c.want.second) << c.t;
        EXPECT_EQ(days_from_civil(c.want.year, c.want.month, c.want.day), c.t / 86400) << c.t;
    }
}

// Both directions agree on every day a u32 second count reaches, and the
// dates they pass through are consecutive.
TEST(Civil, EveryDayRoundTrips) {
    Civil prev = unix_civil(0);
    for (uint32_t day = 1; day <= 4294967295u / 86400; ++day) {
        Civil c = unix_civil(day * 86400 + 3600);
        ASSERT_EQ(days_from_civil(c.year, c.month, c.day), day)
            << c.year << "-" << c.month << "-" << c.day;
        ASSERT_EQ(c.hour, 1u);
        bool next_day = c.year == prev.year && c.month == prev.month && c.day == prev.day + 1;
        bool next_month = c.year == prev.year && c.month == prev.month + 1 && c.day == 1;
        bool next_year = c.year == prev.year + 1 && c.month == 1 && c.day == 1 && prev.month == 12;
        ASSERT_TRUE(next_day || next_month || next_year)
            << c.year << "-" << c.month << "-" << c.day;
        prev = c;
    }
}
