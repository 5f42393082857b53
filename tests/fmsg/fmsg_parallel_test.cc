// *.MSG writers in several processes at once (fork: Linux only).
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <set>

#include "fmsg/fmsg.h"
#include "support/test_support.h"

using namespace wptest;

namespace {

// Writers in four processes at once: every message gets a number of its
// own, and every file holds one whole message.
TEST(FmsgParallel, WritersNeverShareANumber) {
    TempDir dir;
    const std::string area = dir.file("netmail");
    ASSERT_EQ(pf_mkdir(area.c_str()), 0);
    auto netmail = [] {
        MbMessage m;
        m.from = "Ann Point";
        m.to = "Bob Boss";
        m.orig = {2, 240, 5, 7};
        m.dest = {1, 105, 42, 3};
        m.attrs = MbAttr::Local | MbAttr::Private | MbAttr::Net;
        return m;
    };
    constexpr int KIDS = 4, EACH = 40;
    std::vector<pid_t> kids;
    for (int k = 0; k < KIDS; ++k) {
        pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            FmsgBase b(true);
            if (b.open(area.c_str()) != MbResult::Ok) _exit(2);
            for (int i = 0; i < EACH; ++i) {
                MbMessage m = netmail();
                m.subject = std::to_string(k) + "/" + std::to_string(i);
                m.text = std::string(2000 + 100 * k, char('a' + k));
                uint32_t n = 0;
                if (b.append(m, n) != MbResult::Ok) _exit(3);
            }
            _exit(0);
        }
        kids.push_back(pid);
    }
    for (pid_t pid : kids) {
        int st = 0;
        ASSERT_EQ(waitpid(pid, &st, 0), pid);
        ASSERT_TRUE(WIFEXITED(st));
        ASSERT_EQ(WEXITSTATUS(st), 0);
    }
    FmsgBase base(true);
    ASSERT_EQ(base.open(area.c_str()), MbResult::Ok);
    std::vector<uint32_t> nums;
    ASSERT_EQ(base.numbers(nums), MbResult::Ok);
    ASSERT_EQ(nums.size(), size_t{KIDS * EACH});
    EXPECT_EQ(nums.back(), uint32_t{KIDS * EACH} + 1);  // from 2 on
    std::set<std::string> subjects;
    for (uint32_t n : nums) {
        MbMessage r;
        ASSERT_EQ(base.read_header(n, r), MbResult::Ok);
        std::string text;
        ASSERT_EQ(base.read_text(n, text), MbResult::Ok);
        int k = r.subject[0] - '0';
        EXPECT_EQ(text, std::string(2000 + 100 * k, char('a' + k))) << n;
        subjects.insert(r.subject);
    }
    EXPECT_EQ(subjects.size(), size_t{KIDS * EACH});
}

}  // namespace
