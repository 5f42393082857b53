// The ZIP bundle reader: archives made by Python's zipfile and Info-ZIP zip
// extract exactly; every check refuses its malformed archive with its reason
// and leaves nothing behind.
#include "tosser/unzip.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <cstdlib>
#include <functional>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "app/catalog.h"
#include "core/bytes.h"
#include "core/log.h"
#include "platform/platform.h"
#include "support/test_support.h"

using wptest::TempDir;

namespace {

// Entries of a bundle under construction.
struct ZEntry {
    ZEntry(std::string n, std::string d, int m = 8)
        : name(std::move(n)), data(std::move(d)), method(m) {}
    std::string name;
    std::string data;
    int method = 8;
    std::string central_extra;
    std::string local_extra;
    std::string comment;
};

// A well-formed archive with the offsets of its parts, so that a test can
// damage exactly one field.
struct Zip {
    std::string bytes;
    std::vector<size_t> local;    // offset of each local header
    std::vector<size_t> central;  // offset of each central entry
    size_t end = 0;               // offset of the end record

    static Zip raw(std::string b) {
        Zip z;
        z.bytes = std::move(b);
        return z;
    }
    void p16(size_t off, uint16_t v) { put_le16(reinterpret_cast<uint8_t*>(&bytes[off]), v); }
    void p32(size_t off, uint32_t v) { put_le32(reinterpret_cast<uint8_t*>(&bytes[off]), v); }
};

std::string zcompress(const std::string& data) {
    z_stream z{};
    deflateInit2(&z, 9, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY);
    std::string out(deflateBound(&z, data.size()) + 16, '\0');
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
    z.avail_in = static_cast<uInt>(data.size());
    z.next_out = reinterpret_cast<Bytef*>(&out[0]);
    z.avail_out = static_cast<uInt>(out.size());
    deflate(&z, Z_FINISH);
    out.resize(z.total_out);
    deflateEnd(&z);
    return out;
}

uint32_t zcrc(const std::string& d) {
    return static_cast<uint32_t>(
        crc32(0, reinterpret_cast<const Bytef*>(d.data()), static_cast<uInt>(d.size())));
}

Zip build(const std::vector<ZEntry>& ents, const std::string& comment = "") {
    Zip z;
    std::string cd;
    for (const ZEntry& e : ents) {
        std::string comp = e.method == 8 ? zcompress(e.data) : e.data;
        z.local.push_back(z.bytes.size());
        std::string& b = z.bytes;
        size_t loff = b.size();
        append_le32(b, 0x04034B50);
        append_le16(b, 20);
        append_le16(b, 0);
        append_le16(b, static_cast<uint16_t>(e.method));
        append_le32(b, 0);  // time, date
        append_le32(b, zcrc(e.data));
        append_le32(b, static_cast<uint32_t>(comp.size()));
        append_le32(b, static_cast<uint32_t>(e.data.size()));
        append_le16(b, static_cast<uint16_t>(e.name.size()));
        append_le16(b, static_cast<uint16_t>(e.local_extra.size()));
        b += e.name + e.local_extra + comp;
        std::string c;
        append_le32(c, 0x02014B50);
        append_le16(c, 20);
        append_le16(c, 20);
        append_le16(c, 0);
        append_le16(c, static_cast<uint16_t>(e.method));
        append_le32(c, 0);
        append_le32(c, zcrc(e.data));
        append_le32(c, static_cast<uint32_t>(comp.size()));
        append_le32(c, static_cast<uint32_t>(e.data.size()));
        append_le16(c, static_cast<uint16_t>(e.name.size()));
        append_le16(c, static_cast<uint16_t>(e.central_extra.size()));
        append_le16(c, static_cast<uint16_t>(e.comment.size()));
        append_le16(c, 0);  // disk start
        append_le16(c, 0);
        append_le32(c, 0);
        append_le32(c, static_cast<uint32_t>(loff));
        c += e.name + e.central_extra + e.comment;
        z.central.push_back(cd.size());
        cd += c;
    }
    size_t cd_off = z.bytes.size();
    for (auto& c : z.central) c += cd_off;
    z.bytes += cd;
    z.end = z.bytes.size();
    std::string& b = z.bytes;
    append_le32(b, 0x06054B50);
    append_le16(b, 0);
    append_le16(b, 0);
    append_le16(b, static_cast<uint16_t>(ents.size()));
    append_le16(b, static_cast<uint16_t>(ents.size()));
    append_le32(b, static_cast<uint32_t>(cd.size()));
    append_le32(b, static_cast<uint32_t>(cd_off));
    append_le16(b, static_cast<uint16_t>(comment.size()));
    b += comment;
    return z;
}

std::vector<std::string> dir_names(const std::string& dir) {
    std::vector<PfDirEntry> ents;
    pf_list_dir(dir.c_str(), ents);
    std::vector<std::string> out;
    for (auto& e : ents) out.push_back(e.name);
    return out;
}

int extract(const std::string& bytes, const std::string& dir, ZipResult& r) {
    return zip_extract_mem(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(),
                           dir.c_str(), r);
}

class Unzip : public ::testing::Test {
  protected:
    void SetUp() override {
        lang_apply(LANG_EN);
        con_capture(&log_);
    }
    void TearDown() override { con_capture(nullptr); }
    std::string log_;
};

std::vector<ZEntry> two_packets() {
    return {{"0000abcd.pkt", std::string(5000, 'x') + "tail"}, {"0000abce.pkt", "second packet"}};
}

TEST_F(Unzip, ExtractsPacketsAndSkipsOtherEntries) {
    TempDir d;
    Zip z = build({{"0000abcd.pkt", "packet one"}, {"readme.txt", "hello", 0}});
    ZipResult r;
    ASSERT_EQ(extract(z.bytes, d.path(), r), 0) << r.zx_err;
    EXPECT_EQ(r.zx_count, 1);
    EXPECT_EQ(r.zx_skipped, 1);
    ASSERT_EQ(r.zx_names.size(), 1u);
    EXPECT_EQ(r.zx_names[0], "0000abcd.pkt");
    EXPECT_EQ(wptest::read_file(d.file("0000abcd.pkt")), "packet one");
    EXPECT_EQ(dir_names(d.path()).size(), 1u);
    EXPECT_NE(log_.find("Bundle entry skipped (not a .pkt file): readme.txt"), std::string::npos);
    EXPECT_EQ(r.zx_entry, "");
}

TEST_F(Unzip, EmptyArchiveAndCommentsAreValid) {
    TempDir d;
    ZipResult r;
    Zip empty = build({});
    ASSERT_EQ(empty.bytes.size(), 22u);
    EXPECT_EQ(extract(empty.bytes, d.path(), r), 0);
    EXPECT_EQ(r.zx_count, 0);
    Zip commented = build(two_packets(), std::string(200, 'c'));
    EXPECT_EQ(extract(commented.bytes, d.path(), r), 0) << r.zx_err;
    EXPECT_EQ(r.zx_count, 2);
    // The comment may itself contain an end-record signature.
    TempDir d2;
    std::string tricky = "PK\x05\x06";
    tricky += std::string(30, 'z');
    Zip z2 = build(two_packets(), tricky);
    EXPECT_EQ(extract(z2.bytes, d2.path(), r), 0) << r.zx_err;
}

// One damaged archive and the reason it must give.
struct BadZip {
    const char* name;
    std::function<Zip()> make;
    const char* const* reason;
    const char* entry;  // expected zx_entry
};

Zip damaged(const std::function<void(Zip&)>& f, std::vector<ZEntry> ents = two_packets()) {
    Zip z = build(ents);
    f(z);
    return z;
}

std::vector<BadZip> bad_zips() {
    const char* e1 = "0000abcd.pkt";
    const char* e2 = "0000abce.pkt";
    std::vector<BadZip> c;
    c.push_back({"shorter than an end record", [] { return Zip::raw(std::string(21, '\0')); },
                 &e_eocd, ""});
    c.push_back({"end record cut off",
                 [] { return damaged([](Zip& z) { z.bytes.resize(z.bytes.size() - 3); }); },
                 &e_eocd, ""});
    c.push_back({"garbage after the end record",
                 [] { return damaged([](Zip& z) { z.bytes += "xx"; }); }, &e_eocd, ""});
    c.push_back({"not a zip at all", [] { return Zip::raw(std::string(5000, 'q')); }, &e_eocd, ""});
    c.push_back({"ZIP64 end locator",
                 [] {
                     std::vector<ZEntry> e = two_packets();
                     e[1].comment = std::string(24, 'k');
                     return damaged([](Zip& z) { z.p32(z.end - 20, 0x07064B50); }, e);
                 },
                 &e_zip64, ""});
    c.push_back({"0xFFFF entries",
                 [] { return damaged([](Zip& z) { z.p16(z.end + 10, 0xFFFF); }); }, &e_zip64, ""});
    c.push_back({"directory size 0xFFFFFFFF",
                 [] { return damaged([](Zip& z) { z.p32(z.end + 12, 0xFFFFFFFF); }); }, &e_zip64,
                 ""});
    c.push_back({"directory offset 0xFFFFFFFF",
                 [] { return damaged([](Zip& z) { z.p32(z.end + 16, 0xFFFFFFFF); }); }, &e_zip64,
                 ""});
    c.push_back({"disk number 1", [] { return damaged([](Zip& z) { z.p16(z.end + 4, 1); }); },
                 &e_multi, ""});
    c.push_back({"directory on disk 1", [] { return damaged([](Zip& z) { z.p16(z.end + 6, 1); }); },
                 &e_multi, ""});
    c.push_back({"entries on this disk differ",
                 [] { return damaged([](Zip& z) { z.p16(z.end + 8, 1); }); }, &e_multi, ""});
    c.push_back({"257 entries",
                 [] {
                     std::vector<ZEntry> e;
                     for (int i = 0; i < 257; ++i)
                         e.push_back({"f" + std::to_string(i) + ".pkt", "x", 0});
                     return build(e);
                 },
                 &e_many, ""});
    c.push_back({"directory past the end record",
                 [] { return damaged([](Zip& z) { z.p32(z.end + 12, 5000); }); }, &e_cd, ""});
    c.push_back({"central signature wrong",
                 [] { return damaged([](Zip& z) { z.bytes[z.central[1]] = 'Q'; }); }, &e_cd, ""});
    c.push_back({"central name past the directory",
                 [] { return damaged([](Zip& z) { z.p16(z.central[1] + 28, 200); }); }, &e_cd, ""});
    c.push_back({"central extra with id 1",
                 [] {
                     std::vector<ZEntry> e = two_packets();
                     e[0].central_extra = std::string(
                         "\x01\x00\x04\x00"
                         "abcd",
                         8);
                     return build(e);
                 },
                 &e_zip64, e1});
    c.push_back({"central extra item past the field",
                 [] {
                     std::vector<ZEntry> e = two_packets();
                     e[0].central_extra = std::string(
                         "\x55\x54\x09\x00"
                         "abcd",
                         8);
                     return build(e);
                 },
                 &e_cd, e1});
    c.push_back({"central extra with 3 bytes left over",
                 [] {
                     std::vector<ZEntry> e = two_packets();
                     e[1].central_extra = std::string("\x55\x54\x00\x00xyz", 7);
                     return build(e);
                 },
                 &e_cd, e2});
    for (uint16_t bit : {0x0001, 0x0040, 0x2000}) {
        c.push_back({"encrypted (central flag)",
                     [bit] { return damaged([bit](Zip& z) { z.p16(z.central[0] + 8, bit); }); },
                     &e_enc, e1});
    }
    c.push_back({"method 12", [] { return damaged([](Zip& z) { z.p16(z.central[0] + 10, 12); }); },
                 &e_method, e1});
    c.push_back({"central compressed size 0xFFFFFFFF",
                 [] { return damaged([](Zip& z) { z.p32(z.central[0] + 20, 0xFFFFFFFF); }); },
                 &e_zip64, e1});
    c.push_back({"local offset 0xFFFFFFFF",
                 [] { return damaged([](Zip& z) { z.p32(z.central[1] + 42, 0xFFFFFFFF); }); },
                 &e_zip64, e2});
    c.push_back({"disk start 1",
                 [] { return damaged([](Zip& z) { z.p16(z.central[1] + 34, 1); }); }, &e_multi,
                 e2});
    c.push_back({"entry over 64 MiB",
                 [] { return damaged([](Zip& z) { z.p32(z.central[0] + 24, 67108865); }); },
                 &e_size, e1});
    c.push_back({"total over 256 MiB",
                 [] {
                     std::vector<ZEntry> e;
                     for (int i = 0; i < 5; ++i)
                         e.push_back({"p" + std::to_string(i) + ".pkt", "x"});
                     return damaged(
                         [](Zip& z) {
                             for (int i = 0; i < 5; ++i) z.p32(z.central[i] + 24, 60000000);
                         },
                         e);
                 },
                 &e_size, "p4.pkt"});
    c.push_back({"stored with mismatching sizes",
                 [] {
                     std::vector<ZEntry> e = two_packets();
                     e[1].method = 0;
                     return damaged([](Zip& z) { z.p32(z.central[1] + 24, 3); }, e);
                 },
                 &e_stored, e2});
    for (const char* bad : {"../x.pkt", "sub/x.pkt", "sub\\x.pkt", "x y.pkt", ".pkt", "c:x.pkt",
                            "a..pkt", "\xe4.pkt", ""}) {
        std::string n = bad;
        c.push_back({"bad name",
                     [n] {
                         return build({{"ok.pkt", "1"}, {n, "2"}});
                     },
                     &unzip_e_name, nullptr});
    }
    c.push_back({"63-character name",
                 [] {
                     return build({{std::string(59, 'n') + ".pkt", "2"}});
                 },
                 &unzip_e_name, nullptr});
    c.push_back(
        {"local header after the directory",
         [] { return damaged([](Zip& z) { z.p32(z.central[1] + 42, z.central[0] - 10); }); },
         &unzip_e_range, e2});
    c.push_back({"local signature wrong",
                 [] { return damaged([](Zip& z) { z.bytes[z.local[1] + 1] = 'Q'; }); }, &e_local,
                 e2});
    c.push_back({"local method differs",
                 [] { return damaged([](Zip& z) { z.p16(z.local[0] + 8, 0); }); }, &e_local, e1});
    c.push_back({"encrypted (local flag)",
                 [] { return damaged([](Zip& z) { z.p16(z.local[0] + 6, 1); }); }, &e_enc, e1});
    c.push_back({"local name length differs",
                 [] { return damaged([](Zip& z) { z.p16(z.local[0] + 26, 11); }); }, &e_local, e1});
    c.push_back({"local extra past the directory",
                 [] { return damaged([](Zip& z) { z.p16(z.local[1] + 28, 60000); }); },
                 &unzip_e_range, e2});
    c.push_back({"local extra with id 1",
                 [] {
                     std::vector<ZEntry> e = two_packets();
                     e[1].local_extra = std::string("\x01\x00\x00\x00", 4);
                     return build(e);
                 },
                 &e_zip64, e2});
    c.push_back({"local extra malformed",
                 [] {
                     std::vector<ZEntry> e = two_packets();
                     e[1].local_extra = std::string("\x55\x54", 2);
                     return build(e);
                 },
                 &e_local, e2});
    c.push_back({"local size 0xFFFFFFFF",
                 [] { return damaged([](Zip& z) { z.p32(z.local[0] + 22, 0xFFFFFFFF); }); },
                 &e_zip64, e1});
    c.push_back({"data past the directory",
                 [] { return damaged([](Zip& z) { z.p32(z.central[1] + 20, 500); }); },
                 &unzip_e_range, e2});
    c.push_back({"local name differs",
                 [] { return damaged([](Zip& z) { z.bytes[z.local[1] + 30] = 'X'; }); }, &e_local,
                 e2});
    c.push_back({"duplicate name in another case",
                 [] {
                     return build({{"a.pkt", "1"}, {"A.PKT", "2"}});
                 },
                 &e_dup, "A.PKT"});
    c.push_back({"deflate data broken",
                 [] { return damaged([](Zip& z) { z.bytes[z.local[1] + 42] = 0x07; }); },
                 &e_inflate, e2});
    c.push_back({"wrong length after unpacking",
                 [] { return damaged([](Zip& z) { z.p32(z.central[1] + 24, 14); }); }, &e_len, e2});
    c.push_back({"CRC-32 wrong in the second packet",
                 [] { return damaged([](Zip& z) { z.bytes[z.central[1] + 16] ^= 1; }); }, &e_crc,
                 e2});
    c.push_back({"CRC-32 wrong in a stored packet",
                 [] {
                     std::vector<ZEntry> e = two_packets();
                     e[1].method = 0;
                     return damaged([](Zip& z) { z.bytes[z.local[1] + 30 + 12] ^= 1; }, e);
                 },
                 &e_crc, e2});
    return c;
}

TEST_F(Unzip, RefusesDamagedArchivesLeavingNothing) {
    for (const BadZip& b : bad_zips()) {
        TempDir d;
        Zip z = b.make();
        ZipResult r;
        ASSERT_EQ(extract(z.bytes, d.path(), r), 1) << b.name;
        EXPECT_STREQ(r.zx_err, *b.reason) << b.name;
        if (b.entry) {
            EXPECT_EQ(r.zx_entry, b.entry) << b.name;
        }
        EXPECT_EQ(r.zx_count, 0) << b.name;
        EXPECT_TRUE(dir_names(d.path()).empty()) << b.name << ": files left behind";
    }
}

TEST_F(Unzip, EntryNameIsShownPrintable) {
    TempDir d;
    ZipResult r;
    Zip z = build({{std::string("bad\x01name\xe4") + std::string(80, 'x'), "1"}});
    ASSERT_EQ(extract(z.bytes, d.path(), r), 1);
    EXPECT_STREQ(r.zx_err, unzip_e_name);
    EXPECT_EQ(r.zx_entry, "bad?name?" + std::string(54, 'x'));
}

TEST_F(Unzip, NameCheck) {
    struct {
        const char* name;
        bool ok;
    } cases[] = {{"0000abcd.pkt", true}, {"a", true},    {"A-b_c.9.PKT", true}, {".hidden", false},
                 {"a..b", false},        {"a/b", false}, {"a\\b", false},       {"d:x", false},
                 {"a b", false},         {"", false},    {"x\x7f", false},      {"x~", false}};
    for (auto& c : cases) EXPECT_EQ(name_ok(c.name, strlen(c.name)), c.ok) << c.name;
    std::string n62(62, 'a'), n63(63, 'a');
    EXPECT_TRUE(name_ok(n62.c_str(), 62));
    EXPECT_FALSE(name_ok(n63.c_str(), 63));
}

TEST_F(Unzip, ExistingFileIsAWriteErrorAndIsKept) {
    TempDir d;
    wptest::write_file(d.file("0000abce.pkt"), "already here");
    ZipResult r;
    Zip z = build(two_packets());
    ASSERT_EQ(extract(z.bytes, d.path(), r), 1);
    EXPECT_STREQ(r.zx_err, unzip_e_write);
    EXPECT_EQ(r.zx_entry, "0000abce.pkt");
    EXPECT_EQ(dir_names(d.path()), std::vector<std::string>{"0000abce.pkt"});
    EXPECT_EQ(wptest::read_file(d.file("0000abce.pkt")), "already here");
}

TEST_F(Unzip, FailedWriteRemovesEverything) {
    TempDir d;
    ZipResult r;
    Zip z = build(two_packets());
    pf_fault_write_after(2);  // the second packet's write fails
    int rc = extract(z.bytes, d.path(), r);
    pf_fault_write_after(0);
    ASSERT_EQ(rc, 1);
    EXPECT_STREQ(r.zx_err, unzip_e_write);
    EXPECT_TRUE(dir_names(d.path()).empty());
}

TEST_F(Unzip, DataDescriptorFlagIsAccepted) {
    TempDir d;
    ZipResult r;
    Zip z = damaged([](Zip& z) {
        for (size_t i = 0; i < 2; ++i) {
            z.p16(z.central[i] + 8, 8);
            z.p16(z.local[i] + 6, 8);
            z.p32(z.local[i] + 14, 0);  // CRC and sizes only in the central entry
            z.p32(z.local[i] + 18, 0);
            z.p32(z.local[i] + 22, 0);
        }
    });
    ASSERT_EQ(extract(z.bytes, d.path(), r), 0) << r.zx_err;
    EXPECT_EQ(r.zx_count, 2);
}

TEST_F(Unzip, FileLevelReasons) {
    TempDir d;
    ZipResult r;
    EXPECT_EQ(zip_extract(d.file("missing.zip").c_str(), d.path().c_str(), r), 1);
    EXPECT_STREQ(r.zx_err, e_open);
    EXPECT_EQ(r.zx_entry, "");
    Zip z = build(two_packets());
    wptest::write_file(d.file("b.su0"), z.bytes);
    TempDir out;
    ASSERT_EQ(zip_extract(d.file("b.su0").c_str(), out.path().c_str(), r), 0) << r.zx_err;
    EXPECT_EQ(wptest::read_file(out.file("0000abcd.pkt")), two_packets()[0].data);
    // A file over 256 MiB is refused by its size (sparse, nothing is read).
    std::string big = d.file("big.zip");
    pf_file h = pf_open(big.c_str(), PfAccess::ReadWrite, PfCreate::CreateAlways);
    ASSERT_NE(h, PF_INVALID);
    pf_seek(h, 268435457, PfSeek::Begin);
    pf_set_end(h);
    pf_close(h);
    EXPECT_EQ(zip_extract(big.c_str(), out.path().c_str(), r), 1);
    EXPECT_STREQ(r.zx_err, e_big);
}

TEST_F(Unzip, OutsideToolsBundles) {
    TempDir t;
    std::string cmd = std::string(WP_PYTHON) + " " + WP_SOURCE_DIR +
                      "/tests/tosser/fixtures/make_bundles.py " + t.path();
    ASSERT_EQ(std::system(cmd.c_str()), 0);
    std::istringstream manifest(wptest::read_file(t.file("manifest.txt")));
    std::string name;
    int bundles = 0;
    while (std::getline(manifest, name)) {
        if (name.empty()) continue;
        ++bundles;
        TempDir out;
        ZipResult r;
        log_.clear();
        ASSERT_EQ(zip_extract(t.file(name).c_str(), out.path().c_str(), r), 0)
            << name << ": " << r.zx_err << " / " << r.zx_entry;
        EXPECT_EQ(r.zx_count, 3) << name;
        EXPECT_EQ(r.zx_skipped, 1) << name;
        EXPECT_EQ(r.zx_names, (std::vector<std::string>{"a.pkt", "b.pkt", "C.PKT"})) << name;
        for (const char* p : {"a.pkt", "b.pkt", "C.PKT"})
            EXPECT_EQ(wptest::read_file(out.file(p)),
                      wptest::read_file(t.file(std::string("src/") + p)))
                << name << " " << p;
        EXPECT_EQ(dir_names(out.path()).size(), 3u) << name;
        EXPECT_NE(log_.find("(not a .pkt file): readme.txt"), std::string::npos) << name;
    }
    EXPECT_GE(bundles, 4);
}

TEST(BundleKind, Signatures) {
    struct {
        std::string bytes;
        int kind;
    } cases[] = {
        {"", BK_EMPTY},
        {"PK\x03\x04rest", BK_ZIP},
        {std::string("PK\x05\x06", 4) + std::string(18, '\0'), BK_ZIP},
        {"PK\x03", BK_UNKNOWN},
        {std::string("\x60\xea\x00\x00", 4), BK_ARJ},
        {"ab-lh5-xxxx", BK_LHA},
        {"ab-lh5", BK_UNKNOWN},
        {"\x1a\x08rest", BK_ARC},
        {"\x1a\x15rest", BK_UNKNOWN},
        {std::string("\x1a\x00", 2), BK_UNKNOWN},
        {"ZOO 2.10 Archive", BK_ZOO},
        {"Rar!\x1a\x07", BK_RAR},
        {"\x1f\x8b\x08", BK_GZIP},
        {"x", BK_UNKNOWN},
        {"hello world", BK_UNKNOWN},
    };
    for (auto& c : cases)
        EXPECT_EQ(bundle_kind(reinterpret_cast<const uint8_t*>(c.bytes.data()), c.bytes.size()),
                  c.kind)
            << c.bytes;
    lang_apply(LANG_EN);
    EXPECT_STREQ(bundle_kind_name(BK_ARJ), "ARJ");
    EXPECT_STREQ(bundle_kind_name(BK_UNKNOWN), "unknown (no known archive signature)");
    EXPECT_STREQ(bundle_kind_name(BK_ZIP), "");
}

}  // namespace
