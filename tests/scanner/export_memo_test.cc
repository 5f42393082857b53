// The export's memo of what it saw of each base ("wpexport.dat"): a run reads
// only what was appended since the last one, and reads a base whole again
// whenever the base was changed in any other way.
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "core/bytes.h"
#include "platform/platform.h"
#include "scanner/scanner_util.h"
#include "support/test_support.h"
#include "tosser/jam.h"

using wptest::add_local;
using wptest::has_log_line;
using wptest::LocalMsg;
using wptest::read_file;
using wptest::write_file;

namespace {

struct Point {
    wptest::TempDir d;
    std::string out = d.file("out"), msg = d.file("msg"), cfg = d.file("wrenpost.cfg");
    std::string base = msg + "/fsxgen", jhr = base + ".jhr";
    Point() {
        pf_mkdir(msg.c_str());
        write_file(cfg, "address=21:3/210.7\nboss_host=127.0.0.1\nboss_address=21:3/210\ninbound=" +
                            d.file("in") + "\noutbound=" + out + "\nnetmail=" + msg +
                            "/netmail\nsystem=My Point\n"
                            "echoarea=FSX_GEN " +
                            base + "\n");
    }
    wptest::RunResult scan() {
        return wptest::run_wrenpost({"-lang", "en", "-c", cfg, "scan"}, d.path());
    }
};

LocalMsg msg(const std::string& subject, uint32_t date = 1796444632) {
    LocalMsg m;
    m.subject = subject;  // all subjects of a test have one length
    m.date = date;
    return m;
}

// Offsets of the message headers in a .jhr image.
std::vector<size_t> headers(const std::string& jhr) {
    std::vector<size_t> offs;
    size_t off = JHI_SIZE;
    while (off + JMH_SIZE <= jhr.size()) {
        offs.push_back(off);
        off += JMH_SIZE +
               get_le32(reinterpret_cast<const uint8_t*>(jhr.data()) + off + JMH_SUBFIELDLEN);
    }
    return offs;
}

uint32_t field(const std::string& jhr, size_t off) {
    return get_le32(reinterpret_cast<const uint8_t*>(jhr.data()) + off);
}
void set_field(std::string& jhr, size_t off, uint32_t v) {
    put_le32(reinterpret_cast<uint8_t*>(jhr.data()) + off, v);
}
void raise_counter(std::string& jhr) {
    set_field(jhr, JHI_MODCOUNTER, field(jhr, JHI_MODCOUNTER) + 1);
}

// Subjects of the messages that have SENT, in base order.
std::string sent(const std::string& base) {
    std::string s;
    JamImage img;
    if (jam_load(base.c_str(), img) != 0) return "?";
    JamHdrWalk w;
    jam_hdr_walk_start(w, img);
    JamHeader h;
    while (jam_hdr_walk_next(w, h)) s += (h.Attribute & JA_SENT) ? "S" : "-";
    return s;
}

// The times of the last write are compared to the nanosecond, but file
// systems keep them in coarser steps: a change right after a run must come
// in a later step to be seen as a change at all.
void next_tick() {
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
}

}  // namespace

// Each case changes a base after a run that exported and marked its three
// messages, in a way that leaves a message to export where a run that went
// on from the memo would not look; the next run must find it.
TEST(ExportMemo, BaseChangedOtherwiseThanByAppendsIsReadWhole) {
    struct Case {
        const char* name;
        std::function<void(Point&, const std::string& before)> change;
        const char* exported;  // the log line of the second run
        const char* sent;      // SENT flags afterwards, in base order
    };
    const std::vector<Case> cases = {
        {"a message marked unsent again, counter raised",
         [](Point& pt, const std::string&) {
             std::string j = read_file(pt.jhr);
             size_t h = headers(j)[0];
             set_field(j, h + JMH_ATTRIBUTE, field(j, h + JMH_ATTRIBUTE) & ~JA_SENT);
             raise_counter(j);
             write_file(pt.jhr, j);
         },
         "  Area FSX_GEN: exported 1", "SSS"},
        {"a message marked unsent again by a writer that keeps the counter",
         [](Point& pt, const std::string&) {
             next_tick();
             std::string j = read_file(pt.jhr);
             size_t h = headers(j)[0];
             set_field(j, h + JMH_ATTRIBUTE, field(j, h + JMH_ATTRIBUTE) & ~JA_SENT);
             write_file(pt.jhr, j);
         },
         "  Area FSX_GEN: exported 1", "SSS"},
        {"packed (two deleted messages dropped), then a new message appended",
         [](Point& pt, const std::string&) {
             std::string j = read_file(pt.jhr);
             auto h = headers(j);
             std::string packed = j.substr(0, JHI_SIZE) + j.substr(h[2]);
             raise_counter(packed);
             write_file(pt.jhr, packed);
             ASSERT_EQ(add_local(pt.base, msg("fou")), 0);
         },
         "  Area FSX_GEN: exported 1", "SS"},
        {"a new message sorted to the front and renumbered, counter kept",
         [](Point& pt, const std::string&) {
             ASSERT_EQ(add_local(pt.base, msg("fou", 1700000000)), 0);
             std::string j = read_file(pt.jhr);
             auto h = headers(j);
             std::string sorted =
                 j.substr(0, JHI_SIZE) + j.substr(h[3]) + j.substr(h[0], h[3] - h[0]);
             set_field(sorted, JHI_BASEMSGNUM, 100);
             write_file(pt.jhr, sorted);
         },
         "  Area FSX_GEN: exported 1", "SSSS"},
        {"replaced by another program's copy with a message unsent (renamed over it)",
         [](Point& pt, const std::string&) {
             next_tick();
             std::string j = read_file(pt.jhr);
             size_t h = headers(j)[1];
             set_field(j, h + JMH_ATTRIBUTE, field(j, h + JMH_ATTRIBUTE) & ~JA_SENT);
             write_file(pt.jhr + ".new", j);
             ASSERT_EQ(pf_rename((pt.jhr + ".new").c_str(), pt.jhr.c_str(), true), 0);
         },
         "  Area FSX_GEN: exported 1", "SSS"},
        {"restored in place from a copy taken before the third message was written",
         [](Point& pt, const std::string& before) { write_file(pt.jhr, before); },
         "  Area FSX_GEN: exported 2", "SS"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Point pt;
        ASSERT_EQ(add_local(pt.base, msg("one")), 0);
        ASSERT_EQ(add_local(pt.base, msg("two")), 0);
        std::string before = read_file(pt.jhr);
        ASSERT_EQ(add_local(pt.base, msg("thr")), 0);
        auto r = pt.scan();
        ASSERT_EQ(r.code, 0) << r.out;
        ASSERT_TRUE(has_log_line(r.out, "  Area FSX_GEN: exported 3")) << r.out;
        ASSERT_TRUE(wptest::file_exists(pt.d.file("wpexport.dat")));
        c.change(pt, before);
        r = pt.scan();
        EXPECT_EQ(r.code, 0) << r.out;
        EXPECT_TRUE(has_log_line(r.out, c.exported)) << r.out;
        EXPECT_EQ(sent(pt.base), c.sent);
        // And the memo the second run left behind is right as well.
        r = pt.scan();
        EXPECT_TRUE(has_log_line(r.out, "  nothing to export")) << r.out;
    }
}

// A damaged header the last run passed is not read again while only appends
// follow (the run reads from where the last one ended), and is found as soon
// as the base changes otherwise.
TEST(ExportMemo, RunReadsOnlyWhatWasAppendedSinceTheLastRun) {
    Point pt;
    for (const char* s : {"one", "two", "thr"}) ASSERT_EQ(add_local(pt.base, msg(s)), 0);
    auto r = pt.scan();
    ASSERT_EQ(r.code, 0) << r.out;
    std::string j = read_file(pt.jhr);
    j[headers(j)[0]] = 'X';  // signature of the first header, counter kept
    write_file(pt.jhr, j);
    for (int run = 0; run < 2; ++run) {
        ASSERT_EQ(add_local(pt.base, msg("fou")), 0);
        ASSERT_EQ(add_local(pt.base, msg("fiv")), 0);
        r = pt.scan();
        EXPECT_EQ(r.code, 0) << r.out;
        EXPECT_TRUE(has_log_line(r.out, "  Area FSX_GEN: exported 2")) << r.out;
    }
    // A deletion by another program raises the counter: read whole, damage found.
    j = read_file(pt.jhr);
    raise_counter(j);
    write_file(pt.jhr, j);
    r = pt.scan();
    EXPECT_EQ(r.code, 5) << r.out;
    EXPECT_TRUE(has_log_line(r.out, "ERROR: JAM base damaged, area skipped: " + pt.base)) << r.out;
}

// A memo file that is not what this program writes counts as no memo.
TEST(ExportMemo, ForeignOrDamagedMemoFileIsIgnored) {
    const std::vector<std::string> files = {
        "",
        "something else\n1 2 3\n",
        // a line that points past a damaged header, for another file number
        "wrenpost export memo 1\n1 1 1 1 999999 999999 5 0 1 999999 1100 0 @BASE@\n",
    };
    for (const std::string& f : files) {
        Point pt;
        for (const char* s : {"one", "two"}) ASSERT_EQ(add_local(pt.base, msg(s)), 0);
        std::string text = f;
        size_t at = text.find("@BASE@");
        if (at != std::string::npos) text.replace(at, 6, pt.base);
        write_file(pt.d.file("wpexport.dat"), text);
        auto r = pt.scan();
        EXPECT_EQ(r.code, 0) << r.out;
        EXPECT_TRUE(has_log_line(r.out, "  Area FSX_GEN: exported 2")) << f << r.out;
        EXPECT_EQ(read_file(pt.d.file("wpexport.dat")).rfind("wrenpost export memo 1\n", 0), 0u);
    }
}
