#include "config/robot.h"

namespace {
bool matches(const char* name, const char* configured) {
    return configured[0] != '\0' && str_icmp(name, configured) == 0;
}
}  // namespace

bool af_is_robot(const char* name, const Config& c) {
    if (name[0] == '\0') return false;
    static const char* const robots[] = {"areafix", "areamgr", "areamanager", "arealink"};
    for (const char* r : robots)
        if (str_icmp(name, r) == 0) return true;
    if (matches(name, c.gdef.f[F_AFNAME])) return true;
    for (int i = 0; i < c.boss_count; ++i)
        if (matches(name, c.bosses[i].f[F_AFNAME])) return true;
    return false;
}

bool af_is_robot_w(const char16_t* name, const Config& c) {
    char narrow[63];
    size_t n = 0;
    for (; name[n] != 0 && n < 62; ++n)
        narrow[n] = name[n] > 0x7f ? '?' : static_cast<char>(name[n]);
    narrow[n] = '\0';
    return af_is_robot(narrow, c);
}
