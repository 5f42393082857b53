#include "msgarea/msgarea.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "platform/platform.h"
#include "support/test_support.h"

namespace {

MbMessage note(const char* subject) {
    MbMessage m;
    m.from = "Jo";
    m.to = "All";
    m.subject = subject;
    m.orig = ftn_addr{2, 240, 1, 5};
    m.date_written = 1700000000;
    m.attrs = MbAttrs(MbAttr::Echo);
    m.text = "Hello\r";
    return m;
}

}  // namespace

// Each prefix opens its format on the path after it; a message written
// through the base lands in that format's files and reads back.
TEST(MsgArea, SpecOpensTheNamedFormat) {
    wptest::TempDir d;
    struct Case {
        std::string loc;
        MbFormat fmt;
        std::string path, file;  // the base path, a file the append creates
    } cases[] = {
        {d.file("plain"), MbFormat::Jam, d.file("plain"), d.file("plain.jhr")},
        {"jam:" + d.file("expl"), MbFormat::Jam, d.file("expl"), d.file("expl.jhr")},
        {"MSG:" + d.file("dir"), MbFormat::Fmsg, d.file("dir"), d.file("dir/2.msg")},
    };
    for (const auto& c : cases) {
        std::unique_ptr<MsgBase> b;
        ASSERT_EQ(ma_open_loc(c.loc.c_str(), false, true, b), MbResult::Ok) << c.loc;
        ASSERT_NE(b, nullptr);
        EXPECT_EQ(b->format(), c.fmt) << c.loc;
        EXPECT_EQ(std::string(b->path()), c.path);
        MbMessage m = note(c.loc.c_str());
        uint32_t num = 0;
        ASSERT_EQ(b->append(m, num), MbResult::Ok) << c.loc;
        EXPECT_TRUE(pf_stat(c.file.c_str()).exists) << c.file;
        MbMessage back;
        ASSERT_EQ(b->read_header(num, back), MbResult::Ok);
        EXPECT_EQ(back.subject, c.loc);
    }
}

// A reader's open creates nothing; a writer's makes the *.MSG directory but
// never its parent, and refuses a file in the directory's place.
TEST(MsgArea, OnlyWritersCreateTheDirectory) {
    wptest::TempDir d;
    std::unique_ptr<MsgBase> b;
    ASSERT_EQ(ma_open(AreaFormat::Msg, d.file("r").c_str(), false, false, b), MbResult::Ok);
    EXPECT_FALSE(pf_stat(d.file("r").c_str()).exists);
    uint32_t n = 1;
    EXPECT_EQ(b->count(n), MbResult::Ok);
    EXPECT_EQ(n, 0u);
    EXPECT_EQ(ma_open(AreaFormat::Msg, d.file("no/such").c_str(), false, true, b),
              MbResult::IoError);
    EXPECT_EQ(b, nullptr);
    wptest::write_file(d.file("f"), "x");
    EXPECT_EQ(ma_open(AreaFormat::Msg, d.file("f").c_str(), false, true, b), MbResult::IoError);
    EXPECT_EQ(ma_open(AreaFormat::Jam, "", false, true, b), MbResult::BadArgument);
    ASSERT_EQ(ma_open(AreaFormat::Msg, d.file("w").c_str(), true, true, b), MbResult::Ok);
    EXPECT_TRUE(pf_stat(d.file("w").c_str()).is_dir);
}
