#include "scanner/outbound.h"

#include <gtest/gtest.h>

#include <string>

#include "support/test_support.h"

TEST(Outbound, PacketNamesIncreaseWithinAProcess) {
    wptest::TempDir d;
    ScanState st;
    st.outdir = d.path();
    std::string path, name;
    uniq_pkt(st, 1000, path, name);
    EXPECT_EQ(name, "000003e8.pkt");
    EXPECT_EQ(path, d.file("000003e8.pkt"));
    uniq_pkt(st, 1000, path, name);  // the same second
    EXPECT_EQ(name, "000003e9.pkt");
    uniq_pkt(st, 500, path, name);  // the clock went back
    EXPECT_EQ(name, "000003ea.pkt");
    wptest::write_file(d.file("000003eb.pkt"), "x");
    wptest::write_file(d.file("000003ec.pkt"), "x");
    uniq_pkt(st, 1000, path, name);  // existing names are skipped
    EXPECT_EQ(name, "000003ed.pkt");
    // A new process starts from the clock again and skips what exists.
    ScanState fresh;
    fresh.outdir = d.path();
    uniq_pkt(fresh, 0x3eb, path, name);
    EXPECT_EQ(name, "000003ed.pkt");
    uniq_pkt(fresh, 0xdeadbeef, path, name);
    EXPECT_EQ(name, "deadbeef.pkt");
}

TEST(Outbound, BundleDigits) {
    struct Case {
        ftn_addr own, boss;
        const char* want;
    } cases[] = {
        {{21, 3, 210, 7}, {21, 3, 210, 0}, "00000007"},  // point: node and point differences
        {{2, 240, 5, 0}, {2, 240, 1, 0}, "00000004"},    // node: net and node differences
        {{1, 1, 1, 0}, {1, 2, 3, 0}, "fffffffe"},        // modulo 65536
        {{2, 240, 1, 3}, {2, 240, 9, 5}, "fff8fffe"},
    };
    for (const auto& c : cases) {
        char out[9];
        bundle_digits(out, c.own, c.boss);
        EXPECT_STREQ(out, c.want);
    }
}

TEST(Outbound, PlaceFileNeverReplacesAndLeavesNoTemporaryFile) {
    wptest::TempDir d;
    ScanState st;
    std::string target = d.file("a.pkt");
    const uint8_t data[] = {1, 2, 3};
    EXPECT_EQ(place_file(st, target.c_str(), data, 3), 0);
    EXPECT_EQ(st.c.sc_files, 1u);
    EXPECT_EQ(place_file(st, target.c_str(), data, 2), 1);  // exists: refused
    EXPECT_EQ(wptest::read_file(target).size(), 3u);
    EXPECT_FALSE(wptest::file_exists(target + ".wp$"));
    pf_fault_write_after(1);
    EXPECT_EQ(place_file(st, d.file("b.pkt").c_str(), data, 3), 1);  // a failed write
    pf_fault_write_after(0);
    EXPECT_FALSE(wptest::file_exists(d.file("b.pkt")));
    EXPECT_FALSE(wptest::file_exists(d.file("b.pkt.wp$")));
    EXPECT_EQ(st.c.sc_files, 1u);
}
