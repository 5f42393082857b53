// JAM behind the message-base interface: what it appends is byte for byte
// what jam_append writes for the request the program's writers build by
// hand (compose, toss, AreaFix), alone and under the lock guard; deleting,
// attribute changes and last-read marks leave the files as the editor's own
// code leaves them; the subfields of other programs read as kludges.
#include "jam/jambase.h"

#include <gtest/gtest.h>

#include <cstring>
#include <optional>

#include "app/catalog.h"
#include "core/bytes.h"
#include "core/charset.h"
#include "core/fileio.h"
#include "jam/crc32.h"
#include "support/test_support.h"

using namespace wptest;

namespace {

class JamBaseTest : public ::testing::Test {
  protected:
    void SetUp() override {
        lang_apply(LANG_EN);
        crc_init();
    }
    // "" when the four files of the two bases are the same, else where the
    // first difference is.
    static std::string differ(const std::string& a, const std::string& b) {
        for (const char* ext : {".jhr", ".jdt", ".jdx", ".jlr"}) {
            std::string x = read_file(a + ext), y = read_file(b + ext);
            if (x == y) continue;
            size_t i = 0;
            while (i < x.size() && i < y.size() && x[i] == y[i]) ++i;
            return std::string(ext) + " differs at offset " + std::to_string(i) + " (sizes " +
                   std::to_string(x.size()) + ", " + std::to_string(y.size()) + ")";
        }
        return "";
    }
    TempDir dir;
};

// One message both ways: the subfield block written out by hand in the
// order the program's writers use, and the neutral message.
struct Case {
    const char* what;
    bool net;
    const char* text;
    std::vector<std::pair<uint16_t, std::string>> sf;  // after the five header subfields
    std::vector<MbKludge> kludges;
    uint32_t reply_to;
};

const Case CASES[] = {
    {"compose echomail",
     false,
     "Hello\r--- wrenpost 0.9\r * Origin: Home (2:240/5.7)\r",
     {{SF_MSGID, "2:240/5.7 6553f100"},
      {SF_PID, "wrenpost 0.9"},
      {SF_TZUTC, "0100"},
      {SF_KLUDGE, "CHRS: CP437 2"}},
     {mb_kludge("MSGID", "2:240/5.7 6553f100"), mb_kludge("PID", "wrenpost 0.9"),
      mb_kludge("TZUTC", "0100"), mb_kludge("CHRS", "CP437 2")},
     0},
    {"compose netmail reply",
     true,
     "Re\r",
     {{SF_MSGID, "2:240/5.7 6553f101"},
      {SF_REPLY, "2:240/1 12345678"},
      {SF_PID, "wrenpost 0.9"},
      {SF_TZUTC, "-0500"},
      {SF_KLUDGE, "CHRS: UTF-8 4"}},
     {mb_kludge("MSGID", "2:240/5.7 6553f101"), mb_kludge("REPLY", "2:240/1 12345678"),
      mb_kludge("PID", "wrenpost 0.9"), mb_kludge("TZUTC", "-0500"), mb_kludge("CHRS", "UTF-8 4")},
     7},
    {"tossed echomail with SEEN-BY, PATH and an area kludge",
     false,
     "Tossed\r",
     {{SF_MSGID, "1:2/3 abcd"},
      {SF_KLUDGE, "AREA:FIDOTEST"},
      {SF_SEENBY, "240/1 5"},
      {SF_PATH, "240/1"},
      {SF_TRACE, "2:240/1 @20260101.120000"}},
     {mb_kludge("MSGID", "1:2/3 abcd"), mb_kludge_parse("AREA:FIDOTEST", 13),
      mb_kludge("SEEN-BY", "240/1 5"), mb_kludge("PATH", "240/1"),
      mb_kludge("Via", "2:240/1 @20260101.120000")},
     0},
    {"empty text, no kludges", true, "", {}, {}, 0},
};

void by_hand(const Case& c, std::string& subf, JamMsg& jm) {
    subf.clear();
    jam_subf_add(subf, SF_OADDR, "2:240/5.7");
    if (c.net) jam_subf_add(subf, SF_DADDR, "2:240/1");
    jam_subf_add(subf, SF_SENDER, "Ann Point");
    jam_subf_add(subf, SF_RECEIVER, "Bob Boss");
    jam_subf_add(subf, SF_SUBJECT, "Subject line");
    std::string msgid, reply;
    for (const auto& [id, v] : c.sf) {
        jam_subf_add(subf, id, v.data(), v.size());
        if (id == SF_MSGID) msgid = v;
        if (id == SF_REPLY) reply = v;
    }
    jm = JamMsg{};
    jm.jm_subf = subf.data();
    jm.jm_subflen = static_cast<uint32_t>(subf.size());
    jm.jm_text = c.text;
    jm.jm_textlen = static_cast<uint32_t>(std::strlen(c.text));
    jm.jm_attr = c.net ? 0x02000005u : 0x01000001u;
    jm.jm_date = 1700000000u;
    jm.jm_now = 1700000100u;
    jm.jm_msgidcrc = msgid.empty() ? JAM_NO_CRC : jam_crc(msgid.c_str());
    jm.jm_replycrc = reply.empty() ? JAM_NO_CRC : jam_crc(reply.c_str());
    jm.jm_usercrc = jam_crc("Bob Boss");
    jm.jm_replyto = c.reply_to;
}

MbMessage neutral(const Case& c) {
    MbMessage m;
    m.from = "Ann Point";
    m.to = "Bob Boss";
    m.subject = "Subject line";
    m.orig = {2, 240, 5, 7};
    if (c.net) m.dest = {2, 240, 1, 0};
    m.date_written = 1700000000u;
    m.date_received = 1700000100u;
    m.attrs = c.net ? MbAttr::Local | MbAttr::Private | MbAttr::Net : MbAttr::Local | MbAttr::Echo;
    m.kludges = c.kludges;
    m.text = c.text;
    m.reply_to = c.reply_to;
    return m;
}

TEST_F(JamBaseTest, AppendWritesWhatJamAppendWrites) {
    for (bool guarded : {false, true}) {
        std::string a = dir.file(guarded ? "ga" : "a"), b = dir.file(guarded ? "gb" : "b");
        JamBase base;
        ASSERT_EQ(base.open(b.c_str()), MbResult::Ok);
        {
            std::optional<MbLock> lock;
            if (guarded) {
                lock.emplace(base, 1);
                ASSERT_TRUE(lock->held());
            }
            for (const Case& c : CASES) {
                std::string subf;
                JamMsg jm;
                by_hand(c, subf, jm);
                ASSERT_EQ(jam_append(a.c_str(), jm), 0) << c.what;
                MbMessage m = neutral(c);
                uint32_t num = 0;
                ASSERT_EQ(base.append(m, num), MbResult::Ok) << c.what;
                EXPECT_EQ(num, jm.jm_msgnum) << c.what;
            }
        }
        EXPECT_EQ(differ(a, b), "") << (guarded ? "under MbLock" : "single appends");
    }
}

TEST_F(JamBaseTest, HeadersOfEveryWriterReadBackAsTheirNeutralMessage) {
    std::string a = dir.file("a");
    for (const Case& c : CASES) {
        std::string subf;
        JamMsg jm;
        by_hand(c, subf, jm);
        ASSERT_EQ(jam_append(a.c_str(), jm), 0);
    }
    JamBase base;
    ASSERT_EQ(base.open(a.c_str()), MbResult::Ok);
    uint32_t num = 1;
    for (const Case& c : CASES) {
        MbMessage r;
        ASSERT_EQ(base.read_header(num, r), MbResult::Ok) << c.what;
        MbMessage want = neutral(c);
        want.number = num++;
        EXPECT_EQ(r.kludges, want.kludges) << c.what;
        EXPECT_EQ(r.attrs, want.attrs) << c.what;
        EXPECT_EQ(r.reply_to, want.reply_to) << c.what;
        EXPECT_EQ(r.date_received, want.date_received) << c.what;
        EXPECT_EQ(r.dest.node, want.dest.node) << c.what;
        EXPECT_EQ(r.orig.point, 7u) << c.what;
        std::string text;
        ASSERT_EQ(base.read_text(r.number, text), MbResult::Ok);
        EXPECT_EQ(text, c.text) << c.what;
    }
    MbMessage r;
    ASSERT_EQ(base.read_header(2, r), MbResult::Ok);
    EXPECT_EQ(r.charset, CS_UTF8);

    // A message without an origin address gets no OADDRESS "0:0/0".
    MbMessage bare;
    bare.to = "All";
    uint32_t n = 0;
    ASSERT_EQ(base.append(bare, n), MbResult::Ok);
    JamImage img;
    ASSERT_EQ(jam_load(a.c_str(), img), 0);
    JamHeader h;
    ASSERT_EQ(jam_parse_header(img.jhr.data(), img.jhr.size(),
                               get_le32(img.jdx.data() + (n - 1) * JDX_SIZE + JDX_HDROFFSET), h),
              0);
    std::string oaddr;
    EXPECT_FALSE(jam_subf_find(h, SF_OADDR, oaddr)) << oaddr;
    EXPECT_TRUE(jam_subf_find(h, SF_RECEIVER, oaddr));
}

// The bytes the editor's delete leaves (DELETED bit, TxtLen 0, index record
// of 0xFFFFFFFF, ModCounter + 1, ActiveMsgs - 1), and the sent marking that
// keeps bits the neutral set has no name for.
TEST_F(JamBaseTest, InPlaceChangesTouchOnlyTheirFields) {
    std::string a = dir.file("a");
    for (int i = 0; i < 3; ++i) {
        std::string subf;
        JamMsg jm;
        by_hand(CASES[0], subf, jm);
        jm.jm_attr |= 0x00000400u;  // DIRECT: no neutral name
        ASSERT_EQ(jam_append(a.c_str(), jm), 0);
    }
    const std::string jhr0 = read_file(a + ".jhr"), jdx0 = read_file(a + ".jdx");
    JamBase base;
    ASSERT_EQ(base.open(a.c_str()), MbResult::Ok);
    ASSERT_EQ(base.set_attrs(1, MbAttr::Sent, MbAttr::Echo), MbResult::Ok);
    ASSERT_EQ(base.remove(2), MbResult::Ok);

    const std::string jhr = read_file(a + ".jhr"), jdx = read_file(a + ".jdx");
    ASSERT_EQ(jhr.size(), jhr0.size());
    auto u32 = [](const std::string& s, size_t off) {
        return get_le32(reinterpret_cast<const uint8_t*>(s.data()) + off);
    };
    EXPECT_EQ(u32(jhr, JHI_MODCOUNTER), u32(jhr0, JHI_MODCOUNTER) + 2);
    EXPECT_EQ(u32(jhr, JHI_ACTIVEMSGS), u32(jhr0, JHI_ACTIVEMSGS) - 1);
    const uint32_t h1 = u32(jdx0, 4), h2 = u32(jdx0, 12);
    EXPECT_EQ(u32(jhr, h1 + JMH_ATTRIBUTE), JA_LOCAL | JA_SENT | 0x00000400u);
    EXPECT_EQ(u32(jhr, h2 + JMH_ATTRIBUTE), JA_LOCAL | JA_ECHO | 0x00000400u | JA_DELETED);
    EXPECT_EQ(u32(jhr, h2 + JMH_TXTLEN), 0u);
    EXPECT_EQ(jdx.substr(8, 8), std::string(8, '\xff'));
    // Nothing else changed.
    std::string a0 = jhr0, a1 = jhr;
    const size_t changed[] = {JHI_MODCOUNTER, JHI_ACTIVEMSGS, size_t{h1} + JMH_ATTRIBUTE,
                              size_t{h2} + JMH_ATTRIBUTE, size_t{h2} + JMH_TXTLEN};
    for (size_t off : changed)
        for (size_t i = 0; i < 4; ++i) a0[off + i] = a1[off + i] = 0;
    EXPECT_EQ(a0, a1);
    EXPECT_EQ(jdx.substr(0, 8) + jdx.substr(16), jdx0.substr(0, 8) + jdx0.substr(16));
}

// Under the guard the writer keeps the counters in memory: changes between
// two appends must not be lost by the next append's counter write.
TEST_F(JamBaseTest, CountersStayRightAcrossChangesUnderTheGuard) {
    std::string a = dir.file("a"), b = dir.file("b");
    auto run = [&](const std::string& path) {
        JamBase base;
        ASSERT_EQ(base.open(path.c_str()), MbResult::Ok);
        MbLock lock(base, 1);
        ASSERT_TRUE(lock.held());
        for (int i = 0; i < 3; ++i) {
            MbMessage m = neutral(CASES[0]);
            uint32_t n = 0;
            ASSERT_EQ(base.append(m, n), MbResult::Ok);
            if (i == 1) {
                ASSERT_EQ(base.remove(1), MbResult::Ok);
                ASSERT_EQ(base.set_attrs(2, MbAttr::Sent, {}), MbResult::Ok);
            }
        }
    };
    // The unguarded run: a plain base written by single operations.
    {
        JamBase base;
        ASSERT_EQ(base.open(a.c_str()), MbResult::Ok);
        for (int i = 0; i < 3; ++i) {
            MbMessage m = neutral(CASES[0]);
            uint32_t n = 0;
            ASSERT_EQ(base.append(m, n), MbResult::Ok);
            if (i == 1) {
                ASSERT_EQ(base.remove(1), MbResult::Ok);
                ASSERT_EQ(base.set_attrs(2, MbAttr::Sent, {}), MbResult::Ok);
            }
        }
    }
    run(b);
    EXPECT_EQ(differ(a, b), "");
    const std::string jhr = read_file(b + ".jhr");
    EXPECT_EQ(get_le32(reinterpret_cast<const uint8_t*>(jhr.data()) + JHI_MODCOUNTER), 5u);
    EXPECT_EQ(get_le32(reinterpret_cast<const uint8_t*>(jhr.data()) + JHI_ACTIVEMSGS), 2u);
}

TEST_F(JamBaseTest, LastReadRecordsAreTheEditors) {
    std::string a = dir.file("a");
    JamBase base;
    ASSERT_EQ(base.open(a.c_str()), MbResult::Ok);
    EXPECT_EQ(base.set_lastread("Ann Point", 3), MbResult::Missing);  // no base yet
    MbMessage m = neutral(CASES[0]);
    uint32_t n = 0;
    ASSERT_EQ(base.append(m, n), MbResult::Ok);
    ASSERT_EQ(base.set_lastread("Ann Point", 9), MbResult::Ok);
    ASSERT_EQ(base.set_lastread("Bob Boss", 2), MbResult::Ok);
    ASSERT_EQ(base.set_lastread("ANN POINT", 4), MbResult::Ok);  // the CRC folds case
    const std::string jlr = read_file(a + ".jlr");
    ASSERT_EQ(jlr.size(), 32u);
    auto u32 = [&](size_t off) {
        return get_le32(reinterpret_cast<const uint8_t*>(jlr.data()) + off);
    };
    EXPECT_EQ(u32(0), jam_crc("ann point"));
    EXPECT_EQ(u32(4), jam_crc("ann point"));
    EXPECT_EQ(u32(8), 4u);   // LastReadMsg
    EXPECT_EQ(u32(12), 9u);  // HighReadMsg keeps the highest
    EXPECT_EQ(u32(16), jam_crc("Bob Boss"));
    uint32_t mark = 0;
    ASSERT_EQ(base.lastread("Ann Point", mark), MbResult::Ok);
    EXPECT_EQ(mark, 4u);
}

TEST_F(JamBaseTest, DamagedAndBusyBasesAreToldApart) {
    std::string a = dir.file("a");
    write_file(a + ".jhr", std::string(500, 'x'));
    JamBase base;
    ASSERT_EQ(base.open(a.c_str()), MbResult::Ok);
    std::vector<uint32_t> nums;
    EXPECT_EQ(base.numbers(nums), MbResult::Damaged);
    EXPECT_EQ(base.lock(1), MbResult::Damaged);
    EXPECT_EQ(read_file(a + ".jhr"), std::string(500, 'x'));

    std::string b = dir.file("b");
    MbMessage m = neutral(CASES[0]);
    uint32_t n = 0;
    ASSERT_EQ(base.open(b.c_str()), MbResult::Ok);
    ASSERT_EQ(base.append(m, n), MbResult::Ok);
    UniqueFile other(pf_open((b + ".jhr").c_str(), PfAccess::ReadWrite, PfCreate::OpenExisting));
    JhrLock held(other.get(), 1);
    ASSERT_TRUE(held);
    EXPECT_EQ(base.lock(1), MbResult::Locked);
    EXPECT_FALSE(base.locked());
}

}  // namespace
