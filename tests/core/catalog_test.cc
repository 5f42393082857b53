#include "app/catalog.h"

#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <string>

#include "support/test_support.h"

TEST(Catalog, ApplyFillsEveryBuffer) {
    lang_apply(LANG_EN);
    EXPECT_STREQ(m_exit, "End, exit code ");
    EXPECT_STREQ(m_st_poll, "--- Poll ---");
    lang_apply(LANG_DE);
    EXPECT_STREQ(m_exit, "Ende, Exit-Code ");
    EXPECT_STREQ(m_st_poll, "--- Poll ---");
    lang_apply(3);  // anything but English is German
    EXPECT_STREQ(m_exit, "Ende, Exit-Code ");
    EXPECT_EQ(g_lang, 3);
    lang_apply(LANG_EN);
}

TEST(Catalog, RowsAreWellFormed) {
    std::set<const char**> seen;
    for (size_t i = 0; i < catalog_count; ++i) {
        const CatalogRow& r = catalog_rows[i];
        EXPECT_TRUE(seen.insert(r.dest).second) << "row " << i << " listed twice";
        std::string de = r.de, en = r.en;
        EXPECT_FALSE(en.empty()) << i;
        EXPECT_FALSE(de.empty()) << i;
        // Console texts are plain 8-bit ASCII: German spells umlauts out.
        for (unsigned char ch : de) EXPECT_LT(ch, 0x80) << "row " << i << ": " << de;
        // Values are joined directly, so both texts end alike.
        EXPECT_EQ(en.back() == ' ', de.back() == ' ') << i << ": " << en << " / " << de;
        EXPECT_EQ(en.front() == ' ', de.front() == ' ') << i << ": " << en << " / " << de;
        bool en_err = en.rfind("ERROR: ", 0) == 0, de_err = de.rfind("FEHLER: ", 0) == 0;
        EXPECT_EQ(en_err, de_err) << i << ": " << en;
        bool en_warn = en.rfind("Warning: ", 0) == 0, de_warn = de.rfind("Warnung: ", 0) == 0;
        EXPECT_EQ(en_warn, de_warn) << i << ": " << en;
    }
}

TEST(Catalog, WindowTextsFollowTheLanguage) {
    lang_apply(LANG_EN);
    EXPECT_EQ(std::u16string(w_flags_l), u"   [local, not sent]");
    lang_apply(LANG_DE);
    EXPECT_EQ(std::u16string(w_flags_l), u"   [lokal, nicht versandt]");
    lang_apply(LANG_EN);
    std::set<const char16_t**> seen;
    for (size_t i = 0; i < catalog_wcount; ++i) {
        const CatalogWideRow& r = catalog_wrows[i];
        EXPECT_TRUE(seen.insert(r.dest).second) << "window row " << i << " listed twice";
        std::u16string de = r.de, en = r.en;
        ASSERT_FALSE(en.empty() || de.empty()) << i;
        EXPECT_EQ(en.back() == u' ', de.back() == u' ') << i;
        EXPECT_EQ(en.front() == u' ', de.front() == u' ') << i;
    }
}

TEST(Catalog, LanguageKeyOfGlobalPart) {
    struct Case {
        const char* text;
        int want;
    } cases[] = {
        {"language = en ; English please\n", LANG_EN},
        {"Language=DE\n", LANG_DE},
        {"  \tLANGUAGE\t=\tde\r\nlanguage=en\n", LANG_DE},  // the first line decides
        {"language=auto\n", 3},
        {"language=\n", 3},
        {"address=1:2/3.4\n[boss fido]\nlanguage=de\n", 0},  // section only: no effect
        {"  [x]\nlanguage=de\n", 0},
        {"languages=de\nlanguage#=en\n", 0},
        {"language=english\n", 3},
        {"language=de#x\n", LANG_DE},
    };
    wptest::TempDir d;
    std::string path = d.file("wrenpost.cfg");
    for (const auto& c : cases) {
        wptest::write_file(path, c.text);
        EXPECT_EQ(cfg_lang(path.c_str()), c.want) << c.text;
    }
    EXPECT_EQ(cfg_lang(d.file("missing.cfg").c_str()), 0);
}

TEST(Catalog, ChoiceOrder) {
    wptest::TempDir d;
    std::string cfg = d.file("wrenpost.cfg");
    wptest::write_file(cfg, "language=de\n");
    EXPECT_EQ(lang_init(LANG_EN, cfg.c_str()), LANG_EN);  // command line wins
    EXPECT_EQ(lang_init(0, cfg.c_str()), LANG_DE);        // then the configuration
    wptest::write_file(cfg, "language=auto\n");
    setenv("LC_ALL", "de_DE.UTF-8", 1);
    EXPECT_EQ(lang_init(0, cfg.c_str()), LANG_DE);  // then the user interface language
    setenv("LC_ALL", "en_GB.UTF-8", 1);
    EXPECT_EQ(lang_init(0, cfg.c_str()), LANG_EN);
    unsetenv("LC_ALL");
    setenv("LC_MESSAGES", "", 1);
    setenv("LANG", "de_AT", 1);
    EXPECT_EQ(lang_init(0, d.file("none.cfg").c_str()), LANG_DE);
    setenv("LC_MESSAGES", "C", 1);  // first set variable decides
    EXPECT_EQ(lang_init(0, d.file("none.cfg").c_str()), LANG_EN);
    unsetenv("LC_MESSAGES");
    unsetenv("LANG");
    EXPECT_EQ(lang_init(0, d.file("none.cfg").c_str()), LANG_EN);
    lang_apply(LANG_EN);
}
