#include "core/charset.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <sstream>

#include "core/cp437.h"
#include "support/test_support.h"

namespace {

using wptest::TempDir;

// Python's codecs, the source the tables were generated from, asked again:
// for every set, bytes 0x80-0xFF decoded one by one (-1 where undefined).
TEST(CharsetTables, EveryByteAgreesWithPythonsCodecs) {
    TempDir d;
    const char* codecs[CS_NBYTE] = {"cp437",  "cp850",  "cp852",  "cp866",   "cp1250",   "cp1251",
                                    "cp1252", "koi8_r", "koi8_u", "latin_1", "iso8859_5"};
    std::string script =
        "import sys\nfor c in sys.argv[1:]:\n    out = []\n"
        "    for b in range(128, 256):\n        try:\n"
        "            out.append(ord(bytes([b]).decode(c)))\n"
        "        except UnicodeDecodeError:\n            out.append(-1)\n"
        "    print(c, *out)\n";
    wptest::write_file(d.file("dump.py"), script);
    std::string cmd = std::string("\"") + WP_PYTHON + "\" \"" + d.file("dump.py") + "\"";
    for (const char* c : codecs) cmd += std::string(" ") + c;
    cmd += " > \"" + d.file("out.txt") + "\"";
    ASSERT_EQ(std::system(cmd.c_str()), 0);
    std::istringstream in(wptest::read_file(d.file("out.txt")));
    int checked = 0;
    for (int cs = 0; cs < CS_NBYTE; ++cs) {
        std::string name;
        in >> name;
        ASSERT_EQ(name, codecs[cs]);
        for (int b = 0; b < 128; ++b) {
            long v = 0;
            in >> v;
            uint16_t want = v < 0 ? 0xFFFD : static_cast<uint16_t>(v);
            EXPECT_EQ(cs_high[cs][b], want) << name << " byte " << (0x80 + b);
            // Decoding goes through the table; encoding finds the byte again.
            char byte = static_cast<char>(0x80 + b);
            size_t used = 0;
            EXPECT_EQ(cs_next(cs, &byte, 1, used), want);
            if (v >= 0) {
                EXPECT_EQ(cs_encode(cs, std::u16string(1, static_cast<char16_t>(v))),
                          std::string(1, byte))
                    << name << " byte " << (0x80 + b);
            }
            ++checked;
        }
    }
    EXPECT_EQ(checked, CS_NBYTE * 128);
    // The code page 437 table of the editor agrees with the generated one.
    for (int b = 0x80; b < 0x100; ++b) EXPECT_EQ(cp437_uni[b], cs_high[CS_CP437][b - 0x80]) << b;
}

TEST(CharsetKludge, NamesLevelsAndTheOlderCodepageForm) {
    struct Case {
        const char* line;
        int want;
    } cases[] = {
        {"CHRS: CP866 2", CS_CP866},
        {"CHRS: cp866", CS_CP866},
        {"CHRS: IBMPC 2", CS_CP437},
        {"CHRS: CP437 2", CS_CP437},
        {"CHRS: UTF-8 4", CS_UTF8},
        {"CHRS:UTF-8 4", CS_UTF8},
        {"CHRS: KOI8-R 2", CS_KOI8R},
        {"CHRS: KOI8-U 2", CS_KOI8U},
        {"CHRS: LATIN-1 2", CS_LATIN1},
        {"CHRS: ISO-8859-1 2", CS_LATIN1},
        {"CHRS: ISO-8859-5 3", CS_ISO8859_5},
        {"CHRS: CP850 2", CS_CP850},
        {"CHRS: CP852 2", CS_CP852},
        {"CHRS: CP1250 2", CS_CP1250},
        {"CHRS: CP1251 2", CS_CP1251},
        {"CHRS: CP1252 2", CS_CP1252},
        {"CODEPAGE: 866", CS_CP866},
        {"CODEPAGE: 1251", CS_CP1251},
        {"CHRS: MAC 2", -1},
        {"CHRS: CP86 2", -1},
        {"CHRS: UTF-88 4", -1},
        {"CODEPAGE: 12345678", -1},
        {"MSGID: 2:5020/1 1", -1},
        {"CHRS", -1},
    };
    for (const Case& c : cases)
        EXPECT_EQ(cs_from_kludge(c.line, std::strlen(c.line)), c.want) << c.line;
    EXPECT_EQ(cs_kludge(CS_CP437), "CHRS: CP437 2");
    EXPECT_EQ(cs_kludge(CS_UTF8), "CHRS: UTF-8 4");
    EXPECT_EQ(cs_kludge(CS_KOI8R), "CHRS: KOI8-R 2");
    for (int cs = 0; cs < CS_COUNT; ++cs) {
        std::string k = cs_kludge(cs);
        EXPECT_EQ(cs_from_kludge(k.data(), k.size()), cs) << k;
    }
}

// The subfield block of a message with these kludge texts.
std::string kludges(std::initializer_list<const char*> lines) {
    std::string sf;
    for (const char* l : lines) {
        uint32_t n = static_cast<uint32_t>(std::strlen(l));
        char head[8] = {static_cast<char>(0xD0),   0x07, 0, 0, static_cast<char>(n & 0xFF),
                        static_cast<char>(n >> 8), 0,    0};
        sf.append(head, 8);
        sf.append(l, n);
    }
    return sf;
}

TEST(CharsetOfMessage, KludgeFirstThenDetection) {
    std::string ru = "\xcf\xf0\xe8\xe2\xe5\xf2";  // "Привет" in CP1251
    std::string utf =
        "Gr\xc3\xbc\xc3\x9f"
        "e";  // "Grüße" in UTF-8
    std::string ascii = "Hello";
    auto of = [](const std::string& sf, const std::string& text) {
        return cs_of_message(reinterpret_cast<const uint8_t*>(sf.data()),
                             static_cast<uint32_t>(sf.size()), text.data(), text.size());
    };
    EXPECT_EQ(of(kludges({"TZUTC: 0100", "CHRS: CP1251 2"}), ru), CS_CP1251);
    // The kludge wins even over valid UTF-8.
    EXPECT_EQ(of(kludges({"CHRS: CP437 2"}), utf), CS_CP437);
    // An unknown name is passed over: detection decides.
    EXPECT_EQ(of(kludges({"CHRS: MAC 2"}), utf), CS_UTF8);
    EXPECT_EQ(of("", utf), CS_UTF8);
    EXPECT_EQ(of("", ru), CS_CP437);     // not UTF-8
    EXPECT_EQ(of("", ascii), CS_CP437);  // UTF-8, but no multi-byte sequence
    // A ^A line of the text counts when the header has none.
    EXPECT_EQ(of("",
                 "\x01"
                 "CODEPAGE: 866\rtext\r"),
              CS_CP866);
    // Without the text, the list row's own bytes are probed.
    EXPECT_EQ(cs_of_message(nullptr, 0, nullptr, 0, utf.data(), utf.size()), CS_UTF8);
    // A subfield block cut in the middle is read no further.
    std::string cut = kludges({"CHRS: CP866 2"});
    cut.resize(cut.size() - 1);
    EXPECT_EQ(of(cut, ascii), CS_CP437);
}

TEST(CharsetDecode, InvalidUtf8BecomesReplacementCharacters) {
    struct Case {
        std::string in;
        std::u16string want;
    } cases[] = {
        {"a\xff"
         "b",
         u"a\uFFFDb"},
        {"\xc3", u"\uFFFD"},      // cut at the end
        {"\xe2\x82", u"\uFFFD"},  // cut short: one for the piece
        {"\xe2\x82x\xf0\x9f", u"\uFFFDx\uFFFD"},
        {"\xc0\xaf", u"\uFFFD\uFFFD"},                      // over-long form
        {"\xed\xa0\x80", u"\uFFFD\uFFFD\uFFFD"},            // a surrogate
        {"\xf4\x90\x80\x80", u"\uFFFD\uFFFD\uFFFD\uFFFD"},  // above U+10FFFF
        {"\xf0\x9f\x98\x80", u"\U0001F600"},
        {"\xe4\xb8\xad", u"\u4e2d"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(cs_decode(CS_UTF8, c.in.data(), c.in.size()), c.want);
        EXPECT_EQ(utf8_valid(c.in.data(), c.in.size()),
                  c.want.find(u'\uFFFD') == std::u16string::npos);
    }
    std::string back = cs_to_utf8(CS_UTF8, "a\xff", 2);
    EXPECT_EQ(back, "a\xef\xbf\xbd");
    EXPECT_EQ(utf16_to_utf8(u"\xD800x"), "\xef\xbf\xbdx");  // an unpaired surrogate
}

TEST(CharsetEncode, Cp437WhenItFitsElseUtf8AndRepliesKeepTheirSet) {
    struct Case {
        std::u16string text;
        int prefer;
        int want;
    } cases[] = {
        {u"Hello \u00e4\u00f6\u00fc \u2591", -1, CS_CP437},  // umlauts, a shade block
        {u"Euro \u20ac", -1, CS_UTF8},
        {u"\u041f\u0440\u0438\u0432\u0435\u0442", -1, CS_UTF8},
        {u"\u041f\u0440\u0438\u0432\u0435\u0442", CS_CP866, CS_CP866},
        {u"\u041f\u0440\u0438\u0432\u0435\u0442", CS_KOI8R, CS_KOI8R},
        {u"\u041f\u0440\u0438\u0432\u0435\u0442 \u20ac", CS_CP866, CS_UTF8},  // CP866 has no euro
        {u"\u041f\u0440\u0438\u0432\u0435\u0442 \u20ac", CS_CP1251, CS_CP1251},
        {u"plain", CS_CP852, CS_CP852},
        {u"emoji \U0001F600", CS_CP1252, CS_UTF8},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(cs_choose(c.text, c.prefer), c.want);
        std::string bytes = cs_encode(c.want, c.text);
        EXPECT_EQ(cs_decode(c.want, bytes.data(), bytes.size()), c.text);
    }
    EXPECT_EQ(cs_encode(CS_CP437, u"\u20ac"), "?");
    EXPECT_EQ(cs_encode(CS_CP866, u"\u041f"), "\x8f");
    EXPECT_EQ(cs_encode(CS_KOI8R, u"\u041f"), "\xf0");
}

TEST(CharsetWidth, WideAndFullWidthTakeTwoCells) {
    struct Case {
        char32_t c;
        int want;
    } cases[] = {{U'a', 1},    {0x00E4, 1},  {0x041F, 1},  {0x2591, 1}, {0x1100, 2},
                 {0x4E2D, 2},  {0x3000, 2},  {0xFF21, 2},  {0xFF61, 1}, {0xAC00, 2},
                 {0x1F600, 2}, {0x20000, 2}, {0x1D400, 1}, {0xFFFD, 1}};
    for (const Case& c : cases)
        EXPECT_EQ(cs_width(c.c), c.want) << std::hex << static_cast<uint32_t>(c.c);
    EXPECT_EQ(cs_text_width(u"ab\u4e2d\U0001F600"), 6u);
}

}  // namespace

// What stands for a control on a screen, at the edges of every range: the
// reader's code page 437 symbols below 0x80, U+FFFD for the others, every
// neighbour itself.
TEST(CharsetShown, ControlsAndTheirNeighbours) {
    struct Case {
        char32_t in, want;
    } cases[] = {
        {0x00, U' '},       {0x07, 0x2022},   {0x09, 0x25CB},   {0x0A, 0x25D9},   {0x1B, 0x2190},
        {0x1F, 0x25BC},     {0x20, 0x20},     {0x7E, 0x7E},     {0x7F, 0x2302},   {0x80, 0xFFFD},
        {0x9B, 0xFFFD},     {0x9F, 0xFFFD},   {0xA0, 0xA0},     {0x061B, 0x061B}, {0x061C, 0xFFFD},
        {0x061D, 0x061D},   {0x200D, 0x200D}, {0x200E, 0xFFFD}, {0x200F, 0xFFFD}, {0x2010, 0x2010},
        {0x2027, 0x2027},   {0x2028, 0xFFFD}, {0x2029, 0xFFFD}, {0x202A, 0xFFFD}, {0x202E, 0xFFFD},
        {0x202F, 0x202F},   {0x2065, 0x2065}, {0x2066, 0xFFFD}, {0x2069, 0xFFFD}, {0x206A, 0x206A},
        {0x1F600, 0x1F600},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(static_cast<uint32_t>(cs_shown(c.in)), static_cast<uint32_t>(c.want))
            << std::hex << static_cast<uint32_t>(c.in);
        EXPECT_EQ(cs_is_control(c.in), c.in != c.want) << std::hex << static_cast<uint32_t>(c.in);
    }
    // Fields keep their line: tabs and line ends are blanks there, a text
    // line keeps its tabs.
    EXPECT_EQ(cs_to_utf8_shown(CS_LATIN1, "a\tb\rc\nd\x9b", 8, true), "a b c d\xef\xbf\xbd");
    EXPECT_EQ(cs_to_utf8_shown(CS_LATIN1, "a\tb\x1b", 4, false), "a\tb\xe2\x86\x90");
    EXPECT_EQ(utf16_to_utf8_shown(u"x\u202ey\t", true), "x\xef\xbf\xbdy ");
    EXPECT_EQ(utf8_control_len("\xe2\x80\xae!", 4), 3u);
    EXPECT_EQ(utf8_control_len("\xe2\x80\xaf!", 4), 0u);
    EXPECT_EQ(utf8_control_len("\xc2\x9b", 2), 2u);
    EXPECT_EQ(utf8_control_len("\xc2", 1), 0u);
}
