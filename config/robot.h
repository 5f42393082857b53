// Area-manager name test.
//
// The subject of a netmail to or from the boss's area manager is the AreaFix
// password, so wherever such a message is named to the user its subject is
// hidden. A name is a robot name when it equals (ASCII case-insensitively)
// "areafix", "areamgr", "areamanager" or "arealink", or a non-empty
// `areafix_name` of the global part or any section.
#pragma once

#include "config/config.h"

bool af_is_robot(const char* name, const Config& c = g_cfg);
// The UTF-16 form: narrowed to at most 62 characters, each above U+007F
// becoming "?", then tested as above.
bool af_is_robot_w(const char16_t* name, const Config& c = g_cfg);
