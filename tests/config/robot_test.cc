#include "config/robot.h"

#include <gtest/gtest.h>

#include <cstring>

TEST(Robot, NamesAndConfiguredManagers) {
    Config c{};
    for (const char* n : {"AreaFix", "AREAMGR", "arealink", "AreaManager"})
        EXPECT_TRUE(af_is_robot(n, c)) << n;
    for (const char* n : {"", "areafix ", "Allfix", "area fix", "Sysop"})
        EXPECT_FALSE(af_is_robot(n, c)) << n;

    // A manager named in one section counts everywhere.
    c.boss_count = 2;
    std::strcpy(c.bosses[1].f[F_AFNAME], "Allfix");
    EXPECT_TRUE(af_is_robot("allfix", c));
    std::strcpy(c.gdef.f[F_AFNAME], "GlobalBot");
    std::strcpy(c.bosses[0].f[F_AFNAME], "SelectedBot");
    EXPECT_TRUE(af_is_robot("globalbot", c));
    EXPECT_TRUE(af_is_robot("SELECTEDBOT", c));
    // A section beyond the count is not consulted.
    std::strcpy(c.bosses[5].f[F_AFNAME], "Ghost");
    EXPECT_FALSE(af_is_robot("ghost", c));
}

TEST(Robot, Utf16Names) {
    Config c{};
    EXPECT_TRUE(af_is_robot_w(u"AreaFix", c));
    EXPECT_FALSE(af_is_robot_w(u"\u00e4reafix", c));  // narrows to "?reafix"
    EXPECT_FALSE(af_is_robot_w(u"", c));
    std::strcpy(c.gdef.f[F_AFNAME], "?reafix");
    EXPECT_TRUE(af_is_robot_w(u"\u00e4reafix", c));
}
