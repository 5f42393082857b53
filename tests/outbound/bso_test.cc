// Addresses, outbound paths, busy locks and flow-file rewriting.
#include "outbound/bso.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <memory>
#include <string>

#include "app/catalog.h"
#include "core/log.h"
#include "support/test_support.h"

using wptest::TempDir;

namespace {

// The effective settings of a single-boss file.
std::unique_ptr<BossCfg> make_cfg(const TempDir& d, const std::string& extra) {
    std::string cfg = d.file("wp.cfg");
    wptest::write_file(cfg,
                       "address = 2:240/5776.7\nboss_host = h\nboss_address = 2:240/5776\n"
                       "inbound = " +
                           d.file("in") + "\noutbound = " + d.file("out") + "/\n" + extra);
    auto c = std::make_unique<Config>();
    std::string log;
    con_capture(&log);
    EXPECT_EQ(load_config(*c, cfg.c_str()), 0);
    auto b = std::make_unique<BossCfg>(cfg_boss(*c, -1));
    EXPECT_EQ(cfg_require(*b), 0);
    con_capture(nullptr);
    return b;
}

void set_age(const std::string& path, long seconds_ago) {
    struct timeval tv[2];
    gettimeofday(&tv[0], nullptr);
    tv[0].tv_sec -= seconds_ago;
    tv[1] = tv[0];
    ASSERT_EQ(utimes(path.c_str(), tv), 0);
}

class Bso : public ::testing::Test {
  protected:
    void SetUp() override {
        lang_apply(LANG_EN);
        con_capture(&log);
    }
    void TearDown() override { con_capture(nullptr); }
    std::string log;
};

TEST(FtnAddr, ParseTable) {
    struct {
        const char* text;
        int ok;
        uint32_t z, n, f, p;
    } cases[] = {
        {"21:3/210", 1, 21, 3, 210, 0},
        {"2:5020/1042.1@fidonet", 1, 2, 5020, 1042, 1},
        {" \t2:240/5832.7 trailing", 1, 2, 240, 5832, 7},
        {"2:240/5832\r", 1, 2, 240, 5832, 0},
        {"65535:65535/65535.65535", 1, 65535, 65535, 65535, 65535},
        {"2:5020/1042x", 0, 0, 0, 0, 0},
        {"2:5020", 0, 0, 0, 0, 0},
        {"2:70000/1", 0, 0, 0, 0, 0},
        {"5020/1042", 0, 0, 0, 0, 0},
        {"2:240/1.", 0, 0, 0, 0, 0},
        {"2:240/1.x", 0, 0, 0, 0, 0},
        {"", 0, 0, 0, 0, 0},
    };
    for (const auto& c : cases) {
        ftn_addr a;
        a.zone = 99;
        EXPECT_EQ(ftn_parse(c.text, a), c.ok) << c.text;
        EXPECT_EQ(a.zone, c.z) << c.text;
        EXPECT_EQ(a.net, c.n) << c.text;
        EXPECT_EQ(a.node, c.f) << c.text;
        EXPECT_EQ(a.point, c.p) << c.text;
    }
}

TEST(FtnAddr, FormatRoundTripAndHex) {
    char buf[FTN_TEXT_MAX];
    ftn_addr a;
    ASSERT_EQ(ftn_parse("21:3/210", a), 1);
    EXPECT_EQ(ftn_fmt(buf, a), 8u);
    EXPECT_STREQ(buf, "21:3/210");
    ASSERT_EQ(ftn_parse("65535:65535/65535.65535", a), 1);
    EXPECT_EQ(ftn_fmt(buf, a), 23u);
    EXPECT_STREQ(buf, "65535:65535/65535.65535");
    char h[12];
    EXPECT_EQ(hexw(h, 0x1234abcd, 4), h + 4);
    EXPECT_STREQ(h, "abcd");
    hexw(h, 7, 8);
    EXPECT_STREQ(h, "00000007");
}

TEST_F(Bso, PathsByZoneAndPointAndDirectoryCreation) {
    TempDir d;
    auto c = make_cfg(d, "");
    EXPECT_EQ(bso_defzone(*c), 2u);
    std::string out = d.file("out");
    struct {
        const char* addr;
        std::string base;
    } cases[] = {
        {"2:240/5776", out + "/00f01690"},
        {"21:1/100", out + ".015/00010064"},
        {"4096:1/1", out + ".1000/00010001"},
        {"2:240/5776.7", out + "/00f01690.pnt/00000007"},
    };
    for (const auto& k : cases) {
        ftn_addr a;
        ASSERT_EQ(ftn_parse(k.addr, a), 1);
        char base[WP_PATH_MAX];
        ASSERT_EQ(bso_path(*c, base, a, true), 0);
        EXPECT_EQ(std::string(base), k.base) << k.addr;
    }
    struct stat st;
    EXPECT_EQ(stat((out + ".015").c_str(), &st), 0);
    EXPECT_EQ(stat((out + "/00f01690.pnt").c_str(), &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));

    // bso_zone overrides the zone of the own address.
    TempDir d2;
    auto c2 = make_cfg(d2, "bso_zone = 21\n");
    ftn_addr a;
    ftn_parse("2:240/5776", a);
    char base[WP_PATH_MAX];
    ASSERT_EQ(bso_path(*c2, base, a, false), 0);
    EXPECT_EQ(std::string(base), d2.file("out") + ".002/00f01690");
}

TEST_F(Bso, LockIsExclusiveAndRemovedOnRelease) {
    TempDir d;
    std::string base = d.file("00f01690");
    BsoLock a, b;
    ASSERT_EQ(bso_lock(a, base.c_str(), "wrenpost"), 0);
    std::string content = wptest::read_file(base + ".bsy");
    EXPECT_EQ(content, "wrenpost pid " + std::to_string(getpid()) + "\r\n");
    EXPECT_EQ(bso_lock(b, base.c_str(), "other"), 1);
    EXPECT_NE(
        log.find("BSO lock busy (another program is working on the outbound): " + base + ".bsy"),
        std::string::npos);
    bso_unlock(a);
    EXPECT_FALSE(wptest::file_exists(base + ".bsy"));
    bso_unlock(a);  // harmless when not held
    ASSERT_EQ(bso_lock(b, base.c_str(), std::string(100, 'x').c_str()), 0);
    EXPECT_EQ(wptest::read_file(base + ".bsy").substr(0, 52), std::string(47, 'x') + " pid ");
    bso_unlock(b);
}

// Busy files written aside by holders killed before the rename are removed
// once their process is gone; those of live processes and other names stay.
TEST_F(Bso, AsideFilesOfDeadHoldersAreSwept) {
    TempDir d;
    std::string base = d.file("00f01690");
    pid_t dead = fork();
    if (dead == 0) _exit(0);
    waitpid(dead, nullptr, 0);
    std::string gone = base + ".bsy." + std::to_string(dead);
    std::string live = base + ".bsy.1";  // init is always there
    std::string other = base + ".bsy.x1";
    std::string foreign = d.file("00f01691.bsy." + std::to_string(dead));
    for (const auto& f : {gone, live, other, foreign}) wptest::write_file(f, "x pid 1\r\n");
    BsoLock a;
    ASSERT_EQ(bso_lock(a, base.c_str(), "wrenpost"), 0);
    EXPECT_FALSE(wptest::file_exists(gone));
    EXPECT_TRUE(wptest::file_exists(live));
    EXPECT_TRUE(wptest::file_exists(other));
    EXPECT_TRUE(wptest::file_exists(foreign));  // another boss's outbound
    bso_unlock(a);
}

TEST_F(Bso, StaleRules) {
    TempDir d;
    std::string base = d.file("00f01690");
    std::string bsy = base + ".bsy";
    // Another program's lock without a pid: only age counts.
    struct {
        long age;
        int result;
    } ages[] = {{4 * 3600, 0}, {2 * 3600, 1}, {-3600, 1}};
    for (const auto& k : ages) {
        log.clear();
        wptest::write_file(bsy, "foreign lock\n");
        set_age(bsy, k.age);
        BsoLock lk;
        EXPECT_EQ(bso_lock(lk, base.c_str(), "wrenpost"), k.result) << k.age;
        if (k.result == 0) {
            EXPECT_NE(log.find("Removed stale BSO lock (older than 3 hours): " + bsy),
                      std::string::npos);
            EXPECT_NE(wptest::read_file(bsy).find("wrenpost pid"), std::string::npos);
        } else {
            EXPECT_EQ(wptest::read_file(bsy), "foreign lock\n");
        }
        bso_unlock(lk);
        unlink(bsy.c_str());
    }
    // A fresh lock whose process has ended is stale at once, in our form and
    // as a bare number; a live process keeps it.
    pid_t child = fork();
    if (child == 0) _exit(0);
    waitpid(child, nullptr, 0);
    for (std::string text :
         {"wrenpost pid " + std::to_string(child) + "\r\n", std::to_string(child) + "\n"}) {
        log.clear();
        wptest::write_file(bsy, text);
        BsoLock lk;
        EXPECT_EQ(bso_lock(lk, base.c_str(), "wrenpost"), 0) << text;
        EXPECT_NE(log.find("Removed stale BSO lock"), std::string::npos);
        bso_unlock(lk);
    }
    wptest::write_file(bsy, "x pid " + std::to_string(getppid()) + "\r\n");
    BsoLock lk;
    EXPECT_EQ(bso_lock(lk, base.c_str(), "wrenpost"), 1);
}

// A session that runs longer than 3 hours keeps its lock: the holder's
// byte lock on the busy file says it is alive, whatever the file's age (the
// export must not take over an outbound the session is still settling). A
// holder that dies leaves the lock to the pid and age rules.
TEST_F(Bso, LiveLockIsNeverStale) {
    TempDir d;
    std::string base = d.file("00f01690");
    std::string bsy = base + ".bsy";
    BsoLock held;
    ASSERT_EQ(bso_lock(held, base.c_str(), "wrenpost"), 0);
    set_age(bsy, 4 * 3600);
    log.clear();
    BsoLock other;
    EXPECT_EQ(bso_lock(other, base.c_str(), "wrenpost"), 1);
    EXPECT_EQ(log.find("Removed stale BSO lock"), std::string::npos);
    EXPECT_NE(log.find("BSO lock busy"), std::string::npos);
    EXPECT_TRUE(wptest::file_exists(bsy));
    bso_unlock(held);
    EXPECT_FALSE(wptest::file_exists(bsy));

    // A stale foreign lock that another caller is taking over (it holds the
    // byte lock from its judgement to its own rename) is busy for us, not
    // removed a second time.
    wptest::write_file(bsy, "foreign lock\n");
    set_age(bsy, 4 * 3600);
    pf_file taker = pf_open(bsy.c_str(), PfAccess::ReadWrite, PfCreate::OpenExisting);
    ASSERT_EQ(pf_lock_range(taker, 0, 1), 0);
    log.clear();
    EXPECT_EQ(bso_lock(other, base.c_str(), "wrenpost"), 1);
    EXPECT_EQ(log.find("Removed stale BSO lock"), std::string::npos);
    EXPECT_EQ(wptest::read_file(bsy), "foreign lock\n");
    pf_close(taker);

    // The same 4-hour-old file without a living holder is stale.
    wptest::write_file(bsy, "wrenpost pid " + std::to_string(getpid()) + "\r\n");
    set_age(bsy, 4 * 3600);
    log.clear();
    EXPECT_EQ(bso_lock(other, base.c_str(), "wrenpost"), 0);
    EXPECT_NE(log.find("Removed stale BSO lock (older than 3 hours): " + bsy), std::string::npos);
    bso_unlock(other);
}

TEST_F(Bso, FlowRewriteGoesThroughTemporaryFile) {
    TempDir d;
    std::string flo = d.file("00f01690.flo");
    wptest::write_file(flo, "^old\r\n");
    const std::string next = "~old\r\n";
    ASSERT_EQ(flo_write(flo.c_str(), reinterpret_cast<const uint8_t*>(next.data()), next.size()),
              0);
    EXPECT_EQ(wptest::read_file(flo), next);
    EXPECT_FALSE(wptest::file_exists(flo + "$"));
    // The temporary name cannot be created: the old file stays as it was.
    ASSERT_EQ(mkdir((flo + "$").c_str(), 0755), 0);
    const std::string other = "changed";
    EXPECT_EQ(flo_write(flo.c_str(), reinterpret_cast<const uint8_t*>(other.data()), other.size()),
              1);
    EXPECT_EQ(wptest::read_file(flo), next);
    EXPECT_NE(log.find("ERROR: flow file not writable: " + flo), std::string::npos);
}

TEST(FullPath, AbsoluteOrUnchanged) {
    char out[WP_PATH_MAX];
    full_path(out, "/a/b/../c");
    EXPECT_STREQ(out, "/a/c");
    char cwd[4096];
    ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
    full_path(out, "x.pkt");
    EXPECT_EQ(std::string(out), std::string(cwd) + "/x.pkt");
    std::string longp = "/" + std::string(600, 'a');
    full_path(out, longp.c_str());
    EXPECT_EQ(std::string(out), longp.substr(0, WP_PATH_MAX - 1));
}

}  // namespace
