#include "core/strutil.h"

#include <gtest/gtest.h>

#include <string>

#include "core/cp437.h"
#include "platform/platform.h"

TEST(StrUtil, CopyCutsAndTerminates) {
    std::string big(100, 'x');
    char field[64];
    EXPECT_EQ(str_copy(field, big.c_str(), sizeof field), 63u);
    EXPECT_EQ(str_len(field), 63u);
    char untouched[2] = {'a', 'b'};
    EXPECT_EQ(str_copy(untouched, "zz", 0), 0u);
    EXPECT_EQ(untouched[0], 'a');
    char one[1];
    EXPECT_EQ(str_copy(one, "abc", 1), 0u);
    EXPECT_EQ(one[0], '\0');
}

TEST(StrUtil, CatRespectsTotalCapacity) {
    char buf[8] = "abc";
    str_cat(buf, "defghij", sizeof buf);
    EXPECT_STREQ(buf, "abcdefg");
    // dst already holds cap bytes without terminator: nothing happens.
    char full[4] = {'w', 'x', 'y', 'z'};
    str_cat(full, "q", sizeof full);
    EXPECT_EQ(std::string(full, 4), "wxyz");
}

TEST(StrUtil, IcmpFoldsOnlyAscii) {
    struct Case {
        const char* a;
        const char* b;
        int want;
    } cases[] = {
        {"AreaFix", "areafix", 0},
        {"", "", 0},
        {"abc", "abd", 1},
        {"abc", "ab", 1},
        {"\x8e", "\x84", 1},  // code page 437 umlaut A and a differ
        {"[", "{", 1},        // only A-Z fold, not the bytes around them
        {"\xc4", "\xe4", 1},
    };
    for (const auto& c : cases) EXPECT_EQ(str_icmp(c.a, c.b), c.want) << c.a << " vs " << c.b;
}

TEST(StrUtil, ChrAndFind) {
    const char* s = "abcabc";
    EXPECT_EQ(str_chr(s, 'c'), s + 2);
    EXPECT_EQ(str_chr(s, '\0'), s + 6);
    EXPECT_EQ(str_chr(s, 'z'), nullptr);
    EXPECT_EQ(str_find(s, "ca"), s + 2);
    EXPECT_EQ(str_find(s, ""), s);
    EXPECT_EQ(str_find(s, "CA"), nullptr);
}

TEST(StrUtil, Numbers) {
    char buf[21];
    EXPECT_EQ(u64_to_dec(0, buf), 1);
    EXPECT_STREQ(buf, "0");
    EXPECT_EQ(u64_to_dec(18446744073709551615ull, buf), 20);
    EXPECT_STREQ(buf, "18446744073709551615");

    const char* end = nullptr;
    const char* s1 = "  42abc";
    EXPECT_EQ(parse_u64(s1, &end), 42u);
    EXPECT_EQ(end, s1 + 4);
    EXPECT_EQ(parse_u64("\t42"), 0u);
    EXPECT_EQ(parse_u64("x"), 0u);
    EXPECT_EQ(parse_u64("18446744073709551616"), 0u);  // wraps modulo 2^64

    EXPECT_EQ(hex_nibble('7'), 7);
    EXPECT_EQ(hex_nibble('a'), 10);
    EXPECT_EQ(hex_nibble('F'), 15);
    EXPECT_EQ(hex_nibble('g'), -1);
    const uint8_t bytes[] = {0x00, 0xab, 0x7f};
    char hex[7];
    hex_encode(hex, bytes, 3);
    EXPECT_STREQ(hex, "00ab7f");
}

TEST(StrUtil, PathJoin) {
    char out[WP_PATH_MAX];
    path_join(out, "/out/", "x.pkt");
    EXPECT_STREQ(out, "/out/x.pkt");
    path_join(out, "/out", "x.pkt");
    EXPECT_EQ(std::string(out), std::string("/out") + PF_DIR_SEP + "x.pkt");
    path_join(out, "C:\\out\\", "x.pkt");
    EXPECT_STREQ(out, "C:\\out\\x.pkt");
    path_join(out, "", "x.pkt");
    EXPECT_STREQ(out, "x.pkt");
    std::string longdir(600, 'd');
    path_join(out, longdir.c_str(), "x");
    EXPECT_EQ(str_len(out), WP_PATH_MAX - 1);
}

TEST(StrUtil, WideHelpers) {
    char16_t buf[8] = u"ab";
    wcat(buf, u"cdefghijk", 8);
    EXPECT_EQ(std::u16string(buf), u"abcdefg");
    char16_t n[21];
    wnum(90210, n);
    EXPECT_EQ(std::u16string(n), u"90210");
    wcopy(buf, u"xyz", 3);
    EXPECT_EQ(std::u16string(buf), u"xy");
}

TEST(Cp437, ToWideUsesGlyphsForControlPositions) {
    const char src[] = {'\x01', '\t', '\x7f', '\x84', '\xff', 'A'};
    char16_t w[16];
    cp_to_wide(src, sizeof src, w, 16);
    EXPECT_EQ(std::u16string(w), std::u16string(u"\u263A\u25CB\u2302\u00E4\u00A0A"));
    // stops at a NUL byte and at the capacity
    cp_to_wide("ab\0cd", 5, w, 16);
    EXPECT_EQ(std::u16string(w), u"ab");
    cp_to_wide("abcdef", 6, w, 4);
    EXPECT_EQ(std::u16string(w), u"abc");
}

TEST(Cp437, FromWide) {
    struct Case {
        char16_t in;
        unsigned char want;
    } cases[] = {
        {u'\u00E4', 0x84}, {u'\u20AC', '?'}, {u'\t', '\t'},     {u'\n', '\n'},
        {u'\r', '\r'},     {u'~', '~'},      {u'\u263A', 0x01}, {u'\u2302', 0x7f},
        {u'\u00A0', 0xff}, {u'\u0001', '?'},  // a control character that is no glyph
        {u'\u00A7', 0x15},                    // section sign: first table position wins
        {u'\u2591', 0xb0},
    };
    for (const auto& c : cases)
        EXPECT_EQ(static_cast<unsigned char>(wide_char_to_cp(c.in)), c.want) << int(c.in);
    char out[8];
    wide_to_cp(u"\u00C4rger\u20AC", out, sizeof out);
    EXPECT_STREQ(out, "\x8erger?");
}

TEST(Cp437, EveryPrintableByteRoundTrips) {
    for (int b = 1; b < 256; ++b) {
        char16_t w = static_cast<char16_t>(cp437_uni[b]);
        EXPECT_EQ(static_cast<unsigned char>(wide_char_to_cp(w)), b) << b;
    }
    EXPECT_EQ(cp437_uni[0], 0x20);
}

TEST(StrUtil, WindowsDeviceNames) {
    struct Case {
        const char* name;
        bool device;
    } cases[] = {
        {"CON", true},       {"con.txt", true},    {"Nul  .pkt", true}, {"aux.tar.gz", true},
        {"COM1", true},      {"lpt9.zip", true},   {"CONIN$", true},    {"conout$.x", true},
        {"COM0", false},     {"COM10", false},     {"LPT", false},      {"CONSOLE", false},
        {"icon.txt", false}, {"nul_.echo", false}, {"", false},         {".con", false},
    };
    for (const Case& c : cases) EXPECT_EQ(str_names_device(c.name), c.device) << c.name;
}
