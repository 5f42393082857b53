#include "areafix/request.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <time.h>

#include <chrono>
#include <string>

#include "app/catalog.h"
#include "core/bytes.h"
#include "core/log.h"
#include "jam/crc32.h"
#include "jam/jam.h"
#include "support/test_support.h"

namespace {

struct Point {
    wptest::TempDir d;
    Config c;
    std::string log;
    explicit Point(const std::string& extra) {
        lang_apply(LANG_EN);
        std::string cfg = d.file("wrenpost.cfg");
        wptest::write_file(
            cfg,
            "address=21:3/210.7@fsxnet\nboss_address=21:3/210@fsxnet\nsysop=Jo Point\n"
            "netmail=" +
                d.file("netmail") + "\n" + extra);
        con_capture(&log);
        load_config(c, cfg.c_str());
    }
    ~Point() { con_capture(nullptr); }
    JamHeader only(JamImage& img) {
        EXPECT_EQ(jam_load(d.file("netmail").c_str(), img), 0);
        JamHdrWalk w;
        jam_hdr_walk_start(w, img);
        JamHeader h;
        EXPECT_TRUE(jam_hdr_walk_next(w, h));
        return h;
    }
};

std::vector<std::pair<uint16_t, std::string>> subfields(const JamHeader& h) {
    std::vector<std::pair<uint16_t, std::string>> out;
    JamSubfWalk w;
    JamSubfield sf;
    jam_subf_start(w, h);
    while (jam_subf_next(w, sf))
        out.emplace_back(sf.LoID, std::string(reinterpret_cast<const char*>(sf.data), sf.DatLen));
    return out;
}

}  // namespace

TEST(AreafixRequest, MessageLayout) {
    Point p("areafix_password=\n");
    AfWriter w;
    ASSERT_EQ(af_request(w, p.c, -1, "%LIST\n+FSX_GEN\n", 1796444632), AfReqResult::Written);
    EXPECT_EQ(w.msgnum, 1u);
    JamImage img;
    JamHeader h = p.only(img);
    EXPECT_EQ(h.Attribute, 0x2000005u);
    EXPECT_EQ(h.DateWritten, 1796444632u);
    EXPECT_EQ(h.DateReceived, 1796444632u);
    EXPECT_EQ(h.ReplyTo, 0u);
    EXPECT_EQ(h.REPLYcrc, 0xFFFFFFFFu);
    std::string msgid = "21:3/210.7@fsxnet 6b1391d8";  // 1796444632 in hex
    EXPECT_EQ(h.MSGIDcrc, jam_crc(msgid.c_str()));
    auto sf = subfields(h);
    ASSERT_EQ(sf.size(), 9u);
    std::vector<std::pair<uint16_t, std::string>> want = {
        {SF_OADDR, "21:3/210.7"}, {SF_DADDR, "21:3/210"},   {SF_SENDER, "Jo Point"},
        {SF_RECEIVER, "AreaFix"}, {SF_SUBJECT, ""},         {SF_MSGID, msgid},
        {SF_PID, "wrenpost 0.9"}, {SF_TZUTC, sf[7].second}, {SF_KLUDGE, "CHRS: CP437 2"}};
    EXPECT_EQ(sf, want);
    std::string text;
    jam_read_text(p.d.file("netmail").c_str(), h, text);
    EXPECT_EQ(text, "%LIST\r+FSX_GEN\r");
    // The index record carries the receiver's CRC.
    ASSERT_EQ(img.jdx.size(), 8u);
    EXPECT_EQ(get_le32(img.jdx.data()), jam_crc("areafix"));
}

// The serials come from the file beside the configuration, so requests in
// one second, after the clock went back, or from another process (a writer
// of its own here) never share a MSGID.
TEST(AreafixRequest, SerialsWithinOneSecondDiffer) {
    Point p("");
    AfWriter w;
    ASSERT_EQ(af_request(w, p.c, -1, "%LIST", 1000), AfReqResult::Written);
    ASSERT_EQ(af_request(w, p.c, -1, "%LIST", 1000), AfReqResult::Written);
    AfWriter other;
    ASSERT_EQ(af_request(other, p.c, -1, "%LIST", 999), AfReqResult::Written);
    EXPECT_EQ(other.msgnum, 3u);
    JamImage img;
    ASSERT_EQ(jam_load(p.d.file("netmail").c_str(), img), 0);
    JamHdrWalk hw;
    jam_hdr_walk_start(hw, img);
    JamHeader h;
    std::vector<std::string> ids;
    while (jam_hdr_walk_next(hw, h))
        for (auto& sf : subfields(h))
            if (sf.first == SF_MSGID) ids.push_back(sf.second);
    EXPECT_EQ(ids,
              (std::vector<std::string>{"21:3/210.7@fsxnet 000003e8", "21:3/210.7@fsxnet 000003e9",
                                        "21:3/210.7@fsxnet 000003ea"}));
}

TEST(AreafixRequest, TextConversion) {
    struct Case {
        std::string in, want;
    } cases[] = {
        {"%LIST\n+FSX_GEN", "%LIST\r+FSX_GEN\r"},
        {"a\r\nb\r\n\r\n  \r\n \n", "a\rb\r"},
        {"\na", "\ra\r"},
        {"a\rb", "a\rb\r"},
        {"a\n\nb", "a\r\rb\r"},
        {"", ""},
        {"  \r\n", ""},
    };
    for (const auto& c : cases) EXPECT_EQ(af_text(c.in.c_str()), c.want) << c.in;
    std::string big(40000, 'x');
    EXPECT_EQ(af_text(big.c_str()).size(), TXT_MAX + 1);
}

TEST(AreafixRequest, Tzutc) {
    EXPECT_EQ(af_tzutc(60), "0100");
    EXPECT_EQ(af_tzutc(120), "0200");
    EXPECT_EQ(af_tzutc(-300), "-0500");
    EXPECT_EQ(af_tzutc(0), "0000");
    EXPECT_EQ(af_tzutc(345), "0545");
    EXPECT_EQ(af_tzutc(-210), "-0330");
    // The platform's offset follows TZ, daylight time included.
    const char* old = getenv("TZ");
    std::string saved = old ? old : "";
    struct Zone {
        const char* tz;
        time_t when;
        const char* want;
    } zones[] = {
        {"CET-1CEST,M3.5.0,M10.5.0/3", 1782864000, "0200"},  // July 2026: daylight time
        {"CET-1CEST,M3.5.0,M10.5.0/3", 1767225600, "0100"},  // January
        {"EST5EDT,M3.2.0,M11.1.0", 1782864000, "-0400"},
        {"EST5EDT,M3.2.0,M11.1.0", 1767225600, "-0500"},
    };
    for (const auto& z : zones) {
        setenv("TZ", z.tz, 1);
        tzset();
        struct tm lt;
        localtime_r(&z.when, &lt);
        EXPECT_EQ(af_tzutc(static_cast<int>(lt.tm_gmtoff / 60)), z.want) << z.tz;
    }
    if (old)
        setenv("TZ", saved.c_str(), 1);
    else
        unsetenv("TZ");
    tzset();
}

TEST(AreafixRequest, CommandLine) {
    wptest::TempDir d;
    std::string cfg = d.file("wrenpost.cfg");
    wptest::write_file(cfg,
                       "address=21:3/210.7\nboss_address=21:3/210\nareafix_name=AreaMgr\n"
                       "[boss fsx]\nnetmail=" +
                           d.file("netmail") + "\n[boss other]\n");
    auto r = wptest::run_wrenpost({"-lang", "en", "-c", cfg, "areafix", "fsx", "%LIST;+FSX_GEN"});
    EXPECT_EQ(r.code, 0) << r.out;
    EXPECT_NE(r.out.find("AreaFix request written as netmail #1 (sent with the next poll) to "
                         "AreaMgr @ 21:3/210"),
              std::string::npos);
    JamImage img;
    ASSERT_EQ(jam_load(d.file("netmail").c_str(), img), 0);
    r = wptest::run_wrenpost({"-lang", "en", "-c", cfg, "areafix", "fsx", " ; \t"});
    EXPECT_EQ(r.code, 1);
    EXPECT_NE(r.out.find("ERROR: no AreaFix commands (e.g. \"%LIST;+FSX_GEN\")"),
              std::string::npos);
    r = wptest::run_wrenpost({"-lang", "en", "-c", cfg, "areafix", "other", "%LIST"});
    EXPECT_EQ(r.code, 1);
    EXPECT_NE(r.out.find("ERROR: no netmail area (netmail=) for boss other"), std::string::npos);
    // A held JAM lock: 6.
    PfLockFile lf;
    ASSERT_EQ(pf_lockfile_try(d.file("wpjam.lck").c_str(), "x", lf), 0);
    auto t0 = std::chrono::steady_clock::now();
    r = wptest::run_wrenpost(
        {"-lang", "en", "-c", cfg, "--lock-wait", "300", "areafix", "fsx", "%LIST"});
    std::chrono::duration<double> waited = std::chrono::steady_clock::now() - t0;
    pf_lockfile_release(lf);
    EXPECT_EQ(r.code, 6);
    EXPECT_GE(waited.count(), 0.28);
    EXPECT_LT(waited.count(), 9.0);
    EXPECT_NE(r.out.find("ERROR: JAM bases locked: " + d.file("wpjam.lck")), std::string::npos);
}
