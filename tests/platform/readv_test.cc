// pf_readv on both systems: the pieces filled in order from the file
// position, however many there are and however long each one is.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/platform.h"
#include "support/test_support.h"

using wptest::TempDir;

namespace {

std::string pattern(size_t n) {
    std::string s;
    for (size_t i = 0; i < n; ++i) s.push_back(static_cast<char>((i * 37 + i / 251) & 0xff));
    return s;
}

// Reads into pieces of the given lengths; the bytes of all pieces joined,
// up to the count read, and that count.
std::pair<std::string, int64_t> read_pieces(pf_file h, const std::vector<size_t>& lengths) {
    std::vector<std::string> bufs;
    for (size_t n : lengths) bufs.emplace_back(n, '\xee');
    std::vector<PfIoVec> v;
    for (std::string& b : bufs) v.push_back(PfIoVec{b.data(), b.size()});
    int64_t r = pf_readv(h, v.data(), v.size());
    std::string joined;
    for (const std::string& b : bufs) joined += b;
    if (r >= 0) joined.resize(static_cast<size_t>(r));
    return {joined, r};
}

}  // namespace

TEST(PlatformReadv, PiecesAreFilledInOrderFromThePosition) {
    TempDir d;
    std::string path = d.file("f");
    const std::string content = pattern(300000);
    wptest::write_file(path, content);
    struct {
        const char* what;
        uint64_t start;
        std::vector<size_t> lengths;
        size_t expect;  // bytes read
    } cases[] = {
        {"one piece", 0, {1000}, 1000},
        {"frame-sized pieces", 5, {32767, 32767, 32767, 17}, 3 * 32767 + 17},
        {"empty pieces between", 100, {0, 10, 0, 0, 20, 0}, 30},
        {"more pieces than one system call takes", 7, std::vector<size_t>(200, 3), 600},
        {"short at the end of the file", 299990, {4, 4, 4, 4}, 10},
        {"at the end of the file", 300000, {8}, 0},
        {"no pieces", 0, {}, 0},
    };
    pf_file h = pf_open(path.c_str(), PfAccess::Read, PfCreate::OpenExisting);
    ASSERT_NE(h, PF_INVALID);
    for (const auto& c : cases) {
        ASSERT_EQ(pf_seek(h, static_cast<int64_t>(c.start), PfSeek::Begin),
                  static_cast<int64_t>(c.start));
        auto got = read_pieces(h, c.lengths);
        EXPECT_EQ(got.second, static_cast<int64_t>(c.expect)) << c.what;
        EXPECT_TRUE(got.first == content.substr(static_cast<size_t>(c.start), c.expect)) << c.what;
        // The position moved past what was read.
        EXPECT_EQ(pf_seek(h, 0, PfSeek::Current), static_cast<int64_t>(c.start + c.expect))
            << c.what;
    }
    // Consecutive calls go on where the last one stopped.
    ASSERT_EQ(pf_seek(h, 0, PfSeek::Begin), 0);
    std::string all;
    for (;;) {
        auto got = read_pieces(h, {32767, 32767, 32767});
        ASSERT_GE(got.second, 0);
        if (got.second == 0) break;
        all += got.first;
    }
    EXPECT_TRUE(all == content);
    pf_close(h);
    char buf[4];
    PfIoVec v{buf, sizeof buf};
    EXPECT_EQ(pf_readv(PF_INVALID, &v, 1), -1);
}
