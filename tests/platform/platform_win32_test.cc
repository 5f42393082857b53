// The platform contract on Windows: what the Win32 calls must give that the
// POSIX tests check with fork and signals there.
#include <gtest/gtest.h>

#include <string>

#include "jam/jamlock.h"
#include "platform/platform.h"
#include "support/test_support.h"

using wptest::TempDir;

TEST(Win32Files, DataFilesAreSharedTheLockFileIsNot) {
    TempDir d;
    std::string f = d.file("a.dat"), lck = d.file("x.lck");
    pf_file a = pf_open(f.c_str(), PfAccess::ReadWrite, PfCreate::CreateAlways);
    pf_file b = pf_open(f.c_str(), PfAccess::ReadWrite, PfCreate::OpenExisting);
    ASSERT_NE(a, PF_INVALID);
    EXPECT_NE(b, PF_INVALID);  // two writers share a data file
    EXPECT_EQ(pf_rename(f.c_str(), d.file("b.dat").c_str(), false), 0);  // and it can move
    pf_close(a);
    pf_close(b);

    PfLockFile one, two;
    ASSERT_EQ(pf_lockfile_try(lck.c_str(), "owner", one), 0);
    EXPECT_EQ(pf_lockfile_try(lck.c_str(), "other", two), 1);
    // Nobody may write the held lock file.
    EXPECT_EQ(pf_open(lck.c_str(), PfAccess::ReadWrite, PfCreate::OpenExisting), PF_INVALID);
    pf_lockfile_release(one);
    EXPECT_FALSE(pf_stat(lck.c_str()).exists);
    EXPECT_EQ(pf_lockfile_try(lck.c_str(), "other", two), 0);
    pf_lockfile_release(two);
}

TEST(Win32Files, ByteLocksBelongToTheHandle) {
    TempDir d;
    std::string f = d.file("base.jhr");
    pf_file a = pf_open(f.c_str(), PfAccess::ReadWrite, PfCreate::CreateAlways);
    pf_file b = pf_open(f.c_str(), PfAccess::ReadWrite, PfCreate::OpenExisting);
    ASSERT_NE(a, PF_INVALID);
    ASSERT_NE(b, PF_INVALID);
    EXPECT_EQ(pf_lock_range(a, 0, 1), 0);
    EXPECT_EQ(pf_lock_range(b, 0, 1), 1);
    EXPECT_EQ(pf_lock_range(b, 1, 1), 0);  // no overlap
    EXPECT_EQ(pf_unlock_range(a, 0, 1), 0);
    EXPECT_EQ(pf_lock_range(b, 0, 1), 0);
    pf_close(b);  // closing drops the lock
    EXPECT_EQ(pf_lock_range(a, 0, 2), 0);
    pf_close(a);
}

TEST(Win32Files, RenameWithoutReplaceKeepsTheTarget) {
    TempDir d;
    std::string from = d.file("from"), to = d.file("to");
    wptest::write_file(from, "new");
    wptest::write_file(to, "old");
    EXPECT_NE(pf_rename(from.c_str(), to.c_str(), false), 0);
    EXPECT_EQ(wptest::read_file(to), "old");
    EXPECT_EQ(pf_rename(from.c_str(), to.c_str(), true), 0);
    EXPECT_EQ(wptest::read_file(to), "new");
    EXPECT_FALSE(wptest::file_exists(from));
    EXPECT_NE(pf_rename(from.c_str(), to.c_str(), true), 0);  // source gone
}

TEST(Win32Files, ListingFiltersNothingAndKnowsDirectories) {
    TempDir d;
    wptest::write_file(d.file("a.pkt"), "1");
    wptest::write_file(d.file("a.pktx"), "12");
    ASSERT_EQ(pf_mkdir(d.file("sub").c_str()), 0);
    EXPECT_EQ(pf_mkdir(d.file("sub").c_str()), 1);
    std::vector<PfDirEntry> list;
    ASSERT_EQ(pf_list_dir(d.path().c_str(), list), 0);
    ASSERT_EQ(list.size(), 3u);
    for (const auto& e : list) {
        if (e.name == "sub") {
            EXPECT_TRUE(e.is_dir);
        } else {
            EXPECT_TRUE(e.is_file);
            EXPECT_EQ(e.size, e.name == "a.pkt" ? 1 : 2);
        }
    }
    EXPECT_EQ(pf_list_dir(d.file("missing").c_str(), list), 1);
}

// The lock file of a killed holder is gone: the system closes its handle,
// and delete-on-close removes the file.
TEST(Win32Files, LockFileOfAKilledHolderIsDeleted) {
    TempDir d;
    std::string cfg = d.file("wrenpost.cfg");
    wptest::write_file(cfg, wptest::read_file(WP_SOURCE_DIR "/wrenpost.cfg.example"));
    char lck[WP_PATH_MAX];
    lock_make_path(cfg.c_str(), lck);
    PfLockFile lf;
    {
        wptest::JamLockHolder holder(cfg);
        ASSERT_TRUE(pf_stat(lck).exists);
        EXPECT_EQ(pf_lockfile_try(lck, "test", lf), 1);
    }  // killed here
    for (int i = 0; i < 200 && pf_stat(lck).exists; ++i) pf_sleep_ms(10);
    EXPECT_FALSE(pf_stat(lck).exists);
    EXPECT_EQ(pf_lockfile_try(lck, "test", lf), 0);
    pf_lockfile_release(lf);
}

// Only files on a disk open: the NUL device (like a console or a pipe) is
// refused, so a configuration named that way cannot stall a run.
TEST(Win32Files, OnlyDiskFilesOpen) {
    TempDir d;
    wptest::write_file(d.file("plain"), "x");
    EXPECT_EQ(pf_open("NUL", PfAccess::Read, PfCreate::OpenExisting), PF_INVALID);
    EXPECT_EQ(pf_open("NUL", PfAccess::ReadWrite, PfCreate::OpenAlways), PF_INVALID);
    EXPECT_EQ(pf_open(d.path().c_str(), PfAccess::Read, PfCreate::OpenExisting), PF_INVALID);
    EXPECT_FALSE(pf_stat(d.path().c_str()).is_file);
    EXPECT_TRUE(pf_stat(d.file("plain").c_str()).is_file);
    pf_file h = pf_open(d.file("plain").c_str(), PfAccess::Read, PfCreate::OpenExisting);
    EXPECT_NE(h, PF_INVALID);
    pf_close(h);
}

// Windows hands a new file the rules of its folder: nothing to copy, but a
// missing original and the fault hook still fail.
TEST(Win32Files, ChownLikeHasNothingToCopy) {
    TempDir d;
    std::string like = d.file("like"), copy = d.file("copy");
    wptest::write_file(like, "x");
    pf_file h = pf_open(copy.c_str(), PfAccess::ReadWrite, PfCreate::CreateNew);
    ASSERT_NE(h, PF_INVALID);
    EXPECT_EQ(pf_chown_like(h, like.c_str()), 0);
    EXPECT_EQ(pf_chown_like(h, d.file("missing").c_str()), 1);
    pf_fault_chown_after(1);
    EXPECT_EQ(pf_chown_like(h, like.c_str()), 1);
    EXPECT_EQ(pf_chown_like(h, like.c_str()), 0);
    pf_close(h);
}
