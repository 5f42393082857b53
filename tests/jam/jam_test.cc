// JAM bases: exact bytes of new and grown bases, damaged bases left alone,
// failures at every write, the .jhr byte lock across processes, repair of the
// tail an interrupted append leaves, the shared walkers on foreign data, and
// SIGKILL at random instants (their seed is printed as WP_KILL_SEED=N and
// named in a failure; setting WP_KILL_SEED repeats a run). Every base written
// is also judged by the independent Python reader (tests/interop/jamread.py).
#include <gtest/gtest.h>
#include <zlib.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <set>
#include <thread>

#include "core/bytes.h"
#include "core/fileio.h"
#include "jam/jam_test_util.h"
#include "support/test_support.h"

using namespace wptest;
using namespace jamtest;

namespace {

std::string le16(uint16_t v) {
    return std::string{char(v & 0xff), char(v >> 8)};
}
std::string le32(uint32_t v) {
    std::string s;
    for (int i = 0; i < 4; ++i) s += char((v >> (8 * i)) & 0xff);
    return s;
}
uint32_t rd32(const std::string& s, size_t off) {
    return uint32_t(uint8_t(s[off])) | uint32_t(uint8_t(s[off + 1])) << 8 |
           uint32_t(uint8_t(s[off + 2])) << 16 | uint32_t(uint8_t(s[off + 3])) << 24;
}

// JAM CRC from zlib: zlib's crc32 is the inverted register, so the bare
// register over lower-cased bytes is ~crc32(0, lower).
uint32_t zlib_jam_crc(std::string s) {
    for (char& c : s)
        if (c >= 'A' && c <= 'Z') c = char(c + 32);
    return ~uint32_t(crc32(0, reinterpret_cast<const Bytef*>(s.data()), uInt(s.size())));
}

std::string subfield(uint16_t lo, const std::string& data) {
    return le16(lo) + le16(0) + le32(uint32_t(data.size())) + data;
}

std::string base_header(uint32_t created, uint32_t mod, uint32_t active, uint32_t basenum,
                        char reserved = 0) {
    return std::string("JAM\0", 4) + le32(created) + le32(mod) + le32(active) + le32(0xFFFFFFFFu) +
           le32(basenum) + std::string(1000, reserved);
}

struct Hdr {
    uint32_t subflen = 0, msgidcrc = 0xFFFFFFFFu, date = 0, now = 0, num = 0, attr = 0, txtoff = 0,
             txtlen = 0;
};
std::string msg_header(const Hdr& h) {
    return std::string("JAM\0", 4) + le16(1) + le16(0) + le32(h.subflen) + le32(0) +
           le32(h.msgidcrc) + le32(0xFFFFFFFFu) + le32(0) + le32(0) + le32(0) + le32(h.date) +
           le32(h.now) + le32(h.now) + le32(h.num) + le32(h.attr) + le32(0) + le32(h.txtoff) +
           le32(h.txtlen) + le32(0xFFFFFFFFu) + le32(0);
}

struct Files {
    std::string jhr, jdx, jdt, jlr;
    bool has_jdx, has_jdt, has_jlr;
};
Files snapshot(const std::string& b) {
    return Files{read_file(b + ".jhr"),  read_file(b + ".jdx"),   read_file(b + ".jdt"),
                 read_file(b + ".jlr"),  file_exists(b + ".jdx"), file_exists(b + ".jdt"),
                 file_exists(b + ".jlr")};
}
void expect_same(const Files& a, const Files& b) {
    EXPECT_EQ(a.jhr, b.jhr);
    EXPECT_EQ(a.jdx, b.jdx);
    EXPECT_EQ(a.jdt, b.jdt);
    EXPECT_EQ(a.jlr, b.jlr);
    EXPECT_EQ(a.has_jdx, b.has_jdx);
    EXPECT_EQ(a.has_jdt, b.has_jdt);
    EXPECT_EQ(a.has_jlr, b.has_jlr);
}

// What our two walkers see of a base. Checks that they agree: every live
// header the header walk finds is the one the index points at, and the index
// walk finds exactly those.
struct View {
    std::vector<uint32_t> numbers;      // index walk, live messages
    std::vector<std::string> subjects;  // same order
    size_t raw_headers = 0;             // header walk without index knowledge
};
View our_view(const std::string& b) {
    View v;
    JamImage img;
    EXPECT_EQ(jam_load(b.c_str(), img), 0);
    JamHdrWalk w;
    JamHeader h;
    std::set<uint32_t> walked;
    jam_hdr_walk_start(w, img);
    while (jam_hdr_walk_next(w, h)) {
        if (h.Attribute & JA_DELETED) continue;
        EXPECT_TRUE(jam_is_indexed(img, h)) << "header at " << h.offset;
        walked.insert(h.offset);
    }
    EXPECT_FALSE(w.damaged);
    jam_hdr_walk_start(w, img.jhr.data(), img.jhr.size());
    while (jam_hdr_walk_next(w, h)) ++v.raw_headers;
    // Without the index, the torn header a killed append may leave at the end
    // shows as damage there, and only there.
    EXPECT_TRUE(!w.damaged || walked.empty() || w.pos > *walked.rbegin()) << w.pos;

    JamIdxWalk iw;
    uint32_t num, ucrc;
    jam_idx_walk_start(iw, img.jhr.data(), img.jhr.size(), img.jdx.data(), img.jdx.size(),
                       img.base.BaseMsgNum);
    std::set<uint32_t> indexed;
    while (jam_idx_walk_next(iw, num, ucrc, h)) {
        EXPECT_EQ(h.MessageNumber, num);
        if (h.Attribute & JA_DELETED) continue;
        indexed.insert(h.offset);
        v.numbers.push_back(num);
        std::string s;
        EXPECT_TRUE(jam_subf_find(h, SF_SUBJECT, s));
        v.subjects.push_back(s);
    }
    EXPECT_EQ(walked, indexed);
    return v;
}

class JamTest : public ::testing::Test {
  protected:
    void SetUp() override {
        lang_apply(LANG_EN);
        crc_init();
        con_capture(&log);
    }
    void TearDown() override {
        con_capture(nullptr);
        pf_fault_write_after(0);
    }
    std::string path(const char* name = "area") { return dir.file(name); }
    void sigkill_rounds(const std::string& b, const std::string& logfile, const std::string& mode);
    int append(const std::string& b, Request& r) { return jam_append(b.c_str(), r.m); }
    std::vector<std::string> texts() {
        std::vector<std::string> t;
        for (const auto& l : log_lines(log)) t.push_back(log_text(l));
        return t;
    }
    void expect_python_ok(const std::string& b, const std::string& flags = "--ours --counts") {
        std::string out;
        EXPECT_EQ(python_check(b, flags, &out), 0) << out;
    }
    TempDir dir;
    std::string log;
};

TEST(Crc, TableAndJamValues) {
    crc_init();
    // Table entries are the CRC of one byte from a zero register.
    struct {
        uint8_t n;
        uint32_t entry;
    } rows[] = {{0, 0}, {1, 0x77073096u}, {128, 0xEDB88320u}, {255, 0x2D02EF8Du}};
    for (auto r : rows) EXPECT_EQ(crc_update(&r.n, 1, 0), r.entry) << int(r.n);
    EXPECT_EQ(jam_crc("abc"), 0xCADBBE3Du);
    EXPECT_EQ(jam_crc("ABC"), 0xCADBBE3Du);
    EXPECT_EQ(jam_crc(""), 0xFFFFFFFFu);
    crc_init();  // again: same table
    EXPECT_EQ(jam_crc("ABC"), 0xCADBBE3Du);
}

TEST(Crc, MatchesZlibAndFoldsOnlyAsciiLetters) {
    std::mt19937 rng(7);
    for (size_t len : {0u, 1u, 7u, 64u, 1000u, 65537u}) {
        std::string s(len, '\0');
        for (char& c : s) c = char(rng());
        uint32_t z = uint32_t(crc32(0, reinterpret_cast<const Bytef*>(s.data()), uInt(len)));
        // ZIP form: start 0xFFFFFFFF, invert at the end.
        EXPECT_EQ(~crc_update(s.data(), len, 0xFFFFFFFFu), z) << len;
        EXPECT_EQ(crc_update_lc(s.data(), len, 0xFFFFFFFFu), zlib_jam_crc(s)) << len;
        // Continuing a register over two pieces equals one pass.
        size_t half = len / 2;
        EXPECT_EQ(crc_update(s.data() + half, len - half, crc_update(s.data(), half, 0x5A5A5A5Au)),
                  crc_update(s.data(), len, 0x5A5A5A5Au));
    }
    // Long runs take the carry-less-multiply path where the processor has it:
    // every length around its thresholds, from every alignment, against zlib.
    std::string big(5000, '\0');
    for (char& c : big) c = char(rng());
    for (size_t len : {63u, 64u, 255u, 256u, 257u, 271u, 319u, 320u, 1023u, 4977u})
        for (size_t off = 0; off < 16; off += 5) {
            auto* d = reinterpret_cast<const Bytef*>(big.data() + off);
            EXPECT_EQ(~crc_update(d, len, 0xFFFFFFFFu), uint32_t(crc32(0, d, uInt(len))))
                << len << " at " << off;
        }
    // Bytes from 0x80 up (CP437 umlauts) and '@', '[' stay as they are.
    const char upper[] = "\x8E\x99\x9A@[Z", lower[] = "\x8E\x99\x9A@[z";
    EXPECT_EQ(crc_update_lc(upper, 6, 0xFFFFFFFFu), crc_update(lower, 6, 0xFFFFFFFFu));
    const char differ[] = "\x84\x94\x81`{";
    EXPECT_NE(crc_update_lc(differ, 5, 0xFFFFFFFFu), crc_update_lc(upper, 5, 0xFFFFFFFFu));
}

TEST(Mkpath, AppendsAndCutsAt520Bytes) {
    struct {
        size_t base_len;
        size_t want_len;
    } rows[] = {{10, 14}, {515, 519}, {516, 519}, {519, 519}};
    for (auto r : rows) {
        std::string b(r.base_len, 'b');
        char out[WP_PATH_MAX];
        mkpath(out, b.c_str(), ".jhr");
        EXPECT_EQ(str_len(out), r.want_len) << r.base_len;
        EXPECT_EQ(std::string(out), (b + ".jhr").substr(0, r.want_len));
    }
}

TEST_F(JamTest, NewBaseIsWrittenByteExact) {
    const std::string b = path();
    Request r("Al Ice", "Bob Receiver", "Hello there", "2:280/5555.1 0001abcd",
              "Line one\rLine two\r");
    r.m.jm_attr = JA_LOCAL | JA_PRIVATE | JA_NET;
    r.m.jm_replyto = 0;
    ASSERT_EQ(append(b, r), 0);
    EXPECT_EQ(r.m.jm_msgnum, 1u);
    EXPECT_TRUE(log.empty()) << log;

    std::string subs = subfield(0, "2:280/5555.1") + subfield(2, "Al Ice") +
                       subfield(3, "Bob Receiver") + subfield(6, "Hello there") +
                       subfield(4, "2:280/5555.1 0001abcd");
    Hdr h;
    h.subflen = uint32_t(subs.size());
    h.msgidcrc = zlib_jam_crc("2:280/5555.1 0001abcd");
    h.date = 1700000000u - 60;
    h.now = 1700000000u;
    h.num = 1;
    h.attr = 0x02000005u;
    h.txtoff = 0;
    h.txtlen = 18;
    EXPECT_EQ(read_file(b + ".jhr"), base_header(1700000000u, 1, 1, 1) + msg_header(h) + subs);
    EXPECT_EQ(read_file(b + ".jhr").size(), 1024 + 76 + subs.size());
    EXPECT_EQ(read_file(b + ".jdx"), le32(zlib_jam_crc("Bob Receiver")) + le32(1024));
    EXPECT_EQ(read_file(b + ".jdt"), "Line one\rLine two\r");
    EXPECT_TRUE(file_exists(b + ".jlr"));
    EXPECT_EQ(read_file(b + ".jlr"), "");
    expect_python_ok(b);
}

TEST_F(JamTest, AppendNumbersFromBaseMsgNumAndIndexRecords) {
    // A base with BaseMsgNum 100 and three messages, as another program may
    // leave it (reserved bytes in use). The headers' own numbers do not count.
    for (uint32_t first_hdr_num : {100u, 7u}) {
        SCOPED_TRACE(first_hdr_num);
        const std::string b = path(first_hdr_num == 100 ? "a100" : "a7");
        std::string jhr = base_header(12345, 41, 3, 100, 'r');
        std::string jdx, jdt(50, 't');
        for (uint32_t i = 0; i < 3; ++i) {
            std::string subs = subfield(6, "S" + std::to_string(i)) + subfield(9999, "foreign");
            Hdr h;
            h.subflen = uint32_t(subs.size());
            h.num = first_hdr_num + i;
            h.txtoff = 10 * i;
            h.txtlen = 10;
            jdx += le32(0x1234) + le32(uint32_t(jhr.size()));
            jhr += msg_header(h) + subs;
        }
        write_file(b + ".jhr", jhr);
        write_file(b + ".jdx", jdx);
        write_file(b + ".jdt", jdt);

        Request r("From", "To Name", "New", "", "hello");
        ASSERT_EQ(append(b, r), 0);
        EXPECT_EQ(r.m.jm_msgnum, 103u);
        std::string after = read_file(b + ".jhr");
        // Old headers untouched; base header: counters +1, the rest as it was.
        EXPECT_EQ(after.substr(1024, jhr.size() - 1024), jhr.substr(1024));
        EXPECT_EQ(after.substr(0, 8), jhr.substr(0, 8));
        EXPECT_EQ(rd32(after, 8), 42u);
        EXPECT_EQ(rd32(after, 12), 4u);
        EXPECT_EQ(after.substr(16, 1008), jhr.substr(16, 1008));
        // The new header sits at the old end, its text at the old end of .jdt.
        EXPECT_EQ(after.substr(jhr.size(), 4), std::string("JAM\0", 4));
        EXPECT_EQ(rd32(after, jhr.size() + 48), 103u);
        EXPECT_EQ(rd32(after, jhr.size() + 60), 50u);
        EXPECT_EQ(read_file(b + ".jdt"), jdt + "hello");
        EXPECT_EQ(read_file(b + ".jdx"),
                  jdx + le32(zlib_jam_crc("To Name")) + le32(uint32_t(jhr.size())));

        Request r2("From", "To Name", "Next", "", "");
        ASSERT_EQ(append(b, r2), 0);
        EXPECT_EQ(r2.m.jm_msgnum, 104u);
        if (first_hdr_num == 100) expect_python_ok(b, "--ours");
    }
}

TEST_F(JamTest, EmptyTextAndMissingMsgid) {
    const std::string b = path();
    Request r1("A", "B", "first", "1:2/3 1", "abc");
    ASSERT_EQ(append(b, r1), 0);
    Request r2("A", "B", "second", "", "");
    ASSERT_EQ(append(b, r2), 0);
    JamImage img;
    ASSERT_EQ(jam_load(b.c_str(), img), 0);
    JamHdrWalk w;
    JamHeader h;
    jam_hdr_walk_start(w, img);
    ASSERT_TRUE(jam_hdr_walk_next(w, h));
    ASSERT_TRUE(jam_hdr_walk_next(w, h));
    EXPECT_EQ(h.MessageNumber, 2u);
    EXPECT_EQ(h.TxtLen, 0u);
    EXPECT_EQ(h.TxtOffset, 3u);
    EXPECT_EQ(h.MSGIDcrc, 0xFFFFFFFFu);
    EXPECT_EQ(read_file(b + ".jdt"), "abc");
    expect_python_ok(b);
}

TEST_F(JamTest, DamagedBaseHeaderLeavesEverythingUnchanged) {
    struct {
        const char* name;
        std::string jhr;
        bool other_files;
    } rows[] = {
        {"500 bytes", std::string(500, 'J'), false},
        {"1023 bytes", base_header(1, 1, 1, 1).substr(0, 1023), true},
        {"wrong signature", std::string("JAM\1", 4) + base_header(1, 1, 1, 1).substr(4), true},
        {"lower-case signature", "jam" + base_header(1, 1, 1, 1).substr(3) + "xyz", false},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        log.clear();
        const std::string b = path(row.name);
        write_file(b + ".jhr", row.jhr);
        if (row.other_files) {
            write_file(b + ".jdx", le32(1) + le32(1024));
            write_file(b + ".jdt", "text");
        }
        Files before = snapshot(b);
        Request r("A", "B", "S", "1:2/3 4", "text");
        EXPECT_EQ(append(b, r), 1);
        EXPECT_EQ(texts(), std::vector<std::string>{"ERROR: JAM base damaged (header): " + b});
        expect_same(before, snapshot(b));
    }
}

TEST_F(JamTest, MissingDirectoryCannotBeOpened) {
    const std::string b = dir.file("no/such/dir/area");
    Request r("A", "B", "S", "", "t");
    EXPECT_EQ(append(b, r), 1);
    EXPECT_EQ(texts(), std::vector<std::string>{"ERROR: cannot open JAM base: " + b});
    EXPECT_FALSE(file_exists(dir.file("no")));
}

TEST_F(JamTest, ErrorTextsOfBothLanguages) {
    const char* const* rows[] = {&jam_m_open, &jam_m_corrupt, &m_write, &jam_m_locked, &m_saveerr};
    lang_apply(LANG_DE);
    for (auto r : rows) EXPECT_EQ(std::string(*r).rfind("FEHLER: ", 0), 0u) << *r;
    EXPECT_EQ(std::string(dupe_m_full).rfind("Warnung: ", 0), 0u);
    lang_apply(LANG_EN);
    for (auto r : rows) {
        EXPECT_EQ(std::string(*r).rfind("ERROR: ", 0), 0u) << *r;
        EXPECT_EQ(std::string(*r).back(), ' ');
    }
}

// Offsets are 32 bits: a text or header that would end beyond 4 GiB is
// refused before anything is written (sparse files stand in for big ones).
TEST_F(JamTest, RefusesToGrowPastTheReachOfItsOffsets) {
    struct {
        const char* name;
        const char* ext;
    } rows[] = {{"text", ".jdt"}, {"header", ".jhr"}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        log.clear();
        const std::string b = path(row.name);
        Request r1("A", "B", "one", "", "first");
        ASSERT_EQ(append(b, r1), 0);
        std::filesystem::resize_file(b + row.ext, 0xFFFFFFFFull - 20);
        const uintmax_t jhr = std::filesystem::file_size(b + ".jhr");
        const uintmax_t jdt = std::filesystem::file_size(b + ".jdt");
        const std::string jdx = read_file(b + ".jdx");
        Request r2("A", "B", "two", "", std::string(100, 't'));
        EXPECT_EQ(append(b, r2), 1);
        EXPECT_EQ(texts(), std::vector<std::string>{"ERROR: write error in JAM base: " + b});
        EXPECT_EQ(std::filesystem::file_size(b + ".jhr"), jhr);
        EXPECT_EQ(std::filesystem::file_size(b + ".jdt"), jdt);
        EXPECT_EQ(read_file(b + ".jdx"), jdx);
        std::filesystem::remove(b + row.ext);  // free the sparse file at once
    }
}

// A failed write at each of the append's steps (text, header, index record,
// base header): the error is logged, nothing is undone, and the next append
// still leaves a base both walkers agree on.
TEST_F(JamTest, WriteFailureAtEachStep) {
    struct {
        int step;
        uint32_t next_number;  // of the append after the failure
        size_t raw_headers;    // headers in .jhr afterwards
    } rows[] = {{1, 2, 2}, {2, 2, 2}, {3, 2, 3}, {4, 3, 3}};
    for (auto row : rows) {
        SCOPED_TRACE(row.step);
        const std::string b = path(("step" + std::to_string(row.step)).c_str());
        Request r1("A", "B", "one", "1:2/3 1", "first text");
        ASSERT_EQ(append(b, r1), 0);
        log.clear();
        pf_fault_write_after(row.step);
        Request r2("A", "B", "two", "1:2/3 2", "second text");
        EXPECT_EQ(append(b, r2), 1);
        pf_fault_write_after(0);
        EXPECT_EQ(texts(), std::vector<std::string>{"ERROR: write error in JAM base: " + b});

        Request r3("A", "B", "three", "1:2/3 3", "third text");
        ASSERT_EQ(append(b, r3), 0);
        EXPECT_EQ(r3.m.jm_msgnum, row.next_number);
        View v = our_view(b);
        EXPECT_EQ(v.raw_headers, row.raw_headers);
        std::vector<std::string> want = {"one", "three"};
        if (row.step == 4) want = {"one", "two", "three"};
        EXPECT_EQ(v.subjects, want);
        expect_python_ok(b, "--ours");
    }
}

// The same for the first message of a new base: its empty base header is
// written first, so no failure leaves a .jhr without signature behind.
TEST_F(JamTest, WriteFailureWhileCreatingABase) {
    struct {
        int step;  // base header, text, header, index record, counters
        uint32_t next_number;
        size_t raw_headers;
    } rows[] = {{1, 1, 1}, {2, 1, 1}, {3, 1, 1}, {4, 1, 2}, {5, 2, 2}};
    for (auto row : rows) {
        SCOPED_TRACE(row.step);
        log.clear();
        const std::string b = path(("new" + std::to_string(row.step)).c_str());
        pf_fault_write_after(row.step);
        Request r1("A", "B", "one", "1:2/3 1", "first text");
        EXPECT_EQ(append(b, r1), 1);
        pf_fault_write_after(0);
        EXPECT_EQ(texts(), std::vector<std::string>{"ERROR: write error in JAM base: " + b});
        if (row.step > 1) {
            EXPECT_EQ(read_file(b + ".jhr").substr(0, 4), std::string("JAM\0", 4));
        }

        Request r2("A", "B", "two", "1:2/3 2", "second text");
        ASSERT_EQ(append(b, r2), 0);
        EXPECT_EQ(r2.m.jm_msgnum, row.next_number);
        View v = our_view(b);
        EXPECT_EQ(v.raw_headers, row.raw_headers);
        std::vector<std::string> want = {"two"};
        if (row.step == 5) want = {"one", "two"};
        EXPECT_EQ(v.subjects, want);
        expect_python_ok(b, "--ours");
    }
}

// What an append that died leaves at the end of .jhr or .jdx is repaired by
// the next one, so that the walk by headers stays aligned.
TEST_F(JamTest, NextAppendRepairsAnInterruptedTail) {
    std::string subs = subfield(6, "ghost") + subfield(3, "X");
    Hdr g;
    g.subflen = uint32_t(subs.size());
    g.num = 3;  // the number the interrupted append had taken
    const std::string ghost = msg_header(g) + subs;
    struct {
        const char* name;
        std::string jhr_tail;
        std::string jdx_tail;
        bool ghost_kept;  // a complete orphan stays, marked deleted
    } rows[] = {
        {"three bytes of a signature", "JAM", "", false},
        {"half a header", ghost.substr(0, 50), "", false},
        {"header with torn subfields", ghost.substr(0, 76 + 5), "", false},
        {"header without index record", ghost, "", true},
        {"partial index record", "", "\x10\x20\x30", false},
        {"both", ghost, "\x01\x02\x03\x04\x05", true},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        const std::string b = path(row.name);
        Request r1("A", "B", "one", "1:2/3 1", "first");
        Request r2("A", "B", "two", "1:2/3 2", "second");
        ASSERT_EQ(append(b, r1), 0);
        ASSERT_EQ(append(b, r2), 0);
        const std::string jhr = read_file(b + ".jhr");
        const std::string jdx = read_file(b + ".jdx");
        write_file(b + ".jhr", jhr + row.jhr_tail);
        write_file(b + ".jdx", jdx + row.jdx_tail);

        Request r3("A", "B", "three", "1:2/3 3", "third");
        ASSERT_EQ(append(b, r3), 0);
        EXPECT_EQ(r3.m.jm_msgnum, 3u);
        const std::string after = read_file(b + ".jhr");
        size_t new_at = jhr.size() + (row.ghost_kept ? ghost.size() : 0);
        EXPECT_EQ(after.size(), new_at + 76 + r3.m.jm_subflen);
        EXPECT_EQ(rd32(after, new_at + 48), 3u);
        if (row.ghost_kept) {
            EXPECT_EQ(rd32(after, jhr.size() + 52), JA_DELETED);
        }
        const std::string idx = read_file(b + ".jdx");
        EXPECT_EQ(idx.size(), 24u);
        EXPECT_EQ(rd32(idx, 20), new_at);
        View v = our_view(b);
        EXPECT_EQ(v.subjects, (std::vector<std::string>{"one", "two", "three"}));
        expect_python_ok(b, "--ours --counts");
    }
}

TEST_F(JamTest, TailThatIsNotAHeaderIsLeftAlone) {
    const std::string b = path();
    Request r1("A", "B", "one", "", "first");
    ASSERT_EQ(append(b, r1), 0);
    const std::string jhr = read_file(b + ".jhr") + "garbage!";
    write_file(b + ".jhr", jhr);
    Request r2("A", "B", "two", "", "second");
    ASSERT_EQ(append(b, r2), 0);
    // Nothing of what we cannot explain is cut; the index still finds both.
    EXPECT_EQ(read_file(b + ".jhr").substr(1024, jhr.size() - 1024), jhr.substr(1024));
    JamImage img;
    ASSERT_EQ(jam_load(b.c_str(), img), 0);
    JamIdxWalk iw;
    JamHeader h;
    uint32_t num, ucrc, count = 0;
    jam_idx_walk_start(iw, img.jhr.data(), img.jhr.size(), img.jdx.data(), img.jdx.size(), 1);
    while (jam_idx_walk_next(iw, num, ucrc, h)) ++count;
    EXPECT_EQ(count, 2u);
}

// The walkers on data other programs (or damage) may leave: unknown subfield
// ids, deleted and dangling index records, a last header whose subfields run
// past the end of the file.
TEST_F(JamTest, TornLastHeaderEndsTheIndexedWalkWithoutDamage) {
    const std::string b = path();
    Request r("A", "B", "one", "", "one");
    ASSERT_EQ(append(b, r), 0);
    // An append killed inside its header write: the fixed header of message 2
    // is there, its subfields are cut off by the end of the file.
    std::string jhr = read_file(b + ".jhr");
    std::string torn = jhr.substr(1024, 76 + 3);
    put_le32(reinterpret_cast<uint8_t*>(&torn[JMH_MESSAGENUMBER]), 2);
    write_file(b + ".jhr", jhr + torn);
    JamImage img;
    ASSERT_EQ(jam_load(b.c_str(), img), 0);
    JamHdrWalk w;
    JamHeader h;
    int n = 0;
    jam_hdr_walk_start(w, img);
    while (jam_hdr_walk_next(w, h)) ++n;
    EXPECT_EQ(n, 1);
    EXPECT_FALSE(w.damaged);
    jam_hdr_walk_start(w, img.jhr.data(), img.jhr.size());  // no index knowledge
    while (jam_hdr_walk_next(w, h)) {
    }
    EXPECT_TRUE(w.damaged);
    // A cut header that claims an indexed number is damage, not a torn tail.
    put_le32(reinterpret_cast<uint8_t*>(&torn[JMH_MESSAGENUMBER]), 1);
    write_file(b + ".jhr", jhr + torn);
    ASSERT_EQ(jam_load(b.c_str(), img), 0);
    jam_hdr_walk_start(w, img);
    while (jam_hdr_walk_next(w, h)) {
    }
    EXPECT_TRUE(w.damaged);
}

TEST_F(JamTest, WalkersTolerateForeignAndDamagedData) {
    std::string jhr = base_header(1, 5, 3, 1);
    std::string s1 = std::string("\x0f\x27\x07\x00", 4) + le32(7) + "foreign" +
                     subfield(6, "Subject one") + subfield(2, "Sender");
    Hdr h1;
    h1.subflen = uint32_t(s1.size());
    h1.num = 1;
    const uint32_t off1 = uint32_t(jhr.size());
    jhr += msg_header(h1) + s1;
    Hdr h2;  // claims 1000 bytes of subfields, 11 present
    h2.subflen = 1000;
    h2.num = 4;
    const uint32_t off2 = uint32_t(jhr.size());
    jhr += msg_header(h2) + le16(6) + le16(0) + le32(900) + "cut";
    std::string jdx = le32(1) + le32(off1) + le32(0xFFFFFFFFu) + le32(0xFFFFFFFFu) + le32(2) +
                      le32(999999) + le32(3) + le32(off2) + le32(4) + le32(off1 + 3);

    JamBaseHeader bh;
    ASSERT_EQ(jam_parse_base(reinterpret_cast<const uint8_t*>(jhr.data()), jhr.size(), bh), 0);
    EXPECT_EQ(bh.ModCounter, 5u);
    EXPECT_EQ(bh.BaseMsgNum, 1u);

    const auto* p = reinterpret_cast<const uint8_t*>(jhr.data());
    JamIdxWalk iw;
    JamHeader h;
    uint32_t num, ucrc;
    jam_idx_walk_start(iw, p, jhr.size(), reinterpret_cast<const uint8_t*>(jdx.data()), jdx.size(),
                       1);
    ASSERT_TRUE(jam_idx_walk_next(iw, num, ucrc, h));
    EXPECT_EQ(num, 1u);
    EXPECT_EQ(ucrc, 1u);
    std::string s;
    EXPECT_TRUE(jam_subf_find(h, SF_SUBJECT, s));
    EXPECT_EQ(s, "Subject one");
    EXPECT_TRUE(jam_subf_find(h, SF_SENDER, s));
    EXPECT_EQ(s, "Sender");
    JamSubfWalk sw;
    JamSubfield sf;
    jam_subf_start(sw, h);
    ASSERT_TRUE(jam_subf_next(sw, sf));
    EXPECT_EQ(sf.LoID, 9999);
    EXPECT_EQ(sf.HiID, 7);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(sf.data), sf.DatLen), "foreign");

    ASSERT_TRUE(jam_idx_walk_next(iw, num, ucrc, h));  // deleted and dangling skipped
    EXPECT_EQ(num, 4u);
    EXPECT_EQ(h.SubfieldLen, 1000u);
    EXPECT_EQ(h.subf_len, 11u);
    jam_subf_start(sw, h);
    ASSERT_TRUE(jam_subf_next(sw, sf));
    EXPECT_EQ(sf.DatLen, 3u);  // cut at the end of the subfield area
    EXPECT_FALSE(jam_subf_next(sw, sf));
    EXPECT_FALSE(jam_idx_walk_next(iw, num, ucrc, h));  // offset without a header

    JamHdrWalk w;
    jam_hdr_walk_start(w, p, jhr.size());
    ASSERT_TRUE(jam_hdr_walk_next(w, h));
    EXPECT_EQ(h.offset, off1);
    EXPECT_FALSE(jam_hdr_walk_next(w, h));
    EXPECT_TRUE(w.damaged);

    // Empty and short images.
    EXPECT_EQ(jam_parse_base(p, 1023, bh), 1);
    jam_hdr_walk_start(w, p, 1024);
    EXPECT_FALSE(jam_hdr_walk_next(w, h));
    EXPECT_FALSE(w.damaged);
}

TEST_F(JamTest, LoadReportsEmptyAndDamagedBases) {
    JamImage none;
    EXPECT_EQ(jam_load(path("none").c_str(), none), 0);
    EXPECT_TRUE(none.jhr.empty());
    write_file(path("short") + ".jhr", std::string(100, 'x'));
    JamImage img;
    EXPECT_EQ(jam_load(path("short").c_str(), img), 2);
    Request r("A", "B", "S", "", "the text");
    ASSERT_EQ(append(path("ok"), r), 0);
    ASSERT_EQ(jam_load(path("ok").c_str(), img), 0);
    JamHeader h;
    ASSERT_EQ(jam_parse_header(img.jhr.data(), img.jhr.size(), 1024, h), 0);
    std::string text;
    ASSERT_EQ(jam_read_text(path("ok").c_str(), h, text), 0);
    EXPECT_EQ(text, "the text");
}

// A writer kept open leaves after every append the very files that one
// jam_append per message leaves, counters included, so that a process
// killed between two of its appends leaves a base like today's appends do.
// Its byte lock is held from the opening to the closing, and a write error
// closes it; the next opening goes on where the files end.
TEST_F(JamTest, HeldWriterLeavesWhatSingleAppendsLeave) {
    const std::string a = path("single"), b = path("held");
    const char* subjects[] = {"one", "two", "three", "four", "five"};
    JamWriter w;
    ASSERT_EQ(jam_writer_open(w, b.c_str(), 1700000000u), 0);
    EXPECT_TRUE(file_exists(b + ".jlr"));
    uint32_t n = 0;
    for (const char* subj : subjects) {
        SCOPED_TRACE(subj);
        std::string text = std::string("text of ") + subj + std::string(n * 37, 'x') + "\r";
        Request r1("A", "B", subj, (std::string("1:2/3 ") + subj).c_str(), text.c_str());
        Request r2("A", "B", subj, (std::string("1:2/3 ") + subj).c_str(), text.c_str());
        ASSERT_EQ(append(a, r1), 0);
        ASSERT_EQ(jam_writer_append(w, r2.m), 0);
        ++n;
        EXPECT_EQ(r2.m.jm_msgnum, n);
        EXPECT_EQ(w.nrec, n);
        expect_same(snapshot(a), snapshot(b));
        expect_python_ok(b);  // ActiveMsgs counts every message on disk
        // Nobody else gets the byte lock while the writer is open.
        pf_file other = f_open_always((b + ".jhr").c_str());
        ASSERT_NE(other, PF_INVALID);
        EXPECT_EQ(jam_lock(other, 1), 1);
        f_close(other);
    }
    jam_writer_close(w);
    pf_file other = f_open_always((b + ".jhr").c_str());
    ASSERT_NE(other, PF_INVALID);
    EXPECT_EQ(jam_lock(other, 1), 0);
    jam_unlock(other);
    f_close(other);

    // A write error in the middle of an append closes the writer; opened
    // again, it repairs the tail as jam_append would and numbers on.
    ASSERT_EQ(jam_writer_open(w, b.c_str(), 1700000000u), 0);
    log.clear();
    pf_fault_write_after(3);  // text, header, then the index record fails
    Request bad("A", "B", "lost", "1:2/3 lost", "lost text");
    EXPECT_EQ(jam_writer_append(w, bad.m), 1);
    pf_fault_write_after(0);
    EXPECT_FALSE(jam_writer_is_open(w));
    EXPECT_EQ(texts(), std::vector<std::string>{"ERROR: write error in JAM base: " + b});
    Request after("A", "B", "six", "1:2/3 six", "six");
    EXPECT_EQ(jam_writer_append(w, after.m), 1);  // closed: refused, nothing written
    ASSERT_EQ(jam_writer_open(w, b.c_str(), 1700000000u), 0);
    ASSERT_EQ(jam_writer_append(w, after.m), 0);
    EXPECT_EQ(after.m.jm_msgnum, 6u);
    jam_writer_close(w);
    View v = our_view(b);
    EXPECT_EQ(v.subjects, (std::vector<std::string>{"one", "two", "three", "four", "five", "six"}));
    expect_python_ok(b, "--ours");
}

TEST_F(JamTest, ByteLockHeldByAnotherProcess) {
    const std::string b = path();
    Request r1("A", "B", "one", "", "first");
    ASSERT_EQ(append(b, r1), 0);
    Child holder({tool_path(), "hold", b, "60"});
    std::string line;
    ASSERT_TRUE(holder.read_line(line));
    ASSERT_EQ(line, "locked");

    Files before = snapshot(b);
    auto t0 = std::chrono::steady_clock::now();
    Request r2("A", "B", "two", "", "second");
    EXPECT_EQ(append(b, r2), 1);
    double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    EXPECT_EQ(texts(), std::vector<std::string>{"ERROR: JAM base locked (.jhr lock): " + b});
    EXPECT_GE(secs, 4.5);  // 49 pauses of 100 ms
    EXPECT_LT(secs, 30.0);
    expect_same(before, snapshot(b));

    holder.kill_now();  // the kernel drops the lock with its holder
    t0 = std::chrono::steady_clock::now();
    Request r3("A", "B", "three", "", "third");
    EXPECT_EQ(append(b, r3), 0);
    EXPECT_LT(std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count(), 4.0);
    EXPECT_EQ(r3.m.jm_msgnum, 2u);
}

// A process appending in a loop is killed at 50 random instants. After each
// kill the base is consistent for our walkers and the independent reader,
// and every append that reported success is there.
// The same for a writer that keeps the base open and locked across its
// appends (JamWriter, opened again every 37 appends): a kill between two of
// them or inside one leaves what a killed jam_append leaves.
TEST_F(JamTest, SurvivesSigkillAtRandomInstants) {
    for (const char* mode : {"plain", "held"}) {
        SCOPED_TRACE(mode);
        sigkill_rounds(path(mode), dir.file((std::string(mode) + ".log").c_str()), mode);
        if (HasFatalFailure()) return;
    }
}

void JamTest::sigkill_rounds(const std::string& b, const std::string& logfile,
                             const std::string& mode) {
    // The kill instants come from this seed: WP_KILL_SEED repeats a run.
    const char* given = std::getenv("WP_KILL_SEED");
    const unsigned seed = given != nullptr ? static_cast<unsigned>(std::strtoul(given, nullptr, 10))
                                           : std::random_device{}();
    std::printf("WP_KILL_SEED=%u\n", seed);
    SCOPED_TRACE("WP_KILL_SEED=" + std::to_string(seed) + " (set it to repeat this run)");
    std::mt19937 rng(seed);
    for (int round = 0; round < 50; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        {
            Child c({tool_path(), "loop", b, logfile, "r" + std::to_string(round), mode});
            std::this_thread::sleep_for(std::chrono::microseconds(1000 + rng() % 6000));
            c.kill_now();
        }
        std::string out;
        ASSERT_EQ(python_check(b, "--allow-orphans --ours", &out), 0) << out;
        View v = our_view(b);
        std::set<std::string> present(v.subjects.begin(), v.subjects.end());
        std::string done = read_file(logfile);
        size_t pos = 0, missing = 0, logged = 0;
        while (true) {
            size_t nl = done.find('\n', pos);
            if (nl == std::string::npos) break;
            ++logged;
            if (!present.count(done.substr(pos, nl - pos))) ++missing;
            pos = nl + 1;
        }
        ASSERT_EQ(missing, 0u) << "of " << logged;
        for (size_t i = 1; i < v.numbers.size(); ++i) ASSERT_EQ(v.numbers[i], v.numbers[i - 1] + 1);
        if (HasFatalFailure()) return;
    }
    // One more append: headers of appends that died no longer count anywhere.
    Request r("A", "B", "last", "", "last");
    ASSERT_EQ(append(b, r), 0);
    expect_python_ok(b, "--ours");
}

}  // namespace
