#include "scanner/pktwrite.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "core/bytes.h"
#include "support/test_support.h"

TEST(PktWrite, DateText) {
    struct Case {
        uint32_t t;
        const char* want;
    } cases[] = {
        {0, "01 Jan 70  00:00:00"},           {951782400, "29 Feb 00  00:00:00"},
        {4294967295u, "07 Feb 06  06:28:15"}, {1796444632, "05 Dec 26  04:23:52"},
        {1767225599, "31 Dec 25  23:59:59"},
    };
    for (const auto& c : cases) {
        char out[20];
        fts_date(out, c.t);
        EXPECT_EQ(std::string(out, 20), std::string(c.want) + '\0') << c.t;
    }
    Civil c = unix_civil(4294967295u);
    EXPECT_EQ(c.year, 2106u);
}

TEST(PktWrite, PacketHeader) {
    ftn_addr orig{21, 3, 210, 7}, dest{21, 3, 210, 0};
    Civil jan{2026, 1, 31, 23, 59, 58};
    uint8_t h[58];
    std::memset(h, 0xAA, sizeof h);
    pw_header(h, orig, dest, "", jan);
    struct Field {
        int off;
        uint16_t want;
    } fields[] = {{0, 210}, {2, 210},     {4, 2026}, {6, 0},   {8, 31},  {10, 23}, {12, 59},
                  {14, 58}, {16, 0},      {18, 2},   {20, 3},  {22, 3},  {34, 21}, {36, 21},
                  {38, 0},  {40, 0x0100}, {44, 1},   {46, 21}, {48, 21}, {50, 7},  {52, 0}};
    for (auto& f : fields) EXPECT_EQ(get_le16(h + f.off), f.want) << "offset " << f.off;
    EXPECT_EQ(h[24], 254);
    EXPECT_EQ(h[25], 0);
    EXPECT_EQ(h[42], 0);
    EXPECT_EQ(h[43], 1);
    EXPECT_EQ(get_le32(h + 54), 0u);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(h + 26), 8), std::string(8, '\0'));
    pw_header(h, orig, dest, "EIGHTCHR", Civil{2026, 12, 1, 0, 0, 0});
    EXPECT_EQ(std::string(reinterpret_cast<char*>(h + 26), 8), "EIGHTCHR");
    EXPECT_EQ(get_le16(h + 6), 11);  // December
    pw_header(h, orig, dest, "TOOLONGPASSWORD", jan);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(h + 26), 8), "TOOLONGP");
    EXPECT_EQ(get_le16(h + 34), 21);
}

TEST(PktWrite, StoredZipLayoutAndReaders) {
    const char raw[] = "packet bytes\x00\x01\x02 and more";
    std::string data(raw, sizeof raw - 1);
    Civil t{2026, 12, 5, 12, 0, 59};
    std::vector<uint8_t> out(data.size() + 122);
    size_t n = zip_store(out.data(), "0000000a.pkt", reinterpret_cast<const uint8_t*>(data.data()),
                         data.size(), t);
    ASSERT_EQ(n, data.size() + 122);
    const uint8_t* z = out.data();
    EXPECT_EQ(get_le32(z), 0x04034B50u);
    EXPECT_EQ(get_le16(z + 10), 12 * 2048 + 0 * 32 + 29);  // odd second rounds down
    EXPECT_EQ(get_le16(z + 12), (2026 - 1980) * 512 + 12 * 32 + 5);
    size_t cd = 42 + data.size();
    EXPECT_EQ(get_le32(z + cd), 0x02014B50u);
    EXPECT_EQ(get_le32(z + cd + 38), 0x20u);
    size_t eocd = cd + 58;
    EXPECT_EQ(get_le32(z + eocd + 12), 58u);
    EXPECT_EQ(get_le32(z + eocd + 16), cd);

    // Two independent readers accept it and find the data unchanged.
    wptest::TempDir d;
    std::string zip = d.file("b.su0");
    wptest::write_file(zip, std::string(reinterpret_cast<char*>(out.data()), n));
    std::string check =
        std::string(WP_PYTHON) +
        " -c \"import sys,zipfile; z=zipfile.ZipFile(sys.argv[1]); assert z.testzip() is None; "
        "i=z.infolist()[0]; assert i.filename=='0000000a.pkt' and "
        "i.date_time==(2026,12,5,12,0,58); "
        "sys.stdout.buffer.write(z.read(i))\" " +
        zip + " > " + d.file("x.out");
    ASSERT_EQ(std::system(check.c_str()), 0);
    EXPECT_EQ(wptest::read_file(d.file("x.out")), data);
    EXPECT_EQ(std::system(("unzip -tq " + zip + " > /dev/null").c_str()), 0);

    // An empty packet still makes a valid archive.
    std::vector<uint8_t> empty(122);
    EXPECT_EQ(zip_store(empty.data(), "0000000a.pkt", nullptr, 0, t), 122u);
    EXPECT_EQ(get_le32(empty.data() + 14), 0u);
}
