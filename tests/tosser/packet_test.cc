// The packet reader: header variants, the message walk and its reasons,
// dates, addresses, the password check and the conversion into a JAM append
// request, with packets from a small writer here, from a Python writer of the
// published layout and from a real FidoNet program (crashwrite).
#include "tosser/packet.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <string>
#include <utility>
#include <vector>

#include "app/catalog.h"
#include "core/bytes.h"
#include "core/log.h"
#include "jam/crc32.h"
#include "jam/jam.h"
#include "platform/platform.h"
#include "support/test_support.h"

using wptest::TempDir;

namespace {

// ---- A small packet writer -------------------------------------------------

struct Hdr {
    uint16_t orig_node = 1, dest_node = 5, orig_net = 240, dest_net = 240;
    uint16_t orig_zone = 2, dest_zone = 2;
    uint16_t w4 = 2026, w6 = 12, baud = 0, version = 2;
    uint16_t aux_net = 0, cap_copy = 0, cap = 0, zone2_o = 0, zone2_d = 0, pt_o = 0, pt_d = 0;
    std::string password;
};

std::string header(const Hdr& h) {
    std::string b(58, '\0');
    auto* p = reinterpret_cast<uint8_t*>(&b[0]);
    put_le16(p + 0, h.orig_node);
    put_le16(p + 2, h.dest_node);
    put_le16(p + 4, h.w4);
    put_le16(p + 6, h.w6);
    put_le16(p + 16, h.baud);
    put_le16(p + 18, h.version);
    put_le16(p + 20, h.orig_net);
    put_le16(p + 22, h.dest_net);
    for (size_t i = 0; i < h.password.size() && i < 8; ++i) b[26 + i] = h.password[i];
    put_le16(p + 34, h.orig_zone);
    put_le16(p + 36, h.dest_zone);
    put_le16(p + 38, h.aux_net);
    put_le16(p + 40, h.cap_copy);
    put_le16(p + 44, h.cap);
    put_le16(p + 46, h.zone2_o);
    put_le16(p + 48, h.zone2_d);
    put_le16(p + 50, h.pt_o);
    put_le16(p + 52, h.pt_d);
    return b;
}

struct Msg {
    uint16_t attr = 0;
    uint16_t orig_net = 240, orig_node = 1, dest_net = 240, dest_node = 5;
    std::string date = "05 Dec 26  04:23:00";
    std::string to = "All", from = "Sender", subject = "Subject";
    std::string text = "AREA:TEST\rHello\r";
};

std::string message(const Msg& m) {
    std::string b;
    append_le16(b, 2);
    append_le16(b, m.orig_node);
    append_le16(b, m.dest_node);
    append_le16(b, m.orig_net);
    append_le16(b, m.dest_net);
    append_le16(b, m.attr);
    append_le16(b, 0);
    b += m.date + '\0' + m.to + '\0' + m.from + '\0' + m.subject + '\0' + m.text + '\0';
    return b;
}

std::string zero_word() {
    return std::string(2, '\0');
}

Packet load(const std::string& bytes) {
    Packet p;
    p.data = reinterpret_cast<const uint8_t*>(bytes.data());
    p.size = bytes.size();
    return p;
}

std::string addr(const ftn_addr& a) {
    char b[FTN_TEXT_MAX];
    ftn_fmt(b, a);
    return b;
}

using Subfields = std::vector<std::pair<uint16_t, std::string>>;
Subfields decode(const std::string& block) {
    Subfields out;
    size_t pos = 0;
    while (block.size() - pos >= 8) {
        auto* p = reinterpret_cast<const uint8_t*>(block.data() + pos);
        uint16_t id = get_le16(p);
        uint32_t len = get_le32(p + 4);
        out.push_back({id, block.substr(pos + 8, len)});
        pos += 8 + len;
    }
    EXPECT_EQ(pos, block.size());
    return out;
}

uint32_t utc(int y, int mo, int d, int h, int mi, int s) {
    struct tm t {};
    t.tm_year = y - 1900;
    t.tm_mon = mo - 1;
    t.tm_mday = d;
    t.tm_hour = h;
    t.tm_min = mi;
    t.tm_sec = s;
    return static_cast<uint32_t>(timegm(&t));
}

class PacketTest : public ::testing::Test {
  protected:
    void SetUp() override {
        lang_apply(LANG_EN);
        con_capture(&log_);
    }
    void TearDown() override { con_capture(nullptr); }
    std::string log_;
};

// ---- Header -------------------------------------------------------------------

TEST_F(PacketTest, HeaderVariants) {
    struct Case {
        const char* name;
        Hdr h;
        int type;
        const char* orig;
        const char* dest;
    };
    std::vector<Case> cases;
    cases.push_back({"type 2", Hdr{}, PKT_TYPE_2, "2:240/1", "2:240/5"});
    {
        Hdr h;
        h.cap = 0x0001;
        h.cap_copy = 0x0100;
        h.pt_o = 7;
        h.pt_d = 9;
        h.zone2_o = 21;
        cases.push_back(
            {"2+ with points and zone override", h, PKT_TYPE_2PLUS, "21:240/1.7", "2:240/5.9"});
    }
    {
        Hdr h;
        h.cap = 0x0001;
        h.cap_copy = 0x0100;
        h.orig_net = 0xFFFF;
        h.aux_net = 210;
        h.pt_o = 5;
        cases.push_back({"2+ point with auxNet", h, PKT_TYPE_2PLUS, "2:210/1.5", "2:240/5"});
    }
    {
        Hdr h;
        h.cap = 0x0001;
        h.cap_copy = 0x0001;  // not the byte-swapped copy
        h.baud = 2;
        h.w4 = 3;
        h.w6 = 4;
        cases.push_back(
            {"copy not swapped, subversion 2: 2.2", h, PKT_TYPE_22, "2:240/1.3", "2:240/5.4"});
    }
    {
        Hdr h;
        h.cap = 0x0001;
        h.cap_copy = 0x0001;
        cases.push_back({"copy not swapped: 2", h, PKT_TYPE_2, "2:240/1", "2:240/5"});
    }
    {
        Hdr h;
        h.cap = 0x0002;
        h.cap_copy = 0x0200;  // valid copy, but bit 0 clear
        cases.push_back({"capability without bit 0", h, PKT_TYPE_2, "2:240/1", "2:240/5"});
    }
    for (const Case& c : cases) {
        std::string b = header(c.h) + zero_word();
        Packet p = load(b);
        ASSERT_EQ(check_header(p), 0) << c.name;
        EXPECT_EQ(p.sum.type, c.type) << c.name;
        EXPECT_EQ(addr(p.sum.orig), c.orig) << c.name;
        EXPECT_EQ(addr(p.sum.dest), c.dest) << c.name;
    }
    EXPECT_STREQ(pkt_type_name(PKT_TYPE_2PLUS), "2+");
    EXPECT_STREQ(pkt_type_name(PKT_TYPE_22), "2.2");
    EXPECT_STREQ(pkt_type_name(PKT_TYPE_2), "2");
}

TEST_F(PacketTest, HeaderRefusals) {
    std::string b = header(Hdr{}) + zero_word();
    Packet p = load(b.substr(0, 59));
    EXPECT_EQ(check_header(p), 1);
    EXPECT_STREQ(p.reason, "too short for packet header");
    Packet ok = load(b);  // 60 bytes: valid, no messages
    ASSERT_EQ(check_header(ok), 0);
    ASSERT_EQ(scan_packet(ok, 0), 0);
    EXPECT_EQ(ok.sum.count, 0u);
    Hdr h;
    h.version = 1;
    std::string v1 = header(h) + zero_word();
    Packet pv = load(v1);
    EXPECT_EQ(check_header(pv), 1);
    EXPECT_STREQ(pv.reason, "not packet version 2");
}

// ---- Message walk ---------------------------------------------------------------

TEST_F(PacketTest, WalkEndsAndReasons) {
    const std::string h = header(Hdr{});
    const std::string m = message(Msg{});
    Msg long_subj;
    long_subj.subject = std::string(72, 's');
    Msg max_subj;
    max_subj.subject = std::string(71, 's');
    Msg long_date;
    long_date.date = std::string(20, '1');
    Msg long_to;
    long_to.to = std::string(36, 't');
    Msg long_from;
    long_from.from = std::string(36, 'f');
    Msg max_from;
    max_from.from = std::string(35, 'f');
    std::string no_text_end = m.substr(0, m.size() - 1);
    struct Case {
        const char* name;
        std::string bytes;
        const char* reason;  // nullptr: valid
        uint32_t count;
    };
    const char* trunc = "truncated/broken (message incomplete)";
    std::vector<Case> cases = {
        {"two messages and the zero word", h + m + m + zero_word(), nullptr, 2},
        {"no zero word after the last text", h + m, nullptr, 1},
        {"a single zero byte at the end", h + m + std::string(1, '\0'), nullptr, 1},
        {"a single non-zero byte at the end", h + m + "\x02", trunc, 1},
        {"bytes after the zero word are ignored", h + m + zero_word() + "garbage", nullptr, 1},
        {"unknown message type", h + m + "\x03" + std::string(20, '\0'), "unknown message type", 1},
        {"message header cut", h + m.substr(0, 12), trunc, 0},
        {"subject of 72 bytes without zero", h + message(long_subj) + zero_word(), trunc, 0},
        {"subject of 71 bytes", h + message(max_subj) + zero_word(), nullptr, 1},
        {"date of 20 bytes without zero", h + message(long_date) + zero_word(), trunc, 0},
        {"to of 36 bytes without zero", h + message(long_to) + zero_word(), trunc, 0},
        {"from of 36 bytes without zero", h + message(long_from) + zero_word(), trunc, 0},
        {"from of 35 bytes", h + message(max_from) + zero_word(), nullptr, 1},
        {"text without its zero byte", h + m + no_text_end, trunc, 1},
        {"subject cut by the end", h + m.substr(0, 40), trunc, 0},
    };
    for (const Case& c : cases) {
        Packet p = load(c.bytes);
        ASSERT_EQ(check_header(p), 0) << c.name;
        int rc = scan_packet(p, 0);
        if (c.reason) {
            EXPECT_EQ(rc, 1) << c.name;
            EXPECT_STREQ(p.reason, c.reason) << c.name;
        } else {
            EXPECT_EQ(rc, 0) << c.name << ": " << p.reason;
        }
        EXPECT_EQ(p.sum.count, c.count) << c.name;
    }
}

TEST_F(PacketTest, ParseMsgFields) {
    Msg in;
    in.text = "AREA:X\rbody";
    std::string m = message(in);
    ParsedMsg pm;
    auto* b = reinterpret_cast<const uint8_t*>(m.data());
    const uint8_t* next = parse_msg(b, b + m.size(), pm);
    ASSERT_EQ(next, b + m.size());
    EXPECT_STREQ(pm.date, "05 Dec 26  04:23:00");
    EXPECT_STREQ(pm.to, "All");
    EXPECT_STREQ(pm.from, "Sender");
    EXPECT_STREQ(pm.subject, "Subject");
    EXPECT_EQ(std::string(pm.text, pm.textlen), "AREA:X\rbody");
    EXPECT_EQ(pm.hdr, b);
    EXPECT_EQ(parse_msg(b, b + 13, pm), nullptr);
}

int count_sink(void* ctx, const Packet&, const ParsedMsg&) {
    int* n = static_cast<int*>(ctx);
    return ++*n == 2 ? 1 : 0;  // the second message cannot be filed
}

TEST_F(PacketTest, FilingFailureStopsTheWalk) {
    std::string m = message(Msg{});
    std::string b = header(Hdr{}) + m + m + m + zero_word();
    Packet p = load(b);
    ASSERT_EQ(check_header(p), 0);
    ASSERT_EQ(scan_packet(p, 0), 0);
    EXPECT_EQ(p.sum.count, 3u);
    int calls = 0;
    EXPECT_EQ(scan_packet(p, 1, count_sink, &calls), 1);
    EXPECT_EQ(calls, 2);
    EXPECT_STREQ(p.reason, "error writing to JAM");
}

// ---- Dates and addresses -------------------------------------------------------

TEST(PacketDate, Forms) {
    struct {
        const char* text;
        uint32_t want;
    } cases[] = {
        {"05 Dec 26  04:23:00", utc(2026, 12, 5, 4, 23, 0)},
        {"Fri 05 Dec 26 04:23", utc(2026, 12, 5, 4, 23, 0)},
        {"01 Jan 79  00:00:00", utc(2079, 1, 1, 0, 0, 0)},
        {"01 Jan 80  00:00:00", utc(1980, 1, 1, 0, 0, 0)},
        {"29 Feb 00  12:00:00", utc(2000, 2, 29, 12, 0, 0)},
        {"31 Dec 2025 23:59:60", utc(2026, 1, 1, 0, 0, 0)},
        {"1 Mar 24 1:02:03", utc(2024, 3, 1, 1, 2, 3)},
        {"05 Dez 26  04:23:00", 0},  // German month: not understood
        {"05 dec 26  04:23:00", 0},  // case-sensitive
        {"", 0},
        {"Fri", 0},
        {"00 Dec 26  04:23:00", 0},
        {"32 Dec 26  04:23:00", 0},
        {"05 Dec 26  24:00:00", 0},
        {"05 Dec 26  04:60:00", 0},
        {"05 Dec 26  04:59:61", 0},
        {"05 Dec 26  04", 0},
        {"05 Dec 1969 04:00", 0},  // before 1970: no JAM date
        {"05 Dec 2200 04:00", 0},  // beyond u32
    };
    for (auto& c : cases) EXPECT_EQ(parse_date(c.text), c.want) << c.text;
}

TEST(PacketAddr, ParseAndFormat) {
    struct {
        const char* text;
        int ok;
        const char* formatted;
        const char* rest;
    } cases[] = {
        {"2:240/1", 1, "2:240/1", ""},
        {"2:240/1.5", 1, "2:240/1.5", ""},
        {"21:3/210.5@fsxnet", 1, "21:3/210.5", "@fsxnet"},
        {" 2: 240/ 1. 5 rest", 1, "2:240/1.5", " rest"},
        {"2:240/1.0", 1, "2:240/1", ""},
        {"2:240/1. x", 1, "2:240/1", ". x"},
        {"2:240", 0, "", ""},
        {"2/240:1", 0, "", ""},
        {":240/1", 0, "", ""},
        {"notanaddress", 0, "", ""},
        {"2:240/", 0, "", ""},
    };
    for (auto& c : cases) {
        ftn_addr a;
        const char* end = nullptr;
        ASSERT_EQ(parse_addr(c.text, a, &end), c.ok) << c.text;
        if (!c.ok) continue;
        EXPECT_EQ(addr(a), c.formatted) << c.text;
        EXPECT_STREQ(end, c.rest) << c.text;
    }
    char b[FTN_TEXT_MAX];
    EXPECT_EQ(ftn_fmt(b, ftn_addr{4294967295u, 4294967295u, 4294967295u, 4294967295u}), 43u);
}

// ---- Password -----------------------------------------------------------------

TEST_F(PacketTest, PasswordCheck) {
    struct Case {
        const char* name;
        std::string pkt_pw;
        uint16_t orig_point;
        const char* cfg_pw;
        int rc;
        int sender;
    };
    std::vector<Case> cases = {
        {"same password", "SECRET", 0, "SECRET", 0, 1},
        {"differs only in case", "secret", 0, "SeCrEt", 0, 1},
        {"wrong password", "SECRET", 0, "OTHER", 1, 1},
        {"packet password longer", "SECRETX", 0, "SECRET", 1, 1},
        {"configured password longer", "SECRET", 0, "SECRETX", 1, 1},
        {"first 8 of a 10-character password", "ABCDEFGH", 0, "abcdefghij", 0, 1},
        {"no configured password", "ANY", 0, "", 0, 1},
        {"empty packet password against a configured one", "", 0, "SECRET", 1, 1},
        {"sender is a point: no boss", "WRONG", 3, "SECRET", 0, -1},
    };
    for (const Case& c : cases) {
        Hdr h;
        h.password = c.pkt_pw;
        h.cap = 0x0001;
        h.cap_copy = 0x0100;
        h.pt_o = c.orig_point;
        std::string b = header(h) + zero_word();
        Packet p = load(b);
        ASSERT_EQ(check_header(p), 0);
        PktBoss bosses[3];
        bosses[0].boss = {2, 240, 2, 0};  // another node of the same net
        bosses[0].pktpwd = "NOTTHIS";
        bosses[1].boss = {2, 240, 1, 0};
        bosses[1].pktpwd = c.cfg_pw;
        bosses[2].boss = {2, 240, 1, 0};  // later duplicate: never chosen
        bosses[2].pktpwd = "";
        int sender = 99;
        log_.clear();
        EXPECT_EQ(check_password(p, bosses, 3, 0, &sender), c.rc) << c.name;
        EXPECT_EQ(sender, c.sender) << c.name;
        if (c.rc) {
            EXPECT_STREQ(p.reason, "wrong packet password") << c.name;
        }
        EXPECT_EQ(log_.find("Note: sender is not a configured boss (no password check)") !=
                      std::string::npos,
                  c.sender < 0)
            << c.name;
    }
}

// ---- Conversion -----------------------------------------------------------------

struct Converted {
    TossMsg t;
    Subfields sf;
};

Converted convert(const Msg& m, Hdr h = Hdr{}, uint32_t now = 1000000) {
    std::string b = header(h) + message(m) + zero_word();
    Packet p = load(b);
    EXPECT_EQ(check_header(p), 0);
    ParsedMsg pm;
    EXPECT_NE(parse_msg(p.data + 58, p.data + p.size, pm), nullptr);
    Converted c;
    pkt_convert(p.sum, pm, now, c.t);
    c.sf = decode(c.t.subf);
    return c;
}

TEST_F(PacketTest, EchomailKludgesAndSeenBy) {
    Msg m;
    m.to = "All";
    m.from = "Point User";
    m.subject = "Hello";
    m.attr = 0x0001 | 0x0004 | 0x0100;  // private, received, local: only private maps
    m.text =
        "AREA:  FIDO.TEST extra\r\x01MSGID: 21:3/210.5@fsxnet 12345678\r"
        "\x01REPLY:  2:240/1 abc \t\r\x01PID: wp\r\x01Via 2:240/1 @20261205\r"
        "\x01TZUTC: 0100\r\x01"
        "FLAGS DIR\r\x01"
        "CHRS: CP437 2\r\x01INTL 2:240/5 2:240/1\r"
        "\x01"
        "FMPT 3\rText line\r\n\x01PATH: 240/1\r\nSecond\r\r--- tear\r"
        " * Origin: x (21:3/210.5)\rSEEN-BY: 240/1 5\rSEEN-BY:  240/6  \r"
        "\x01MSGID: 21:3/210.5@fsxnet 99999999\rAREA:NOT.KEPT.AS.AREA";
    Converted c = convert(m);
    EXPECT_TRUE(c.t.echo);
    EXPECT_STREQ(c.t.tag, "FIDO.TEST");
    EXPECT_EQ(c.t.text,
              "Text line\r\nSecond\r\r--- tear\r * Origin: x (21:3/210.5)\rAREA:NOT.KEPT.AS.AREA");
    Subfields want = {
        {SF_OADDR, "21:3/210.5@fsxnet"},
        {SF_SENDER, "Point User"},
        {SF_RECEIVER, "All"},
        {SF_SUBJECT, "Hello"},
        {SF_MSGID, "21:3/210.5@fsxnet 12345678"},
        {SF_REPLY, "2:240/1 abc"},
        {SF_PID, "wp"},
        {SF_TRACE, "2:240/1 @20261205"},
        {SF_TZUTC, "0100"},
        {SF_FLAGS, "DIR"},
        {SF_KLUDGE, "CHRS: CP437 2"},
        {SF_KLUDGE, "INTL 2:240/5 2:240/1"},  // echomail keeps INTL as a kludge
        {SF_PATH, "240/1"},
        {SF_SEENBY, "240/1 5"},
        {SF_SEENBY, "240/6"},
        {SF_MSGID, "21:3/210.5@fsxnet 99999999"},
    };
    EXPECT_EQ(c.sf, want);
    EXPECT_EQ(c.t.attr, JA_ECHO | JA_PRIVATE);
    EXPECT_EQ(c.t.msgid, "21:3/210.5@fsxnet 99999999");  // the last one
    EXPECT_EQ(c.t.msgidcrc, jam_crc("21:3/210.5@fsxnet 99999999"));
    EXPECT_EQ(c.t.replycrc, jam_crc("2:240/1 abc"));
    EXPECT_EQ(c.t.usercrc, jam_crc("all"));
    EXPECT_EQ(c.t.date, utc(2026, 12, 5, 4, 23, 0));
    EXPECT_EQ(c.t.now, 1000000u);
}

TEST_F(PacketTest, EchomailOriginAddress) {
    struct Case {
        const char* text;
        const char* oaddr;
    } cases[] = {
        {"AREA:A\r\x01MSGID: 21:3/210.5@fsxnet 1a2b\r", "21:3/210.5@fsxnet"},
        {"AREA:A\r\x01MSGID: 2:240/1.0 1a2b\r", "2:240/1.0"},
        {"AREA:A\r\x01MSGID: <abc@example> 1a2b\r", "2:240/1"},
        {"AREA:A\r\x01MSGID: 1a2b\r", "2:240/1"},
        {"AREA:A\rno msgid\r", "2:240/1"},
    };
    for (auto& k : cases) {
        Msg m;
        m.text = k.text;
        Hdr h;
        h.cap = 0x0001;
        h.cap_copy = 0x0100;
        h.pt_o = 5;  // the packet's point never reaches the echomail origin
        Converted c = convert(m, h);
        ASSERT_FALSE(c.sf.empty());
        EXPECT_EQ(c.sf[0], (std::pair<uint16_t, std::string>{SF_OADDR, k.oaddr})) << k.text;
        for (auto& s : c.sf) EXPECT_NE(s.first, SF_DADDR) << k.text;
    }
}

TEST_F(PacketTest, NetmailAddresses) {
    struct Case {
        const char* name;
        const char* text;
        const char* oaddr;
        const char* daddr;
        const char* kludge;  // an SF_KLUDGE expected, or nullptr
    } cases[] = {
        {"INTL, FMPT 5, TOPT 0",
         "\x01INTL 2:240/1 1:5/7.9\r\x01"
         "FMPT 5\r\x01TOPT 0\rhi\r",
         "1:5/7.5", "2:240/1", nullptr},
        {"no INTL: packet zones", "\x01TOPT 2\rhi\r", "21:99/8", "3:77/6.2", nullptr},
        {"INTL that does not parse", "\x01INTL 2:240/1 garbage\rhi\r", "21:99/8", "3:77/6",
         "INTL 2:240/1 garbage"},
        {"AREA on a later line", "hi\rAREA:X\r", "21:99/8", "3:77/6", nullptr},
    };
    for (const Case& k : cases) {
        Msg m;
        m.text = k.text;
        m.orig_net = 99;
        m.orig_node = 8;
        m.dest_net = 77;
        m.dest_node = 6;
        m.attr = 0x0002 | 0x0010 | 0x0200 | 0x0800 | 0x1000 | 0x4000 | 0x8000 | 0x2000;
        Hdr h;
        h.orig_zone = 21;
        h.dest_zone = 3;
        Converted c = convert(m, h);
        EXPECT_FALSE(c.t.echo) << k.name;
        ASSERT_GE(c.sf.size(), 5u) << k.name;
        EXPECT_EQ(c.sf[0], (std::pair<uint16_t, std::string>{SF_OADDR, k.oaddr})) << k.name;
        EXPECT_EQ(c.sf[1], (std::pair<uint16_t, std::string>{SF_DADDR, k.daddr})) << k.name;
        EXPECT_EQ(c.sf[2].first, SF_SENDER);
        EXPECT_EQ(c.sf[3].first, SF_RECEIVER);
        EXPECT_EQ(c.sf[4].first, SF_SUBJECT);
        bool found = false;
        for (auto& s : c.sf)
            if (s.first == SF_KLUDGE) found = k.kludge && s.second == k.kludge;
        EXPECT_EQ(found, k.kludge != nullptr) << k.name;
        EXPECT_EQ(c.t.attr,
                  JA_NET | JA_CRASH | JA_FILEATT | JA_HOLD | JA_FILEREQ | JA_RECEIPT | JA_CONFIRM)
            << k.name;
        EXPECT_EQ(c.t.msgidcrc, JAM_NO_CRC);
        EXPECT_EQ(c.t.replycrc, JAM_NO_CRC);
    }
}

TEST_F(PacketTest, UnreadableDateTakesRunTime) {
    Msg m;
    m.date = "05 Dez 26  04:23:00";
    Converted c = convert(m, Hdr{}, 777777);
    EXPECT_EQ(c.t.date, 777777u);
    EXPECT_EQ(c.t.now, 777777u);
}

TEST_F(PacketTest, EmptyTextAndLoneLf) {
    Msg m;
    m.text = "";
    Converted c = convert(m);
    EXPECT_FALSE(c.t.echo);
    EXPECT_EQ(c.t.text, "");
    m.text = "\nAREA:X\rline";  // a LF at the very start is not after a CR
    c = convert(m);
    EXPECT_FALSE(c.t.echo);
    EXPECT_EQ(c.t.text, "\nAREA:X\rline");
}

// A converted message appended to a real base reads back as it went in.
TEST_F(PacketTest, ConvertedMessageAppendsToJam) {
    TempDir d;
    Msg m;
    m.text = "AREA:FIDO.TEST\r\x01MSGID: 2:240/1.5 1\rBody\r";
    Converted c = convert(m);
    jam_subf_add(c.t.subf, SF_KLUDGE, "AREA:FIDO.TEST");  // the toss run may add one
    JamMsg jm = c.t.jam();
    std::string base = d.file("area");
    ASSERT_EQ(jam_append(base.c_str(), jm), 0);
    EXPECT_EQ(jm.jm_msgnum, 1u);
    JamImage img;
    ASSERT_EQ(jam_load(base.c_str(), img), 0);
    JamHdrWalk w;
    jam_hdr_walk_start(w, img);
    JamHeader h;
    ASSERT_TRUE(jam_hdr_walk_next(w, h));
    EXPECT_EQ(h.Attribute, JA_ECHO);
    EXPECT_EQ(h.DateWritten, utc(2026, 12, 5, 4, 23, 0));
    EXPECT_EQ(h.DateReceived, 1000000u);
    EXPECT_EQ(h.MSGIDcrc, jam_crc("2:240/1.5 1"));
    EXPECT_EQ(h.REPLYcrc, JAM_NO_CRC);
    std::string sf(reinterpret_cast<const char*>(h.subf), h.subf_len);
    EXPECT_EQ(sf, c.t.subf);
    std::string text;
    ASSERT_EQ(jam_read_text(base.c_str(), h, text), 0);
    EXPECT_EQ(text, "Body\r");
}

// ---- Packets from outside writers ----------------------------------------------

std::string first_pkt(const std::string& dir) {
    std::vector<PfDirEntry> ents;
    pf_list_dir(dir.c_str(), ents);
    for (auto& e : ents)
        if (e.name.size() > 4 && e.name.substr(e.name.size() - 4) == ".pkt")
            return dir + "/" + e.name;
    return "";
}

struct Walked {
    std::vector<Converted> msgs;
    std::vector<ParsedMsg> parsed;
};
int collect(void* ctx, const Packet& p, const ParsedMsg& m) {
    auto* w = static_cast<Walked*>(ctx);
    Converted c;
    pkt_convert(p.sum, m, 4242, c.t);
    c.sf = decode(c.t.subf);
    w->msgs.push_back(std::move(c));
    w->parsed.push_back(m);
    return 0;
}

TEST_F(PacketTest, CrashwriteNetmailAndEchomail) {
    if (!wptest::file_exists("/usr/bin/crashwrite")) GTEST_SKIP() << "crashwrite not installed";
    TempDir d;
    wptest::write_file(d.file("t.txt"), "Hello point\nSecond line\n");
    std::string net = d.file("net"), echo = d.file("echo");
    pf_mkdir(net.c_str());
    pf_mkdir(echo.c_str());
    std::string cmd = "crashwrite DIR " + net +
                      " FROMNAME 'Sysop Boss' FROMADDR 2:240/1 TONAME 'Point User' TOADDR "
                      "2:240/1.5 SUBJECT 'Test subj' TEXT " +
                      d.file("t.txt") + " PASSWORD Secret1 >/dev/null 2>&1";
    ASSERT_EQ(std::system(cmd.c_str()), 0);
    cmd = "crashwrite DIR " + echo +
          " FROMNAME 'Sysop Boss' FROMADDR 2:240/1 TONAME All TOADDR 2:240/5 SUBJECT Echo AREA "
          "FIDO.TEST ORIGIN 'my origin' TEXT " +
          d.file("t.txt") + " >/dev/null 2>&1";
    ASSERT_EQ(std::system(cmd.c_str()), 0);

    std::string nb = wptest::read_file(first_pkt(net));
    Packet p = load(nb);
    ASSERT_EQ(check_header(p), 0);
    EXPECT_EQ(p.sum.type, PKT_TYPE_2PLUS);
    EXPECT_EQ(addr(p.sum.orig), "2:240/1");
    EXPECT_EQ(addr(p.sum.dest), "2:240/1.5");
    ASSERT_EQ(scan_packet(p, 0), 0);
    EXPECT_EQ(p.sum.count, 1u);
    PktBoss boss;
    boss.boss = {2, 240, 1, 0};
    boss.pktpwd = "SECRET1";
    int sender;
    EXPECT_EQ(check_password(p, &boss, 1, 0, &sender), 0);
    EXPECT_EQ(sender, 0);
    boss.pktpwd = "Secret2";
    EXPECT_EQ(check_password(p, &boss, 1, 0, &sender), 1);
    Walked w;
    ASSERT_EQ(scan_packet(p, 1, collect, &w), 0);
    ASSERT_EQ(w.msgs.size(), 1u);
    const TossMsg& t = w.msgs[0].t;
    EXPECT_FALSE(t.echo);
    EXPECT_STREQ(w.parsed[0].from, "Sysop Boss");
    EXPECT_STREQ(w.parsed[0].to, "Point User");
    EXPECT_STREQ(w.parsed[0].subject, "Test subj");
    EXPECT_EQ(t.text, "Hello point\rSecond line\r");
    EXPECT_EQ(w.msgs[0].sf[0], (std::pair<uint16_t, std::string>{SF_OADDR, "2:240/1"}));
    EXPECT_EQ(w.msgs[0].sf[1], (std::pair<uint16_t, std::string>{SF_DADDR, "2:240/1.5"}));
    EXPECT_TRUE(t.has_msgid);
    EXPECT_EQ(t.msgid.rfind("2:240/1", 0), 0u);
    EXPECT_NE(t.date, 4242u);  // crashwrite's date is understood
    EXPECT_EQ(t.attr & JA_NET, JA_NET);

    std::string eb = wptest::read_file(first_pkt(echo));
    Packet pe = load(eb);
    ASSERT_EQ(check_header(pe), 0);
    Walked we;
    ASSERT_EQ(scan_packet(pe, 1, collect, &we), 0);
    ASSERT_EQ(we.msgs.size(), 1u);
    const TossMsg& e = we.msgs[0].t;
    EXPECT_TRUE(e.echo);
    EXPECT_STREQ(e.tag, "FIDO.TEST");
    EXPECT_EQ(e.text.rfind("Hello point\rSecond line\r", 0), 0u);
    EXPECT_NE(e.text.find(" * Origin: my origin (2:240/1"), std::string::npos);
    EXPECT_EQ(we.msgs[0].sf[0], (std::pair<uint16_t, std::string>{SF_OADDR, "2:240/1.0"}));
    EXPECT_EQ(e.attr & JA_ECHO, JA_ECHO);
}

TEST_F(PacketTest, PythonWriterPackets) {
    TempDir d;
    std::string cmd = std::string(WP_PYTHON) + " " + WP_SOURCE_DIR +
                      "/tests/tosser/fixtures/make_packets.py " + d.path();
    ASSERT_EQ(std::system(cmd.c_str()), 0);

    std::string eb = wptest::read_file(d.file("echo2plus.pkt"));
    Packet p = load(eb);
    ASSERT_EQ(check_header(p), 0);
    EXPECT_EQ(p.sum.type, PKT_TYPE_2PLUS);
    EXPECT_EQ(addr(p.sum.orig), "2:240/1.5");
    EXPECT_EQ(addr(p.sum.dest), "2:240/1");
    ASSERT_EQ(scan_packet(p, 0), 0);
    EXPECT_EQ(p.sum.count, 3u);
    Walked w;
    ASSERT_EQ(scan_packet(p, 1, collect, &w), 0);
    ASSERT_EQ(w.msgs.size(), 3u);
    const Converted& m1 = w.msgs[0];
    EXPECT_STREQ(m1.t.tag, "FIDO.TEST");
    EXPECT_EQ(m1.t.text, "Hello echo\r\r--- wp\r * Origin: point (2:240/1.5)\r");
    Subfields want1 = {
        {SF_OADDR, "2:240/1.5"}, {SF_SENDER, "Point User"},        {SF_RECEIVER, "All"},
        {SF_SUBJECT, "First"},   {SF_MSGID, "2:240/1.5 6a1b2c3d"}, {SF_PID, "wp 0.9"},
        {SF_TZUTC, "0100"},      {SF_KLUDGE, "CHRS: CP437 2"},     {SF_SEENBY, "240/1 5"},
        {SF_PATH, "240/1"}};
    EXPECT_EQ(m1.sf, want1);
    EXPECT_EQ(m1.t.date, utc(2026, 12, 5, 4, 23, 0));
    const Converted& m2 = w.msgs[1];
    EXPECT_STREQ(m2.t.tag, "FIDO.OTHER");
    EXPECT_EQ(m2.sf[0], (std::pair<uint16_t, std::string>{SF_OADDR, "2:240/1"}));
    EXPECT_EQ(m2.t.text, "Quoted\r\n> line\r");
    EXPECT_EQ(m2.t.attr, JA_ECHO | JA_PRIVATE);
    EXPECT_EQ(m2.t.date, utc(2026, 12, 5, 4, 23, 0));
    EXPECT_EQ(m2.t.replycrc, jam_crc("2:240/1 11"));
    const Converted& m3 = w.msgs[2];
    EXPECT_FALSE(m3.t.echo);  // AREA only counts on the first line
    EXPECT_EQ(m3.t.date, 4242u);
    EXPECT_EQ(m3.t.text, "no area line here\rAREA:NOT.ECHO\r");

    std::string nb = wptest::read_file(d.file("net22.pkt"));
    Packet pn = load(nb);
    ASSERT_EQ(check_header(pn), 0);
    EXPECT_EQ(pn.sum.type, PKT_TYPE_22);
    EXPECT_EQ(addr(pn.sum.orig), "21:3/210.7");
    EXPECT_EQ(addr(pn.sum.dest), "21:3/100.2");
    Walked wn;
    ASSERT_EQ(scan_packet(pn, 1, collect, &wn), 0);
    ASSERT_EQ(wn.msgs.size(), 1u);
    const Converted& n = wn.msgs[0];
    EXPECT_FALSE(n.t.echo);
    EXPECT_EQ(n.sf[0], (std::pair<uint16_t, std::string>{SF_OADDR, "21:3/210.7"}));
    EXPECT_EQ(n.sf[1], (std::pair<uint16_t, std::string>{SF_DADDR, "21:3/100.2"}));
    EXPECT_EQ(n.t.attr, JA_NET | JA_PRIVATE | JA_CRASH | JA_HOLD);
    EXPECT_EQ(n.t.date, utc(1980, 1, 31, 23, 59, 59));
    EXPECT_EQ(n.t.text, "+FSX_GEN\r");
}

}  // namespace
