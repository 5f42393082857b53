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
