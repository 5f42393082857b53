// The four readers of wrenpost.cfg (the loader, the settings dialog's
// rewriter, the echo-area editor and the language lookup) must see the same
// lines: a section, a key or an echo area one of them misses or invents sends
// mail or settings where the program does not look. Each text below is read
// by all four; what the loader reads is what the program acts on.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "config/cfgedit.h"
#include "config/cfgwrite.h"
#include "config/config.h"
#include "core/catalog.h"
#include "core/log.h"
#include "support/test_support.h"

namespace {

struct Case {
    const char* name;
    std::string text;
    const char* sysop;                   // the global part's sysop
    std::vector<std::string> sections;   // section names, in order
    std::vector<std::string> areas;      // echo tags of the file
    std::vector<std::string> not_areas;  // tags that look like areas but are none
    int lang;                            // cfg_lang's answer
};

std::string nul(const char* a, const char* b) {
    return std::string(a) + '\0' + b;
}

}  // namespace

TEST(CfgLines, EveryReaderSeesTheLinesTheLoaderSees) {
    const std::string name63(63, 'n');
    const Case cases[] = {
        {"CR LF",
         "sysop = Ann Lee\r\nlanguage = de\r\n[boss Fido]\r\nechoarea=FOO /m/foo\r\n",
         "Ann Lee",
         {"Fido"},
         {"FOO"},
         {},
         LANG_DE},
        {"a lone CR starts a line's blanks, ends a value, breaks no line",
         "\rlanguage=de\r\rsysop=Bob\nsysop=Ann\rBob\n\r[boss fido]\n\r  echoarea=FOO /m/foo\n",
         "Ann",
         {"fido"},
         {"FOO"},
         {},
         LANG_DE},
        {"no final LF", "sysop=Ann\nlanguage=en", "Ann", {}, {}, {}, LANG_EN},
        {"no final LF after a section",
         "[boss fido]\nechoarea=FOO /m/foo",
         "",
         {"fido"},
         {"FOO"},
         {},
         0},
        {"an over-long line: nothing past the loader's buffer",
         "sysop=" + std::string(CFGBUF_MAX + 100, 'x') + "\nlanguage=de\n[boss fido]\n",
         nullptr,
         {},
         {},
         {},
         0},
        {"a line ending at the last byte the loader reads",
         "#" + std::string(CFGBUF_MAX - 3, 'c') + "\n[boss fido]\nechoarea=FOO /m/foo\n",
         "",
         {},
         {},
         {},
         0},
        {"a NUL byte ends a key and a value",
         nul("sysop", "=Ann\n") + nul("language", "=de\n") + nul("echoarea=BAR", " /m/bar\n") +
             nul("echoarea=FOO /m/foo", "x\n"),
         "Ann",
         {},
         {"FOO"},
         {"BAR"},
         LANG_DE},
        {"blanks and tabs before a key and around =",
         " \t sysop \t=\t Ann Lee \t\n\t language\t = \ten\n \t[boss fido]\n\t echoarea \t=\t "
         "FOO\t/m/foo\n",
         "Ann Lee",
         {"fido"},
         {"FOO"},
         {},
         LANG_EN},
        {"headers with trailing blanks and comments",
         "[boss  Fido ]  ; the boss\nechoarea=FOO /m/foo\n[link fsx] # net\n[boss " + name63 +
             "]\t\n",
         "",
         {"Fido", "fsx", name63},
         {"FOO"},
         {},
         0},
        {"keys in mixed case",
         "SysOp=Ann\nLanguage=En\nEchoArea=Foo /m/foo\n",
         "Ann",
         {},
         {"FOO"},
         {},
         LANG_EN},
        {"an echoarea line without a path is no area",
         "echoarea=FOO\nechoarea = BAR  \n",
         "",
         {},
         {},
         {"FOO", "BAR"},
         0},
    };
    wptest::TempDir d;
    const std::string path = d.file("wrenpost.cfg");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string sysop =
            c.sysop != nullptr ? c.sysop : std::string(CFG_STR - 1, 'x');  // cut as a value
        wptest::write_file(path, c.text);

        // The loader.
        std::string log;
        con_capture(&log);
        auto cfg = std::make_unique<Config>();
        ASSERT_EQ(load_config(*cfg, path.c_str()), 0);
        con_capture(nullptr);
        EXPECT_EQ(std::string(cfg->gdef.f[F_SYSOP]), sysop);
        std::vector<std::string> names, tags;
        for (int i = 0; i < cfg->boss_count; ++i) names.emplace_back(cfg->bnames[i]);
        for (int i = 0; i < cfg->area_count; ++i) tags.emplace_back(cfg->area_tags[i]);
        EXPECT_EQ(names, c.sections) << "loader";
        std::vector<std::string> upper;
        for (std::string t : tags) {
            for (char& ch : t)
                if (ch >= 'a' && ch <= 'z') ch = static_cast<char>(ch - 32);
            upper.push_back(t);
        }
        EXPECT_EQ(upper, c.areas) << "loader";

        // The rewriter's scan.
        auto e = std::make_unique<CfgEdit>();
        ASSERT_EQ(st_scan(*e, path.c_str()), CfgResult::Ok);
        EXPECT_EQ(std::string(e->gsysop_old), sysop) << "rewriter";
        EXPECT_EQ(e->single, c.sections.empty()) << "rewriter";
        if (!e->single) {
            std::vector<std::string> seen;
            for (int i = 0; i < e->nfile; ++i) seen.emplace_back(e->slots[i].name);
            EXPECT_EQ(seen, c.sections) << "rewriter";
        }

        // The language lookup.
        EXPECT_EQ(cfg_lang(path.c_str()), c.lang) << "language lookup";

        // The echo-area editor: it never edits a file longer than the loader
        // reads; otherwise it finds every area and section the loader has,
        // and no other area.
        if (c.text.size() >= CFG_WRITE_LIMIT) {
            EXPECT_EQ(af_cfg_add_area(path.c_str(), nullptr, "NEW", "/m/new"), CfgResult::Failed);
            continue;
        }
        for (const std::string& t : c.areas)
            EXPECT_EQ(af_cfg_add_area(path.c_str(), nullptr, t.c_str(), "/m/x"), CfgResult::Exists)
                << "echo-area editor misses " << t;
        for (const std::string& t : c.not_areas) {
            EXPECT_EQ(af_cfg_add_area(path.c_str(), nullptr, t.c_str(), "/m/x"), CfgResult::Ok)
                << "echo-area editor invents " << t;
            wptest::write_file(path, c.text);
        }
        for (const std::string& s : c.sections) {
            EXPECT_EQ(af_cfg_add_area(path.c_str(), s.c_str(), "NEW", "/m/new"), CfgResult::Ok)
                << "echo-area editor misses section " << s;
            wptest::write_file(path, c.text);
        }
    }
}
