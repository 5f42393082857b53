// The message-base interface: the kludge split every format shares, and one
// table of behaviours run against each implementation (JAM and *.MSG), so
// that a caller written against MsgBase gets the same answers from both.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>

#include "app/catalog.h"
#include "fmsg/fmsg.h"
#include "jam/crc32.h"
#include "jam/jambase.h"
#include "support/test_support.h"

using namespace wptest;

namespace {

std::string ftn_fmt_s(const ftn_addr& a) {
    char buf[FTN_TEXT_MAX];
    ftn_fmt(buf, a);
    return buf;
}

TEST(MbKludge, SplitKeepsTheLineAsItWas) {
    struct Case {
        const char* line;
        const char* name;
        const char* sep;
        const char* value;
    } cases[] = {
        {"MSGID: 2:240/1 abc", "MSGID", ": ", "2:240/1 abc"},
        {"Via 2:240/1 @20260101.120000", "Via", " ", "2:240/1 @20260101.120000"},
        {"AREA:TAG", "AREA", ":", "TAG"},
        {"CHRS:  CP437 2", "CHRS", ": ", " CP437 2"},  // the second blank is the value's
        {"NOCOLON", "NOCOLON", "", ""},
        {"INTL 1:2/3 1:2/4", "INTL", " ", "1:2/3 1:2/4"},
        {"", "", "", ""},
        {":x", "", ":", "x"},
    };
    for (const Case& c : cases) {
        MbKludge k = mb_kludge_parse(c.line, std::strlen(c.line));
        EXPECT_EQ(k.name, c.name) << c.line;
        EXPECT_EQ(k.sep, c.sep) << c.line;
        EXPECT_EQ(k.value, c.value) << c.line;
        EXPECT_EQ(mb_kludge_line(k), c.line);
    }
    EXPECT_EQ(mb_kludge_line(mb_kludge("Via", "x")), "Via x");
    EXPECT_EQ(mb_kludge_line(mb_kludge("PID", "x")), "PID: x");
}

TEST(MbAttrs, SetOperations) {
    MbAttrs a = MbAttr::Local | MbAttr::Sent;
    EXPECT_TRUE(a.has(MbAttr::Local));
    EXPECT_FALSE(a.has(MbAttr::Read));
    EXPECT_EQ(a.without(MbAttr::Sent), MbAttrs(MbAttr::Local));
    EXPECT_TRUE((a & MbAttr::Read).empty());
}

// ---- The same behaviours from both formats ------------------------------------------

struct Impl {
    const char* name;
    std::unique_ptr<MsgBase> (*make)();
    const char* sub;  // path of the base inside the test directory
    uint32_t first;   // the number of the first message of a new base
};
const Impl IMPLS[] = {
    {"jam", [] { return std::unique_ptr<MsgBase>(new JamBase()); }, "area", 1},
    {"fmsg", [] { return std::unique_ptr<MsgBase>(new FmsgBase(true)); }, "area", 2},
};

class Contract : public ::testing::TestWithParam<Impl> {
  protected:
    void SetUp() override {
        lang_apply(LANG_EN);
        crc_init();
        base = GetParam().make();
        std::string p = dir.file(GetParam().sub);
        if (base->format() == MbFormat::Fmsg) {
            ASSERT_EQ(pf_mkdir(p.c_str()), 0);
        }
        ASSERT_EQ(base->open(p.c_str()), MbResult::Ok);
    }
    static MbMessage netmail(const char* subject, const char* text) {
        MbMessage m;
        m.from = "Ann Point";
        m.to = "Bob Boss";
        m.subject = subject;
        m.orig = {2, 240, 5, 7};
        m.dest = {2, 240, 1, 0};
        m.date_written = 1700000000u;
        m.attrs = MbAttr::Local | MbAttr::Private | MbAttr::Net;
        m.kludges = {mb_kludge("MSGID", "2:240/5.7 6553f100"), mb_kludge("PID", "wrenpost 0.9"),
                     mb_kludge("CHRS", "CP437 2")};
        m.text = text;
        return m;
    }
    TempDir dir;
    std::unique_ptr<MsgBase> base;
    const uint32_t f = GetParam().first;  // numbers below are counted from it
};

TEST_P(Contract, EmptyBaseReadsAsEmpty) {
    std::vector<uint32_t> nums{99};
    EXPECT_EQ(base->numbers(nums), MbResult::Ok);
    EXPECT_TRUE(nums.empty());
    uint32_t n = 9;
    EXPECT_EQ(base->count(n), MbResult::Ok);
    EXPECT_EQ(n, 0u);
    MbMessage m;
    EXPECT_EQ(base->read_header(f, m), MbResult::Missing);
    uint32_t mark = 9;
    EXPECT_EQ(base->lastread("Ann Point", mark), MbResult::Ok);
    EXPECT_EQ(mark, 0u);
}

TEST_P(Contract, AppendedMessagesReadBack) {
    MbMessage a = netmail("first", "Hello\rWorld\r");
    MbMessage b = netmail("second", "Bye\r");
    b.kludges.push_back(mb_kludge("SEEN-BY", "240/1 5"));
    b.kludges.push_back(mb_kludge("PATH", "240/1"));
    uint32_t na = 0, nb = 0;
    ASSERT_EQ(base->append(a, na), MbResult::Ok);
    ASSERT_EQ(base->append(b, nb), MbResult::Ok);
    EXPECT_EQ(na, f);
    EXPECT_EQ(nb, f + 1);
    EXPECT_EQ(b.number, f + 1);
    std::vector<uint32_t> nums;
    ASSERT_EQ(base->numbers(nums), MbResult::Ok);
    EXPECT_EQ(nums, (std::vector<uint32_t>{f, f + 1}));

    MbMessage r;
    ASSERT_EQ(base->read_header(f + 1, r), MbResult::Ok);
    EXPECT_EQ(r.number, f + 1);
    EXPECT_EQ(r.from, "Ann Point");
    EXPECT_EQ(r.to, "Bob Boss");
    EXPECT_EQ(r.subject, "second");
    EXPECT_EQ(ftn_fmt_s(r.orig), "2:240/5.7");
    EXPECT_EQ(ftn_fmt_s(r.dest), "2:240/1");
    EXPECT_EQ(r.date_written, 1700000000u);
    EXPECT_EQ(r.attrs, b.attrs);
    EXPECT_EQ(r.kludges, b.kludges);
    EXPECT_EQ(r.charset, 0);  // CS_CP437
    EXPECT_TRUE(r.text.empty());
    std::string text;
    ASSERT_EQ(base->read_text(f, text), MbResult::Ok);
    EXPECT_EQ(text, "Hello\rWorld\r");
    ASSERT_EQ(base->read_text(f + 1, text), MbResult::Ok);
    EXPECT_EQ(text, "Bye\r");
}

TEST_P(Contract, AttributesChangeOnlyWhatIsAsked) {
    MbMessage a = netmail("x", "t\r");
    a.attrs = a.attrs | MbAttr::Crash;
    uint32_t n = 0;
    ASSERT_EQ(base->append(a, n), MbResult::Ok);
    ASSERT_EQ(base->set_attrs(n, MbAttr::Sent, MbAttr::Crash), MbResult::Ok);
    MbMessage r;
    ASSERT_EQ(base->read_header(n, r), MbResult::Ok);
    EXPECT_EQ(r.attrs, MbAttr::Local | MbAttr::Private | MbAttr::Net | MbAttr::Sent);
    EXPECT_EQ(base->set_attrs(n, MbAttr::Deleted, {}), MbResult::BadArgument);
    EXPECT_EQ(base->set_attrs(n + 1, MbAttr::Sent, {}), MbResult::Missing);
    MbMessage d = netmail("d", "");
    d.attrs = d.attrs | MbAttr::Deleted;
    EXPECT_EQ(base->append(d, n), MbResult::BadArgument);
}

TEST_P(Contract, RemovedMessageIsGoneAndNumbersStay) {
    uint32_t n = 0;
    for (const char* s : {"1", "2", "3"}) {
        MbMessage m = netmail(s, "t\r");
        ASSERT_EQ(base->append(m, n), MbResult::Ok);
    }
    ASSERT_EQ(base->remove(f + 1), MbResult::Ok);
    std::vector<uint32_t> nums;
    ASSERT_EQ(base->numbers(nums), MbResult::Ok);
    EXPECT_EQ(nums, (std::vector<uint32_t>{f, f + 2}));
    MbMessage r;
    EXPECT_EQ(base->read_header(f + 1, r), MbResult::Missing);
    EXPECT_EQ(base->remove(f + 1), MbResult::Missing);
    ASSERT_EQ(base->read_header(f + 2, r), MbResult::Ok);
    EXPECT_EQ(r.subject, "3");
    MbMessage m = netmail("4", "t\r");
    ASSERT_EQ(base->append(m, n), MbResult::Ok);
    EXPECT_EQ(n, f + 3);
}

TEST_P(Contract, LastReadMarkPerBase) {
    MbMessage m = netmail("x", "t\r");
    uint32_t n = 0;
    ASSERT_EQ(base->append(m, n), MbResult::Ok);
    ASSERT_EQ(base->set_lastread("Ann Point", 5), MbResult::Ok);
    ASSERT_EQ(base->set_lastread("Ann Point", 3), MbResult::Ok);
    uint32_t mark = 0;
    ASSERT_EQ(base->lastread("Ann Point", mark), MbResult::Ok);
    EXPECT_EQ(mark, 3u);
}

TEST_P(Contract, WritesUnderTheLockGuardLandLikeSingleOnes) {
    {
        MbLock lock(*base, 1);
        ASSERT_TRUE(lock.held()) << mb_result_name(lock.result());
        uint32_t n = 0;
        for (const char* s : {"1", "2", "3"}) {
            MbMessage m = netmail(s, "t\r");
            ASSERT_EQ(base->append(m, n), MbResult::Ok);
        }
        ASSERT_EQ(base->set_attrs(f, MbAttr::Sent, {}), MbResult::Ok);
        ASSERT_EQ(base->remove(f + 1), MbResult::Ok);
        MbMessage m = netmail("4", "t\r");
        ASSERT_EQ(base->append(m, n), MbResult::Ok);
        EXPECT_EQ(n, f + 3);
        ASSERT_EQ(base->set_lastread("Ann Point", 4), MbResult::Ok);
    }
    EXPECT_FALSE(base->locked());
    std::vector<uint32_t> nums;
    ASSERT_EQ(base->numbers(nums), MbResult::Ok);
    EXPECT_EQ(nums, (std::vector<uint32_t>{f, f + 2, f + 3}));
    MbMessage r;
    ASSERT_EQ(base->read_header(f, r), MbResult::Ok);
    EXPECT_TRUE(r.attrs.has(MbAttr::Sent));
    uint32_t mark = 0;
    ASSERT_EQ(base->lastread("Ann Point", mark), MbResult::Ok);
    EXPECT_EQ(mark, 4u);
}

INSTANTIATE_TEST_SUITE_P(Formats, Contract, ::testing::ValuesIn(IMPLS),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
