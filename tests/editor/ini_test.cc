// The window settings file: where it lives, how values read back, and that
// writing keeps everything else in the file.
#include "editor/ini.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "support/test_support.h"

using wptest::read_file;
using wptest::write_file;

namespace {

const std::string kHeader =
    "; wrenpost - Fenstereinstellungen / window settings\r\n"
    "; (wird beim Beenden geschrieben / written on exit)\r\n";

std::string cwd() {
    char buf[4096];
    return getcwd(buf, sizeof buf) ? buf : "";
}

}  // namespace

TEST(Ini, LivesBesideTheConfiguration) {
    wptest::TempDir d;
    IniFile f;
    ini_init(f, (d.path() + "/sub/../wrenpost.cfg").c_str());
    EXPECT_EQ(std::string(f.path), d.path() + "/wrenpost.ini");
    ini_init(f, "my.cfg");  // a bare name: the current directory
    EXPECT_EQ(std::string(f.path), cwd() + "/wrenpost.ini");
    ini_init(f, (d.path() + "/x\\point.cfg").c_str());  // a backslash also splits
    EXPECT_EQ(std::string(f.path), d.path() + "/x\\wrenpost.ini");
}

TEST(Ini, ValuesReadBackOrGiveTheDefault) {
    wptest::TempDir d;
    IniFile f;
    ini_init(f, d.file("wrenpost.cfg").c_str());
    EXPECT_EQ(ini_get(f, "split_x", 280), 280);  // no file
    write_file(f.path,
               "; mine\r\n[other]\r\nzoom=11\r\n[Window]\r\nsplit_x=-5\r\nbad=12abc\r\n"
               "  Zoom = 72 \r\nnine=999999999\r\nten=1234567890\r\nminus=-\r\nplus=+5\r\n"
               "empty=\r\nlong=00000000000000000000000000000012\r\nneg=-40000\n[after]\r\n"
               "tail=3\r\n");
    // "-5" is a number (the caller checks ranges); leading zeros count for
    // nothing and only 31 characters are read ("long"); "tail" is in another
    // section.
    struct {
        const char* key;
        int want;
    } rows[] = {
        {"split_x", -5}, {"bad", 7},      {"ZOOM", 72}, {"nine", 999999999},
        {"ten", 7},      {"minus", 7},    {"plus", 7},  {"empty", 7},
        {"long", 1},     {"neg", -40000}, {"tail", 7},  {"missing", 7},
    };
    for (auto& r : rows) EXPECT_EQ(ini_get(f, r.key, 7), r.want) << r.key;
}

TEST(Ini, WritingKeepsTheRestOfTheFile) {
    wptest::TempDir d;
    IniFile f;
    ini_init(f, d.file("wrenpost.cfg").c_str());
    // A new file gets the header, then the section.
    ini_header(f);
    ini_put(f, "x", -8);
    ini_put(f, "split_x", 300);
    EXPECT_EQ(read_file(f.path), kHeader);  // nothing on disk before the flush
    ini_flush(f);
    EXPECT_EQ(read_file(f.path), kHeader + "[window]\r\nx=-8\r\nsplit_x=300\r\n");
    EXPECT_EQ(ini_get(f, "x", 0), -8);

    // An existing file with the user's comments: no header, keys replaced in
    // place, a new key after the section's last key, other sections untouched,
    // a last line without its line end.
    const std::string mine =
        "; my own notes\n[WINDOW]\nsplit_x = 12\n; keep me\ncol0=60\n\n[other]\nlog=1";
    write_file(f.path, mine);
    ini_init(f, d.file("wrenpost.cfg").c_str());
    ini_header(f);
    ini_put(f, "SPLIT_X", 280);
    ini_put(f, "log", 1);
    ini_flush(f);
    EXPECT_EQ(read_file(f.path),
              "; my own notes\n[WINDOW]\nSPLIT_X=280\n; keep me\ncol0=60\nlog=1\r\n\n[other]\n"
              "log=1");
    EXPECT_EQ(ini_get(f, "log", 0), 1);
    EXPECT_EQ(ini_get(f, "col0", 0), 60);

    // A file without the section gets it appended.
    EXPECT_EQ(ini_set("[other]\r\na=1", "window", "zoom", "0"),
              "[other]\r\na=1\r\n[window]\r\nzoom=0\r\n");
}

TEST(Ini, AFileThatCannotBeWrittenLosesTheSettingsQuietly) {
    wptest::TempDir d;
    IniFile f;
    ini_init(f, d.file("missing/wrenpost.cfg").c_str());
    ini_header(f);
    ini_put(f, "zoom", 12);
    ini_flush(f);
    EXPECT_FALSE(wptest::file_exists(f.path));
    EXPECT_EQ(ini_get(f, "zoom", 0), 0);
}
