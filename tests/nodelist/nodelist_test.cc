#include "nodelist/nodelist.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "app/catalog.h"
#include "config/config.h"
#include "core/log.h"
#include "nodelist/nlfiles.h"
#include "platform/platform.h"
#include "support/test_support.h"

using wptest::TempDir;

namespace {

// A list with its CRC stated right: first line + CR LF + body + Ctrl-Z.
std::string make_list(const std::string& day, const std::string& body) {
    uint16_t crc = nl_crc16(body.data(), body.size());
    char num[8];
    snprintf(num, sizeof num, "%05u", static_cast<unsigned>(crc));
    return ";A Test Nodelist for Friday -- Day number " + day + " : " + num + "\r\n" + body +
           "\x1a";
}

std::string addr(const ftn_addr& a) {
    char b[FTN_TEXT_MAX];
    ftn_fmt(b, a);
    return b;
}

const char* kBody =
    ";S a comment\r\n"
    "Zone,2,Zone_Two,Europe,Zone_Coord,-Unpublished-,300,CM,IBN,INA:z2.example.org\r\n"
    "Region,24,Region_24,Germany,Reg_Coord,-Unpublished-,300,CM\r\n"
    "Host,240,Net_240,Berlin,Host_Sysop,-Unpublished-,300,CM,IBN:24555,INA:h240.example.org\r\n"
    "Hub,100,Hub_Board,Berlin_Mitte,Hub_Sysop,49-30-1,300,CM\r\n"
    ",101,Plain_Board,K\x94ln,J\x81rgen_M\x81ller,-Unpublished-,300,CM,XA,IBN:n101.example.org:"
    "26000\r\n"
    "Pvt,102,Private_Board,Berlin,Pvt_Sysop,-Unpublished-,300,IBN,IP:10.0.0.2\r\n"
    "Point,7,Point_Seven,Berlin,Pt_Sysop,-Unpublished-,300,\r\n"
    "Hold,103,Held_Board,Berlin,Hold_Sysop,-Unpublished-,300,\r\n"
    "Down,104,Down_Board,Berlin,Down_Sysop,-Unpublished-,300,\r\n"
    "Bogus,105,Bad_Keyword,Berlin,Someone,-Unpublished-,300,\r\n"
    ",abc,Bad_Number,Berlin,Someone,-Unpublished-,300,\r\n"
    ",106,Too_Few_Fields\r\n"
    "Boss,2:240/101\r\n"
    ",1,Boss_Point_One,Berlin,Point_Sysop,-Unpublished-,300,\r\n"
    "Hold,2,Boss_Point_Two,Berlin,Point_Two,-Unpublished-,300,\r\n"
    "Host,241,Net_241,Potsdam,Other_Host,-Unpublished-,300,\r\n"
    ",1,Node_After_Boss,Potsdam,Plain_Again,-Unpublished-,300,\r\n";

TEST(Nodelist, CrcIsXmodemAndTheFirstLineStatesIt) {
    EXPECT_EQ(nl_crc16("123456789", 9), 0x31C3);  // the check value of CRC-16/XMODEM
    // Eight bytes at a time and one at a time agree, at every length and
    // when continued.
    std::string bytes;
    for (int i = 0; i < 300; ++i) bytes += static_cast<char>(i * 37 + 11);
    for (size_t n = 0; n <= bytes.size(); ++n) {
        uint16_t one = 0;
        for (size_t i = 0; i < n; ++i) {
            one ^= static_cast<uint16_t>(static_cast<uint8_t>(bytes[i]) << 8);
            for (int b = 0; b < 8; ++b)
                one = (one & 0x8000) ? static_cast<uint16_t>((one << 1) ^ 0x1021)
                                     : static_cast<uint16_t>(one << 1);
        }
        ASSERT_EQ(nl_crc16(bytes.data(), n), one) << n;
        ASSERT_EQ(nl_crc16(bytes.data() + n / 3, n - n / 3, nl_crc16(bytes.data(), n / 3)), one)
            << n;
    }
    std::string list = make_list("003", kBody);
    uint16_t given = 0, actual = 0;
    ASSERT_TRUE(nl_crc_of(list, given, actual));
    EXPECT_EQ(given, actual);
    std::string damaged = list;
    damaged[damaged.find("Berlin")] = 'b';
    ASSERT_TRUE(nl_crc_of(damaged, given, actual));
    EXPECT_NE(given, actual);
    // Bytes after the Ctrl-Z are no part of the list.
    ASSERT_TRUE(nl_crc_of(list + "trailing junk", given, actual));
    EXPECT_EQ(given, actual);
    EXPECT_FALSE(nl_crc_of(";A list without a number\r\n,1,x,y,z,p,300\r\n", given, actual));
}

TEST(Nodelist, EveryKeywordGivesItsAddressAndBadLinesAreCounted) {
    NodeList nl;
    nl_parse(make_list("003", kBody), nl);
    EXPECT_TRUE(nl.crc_ok());
    struct Want {
        const char* addr;
        NlKind kind;
        const char* sysop;
    };
    const Want want[] = {
        {"2:2/0", NlKind::Zone, "Zone_Coord"},
        {"2:24/0", NlKind::Region, "Reg_Coord"},
        {"2:240/0", NlKind::Host, "Host_Sysop"},
        {"2:240/100", NlKind::Hub, "Hub_Sysop"},
        {"2:240/101", NlKind::Node, "J\x81rgen_M\x81ller"},
        {"2:240/102", NlKind::Pvt, "Pvt_Sysop"},
        {"2:240/102.7", NlKind::Point, "Pt_Sysop"},
        {"2:240/103", NlKind::Hold, "Hold_Sysop"},
        {"2:240/104", NlKind::Down, "Down_Sysop"},
        {"2:240/101", NlKind::Boss, ""},
        {"2:240/101.1", NlKind::Point, "Point_Sysop"},
        {"2:240/101.2", NlKind::Hold, "Point_Two"},
        {"2:241/0", NlKind::Host, "Other_Host"},
        {"2:241/1", NlKind::Node, "Plain_Again"},
    };
    ASSERT_EQ(nl.entries.size(), std::size(want));
    for (size_t i = 0; i < std::size(want); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(addr(nl.entries[i].addr), want[i].addr);
        EXPECT_EQ(nl.entries[i].kind, want[i].kind);
        EXPECT_EQ(nl.entries[i].sysop, want[i].sysop);
    }
    // Bogus keyword, a number that is none, too few fields.
    EXPECT_EQ(nl.bad_lines, 3u);
    EXPECT_EQ(nl.first_bad, 12u);
    const NlEntry& e = nl.entries[4];
    EXPECT_EQ(e.system, "Plain_Board");
    EXPECT_EQ(e.phone, "-Unpublished-");
    EXPECT_EQ(e.speed, "300");
    EXPECT_EQ(e.flags, "CM,XA,IBN:n101.example.org:26000");
    EXPECT_EQ(e.line, 7u);
}

TEST(Nodelist, FindAndSearch) {
    NodeList nl;
    nl_parse(make_list("003", kBody), nl);
    ftn_addr a;
    ASSERT_TRUE(ftn_parse("2:240/101", a));
    int i = nl_find(nl, a);
    ASSERT_GE(i, 0);
    EXPECT_EQ(nl.entries[i].kind, NlKind::Node);  // the node, not its Boss line
    ASSERT_TRUE(ftn_parse("2:240/101.2", a));
    i = nl_find(nl, a);
    ASSERT_GE(i, 0);
    EXPECT_EQ(nl.entries[i].sysop, "Point_Two");
    ASSERT_TRUE(ftn_parse("2:240/999", a));
    EXPECT_EQ(nl_find(nl, a), -1);
    ASSERT_TRUE(ftn_parse("1:240/101", a));
    EXPECT_EQ(nl_find(nl, a), -1);

    auto sysops = [&nl](const char* needle) {
        std::vector<std::string> r;
        for (int k : nl_search(nl, needle)) r.emplace_back(nl.entries[k].sysop);
        return r;
    };
    // Case, and blank for underscore; the system name counts too.
    EXPECT_EQ(sysops("pvt sysop"), std::vector<std::string>{"Pvt_Sysop"});
    EXPECT_EQ(sysops("HELD_board"), std::vector<std::string>{"Hold_Sysop"});
    EXPECT_EQ(sysops("point"), (std::vector<std::string>{"Pt_Sysop", "Point_Sysop", "Point_Two"}));
    // Typed in UTF-8, found in the CP437 list.
    EXPECT_EQ(sysops("j\xC3\xBCrgen m\xC3\xBC"), std::vector<std::string>{"J\x81rgen_M\x81ller"});
    EXPECT_TRUE(sysops("").empty());
    EXPECT_TRUE(sysops("nobody at all").empty());
}

TEST(Nodelist, PrintableTextDecodesAndHidesControls) {
    NodeList nl;
    nl_parse(make_list("003", kBody), nl);
    EXPECT_EQ(nl_text(nl, "J\x81rgen_M\x81ller"), "J\xC3\xBCrgen M\xC3\xBCller");  // CP437
    EXPECT_EQ(nl_text(nl, std::string_view("a\x1b[2Jb\tc\x7f", 9)), "a.[2Jb.c.");
    NodeList u8;
    nl_parse(make_list("003", ",1,S\xC3\xBC\xC2\x85x,L,Sysop,-,300,\r\n"), u8);
    EXPECT_EQ(nl_text(u8, u8.entries[0].system), "S\xC3\xBC.x");  // UTF-8 list, C1 hidden
}

TEST(Nodelist, InternetFlagsGiveTheBinkpHostAndPort) {
    struct Case {
        const char* flags;
        bool binkp;
        const char* host;
        unsigned port;
    } cases[] = {
        {"CM,XA", false, "", 24554},
        {"CM,IBN,INA:a.example.org", true, "a.example.org", 24554},
        {"IBN:24555,INA:b.example.org", true, "b.example.org", 24555},
        {"IBN:c.example.org:26000,INA:other.example.org", true, "c.example.org", 26000},
        {"IBN:d.example.org", true, "d.example.org", 24554},
        {"IBN,IP:10.1.2.3", true, "10.1.2.3", 24554},
        {"INA:e.example.org,IBN", true, "e.example.org", 24554},
        {"ibn:99999,ina:f.example.org", true, "f.example.org", 24554},  // no such port
        {"IBN", true, "", 24554},
        {"ITN:g.example.org", false, "", 24554},  // telnet, not binkp
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.flags);
        NlBinkp b = nl_binkp(c.flags);
        EXPECT_EQ(b.binkp, c.binkp);
        EXPECT_EQ(b.host, c.host);
        EXPECT_EQ(b.port, c.port);
    }
}

TEST(Nodelist, OverLongLinesAreBadNotFatal) {
    std::string body = ",1,Ok,L,S,-,300,\r\n," + std::string(600, '2') + ",x,y,z,-,300,\r\n" +
                       ",3,Ok_Too,L,S,-,300,\r\n";
    NodeList nl;
    nl_parse(make_list("003", body), nl);
    EXPECT_EQ(nl.entries.size(), 2u);
    EXPECT_EQ(nl.bad_lines, 1u);
    EXPECT_EQ(nl.first_bad, 3u);
}

// A diff from old to the new body: first line swapped, the rest by hand.
struct DiffCase {
    const char* name;
    std::string diff;
    NlDiffResult result;
};

TEST(NodeDiff, AppliesCopyAddDeleteAndRefusesEveryDamage) {
    const std::string old_body =
        ",1,One,L,S1,-,300,\r\n,2,Two,L,S2,-,300,\r\n,3,Three,L,S3,-,300,\r\n";
    const std::string new_body =
        ",1,One,L,S1,-,300,\r\n,3,Three,L,S3,-,300,\r\n,4,Four,L,S4,-,300,\r\n";
    const std::string old_list = make_list("003", old_body);
    const std::string new_list = make_list("010", new_body);
    const std::string old_first(nl_first_line(old_list));
    const std::string new_first(nl_first_line(new_list));
    const std::string head = old_first + "\r\nD 1\r\nA 1\r\n" + new_first + "\r\n";
    const std::string good = head + "C 1\r\nD 1\r\nC1\r\nA 1\r\n,4,Four,L,S4,-,300,\r\n\x1a";

    std::string out;
    uint32_t line = 0;
    ASSERT_EQ(nl_apply_diff(old_list, good, out, line), NlDiffResult::Ok);
    EXPECT_EQ(out, new_list);  // byte for byte, Ctrl-Z included

    const DiffCase bad[] = {
        {"another day", "; some other first line\r\n" + good.substr(good.find("D 1")),
         NlDiffResult::OtherList},
        {"not a command", head + "C 1\r\nX 1\r\n", NlDiffResult::BadCommand},
        {"count missing", head + "C\r\n", NlDiffResult::BadCommand},
        {"junk after count", head + "C 1 2\r\n", NlDiffResult::BadCommand},
        {"over-long line", head + "A 1\r\n" + std::string(700, 'x') + "\r\n",
         NlDiffResult::BadCommand},
        {"copy past the end", head + "C 9\r\n", NlDiffResult::PastEnd},
        {"delete past the end", head + "C 1\r\nD 5\r\n", NlDiffResult::PastEnd},
        {"cut inside an add", head + "C 1\r\nD 1\r\nC 1\r\nA 2\r\n,4,Four,L,S4,-,300,\r\n",
         NlDiffResult::Truncated},
        {"wrong CRC", head + "C 1\r\nD 1\r\nC 1\r\nA 1\r\n,4,Four,L,S5,-,300,\r\n",
         NlDiffResult::BadCrc},
        {"lines left out", head + "C 1\r\n", NlDiffResult::BadCrc},
    };
    for (const DiffCase& c : bad) {
        SCOPED_TRACE(c.name);
        out = "stale";
        EXPECT_EQ(nl_apply_diff(old_list, c.diff, out, line), c.result);
        EXPECT_TRUE(out.empty());
    }
    // The good diff on a list cut short (its last line lost): refused too.
    std::string cut = old_list.substr(0, old_list.find(",3,Three"));
    EXPECT_EQ(nl_apply_diff(cut, good, out, line), NlDiffResult::PastEnd);
    cut = old_list.substr(0, old_list.size() - 12);  // inside the last line
    EXPECT_EQ(nl_apply_diff(cut, good, out, line), NlDiffResult::BadCrc);
    EXPECT_TRUE(out.empty());
}

class NlFiles : public ::testing::Test {
  protected:
    void SetUp() override {
        lang_apply(LANG_EN);
        con_capture(&log_);
    }
    void TearDown() override { con_capture(nullptr); }
    std::string log_;
    TempDir tmp_;
};

TEST_F(NlFiles, NewestListByDayAcrossTheTurnOfTheYear) {
    for (const char* n : {"NODELIST.352", "nodelist.359", "NODELIST.002", "NODELIST.Z09",
                          "NODELIST.txt", "NODELIST.0001", "NODEDIFF.009", "OTHER.365"})
        wptest::write_file(tmp_.file(n), "x");
    std::vector<NlFile> f = nl_files(nl_loc((tmp_.path() + "/NODELIST").c_str()));
    ASSERT_EQ(f.size(), 4u);
    EXPECT_EQ(f[0].day, 352);
    EXPECT_EQ(f[1].day, 359);
    EXPECT_EQ(f[2].day, 2);  // of the new year: the newest
    EXPECT_TRUE(f[3].zipped);
    EXPECT_EQ(f[3].day, 9);
    EXPECT_TRUE(nl_day_after(359, 2));
    EXPECT_FALSE(nl_day_after(2, 359));
    EXPECT_FALSE(nl_day_after(10, 10));
}

TEST_F(NlFiles, AChainOfDiffsIsAppliedAndAWrongCrcLeavesTheOldList) {
    const std::string b1 = ",1,One,L,S1,-,300,\r\n";
    const std::string b2 = ",1,One,L,S1,-,300,\r\n,2,Two,L,S2,-,300,\r\n";
    const std::string b3 = ",2,Two,L,S2,-,300,\r\n";
    const std::string l1 = make_list("003", b1), l2 = make_list("010", b2),
                      l3 = make_list("017", b3);
    auto head = [](const std::string& from, const std::string& to) {
        return std::string(nl_first_line(from)) + "\r\nD 1\r\nA 1\r\n" +
               std::string(nl_first_line(to)) + "\r\n";
    };
    wptest::write_file(tmp_.file("NODELIST.003"), l1);
    wptest::write_file(tmp_.file("NODEDIFF.010"),
                       head(l1, l2) + "C 1\r\nA 1\r\n" + ",2,Two,L,S2,-,300,\r\n");
    wptest::write_file(tmp_.file("NODEDIFF.017"), head(l2, l3) + "D 1\r\nC 1\r\n");
    NlLoc list = nl_loc((tmp_.path() + "/NODELIST").c_str());
    NlLoc diffs = nl_loc((tmp_.path() + "/NODEDIFF").c_str());
    NlUpdate u = nl_update(list, diffs);
    EXPECT_EQ(u.applied, 2);
    EXPECT_EQ(u.refused, 0);
    EXPECT_EQ(u.current, tmp_.file("NODELIST.017"));
    EXPECT_EQ(wptest::read_file(tmp_.file("NODELIST.017")), l3);
    EXPECT_FALSE(wptest::file_exists(tmp_.file("NODELIST.003")));
    EXPECT_FALSE(wptest::file_exists(tmp_.file("NODELIST.017.wptmp")));
    // Run again: nothing to do, nothing said about the old diffs.
    log_.clear();
    u = nl_update(list, diffs);
    EXPECT_EQ(u.applied + u.refused, 0);
    EXPECT_EQ(log_, "");

    // The next week's diff with a changed line: its CRC fails.
    const std::string l4 = make_list("024", ",2,Two,L,S2,-,300,\r\n,3,Three,L,S3,-,300,\r\n");
    wptest::write_file(tmp_.file("NODEDIFF.024"),
                       head(l3, l4) + "C 1\r\nA 1\r\n" + ",3,Three,L,XX,-,300,\r\n");
    log_.clear();
    u = nl_update(list, diffs);
    EXPECT_EQ(u.applied, 0);
    EXPECT_EQ(u.refused, 1);
    EXPECT_EQ(wptest::read_file(tmp_.file("NODELIST.017")), l3);
    EXPECT_FALSE(wptest::file_exists(tmp_.file("NODELIST.024")));
    EXPECT_TRUE(wptest::has_log_line(
        log_,
        "ERROR: CRC of the new nodelist is wrong, old list kept: " + tmp_.file("NODEDIFF.024")));
}

TEST_F(NlFiles, DiffsWithoutTheirListChangeNothing) {
    const std::string l1 = make_list("003", ",1,One,L,S1,-,300,\r\n");
    const std::string l2 = make_list("010", ",2,Two,L,S2,-,300,\r\n");
    std::string diff = std::string(nl_first_line(l1)) + "\r\nD 2\r\nA 2\r\n" +
                       std::string(nl_first_line(l2)) + "\r\n,2,Two,L,S2,-,300,\r\n";
    wptest::write_file(tmp_.file("NODEDIFF.010"), diff);
    NlLoc list = nl_loc((tmp_.path() + "/NODELIST").c_str());
    NlLoc diffs = nl_loc((tmp_.path() + "/NODEDIFF").c_str());
    // No base list at all.
    NlUpdate u = nl_update(list, diffs);
    EXPECT_EQ(u.refused, 1);
    EXPECT_TRUE(u.current.empty());
    EXPECT_TRUE(
        wptest::has_log_line(log_, "ERROR: no nodelist the nodediff applies to, nothing changed: " +
                                       tmp_.file("NODEDIFF.010")));
    // A base list of another week: the diff is for another day.
    const std::string other = make_list("363", ",9,Nine,L,S9,-,300,\r\n");
    wptest::write_file(tmp_.file("NODELIST.363"), other);
    // The diff arrived after the list.
    wptest::write_file(tmp_.file("NODEDIFF.010"), diff);
    log_.clear();
    u = nl_update(list, diffs);
    EXPECT_EQ(u.applied, 0);
    EXPECT_EQ(u.refused, 1);
    EXPECT_EQ(wptest::read_file(tmp_.file("NODELIST.363")), other);
    EXPECT_TRUE(wptest::has_log_line(
        log_,
        "Warning: nodediff is for another list, nothing changed: " + tmp_.file("NODEDIFF.010")));
    // A truncated diff of the right list: damaged, the old list stays.
    wptest::write_file(tmp_.file("NODELIST.003"), l1);
    pf_delete(tmp_.file("NODELIST.363").c_str());
    wptest::write_file(tmp_.file("NODEDIFF.010"), diff.substr(0, diff.find(",2,Two")));
    log_.clear();
    u = nl_update(list, diffs);
    EXPECT_EQ(u.applied, 0);
    EXPECT_EQ(wptest::read_file(tmp_.file("NODELIST.003")), l1);
    EXPECT_NE(log_.find("ERROR: nodediff damaged, old list kept: "), std::string::npos) << log_;
}

TEST_F(NlFiles, LoadReportsCrcAndBadLinesAndUsesTheList) {
    Config c;
    std::string cfg = "address = 2:240/1.5\nnodelist = nl/NODELIST\npointlist = pts.txt\n";
    ASSERT_EQ(pf_mkdir(tmp_.file("nl").c_str()), 0);
    auto nl_file = [this](const char* name) { return tmp_.file("nl") + PF_DIR_SEP + name; };
    std::string list = make_list("003", ",1,One,L,S1,-,300,\r\nbroken line\r\n");
    list[list.find("S1")] = 'T';  // the CRC no longer fits
    wptest::write_file(nl_file("NODELIST.003"), list);
    wptest::write_file(tmp_.file("pts.txt"),
                       make_list("001", "Boss,2:240/1\r\n,5,Pt,L,Point_Five,-,300,\r\n"));
    wptest::write_file(tmp_.file("wp.cfg"), cfg);
    ASSERT_EQ(load_config(c, tmp_.file("wp.cfg").c_str()), 0);
    BossCfg b = cfg_boss(c, -1);
    EXPECT_EQ(std::string(b.get(F_NODELIST)), tmp_.file("nl/NODELIST"));  // resolved
    NodeList nl, pts;
    ASSERT_EQ(nl_load(b, nl, pts), NlLoad::Ok);
    EXPECT_EQ(nl.entries.size(), 1u);
    EXPECT_EQ(pts.entries.size(), 2u);
    EXPECT_TRUE(wptest::has_log_line(
        log_, "Warning: nodelist CRC does not match its first line: " + nl_file("NODELIST.003")));
    EXPECT_TRUE(wptest::has_log_line(log_, "Warning: lines that do not parse in " +
                                               nl_file("NODELIST.003") +
                                               ": 1, the first at line 3"));
    // Only the ZIP form: reported, not read.
    pf_delete(nl_file("NODELIST.003").c_str());
    wptest::write_file(nl_file("NODELIST.Z03"), "PK");
    EXPECT_EQ(nl_load(b, nl, pts), NlLoad::OnlyZip);
    pf_delete(nl_file("NODELIST.Z03").c_str());
    EXPECT_EQ(nl_load(b, nl, pts), NlLoad::NoList);
    EXPECT_EQ(nl_load(cfg_boss(Config{}, -1), nl, pts), NlLoad::NotConfigured);
}

// Stands in for the ZIP reader: the archive's bytes are "entry name|text".
bool fake_unzip(const std::string& path, std::string& name, std::string& text) {
    std::string z = wptest::read_file(path);
    size_t bar = z.find('|');
    if (bar == std::string::npos) return false;
    name = z.substr(0, bar);
    text = z.substr(bar + 1);
    return true;
}

TEST_F(NlFiles, ZippedListsCountByTheDayOfTheirEntry) {
    NlLoc s = nl_loc((tmp_.path() + "/NODELIST").c_str());
    wptest::write_file(tmp_.file("NODELIST.350"), make_list("350", ",1,Plain,L,S,-,300,\r\n"));
    // Z10 holds day 010 of the next year: newer than 350.
    const std::string z10 = make_list("010", ",1,Zipped,L,S,-,300,\r\n");
    wptest::write_file(tmp_.file("NODELIST.Z10"), "nodelist.010|" + z10);
    NlFile cur;
    std::string text;
    ASSERT_EQ(nl_current(s, fake_unzip, cur, text), NlLoad::Ok);
    EXPECT_TRUE(cur.zipped);
    EXPECT_EQ(cur.day, 10);
    EXPECT_EQ(text, z10);
    // Without a reader the plain list is current.
    ASSERT_EQ(nl_current(s, nullptr, cur, text), NlLoad::Ok);
    EXPECT_EQ(cur.day, 350);
    // An archive whose entry is of another name is reported and passed over.
    wptest::write_file(tmp_.file("NODELIST.Z10"), "FSXNET.010|" + z10);
    log_.clear();
    ASSERT_EQ(nl_current(s, fake_unzip, cur, text), NlLoad::Ok);
    EXPECT_EQ(cur.day, 350);
    EXPECT_TRUE(wptest::has_log_line(
        log_, "ERROR: ZIP file without a readable list NAME.nnn: " + tmp_.file("NODELIST.Z10")));
    // A diff chain from a zipped list: the new list is written plain, the
    // archive stays.
    pf_delete(tmp_.file("NODELIST.350").c_str());
    wptest::write_file(tmp_.file("NODELIST.Z10"), "NODELIST.010|" + z10);
    const std::string l17 = make_list("017", ",2,Two,L,S,-,300,\r\n");
    wptest::write_file(tmp_.file("NODEDIFF.Z17"),
                       "NODEDIFF.017|" + std::string(nl_first_line(z10)) + "\r\nD 2\r\nA 2\r\n" +
                           std::string(nl_first_line(l17)) + "\r\n,2,Two,L,S,-,300,\r\n");
    NlUpdate u = nl_update(s, nl_loc((tmp_.path() + "/NODEDIFF").c_str()), fake_unzip);
    EXPECT_EQ(u.applied, 1);
    EXPECT_EQ(u.current, tmp_.file("NODELIST.017"));
    EXPECT_EQ(wptest::read_file(tmp_.file("NODELIST.017")), l17);
    EXPECT_TRUE(wptest::file_exists(tmp_.file("NODELIST.Z10")));
}

}  // namespace
