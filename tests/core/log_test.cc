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
