// What the export's writers produce, the toss's readers read back: a packet
// from the packing code through the packet reader, a stored ZIP through the
// bundle reader.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/catalog.h"
#include "core/log.h"
#include "scanner/export.h"
#include "scanner/pack.h"
#include "scanner/pktwrite.h"
#include "scanner/scanner_util.h"
#include "support/test_support.h"
#include "tosser/packet.h"
#include "tosser/unzip.h"

using wptest::add_local;
using wptest::LocalMsg;

namespace {

// One message as the reader gives it back.
struct Read {
    std::string to, from, subject, text, tag;
    std::string orig, dest;
    uint32_t attr, date;
    bool echo;
};

// The JAM attribute bits a packet carries (the reader adds the kind of base).
constexpr uint32_t CARRIED =
    JA_PRIVATE | JA_CRASH | JA_FILEATT | JA_HOLD | JA_FILEREQ | JA_RECEIPT | JA_CONFIRM;

int collect(void* ctx, const Packet& p, const ParsedMsg& m) {
    TossMsg t;
    pkt_convert(p.sum, m, 1, t);
    char o[FTN_TEXT_MAX], d[FTN_TEXT_MAX];
    ftn_fmt(o, t.orig);
    ftn_fmt(d, t.dest);
    static_cast<std::vector<Read>*>(ctx)->push_back(Read{m.to, m.from, m.subject,
                                                         std::string(m.text, m.textlen), t.tag, o,
                                                         d, t.attr, t.date, t.echo});
    return 0;
}

// The packet of a packer's buffer, ended as the outbound writer ends it, read
// back whole.
std::vector<Read> read_back(Buf& b, PktSummary& sum) {
    std::string img(reinterpret_cast<const char*>(b.B_PTR), b.B_LEN);
    img.append(2, '\0');
    Packet p;
    p.data = reinterpret_cast<const uint8_t*>(img.data());
    p.size = img.size();
    std::vector<Read> out;
    EXPECT_EQ(check_header(p), 0) << p.reason;
    EXPECT_EQ(scan_packet(p, 0), 0) << p.reason;
    EXPECT_EQ(scan_packet(p, 1, collect, &out), 0) << p.reason;
    sum = p.sum;
    return out;
}

std::string addr(const ftn_addr& a) {
    char b[FTN_TEXT_MAX];
    ftn_fmt(b, a);
    return b;
}

}  // namespace

TEST(RoundTrip, PackedMessagesReadBackThroughThePacketReader) {
    lang_apply(LANG_EN);
    std::string log;
    con_capture(&log);
    wptest::TempDir d;
    std::string echo = d.file("echo"), net = d.file("net");
    ScanState st;
    ftn_parse("21:3/210.7", st.own);
    ftn_parse("21:3/210", st.boss);
    st.system = "My Point";
    st.pktpwd = "PW";

    // Fields at their longest, and one past it (cut by the writer).
    LocalMsg e;
    e.to = std::string(35, 'T');
    e.from = std::string(36, 'F');
    e.subject = std::string(71, 'S');
    e.text = "Line one\rLine two\r";
    e.date = 951825599;  // 2000-02-29 11:59:59
    ASSERT_EQ(add_local(echo, e), 0);
    LocalMsg n;
    n.to = "Boss Sysop";
    n.daddr = "21:3/210.2";
    n.attr = JA_LOCAL | JA_PRIVATE | JA_CRASH | JA_RECEIPT;
    n.text = "Hi\r";
    ASSERT_EQ(add_local(net, n), 0);
    scan_area(st, echo.c_str(), "FSX_GEN", 1);
    scan_area(st, net.c_str(), nullptr, 0);
    ASSERT_EQ(st.n_echo, 1u) << log;
    ASSERT_EQ(st.n_net, 1u) << log;

    PktSummary sum;
    std::vector<Read> r = read_back(st.pkt_echo, sum);
    EXPECT_EQ(sum.type, PKT_TYPE_2PLUS);
    EXPECT_EQ(addr(sum.orig), "21:3/210.7");
    EXPECT_EQ(addr(sum.dest), "21:3/210");
    EXPECT_EQ(sum.count, 1u);
    ASSERT_EQ(r.size(), 1u);
    EXPECT_TRUE(r[0].echo);
    EXPECT_EQ(r[0].tag, "FSX_GEN");
    EXPECT_EQ(r[0].to, e.to);
    EXPECT_EQ(r[0].from, std::string(35, 'F'));
    EXPECT_EQ(r[0].subject, e.subject);
    EXPECT_EQ(r[0].date, e.date);
    EXPECT_EQ(r[0].attr & CARRIED, 0u);
    EXPECT_NE(r[0].text.find("\rLine one\rLine two\r"), std::string::npos) << r[0].text;

    r = read_back(st.pkt_net, sum);
    ASSERT_EQ(r.size(), 1u);
    EXPECT_FALSE(r[0].echo);
    EXPECT_EQ(r[0].to, "Boss Sysop");
    EXPECT_EQ(r[0].orig, "21:3/210.7");
    EXPECT_EQ(r[0].dest, "21:3/210.2");
    EXPECT_EQ(r[0].attr & CARRIED, JA_PRIVATE | JA_CRASH | JA_RECEIPT);
    EXPECT_EQ(r[0].date, n.date);
    con_capture(nullptr);
}

TEST(RoundTrip, StoredZipReadsBackThroughTheBundleReader) {
    lang_apply(LANG_EN);
    std::string log;
    con_capture(&log);
    struct Case {
        const char* name;
        std::string data;
    } cases[] = {
        {"0000000a.pkt", std::string("packet\0bytes\xff", 13)},
        {"12345678.PKT", std::string()},
        {"a.pkt", std::string(70000, 'x')},
    };
    for (const Case& c : cases) {
        wptest::TempDir d;
        std::vector<uint8_t> z(c.data.size() + ZIP_STORE_OVERHEAD + 2 * str_len(c.name));
        size_t n = zip_store(z.data(), c.name, reinterpret_cast<const uint8_t*>(c.data.data()),
                             c.data.size(), Civil{2026, 12, 31, 23, 59, 59});
        ASSERT_EQ(n, z.size()) << c.name;
        EXPECT_EQ(bundle_kind(z.data(), n), BK_ZIP);
        ZipResult res;
        ASSERT_EQ(zip_extract_mem(z.data(), n, d.path().c_str(), res), 0) << c.name << res.zx_err;
        EXPECT_EQ(res.zx_count, 1) << c.name;
        ASSERT_EQ(res.zx_names.size(), 1u);
        EXPECT_EQ(res.zx_names[0], c.name);
        EXPECT_EQ(wptest::read_file(d.file(c.name)), c.data) << c.name;
    }
    con_capture(nullptr);
}
