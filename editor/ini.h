// The editor's window settings file, wrenpost.ini beside the configuration
// file: integers in one section "window", `key=value` lines.
//
// Reads come from the file as it is on disk. Writes collect in a copy of the
// file in memory (comments, other sections, unknown keys and line ends kept)
// and reach the disk with ini_flush, through a temporary file renamed over
// the old one, so that a crash never leaves the file cut short. Nothing is
// reported: a missing or unreadable file gives the defaults, a file that
// cannot be written loses the settings silently.
//
// Keys and the section name are compared without regard to ASCII case;
// blanks around keys and values do not count. One IniFile per editor, used
// from the GUI thread.
#pragma once

#include <string>

struct IniFile {
    char path[520] = {};  // the file's path
    std::string image;    // the file with the writes so far
    bool loaded = false;  // image holds the file
    bool dirty = false;   // image differs from the file
};

// The file's path: the directory of the configuration file (made absolute
// when possible) + "wrenpost.ini". A path without a directory part gives the
// current directory.
void ini_init(IniFile& f, const char* cfg_path);
// The integer value of key: an optional "-" and one to nine digits, nothing
// else; otherwise (missing, empty, malformed, too long) the default.
int ini_get(const IniFile& f, const char* key, int def);
// Sets key to the decimal value: an existing key of the section is replaced
// in place, a new one added after the section's last key line, a missing
// section appended.
void ini_put(IniFile& f, const char* key, int value);
// Writes the two comment lines into a file that is new or empty; an existing
// file is not touched.
void ini_header(IniFile& f);
// Writes the collected changes to the file.
void ini_flush(IniFile& f);

// The same rules on a file image, for the above and the tests.
bool ini_lookup(const std::string& text, const char* section, const char* key, std::string& value);
std::string ini_set(const std::string& text, const char* section, const char* key,
                    const char* value);
