#include "areafix/replies.h"

#include <gtest/gtest.h>

#include <string>

#include "app/catalog.h"
#include "jam/crc32.h"
#include "jam/jam.h"
#include "platform/platform.h"
#include "support/test_support.h"

namespace {

AfTable parse(const std::string& text, AfTable t = {}) {
    af_parse(t, text.data(), text.size());
    return t;
}

uint32_t state(const AfTable& t, const char* tag) {
    int i = af_find(t, tag);
    return i < 0 ? 99u : t.areas[static_cast<size_t>(i)].AF_STATE;
}

std::string desc(const AfTable& t, const char* tag) {
    int i = af_find(t, tag);
    return i < 0 ? "(none)" : t.areas[static_cast<size_t>(i)].AF_DESC;
}

AfTable known(std::initializer_list<std::pair<const char*, uint32_t>> areas) {
    AfTable t;
    for (auto& a : areas) af_get(t, a.first)->AF_STATE = a.second;
    return t;
}

}  // namespace

TEST(AreafixReplies, LinkedListMarksTheRestUnlinked) {
    AfTable t = known({{"OLD_AREA", AFS_LINKED}, {"FSX_GEN", AFS_UNKNOWN}});
    t = parse("Command: %LINKED\rFSX_GEN\rFSX_BOT\r--- robot\rFSX_LATE\r", t);
    EXPECT_EQ(state(t, "FSX_GEN"), AFS_LINKED);
    EXPECT_EQ(state(t, "FSX_BOT"), AFS_LINKED);
    EXPECT_EQ(state(t, "OLD_AREA"), AFS_UNLINKED);
    EXPECT_EQ(state(t, "FSX_LATE"), 99u);  // after the tear line
    // An empty linked list: every known area is not linked.
    t = parse("Command: %QUERY\r--- robot\r", known({{"A1", AFS_LINKED}, {"B2", AFS_LINKED}}));
    EXPECT_EQ(state(t, "A1"), AFS_UNLINKED);
    EXPECT_EQ(state(t, "B2"), AFS_UNLINKED);
}

TEST(AreafixReplies, FullListWithMarksAndLeaderDots) {
    AfTable t = known({{"FSX_BOT", AFS_UNLINKED}});
    t = parse(
        "Command: %LIST\r\n* FSX_GEN ........ General chat\r\nFSX_BOT - Bots\r\n"
        "\tFSX_TST\t\tTests...\r\nlower_case ignored\r\nX\r\n+ FSX_NEW ...New one\r\n",
        t);
    EXPECT_EQ(state(t, "FSX_GEN"), AFS_LINKED);
    EXPECT_EQ(desc(t, "FSX_GEN"), "General chat");
    EXPECT_EQ(state(t, "FSX_BOT"), AFS_UNLINKED);  // unmarked: left as it was
    EXPECT_EQ(desc(t, "FSX_BOT"), "Bots");
    EXPECT_EQ(desc(t, "FSX_TST"), "Tests...");
    EXPECT_EQ(state(t, "FSX_NEW"), AFS_LINKED);
    EXPECT_EQ(desc(t, "FSX_NEW"), "New one");
    EXPECT_EQ(af_find(t, "lower_case"), -1);
    EXPECT_EQ(af_find(t, "X"), -1);
}

TEST(AreafixReplies, CommandResults) {
    struct Case {
        std::string reply;
        uint32_t want;
    } cases[] = {
        {"Command: +FSX_GEN,R=50\rResult: already linked\r", AFS_LINKED},
        {"Command: FSX_GEN\rResult: subscribed\r", AFS_LINKED},
        {"Command: -FSX_GEN\rResult: removed\r", AFS_UNLINKED},
        {"Command: +FSX_GEN\rResult: not linked\r", AFS_UNLINKED},
        {"Command: +FSX_GEN\rResult: area not found\r", AFS_UNKNOWN},
        {"Command: =FSX_GEN\rResult: linked\r", AFS_UNKNOWN},
        {"Command: +fsx_gen\rResult: linked\r", 99u},  // not a tag
        {"Command: +FSX_GEN\r\x01kludge Result: linked\r", AFS_UNKNOWN},
    };
    for (const auto& c : cases) {
        AfTable t = known({{"FSX_GEN", AFS_UNKNOWN}});
        t = parse(c.reply, t);
        uint32_t got = state(t, "FSX_GEN");
        if (c.want == 99u)
            EXPECT_EQ(state(t, "fsx_gen"), AFS_UNKNOWN) << c.reply;
        else
            EXPECT_EQ(got, c.want) << c.reply;
    }
}

TEST(AreafixReplies, HeaderLinesAndKludges) {
    AfTable t = parse(
        "Hello,\r\rAreas you are linked to:\rFSX_GEN\r\rAvailable areas:\r* FSX_BOT\rFSX_TST\r\r"
        "Unlinked areas:\rFSX_OLD\r\x01PATH: 1/2 FSX_KLUDGE\r");
    EXPECT_EQ(state(t, "FSX_GEN"), AFS_LINKED);
    EXPECT_EQ(state(t, "FSX_BOT"), AFS_LINKED);
    EXPECT_EQ(state(t, "FSX_TST"), AFS_UNKNOWN);
    EXPECT_EQ(state(t, "FSX_OLD"), AFS_UNLINKED);
    EXPECT_EQ(af_find(t, "FSX_KLUDGE"), -1);
    // The kludge byte counts wherever it stands: past the 255 characters that
    // are read, or behind a zero byte.
    std::string late = "Command: %LIST\rFSX_LONG " + std::string(300, '.') + "\x01x\r";
    late += std::string("FSX_ZERO x\0\x01y\rFSX_PLAIN\r", 24);
    t = parse(late);
    EXPECT_EQ(af_find(t, "FSX_LONG"), -1);
    EXPECT_EQ(af_find(t, "FSX_ZERO"), -1);
    EXPECT_EQ(af_find(t, "FSX_PLAIN"), 0);
    EXPECT_EQ(hdr_mode("Areas you are linked to:"), 1);
    EXPECT_EQ(hdr_mode("Unlinked areas:"), 2);
    EXPECT_EQ(hdr_mode("Available areas:"), 3);
    EXPECT_EQ(hdr_mode("nothing"), 0);
    // A result line that names a list starts it when nothing is pending.
    t = parse("Result: list of linked areas\rFSX_GEN\r");
    EXPECT_EQ(state(t, "FSX_GEN"), AFS_LINKED);
}

TEST(AreafixReplies, TagTest) {
    std::string longest(63, 'A'), too_long(64, 'A');
    for (const char* ok : {"FSX_GEN", "AB", "A1", "FIDO.TEST", "A-B!$&#@+", longest.c_str()})
        EXPECT_TRUE(tag_ok(ok)) << ok;
    for (const char* bad : {"A", "12", "fsx_gen", "FSX GEN", "FSX/GEN", "", too_long.c_str()})
        EXPECT_FALSE(tag_ok(bad)) << bad;
}

TEST(AreafixReplies, SortIsStableAndCaseFolded) {
    AfTable t;
    for (const char* tag : {"ZED", "ALPHA", "MIKE", "BRAVO"}) af_get(t, tag);
    af_sort(t);
    std::string order;
    for (auto& a : t.areas) order += std::string(a.AF_TAG) + " ";
    EXPECT_EQ(order, "ALPHA BRAVO MIKE ZED ");
    // "_" sorts after the letters once they are upper case.
    AfTable u;
    af_get(u, "A_B");
    af_get(u, "AZB");
    af_sort(u);
    EXPECT_STREQ(u.areas[0].AF_TAG, "AZB");
}

TEST(AreafixReplies, CacheRoundTripAndNaming) {
    wptest::TempDir d;
    EXPECT_EQ(af_cache_path(d.file("wrenpost.cfg").c_str(), "Fido Net"),
              d.file("areas_fido_net.lst"));
    std::string path = d.file("areas_x.lst");
    wptest::write_file(path,
                       "# comment\r\nFSX_GEN\tLINKED\tGeneral chat\r\nFSX_BOT general\r\n"
                       "bad_tag\tlinked\t\r\nFSX_TST\tweird\tTests\r\n\r\nFSX_NO\tunlinked\r\n");
    AfTable t;
    EXPECT_EQ(af_load_cache(t, path.c_str()), 4);
    EXPECT_EQ(state(t, "FSX_GEN"), AFS_LINKED);
    EXPECT_EQ(desc(t, "FSX_GEN"), "General chat");
    EXPECT_EQ(state(t, "FSX_BOT"), AFS_UNKNOWN);
    EXPECT_EQ(desc(t, "FSX_BOT"), "");
    EXPECT_EQ(desc(t, "FSX_TST"), "Tests");
    EXPECT_EQ(state(t, "FSX_NO"), AFS_UNLINKED);
    ASSERT_EQ(af_save_cache(t, path.c_str()), 0);
    EXPECT_EQ(wptest::read_file(path),
              "# wrenpost AreaFix cache: TAG\tlinked|unlinked|unknown\tdescription\r\n"
              "FSX_GEN\tlinked\tGeneral chat\r\nFSX_BOT\tunknown\t\r\nFSX_TST\tunknown\tTests\r\n"
              "FSX_NO\tunlinked\t\r\n");
    AfTable again;
    EXPECT_EQ(af_load_cache(again, path.c_str()), 4);
    EXPECT_EQ(af_load_cache(again, d.file("missing.lst").c_str()), 0);
}

TEST(AreafixReplies, FailedCacheWriteKeepsTheOldCache) {
    // The cache holds what replies deleted long ago told: a write that fails
    // (a full disk) is reported and leaves the old file whole.
    wptest::TempDir d;
    std::string path = d.file("areas_fsx.lst");
    AfTable t;
    af_get(t, "FSX_GEN")->AF_STATE = AFS_LINKED;
    str_copy(af_get(t, "FSX_BOT")->AF_DESC, "Bots", sizeof(AfArea::AF_DESC));
    ASSERT_EQ(af_save_cache(t, path.c_str()), 0);
    std::string saved = wptest::read_file(path);
    af_get(t, "FSX_NEW");
    pf_fault_write_after(1);
    EXPECT_EQ(af_save_cache(t, path.c_str()), 1);
    pf_fault_write_after(0);
    EXPECT_EQ(wptest::read_file(path), saved);
    std::vector<PfDirEntry> list;
    pf_list_dir(d.path().c_str(), list);
    EXPECT_EQ(list.size(), 1u);  // no temporary file left
    AfTable back;
    EXPECT_EQ(af_load_cache(back, path.c_str()), 2);
    EXPECT_EQ(state(back, "FSX_GEN"), AFS_LINKED);
    EXPECT_EQ(desc(back, "FSX_BOT"), "Bots");
}

TEST(AreafixReplies, AreasCommandReadsRobotRepliesFromTheNetmailBase) {
    lang_apply(LANG_EN);
    wptest::TempDir d;
    std::string net = d.file("netmail");
    auto add = [&](const char* from, const std::string& text) {
        std::string sf;
        jam_subf_add(sf, SF_SENDER, from);
        jam_subf_add(sf, SF_RECEIVER, "Jo Point");
        JamMsg m;
        m.jm_subf = sf.data();
        m.jm_subflen = static_cast<uint32_t>(sf.size());
        m.jm_text = text.data();
        m.jm_textlen = static_cast<uint32_t>(text.size());
        m.jm_date = m.jm_now = 1796444632;
        ASSERT_EQ(jam_append(net.c_str(), m), 0);
    };
    add("AreaMgr", "Command: %LIST\r* FSX_GEN .... General chat\rFSX_BOT - Bots\r");
    add("Jo Point", "Command: %LINKED\rFSX_MINE\r");  // not a robot: ignored
    add("areamgr", "Command: -FSX_GEN\rResult: removed\r");
    std::string cfg = d.file("wrenpost.cfg");
    wptest::write_file(cfg, "netmail=" + net + "\n[boss Fido.Net]\n");
    auto r = wptest::run_wrenpost({"-lang", "en", "-c", cfg, "areas"});
    EXPECT_EQ(r.code, 0) << r.out;
    std::vector<std::string> t;
    for (auto& l : wptest::log_lines(r.out)) t.push_back(wptest::log_text(l));
    std::vector<std::string> want = {
        "AreaFix replies evaluated: 2, list: " + d.file("areas_fido.net.lst"),
        "  FSX_BOT  unknown  Bots", "  FSX_GEN  not linked  General chat"};
    ASSERT_GE(t.size(), 6u);
    EXPECT_EQ(std::vector<std::string>(t.end() - 4, t.end() - 1), want);
    EXPECT_NE(
        wptest::read_file(d.file("areas_fido.net.lst")).find("FSX_GEN\tunlinked\tGeneral chat\r\n"),
        std::string::npos);
    auto de = wptest::run_wrenpost({"-lang", "de", "-c", cfg, "areas", "FIDO.NET"});
    EXPECT_NE(de.out.find("  FSX_GEN  nicht verbunden  General chat"), std::string::npos) << de.out;
}
