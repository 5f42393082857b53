#include "platform/platform.h"

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <thread>

#include "support/test_support.h"

using wptest::TempDir;

namespace {

// A child process that runs `hold` (which takes some resource), reports
// readiness through a pipe, and then waits to be killed.
template <typename F>
pid_t spawn_holder(F hold) {
    int p[2];
    if (pipe(p) != 0) abort();
    pid_t pid = fork();
    if (pid == 0) {
        close(p[0]);
        char ok = hold() ? '1' : '0';
        if (write(p[1], &ok, 1) != 1) _exit(2);
        for (;;) pause();
    }
    close(p[1]);
    char ok = 0;
    if (read(p[0], &ok, 1) != 1) ok = 0;
    close(p[0]);
    EXPECT_EQ(ok, '1') << "holder could not take the resource";
    return pid;
}

void kill_holder(pid_t pid) {
    kill(pid, SIGKILL);
    int status;
    waitpid(pid, &status, 0);
}

}  // namespace

TEST(PlatformFiles, CreateDispositions) {
    TempDir d;
    std::string f = d.file("a");
    EXPECT_EQ(pf_open(f.c_str(), PfAccess::Read, PfCreate::OpenExisting), PF_INVALID);
    EXPECT_EQ(pf_open(f.c_str(), PfAccess::ReadWrite, PfCreate::TruncateExisting), PF_INVALID);
    pf_file h = pf_open(f.c_str(), PfAccess::ReadWrite, PfCreate::CreateNew);
    ASSERT_NE(h, PF_INVALID);
    EXPECT_EQ(pf_write(h, "hello world", 11), 0);
    pf_close(h);
    EXPECT_EQ(pf_open(f.c_str(), PfAccess::ReadWrite, PfCreate::CreateNew), PF_INVALID);

    h = pf_open(f.c_str(), PfAccess::ReadWrite, PfCreate::OpenAlways);  // keeps contents
    EXPECT_EQ(pf_size(h), 11);
    EXPECT_EQ(pf_seek(h, 5, PfSeek::Begin), 5);
    EXPECT_EQ(pf_set_end(h), 0);
    EXPECT_EQ(pf_size(h), 5);
    EXPECT_EQ(pf_seek(h, -2, PfSeek::End), 3);
    char buf[8] = {};
    EXPECT_EQ(pf_read(h, buf, sizeof buf), 2);
    EXPECT_STREQ(buf, "lo");
    EXPECT_EQ(pf_read(h, buf, sizeof buf), 0);
    pf_close(h);

    h = pf_open(f.c_str(), PfAccess::ReadWrite, PfCreate::CreateAlways);
    EXPECT_EQ(pf_size(h), 0);
    pf_close(h);
    h = pf_open(f.c_str(), PfAccess::Read, PfCreate::OpenExisting);
    EXPECT_EQ(pf_write(h, "x", 1), 1);  // read-only handle: the write fails
    pf_close(h);
    EXPECT_EQ(pf_open(d.path().c_str(), PfAccess::Read, PfCreate::OpenExisting), PF_INVALID);
}

// Every file the program opens is a plain file: a FIFO without a writer, a
// directory or a device is refused at once, by every disposition, instead of
// blocking the run (a FIFO would wait for its writer in open or read).
TEST(PlatformFiles, OnlyRegularFilesOpen) {
    TempDir d;
    wptest::FifoWithoutWriter fifo(d.file("fifo"));
    ASSERT_TRUE(fifo.made());
    wptest::write_file(d.file("plain"), "x");
    const std::string refused[] = {d.file("fifo"), d.path(), "/dev/null", "/dev/zero"};
    for (const auto& path : refused) {
        for (PfAccess a : {PfAccess::Read, PfAccess::ReadWrite}) {
            for (PfCreate c : {PfCreate::OpenExisting, PfCreate::OpenAlways}) {
                pf_file h = pf_open(path.c_str(), a, c);
                EXPECT_EQ(h, PF_INVALID) << path;
                if (h != PF_INVALID) pf_close(h);
            }
        }
        PfStat st = pf_stat(path.c_str());
        EXPECT_TRUE(st.exists) << path;
        EXPECT_FALSE(st.is_file) << path;
    }
    EXPECT_TRUE(pf_stat(d.file("plain").c_str()).is_file);
    // A plain file still reads and writes as before (blocking mode).
    pf_file h = pf_open(d.file("plain").c_str(), PfAccess::ReadWrite, PfCreate::OpenExisting);
    ASSERT_NE(h, PF_INVALID);
    char c = 0;
    EXPECT_EQ(pf_read(h, &c, 1), 1);
    EXPECT_EQ(c, 'x');
    pf_close(h);
}

// A text handed in by the user may come through a pipe: pf_open_stream
// reads one, and refuses only directories.
TEST(PlatformFiles, StreamsOpenPipesToo) {
    int p[2];
    ASSERT_EQ(pipe(p), 0);
    ASSERT_EQ(write(p[1], "abc", 3), 3);
    close(p[1]);
    std::string path = "/dev/fd/" + std::to_string(p[0]);
    EXPECT_EQ(pf_open(path.c_str(), PfAccess::Read, PfCreate::OpenExisting), PF_INVALID);
    pf_file h = pf_open_stream(path.c_str());
    ASSERT_NE(h, PF_INVALID);
    char buf[8] = {};
    EXPECT_EQ(pf_read(h, buf, sizeof buf), 3);
    EXPECT_STREQ(buf, "abc");
    pf_close(h);
    close(p[0]);
    TempDir d;
    EXPECT_EQ(pf_open_stream(d.path().c_str()), PF_INVALID);
}

// A read that comes back short (a pipe gives what its writer has written so
// far) goes on in the middle of the piece it stopped in.
TEST(PlatformFiles, VectoredReadGoesOnAfterAShortRead) {
    int p[2];
    ASSERT_EQ(pipe(p), 0);
    ASSERT_EQ(write(p[1], "abcde", 5), 5);
    std::thread writer([&] {
        // Whether or not the reader has taken the first part yet, the
        // pieces must hold the bytes in order.
        EXPECT_EQ(write(p[1], "fghij", 5), 5);
        EXPECT_EQ(write(p[1], "klm", 3), 3);
        close(p[1]);
    });
    char a[3], b[7], c[10];
    PfIoVec v[] = {{a, sizeof a}, {b, sizeof b}, {c, sizeof c}};
    EXPECT_EQ(pf_readv(p[0], v, 3), 13);
    writer.join();
    EXPECT_EQ(std::string(a, 3) + std::string(b, 7) + std::string(c, 3), "abcdefghijklm");
    close(p[0]);
}

TEST(PlatformFiles, SharedOpensSeeEachOthersWrites) {
    TempDir d;
    std::string f = d.file("s");
    pf_file a = pf_open(f.c_str(), PfAccess::ReadWrite, PfCreate::OpenAlways);
    pf_file b = pf_open(f.c_str(), PfAccess::ReadWrite, PfCreate::OpenAlways);
    ASSERT_NE(a, PF_INVALID);
    ASSERT_NE(b, PF_INVALID);
    EXPECT_EQ(pf_write(a, "abc", 3), 0);
    EXPECT_EQ(pf_size(b), 3);
    pf_close(a);
    pf_close(b);
}

TEST(PlatformFiles, FaultInjectionFailsTheNthWrite) {
    TempDir d;
    pf_file h = pf_open(d.file("f").c_str(), PfAccess::ReadWrite, PfCreate::CreateAlways);
    pf_fault_write_after(2);
    EXPECT_EQ(pf_write(h, "1", 1), 0);
    EXPECT_EQ(pf_write(h, "2", 1), 1);
    EXPECT_EQ(pf_write(h, "3", 1), 0);
    EXPECT_EQ(pf_size(h), 2);
    pf_close(h);
}

TEST(PlatformLocks, ByteLockExcludesOtherHandlesAndProcesses) {
    TempDir d;
    std::string f = d.file("base.jhr");
    wptest::write_file(f, std::string(1024, '\0'));
    pf_file a = pf_open(f.c_str(), PfAccess::ReadWrite, PfCreate::OpenExisting);
    pf_file b = pf_open(f.c_str(), PfAccess::ReadWrite, PfCreate::OpenExisting);
    ASSERT_EQ(pf_lock_range(a, 0, 1), 0);
    EXPECT_EQ(pf_lock_range(b, 0, 1), 1);  // same process, other handle: refused
    EXPECT_EQ(pf_lock_range(b, 1, 1), 0);  // another byte is free
    pid_t child = fork();
    if (child == 0)
        _exit(pf_lock_range(pf_open(f.c_str(), PfAccess::ReadWrite, PfCreate::OpenExisting), 0, 1));
    int status = 0;
    waitpid(child, &status, 0);
    EXPECT_EQ(WEXITSTATUS(status), 1);  // another process: refused
    EXPECT_EQ(pf_unlock_range(a, 0, 1), 0);
    EXPECT_EQ(pf_lock_range(b, 0, 1), 0);
    pf_close(a);
    pf_close(b);
}

TEST(PlatformLocks, ByteLockOfAKilledHolderIsFreeAtOnce) {
    TempDir d;
    std::string f = d.file("base.jhr");
    wptest::write_file(f, "x");
    pid_t holder = spawn_holder([&] {
        pf_file h = pf_open(f.c_str(), PfAccess::ReadWrite, PfCreate::OpenExisting);
        return pf_lock_range(h, 0, 1) == 0;
    });
    pf_file mine = pf_open(f.c_str(), PfAccess::ReadWrite, PfCreate::OpenExisting);
    EXPECT_EQ(pf_lock_range(mine, 0, 1), 1);
    kill_holder(holder);
    EXPECT_EQ(pf_lock_range(mine, 0, 1), 0);
    pf_close(mine);
}

TEST(PlatformLocks, LockFileIsExclusiveAndVanishesOnRelease) {
    TempDir d;
    std::string f = d.file("wpjam.lck");
    PfLockFile a, b;
    ASSERT_EQ(pf_lockfile_try(f.c_str(), "owner 1\n", a), 0);
    EXPECT_EQ(wptest::read_file(f), "owner 1\n");
    EXPECT_EQ(pf_lockfile_try(f.c_str(), "owner 2\n", b), 1);
    EXPECT_EQ(wptest::read_file(f), "owner 1\n");  // the loser changed nothing
    pf_lockfile_release(a);
    EXPECT_FALSE(wptest::file_exists(f));
    pf_lockfile_release(a);  // harmless twice
    ASSERT_EQ(pf_lockfile_try(f.c_str(), "owner 2\n", b), 0);
    pf_lockfile_release(b);
    EXPECT_EQ(pf_lockfile_try(d.file("no/such/dir/x.lck").c_str(), "", b), -1);
}

TEST(PlatformLocks, LockFileOfAKilledHolderIsTakenOver) {
    TempDir d;
    std::string f = d.file("wpjam.lck");
    pid_t holder = spawn_holder([&] {
        static PfLockFile lf;
        return pf_lockfile_try(f.c_str(), "holder\n", lf) == 0;
    });
    PfLockFile mine;
    EXPECT_EQ(pf_lockfile_try(f.c_str(), "me\n", mine), 1);
    kill_holder(holder);
    EXPECT_TRUE(wptest::file_exists(f));  // left over, but nobody holds it
    ASSERT_EQ(pf_lockfile_try(f.c_str(), "me\n", mine), 0);
    EXPECT_EQ(wptest::read_file(f), "me\n");
    pf_lockfile_release(mine);
}

TEST(PlatformLocks, LockFileRaceNeverGivesTwoHolders) {
    // Several processes take and release the lock in a loop and count how
    // often they saw another holder inside their critical section.
    TempDir d;
    std::string f = d.file("race.lck");
    std::string marker = d.file("inside");
    const int kProcs = 4;
    pid_t pids[kProcs];
    for (int i = 0; i < kProcs; ++i) {
        pids[i] = fork();
        if (pids[i] == 0) {
            int violations = 0;
            for (int n = 0; n < 300; ++n) {
                PfLockFile lf;
                if (pf_lockfile_try(f.c_str(), "x", lf) != 0) continue;
                pf_file m = pf_open(marker.c_str(), PfAccess::ReadWrite, PfCreate::CreateNew);
                if (m == PF_INVALID) ++violations;
                pf_close(m);
                pf_delete(marker.c_str());
                pf_lockfile_release(lf);
            }
            _exit(violations == 0 ? 0 : 1);
        }
    }
    for (pid_t p : pids) {
        int status = 0;
        waitpid(p, &status, 0);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
}

TEST(PlatformPaths, RenameDeleteMkdirList) {
    TempDir d;
    std::string a = d.file("a"), b = d.file("b");
    wptest::write_file(a, "A");
    wptest::write_file(b, "B");
    EXPECT_NE(pf_rename(a.c_str(), b.c_str(), false), 0);  // no replace
    EXPECT_EQ(wptest::read_file(b), "B");
    EXPECT_EQ(pf_rename(a.c_str(), b.c_str(), true), 0);
    EXPECT_EQ(wptest::read_file(b), "A");
    EXPECT_FALSE(wptest::file_exists(a));
    EXPECT_EQ(pf_rename(b.c_str(), a.c_str(), false), 0);

    EXPECT_EQ(pf_mkdir(d.file("sub").c_str()), 0);
    EXPECT_EQ(pf_mkdir(d.file("sub").c_str()), 1);
    EXPECT_EQ(pf_mkdir(a.c_str()), 1);
    EXPECT_EQ(pf_mkdir(d.file("x/y").c_str()), -1);
    EXPECT_EQ(pf_delete(d.file("sub").c_str()), 1);  // not for directories

    std::vector<PfDirEntry> list;
    ASSERT_EQ(pf_list_dir(d.path().c_str(), list), 0);
    std::sort(list.begin(), list.end(), [](auto& x, auto& y) { return x.name < y.name; });
    ASSERT_EQ(list.size(), 2u);
    EXPECT_EQ(list[0].name, "a");
    EXPECT_TRUE(list[0].is_file);
    EXPECT_FALSE(list[0].is_dir);
    EXPECT_EQ(list[0].size, 1);
    EXPECT_EQ(list[1].name, "sub");
    EXPECT_TRUE(list[1].is_dir);
    EXPECT_FALSE(list[1].is_file);
    EXPECT_EQ(pf_list_dir(d.file("none").c_str(), list), 1);

    PfStat st = pf_stat(a.c_str());
    EXPECT_TRUE(st.exists);
    EXPECT_FALSE(st.is_dir);
    EXPECT_EQ(st.size, 1);
    EXPECT_LE(std::abs(st.mtime - pf_unix_now_utc()), 5);
    EXPECT_FALSE(st.read_only);
    chmod(a.c_str(), 0444);
    EXPECT_TRUE(pf_stat(a.c_str()).read_only);
    EXPECT_FALSE(pf_stat(d.file("none").c_str()).exists);
    EXPECT_EQ(pf_delete(a.c_str()), 0);
    EXPECT_EQ(pf_delete(a.c_str()), 1);
}

TEST(PlatformPaths, FullPathIsAbsoluteAndNormalised) {
    char cwd[4096];
    ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
    std::string here = cwd;
    struct Case {
        std::string in, want;
    } cases[] = {
        {"/a/b/../c/./d", "/a/c/d"},
        {"/../..", "/"},
        {"//x///y/", "/x/y"},
        {"rel/f.cfg", (here == "/" ? "" : here) + "/rel/f.cfg"},
        {".", here},
    };
    for (const auto& c : cases) {
        char out[520];
        ASSERT_EQ(pf_full_path(c.in.c_str(), out, sizeof out), 0) << c.in;
        EXPECT_EQ(std::string(out), c.want) << c.in;
    }
    char small[4];
    EXPECT_EQ(pf_full_path("/abcdef", small, sizeof small), 1);
}

TEST(PlatformTime, LocalTimeAndOffset) {
    const char* old = getenv("TZ");
    std::string saved = old ? old : "";
    struct Case {
        const char* tz;
        int offset;
    } cases[] = {{"UTC0", 0}, {"EST5", -300}, {"IST-5:30", 330}, {"NPT-5:45", 345}};
    for (const auto& c : cases) {
        setenv("TZ", c.tz, 1);
        tzset();
        EXPECT_EQ(pf_utc_offset_minutes(), c.offset) << c.tz;
        int64_t diff = static_cast<int64_t>(pf_unix_now_local()) - pf_unix_now_utc();
        EXPECT_LE(std::abs(diff - c.offset * 60), 2) << c.tz;
        PfLocalTime t = pf_local_time();
        int64_t local = static_cast<int64_t>(pf_unix_now_local());
        EXPECT_LE(std::abs(((t.hour * 60 + t.minute) * 60 + t.second) - local % 86400) % 86398, 2);
    }
    if (old)
        setenv("TZ", saved.c_str(), 1);
    else
        unsetenv("TZ");
    tzset();
    uint64_t t0 = pf_ticks_ms();
    pf_sleep_ms(30);
    EXPECT_GE(pf_ticks_ms() - t0, 30u);
}

TEST(PlatformProcess, PidLiveness) {
    EXPECT_TRUE(pf_pid_alive(pf_getpid()));
    EXPECT_EQ(pf_getpid(), static_cast<uint32_t>(getpid()));
    pid_t child = fork();
    if (child == 0) _exit(0);
    int status;
    waitpid(child, &status, 0);
    EXPECT_FALSE(pf_pid_alive(static_cast<uint32_t>(child)));
    EXPECT_FALSE(pf_pid_alive(0));
    EXPECT_TRUE(pf_pid_alive(1));  // init: exists even when not ours
}

TEST(PlatformProcess, StopSignalsBecomeAFlagOnceThenEndTheProcess) {
    // In a child, so that the second signal can end it.
    pid_t pid = fork();
    if (pid == 0) {
        pf_stop_signals(true);
        if (pf_stop_requested()) _exit(10);
        raise(SIGINT);
        if (!pf_stop_requested()) _exit(11);
        pf_stop_signals(false);
        pf_stop_signals(true);  // switched on again: the flag is cleared
        if (pf_stop_requested()) _exit(12);
        raise(SIGTERM);
        if (!pf_stop_requested()) _exit(13);
        raise(SIGTERM);  // the second one ends the process
        _exit(14);
    }
    ASSERT_GT(pid, 0);
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFSIGNALED(status)) << "exit " << WEXITSTATUS(status);
    EXPECT_EQ(WTERMSIG(status), SIGTERM);
}

// A small frame must leave at once: held back until the peer acknowledges
// the one before (which the peer delays), a request such as M_GET waits the
// whole delayed-acknowledgement time, 40 ms per received file on Linux.
TEST(PlatformNet, ConnectionsSendSmallWritesAtOnce) {
    int l = socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_GE(l, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    ASSERT_EQ(bind(l, reinterpret_cast<sockaddr*>(&a), len), 0);
    ASSERT_EQ(listen(l, 1), 0);
    ASSERT_EQ(getsockname(l, reinterpret_cast<sockaddr*>(&a), &len), 0);
    std::string port = std::to_string(ntohs(a.sin_port));
    pf_sock s = pf_tcp_connect("127.0.0.1", port.c_str());
    ASSERT_NE(s, PF_NOSOCK);
    int on = 0;
    socklen_t n = sizeof on;
    ASSERT_EQ(getsockopt(s, IPPROTO_TCP, TCP_NODELAY, &on, &n), 0);
    EXPECT_NE(on, 0);
    pf_sock_close(s);
    close(l);
}

// A scratch copy gets the owner and group of the file it will replace; the
// fault hook makes the n-th call fail as a refusal of the system would.
TEST(PlatformFiles, ChownLikeGivesTheOwnerAndGroupOfAnotherFile) {
    wptest::TempDir d;
    std::string like = d.file("like"), copy = d.file("copy");
    wptest::write_file(like, "x");
    pf_file h = pf_open(copy.c_str(), PfAccess::ReadWrite, PfCreate::CreateNew);
    ASSERT_NE(h, PF_INVALID);
    EXPECT_EQ(pf_chown_like(h, like.c_str()), 0);  // the same already
    EXPECT_EQ(pf_chown_like(h, d.file("missing").c_str()), 1);
    pf_fault_chown_after(2);
    EXPECT_EQ(pf_chown_like(h, like.c_str()), 0);
    EXPECT_EQ(pf_chown_like(h, like.c_str()), 1);
    EXPECT_EQ(pf_chown_like(h, like.c_str()), 0);  // once only
    if (geteuid() == 0) {
        ASSERT_EQ(chown(like.c_str(), 4711, 4712), 0);
        EXPECT_EQ(pf_chown_like(h, like.c_str()), 0);
        struct stat st;
        ASSERT_EQ(fstat(h, &st), 0);
        EXPECT_EQ(st.st_uid, 4711u);
        EXPECT_EQ(st.st_gid, 4712u);
    }
    pf_close(h);
}
