// File echoes: .tic files processed into file areas, set aside, waiting,
// finished after a crash, and a full disk.
#include "tosser/tic.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "config/config.h"
#include "jam/crc32.h"
#include "platform/platform.h"
#include "support/test_support.h"

// The cases name only the fields they change.
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

namespace {

using wptest::file_exists;
using wptest::read_file;
using wptest::TempDir;
using wptest::write_file;

uint32_t crc_of(const std::string& s) {
    return ~crc_update(s.data(), s.size(), 0xFFFFFFFFu);
}

std::string hex8(uint32_t v) {
    char b[16];
    std::snprintf(b, sizeof b, "%08X", v);
    return b;
}

// A point with one boss and two configured file areas.
struct Fixture {
    TempDir t;
    std::unique_ptr<Config> cfg = std::make_unique<Config>();
    std::string extra;

    std::string p(const std::string& rel) const { return t.path() + "/" + rel; }

    void load(const std::string& more = "") {
        pf_mkdir(p("in").c_str());
        write_file(p("wrenpost.cfg"),
                   "address = 2:240/1.5\nboss_host = 127.0.0.1\nboss_address = 2:240/1\n"
                   "inbound = in\noutbound = out\nbadarea = bad\ntic_password = Secret\n"
                   "filebase = files\nfilearea = KNOWN files/known\n"
                   "filearea = OTHER files/other\n" +
                       more);
        ASSERT_EQ(load_config(*cfg, p("wrenpost.cfg").c_str()), 0);
    }

    // A .tic for `file` with its data; fields overridable.
    struct T {
        std::string area = "KNOWN", file, data, from = "2:240/1", pw = "SECRET", desc;
        std::string extra;  // more lines
        bool send_file = true;
        std::string size;  // "" = the data's size
        std::string crc;   // "" = the data's CRC
    };
    void tic(const std::string& name, const T& v) {
        std::string s = "Area " + v.area + "\r\nFile " + v.file + "\r\n";
        if (!v.desc.empty()) s += "Desc " + v.desc + "\r\n";
        s += "From " + v.from + "\r\nOrigin 2:240/1\r\nTo 2:240/1.5\r\n";
        s += "Size " + (v.size.empty() ? std::to_string(v.data.size()) : v.size) + "\r\n";
        s += "Crc " + (v.crc.empty() ? hex8(crc_of(v.data)) : v.crc) + "\r\n";
        s += "Pw " + v.pw + "\r\n" + v.extra;
        write_file(p("in/" + name), s);
        if (v.send_file) write_file(p("in/" + v.file), v.data);
    }

    ExitCode run(TicRun& r) {
        r.cfg = cfg.get();
        return tic_toss_all(r);
    }
    ExitCode run() {
        TicRun r;
        return run(r);
    }
};

// The good, the bad and the hostile, each checked file by file.
TEST(Tic, CorpusLandsWhereItBelongs) {
    Fixture f;
    f.load();
    pf_mkdir(f.p("files").c_str());
    pf_mkdir(f.p("files/other").c_str());
    write_file(f.p("files/other/shared.zip"), "other area's file");

    f.tic("good.tic", {.file = "GOOD.ZIP", .data = "good data", .desc = "A good file"});
    f.tic("new.tic", {.area = "NEW.AREA", .file = "new.zip", .data = "new", .desc = "new one"});
    f.tic("crc.tic", {.file = "crc.zip", .data = "x", .crc = "DEADBEEF"});
    f.tic("size.tic", {.file = "size.zip", .data = "xyz", .size = "4"});
    f.tic("pw.tic", {.file = "pw.zip", .data = "p", .pw = "wrong"});
    f.tic("from.tic", {.file = "from.zip", .data = "f", .from = "2:240/99"});
    f.tic("other.tic", {.file = "shared.zip", .data = "known's own", .desc = "mine"});
    f.tic("noarea.tic", {.area = "BAD/AREA", .file = "na.zip", .data = "n"});
    // Hostile names: never a file outside the area, never another area's.
    const char* hostile[] = {"../escape.txt", "/tmp/abs.txt", "C:x.txt", "nul.txt",   "CON",
                             ".hidden",       "files.bbs",    "a\\b",    "other.tic", "x."};
    int k = 0;
    for (const char* h : hostile)
        f.tic("h" + std::to_string(k++) + ".tic", {.file = h, .data = "evil", .send_file = false});

    EXPECT_EQ(f.run(), EXIT_PROTO);

    // Placed, described, inbound emptied, .tic kept in tossed/.
    EXPECT_EQ(read_file(f.p("files/known/GOOD.ZIP")), "good data");
    EXPECT_FALSE(file_exists(f.p("in/GOOD.ZIP")));
    EXPECT_FALSE(file_exists(f.p("in/good.tic")));
    EXPECT_TRUE(file_exists(f.p("in/tossed/good.tic")));
    std::string bbs = read_file(f.p("files/known/files.bbs"));
    EXPECT_NE(bbs.find("GOOD.ZIP     A good file\r\n"), std::string::npos) << bbs;
    // A new area, in the configuration too.
    EXPECT_EQ(read_file(f.p("files/new.area/new.zip")), "new");
    EXPECT_NE(read_file(f.p("wrenpost.cfg"))
                  .find(std::string("filearea=NEW.AREA files") + PF_DIR_SEP + "new.area"),
              std::string::npos);
    EXPECT_GE(filearea_find(*f.cfg, "NEW.AREA"), 0);
    // Another area's file of the same name untouched; ours beside ours.
    EXPECT_EQ(read_file(f.p("files/other/shared.zip")), "other area's file");
    EXPECT_EQ(read_file(f.p("files/known/shared.zip")), "known's own");
    // Bad ones: both set aside, nothing in the area.
    for (const char* n : {"crc", "size", "pw", "from", "noarea"}) {
        SCOPED_TRACE(n);
        EXPECT_TRUE(file_exists(f.p(std::string("in/") + n + ".tic.bad")));
        EXPECT_FALSE(file_exists(f.p(std::string("in/") + n + ".tic")));
    }
    for (const char* n : {"crc.zip", "size.zip", "pw.zip", "from.zip", "na.zip"}) {
        SCOPED_TRACE(n);
        EXPECT_TRUE(file_exists(f.p(std::string("in/") + n + ".bad")));
        EXPECT_FALSE(file_exists(f.p(std::string("files/known/") + n)));
    }
    for (int i = 0; i < k; ++i)
        EXPECT_TRUE(file_exists(f.p("in/h" + std::to_string(i) + ".tic.bad"))) << hostile[i];
    EXPECT_FALSE(file_exists(f.p("escape.txt")));
    EXPECT_FALSE(file_exists(f.p("files/escape.txt")));
    EXPECT_FALSE(file_exists("/tmp/abs.txt"));
    // files.bbs of known: exactly the two placed files.
    auto entries = fbbs_parse(read_file(f.p("files/known/files.bbs")));
    std::vector<std::string> names;
    for (const FbbsEntry& e : entries) names.push_back(e.name);
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"GOOD.ZIP", "shared.zip"}));
}

TEST(Tic, ReplacesAndRedeliveryKeepOneEntryEach) {
    Fixture f;
    f.load();
    f.tic("a.tic", {.file = "nodediff.a01", .data = "old", .desc = "week 1"});
    ASSERT_EQ(f.run(), EXIT_OK);
    f.tic("b.tic", {.file = "nodediff.a08",
                    .data = "new",
                    .desc = "week 2",
                    .extra = "Replaces nodediff.a??\r\nLDesc second line\r\n"});
    ASSERT_EQ(f.run(), EXIT_OK);
    EXPECT_FALSE(file_exists(f.p("files/known/nodediff.a01")));
    EXPECT_EQ(read_file(f.p("files/known/nodediff.a08")), "new");
    // The same file again: one entry, the new description.
    f.tic("c.tic", {.file = "nodediff.a08", .data = "newer", .desc = "week 2 again"});
    ASSERT_EQ(f.run(), EXIT_OK);
    auto e = fbbs_parse(read_file(f.p("files/known/files.bbs")));
    ASSERT_EQ(e.size(), 1u);
    EXPECT_EQ(e[0].name, "nodediff.a08");
    ASSERT_EQ(e[0].desc.size(), 1u);
    EXPECT_EQ(e[0].desc[0], "week 2 again");
    EXPECT_EQ(read_file(f.p("files/known/nodediff.a08")), "newer");
}

TEST(Tic, OrphanWaitsThenPlacedOrSetAsideAfterDays) {
    Fixture f;
    f.load("tic_wait_days = 2\n");
    f.tic("late.tic", {.file = "late.zip", .data = "late", .send_file = false});
    f.tic("lost.tic", {.file = "lost.zip", .data = "lost", .send_file = false});
    TicRun r;
    EXPECT_EQ(f.run(r), EXIT_OK);
    EXPECT_EQ(r.waiting, 2u);
    EXPECT_TRUE(file_exists(f.p("in/late.tic")));
    // The file arrives: placed by the next run.
    write_file(f.p("in/late.zip"), "late");
    TicRun r2;
    EXPECT_EQ(f.run(r2), EXIT_OK);
    EXPECT_EQ(read_file(f.p("files/known/late.zip")), "late");
    // Three days on, the other is set aside.
    TicRun r3;
    r3.now = pf_unix_now_utc() + 3 * 86400;
    EXPECT_EQ(f.run(r3), EXIT_PROTO);
    EXPECT_TRUE(file_exists(f.p("in/lost.tic.bad")));
}

TEST(Tic, AreasSharingADirectoryTakeNoFiles) {
    Fixture f;
    f.load("filearea = TWIN files/known/\n");
    f.tic("a.tic", {.file = "a.zip", .data = "a"});
    EXPECT_EQ(f.run(), EXIT_PROTO);
    EXPECT_TRUE(file_exists(f.p("in/a.tic.bad")));
    EXPECT_FALSE(file_exists(f.p("files/known/a.zip")));
}

// What a run killed between two steps leaves is finished by the next one,
// with one description line.
TEST(Tic, SecondRunFinishesAfterAKill) {
    Fixture f;
    f.load();
    // Killed after the file was renamed into the area, before files.bbs.
    f.tic("a.tic", {.file = "a.zip", .data = "aaa", .desc = "A"});
    pf_mkdir(f.p("files").c_str());
    pf_mkdir(f.p("files/known").c_str());
    write_file(f.p("files/known/a.zip"), "aaa");
    // Killed after files.bbs, before the inbound was tidied: no file left.
    f.tic("b.tic", {.file = "b.zip", .data = "bbb", .desc = "B", .send_file = false});
    write_file(f.p("files/known/b.zip"), "bbb");
    write_file(f.p("files/known/files.bbs"), "b.zip        B\r\n");
    ASSERT_EQ(f.run(), EXIT_OK);
    EXPECT_FALSE(file_exists(f.p("in/a.tic")));
    EXPECT_FALSE(file_exists(f.p("in/b.tic")));
    auto e = fbbs_parse(read_file(f.p("files/known/files.bbs")));
    ASSERT_EQ(e.size(), 2u);
    EXPECT_EQ(e[0].name, "b.zip");
    EXPECT_EQ(e[1].name, "a.zip");
}

// A write that fails leaves the file in the inbound with its .tic and no
// part in the area; the next run places it.
TEST(Tic, FullDiskLeavesFileInInbound) {
    for (long n = 1; n <= 3; ++n) {
        SCOPED_TRACE(n);
        Fixture f;
        f.load();
        std::string data(200000, 'd');
        f.tic("a.tic", {.file = "a.zip", .data = data, .desc = "A"});
        pf_fault_write_after(n);
        TicRun r;
        EXPECT_EQ(f.run(r), EXIT_PROTO);
        pf_fault_write_after(0);
        EXPECT_TRUE(r.failed);
        EXPECT_EQ(read_file(f.p("in/a.zip")), data);
        EXPECT_TRUE(file_exists(f.p("in/a.tic")));
        EXPECT_FALSE(file_exists(f.p("files/known/a.zip")));
        EXPECT_FALSE(file_exists(f.p("files/known/.wptic.tmp")));
        EXPECT_FALSE(file_exists(f.p("files/known/.wptic.bbs")));
        ASSERT_EQ(f.run(), EXIT_OK);
        EXPECT_EQ(read_file(f.p("files/known/a.zip")), data);
        EXPECT_EQ(fbbs_parse(read_file(f.p("files/known/files.bbs"))).size(), 1u);
    }
}

TEST(Tic, ParseTable) {
    struct Case {
        const char* text;
        TicParse want;
    } cases[] = {
        {"Area A\r\nFile f\r\nCrc 1234abcd\r\n", TicParse::Ok},
        {"area A\nfile f\ncrc 0\nsize 12\n", TicParse::Ok},
        {"File f\r\nCrc 1\r\n", TicParse::NoArea},
        {"Area A\r\nCrc 1\r\n", TicParse::NoFile},
        {"Area A\r\nFile f\r\n", TicParse::NoCrc},
        {"Area A\r\nFile f\r\nCrc 123456789\r\n", TicParse::BadCrc},
        {"Area A\r\nFile f\r\nCrc xyz\r\n", TicParse::BadCrc},
        {"Area A\r\nFile f\r\nCrc 1\r\nSize -1\r\n", TicParse::BadSize},
        {"Area A\r\nFile f\r\nCrc 1\r\nSize 99999999999999999999\r\n", TicParse::BadSize},
    };
    for (const Case& c : cases) {
        Tic t;
        EXPECT_EQ(tic_parse(c.text, std::strlen(c.text), t), c.want) << c.text;
    }
    Tic t;
    const char* s =
        "Area  NODEDIFF \r\nFile nodediff.a08\r\nCrc 0000ABCD\r\nSize 10\r\n"
        "Desc first\r\nDesc second\r\nLDesc l1\r\nLDesc l2\r\nReplaces a\r\n";
    ASSERT_EQ(tic_parse(s, std::strlen(s), t), TicParse::Ok);
    EXPECT_EQ(t.area, "NODEDIFF");
    EXPECT_EQ(t.crc, 0xABCDu);
    EXPECT_EQ(t.size, 10u);
    EXPECT_EQ(t.desc, "first");
    EXPECT_EQ(tic_desc_lines(t), (std::vector<std::string>{"first", "l1", "l2"}));
}

TEST(Tic, NamesAndPatterns) {
    for (const char* ok : {"a.zip", "NODEDIFF.A45", "long-name_without.blanks.txt", "icon.d"})
        EXPECT_TRUE(tic_name_safe(ok)) << ok;
    for (const char* bad : {"", "../x", "/x", "a/b", "a\\b", "c:x", ".x", "nul", "COM1.txt",
                            "files.bbs", "x.tic", "tossed", "wptmp", "x.", "a\tb", "a b", "x.bad"})
        EXPECT_FALSE(tic_name_safe(bad)) << bad;
    EXPECT_TRUE(tic_name_match("nodediff.a??", "NODEDIFF.A01"));
    EXPECT_TRUE(tic_name_match("*.zip", "x.zip"));
    EXPECT_FALSE(tic_name_match("*.zip", "x.zap"));
    EXPECT_FALSE(tic_name_match("a?", "a"));
}

}  // namespace
