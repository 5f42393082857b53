// The one address text form, read back by every reader of addresses: the
// configuration's (ftn_parse), the packet kludges' (parse_addr) and the
// editor's typed ones (parse_ftn).
#include "core/ftnaddr.h"

#include <gtest/gtest.h>

#include <string>

#include "editor/compose.h"
#include "tosser/packet.h"

namespace {

bool same(const ftn_addr& a, const ftn_addr& b) {
    return a.zone == b.zone && a.net == b.net && a.node == b.node && a.point == b.point;
}

}  // namespace

TEST(FtnAddr, FormatReadsBack) {
    struct Case {
        ftn_addr a;
        const char* text;
        bool small;  // every number within 65535: the configuration form reads it
    } cases[] = {
        {{21, 3, 210, 0}, "21:3/210", true},
        {{21, 3, 210, 7}, "21:3/210.7", true},
        {{2, 0, 0, 0}, "2:0/0", true},
        {{65535, 65535, 65535, 65535}, "65535:65535/65535.65535", true},
        {{65536, 1, 2, 3}, "65536:1/2.3", false},
        {{4294967295u, 4294967295u, 4294967295u, 4294967295u},
         "4294967295:4294967295/4294967295.4294967295",
         false},
    };
    for (const Case& c : cases) {
        char buf[FTN_TEXT_MAX];
        size_t n = ftn_fmt(buf, c.a);
        EXPECT_EQ(std::string(buf), c.text);
        EXPECT_EQ(n, std::string(c.text).size());
        ftn_addr r;
        EXPECT_EQ(ftn_parse(buf, r), c.small ? 1 : 0) << c.text;
        if (c.small) {
            EXPECT_TRUE(same(r, c.a)) << c.text;
        }
        const char* end = nullptr;
        ASSERT_EQ(parse_addr(buf, r, &end), 1) << c.text;
        EXPECT_TRUE(same(r, c.a)) << c.text;
        EXPECT_EQ(end, buf + n) << c.text;
        if (c.a.zone != 0) {
            ASSERT_EQ(parse_ftn(buf, r), 1) << c.text;
            EXPECT_TRUE(same(r, c.a)) << c.text;
        }
    }
}
