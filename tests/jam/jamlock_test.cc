// The JAM lock file: where it lies, what it holds, re-entrance, waiting for
// another process, and the --hold-lock start that simulates a busy editor.
#include "jam/jamlock.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>

#include "jam/jam_test_util.h"
#include "support/test_support.h"

using namespace wptest;
using namespace jamtest;

namespace {

double since(std::chrono::steady_clock::time_point t0) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

std::string cwd() {
    char buf[4096];
    return getcwd(buf, sizeof buf) ? buf : "";
}

// Starts "wrenpost --hold-lock N" and waits until it holds the lock.
struct Holder {
    Child child;
    Holder(const std::string& cfg, const std::string& lck, int seconds)
        : child({WP_BINARY, "-c", cfg, "--hold-lock", std::to_string(seconds)}) {
        // The file appears before its holder has locked it and written its
        // line: wait for the line, which comes after the lock.
        for (int i = 0; i < 500 && read_file(lck).find(" pid ") == std::string::npos; ++i)
            usleep(10000);
    }
};

TEST(JamLockPath, BesideTheConfigurationFile) {
    const std::string here = cwd();
    const std::string longdir(490, 'd');
    const std::string longer(495, 'e');
    struct {
        std::string cfg, want;
    } rows[] = {
        {"/fido/wrenpost.cfg", "/fido/wpjam.lck"},
        {"/fido/sub/../point.cfg", "/fido/wpjam.lck"},
        {"wrenpost.cfg", here + "/wpjam.lck"},
        {"conf/wp.cfg", here + "/conf/wpjam.lck"},
        // Full path too long (504 bytes or more): the path as given is used,
        // and a backslash or colon separates like a slash.
        {longdir + "\\fido\\wrenpost.cfg", longdir + "\\fido\\wpjam.lck"},
        {longer + ":wrenpost.cfg", longer + ":wpjam.lck"},
        {std::string(510, 'x'), "wpjam.lck"},
    };
    for (const auto& r : rows) {
        char out[WP_PATH_MAX];
        lock_make_path(r.cfg.c_str(), out);
        EXPECT_EQ(std::string(out), r.want) << r.cfg;
    }
}

class JamLockTest : public ::testing::Test {
  protected:
    void SetUp() override {
        cfg = dir.file("wrenpost.cfg");
        lck = dir.file("wpjam.lck");
        write_file(cfg, "\n");
        lock_set_cfg(lk, cfg.c_str());
    }
    void TearDown() override { lock_release(lk); }
    TempDir dir;
    std::string cfg, lck;
    JamLock lk;
};

TEST(JamLockWait, ProgramDefaultIsTenSeconds) {
    // The command runs wait this long unless the start is given --lock-wait.
    EXPECT_EQ(LOCK_WAIT_MS, 10000u);
    EXPECT_EQ(JamLock{}.wait_ms, LOCK_WAIT_MS);
}

TEST_F(JamLockTest, ReentrantButNotCounted) {
    ASSERT_EQ(lock_acquire(lk, 0, "wrenpost"), 0);
    EXPECT_EQ(std::string(lk.lock_path), lck);
    EXPECT_EQ(read_file(lck), "wrenpost pid " + std::to_string(getpid()));
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(lock_acquire(lk, 10000, "wrenpost"), 0);  // held: at once, no attempt
    EXPECT_EQ(lk.last_attempts, 0u);
    EXPECT_LT(since(t0), 1.0);
    lock_release(lk);  // one release frees it
    EXPECT_FALSE(file_exists(lck));
    EXPECT_EQ(lk.lock_held, 0);
    lock_release(lk);  // not held: nothing happens
    EXPECT_FALSE(file_exists(lck));
}

TEST_F(JamLockTest, ContentCutsTheOwner) {
    std::string owner(100, 'o');
    ASSERT_EQ(lock_acquire(lk, 0, owner.c_str()), 0);
    EXPECT_EQ(read_file(lck), std::string(63, 'o') + " pid " + std::to_string(getpid()));
}

TEST_F(JamLockTest, LeftOverFileIsReused) {
    write_file(lck, "some old content that is longer than the new one");
    ASSERT_EQ(lock_acquire(lk, 0, "wrenpost"), 0);
    EXPECT_EQ(read_file(lck), "wrenpost pid " + std::to_string(getpid()));
    lock_release(lk);
    EXPECT_FALSE(file_exists(lck));
}

TEST_F(JamLockTest, MissingDirectoryCountsAsBusy) {
    lock_set_cfg(lk, dir.file("nodir/wrenpost.cfg").c_str());
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(lock_acquire(lk, 300, "wrenpost"), 1);
    EXPECT_EQ(lk.last_attempts, 4u);
    EXPECT_GE(since(t0), 0.28);
    EXPECT_EQ(std::string(lk.lock_path), dir.file("nodir/wpjam.lck"));  // kept for the message
}

TEST_F(JamLockTest, WaitsForAnotherProcessThenTakesOverAfterItsDeath) {
    Holder h(cfg, lck, 60);
    ASSERT_TRUE(file_exists(lck));
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(lock_acquire(lk, 2000, "wrenpost"), 1);
    EXPECT_EQ(lk.last_attempts, 21u);
    EXPECT_GE(since(t0), 1.9);  // 20 pauses of 100 ms
    EXPECT_EQ(lk.lock_held, 0);

    h.child.kill_now();
    t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(lock_acquire(lk, 0, "wrenpost"), 0);  // no stale lock after SIGKILL
    EXPECT_EQ(lk.last_attempts, 1u);
    EXPECT_LT(since(t0), 1.0);
    EXPECT_EQ(read_file(lck), "wrenpost pid " + std::to_string(getpid()));
}

TEST_F(JamLockTest, HoldLockStart) {
    // Taken: held for the time given, then released, exit code 0.
    auto t0 = std::chrono::steady_clock::now();
    RunResult r = run_wrenpost({"-c", cfg, "--hold-lock", "1"});
    EXPECT_EQ(r.code, 0) << r.out;
    EXPECT_GE(since(t0), 0.9);
    EXPECT_FALSE(file_exists(lck));

    // Busy: one attempt, exit code 1 without holding.
    ASSERT_EQ(lock_acquire(lk, 0, "wrenpost"), 0);
    t0 = std::chrono::steady_clock::now();
    r = run_wrenpost({"-c", cfg, "--hold-lock", "30"});
    EXPECT_EQ(r.code, 1) << r.out;
    EXPECT_LT(since(t0), 10.0);
    lock_release(lk);

    // While the program holds it, this process cannot take it.
    Holder h(cfg, lck, 30);
    EXPECT_EQ(lock_acquire(lk, 0, "wrenpost"), 1);
    EXPECT_NE(read_file(lck).find("wrenpost pid "), std::string::npos);
}

}  // namespace
