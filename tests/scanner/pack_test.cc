#include "scanner/pack.h"

#include <gtest/gtest.h>

#include <regex>
using namespace std::string_literals;
#include <string>

#include "app/catalog.h"
#include "core/bytes.h"
#include "core/log.h"
#include "scanner/export.h"
#include "scanner/pktwrite.h"
#include "scanner/scanner_util.h"
#include "support/test_support.h"

using wptest::add_local;
using wptest::LocalMsg;

namespace {

struct Packer {
    wptest::TempDir d;
    std::string base = d.file("area");
    std::string log;
    ScanState st;
    Packer() {
        lang_apply(LANG_EN);
        ftn_parse("21:3/210.7", st.own);
        ftn_parse("21:3/210", st.boss);
        st.system = "My Point";
        st.path_line = true;
        st.pktpwd = "PW";
        con_capture(&log);
    }
    ~Packer() { con_capture(nullptr); }
    // The packed messages after the packet header.
    std::string body(const Buf& b) const {
        return std::string(reinterpret_cast<const char*>(b.B_PTR) + PKT_HDR_SIZE,
                           b.B_LEN - PKT_HDR_SIZE);
    }
};

std::string msg_header(uint16_t onode, uint16_t dnode, uint16_t onet, uint16_t dnet,
                       uint16_t attr) {
    std::string h(14, '\0');
    auto* p = reinterpret_cast<uint8_t*>(&h[0]);
    put_le16(p, 2);
    put_le16(p + 2, onode);
    put_le16(p + 4, dnode);
    put_le16(p + 6, onet);
    put_le16(p + 8, dnet);
    put_le16(p + 10, attr);
    return h;
}

}  // namespace

TEST(Pack, EchomailExampleByteForByte) {
    Packer p;
    LocalMsg m;
    m.text = "Hello";
    m.msgid = "21:3/210.7 0badcafe";
    ASSERT_EQ(add_local(p.base, m), 0);
    scan_area(p.st, p.base.c_str(), "FSX_GEN", 1);
    ASSERT_EQ(p.st.n_echo, 1u) << p.log;
    std::string want = msg_header(210, 210, 3, 3, 0) + std::string("05 Dec 26  04:23:52\0", 20) +
                       std::string("All\0Jo Point\0Hello\0", 19) +
                       "AREA:FSX_GEN\r\x01MSGID: 21:3/210.7 0badcafe\rHello\r--- wrenpost 0.9\r"
                       " * Origin: My Point (21:3/210.7)\rSEEN-BY: 3/210\r\x01PATH: 3/210\r" +
                       std::string(1, '\0');
    EXPECT_EQ(p.body(p.st.pkt_echo), want);
    ASSERT_EQ(p.st.marks.size(), 1u);
    EXPECT_EQ(p.st.marks[0].MK_OFF, 1024u);
    EXPECT_EQ(p.st.marks[0].MK_KIND, 1);
    // The header is the boss's packet header with our password.
    const uint8_t* h = p.st.pkt_echo.B_PTR;
    EXPECT_EQ(get_le16(h + 50), 7);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(h + 26), 3), "PW\0"s);
}

TEST(Pack, NetmailExampleWithViaLine) {
    Packer p;
    LocalMsg m;
    m.to = "Boss Sysop";
    m.daddr = "21:3/210.2@fsxnet";
    m.attr = JA_LOCAL | JA_PRIVATE | JA_CRASH | JA_RECEIPT | JA_HOLD;
    m.text = "Hi\r";
    ASSERT_EQ(add_local(p.base, m), 0);
    scan_area(p.st, p.base.c_str(), nullptr, 0);
    ASSERT_EQ(p.st.n_net, 1u) << p.log;
    std::string body = p.body(p.st.pkt_net);
    std::string head = msg_header(210, 210, 3, 3, 0x1003) +
                       std::string("05 Dec 26  04:23:52\0", 20) +
                       std::string("Boss Sysop\0Jo Point\0Hello\0", 26) +
                       "\x01INTL 21:3/210 21:3/210\r\x01"
                       "FMPT 7\r\x01TOPT 2\rHi\r";
    ASSERT_EQ(body.substr(0, head.size()), head);
    std::string tail = body.substr(head.size());
    EXPECT_TRUE(std::regex_match(
        tail, std::regex("\x01Via 21:3/210\\.7 @20\\d{6}\\.\\d{6}\\.UTC wrenpost 0\\.9\r\\x00")))
        << tail;
}

TEST(Pack, OriginTearLineAndFieldRules) {
    struct Case {
        const char* name;
        std::string text;
        std::string system;
        std::string want_tail;  // from after the text lines to SEEN-BY
    } cases[] = {
        {"own origin", "Hi\r * Origin: mine (1:2/3)\r", "My Point", ""},
        {"own tear line", "Hi\r---\r", "My Point", " * Origin: My Point (21:3/210.7)\r"},
        {"four dashes are no tear line", "Hi\r----\r", "My Point",
         "--- wrenpost 0.9\r * Origin: My Point (21:3/210.7)\r"},
        {"dashes and a letter", "Hi\r---x\r", "My Point",
         "--- wrenpost 0.9\r * Origin: My Point (21:3/210.7)\r"},
        {"empty system name", "Hi\r", "", "--- wrenpost 0.9\r * Origin:  (21:3/210.7)\r"},
        // 65 - 10 = 55, limited to 50; the cut ends in blanks, which go.
        {"long system name", "Hi\r", std::string(45, 'S') + "     tail",
         "--- wrenpost 0.9\r * Origin: " + std::string(45, 'S') + " (21:3/210.7)\r"},
    };
    for (const auto& c : cases) {
        Packer p;
        p.st.system = c.system;
        p.st.path_line = false;
        LocalMsg m;
        m.text = c.text;
        ASSERT_EQ(add_local(p.base, m), 0);
        scan_area(p.st, p.base.c_str(), "A", 1);
        std::string body = p.body(p.st.pkt_echo);
        size_t start = body.find(c.text) + c.text.size();
        size_t end = body.find("SEEN-BY: 3/210\r");
        ASSERT_NE(end, std::string::npos) << c.name;
        EXPECT_EQ(body.substr(start, end - start), c.want_tail) << c.name;
        EXPECT_EQ(body.substr(end), std::string("SEEN-BY: 3/210\r\0", 16)) << c.name;  // no PATH
    }
}

TEST(Pack, EmptyTextNamesAndKludges) {
    Packer p;
    LocalMsg m;
    m.text = "";
    m.to = std::string(40, 'T');
    m.msgid = "a\rb\nc";
    m.kludge = "CHRS: CP437 2";
    ASSERT_EQ(add_local(p.base, m), 0);
    m.text = std::string("zero\0byte", 9);  // no CR at the end either
    ASSERT_EQ(add_local(p.base, m), 0);
    scan_area(p.st, p.base.c_str(), "A", 1);
    std::string body = p.body(p.st.pkt_echo);
    EXPECT_NE(body.find(std::string(35, 'T') + '\0' + "Jo Point"), std::string::npos);
    EXPECT_NE(body.find("AREA:A\r\x01MSGID: a b c\r\x01"
                        "CHRS: CP437 2\r--- wrenpost 0.9\r"),
              std::string::npos);
}

TEST(Pack, SkipsAndTheirReasons) {
    Packer p;
    LocalMsg nodest;
    ASSERT_EQ(add_local(p.base, nodest), 0);
    LocalMsg bad_oaddr;
    bad_oaddr.daddr = "21:3/210";
    bad_oaddr.oaddr = "garbage";
    ASSERT_EQ(add_local(p.base, bad_oaddr), 0);
    scan_area(p.st, p.base.c_str(), nullptr, 0);
    EXPECT_EQ(p.st.n_net, 1u);
    EXPECT_EQ(p.st.c.sc_err, 1u);
    EXPECT_NE(p.log.find("ERROR: netmail without valid destination address (DADDRESS), skipped: " +
                         p.base),
              std::string::npos);
    EXPECT_NE(p.body(p.st.pkt_net)
                  .find("\x01INTL 21:3/210 21:3/210\r\x01"
                        "FMPT 7\r"),
              std::string::npos);

    // A text beyond the end of the .jdt.
    Packer q;
    LocalMsg m;
    m.text = "some text\r";
    ASSERT_EQ(add_local(q.base, m), 0);
    pf_file jdt = pf_open((q.base + ".jdt").c_str(), PfAccess::ReadWrite, PfCreate::OpenExisting);
    pf_set_end(jdt);  // position 0: cut to nothing
    pf_close(jdt);
    scan_area(q.st, q.base.c_str(), "A", 1);
    EXPECT_EQ(q.st.n_echo, 0u);
    EXPECT_NE(q.log.find("ERROR: text outside the .jdt, message skipped: " + q.base),
              std::string::npos);
    EXPECT_TRUE(q.st.marks.empty());
}

TEST(Pack, HasOrigin) {
    struct Case {
        std::string text;
        int want;
    } cases[] = {
        {"", 0},
        {"---", 2},
        {"--- x\r", 2},
        {"a\r---\r", 2},
        {"----\r", 0},
        {"---a", 0},
        {" * Origin: x", 1},
        {" * origin: x", 0},
        {"x * Origin: y", 0},
        {"a\r * Origin: b\r--- \r", 3},
    };
    for (const auto& c : cases)
        EXPECT_EQ(has_origin(reinterpret_cast<const uint8_t*>(c.text.data()), c.text.size()),
                  c.want)
            << c.text;
}
