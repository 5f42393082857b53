// Writing messages: fields, quotes and the message that lands in the base,
// down to its bytes, and that the export run takes it.
#include "editor/compose.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "app/catalog.h"
#include "core/bytes.h"
#include "core/charset.h"
#include "jam/jam_format.h"
#include "scanner/scanner_util.h"
#include "support/test_support.h"

using wptest::add_local;
using wptest::LocalMsg;
using wptest::write_file;

namespace {

std::string ascii(const std::u16string& s) {
    return std::string(s.begin(), s.end());
}

// Subfields of a block as "id=value" strings, in order.
std::vector<std::string> subfields(const std::string& block) {
    std::vector<std::string> out;
    const auto* p = reinterpret_cast<const uint8_t*>(block.data());
    for (size_t i = 0; i + 8 <= block.size();) {
        uint32_t len = get_le32(p + i + 4);
        out.push_back(std::to_string(get_le16(p + i)) + "=" + block.substr(i + 8, len));
        i += 8 + len;
    }
    return out;
}

// Two networks: fsx (zone 21, netmail base) and fido (zone 2, no netmail
// base), one echo area each, and the bad area.
struct Point {
    wptest::TempDir d;
    std::unique_ptr<Config> cfg = std::make_unique<Config>();
    std::unique_ptr<EdBase> eb = std::make_unique<EdBase>();
    EdNets nets;
    std::string cfg_path = d.file("wrenpost.cfg");
    explicit Point(const std::string& fido_extra = "") {
        lang_apply(LANG_EN);
        std::string m = d.path();
        write_file(cfg_path, "sysop=Jo Point\nbadarea=" + m + "/bad\ninbound=" + m +
                                 "/in\noutbound=" + m +
                                 "/out\n"
                                 "[fsx]\naddress=21:3/210.7@fsxnet\nboss_address=21:3/210\n"
                                 "boss_host=127.0.0.1\nsystem=Jo's Point\nnetmail=" +
                                 m + "/fsxnet\nechoarea=FSX_GEN " + m +
                                 "/fsxgen\n"
                                 "[fido]\naddress=2:240/5832.7\nboss_address=2:240/5832\n"
                                 "boss_host=127.0.0.1\n" +
                                 fido_extra + "echoarea=FIDO.TEST " + m + "/fidotest\n");
        EXPECT_EQ(load_config(*cfg, cfg_path.c_str()), 0);
        eb->cfg = cfg.get();
        build_tables(*cfg, *eb, nets);
    }
    int area(const char* tag) {
        for (int a = 0; a < eb->ed_nareas; ++a)
            if (std::string(eb->ed_areas[a].AR_TAG) == tag) return a;
        return -1;
    }
};

}  // namespace

TEST(Compose, ReplySubjects) {
    struct {
        std::u16string in, want;
    } rows[] = {
        {u"Re: hello", u"Re: hello"},
        {u"hello", u"Re: hello"},
        {u"RE:x", u"RE:x"},
        {u"re:", u"re:"},
        {u"Re hello", u"Re: Re hello"},
        {std::u16string(80, u'x'), u"Re: " + std::u16string(67, u'x')},
    };
    for (auto& r : rows) EXPECT_EQ(reply_subject(r.in), r.want) << ascii(r.in);
}

TEST(Compose, DestinationAddresses) {
    struct {
        const char* text;
        int ok;
        uint32_t zone, net, node, point;
    } rows[] = {
        {"21:1/100", 1, 21, 1, 100, 0},
        {"2:5020/1042.5", 1, 2, 5020, 1042, 5},
        {"1:/5", 1, 1, 0, 5, 0},  // an empty net is 0
        {"1:2/3@fidonet", 1, 1, 2, 3, 0},
        {"1:2/3 x", 1, 1, 2, 3, 0},
        {"99999:99999/99999", 1, 99999, 99999, 99999, 0},  // no range check
        {"0:1/2", 0, 0, 0, 0, 0},
        {"1:2/x", 0, 0, 0, 0, 0},
        {"1:2/3x", 0, 0, 0, 0, 0},
        {"1:2/3.", 0, 0, 0, 0, 0},
        {" 1:2/3", 0, 0, 0, 0, 0},
        {"1:2", 0, 0, 0, 0, 0},
        {"4294967296:1/1", 0, 0, 0, 0, 0},  // does not fit at all
        {"", 0, 0, 0, 0, 0},
    };
    for (auto& r : rows) {
        ftn_addr a;
        EXPECT_EQ(parse_ftn(r.text, a), r.ok) << r.text;
        if (r.ok) {
            EXPECT_EQ(a.zone, r.zone) << r.text;
            EXPECT_EQ(a.net, r.net) << r.text;
            EXPECT_EQ(a.node, r.node) << r.text;
            EXPECT_EQ(a.point, r.point) << r.text;
        }
    }
}

TEST(Compose, NetworkByZone) {
    EdNets nets;
    nets.ed_net_count = 3;
    nets.ed_nets[0].NT_ZONE = 21;
    nets.ed_nets[0].NT_NMAREA = 0;
    nets.ed_nets[1].NT_ZONE = 2;  // no netmail area
    nets.ed_nets[2].NT_ZONE = 1;
    nets.ed_nets[2].NT_NMAREA = 4;
    struct {
        uint32_t zone;
        int want;
    } rows[] = {{21, 0}, {1, 2}, {2, 2}, {6, 2}, {7, -1}, {0, -1}};
    for (auto& r : rows) EXPECT_EQ(net_for_zone(nets, r.zone), r.want) << r.zone;
    nets.ed_nets[2].NT_NMAREA = AR_NONET;
    EXPECT_EQ(net_for_zone(nets, 2), -1);
}

TEST(Compose, QuoteOfAReply) {
    lang_apply(LANG_EN);
    std::string text =
        "\x01MSGID: 2:240/1 1234\r"
        "First line\r\n"
        "JS> already quoted\r"
        "  MG> indented quote\r"
        "a<b>c\r"
        "\r"
        "\x1b[1;31mred\x1b[0m and \tplain \x84\r"
        "---\r"
        "--- tear 1.0\r"
        "---not a tear\r"
        "SEEN-BY: 1/2 3\r"
        " * Origin: somewhere (2:240/1)\r"
        "unix line\nlast";
    std::u16string q = build_quote(u"John Smith", text.data(), uint32_t(text.size()), CS_CP437);
    EXPECT_EQ(q,
              u"Hello John,\r\n\r\n"
              u" JS> First line\r\n"
              u" JS>> already quoted\r\n"
              u" MG>> indented quote\r\n"
              u" JS> a<b>c\r\n"
              u"\r\n"
              u" JS> red and \tplain \u00e4\r\n"
              u" JS> ---not a tear\r\n"
              u" JS> unix line\r\n"
              u" JS> last\r\n"
              u"\r\n");
    // One word: one initial; the greeting alone when the text is unreadable.
    EXPECT_EQ(build_quote(u"Sysop", "x", 1, CS_CP437), u"Hello Sysop,\r\n\r\n S> x\r\n\r\n");
    EXPECT_EQ(build_quote(u"  Anna  Maria  Lee ", nullptr, 0, CS_CP437), u"Hello Anna,\r\n\r\n");
    EXPECT_EQ(build_quote(u"Anna Maria Lee", "x", 1, CS_CP437).substr(15), u" AL> x\r\n\r\n");
}

TEST(Compose, EchomailAndNetmailDownToTheirBytes) {
    Point pt;
    ComposeInput in;
    in.area = pt.area("FSX_GEN");
    in.to = u"  ";  // becomes All
    in.subject = u"  Gr\u00fc\u00dfe  ";
    in.body = u"Hello\r\nWorld  \nbye \r\n\r\n  ";
    CpMessage m;
    ASSERT_EQ(cp_build(*pt.eb, pt.nets, in, 1796444632, 1796444632, -300, m), CP_SAVED);
    EXPECT_EQ(m.area, in.area);
    // Blanks and CRs go only at the end of the body.
    EXPECT_EQ(m.text,
              "Hello\rWorld  \rbye\r--- wrenpost 0.9\r * Origin: Jo's Point (21:3/210.7)\r");
    EXPECT_EQ(m.msgid, "21:3/210.7@fsxnet 6b1391d8");
    EXPECT_EQ(subfields(m.subf),
              (std::vector<std::string>{"0=21:3/210.7", "2=Jo Point", "3=All",
                                        "6=Gr\x81\xe1"
                                        "e",
                                        "4=21:3/210.7@fsxnet 6b1391d8", "7=wrenpost 0.9",
                                        "2004=-0500", "2000=CHRS: CP437 2"}));
    EXPECT_EQ(m.jm.jm_attr, 0x01000001u);
    EXPECT_EQ(m.jm.jm_date, 1796444632u);
    EXPECT_EQ(m.jm.jm_msgidcrc, jam_crc("21:3/210.7@fsxnet 6b1391d8"));
    EXPECT_EQ(m.jm.jm_replycrc, 0xFFFFFFFFu);
    EXPECT_EQ(m.jm.jm_usercrc, jam_crc("all"));

    // The serial handed in is the MSGID's, whatever the clock says; an
    // empty body gives only the tear and origin lines.
    in.body.clear();
    ASSERT_EQ(cp_build(*pt.eb, pt.nets, in, 1796444633, 1796444632, 60, m), CP_SAVED);
    EXPECT_EQ(m.msgid, "21:3/210.7@fsxnet 6b1391d9");
    EXPECT_EQ(m.text, "--- wrenpost 0.9\r * Origin: Jo's Point (21:3/210.7)\r");
    EXPECT_EQ(subfields(m.subf)[6], "2004=0100");

    // Netmail: through the zone's network, the address in its normal form.
    ComposeInput net;
    net.mode = CM_NETMAIL;
    net.to = u"Boss";
    net.subject = u"Hi";
    net.address = u" 21:3/210@fsxnet ";
    net.body = u"Hi";
    ASSERT_EQ(cp_build(*pt.eb, pt.nets, net, 1796444700, 1796444700, 0, m), CP_SAVED);
    EXPECT_EQ(m.area, pt.area("NETMAIL.fsx"));
    EXPECT_EQ(m.text, "Hi\r--- wrenpost 0.9\r");
    EXPECT_EQ(m.jm.jm_attr, 0x02000005u);
    auto sf = subfields(m.subf);
    EXPECT_EQ(sf[0], "0=21:3/210.7");
    EXPECT_EQ(sf[1], "1=21:3/210");

    // What is refused, and why.
    struct {
        int mode;
        std::u16string to, address;
        int area;
        int want;
    } refused[] = {
        {CM_NETMAIL, u" ", u"21:3/210", -1, CP_E_NOTO},
        {CM_NETMAIL, u"Boss", u"21:3", -1, CP_E_ADDR},
        {CM_NETMAIL, u"Boss", u"2:5020/1042", -1, CP_E_ZONE},  // fido has no netmail base
        {CM_NETMAIL, u"Boss", u"1:2/3", -1, CP_E_ZONE},
        {CM_ECHO, u"All", u"", pt.area("BAD"), CP_E_NOECHO},
        {CM_ECHO, u"All", u"", pt.area("NETMAIL.fsx"), CP_E_NOECHO},
    };
    for (auto& r : refused) {
        ComposeInput bad;
        bad.mode = r.mode;
        bad.to = r.to;
        bad.address = r.address;
        bad.area = r.area;
        EXPECT_EQ(cp_build(*pt.eb, pt.nets, bad, 1796444800, 1796444800, 0, m), r.want)
            << ascii(r.address) << " " << r.area;
    }
}

TEST(Compose, FidoZonesShareANetmailBaseAndOriginsAreCut) {
    Point pt("netmail=" + std::string("/nonexistent/fidonet") + "\nsystem=" + std::string(70, 'S') +
             "\n");
    ComposeInput net;
    net.mode = CM_NETMAIL;
    net.to = u"Sysop";
    net.address = u"1:234/5";  // zone 1: no network of its own, fido is in zone 2
    CpMessage m;
    ASSERT_EQ(cp_build(*pt.eb, pt.nets, net, 1796444632, 1796444632, 0, m), CP_SAVED);
    EXPECT_EQ(m.area, pt.area("NETMAIL.fido"));
    EXPECT_EQ(subfields(m.subf)[0], "0=2:240/5832.7");

    ComposeInput echo;
    echo.area = pt.area("FIDO.TEST");
    ASSERT_EQ(cp_build(*pt.eb, pt.nets, echo, 1796444632, 1796444632, 0, m), CP_SAVED);
    std::string origin = m.text.substr(m.text.find(" * Origin: "));
    EXPECT_EQ(origin, " * Origin: " + std::string(53, 'S') + " (2:240/5832.7)\r");
    EXPECT_EQ(origin.size() - 1, 79u);
}

TEST(Compose, ReplySavedIntoTheBaseAndExported) {
    Point pt;
    // The parent: a netmail from the boss, with MSGID and origin address.
    LocalMsg parent;
    parent.from = "Boss Man";
    parent.to = "Jo Point";
    parent.subject = "hello";
    parent.oaddr = "21:3/210";
    parent.daddr = "21:3/210.7";
    parent.msgid = "21:3/210 00c0ffee";
    parent.attr = JA_PRIVATE;
    parent.text = "Are you there?\r";
    int nm = pt.area("NETMAIL.fsx");
    ASSERT_EQ(add_local(pt.eb->ed_areas[nm].AR_PATH, parent), 0);
    ASSERT_EQ(ej_load_area(*pt.eb, nm), 0);

    ComposeInput in;
    cp_reply_fields(*pt.eb, 0, in);
    EXPECT_EQ(in.mode, CM_NETMAIL);
    EXPECT_EQ(in.to, u"Boss Man");
    EXPECT_EQ(in.subject, u"Re: hello");
    EXPECT_EQ(in.address, u"21:3/210");
    EXPECT_EQ(in.orig_msgid, "21:3/210 00c0ffee");
    uint32_t len = 0;
    const char* text = ej_get_text(*pt.eb, 0, len);
    in.body = build_quote(in.to, text, len, CS_CP437) + u"Yes, I am.";

    JamLock lk;
    lock_set_cfg(lk, pt.cfg_path.c_str());
    uint32_t num = 0;
    int area = -1;
    ASSERT_EQ(cp_save(*pt.eb, pt.nets, lk, in, num, area), CP_SAVED);
    EXPECT_EQ(num, 2u);
    EXPECT_EQ(area, nm);
    EXPECT_EQ(pt.eb->ed_areas[nm].AR_TOTAL, 2u);
    EXPECT_FALSE(wptest::file_exists(lk.lock_path));  // released

    ASSERT_EQ(ej_load_area(*pt.eb, nm), 0);
    ASSERT_EQ(pt.eb->ej_count, 2u);
    const EdMsg& reply = pt.eb->ej_msgs[1];
    EXPECT_EQ(reply.MS_ATTR, JA_LOCAL | JA_PRIVATE | JA_NET);
    std::string hdr = wptest::read_file(std::string(pt.eb->ed_areas[nm].AR_PATH) + ".jhr");
    const auto* h = reinterpret_cast<const uint8_t*>(hdr.data()) + reply.MS_HOFF;
    EXPECT_EQ(get_le32(h + JMH_REPLYTO), 1u);
    EXPECT_EQ(get_le32(h + JMH_REPLYCRC), jam_crc("21:3/210 00c0ffee"));
    const uint8_t* rid = ej_find_sf(*pt.eb, 1, SF_REPLY, len);
    ASSERT_NE(rid, nullptr);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(rid), len), "21:3/210 00c0ffee");
    text = ej_get_text(*pt.eb, 1, len);
    EXPECT_EQ(std::string(text, len),
              "Hello Boss,\r\r BM> Are you there?\r\rYes, I am.\r--- wrenpost 0.9\r");

    // The export run takes it to the boss; the parent (not local) stays.
    auto r = wptest::run_wrenpost({"-lang", "en", "-c", pt.cfg_path, "scan", "fsx"}, pt.d.path());
    EXPECT_EQ(r.code, 0) << r.out;
    EXPECT_TRUE(wptest::has_log_line(r.out, "  Area NETMAIL: exported 1")) << r.out;

    // While another process holds the JAM lock, nothing is written.
    {
        wptest::JamLockHolder other(pt.cfg_path);
        EXPECT_EQ(cp_save(*pt.eb, pt.nets, lk, in, num, area), CP_E_LOCKED);
    }
    ASSERT_EQ(ej_load_area(*pt.eb, nm), 0);
    EXPECT_EQ(pt.eb->ej_count, 2u);
}

// A Russian message in CP866: the list, the reply's fields and the quote read
// it, and the reply keeps CP866 while its text fits, else turns to UTF-8.
TEST(Compose, ReplyKeepsTheParentsCharacterSet) {
    Point pt;
    LocalMsg parent;
    parent.from = "\x84\xac\xa8\xe2\xe0\xa8\xa9";  // "Дмитрий" in CP866
    parent.subject = "\x8f\xe0\xa8\xa2\xa5\xe2";   // "Привет"
    parent.msgid = "2:5020/1042 00000001";
    parent.kludge = "CHRS: CP866 2";
    parent.text = "\x8f\xe0\xa8\xa2\xa5\xe2!\r";
    int echo = pt.area("FSX_GEN");
    ASSERT_EQ(add_local(pt.eb->ed_areas[echo].AR_PATH, parent), 0);
    ASSERT_EQ(ej_load_area(*pt.eb, echo), 0);
    EXPECT_EQ(std::u16string(ej_row(*pt.eb, 0).MS_FROM), u"Дмитрий");

    struct Case {
        std::u16string add;
        const char* kludge;
        std::string subject;
    } cases[] = {
        {u"Спасибо.", "CHRS: CP866 2", "Re: \x8f\xe0\xa8\xa2\xa5\xe2"},
        {u"Спасибо, 中文.", "CHRS: UTF-8 4",
         "Re: \xd0\x9f\xd1\x80\xd0\xb8\xd0\xb2\xd0\xb5\xd1\x82"},
    };
    for (const Case& c : cases) {
        ComposeInput in;
        cp_reply_fields(*pt.eb, 0, in);
        EXPECT_EQ(in.to, u"Дмитрий");
        EXPECT_EQ(in.subject, u"Re: Привет");
        EXPECT_EQ(in.orig_cs, CS_CP866);
        uint32_t len = 0;
        const char* text = ej_get_text(*pt.eb, 0, len);
        std::u16string quote = build_quote(in.to, text, len, ej_charset(*pt.eb, 0, text, len));
        EXPECT_NE(quote.find(u" Д> Привет!\r\n"), std::u16string::npos);
        in.body = quote + c.add;
        CpMessage msg;
        ASSERT_EQ(cp_build(*pt.eb, pt.nets, in, 1796444632, 1796444632, 60, msg), CP_SAVED);
        EXPECT_NE(msg.subf.find(c.kludge), std::string::npos) << c.kludge;
        EXPECT_NE(msg.subf.find(c.subject), std::string::npos);
        int cs = cs_from_kludge(c.kludge, std::strlen(c.kludge));
        std::u16string back = cs_decode(cs, msg.text.data(), msg.text.size());
        EXPECT_NE(back.find(c.add), std::u16string::npos);
        EXPECT_NE(back.find(u" Д> Привет!\r"), std::u16string::npos);
    }
}
