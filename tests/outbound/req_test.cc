// File requests: the .req file beside the flow files, extended under the
// busy lock, written aside and renamed.
#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "outbound/bso.h"
#include "platform/platform.h"
#include "support/test_support.h"

namespace {

using wptest::file_exists;
using wptest::read_file;
using wptest::TempDir;
using wptest::write_file;

TEST(Req, NewThenExtendedWithoutRepeats) {
    TempDir d;
    std::string base = d.file("00f00001");
    ASSERT_EQ(req_add(base.c_str(), {"NODELIST", "files.lst !Pass"}), ReqResult::Ok);
    EXPECT_EQ(read_file(base + ".req"), "NODELIST\r\nfiles.lst !Pass\r\n");
    // A waiting request (another program's, without a last line end) is
    // extended, never overwritten; a name already there is not repeated.
    write_file(base + ".req", "OLD.ZIP\nnodelist");
    ASSERT_EQ(req_add(base.c_str(), {"NODELIST", "new.zip"}), ReqResult::Ok);
    EXPECT_EQ(read_file(base + ".req"), "OLD.ZIP\nnodelist\r\nnew.zip\r\n");
    EXPECT_FALSE(file_exists(base + ".req$"));
    EXPECT_FALSE(file_exists(base + ".bsy"));
}

TEST(Req, BadLinesAndBusyChangeNothing) {
    TempDir d;
    std::string base = d.file("00f00001");
    write_file(base + ".req", "A\r\n");
    for (const char* bad : {"", "!pw", "a b", "a !p !q", "a\rb", "a\nb", " a", "a "})
        EXPECT_EQ(req_add(base.c_str(), {"ok", bad}), ReqResult::Bad) << bad;
    {
        BsoLock other;
        ASSERT_EQ(bso_lock(other, base.c_str(), "mailer"), 0);
        EXPECT_EQ(req_add(base.c_str(), {"B"}), ReqResult::Busy);
    }
    EXPECT_EQ(read_file(base + ".req"), "A\r\n");
    // A failed write leaves the old file whole and no scratch copy (the
    // first write is the busy file's line).
    pf_fault_write_after(2);
    EXPECT_EQ(req_add(base.c_str(), {"C"}), ReqResult::Failed);
    pf_fault_write_after(0);
    EXPECT_EQ(read_file(base + ".req"), "A\r\n");
    EXPECT_FALSE(file_exists(base + ".req$"));
}

// Writers racing for the busy lock: each retries while busy; every name ends
// up in the file exactly once.
TEST(Req, ConcurrentWritersLoseNothing) {
    TempDir d;
    std::string base = d.file("00f00001");
    constexpr int kThreads = 4, kEach = 25;
    std::vector<std::thread> ts;
    for (int t = 0; t < kThreads; ++t) {
        ts.emplace_back([&base, t] {
            for (int i = 0; i < kEach; ++i) {
                std::string name = "f" + std::to_string(t) + "_" + std::to_string(i);
                while (req_add(base.c_str(), {name}) == ReqResult::Busy) pf_sleep_ms(1);
            }
        });
    }
    for (auto& t : ts) t.join();
    std::string text = read_file(base + ".req");
    for (int t = 0; t < kThreads; ++t) {
        for (int i = 0; i < kEach; ++i) {
            std::string line = "f" + std::to_string(t) + "_" + std::to_string(i) + "\r\n";
            size_t at = text.find(line);
            ASSERT_NE(at, std::string::npos) << line;
            EXPECT_EQ(text.find(line, at + 1), std::string::npos) << line;
        }
    }
    EXPECT_EQ(text.size(), [] {
        size_t n = 0;
        for (int t = 0; t < kThreads; ++t)
            for (int i = 0; i < kEach; ++i)
                n += ("f" + std::to_string(t) + "_" + std::to_string(i) + "\r\n").size();
        return n;
    }());
}

}  // namespace
