// Whole-file reads: every outcome is a code, also when memory runs out.
#include "core/fileio.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "support/test_support.h"

TEST(FileIo, ReadWholeGivesCodes) {
    wptest::TempDir d;
    std::string s = "old";
    EXPECT_EQ(f_read_whole(d.file("missing").c_str(), s), 1);
    wptest::write_file(d.file("f"), "twelve bytes");
    EXPECT_EQ(f_read_whole(d.file("f").c_str(), s), 0);
    EXPECT_EQ(s, "twelve bytes");
    EXPECT_EQ(f_read_whole(d.file("f").c_str(), s, 11), 2);  // over the limit

#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "address-space limits do not mix with the sanitizer's shadow memory";
#else
    // A file larger than the memory the process may have: code 2, no abort.
    std::filesystem::resize_file(d.file("f"), uint64_t{1} << 31);  // sparse, 2 GiB
    pid_t pid = fork();
    if (pid == 0) {
        struct rlimit lim = {uint64_t{512} << 20, uint64_t{512} << 20};
        setrlimit(RLIMIT_AS, &lim);
        try {
            std::string big;
            _exit(f_read_whole(d.file("f").c_str(), big));
        } catch (...) {
            _exit(99);  // the exception escaped
        }
    }
    int status = 0;
    waitpid(pid, &status, 0);
    ASSERT_TRUE(WIFEXITED(status)) << "the read ended the process";
    EXPECT_EQ(WEXITSTATUS(status), 2);
#endif
}

// UniqueFile closes what it owns exactly once, on every way out. A handle's
// byte lock shows whether it is still open: another handle can take the
// lock only after the owner has closed it.
TEST(FileIo, UniqueFileClosesWhatItOwns) {
    wptest::TempDir d;
    std::string path = d.file("f");
    wptest::write_file(path, "x");
    auto lock_free = [&path] {
        UniqueFile other(f_open_always(path.c_str()));
        return other && pf_lock_range(other.get(), 0, 1) == 0;
    };
    struct Case {
        const char* what;
        void (*act)(UniqueFile& owner, UniqueFile& outside);
        bool closed;  // after the owner's scope has ended
    };
    const Case cases[] = {
        {"destroyed", [](UniqueFile&, UniqueFile&) {}, true},
        {"reset()", [](UniqueFile& f, UniqueFile&) { f.reset(); }, true},
        {"reset to its own handle", [](UniqueFile& f, UniqueFile&) { f.reset(f.get()); }, true},
        {"moved into one that dies", [](UniqueFile& f, UniqueFile&) { UniqueFile g(std::move(f)); },
         true},
        {"assigned over", [](UniqueFile& f, UniqueFile&) { f = UniqueFile(); }, true},
        {"moved out of the scope",
         [](UniqueFile& f, UniqueFile& outside) { outside = std::move(f); }, false},
        {"released", [](UniqueFile& f, UniqueFile& outside) { outside.reset(f.release()); }, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        UniqueFile outside;
        pf_file raw = f_open_always(path.c_str());
        ASSERT_NE(raw, PF_INVALID);
        ASSERT_EQ(pf_lock_range(raw, 0, 1), 0);
        {
            UniqueFile owner(raw);
            ASSERT_TRUE(owner);
            c.act(owner, outside);
            EXPECT_EQ(owner.get() == PF_INVALID, !owner);
        }
        EXPECT_EQ(lock_free(), c.closed);
        EXPECT_EQ(outside.get() == raw, !c.closed);
        outside.reset();
        EXPECT_TRUE(lock_free());
    }
    // Resetting to its own handle keeps it open.
    UniqueFile f(f_open_always(path.c_str()));
    ASSERT_EQ(pf_lock_range(f.get(), 0, 1), 0);
    f.reset(f.get());
    EXPECT_FALSE(lock_free());
}
