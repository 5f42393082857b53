// *.MSG areas: the stored-message header byte by byte as the standard lays
// it out, the text with its kludge, SEEN-BY and PATH lines, the names that
// are and are not messages, hostile files, numbering (also with writers in
// several processes at once), the last-read file.
#include "fmsg/fmsg.h"

#include <gtest/gtest.h>

#include <cstring>

#include "app/catalog.h"
#include "core/bytes.h"
#include "core/fileio.h"
#include "fmsg/fmsg_format.h"
#include "support/test_support.h"

using namespace wptest;

namespace {

class Fmsg : public ::testing::Test {
  protected:
    void SetUp() override {
        lang_apply(LANG_EN);
        area = dir.file("netmail");
        ASSERT_EQ(pf_mkdir(area.c_str()), 0);
        ASSERT_EQ(base.open(area.c_str()), MbResult::Ok);
    }
    std::string msg(const std::string& name) { return area + PF_DIR_SEP + name; }
    static MbMessage netmail() {
        MbMessage m;
        m.from = "Ann Point";
        m.to = "Bob Boss";
        m.subject = "Hello there";
        m.orig = {2, 240, 5, 7};
        m.dest = {1, 105, 42, 3};
        m.date_written = 1704112496u;  // 2024-01-01 12:34:56
        m.attrs = MbAttr::Local | MbAttr::Private | MbAttr::Net;
        m.kludges = {mb_kludge("MSGID", "2:240/5.7 6553f100"), mb_kludge("CHRS", "CP437 2")};
        m.text = "Line one\rLine two\r";
        return m;
    }
    TempDir dir;
    std::string area;
    FmsgBase base{true};
};

// The header as FTS-0001 draws it, offsets written out here by hand.
TEST_F(Fmsg, NetmailFileIsTheStoredMessageOfTheStandard) {
    MbMessage m = netmail();
    uint32_t n = 0;
    ASSERT_EQ(base.append(m, n), MbResult::Ok);
    ASSERT_EQ(n, 2u);  // 1.msg is left to other programs' high-water mark
    const std::string f = read_file(msg("2.msg"));
    std::string want(190, '\0');
    std::memcpy(&want[0], "Ann Point", 9);
    std::memcpy(&want[36], "Bob Boss", 8);
    std::memcpy(&want[72], "Hello there", 11);
    std::memcpy(&want[144], "01 Jan 24  12:34:56", 19);
    auto w16 = [&](size_t off, uint16_t v) {
        want[off] = char(v & 0xff);
        want[off + 1] = char(v >> 8);
    };
    w16(166, 42);      // destNode
    w16(168, 5);       // origNode
    w16(172, 240);     // origNet
    w16(174, 105);     // destNet
    w16(176, 1);       // destZone
    w16(178, 2);       // origZone
    w16(180, 3);       // destPoint
    w16(182, 7);       // origPoint
    w16(186, 0x0101);  // Local + Private
    want +=
        "\x01INTL 1:105/42 2:240/5\r\x01"
        "FMPT 7\r\x01TOPT 3\r";
    want +=
        "\x01MSGID: 2:240/5.7 6553f100\r\x01"
        "CHRS: CP437 2\r";
    want += "Line one\rLine two\r";
    want += '\0';
    EXPECT_EQ(f, want);
}

TEST_F(Fmsg, EchomailKeepsSeenByAndPathAfterTheBody) {
    FmsgBase echo(false);
    ASSERT_EQ(echo.open(area.c_str()), MbResult::Ok);
    MbMessage m = netmail();
    m.attrs = MbAttr::Local | MbAttr::Echo;
    m.kludges = {mb_kludge("MSGID", "2:240/5.7 1"), mb_kludge("SEEN-BY", "240/1 5"),
                 mb_kludge("PATH", "240/5"), mb_kludge("Via", "2:240/1 @20240101")};
    m.text = "No line end at the end";
    uint32_t n = 0;
    ASSERT_EQ(echo.append(m, n), MbResult::Ok);
    const std::string f = read_file(msg("2.msg"));
    EXPECT_EQ(f.substr(190), std::string("\x01MSGID: 2:240/5.7 1\rNo line end at the end\r"
                                         "SEEN-BY: 240/1 5\r\x01PATH: 240/5\r"
                                         "\x01Via 2:240/1 @20240101\r") +
                                 '\0');
    EXPECT_EQ(get_le16(reinterpret_cast<const uint8_t*>(f.data()) + 176), 0u);  // no dest
    MbMessage r;
    ASSERT_EQ(echo.read_header(2, r), MbResult::Ok);
    EXPECT_EQ(r.kludges, m.kludges);
    EXPECT_EQ(r.attrs, m.attrs);
    std::string text;
    ASSERT_EQ(echo.read_text(2, text), MbResult::Ok);
    EXPECT_EQ(text, "No line end at the end\r");
}

TEST_F(Fmsg, FieldsAreCutToTheirRoomWithTheirNul) {
    MbMessage m = netmail();
    m.from = std::string(50, 'F');
    m.subject = std::string(100, 'S');
    uint32_t n = 0;
    ASSERT_EQ(base.append(m, n), MbResult::Ok);
    const std::string f = read_file(msg("2.msg"));
    EXPECT_EQ(f.substr(0, 36), std::string(35, 'F') + '\0');
    EXPECT_EQ(f.substr(72, 72), std::string(71, 'S') + '\0');
    MbMessage r;
    ASSERT_EQ(base.read_header(2, r), MbResult::Ok);
    EXPECT_EQ(r.from, std::string(35, 'F'));
    EXPECT_EQ(r.subject, std::string(71, 'S'));
}

TEST_F(Fmsg, EchomailWithoutHeaderAddressTakesTheMsgids) {
    std::string f(190, '\0');
    std::memcpy(&f[0], "Carl", 4);
    f += "\x01MSGID: 2:200/100.3@fidonet 1c001d01\rBody\r";
    f += '\0';
    write_file(msg("2.msg"), f);
    FmsgBase echo(false);
    ASSERT_EQ(echo.open(area.c_str()), MbResult::Ok);
    MbMessage r;
    ASSERT_EQ(echo.read_header(2, r), MbResult::Ok);
    EXPECT_EQ(r.orig.zone, 2u);
    EXPECT_EQ(r.orig.net, 200u);
    EXPECT_EQ(r.orig.node, 100u);
    EXPECT_EQ(r.orig.point, 3u);
    EXPECT_EQ(r.dest.net, 0u);
}

TEST(FmsgNames, WhichNamesAreMessages) {
    struct Case {
        const char* name;
        uint32_t num;
    } cases[] = {
        {"1.msg", 1},  {"17.MSG", 17}, {"65535.msg", 65535}, {"2.Msg", 2},
        {"0.msg", 0},  {"017.msg", 0}, {"65536.msg", 0},     {"99999999999.msg", 0},
        {".msg", 0},   {"1.ms", 0},    {"1.msgx", 0},        {"a.msg", 0},
        {"-1.msg", 0}, {"1 .msg", 0},  {"lastread", 0},      {"1.msg.tmp", 0},
    };
    for (const Case& c : cases) EXPECT_EQ(fmsg_number(c.name), c.num) << c.name;
}

TEST(FmsgDates, BothStoredForms) {
    struct Case {
        const char* text;
        uint32_t t;
    } cases[] = {
        {"01 Jan 24  12:34:56", 1704112496u},
        {"Mon  1 Jan 24 12:34", 1704112440u},  // the other form: weekday, no seconds
        {"31 Dec 79  23:59:59", 3471292799u},  // two-digit years below 80 are 20xx
        {"01 Jan 80  00:00:00", 315532800u},
        {"", 0},
        {"32 Jan 24  12:34:56", 0},
        {"01 Foo 24  12:34:56", 0},
        {"01 Jan 24  25:00:00", 0},
        {"01 Jan", 0},
    };
    for (const Case& c : cases)
        EXPECT_EQ(fmsg_parse_date(c.text, std::strlen(c.text)), c.t) << c.text;
    EXPECT_EQ(fmsg_date_text(1704112496u), "01 Jan 24  12:34:56");
}

// Files other programs or damage left: each gives its own answer, none
// stops the listing or the other messages.
TEST_F(Fmsg, HostileFilesGiveClearResults) {
    MbMessage good = netmail();
    uint32_t n = 0;
    ASSERT_EQ(base.append(good, n), MbResult::Ok);   // 1.msg
    write_file(msg("3.msg"), std::string(10, 'x'));  // shorter than the header
    std::string no_nul(190, 'A');                    // names without NUL, text without NUL
    no_nul += "\x01INTL garbage\rtext to the end";
    write_file(msg("4.msg"), no_nul);
    {
        UniqueFile big(pf_open(msg("5.msg").c_str(), PfAccess::ReadWrite, PfCreate::CreateNew));
        ASSERT_TRUE(big);
        ASSERT_GE(pf_seek(big.get(), static_cast<int64_t>(FMSG_FILE_MAX) + 1, PfSeek::Begin), 0);
        ASSERT_EQ(pf_set_end(big.get()), 0);
    }
    ASSERT_EQ(pf_mkdir(msg("6.msg").c_str()), 0);  // a directory is no message
    write_file(msg("0007.msg"), "x");              // not a number this reads
    write_file(msg("70000.msg"), "x");

    std::vector<uint32_t> nums;
    ASSERT_EQ(base.numbers(nums), MbResult::Ok);
    EXPECT_EQ(nums, (std::vector<uint32_t>{2, 3, 4, 5}));
    MbMessage r;
    EXPECT_EQ(base.read_header(2, r), MbResult::Ok);
    EXPECT_EQ(base.read_header(3, r), MbResult::Damaged);
    EXPECT_EQ(base.set_attrs(3, MbAttr::Sent, {}), MbResult::Damaged);
    EXPECT_EQ(read_file(msg("3.msg")), std::string(10, 'x'));
    ASSERT_EQ(base.read_header(4, r), MbResult::Ok);
    EXPECT_EQ(r.from, std::string(36, 'A'));
    EXPECT_EQ(r.subject, std::string(72, 'A'));
    EXPECT_EQ(r.date_written, 0u);
    EXPECT_EQ(r.orig.net, 0x4141u);  // INTL unreadable: the header's words stay
    std::string text;
    ASSERT_EQ(base.read_text(4, text), MbResult::Ok);
    EXPECT_EQ(text, "text to the end");
    EXPECT_EQ(base.read_header(5, r), MbResult::TooBig);
    // The next number goes after the highest message, whatever else is there.
    MbMessage m = netmail();
    ASSERT_EQ(base.append(m, n), MbResult::Ok);
    EXPECT_EQ(n, 7u);  // "6.msg" is taken by the directory: the next is free
    EXPECT_TRUE(file_exists(msg("7.msg")));
}

TEST_F(Fmsg, NewNumbersAreHighestPlusOneAndNeverShared) {
    write_file(msg("3.msg"), std::string(190, '\0'));
    write_file(msg("10.MSG"), std::string(190, '\0'));
    write_file(msg("11.MSG"), std::string(190, '\0'));
    ASSERT_EQ(pf_delete(msg("11.MSG").c_str()), 0);
    write_file(msg("12.MSG"), "");  // an upper-case name is taken as well
    ASSERT_EQ(pf_delete(msg("12.MSG").c_str()), 0);
    MbMessage m = netmail();
    uint32_t n = 0;
    ASSERT_EQ(base.append(m, n), MbResult::Ok);
    EXPECT_EQ(n, 11u);
    EXPECT_TRUE(file_exists(msg("11.msg")));
    write_file(msg("65535.msg"), std::string(190, '\0'));
    EXPECT_EQ(base.append(m, n), MbResult::Full);
}

TEST_F(Fmsg, AttributesKeepBitsWithoutANeutralName) {
    MbMessage m = netmail();
    uint32_t n = 0;
    ASSERT_EQ(base.append(m, n), MbResult::Ok);
    std::string f = read_file(msg("2.msg"));
    f[186] = char(0x01);
    f[187] = char(0x25);  // Local, FileUpdateReq, IsReturnReceipt, unused 0x0400
    write_file(msg("2.msg"), f);
    ASSERT_EQ(base.set_attrs(2, MbAttr::Sent | MbAttr::Read, MbAttr::Local), MbResult::Ok);
    f = read_file(msg("2.msg"));
    EXPECT_EQ(get_le16(reinterpret_cast<const uint8_t*>(f.data()) + 186), 0x240Du);
    MbMessage r;
    ASSERT_EQ(base.read_header(2, r), MbResult::Ok);
    EXPECT_EQ(r.attrs, MbAttr::Private | MbAttr::Sent | MbAttr::Read | MbAttr::Net);
}

TEST_F(Fmsg, LastReadIsWordZeroOfTheLastreadFile) {
    write_file(msg("lastread"), std::string("\x00\x00\x34\x12", 4));
    ASSERT_EQ(base.set_lastread("anyone", 7), MbResult::Ok);
    EXPECT_EQ(read_file(msg("lastread")), std::string("\x07\x00\x34\x12", 4));
    ASSERT_EQ(base.set_lastread("anyone", 70000), MbResult::Ok);
    uint32_t mark = 0;
    ASSERT_EQ(base.lastread("someone else", mark), MbResult::Ok);
    EXPECT_EQ(mark, 65535u);
    FmsgBase none;
    ASSERT_EQ(none.open(dir.file("no-such-area").c_str()), MbResult::Ok);
    EXPECT_EQ(none.set_lastread("x", 1), MbResult::Missing);
    EXPECT_FALSE(file_exists(dir.file("no-such-area")));
}

TEST_F(Fmsg, RemoveDeletesTheFile) {
    MbMessage m = netmail();
    uint32_t n = 0;
    ASSERT_EQ(base.append(m, n), MbResult::Ok);
    ASSERT_EQ(base.remove(2), MbResult::Ok);
    EXPECT_FALSE(file_exists(msg("2.msg")));
    EXPECT_EQ(base.remove(2), MbResult::Missing);
}

}  // namespace

// Under the lock the appends of a run reuse one listing: a number another
// program took meanwhile (either case) is still never shared, the end mark
// follows the run's own appends, and a new run lists afresh.
TEST_F(Fmsg, ARunUnderTheLockNeverSharesANumber) {
    MbMessage m = netmail();
    uint32_t n = 0, mark = 0;
    {
        MbLock lock(base, 1);
        ASSERT_TRUE(lock.held());
        ASSERT_EQ(base.append(m, n), MbResult::Ok);
        EXPECT_EQ(n, 2u);
        write_file(msg("3.msg"), "theirs");  // another program, after the listing
        write_file(msg("4.MSG"), "theirs too");
        ASSERT_EQ(base.append(m, n), MbResult::Ok);
        EXPECT_EQ(n, 5u);
        ASSERT_EQ(base.end_mark(mark), MbResult::Ok);
        EXPECT_EQ(mark, 5u);
        write_file(msg("9.msg"), std::string(190, '\0'));
    }
    EXPECT_EQ(read_file(msg("3.msg")), "theirs");
    EXPECT_EQ(read_file(msg("4.MSG")), "theirs too");
    MbLock lock(base, 1);
    ASSERT_EQ(base.end_mark(mark), MbResult::Ok);
    EXPECT_EQ(mark, 9u);  // listed again
    ASSERT_EQ(base.append(m, n), MbResult::Ok);
    EXPECT_EQ(n, 10u);
}
