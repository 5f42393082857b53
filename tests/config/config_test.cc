#include "config/config.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/catalog.h"
#include "core/log.h"
#include "platform/platform.h"
#include "support/test_support.h"

namespace {

struct Loaded {
    wptest::TempDir d;
    Config c;
    std::string out;
    int rc = -1;
    explicit Loaded(const std::string& text, int lang = LANG_EN) {
        lang_apply(lang);
        wptest::write_file(d.file("wrenpost.cfg"), text);
        con_capture(&out);
        rc = load_config(c, d.file("wrenpost.cfg").c_str());
        con_capture(nullptr);
        lang_apply(LANG_EN);
    }
    std::vector<std::string> texts() const {
        std::vector<std::string> t;
        for (const auto& l : wptest::log_lines(out)) t.push_back(wptest::log_text(l));
        return t;
    }
};

const char* kTwoBosses = R"(# global part
address = 2:240/2188.5
boss_host = fido.example.org
boss_address = 2:240/2188
inbound = /var/fido/in
outbound = /var/fido/out
location = Berlin, Germany 
sysop=Jo Sysop
echoarea GLOBAL.LOOSE /x
echoarea = FIDO.TEST /var/fido/msg/fidotest
  ; indented comment
[boss  Fido ] anything here is ignored
inbound = /var/fido/in.fido
password = se#cr;et
echoarea = FIDO.SYSOP   /var/fido/msg/sysop dir
[link fsx]
address = 21:1/100.3
boss_host = agency.example
boss_address = 21:1/100
boss_port =
netname = fsxNet
unknownkey = 1
echoarea = FSX_GEN /var/fido/msg/fsxgen
echoarea = FSX_BAD
)";

}  // namespace

TEST(Config, SectionsInheritanceAndDefaults) {
    Loaded l(kTwoBosses);
    ASSERT_EQ(l.rc, 0) << l.out;
    Config& c = l.c;
    EXPECT_EQ(cfg_boss_count(c), 2);
    EXPECT_STREQ(cfg_boss_name(c, 0), "Fido");
    EXPECT_STREQ(cfg_boss_name(c, 1), "fsx");
    EXPECT_EQ(cfg_find(c, "FIDO"), 0);
    EXPECT_EQ(cfg_find(c, "Fsx"), 1);
    EXPECT_EQ(cfg_find(c, "nope"), -1);

    BossCfg b = cfg_boss(c, 0);
    ASSERT_EQ(cfg_require(b), 0);
    EXPECT_STREQ(b.name, "Fido");
    EXPECT_STREQ(b.get(F_INBOUND), "/var/fido/in.fido");  // section overrides
    EXPECT_STREQ(b.get(F_OUTBOUND), "/var/fido/out");     // inherited
    EXPECT_STREQ(b.get(F_PASSWORD), "se#cr;et");          // no comments after a value
    EXPECT_STREQ(b.get(F_LOCATION), "Berlin, Germany");   // trailing blank dropped
    EXPECT_STREQ(b.get(F_PORT), "24554");
    EXPECT_STREQ(b.get(F_SYSOP), "Jo Sysop");
    EXPECT_STREQ(b.get(F_SYSTEM), "wrenpost");
    EXPECT_STREQ(b.get(F_AFNAME), "AreaFix");
    EXPECT_STREQ(b.get(F_AFQUERY), "%LINKED");
    EXPECT_STREQ(b.get(F_AUTOCREATE), "yes");
    EXPECT_STREQ(b.get(F_MOVEBAD), "yes");
    EXPECT_STREQ(b.get(F_DUPEDB), "");

    b = cfg_boss(c, 1);
    ASSERT_EQ(cfg_require(b), 0);
    EXPECT_STREQ(b.get(F_ADDRESS), "21:1/100.3");
    EXPECT_STREQ(b.get(F_PORT), "24554");  // an empty value cannot clear
    EXPECT_STREQ(b.get(F_INBOUND), "/var/fido/in");
    EXPECT_STREQ(b.get(F_NETNAME), "fsxNet");

    b = cfg_boss(c, -1);
    ASSERT_EQ(cfg_require(b), 0);
    EXPECT_STREQ(b.name, "default");
    EXPECT_STREQ(b.get(F_ADDRESS), "2:240/2188.5");

    ASSERT_EQ(c.area_count, 3);
    struct Area {
        const char *tag, *path;
        int net;
    } want[] = {{"FIDO.TEST", "/var/fido/msg/fidotest", -1},
                {"FIDO.SYSOP", "/var/fido/msg/sysop dir", 0},
                {"FSX_GEN", "/var/fido/msg/fsxgen", 1}};
    for (int i = 0; i < 3; ++i) {
        EXPECT_STREQ(c.area_tags[i], want[i].tag);
        EXPECT_STREQ(c.area_paths[i], want[i].path);
        EXPECT_EQ(c.area_nets[i], want[i].net);
    }
    auto t = l.texts();
    std::vector<std::string> expect = {
        "Warning: unknown key in config: unknownkey",
        "Warning: echoarea needs \"TAG path\": echoarea",
        "Configuration loaded: " + l.d.file("wrenpost.cfg") + ", 2 boss section(s)",
    };
    EXPECT_EQ(t, expect);
}

// Each holder keeps the settings it built: building another boss's changes
// neither them nor the configuration.
TEST(Config, BossSettingsAreValuesSideBySide) {
    Loaded l(kTwoBosses);
    ASSERT_EQ(l.rc, 0) << l.out;
    const Config& c = l.c;
    const BossCfg fido = cfg_boss(c, 0);
    const BossCfg fsx = cfg_boss(c, 1);
    const BossCfg global = cfg_boss(c, -1);
    EXPECT_STREQ(fido.name, "Fido");
    EXPECT_STREQ(fido.get(F_INBOUND), "/var/fido/in.fido");
    EXPECT_STREQ(fsx.name, "fsx");
    EXPECT_STREQ(fsx.get(F_ADDRESS), "21:1/100.3");
    EXPECT_STREQ(fsx.get(F_INBOUND), "/var/fido/in");
    EXPECT_STREQ(global.get(F_ADDRESS), "2:240/2188.5");
    EXPECT_STREQ(cfg_boss(c, 0).get(F_INBOUND), fido.get(F_INBOUND));
    EXPECT_STREQ(cfg_boss(c, 7).name, "default");  // no such section: the global part
}

TEST(Config, SingleBossForm) {
    Loaded l(
        "address=1:2/3.4\nboss_host=h\nboss_address=1:2/3\ninbound=i\noutbound=o\n"
        "key value without equals\nlanguage = de\n");
    ASSERT_EQ(l.rc, 0);
    EXPECT_EQ(l.c.boss_count, 0);
    BossCfg b = cfg_boss(l.c, -1);
    EXPECT_EQ(cfg_require(b), 0);
    EXPECT_STREQ(b.name, "default");
    EXPECT_EQ(l.texts().size(), 1u) << l.out;  // nothing but the loaded line
    EXPECT_NE(l.out.find(", 0 boss section(s)"), std::string::npos);
}

TEST(Config, SectionHeaderForms) {
    struct Case {
        const char* header;
        const char* name;
    } cases[] = {
        {"[Boss  Fido ]", "Fido"}, {"[bossfido]", "bossfido"},
        {"[boss]", "boss"},        {"[  LINK fsx]", "fsx"},
        {"[fido]", "fido"},        {"[na\tme]", "na\tme"},
        {"[boss a b]", "a"},       {"[]", ""},
    };
    for (const auto& c : cases) {
        Loaded l(std::string(c.header) + "\nsysop=x\n");
        ASSERT_EQ(l.rc, 0) << c.header;
        ASSERT_EQ(l.c.boss_count, 1) << c.header;
        EXPECT_STREQ(cfg_boss_name(l.c, 0), c.name) << c.header;
        EXPECT_STREQ(l.c.bosses[0].f[F_SYSOP], "x");
    }
    std::string longname = "[boss " + std::string(100, 'n') + "]\n";
    Loaded l(longname);
    EXPECT_EQ(std::string(cfg_boss_name(l.c, 0)).size(), 63u);
}

TEST(Config, RequiredSettingsAllReported) {
    Loaded l("sysop = x\n[boss a]\nboss_host = h\n");
    ASSERT_EQ(l.rc, 0);
    std::string out;
    con_capture(&out);
    BossCfg b = cfg_boss(l.c, 0);
    EXPECT_EQ(cfg_require(b), 1);
    EXPECT_STREQ(cfg_boss(l.c, 0).name, "a");  // building them checks nothing, logs nothing
    con_capture(nullptr);
    std::vector<std::string> t;
    for (const auto& line : wptest::log_lines(out)) t.push_back(wptest::log_text(line));
    std::vector<std::string> expect = {
        "ERROR: required setting missing for this boss: address",
        "ERROR: required setting missing for this boss: boss_address",
        "ERROR: required setting missing for this boss: inbound",
        "ERROR: required setting missing for this boss: outbound",
    };
    EXPECT_EQ(t, expect);
}

TEST(Config, SeventeenSectionsFailTheLoad) {
    std::string text;
    for (int i = 0; i < 17; ++i) text += "[boss b" + std::to_string(i) + "]\n";
    Loaded l(text);
    EXPECT_EQ(l.rc, 1);
    EXPECT_EQ(l.texts(), std::vector<std::string>{"ERROR: too many [boss] sections (max. 16)"});
    Loaded de(text, LANG_DE);
    EXPECT_EQ(de.texts(), std::vector<std::string>{"FEHLER: zu viele [boss]-Abschnitte (max. 16)"});
    text.erase(text.rfind("[boss"));
    Loaded ok(text);
    EXPECT_EQ(ok.rc, 0);
    EXPECT_EQ(ok.c.boss_count, 16);
}

TEST(Config, LongValuesAreCut) {
    std::string v(300, 'v');
    std::string tag(80, 'T');
    std::string path = "/" + std::string(299, 'p');  // absolute: not resolved, only cut
    Loaded l("sysop=" + v + "\necho_path  \t= " + v + "x \t\r\necharea\n echoarea = " + tag + " " +
             path + "\n");
    ASSERT_EQ(l.rc, 0);
    EXPECT_EQ(std::string(l.c.gdef.f[F_SYSOP]), std::string(255, 'v'));
    EXPECT_EQ(std::string(l.c.gdef.f[F_ECHOPATH]), std::string(255, 'v'));
    ASSERT_EQ(l.c.area_count, 1);
    EXPECT_EQ(std::string(l.c.area_tags[0]), std::string(63, 'T'));
    EXPECT_EQ(std::string(l.c.area_paths[0]), path.substr(0, 255));
}

TEST(Config, TooManyAreasWarnsOncePerExtraLine) {
    std::string text;
    for (int i = 0; i < 258; ++i) text += "echoarea=A" + std::to_string(i) + " p\n";
    Loaded l(text);
    ASSERT_EQ(l.rc, 0);
    EXPECT_EQ(l.c.area_count, 256);
    auto t = l.texts();
    ASSERT_EQ(t.size(), 3u);
    EXPECT_EQ(t[0], "Warning: too many echoarea entries (max. 256): A256 p");
    EXPECT_EQ(t[1], "Warning: too many echoarea entries (max. 256): A257 p");
    EXPECT_EQ(area_push(l.c, "X", "y", -1), -1);
    l.c.area_count = 10;
    EXPECT_EQ(area_push(l.c, "X", "y", 2), 10);
}

TEST(Config, OnlyFirst16383BytesAreReadAndTheRestIsReported) {
    // A key line straddles byte 16383: its cut value ends the parse.
    std::string text = "sysop = a\n";
    text += "# " + std::string(16383 - text.size() - 3 - 11 - 20, '-') + "\n";
    text += "location = 0123456789ABCDEFGHIJ_cut_here\necho_path = boss\n";
    ASSERT_GT(text.size(), 16383u);
    Loaded l(text);
    ASSERT_EQ(l.rc, 0);
    EXPECT_STREQ(l.c.gdef.f[F_LOCATION], "0123456789ABCDEFGHIJ");
    EXPECT_STREQ(l.c.gdef.f[F_ECHOPATH], "");
    auto t = l.texts();
    ASSERT_EQ(t.size(), 2u);
    EXPECT_EQ(t[0], "Warning: configuration file longer than 16383 bytes, the rest is ignored: " +
                        l.d.file("wrenpost.cfg"));
    Loaded exact(text.substr(0, 16383));
    EXPECT_EQ(exact.texts().size(), 1u);  // no warning at exactly the limit
}

TEST(Config, ReloadClearsEverything) {
    Loaded l(kTwoBosses);
    std::string path = l.d.file("b.cfg");
    wptest::write_file(path, "sysop=z\n");
    std::string out;
    con_capture(&out);
    ASSERT_EQ(load_config(l.c, path.c_str()), 0);
    con_capture(nullptr);
    EXPECT_EQ(l.c.boss_count, 0);
    EXPECT_EQ(l.c.area_count, 0);
    EXPECT_STREQ(l.c.gdef.f[F_ADDRESS], "");
    EXPECT_STREQ(l.c.gdef.f[F_SYSOP], "z");
}

TEST(Config, UnreadableFile) {
    wptest::TempDir d;
    Config c;
    std::string out;
    lang_apply(LANG_DE);
    con_capture(&out);
    EXPECT_EQ(load_config(c, d.file("gone.cfg").c_str()), 1);
    EXPECT_EQ(load_config(c, d.path().c_str()), 1);  // a directory is no file
    con_capture(nullptr);
    lang_apply(LANG_EN);
    auto lines = wptest::log_lines(out);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(wptest::log_text(lines[0]),
              "FEHLER: Konfigurationsdatei nicht lesbar: " + d.file("gone.cfg"));
}

#ifndef _WIN32
// A configuration path that names a FIFO, a directory or a device is refused
// with its own message and without waiting; this is the load every command
// and the editor make.
TEST(Config, OnlyARegularFileIsAConfiguration) {
    lang_apply(LANG_EN);
    wptest::TempDir d;
    wptest::FifoWithoutWriter fifo(d.file("fifo.cfg"));
    ASSERT_TRUE(fifo.made());
    for (const std::string& path : {d.file("fifo.cfg"), d.path(), std::string("/dev/null")}) {
        Config c;
        std::string out;
        con_capture(&out);
        EXPECT_EQ(load_config(c, path.c_str()), 1) << path;
        con_capture(nullptr);
        EXPECT_EQ(
            wptest::log_texts(out),
            std::vector<std::string>{"ERROR: configuration file is not a regular file: " + path});
    }
}
#endif

TEST(ConfigPaths, DirectoryOfTheFile) {
    struct Case {
        const char *cfg, *dir;
    } cases[] = {
        {"wrenpost.cfg", ""},    // the current directory
        {"./wrenpost.cfg", ""},  // also the current directory
        {"/etc/wp/wrenpost.cfg", "/etc/wp/"},
        {"../point/wp.cfg", "../point/"},
        {"sub/./wp.cfg", "sub/./"},
        {"C:\\fido\\wp.cfg", "C:\\fido\\"},
        {"C:wp.cfg", "C:"},
        {"my:point.cfg", ""},  // a ":" in a name is no drive
        {"/srv/a:b/wp.cfg", "/srv/a:b/"},
    };
    for (const auto& c : cases) {
        char dir[WP_PATH_MAX];
        cfg_dir_of(c.cfg, dir);
        EXPECT_STREQ(dir, c.dir) << c.cfg;
    }
}

TEST(ConfigPaths, RelativeValuesAreTakenFromTheFilesDirectory) {
    struct Case {
        const char *dir, *value, *want;
    } cases[] = {
        {"/etc/wp/", "in", "/etc/wp/in"},
        {"/etc/wp/", "msg/netmail", "/etc/wp/msg/netmail"},
        {"/etc/wp/", "./in", "/etc/wp/in"},
        {"/etc/wp/", "././/in", "/etc/wp/in"},
        {"/etc/wp/", "../in", "/etc/wp/../in"},
        {"/etc/wp/", ".", "/etc/wp/"},
        {"/etc/wp/", ".hidden", "/etc/wp/.hidden"},
        {"/etc/wp/", "/var/fido/in", "/var/fido/in"},  // absolute: as before
        {"/etc/wp/", "\\\\server\\in", "\\\\server\\in"},
        {"/etc/wp/", "D:\\fido\\in", "D:\\fido\\in"},
        {"/etc/wp/", "", ""},  // empty stays empty (inherits, or unset)
        {"sub/", "in", "sub/in"},
        {"", "in", "in"},  // configuration in the current directory: unchanged
        {"", "./in", "./in"},
        {"", "../in", "../in"},
    };
    for (const auto& c : cases) {
        char out[CFG_STR];
        EXPECT_TRUE(cfg_resolve(c.dir, c.value, out, sizeof out)) << c.value;
        EXPECT_STREQ(out, c.want) << c.dir << " + " << c.value;
    }
    std::string dir(200, 'd'), value(60, 'v');
    dir += '/';
    char out[CFG_STR];
    EXPECT_FALSE(cfg_resolve(dir.c_str(), value.c_str(), out, sizeof out));
    value.resize(54);  // 201 + 54 = 255 bytes: fits exactly
    EXPECT_TRUE(cfg_resolve(dir.c_str(), value.c_str(), out, sizeof out));
    EXPECT_EQ(std::string(out), dir + value);
}

TEST(ConfigPaths, LoaderResolvesPathKeysAndKeepsTheTextAsWritten) {
    Loaded l(
        "address = 2:240/1.5\nboss_host = h\nboss_address = 2:240/1\n"
        "inbound = in\noutbound = /abs/out\nnetmail = ./msg/netmail\nbadarea = ../shared/bad\n"
        "areadir = msg\nsysop = ./not/a/path\n"
        "echoarea = FIDO.TEST msg/fidotest\n"
        "[boss fsx]\ndupedb = fsx.dup\n"
        "echoarea = FSX_GEN /var/fsxgen\n");
    ASSERT_EQ(l.rc, 0) << l.out;
    std::string d = l.d.path() + "/";
    EXPECT_EQ(std::string(l.c.dir), d);
    BossCfg b = cfg_boss(l.c, 0);
    ASSERT_EQ(cfg_require(b), 0);
    EXPECT_EQ(std::string(b.get(F_INBOUND)), d + "in");
    EXPECT_STREQ(b.get(F_OUTBOUND), "/abs/out");
    EXPECT_EQ(std::string(b.get(F_NETMAIL)), d + "msg/netmail");
    EXPECT_EQ(std::string(b.get(F_BADAREA)), d + "../shared/bad");
    EXPECT_EQ(std::string(b.get(F_AREADIR)), d + "msg");
    EXPECT_EQ(std::string(b.get(F_DUPEDB)), d + "fsx.dup");
    EXPECT_STREQ(b.get(F_DUPEAREA), "");           // unset stays unset
    EXPECT_STREQ(b.get(F_SYSOP), "./not/a/path");  // not a path key
    EXPECT_EQ(std::string(l.c.area_paths[0]), d + "msg/fidotest");
    EXPECT_STREQ(l.c.area_paths[1], "/var/fsxgen");
    // The records keep what the file says.
    EXPECT_STREQ(l.c.gdef.f[F_INBOUND], "in");
    EXPECT_STREQ(cfg_raw(l.c, 0, F_DUPEDB), "fsx.dup");
    EXPECT_STREQ(cfg_raw(l.c, 0, F_NETMAIL), "./msg/netmail");
    EXPECT_STREQ(cfg_raw(l.c, -1, F_DUPEDB), "");
    // Selected again, nothing is resolved twice.
    b = cfg_boss(l.c, -1);
    ASSERT_EQ(cfg_require(b), 0);
    EXPECT_EQ(std::string(b.get(F_INBOUND)), d + "in");
}

TEST(ConfigPaths, PathTooLongOnceResolvedFailsTheLoad) {
    // A 250-byte relative value fits as written, not behind the directory.
    std::string v(250, 'p');
    for (const std::string& line : {"inbound = " + v + "\n", "echoarea = FIDO.TEST " + v + "\n"}) {
        Loaded l("address = 2:240/1.5\n" + line);
        EXPECT_EQ(l.rc, 1) << line;
        ASSERT_FALSE(l.texts().empty());
        EXPECT_EQ(
            l.texts().back(),
            "ERROR: path too long with the configuration's directory before it (max. 255): " + v);
    }
    Loaded abs("inbound = /" + v + "\n");  // absolute: used as written
    EXPECT_EQ(abs.rc, 0) << abs.out;
}

TEST(ConfigFormats, PrefixesSelectTheFormatPerBaseAndResolveThePathAfterThem) {
    Loaded l(
        "address = 2:240/1.5\nboss_host = h\nboss_address = 2:240/1\n"
        "inbound = in\noutbound = out\nnetmail = MSG:mail/net\nbadarea = jam:mail/bad\n"
        "dupearea = msg:/abs/dupes\n"
        "echoarea = PLAIN msg/plain\n"
        "echoarea = DIRS msg:msg/dirs\n"
        "echoarea = EXPL Jam:msg/expl\n"
        "echoarea = ABS msg:/var/abs\n"
        "echoarea = EMPTY msg:\n"
        "[boss fsx]\nnetmail = fsxnet\nareaformat = MSG\n");
    ASSERT_EQ(l.rc, 0) << l.out;
    // A relative path is joined to the file's directory with the system's
    // separator; the rest of it stays as written.
    const std::string d = l.d.path() + PF_DIR_SEP;
    struct Area {
        const char* tag;
        std::string path;
        AreaFormat fmt;
    } want[] = {{"PLAIN", d + "msg/plain", AreaFormat::Jam},
                {"DIRS", d + "msg/dirs", AreaFormat::Msg},
                {"EXPL", d + "msg/expl", AreaFormat::Jam},
                {"ABS", "/var/abs", AreaFormat::Msg}};
    ASSERT_EQ(l.c.area_count, 4);  // "msg:" alone names no path
    for (int i = 0; i < 4; ++i) {
        EXPECT_STREQ(l.c.area_tags[i], want[i].tag);
        EXPECT_EQ(std::string(l.c.area_paths[i]), want[i].path) << want[i].tag;
        EXPECT_EQ(l.c.area_formats[i], want[i].fmt) << want[i].tag;
    }
    BossCfg g = cfg_boss(l.c, -1);
    EXPECT_EQ(std::string(g.get(F_NETMAIL)), d + "mail/net");
    EXPECT_EQ(g.netmail_fmt, AreaFormat::Msg);
    EXPECT_EQ(std::string(g.get(F_BADAREA)), d + "mail/bad");
    EXPECT_EQ(g.bad_fmt, AreaFormat::Jam);
    EXPECT_STREQ(g.get(F_DUPEAREA), "/abs/dupes");
    EXPECT_EQ(g.dupe_fmt, AreaFormat::Msg);
    BossCfg f = cfg_boss(l.c, 0);  // its own netmail has no prefix: JAM
    EXPECT_EQ(std::string(f.get(F_NETMAIL)), d + "fsxnet");
    EXPECT_EQ(f.netmail_fmt, AreaFormat::Jam);
    EXPECT_EQ(f.dupe_fmt, AreaFormat::Msg);  // inherited with its prefix
    AreaFormat af = AreaFormat::Jam;
    EXPECT_TRUE(cfg_area_format(f.get(F_AREAFORMAT), af));
    EXPECT_EQ(af, AreaFormat::Msg);
    EXPECT_TRUE(cfg_area_format(g.get(F_AREAFORMAT), af));
    EXPECT_EQ(af, AreaFormat::Jam);  // default
    // The records keep the prefix as written.
    EXPECT_STREQ(cfg_raw(l.c, -1, F_NETMAIL), "MSG:mail/net");
    // The resolver keeps the prefix and resolves what follows it.
    char out[CFG_STR];
    EXPECT_TRUE(cfg_resolve("/etc/wp/", "msg:./areas/x", out, sizeof out));
    EXPECT_STREQ(out, "msg:/etc/wp/areas/x");
    EXPECT_TRUE(cfg_resolve("/etc/wp/", "JAM:/abs/x", out, sizeof out));
    EXPECT_STREQ(out, "JAM:/abs/x");
    EXPECT_TRUE(cfg_resolve("/etc/wp/", "D:\\fido\\x", out, sizeof out));  // a drive, no prefix
    EXPECT_STREQ(out, "D:\\fido\\x");
    EXPECT_FALSE(cfg_resolve("/etc/wp/", "msg:x", out, 4));
}

TEST(ConfigFormats, UnknownAreaFormatFailsTheLoad) {
    Loaded l("address = 2:240/1.5\n[boss a]\nareaformat = squish\n");
    EXPECT_EQ(l.rc, 1);
    ASSERT_FALSE(l.texts().empty());
    EXPECT_EQ(l.texts().back(), "ERROR: areaformat must be jam or msg: squish");
}

TEST(ConfigFormats, SameBaseComparesFormatAndPath) {
    wptest::TempDir d;
    const std::string base = d.file("area");
    wptest::write_file(base + ".jhr", "");
    pf_mkdir(d.file("dir").c_str());
    struct Case {
        std::string a, b;
        bool same;
    } cases[] = {
        {base, "jam:" + base, true},
        {base, "JAM:" + d.path() + "/./area", true},
        {base, "msg:" + base, false},  // a directory beside the JAM files
        {"msg:" + d.file("dir"), "msg:" + d.path() + "/./dir", true},
        {"msg:" + d.file("dir"), d.file("dir"), false},
        {"msg:" + d.file("new"), "MSG:" + d.file("new"), true},  // not there yet
        {"msg:", "msg:", false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(cfg_same_base(c.a.c_str(), c.b.c_str()), c.same) << c.a << " / " << c.b;
}
