#include "config/msgserial.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "platform/platform.h"
#include "support/test_support.h"

using wptest::read_file;
using wptest::write_file;

namespace {

struct Cfg {
    wptest::TempDir d;
    std::string path = d.file("wrenpost.cfg");
    std::string dat = d.file("wpserial.dat");
    std::string bak = d.file("wpserial.bak");
    Cfg() { write_file(path, "address=2:5020/1042.7\n"); }
    uint32_t next(uint32_t now) {
        uint32_t s = 0;
        EXPECT_EQ(msgid_serial_next(path.c_str(), now, s), SerialResult::Ok);
        return s;
    }
};

std::string record(uint32_t v) {
    char t[64];
    snprintf(t, sizeof t, "wrenpost msgid serial\n%08x %08x\n", v, ~v);
    return t;
}

}  // namespace

// The clock is only a floor: within one second, and after the clock went
// back, every serial is greater than the one before.
TEST(MsgSerial, NeverRepeatsNorGoesBack) {
    Cfg c;
    struct Step {
        uint32_t now, want;
    } steps[] = {
        {1000, 1000},  // first serial: the clock
        {1000, 1001},  // same second
        {1000, 1002},  //
        {999, 1003},   // clock one second back
        {5000, 5000},  // clock ahead: it wins
        {10, 5001},    // clock set back by far
        {0, 5002},     //
        {0xFFFFFFF0u, 0xFFFFFFF0u},
    };
    for (const Step& s : steps) EXPECT_EQ(c.next(s.now), s.want) << s.now;
    EXPECT_EQ(read_file(c.dat), record(0xFFFFFFF0u));
    EXPECT_EQ(read_file(c.bak), record(0xFFFFFFF0u));
    EXPECT_FALSE(wptest::file_exists(c.d.file("wpserial.tmp")));
    EXPECT_FALSE(wptest::file_exists(c.d.file("wpserial.lck")));
    // The last serial of all is handed out once; then there is no greater one.
    write_file(c.dat, record(0xFFFFFFFFu));
    uint32_t s = 1;
    EXPECT_EQ(msgid_serial_next(c.path.c_str(), 7, s), SerialResult::Failed);
    EXPECT_EQ(s, 0u);
}

// Writers that run at the same moment take turns: every serial once.
TEST(MsgSerial, ConcurrentWritersGetDistinctSerials) {
    Cfg c;
    constexpr int THREADS = 4, EACH = 12;
    std::vector<std::vector<uint32_t>> got(THREADS);
    std::vector<std::thread> ts;
    for (int t = 0; t < THREADS; ++t)
        ts.emplace_back([&c, &got, t] {
            for (int i = 0; i < EACH; ++i) {
                uint32_t s = 0;
                if (msgid_serial_next(c.path.c_str(), 1796444632, s) == SerialResult::Ok)
                    got[t].push_back(s);
            }
        });
    for (auto& t : ts) t.join();
    std::set<uint32_t> all;
    for (const auto& g : got) {
        EXPECT_EQ(g.size(), static_cast<size_t>(EACH));
        EXPECT_TRUE(std::is_sorted(g.begin(), g.end()));
        all.insert(g.begin(), g.end());
    }
    ASSERT_EQ(all.size(), static_cast<size_t>(THREADS * EACH));
    EXPECT_EQ(*all.begin(), 1796444632u);
    EXPECT_EQ(*all.rbegin(), 1796444632u + THREADS * EACH - 1);
}

// A file that is missing, cut, edited or overwritten with garbage counts as
// missing; the other copy keeps the count, and only without either does the
// clock decide again.
TEST(MsgSerial, DamagedOrMissingFilesNeverGiveAnOldSerial) {
    const uint32_t last = 0x70000000;  // ahead of the clock used below
    const uint32_t now = 0x6b1391d8;
    std::string good = record(last);
    std::string trailing = good + "x";
    std::string flipped = good;
    flipped[22] = flipped[22] == '7' ? '6' : '7';  // first digit of the serial
    struct Case {
        const char* name;
        const char* dat;  // nullptr: missing
        const char* bak;
        uint32_t want;
    } cases[] = {
        {"both whole", good.c_str(), good.c_str(), last + 1},
        {"serial file missing", nullptr, good.c_str(), last + 1},
        {"copy missing", good.c_str(), nullptr, last + 1},
        {"serial file garbage", "\x1b[2J\xff garbage", good.c_str(), last + 1},
        {"serial file empty", "", good.c_str(), last + 1},
        {"serial file cut", "wrenpost msgid serial\n7000", good.c_str(), last + 1},
        {"digit changed", flipped.c_str(), good.c_str(), last + 1},
        {"trailing bytes", trailing.c_str(), good.c_str(), last + 1},
        {"both missing: the clock", nullptr, nullptr, now},
        {"both damaged: the clock", "x", "", now},
    };
    for (const Case& k : cases) {
        Cfg c;
        if (k.dat != nullptr) write_file(c.dat, k.dat);
        if (k.bak != nullptr) write_file(c.bak, k.bak);
        EXPECT_EQ(c.next(now), k.want) << k.name;
        // Both copies are whole again afterwards.
        EXPECT_EQ(read_file(c.dat), record(k.want)) << k.name;
        EXPECT_EQ(read_file(c.bak), record(k.want)) << k.name;
    }
}

// The files live beside the configuration, wherever the run was started.
TEST(MsgSerial, FilesLieBesideTheConfiguration) {
    Cfg c;
    EXPECT_EQ(serial_file_base(c.path.c_str()), c.d.file("wpserial"));
    EXPECT_EQ(c.next(42), 42u);
    EXPECT_TRUE(wptest::file_exists(c.dat));
}

#ifndef _WIN32
// Separate processes (the test tool that writes a message as the editor
// does) share the count: with the last serial far ahead of the clock, each
// takes the next one, none the clock's.
TEST(MsgSerial, SeparateProcessesShareTheCount) {
    Cfg c;
    const uint32_t ahead = 0x7ffffff0;
    write_file(c.dat, record(ahead));
    write_file(c.bak, record(ahead));
    write_file(c.d.file("text"), "hello\n");
    std::string tool = std::string(WP_BUILD_DIR) + "/tests/post_local";
    std::vector<PfChild> kids(4);
    for (size_t i = 0; i < kids.size(); ++i)
        ASSERT_EQ(pf_spawn({tool, "-c", c.path, c.d.file("base"), "2:5020/1042.7", "Me", "All",
                            "s" + std::to_string(i), c.d.file("text")},
                           kids[i]),
                  0);
    for (PfChild& k : kids) {
        char buf[256];
        while (pf_read(k.out, buf, sizeof buf) > 0) {
        }
        pf_close(k.out);
        k.out = PF_INVALID;
        EXPECT_EQ(pf_wait_child(k), 0);
    }
    // The MSGIDs in the base: four, all different, all after `ahead`.
    std::string jhr = read_file(c.d.file("base.jhr"));
    std::set<std::string> ids;
    for (size_t p = 0; (p = jhr.find("2:5020/1042.7 ", p)) != std::string::npos; p += 14)
        ids.insert(jhr.substr(p + 14, 8));
    EXPECT_EQ(ids, (std::set<std::string>{"7ffffff1", "7ffffff2", "7ffffff3", "7ffffff4"}));
}
#endif
