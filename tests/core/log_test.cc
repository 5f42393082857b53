#include "core/log.h"

#include <gtest/gtest.h>

#include <regex>
#include <string>

#include "support/test_support.h"

namespace {
struct Capture {
    std::string out;
    Capture() { con_capture(&out); }
    ~Capture() { con_capture(nullptr); }
};
}  // namespace

TEST(Log, LineFormatAndControlBytes) {
    Capture c;
    log_msg2("a\r\nb\tc", "\x01\x1f\x80\xff");
    ASSERT_GE(c.out.size(), 13u);
    EXPECT_TRUE(std::regex_match(c.out.substr(0, 11), std::regex(R"(\[\d\d:\d\d:\d\d\] )")));
    EXPECT_EQ(c.out.substr(11), "a..b.c..\x80\xff\r\n");
}

// Controls written in UTF-8 act on a terminal like the bytes below 0x20:
// each shows as one "."; the code page's letters 0x80-0x9F stay.
TEST(Log, ControlsInUtf8ShowAsDots) {
    struct Case {
        const char* in;
        const char* want;
    } cases[] = {
        {"a\x7f"
         "b",
         "a.b"},  // DEL
        {"\xc2\x9b"
         "2J",
         ".2J"},                         // CSI
        {"x\xc2\x85\xc2\x80y", "x..y"},  // NEL, PAD
        {"\xe2\x80\xae"
         "gpj.exe",
         ".gpj.exe"},  // right-to-left override
        {"\xe2\x81\xa6"
         "a\xe2\x81\xa9",
         ".a."},                                           // isolates
        {"\xe2\x80\xa8\xe2\x80\xa9\xd8\x9c", "..."},       // separators, ALM
        {"\x9b\x80\x85", "\x9b\x80\x85"},                  // CP437 letters
        {"\xc3\xa4\xe2\x80\x94", "\xc3\xa4\xe2\x80\x94"},  // ä and a dash
        {"\xc2", "\xc2"},                                  // cut short
    };
    for (const Case& k : cases) {
        Capture c;
        log_msg(k.in);
        EXPECT_EQ(c.out.substr(11), std::string(k.want) + "\r\n") << k.in;
    }
}

TEST(Log, LongTextIsCutAt1197) {
    Capture c;
    std::string text(2000, 'x');
    log_msg(text.c_str());
    EXPECT_EQ(c.out.size(), 1199u);
    EXPECT_EQ(c.out.substr(1197), "\r\n");
    EXPECT_EQ(c.out[1196], 'x');
}

TEST(Log, NumbersAndJoins) {
    Capture c;
    lb_start();
    lb_num(0);
    lb_add(" ");
    lb_num(18446744073709551615ull);
    lb_flush();
    log_num("End, exit code ", 6);
    auto lines = wptest::log_lines(c.out);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(wptest::log_text(lines[0]), "0 18446744073709551615");
    EXPECT_EQ(wptest::log_text(lines[1]), "End, exit code 6");
}

TEST(Log, WritesToFileHandleWithOneWritePerLine) {
    wptest::TempDir d;
    std::string path = d.file("out.log");
    pf_file h = pf_open(path.c_str(), PfAccess::ReadWrite, PfCreate::CreateAlways);
    ASSERT_NE(h, PF_INVALID);
    con_set_handle(h);
    log_msg("one");
    log_msg("two");
    con_set_handle(PF_INVALID);
    log_msg("dropped silently");
    pf_close(h);
    auto lines = wptest::log_lines(wptest::read_file(path));
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(wptest::log_text(lines[1]), "two");
}
