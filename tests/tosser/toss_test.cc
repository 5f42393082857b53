// The toss run end to end: `wrenpost toss` on real inbound directories, the
// bases read back with the JAM walker.
#include "tosser/toss.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "app/catalog.h"
#include "app/cmdline.h"
#include "core/bytes.h"
#include "core/log.h"
#include "fmsg/fmsg.h"
#include "jam/dupe.h"
#include "jam/jam.h"
#include "platform/platform.h"
#include "support/test_support.h"

using wptest::file_exists;
using wptest::read_file;
using wptest::write_file;

namespace {

struct Addr {
    uint16_t zone, net, node, point;
};

struct Msg {
    std::string area;  // empty: netmail
    std::string from = "Jo Sender", to = "All", subj = "Hello";
    std::string msgid;  // empty: none
    std::string body = "Some text\r";
    std::string kludges;  // extra lines, each ending in CR
    std::string date = "05 Dec 26  04:23:00";
    std::string trail;  // lines after the origin line (SEEN-BY, PATH), each ending in CR
};

// A type-2+ packet of the published layout.
std::string make_pkt(Addr o, Addr d, const std::string& pw, const std::vector<Msg>& msgs) {
    std::string h(58, '\0');
    auto* p = reinterpret_cast<uint8_t*>(&h[0]);
    put_le16(p + 0, o.node);
    put_le16(p + 2, d.node);
    put_le16(p + 4, 2026);
    put_le16(p + 18, 2);
    put_le16(p + 20, o.net);
    put_le16(p + 22, d.net);
    for (size_t i = 0; i < pw.size() && i < 8; ++i) h[26 + i] = pw[i];
    put_le16(p + 34, o.zone);
    put_le16(p + 36, d.zone);
    put_le16(p + 40, 0x0100);
    put_le16(p + 44, 0x0001);
    put_le16(p + 46, o.zone);
    put_le16(p + 48, d.zone);
    put_le16(p + 50, o.point);
    put_le16(p + 52, d.point);
    std::string out = h;
    for (const Msg& m : msgs) {
        std::string mh(14, '\0');
        auto* q = reinterpret_cast<uint8_t*>(&mh[0]);
        put_le16(q, 2);
        put_le16(q + 2, o.node);
        put_le16(q + 4, d.node);
        put_le16(q + 6, o.net);
        put_le16(q + 8, d.net);
        out += mh;
        out += m.date + '\0' + m.to + '\0' + m.from + '\0' + m.subj + '\0';
        std::string text;
        if (!m.area.empty()) text += "AREA:" + m.area + "\r";
        if (!m.msgid.empty()) text += "\x01MSGID: " + m.msgid + "\r";
        text += m.kludges + m.body;
        if (!m.area.empty())
            text += "--- test\r * Origin: test (2:240/1)\r" +
                    (m.trail.empty() ? std::string("SEEN-BY: 240/1\r") : m.trail);
        out += text + '\0';
    }
    out += std::string(2, '\0');
    return out;
}

const Addr kBoss{2, 240, 1, 0};
const Addr kPoint{2, 240, 1, 5};

Msg echo(const std::string& area, const std::string& msgid, const std::string& subj = "Hello") {
    Msg m;
    m.area = area;
    m.msgid = msgid;
    m.subj = subj;
    return m;
}

// A point's directory tree with a configuration.
struct Point {
    wptest::TempDir d;
    std::string in = d.file("in"), msg = d.file("msg"), cfg = d.file("wrenpost.cfg");
    Point() {
        pf_mkdir(in.c_str());
        pf_mkdir(msg.c_str());
        pf_mkdir(d.file("out").c_str());
    }
    void config(const std::string& extra_global, const std::string& sections = "") {
        write_file(cfg,
                   "address=2:240/1.5\nboss_host=127.0.0.1\nboss_address=2:240/1\n"
                   "inbound=" +
                       in + "\noutbound=" + d.file("out") + "\nnetmail=" + msg +
                       "/netmail\nbadarea=" + msg + "/bad\ndupearea=" + msg +
                       "/dupes\ndupedb=" + d.file("wptoss.dup") +
                       "\nautocreate=no\n"
                       "pkt_password=PW\nechoarea=FIDO.TEST " +
                       msg + "/fidotest\n" + extra_global + sections);
    }
    wptest::RunResult toss() {
        return wptest::run_wrenpost({"-lang", "en", "-c", cfg, "toss"}, d.path());
    }
    void put(const std::string& name, const std::string& data) {
        write_file(in + "/" + name, data);
    }
    std::vector<std::string> inbound(const std::string& sub = "") {
        std::vector<PfDirEntry> l;
        pf_list_dir((in + sub).c_str(), l);
        std::vector<std::string> names;
        for (auto& e : l) names.push_back(e.name);
        std::sort(names.begin(), names.end());
        return names;
    }
};

struct Stored {
    std::string subject, from, to, area_kludge, text, msgid;
    uint32_t attr;
};

std::vector<Stored> read_base(const std::string& base) {
    std::vector<Stored> out;
    JamImage img;
    if (jam_load(base.c_str(), img) != 0) return out;
    JamHdrWalk w;
    jam_hdr_walk_start(w, img);
    JamHeader h;
    while (jam_hdr_walk_next(w, h)) {
        if (h.Attribute & JA_DELETED) continue;
        Stored s;
        s.attr = h.Attribute;
        jam_subf_find(h, SF_SUBJECT, s.subject);
        jam_subf_find(h, SF_SENDER, s.from);
        jam_subf_find(h, SF_RECEIVER, s.to);
        jam_subf_find(h, SF_MSGID, s.msgid);
        JamSubfWalk sw;
        JamSubfield sf;
        jam_subf_start(sw, h);
        while (jam_subf_next(sw, sf)) {
            std::string v(reinterpret_cast<const char*>(sf.data), sf.DatLen);
            if (sf.LoID == SF_KLUDGE && v.rfind("AREA:", 0) == 0) s.area_kludge = v;
        }
        jam_read_text(base.c_str(), h, s.text);
        out.push_back(s);
    }
    return out;
}

using wptest::has_log_line;
using wptest::log_texts;

std::string summary(const std::string& out) {
    return wptest::first_log_line(out, "Done. Packets ok: ");
}

void make_zip(const std::string& zip, const std::vector<std::pair<std::string, std::string>>& files,
              const std::string& dir) {
    std::string script =
        "import sys,zipfile\nz=zipfile.ZipFile(sys.argv[1],'w',zipfile.ZIP_DEFLATED)\n"
        "for n in sys.argv[2:]: z.write(n, n.split('/')[-1])\nz.close()\n";
    write_file(dir + "/mkzip.py", script);
    std::string cmd = std::string(WP_PYTHON) + " " + dir + "/mkzip.py " + zip;
    for (auto& f : files) {
        write_file(dir + "/" + f.first, f.second);
        cmd += " " + dir + "/" + f.first;
    }
    ASSERT_EQ(std::system(cmd.c_str()), 0);
}

}  // namespace

TEST(Toss, MixedInboundIsHandledFileByFile) {
    Point pt;
    pt.config("");
    pt.put("a.pkt", make_pkt(kBoss, kPoint, "PW", {echo("FIDO.TEST", "2:240/1 1")}));
    std::string scratch = pt.d.file("zipwork");
    pf_mkdir(scratch.c_str());
    make_zip(pt.in + "/b.su0",
             {{"x1.pkt", make_pkt(kBoss, kPoint, "pw", {echo("fido.test", "2:240/1 2")})}},
             scratch);
    pt.put("c.mo1", "");
    pt.put("d.we2", std::string("\x60\xea\x29\x00junk-of-an-arj", 18));
    pt.put("notes.txt", "hello");
    auto r = pt.toss();
    EXPECT_EQ(r.code, 0) << r.out;
    EXPECT_EQ(pt.inbound(), (std::vector<std::string>{"d.we2", "notes.txt", "tossed", "wptmp"}));
    EXPECT_EQ(pt.inbound("/tossed"), (std::vector<std::string>{"a.pkt", "b.su0", "c.mo1"}));
    EXPECT_TRUE(pt.inbound("/wptmp").empty());
    EXPECT_TRUE(
        has_log_line(r.out, "Bundle NOT unpacked (format not supported), left unchanged: d.we2"));
    EXPECT_TRUE(has_log_line(r.out, "  detected format: ARJ"));
    EXPECT_TRUE(has_log_line(
        r.out, "Bundle with 0 bytes (empty, common with BSO) - nothing to toss: c.mo1"));
    EXPECT_TRUE(has_log_line(r.out, "  FIDO.TEST | Jo Sender -> All | Hello"));
    EXPECT_EQ(summary(r.out),
              "Done. Packets ok: 2, bad: 0, messages: 2 (echo 2, netmail 0, bad 0, dupes 0, "
              "discarded 0), bundles unpacked: 1, broken: 0, unsupported: 1, empty: 1");
    auto base = read_base(pt.msg + "/fidotest");
    ASSERT_EQ(base.size(), 2u);
    std::vector<std::string> ids = {base[0].msgid, base[1].msgid};  // in listing order
    std::sort(ids.begin(), ids.end());
    EXPECT_EQ(ids, (std::vector<std::string>{"2:240/1 1", "2:240/1 2"}));
    EXPECT_NE(base[0].text.find("Some text\r"), std::string::npos);
    // The unsupported bundle is reported again, nothing else is touched.
    auto again = pt.toss();
    EXPECT_TRUE(has_log_line(again.out, "  detected format: ARJ"));
    EXPECT_EQ(read_base(pt.msg + "/fidotest").size(), 2u);
}

TEST(Toss, OtherFilesInTheInboundDoNotCrowdOutThePackets) {
    // Files of a file echo and ".bad" leftovers pile up in an inbound. Only
    // packets and bundles count against the names taken per run, so the
    // packets are tossed however many other files lie around them (half of
    // the files are made before the packets and half after, so neither the
    // order of creation nor its reverse lists the packets first).
    Point pt;
    pt.config("");
    const int other = 3 * MAX_NAMES;
    auto put_other = [&](int from, int to) {
        for (int i = from; i < to; ++i) {
            std::string n = "f" + std::to_string(i);
            if (i % 4 == 0)
                pt.put(n + ".pkt.bad", "x");
            else  // a .tic whose file has not come yet: it waits
                pt.put(n + ".tic", "Area F\r\nFile " + n + ".zip\r\nCrc 0\r\nFrom 2:240/1\r\n");
        }
    };
    put_other(0, other / 2);
    for (int i = 0; i < 8; ++i)
        pt.put("p" + std::to_string(i) + ".pkt",
               make_pkt(kBoss, kPoint, "PW", {echo("FIDO.TEST", "2:240/1 " + std::to_string(i))}));
    put_other(other / 2, other);
    auto r = pt.toss();
    EXPECT_EQ(r.code, 0) << summary(r.out);
    EXPECT_EQ(read_base(pt.msg + "/fidotest").size(), 8u);
    EXPECT_EQ(pt.inbound("/tossed").size(), 8u);
    EXPECT_EQ(pt.inbound().size(), static_cast<size_t>(other) + 1);  // and "tossed"
}

TEST(Toss, FilesSavedUnderDupNamesByTheMailerAreTossed) {
    // Two polls without a toss between them: the second packet and bundle of
    // the same names were saved by the mailer as name.dup1 ... name.dup9.
    Point pt;
    pt.config("");
    std::string scratch = pt.d.file("zipwork");
    pf_mkdir(scratch.c_str());
    pt.put("a.pkt", make_pkt(kBoss, kPoint, "PW", {echo("FIDO.TEST", "2:240/1 1")}));
    pt.put("a.pkt.dup1", make_pkt(kBoss, kPoint, "PW", {echo("FIDO.TEST", "2:240/1 2")}));
    make_zip(pt.in + "/b.su0",
             {{"x1.pkt", make_pkt(kBoss, kPoint, "PW", {echo("FIDO.TEST", "2:240/1 3")})}},
             scratch);
    make_zip(pt.in + "/b.SU0.DUP9",
             {{"x1.pkt", make_pkt(kBoss, kPoint, "PW", {echo("FIDO.TEST", "2:240/1 4")})}},
             scratch);
    for (const char* other : {"notes.txt.dup1", "a.pkt.dup0", "a.pkt.dup10", "a.pkt.bad.dup1"})
        pt.put(other, "x");
    auto r = pt.toss();
    EXPECT_EQ(r.code, 0) << r.out;
    EXPECT_EQ(read_base(pt.msg + "/fidotest").size(), 4u);
    EXPECT_EQ(pt.inbound("/tossed"),
              (std::vector<std::string>{"a.pkt", "a.pkt.dup1", "b.SU0.DUP9", "b.su0"}));
    EXPECT_EQ(pt.inbound(), (std::vector<std::string>{"a.pkt.bad.dup1", "a.pkt.dup0", "a.pkt.dup10",
                                                      "notes.txt.dup1", "tossed", "wptmp"}));
}

TEST(Toss, NameCollisionsInTossedGetNumbers) {
    Point pt;
    pt.config("");
    for (int i = 0; i < 3; ++i) {
        pt.put("a.pkt",
               make_pkt(kBoss, kPoint, "PW", {echo("FIDO.TEST", "2:240/1 " + std::to_string(i))}));
        auto r = pt.toss();
        EXPECT_EQ(r.code, 0) << r.out;
        std::string want = pt.in + "/tossed/a.pkt" + (i == 0 ? "" : "." + std::to_string(i));
        EXPECT_TRUE(has_log_line(r.out, "Packet saved to: " + want)) << r.out;
    }
    EXPECT_EQ(pt.inbound("/tossed"), (std::vector<std::string>{"a.pkt", "a.pkt.1", "a.pkt.2"}));
    EXPECT_EQ(read_base(pt.msg + "/fidotest").size(), 3u);
}

TEST(Toss, SharedInboundIsTossedOnce) {
    Point pt;
    pt.config("", "[boss fido]\n[boss fsx]\naddress=21:1/100.3\nboss_address=21:1/100\n");
    pt.put("a.pkt", make_pkt(kBoss, kPoint, "PW", {echo("FIDO.TEST", "")}));
    auto r = pt.toss();
    EXPECT_EQ(r.code, 0) << r.out;
    auto t = log_texts(r.out);
    EXPECT_EQ(std::count(t.begin(), t.end(), "Inbound: " + pt.in), 1);
    EXPECT_TRUE(has_log_line(r.out, "Networks: 2, echo areas: 1"));
}

TEST(Toss, InboundsDifferingInLetterCaseAreBothTossed) {
    Point pt;
    std::string upper = pt.d.file("In");
    pf_mkdir(upper.c_str());
    pt.config("", "[boss fido]\n[boss other]\ninbound=" + upper + "\n");
    pt.put("a.pkt", make_pkt(kBoss, kPoint, "PW", {echo("FIDO.TEST", "2:240/1 a")}));
    write_file(upper + "/b.pkt", make_pkt(kBoss, kPoint, "PW", {echo("FIDO.TEST", "2:240/1 b")}));
    auto r = pt.toss();
    EXPECT_EQ(r.code, 0) << r.out;
    EXPECT_TRUE(has_log_line(r.out, "Inbound: " + upper));
    EXPECT_EQ(read_base(pt.msg + "/fidotest").size(), 2u);
    EXPECT_TRUE(file_exists(upper + "/tossed/b.pkt"));
}

TEST(Toss, WrongPasswordSetsThePacketAsideBeforeFiling) {
    Point pt;
    pt.config("");
    std::string pkt = make_pkt(kBoss, kPoint, "WRONG", {echo("FIDO.TEST", "2:240/1 9")});
    pt.put("x.pkt", pkt);
    auto r = pt.toss();
    EXPECT_EQ(r.code, 5);
    EXPECT_TRUE(has_log_line(r.out, "ERROR: packet renamed to .bad: " + pt.in + "/x.pkt"));
    EXPECT_TRUE(has_log_line(r.out, "  Reason: wrong packet password"));
    EXPECT_TRUE(read_base(pt.msg + "/fidotest").empty());
    pt.put("x.pkt", pkt);
    pt.toss();
    EXPECT_EQ(pt.inbound(), (std::vector<std::string>{"x.pkt.bad", "x.pkt.bad.1"}));
    EXPECT_EQ(read_file(pt.in + "/x.pkt.bad.1"), pkt);
}

TEST(Toss, UnknownAreasGoToTheBadAreaOrAreCreated) {
    Point pt;
    pt.config("");
    pt.put("1.pkt", make_pkt(kBoss, kPoint, "PW", {echo("FSX_NEW", "21:1/1 1", "first")}));
    auto r = pt.toss();
    EXPECT_EQ(r.code, 0) << r.out;
    EXPECT_TRUE(has_log_line(r.out, "Unknown area -> bad area: FSX_NEW"));
    EXPECT_TRUE(has_log_line(r.out, "  FSX_NEW | Jo Sender -> All | first  [BAD]"));
    auto bad = read_base(pt.msg + "/bad");
    ASSERT_EQ(bad.size(), 1u);
    EXPECT_EQ(bad[0].area_kludge, "AREA:FSX_NEW");

    // Now allowed: the area is created, the earlier message taken over.
    std::string cfg_before = read_file(pt.cfg);
    write_file(pt.cfg, cfg_before + "autocreate = yes\nareadir=" + pt.msg + "/auto\n");
    pt.put("2.pkt", make_pkt(kBoss, kPoint, "PW", {echo("fsx_new", "21:1/1 2", "second")}));
    r = pt.toss();
    EXPECT_EQ(r.code, 0) << r.out;
    std::string base = pt.msg + "/auto/fsx_new";
    EXPECT_TRUE(has_log_line(r.out, "New area created automatically: fsx_new -> " + base));
    EXPECT_TRUE(has_log_line(r.out, "Taken over from the bad area: 1 message(s) -> fsx_new"));
    EXPECT_NE(read_file(pt.cfg).find("echoarea=fsx_new " + base + "\n"), std::string::npos);
    auto created = read_base(base);
    ASSERT_EQ(created.size(), 2u);
    EXPECT_EQ(created[0].subject, "first");
    EXPECT_EQ(created[0].area_kludge, "");  // the marker is not copied
    EXPECT_EQ(created[1].subject, "second");
    EXPECT_TRUE(read_base(pt.msg + "/bad").empty());  // deleted there
    JamImage bad_img;
    ASSERT_EQ(jam_load((pt.msg + "/bad").c_str(), bad_img), 0);
    EXPECT_EQ(bad_img.base.ActiveMsgs, 0u);
    EXPECT_EQ(bad_img.base.ModCounter, 2u);  // one append, one take-over

    // A sender that is no configured boss never creates areas, even with the
    // boss's password.
    pt.put("3.pkt", make_pkt(Addr{2, 240, 7, 0}, kPoint, "PW", {echo("OTHER.NEW", "")}));
    r = pt.toss();
    EXPECT_TRUE(has_log_line(
        r.out, "Note: packet origin is not the boss, accepted with the boss's packet password"));
    EXPECT_TRUE(has_log_line(r.out, "Unknown area -> bad area: OTHER.NEW"));
}

TEST(Toss, NetmailIsRoutedByZone) {
    Point pt;
    // Only the zone-2 boss has a netmail base; no global one.
    std::string msg = pt.msg;
    write_file(pt.cfg, "inbound=" + pt.in + "\nbadarea=" + msg +
                           "/bad\ndupemode=drop\ndupedb=" + pt.d.file("dupes.db") +
                           "\n[boss fido]\naddress=2:240/1.5\nboss_address=2:240/1\n"
                           "netmail=" +
                           msg +
                           "/net2\n[boss fsx]\naddress=21:1/100.3\n"
                           "boss_address=21:1/100\n");
    Msg to2, to21;
    to2.kludges = "\x01INTL 2:240/1 2:240/1\r";
    to21.kludges = "\x01INTL 21:1/100 21:1/100\r";
    to21.subj = "zone 21";
    pt.put("n.pkt", make_pkt(kBoss, kPoint, "", {to2, to21}));
    auto r = pt.toss();
    EXPECT_EQ(r.code, 0) << r.out;
    EXPECT_EQ(read_base(msg + "/net2").size(), 1u);
    auto bad = read_base(msg + "/bad");
    ASSERT_EQ(bad.size(), 1u);
    EXPECT_EQ(bad[0].subject, "zone 21");
    EXPECT_TRUE(has_log_line(r.out, "  NETMAIL | Jo Sender -> All | zone 21  [BAD]"));
}

TEST(Toss, DupesAreDiscardedOrFiledInTheDupeArea) {
    for (bool drop : {false, true}) {
        Point pt;
        pt.config(drop ? "dupemode=DROP\n" : "");
        std::vector<Msg> msgs = {echo("FIDO.TEST", "2:240/1 abc"), echo("FIDO.TEST", "2:240/1 ABC"),
                                 echo("FIDO.TEST", "  2:240/1 abc\t")};
        pt.put("a.pkt", make_pkt(kBoss, kPoint, "PW", msgs));
        auto r = pt.toss();
        EXPECT_EQ(r.code, 0) << r.out;
        EXPECT_EQ(read_base(pt.msg + "/fidotest").size(), 2u);  // the MSGID's case counts
        if (drop) {
            EXPECT_TRUE(has_log_line(r.out, "Dupe discarded (dupemode=drop), MSGID: 2:240/1 abc"));
            EXPECT_TRUE(read_base(pt.msg + "/dupes").empty());
            EXPECT_NE(summary(r.out).find("dupes 0, discarded 1"), std::string::npos);
        } else {
            auto d = read_base(pt.msg + "/dupes");
            ASSERT_EQ(d.size(), 1u);
            EXPECT_EQ(d[0].area_kludge, "AREA:FIDO.TEST");
            EXPECT_TRUE(has_log_line(r.out, "  FIDO.TEST | Jo Sender -> All | Hello  [DUPE]"));
        }
        // Remembered across runs.
        pt.put("b.pkt", make_pkt(kBoss, kPoint, "PW", {echo("FIDO.TEST", "2:240/1 ABC")}));
        pt.toss();
        EXPECT_EQ(read_base(pt.msg + "/fidotest").size(), 2u);
    }
}

TEST(Toss, BrokenThirdPacketOfABundle) {
    Point pt;
    pt.config("");
    std::string scratch = pt.d.file("zipwork");
    pf_mkdir(scratch.c_str());
    std::string broken = make_pkt(kBoss, kPoint, "PW", {echo("FIDO.TEST", "3")});
    broken.resize(broken.size() - 30);  // cut inside the message
    make_zip(pt.in + "/0000abcd.th1",
             {{"p1.pkt", make_pkt(kBoss, kPoint, "PW", {echo("FIDO.TEST", "1")})},
              {"p2.pkt", make_pkt(kBoss, kPoint, "PW", {echo("FIDO.TEST", "2")})},
              {"p3.pkt", broken}},
             scratch);
    auto r = pt.toss();
    EXPECT_EQ(r.code, 5) << r.out;
    EXPECT_EQ(read_base(pt.msg + "/fidotest").size(), 2u);
    EXPECT_EQ(pt.inbound(), (std::vector<std::string>{"p3.pkt.bad", "tossed", "wptmp"}));
    EXPECT_EQ(pt.inbound("/tossed"), std::vector<std::string>{"0000abcd.th1"});
    EXPECT_TRUE(pt.inbound("/wptmp").empty());
    EXPECT_TRUE(has_log_line(r.out, "  Reason: truncated/broken (message incomplete)"));
    EXPECT_EQ(read_file(pt.in + "/p3.pkt.bad"), broken);
}

TEST(Toss, BrokenBundleIsSetAsideWhole) {
    Point pt;
    pt.config("");
    std::string scratch = pt.d.file("zipwork");
    pf_mkdir(scratch.c_str());
    make_zip(pt.in + "/b.fr0",
             {{"p1.pkt", make_pkt(kBoss, kPoint, "PW", {echo("FIDO.TEST", "1")})}}, scratch);
    std::string zip = read_file(pt.in + "/b.fr0");
    zip[40] ^= 0x55;  // inside the compressed data
    write_file(pt.in + "/b.fr0", zip);
    auto r = pt.toss();
    EXPECT_EQ(r.code, 5);
    EXPECT_TRUE(has_log_line(
        r.out, "ERROR: bundle broken, renamed to .bad - nothing tossed: " + pt.in + "/b.fr0"));
    EXPECT_EQ(read_file(pt.in + "/b.fr0.bad"), zip);
    EXPECT_TRUE(read_base(pt.msg + "/fidotest").empty());
}

TEST(Toss, AreafixSubjectsAreMasked) {
    Point pt;
    pt.config("areafix_name=Allfix\n");
    Msg m;
    m.from = "AreaFix";
    m.to = "Point User";
    m.subj = "s3cret";
    Msg m2 = m;
    m2.from = "allfix";
    pt.put("a.pkt", make_pkt(kBoss, kPoint, "PW", {m, m2}));
    auto r = pt.toss();
    EXPECT_EQ(r.code, 0) << r.out;
    EXPECT_EQ(r.out.find("s3cret"), std::string::npos);
    EXPECT_TRUE(has_log_line(r.out, "  NETMAIL | AreaFix -> Point User | ********"));
    EXPECT_TRUE(has_log_line(r.out, "  NETMAIL | allfix -> Point User | ********"));
    EXPECT_EQ(read_base(pt.msg + "/netmail")[0].subject, "s3cret");
}

TEST(Toss, FailedFilingDoesNotTurnTheRestIntoDupes) {
    // The third message goes to an area whose directory is missing, so its
    // append fails and the packet is set aside. Tossed again once the fault
    // is gone, the third and fourth messages are filed normally; only the
    // two filed before are dupes.
    Point pt;
    pt.config("echoarea=FIDO.LATER " + pt.d.file("later") + "/base\n");
    std::vector<Msg> msgs = {echo("FIDO.TEST", "m 1"), echo("FIDO.TEST", "m 2"),
                             echo("FIDO.LATER", "m 3"), echo("FIDO.LATER", "m 4")};
    std::string pkt = make_pkt(kBoss, kPoint, "PW", msgs);
    pt.put("a.pkt", pkt);
    auto r = pt.toss();
    EXPECT_EQ(r.code, 5) << r.out;
    EXPECT_TRUE(has_log_line(r.out, "  Reason: error writing to JAM"));
    ASSERT_TRUE(file_exists(pt.in + "/a.pkt.bad"));
    pf_mkdir(pt.d.file("later").c_str());
    pf_rename((pt.in + "/a.pkt.bad").c_str(), (pt.in + "/a.pkt").c_str(), false);
    r = pt.toss();
    EXPECT_EQ(r.code, 0) << r.out;
    EXPECT_EQ(read_base(pt.d.file("later") + "/base").size(), 2u);
    EXPECT_EQ(read_base(pt.msg + "/fidotest").size(), 2u);
    EXPECT_EQ(read_base(pt.msg + "/dupes").size(), 2u);
}

TEST(Toss, SetupErrorsAndLock) {
    Point pt;
    write_file(pt.cfg, "inbound=" + pt.in + "\n");
    auto r = pt.toss();
    EXPECT_EQ(r.code, 1);
    EXPECT_TRUE(has_log_line(r.out, "ERROR: \"badarea\" must be set in the configuration"));
    write_file(pt.cfg, "inbound=" + pt.in + "\nbadarea=" + pt.msg + "/bad\n");
    r = pt.toss();
    EXPECT_EQ(r.code, 1);
    EXPECT_TRUE(has_log_line(r.out, "ERROR: \"dupearea\" missing (or set dupemode=drop)"));
    EXPECT_FALSE(file_exists(pt.d.file("wpjam.lck")));  // released after a failed setup

    // A held JAM lock: exit 6 after the wait (shortened from the program's
    // 10 s), nothing touched.
    pt.config("");
    pt.put("a.pkt", make_pkt(kBoss, kPoint, "PW", {echo("FIDO.TEST", "")}));
    PfLockFile lf;
    ASSERT_EQ(pf_lockfile_try(pt.d.file("wpjam.lck").c_str(), "test", lf), 0);
    auto t0 = std::chrono::steady_clock::now();
    r = wptest::run_wrenpost({"-lang", "en", "-c", pt.cfg, "--lock-wait", "300", "toss"},
                             pt.d.path());
    std::chrono::duration<double> waited = std::chrono::steady_clock::now() - t0;
    pf_lockfile_release(lf);
    EXPECT_EQ(r.code, 6);
    EXPECT_GE(waited.count(), 0.28);
    EXPECT_LT(waited.count(), 9.0);
    EXPECT_TRUE(has_log_line(
        r.out, "ERROR: JAM bases locked (editor writing?) - lock file: " + pt.d.file("wpjam.lck")));
    EXPECT_TRUE(file_exists(pt.in + "/a.pkt"));
}

TEST(Toss, Helpers) {
    struct B {
        const char* name;
        int want;
    } bundles[] = {{"x.su0", 1}, {"0000ABCD.MOZ", 1}, {"a.sa9", 1},   {".th1", 0}, {"x.xx0", 0},
                   {"x.su_", 0}, {"x.su0.bad", 0},    {"abc.FRa", 1}, {"su0", 0}};
    for (auto& b : bundles) EXPECT_EQ(is_bundle(b.name), b.want) << b.name;
    for (const char* n : {"no", "OFF", "0", "False"}) EXPECT_FALSE(yesno(n)) << n;
    for (const char* y : {"", "yes", "1", "nope"}) EXPECT_TRUE(yesno(y)) << y;
    struct D {
        const char *in, *want;
    } dirs[] = {{"C:\\fido\\net", "C:\\fido"},
                {"D:net", "D:"},
                {"net", ""},
                {"/a/b/c", "/a/b"},
                {"/x", ""}};
    for (auto& d : dirs) {
        char out[CFG_STR];
        dir_part(out, d.in);
        EXPECT_STREQ(out, d.want) << d.in;
    }
    wptest::TempDir t;
    std::string src = t.file("s"), dst = t.file("d");
    for (int i = 0; i < 3; ++i) {
        write_file(src, std::to_string(i));
        std::string used;
        ASSERT_EQ(move_unique(src.c_str(), dst.c_str(), &used), 1);
        EXPECT_EQ(used, i == 0 ? dst : dst + "." + std::to_string(i));
    }
    EXPECT_EQ(move_unique(t.file("missing").c_str(), dst.c_str()), 0);
}

// A configuration elsewhere with relative paths: run from another directory,
// the toss finds the inbound and writes the bases beside the configuration,
// and a new area's line keeps the relative form.
TEST(Toss, RelativePathsAreTakenFromTheConfigurationsDirectory) {
    wptest::TempDir d;
    std::string point = d.file("point");
    for (const char* sub : {"point", "point/in", "point/msg", "point/out"})
        pf_mkdir(d.file(sub).c_str());
    write_file(point + "/wrenpost.cfg",
               "address=2:240/1.5\nboss_host=127.0.0.1\nboss_address=2:240/1\n"
               "inbound=in\noutbound=./out\nnetmail=msg/netmail\nbadarea=msg/bad\n"
               "dupearea=msg/dupes\npkt_password=PW\nechoarea=FIDO.TEST msg/fidotest\n");
    write_file(point + "/in/1.pkt",
               make_pkt(kBoss, kPoint, "PW",
                        {echo("FIDO.TEST", "2:240/1 1", "known"), echo("FSX_NEW", "2:240/1 2")}));
    auto r = wptest::run_wrenpost({"-lang", "en", "-c", "point/wrenpost.cfg", "toss"}, d.path());
    EXPECT_EQ(r.code, 0) << r.out;
    EXPECT_TRUE(has_log_line(r.out, "Configuration loaded: point/wrenpost.cfg, 0 boss section(s)"));
    auto known = read_base(point + "/msg/fidotest");
    ASSERT_EQ(known.size(), 1u) << r.out;
    EXPECT_EQ(known[0].subject, "known");
    EXPECT_EQ(read_base(point + "/msg/fsx_new").size(), 1u);
    EXPECT_TRUE(
        has_log_line(r.out, "New area created automatically: FSX_NEW -> point/msg/fsx_new"));
    EXPECT_NE(read_file(point + "/wrenpost.cfg").find("echoarea=FSX_NEW msg/fsx_new\n"),
              std::string::npos);
    EXPECT_TRUE(file_exists(point + "/wptoss.dup"));  // the default dupe database too
    EXPECT_TRUE(file_exists(point + "/in/tossed/1.pkt"));
    for (const char* stray : {"msg", "in", "wptoss.dup"})
        EXPECT_FALSE(file_exists(d.file(stray))) << stray;
}

TEST(Toss, PacketsInABossInboundCarryItsPasswordWhateverOriginTheyClaim) {
    // A second boss with its own inbound and password: a packet in the first
    // boss's inbound that claims the second boss must still carry the first
    // boss's password.
    struct Case {
        const char* name;
        Addr orig;
        const char* pw;
        bool filed;
        const char* note;  // expected note line, or ""
    } cases[] = {
        {"boss, right password", kBoss, "pw", true, ""},
        {"boss, wrong password", kBoss, "XX", false, ""},
        {"other node, no password", Addr{2, 240, 7, 0}, "", false, ""},
        {"other node, wrong password", Addr{2, 240, 7, 0}, "XX", false, ""},
        {"a point, no password", Addr{2, 240, 1, 9}, "", false, ""},
        {"the other boss with its password", Addr{21, 1, 100, 0}, "FSX", false, ""},
        {"other node, the boss's password", Addr{2, 240, 7, 0}, "PW", true,
         "Note: packet origin is not the boss, accepted with the boss's packet password"},
    };
    for (const Case& c : cases) {
        Point pt;
        std::string fsx_in = pt.d.file("fsxin");
        pf_mkdir(fsx_in.c_str());
        pt.config("",
                  "[boss fido]\n[boss fsx]\naddress=21:1/100.3\nboss_address=21:1/100\n"
                  "pkt_password=FSX\ninbound=" +
                      fsx_in + "\n");
        pt.put("a.pkt", make_pkt(c.orig, kPoint, c.pw, {echo("FIDO.TEST", "2:240/1 1")}));
        auto r = pt.toss();
        EXPECT_EQ(r.code, c.filed ? 0 : 5) << c.name << "\n" << r.out;
        EXPECT_EQ(read_base(pt.msg + "/fidotest").size(), c.filed ? 1u : 0u) << c.name;
        EXPECT_EQ(file_exists(pt.in + "/a.pkt.bad"), !c.filed) << c.name;
        if (!c.filed) {
            EXPECT_TRUE(has_log_line(r.out, "  Reason: wrong packet password")) << c.name;
        }
        if (c.note[0] != '\0') {
            EXPECT_TRUE(has_log_line(r.out, c.note)) << c.name;
        }
    }
    // An inbound whose boss has no packet password stays unchecked.
    Point pt;
    write_file(pt.cfg, "address=2:240/1.5\nboss_address=2:240/1\ninbound=" + pt.in + "\nbadarea=" +
                           pt.msg + "/bad\ndupemode=drop\ndupedb=" + pt.d.file("wptoss.dup") +
                           "\nechoarea=FIDO.TEST " + pt.msg + "/fidotest\n");
    pt.put("a.pkt", make_pkt(Addr{2, 240, 7, 0}, kPoint, "", {echo("FIDO.TEST", "2:240/1 1")}));
    auto r = pt.toss();
    EXPECT_EQ(r.code, 0) << r.out;
    EXPECT_TRUE(has_log_line(r.out, "Note: sender is not a configured boss (no password check)"));
    EXPECT_EQ(read_base(pt.msg + "/fidotest").size(), 1u);
}

TEST(Toss, FilesNamedLikeTheTossDirectoriesAreMovedAside) {
    // A boss sent files called "tossed" and "wptmp": they are renamed aside,
    // kept, and the toss goes on; a second run files nothing again.
    Point pt;
    pt.config("");
    std::string scratch = pt.d.file("zipwork");
    pf_mkdir(scratch.c_str());
    pt.put("tossed", "not a directory");
    pt.put("wptmp", "me neither");
    pt.put("tossed.bad", "an older one");
    pt.put("a.pkt", make_pkt(kBoss, kPoint, "PW", {echo("FIDO.TEST", "2:240/1 1")}));
    make_zip(pt.in + "/b.su0",
             {{"x1.pkt", make_pkt(kBoss, kPoint, "PW", {echo("FIDO.TEST", "2:240/1 2")})}},
             scratch);
    for (int run = 0; run < 2; ++run) {
        auto r = pt.toss();
        EXPECT_EQ(r.code, 0) << r.out;
        EXPECT_EQ(read_base(pt.msg + "/fidotest").size(), 2u);
        EXPECT_TRUE(read_base(pt.msg + "/dupes").empty());
        if (run == 0) {
            EXPECT_TRUE(has_log_line(
                r.out, "Warning: entry in the way of a directory of the toss renamed: " + pt.in +
                           "/tossed.bad.1"));
            EXPECT_TRUE(has_log_line(
                r.out, "Warning: entry in the way of a directory of the toss renamed: " + pt.in +
                           "/wptmp.bad"));
        }
    }
    EXPECT_EQ(read_file(pt.in + "/tossed.bad.1"), "not a directory");
    EXPECT_EQ(read_file(pt.in + "/tossed.bad"), "an older one");
    EXPECT_EQ(read_file(pt.in + "/wptmp.bad"), "me neither");
    EXPECT_EQ(pt.inbound("/tossed"), (std::vector<std::string>{"a.pkt", "b.su0"}));
}

namespace {

// MSGID -> how often it is in the base (live messages).
std::map<std::string, int> msgid_counts(const std::string& base) {
    std::map<std::string, int> n;
    for (const auto& m : read_base(base)) ++n[m.msgid];
    return n;
}

std::vector<Msg> numbered(int count, const std::string& prefix) {
    std::vector<Msg> msgs;
    for (int i = 0; i < count; ++i) msgs.push_back(echo("FIDO.TEST", prefix + std::to_string(i)));
    return msgs;
}

}  // namespace

// SIGTERM to a running child: Linux only (Windows sends console events).
#ifndef _WIN32
TEST(Toss, StopRequestEndsTheTossCleanlyAndFilesNothingTwice) {
    Point pt;
    pt.config("");
    const int n = 20000;
    std::string pkt = make_pkt(kBoss, kPoint, "PW", numbered(n, "2:240/1 "));
    pt.put("a.pkt", pkt);
    PfChild child;
    ASSERT_EQ(pf_spawn({WP_BINARY, "-lang", "en", "-c", pt.cfg, "toss"}, child), 0);
    // SIGTERM once the first messages are filed.
    std::string jdx = pt.msg + "/fidotest.jdx";
    for (int i = 0; i < 2000 && pf_stat(jdx.c_str()).size < 800; ++i) pf_sleep_ms(5);
    kill(static_cast<pid_t>(child.pid), SIGTERM);
    std::string out;
    char buf[4096];
    for (int64_t got; (got = pf_read(child.out, buf, sizeof buf)) > 0;)
        out.append(buf, static_cast<size_t>(got));
    pf_close(child.out);
    int code = pf_wait_child(child);
    ASSERT_EQ(code, 7) << out.substr(out.size() > 2000 ? out.size() - 2000 : 0);
    EXPECT_TRUE(has_log_line(
        out, "Toss stopped, left in the inbound for the next run: " + pt.in + "/a.pkt"));
    EXPECT_TRUE(has_log_line(out, "Toss stopped on request (signal), everything filed is saved"));
    EXPECT_TRUE(has_log_line(out, "End, exit code 7"));
    EXPECT_FALSE(file_exists(pt.d.file("wpjam.lck")));
    EXPECT_EQ(read_file(pt.in + "/a.pkt"), pkt);
    size_t filed = read_base(pt.msg + "/fidotest").size();
    EXPECT_GT(filed, 0u);
    EXPECT_LT(filed, static_cast<size_t>(n));

    auto r = pt.toss();
    EXPECT_EQ(r.code, 0) << summary(r.out);
    auto counts = msgid_counts(pt.msg + "/fidotest");
    EXPECT_EQ(counts.size(), static_cast<size_t>(n));
    for (const auto& [id, times] : counts) EXPECT_EQ(times, 1) << id;
    // What the stopped run filed is passed over, not copied into the dupe area.
    EXPECT_TRUE(read_base(pt.msg + "/dupes").empty());
    EXPECT_TRUE(has_log_line(
        r.out, "Filed before an interruption already, passed over: " + std::to_string(filed)));
    EXPECT_EQ(read_file(pt.d.file("wptoss.dup.jnl")), "");
}

#endif

namespace {

Msg netmail(const std::string& body, const std::string& subj = "Hello") {
    Msg m;
    m.to = "Point Op";
    m.subj = subj;
    m.body = body;
    m.kludges = "\x01INTL 2:240/1 2:240/1\r\x01TOPT 5\r";
    return m;
}

// text -> how often it is among the live messages of a base.
std::map<std::string, int> text_counts(const std::string& base) {
    std::map<std::string, int> n;
    for (const auto& m : read_base(base)) ++n[m.text];
    return n;
}

}  // namespace

namespace {

// Tosses the point in this process with its fail_at-th write failing (0: none);
// the exit code, or -1 when the run cannot be set up.
int toss_failing_write(Point& pt, long fail_at) {
    Config c;
    if (load_config(c, pt.cfg.c_str()) != 0) return -1;
    auto r = std::make_unique<TossRun>();
    r->cfg = &c;
    if (toss_setup(*r) != 0) return -1;
    pf_fault_write_after(fail_at);
    unsigned code = toss_all(*r);
    pf_fault_write_after(0);
    return static_cast<int>(code);
}

}  // namespace

TEST(Toss, FailedWriteAtAnyStepLosesNothingAndFilesNothingTwice) {
    // Fails the N-th write of a toss (JAM files, dupe file, dupe journal) for
    // N = 1, 2, ... until a toss runs through. After each: the packets set
    // aside are tossed again (as a user does once the disk has room), then the
    // boss delivers everything once more. Every message must be in its area
    // exactly once.
    // Netmail without a MSGID is keyed by its contents and must come
    // through the same way.
    lang_apply(LANG_EN);
    std::vector<Msg> a = numbered(3, "a "), b = numbered(2, "b ");
    a.push_back(netmail("no MSGID a1\r"));
    a.push_back(netmail("no MSGID a2\r"));
    b.push_back(netmail("no MSGID b1\r"));
    std::string pkt_a = make_pkt(kBoss, kPoint, "PW", a);
    std::string pkt_b = make_pkt(kBoss, kPoint, "PW", b);
    std::string log;
    con_capture(&log);
    auto toss_here = toss_failing_write;
    bool ran_through = false;
    for (long n = 1; n < 400 && !ran_through; ++n) {
        Point pt;
        pt.config("");
        pt.put("a.pkt", pkt_a);
        pt.put("b.pkt", pkt_b);
        int code = toss_here(pt, n);
        bool error_logged = log.find("ERROR") != std::string::npos;
        // A toss that logged an error does not end as if all went well.
        EXPECT_TRUE(code != 0 || !error_logged) << "fault at write " << n << "\n" << log;
        ran_through = code == 0 && !error_logged;
        log.clear();
        for (const char* name : {"a.pkt", "b.pkt"})
            if (file_exists(pt.in + "/" + name + ".bad"))
                pf_rename((pt.in + "/" + name + ".bad").c_str(), (pt.in + "/" + name).c_str(),
                          false);
        EXPECT_EQ(toss_here(pt, 0), 0) << "fault at write " << n << "\n" << log;
        pt.put("a.pkt", pkt_a);
        pt.put("b.pkt", pkt_b);
        EXPECT_EQ(toss_here(pt, 0), 0) << "fault at write " << n << "\n" << log;
        auto counts = msgid_counts(pt.msg + "/fidotest");
        EXPECT_EQ(counts.size(), 5u) << "fault at write " << n;
        for (const auto& [id, times] : counts)
            EXPECT_EQ(times, 1) << "fault at write " << n << ": " << id;
        auto texts = text_counts(pt.msg + "/netmail");
        EXPECT_EQ(texts.size(), 3u) << "fault at write " << n;
        for (const auto& [text, times] : texts)
            EXPECT_EQ(times, 1) << "fault at write " << n << ": " << text;
        EXPECT_TRUE(pt.inbound().size() == 1 || pt.inbound().size() == 2) << n;  // tossed, wptmp
        log.clear();
    }
    con_capture(nullptr);
    EXPECT_TRUE(ran_through);
}

TEST(Toss, CreatedAreasSurviveAFailedWriteAtAnyStep) {
    // The same with areas created on the way: their configuration lines are
    // written once per packet, after their messages. A failure there stops
    // the run with the packet in place; the next run creates the areas again
    // on the same bases and passes over what was filed. Every message ends up
    // in its area once, and every area has one line.
    lang_apply(LANG_EN);
    const std::vector<std::string> tags = {"NEW.ONE", "NEW.TWO", "NEW.THREE"};
    std::string pkt_a = make_pkt(kBoss, kPoint, "PW",
                                 {echo("NEW.ONE", "a 1"), echo("NEW.TWO", "a 2"),
                                  echo("FIDO.TEST", "a 3"), echo("NEW.ONE", "a 4")});
    std::string pkt_b =
        make_pkt(kBoss, kPoint, "PW", {echo("NEW.TWO", "b 1"), echo("NEW.THREE", "b 2")});
    std::string log;
    con_capture(&log);
    auto toss_here = toss_failing_write;
    bool ran_through = false;
    bool cfg_failure_seen = false;
    for (long n = 1; n < 400 && !ran_through; ++n) {
        Point pt;
        pt.config("autocreate=yes\nareadir=" + pt.msg + "/auto\n");
        pt.put("a.pkt", pkt_a);
        pt.put("b.pkt", pkt_b);
        ran_through = toss_here(pt, n) == 0 && log.find("ERROR") == std::string::npos;
        cfg_failure_seen =
            cfg_failure_seen ||
            log.find("ERROR: cannot write the echoarea line to the config, packet left") !=
                std::string::npos;
        log.clear();
        for (const char* name : {"a.pkt", "b.pkt"})
            if (file_exists(pt.in + "/" + name + ".bad"))
                pf_rename((pt.in + "/" + name + ".bad").c_str(), (pt.in + "/" + name).c_str(),
                          false);
        EXPECT_EQ(toss_here(pt, 0), 0) << "fault at write " << n << "\n" << log;
        pt.put("a.pkt", pkt_a);
        pt.put("b.pkt", pkt_b);
        EXPECT_EQ(toss_here(pt, 0), 0) << "fault at write " << n << "\n" << log;
        std::map<std::string, int> want = {{"NEW.ONE", 2}, {"NEW.TWO", 2}, {"NEW.THREE", 1}};
        std::string cfg = read_file(pt.cfg);
        for (const auto& tag : tags) {
            std::string lc = tag;
            for (char& ch : lc) ch = static_cast<char>(std::tolower(ch));
            auto counts = msgid_counts(pt.msg + "/auto/" + lc);
            EXPECT_EQ(counts.size(), static_cast<size_t>(want[tag])) << tag << " at write " << n;
            for (const auto& [id, times] : counts)
                EXPECT_EQ(times, 1) << "fault at write " << n << ": " << id;
            size_t lines = 0;
            for (size_t at = cfg.find("echoarea=" + tag + " "); at != std::string::npos;
                 at = cfg.find("echoarea=" + tag + " ", at + 1))
                ++lines;
            EXPECT_EQ(lines, 1u) << tag << " at write " << n;
        }
        EXPECT_EQ(msgid_counts(pt.msg + "/fidotest").size(), 1u) << n;
        EXPECT_TRUE(read_base(pt.msg + "/bad").empty()) << n;
        log.clear();
    }
    con_capture(nullptr);
    EXPECT_TRUE(ran_through);
    EXPECT_TRUE(cfg_failure_seen);  // the configuration's write was among the failures
}

TEST(Toss, UnwritableDupeJournalLeavesThePacketInPlace) {
    // Without the journal a message could be filed twice after a crash: the
    // toss files nothing, keeps the packet where it is and ends with 5.
    Point pt;
    pt.config("");
    std::string pkt = make_pkt(kBoss, kPoint, "PW", {echo("FIDO.TEST", "2:240/1 1")});
    pt.put("a.pkt", pkt);
    std::string jnl = pt.d.file("wptoss.dup.jnl");
    pf_mkdir(jnl.c_str());  // a directory where the journal belongs
    auto r = pt.toss();
    EXPECT_EQ(r.code, 5) << r.out;
    EXPECT_TRUE(has_log_line(r.out, "ERROR: cannot write the dupe journal: " + jnl));
    EXPECT_TRUE(has_log_line(r.out, "Toss stopped, left in the inbound for the next run: " + pt.in +
                                        PF_DIR_SEP + "a.pkt"));
    EXPECT_EQ(read_file(pt.in + "/a.pkt"), pkt);
    EXPECT_TRUE(read_base(pt.msg + "/fidotest").empty());
    rmdir(jnl.c_str());
    r = pt.toss();
    EXPECT_EQ(r.code, 0) << r.out;
    EXPECT_EQ(read_base(pt.msg + "/fidotest").size(), 1u);
}

TEST(Toss, CreatedAreasNeverLandOnABaseInUse) {
    // With areadir the directory of the netmail, bad and dupe bases, areas
    // tagged like them, and two tags with one file name, each get a base of
    // their own: nothing is filed into the netmail base.
    Point pt;
    pt.config("autocreate=yes\n");
    pt.put("1.pkt", make_pkt(kBoss, kPoint, "PW",
                             {echo("NETMAIL", "21:1/1 1", "n"), echo("BAD", "21:1/1 2", "b"),
                              echo("DUPES", "21:1/1 3", "d"), echo("FOO+BAR", "21:1/1 4", "f1"),
                              echo("FOO_BAR", "21:1/1 5", "f2")}));
    auto r = pt.toss();
    EXPECT_EQ(r.code, 0) << r.out;
    std::string cfg = read_file(pt.cfg);
    struct Case {
        const char* tag;
        const char* file;
        const char* subject;
    };
    for (const Case& c : {Case{"NETMAIL", "netmail_2", "n"}, Case{"BAD", "bad_2", "b"},
                          Case{"DUPES", "dupes_2", "d"}, Case{"FOO+BAR", "foo_bar", "f1"},
                          Case{"FOO_BAR", "foo_bar_2", "f2"}}) {
        std::string base = pt.msg + PF_DIR_SEP + c.file;
        EXPECT_NE(cfg.find(std::string("echoarea=") + c.tag + " " + base + "\n"), std::string::npos)
            << c.tag << "\n"
            << cfg;
        auto got = read_base(base);
        ASSERT_EQ(got.size(), 1u) << c.tag;
        EXPECT_EQ(got[0].subject, c.subject);
    }
    EXPECT_TRUE(read_base(pt.msg + "/netmail").empty());
    EXPECT_TRUE(read_base(pt.msg + "/bad").empty());
    EXPECT_TRUE(
        has_log_line(r.out, "  base name already in use, the new area gets its own: NETMAIL -> " +
                                pt.msg + PF_DIR_SEP + "netmail_2"));
}

// Messages without a MSGID are keyed by their contents: the same packet
// delivered again (after a session the boss did not see end well) files
// nothing twice, whatever kind the message is; messages that differ in
// any byte of text, date, names or subject are all kept.
TEST(Toss, MessagesWithoutMsgidAreRecognisedWhenDeliveredAgain) {
    struct Case {
        const char* name;
        Msg m;
        const char* base;
    };
    Msg blank_id = netmail("Blank MSGID\r");
    blank_id.msgid = " ";
    Msg bad_date = netmail("Date nobody understands\r");
    bad_date.date = "someday soon";
    Msg echo_plain = echo("FIDO.TEST", "");
    echo_plain.body = "Echo without a MSGID\r";
    Msg unknown_area = echo("NO.SUCH.AREA", "");
    const std::vector<Case> cases = {
        {"netmail", netmail("Plain netmail\r"), "netmail"},
        {"netmail, blank MSGID", blank_id, "netmail"},
        {"netmail, date not understood", bad_date, "netmail"},
        {"echomail", echo_plain, "fidotest"},
        {"echomail for the bad area", unknown_area, "bad"},
    };
    for (bool drop : {false, true}) {
        for (const Case& c : cases) {
            SCOPED_TRACE(std::string(c.name) + (drop ? ", dupemode=drop" : ""));
            Point pt;
            pt.config(drop ? "dupemode=drop\n" : "");
            const std::string pkt = make_pkt(kBoss, kPoint, "PW", {c.m});
            pt.put("a.pkt", pkt);
            auto r = pt.toss();
            ASSERT_EQ(r.code, 0) << r.out;
            ASSERT_EQ(read_base(pt.msg + "/" + c.base).size(), 1u) << r.out;
            pt.put("a.pkt", pkt);  // the same packet again
            r = pt.toss();
            EXPECT_EQ(r.code, 0) << r.out;
            EXPECT_EQ(read_base(pt.msg + "/" + c.base).size(), 1u) << r.out;
            if (drop) {
                EXPECT_TRUE(has_log_line(r.out, "Dupe discarded (dupemode=drop), without MSGID: " +
                                                    c.m.from + " -> " + c.m.to))
                    << r.out;
                EXPECT_TRUE(read_base(pt.msg + "/dupes").empty());
            } else {
                EXPECT_EQ(read_base(pt.msg + "/dupes").size(), 1u) << r.out;
            }
        }
    }

    // Distinct messages are all kept, also when they differ in one byte only;
    // echomail that came another way (other SEEN-BY and PATH) is the same.
    Point pt;
    pt.config("");
    std::vector<Msg> distinct = {netmail("Report\r"), netmail("Report.\r"),
                                 netmail("Report\r", "Hello!")};
    distinct.push_back(netmail("Report\r"));
    distinct.back().date = "05 Dec 26  04:23:01";
    distinct.push_back(netmail("Report\r"));
    distinct.back().from = "Other Sender";
    Msg e1 = echo("FIDO.TEST", ""), e2 = echo("FIDO.TEST", "");
    e2.trail = "SEEN-BY: 240/1 2\r\x01PATH: 240/2\r";
    pt.put("a.pkt", make_pkt(kBoss, kPoint, "PW", distinct));
    pt.put("b.pkt", make_pkt(kBoss, kPoint, "PW", {e1}));
    auto r = pt.toss();
    ASSERT_EQ(r.code, 0) << r.out;
    EXPECT_EQ(read_base(pt.msg + "/netmail").size(), distinct.size()) << r.out;
    pt.put("c.pkt", make_pkt(kBoss, kPoint, "PW", {e2}));
    r = pt.toss();
    EXPECT_EQ(read_base(pt.msg + "/fidotest").size(), 1u) << r.out;
    EXPECT_EQ(read_base(pt.msg + "/dupes").size(), 1u) << r.out;
}

namespace {

// Every JAM base under dir (its .jhr path without the extension), relative.
void bases_under(const std::string& root, const std::string& rel, std::vector<std::string>& out) {
    std::vector<PfDirEntry> l;
    pf_list_dir((root + rel).c_str(), l);
    for (const auto& e : l) {
        std::string r = rel + "/" + e.name;
        if (e.is_dir)
            bases_under(root, r, out);
        else if (r.size() > 4 && r.compare(r.size() - 4, 4, ".jhr") == 0)
            out.push_back(r.substr(0, r.size() - 4));
    }
}

}  // namespace

// Area tags from a packet that would make a base outside the area directory,
// a hidden, device or cut name: tags naming folders or drives, holding
// control characters or cut to 63 bytes create no area (the message goes to
// the bad area with its tag, and the log says why); Windows device names and
// leading or trailing dots give a safe base name; ordinary tags keep theirs.
TEST(Toss, HostileAreaTagsCreateNoBaseOutsideTheAreaDirectory) {
    struct Case {
        std::string tag;
        std::string base;  // the base created under msg/, "" = refused
    };
    const std::string long_tag(70, 'L');
    const std::string max_tag(63, 'M');
    const std::vector<Case> cases = {
        {"..", ""},
        {".", ""},
        {"...", ""},
        {"../ESCAPE", ""},
        {"A/B", ""},
        {"..\\UP", ""},
        {"C:", ""},
        {"NET:AREA", ""},
        {"BELL\x7f", ""},
        {long_tag, ""},
        {"CON", "con_"},
        {"nul.echo", "nul_.echo"},
        {"Lpt9", "lpt9_"},
        {"AUX.", "aux_"},
        {"TRAIL.", "trail_"},
        {".HIDDEN", "_hidden"},
        {"COM10", "com10"},
        {"CONSOLE", "console"},
        {"FIDO.NEW-AREA_1", "fido.new-area_1"},
        {max_tag, std::string(60, 'm')},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE("tag " + c.tag);
        Point pt;
        pt.config("autocreate=yes\n");
        const std::string cfg_before = read_file(pt.cfg);
        Msg m = echo(c.tag, "");
        m.body = "For " + c.tag + "\r";
        pt.put("a.pkt", make_pkt(kBoss, kPoint, "PW", {m}));
        auto r = pt.toss();
        ASSERT_EQ(r.code, 0) << r.out;
        std::vector<std::string> bases;
        bases_under(pt.d.path(), "", bases);
        std::sort(bases.begin(), bases.end());
        if (c.base.empty()) {
            EXPECT_EQ(bases, std::vector<std::string>{"/msg/bad"}) << r.out;
            auto bad = read_base(pt.msg + "/bad");
            ASSERT_EQ(bad.size(), 1u);
            EXPECT_EQ(bad[0].area_kludge, "AREA:" + c.tag.substr(0, 63));
            EXPECT_EQ(read_file(pt.cfg), cfg_before);
            std::string shown = c.tag.substr(0, 63);
            for (char& ch : shown)
                if (static_cast<unsigned char>(ch) < 0x20 || ch == 0x7f) ch = '.';
            EXPECT_TRUE(has_log_line(r.out,
                                     "Area tag unfit to name a new area (folder, drive, "
                                     "control character or too long) -> bad area: " +
                                         shown))
                << r.out;
        } else {
            EXPECT_EQ(bases, std::vector<std::string>{"/msg/" + c.base}) << r.out;
            EXPECT_EQ(read_base(pt.msg + "/" + c.base).size(), 1u);
            EXPECT_NE(read_file(pt.cfg).find("echoarea=" + c.tag + " " + pt.msg + PF_DIR_SEP +
                                             c.base + "\n"),
                      std::string::npos)
                << read_file(pt.cfg);
        }
    }
}

namespace {

// The live messages of a *.MSG directory, read through its base.
std::vector<MbMessage> read_dir(const std::string& dir, bool netmail = false) {
    FmsgBase b(netmail);
    std::vector<MbMessage> out;
    std::vector<uint32_t> nums;
    if (b.open(dir.c_str()) != MbResult::Ok || b.numbers(nums) != MbResult::Ok) return out;
    for (uint32_t n : nums) {
        MbMessage m;
        if (b.read_header(n, m) != MbResult::Ok || b.read_text(n, m.text) != MbResult::Ok) continue;
        out.push_back(m);
    }
    return out;
}

std::vector<std::string> subjects(const std::vector<MbMessage>& ms) {
    std::vector<std::string> out;
    for (const auto& m : ms) out.push_back(m.subject);
    return out;
}

}  // namespace

// Every kind of base may be a *.MSG directory: echo areas named with msg:,
// areas created with areaformat = msg, the netmail, bad and dupe bases; a
// JAM area beside them stays JAM. Delivered again, every message is a dupe
// (with or without a MSGID), and a created area takes over its messages from
// a *.MSG bad area.
TEST(Toss, StoredMessageDirectoriesAreTossedInto) {
    Point pt;
    const std::string m = pt.msg;
    pt.config("netmail=msg:" + m + "/netmail\nbadarea=msg:" + m + "/bad\ndupearea=MSG:" + m +
              "/dupes\nareaformat=msg\nareadir=" + m + "/auto\nechoarea=MSG.AREA msg:" + m +
              "/msgarea\n");
    Msg net = echo("", "2:240/1 77", "to the point");
    net.to = "Jo Point";
    net.kludges = "\x01INTL 2:240/1 2:240/1\r\x01TOPT 5\r";
    Msg plain = echo("MSG.AREA", "", "no msgid");
    plain.body = "Contents only\r";
    const std::string pkt = make_pkt(
        kBoss, kPoint, "PW",
        {echo("MSG.AREA", "2:240/1 1", "first"), plain, net, echo("FIDO.TEST", "2:240/1 2", "jam"),
         echo("NEW.AREA", "2:240/1 3", "waits in bad")});
    pt.put("a.pkt", pkt);
    auto r = pt.toss();
    ASSERT_EQ(r.code, 0) << r.out;
    EXPECT_EQ(subjects(read_dir(m + "/msgarea")), (std::vector<std::string>{"first", "no msgid"}));
    EXPECT_TRUE(file_exists(m + "/msgarea/2.msg"));  // 1.msg is the high-water mark's
    auto netmail = read_dir(m + "/netmail", true);
    ASSERT_EQ(netmail.size(), 1u);
    EXPECT_EQ(netmail[0].to, "Jo Point");
    char a[FTN_TEXT_MAX];
    ftn_fmt(a, netmail[0].dest);
    EXPECT_STREQ(a, "2:240/1.5");
    ftn_fmt(a, netmail[0].orig);
    EXPECT_STREQ(a, "2:240/1");
    auto bad = read_dir(m + "/bad");
    ASSERT_EQ(bad.size(), 1u);
    ASSERT_NE(mb_kludge_find(bad[0], "AREA"), nullptr);
    EXPECT_EQ(*mb_kludge_find(bad[0], "AREA"), "NEW.AREA");
    EXPECT_EQ(read_base(m + "/fidotest").size(), 1u);  // JAM as before
    EXPECT_FALSE(file_exists(m + "/fidotest/2.msg"));

    // The same packet again: each message a dupe, filed in the dupe area.
    pt.put("a.pkt", pkt);
    r = pt.toss();
    ASSERT_EQ(r.code, 0) << r.out;
    EXPECT_EQ(read_dir(m + "/msgarea").size(), 2u);
    EXPECT_EQ(read_dir(m + "/netmail").size(), 1u);
    EXPECT_EQ(read_dir(m + "/dupes").size(), 5u) << r.out;
    EXPECT_EQ(read_base(m + "/fidotest").size(), 1u);

    // Created now, the area is a *.MSG directory, its line says so, and it
    // takes over the message that waited in the bad area.
    write_file(pt.cfg, read_file(pt.cfg) + "autocreate=yes\n");
    pt.put("b.pkt", make_pkt(kBoss, kPoint, "PW", {echo("NEW.AREA", "2:240/1 4", "second")}));
    r = pt.toss();
    ASSERT_EQ(r.code, 0) << r.out;
    EXPECT_NE(
        read_file(pt.cfg).find("echoarea=NEW.AREA msg:" + m + "/auto" + PF_DIR_SEP + "new.area\n"),
        std::string::npos);
    auto created = read_dir(m + "/auto/new.area");
    EXPECT_EQ(subjects(created), (std::vector<std::string>{"waits in bad", "second"}));
    ASSERT_FALSE(created.empty());
    EXPECT_EQ(mb_kludge_find(created[0], "AREA"), nullptr);  // the marker stays behind
    EXPECT_TRUE(read_dir(m + "/bad").empty());
    EXPECT_TRUE(has_log_line(r.out, "Taken over from the bad area: 1 message(s) -> NEW.AREA"))
        << r.out;
}

// The journal of a run killed between the intent and the key: a message that
// reached a *.MSG area gives its key back (read through the interface), one
// that did not gives nothing, and one filed before the recorded mark is not
// this intent's.
TEST(Toss, JournalOfStoredMessageAreasRecoversOnlyFiledMessages) {
    wptest::TempDir d;
    const std::string dir = d.file("area"), loc = "msg:" + dir, db_path = d.file("dupes.db");
    pf_mkdir(dir.c_str());
    FmsgBase b;
    ASSERT_EQ(b.open(dir.c_str()), MbResult::Ok);
    auto put = [&](const std::string& msgid, const std::string& text) {
        MbMessage m;
        m.from = "A";
        m.to = "B";
        m.subject = "s";
        m.date_written = 1700000000;
        m.attrs = MbAttrs(MbAttr::Echo);
        if (!msgid.empty()) m.kludges.push_back(mb_kludge("MSGID", msgid));
        m.text = text;
        uint32_t n = 0;
        EXPECT_EQ(b.append(m, n), MbResult::Ok);
        return m;
    };
    auto key = [&](const std::string& id) { return dupe_key(loc.c_str(), id.data(), id.size()); };
    put("2:1/1 old", "x\r");
    uint64_t text_key = 0;
    {
        DupeDb db;
        ASSERT_EQ(dupe_load(db, db_path.c_str()), 0);
        uint32_t mark = 0;
        ASSERT_EQ(b.end_mark(mark), MbResult::Ok);
        EXPECT_EQ(mark, 2u);
        ASSERT_EQ(dupe_intent_at(db, key("2:1/1 old"), loc.c_str(), mark), 0);  // filed before
        ASSERT_EQ(dupe_intent_at(db, key("2:1/1 filed"), loc.c_str(), mark), 0);
        put("2:1/1 filed", "y\r");
        MbMessage plain = put("", "no id\r");
        text_key = toss_neutral_key(loc.c_str(), plain);
        ASSERT_EQ(dupe_intent_at(db, text_key, loc.c_str(), mark), 0);
        ASSERT_EQ(b.end_mark(mark), MbResult::Ok);
        ASSERT_EQ(dupe_intent_at(db, key("2:1/1 lost"), loc.c_str(), mark), 0);  // never appended
    }
    for (bool with_check : {true, false}) {
        DupeDb db;
        if (with_check) db.verify_other = toss_verify_neutral;
        ASSERT_EQ(dupe_load(db, db_path.c_str()), 0);
        EXPECT_EQ(dupe_has_key(db, key("2:1/1 filed")), with_check);
        EXPECT_EQ(dupe_has_key(db, text_key), with_check);
        EXPECT_FALSE(dupe_has_key(db, key("2:1/1 lost")));
        EXPECT_FALSE(dupe_has_key(db, key("2:1/1 old")));
        if (with_check) {
            pf_delete(db_path.c_str());  // the second load must not find them saved
        }
    }
}

// The contents key of a *.MSG message: messages differing in any part but
// the routing lines have different keys, and the routing lines (SEEN-BY,
// PATH, Via), the AREA marker and the attributes change nothing.
TEST(Toss, NeutralKeyCoversTheContentsButNotTheRoute) {
    MbMessage base;
    base.from = "Jo";
    base.to = "All";
    base.subject = "s";
    base.orig = ftn_addr{2, 240, 1, 0};
    base.date_written = 1700000000;
    base.attrs = MbAttrs(MbAttr::Echo);
    base.kludges = {mb_kludge("PID", "x 1"), mb_kludge("SEEN-BY", "240/1")};
    base.text = "Body\r";
    const char* loc = "msg:/a/area";
    const uint64_t k = toss_neutral_key(loc, base);
    std::vector<MbMessage> differ(7, base);
    differ[0].from = "Jo2";
    differ[1].to = "Al";
    differ[2].subject = "t";
    differ[3].date_written += 1;
    differ[4].kludges[0].value = "x 2";
    differ[5].text = "Body!\r";
    differ[6].text = "Body\r\r";
    for (size_t i = 0; i < differ.size(); ++i) EXPECT_NE(toss_neutral_key(loc, differ[i]), k) << i;
    EXPECT_NE(toss_neutral_key("msg:/a/other", base), k);
    std::vector<MbMessage> same(3, base);
    same[0].kludges.push_back(mb_kludge("PATH", "240/1"));
    same[0].kludges.push_back(mb_kludge("Via", "2:240/1 @2026"));
    same[1].kludges.insert(same[1].kludges.begin(), MbKludge{"AREA", ":", "FIDO.TEST"});
    same[2].attrs = base.attrs | MbAttr::Sent;
    for (size_t i = 0; i < same.size(); ++i) EXPECT_EQ(toss_neutral_key(loc, same[i]), k) << i;
}
