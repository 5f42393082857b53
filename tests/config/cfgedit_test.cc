#include "config/cfgedit.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <memory>
#include <string>

#include "config/config.h"
#include "core/log.h"
#include "platform/platform.h"
#include "support/test_support.h"

using wptest::read_file;
using wptest::write_file;

namespace {
struct CfgFile {
    wptest::TempDir d;
    std::string path = d.file("wrenpost.cfg");
    explicit CfgFile(const std::string& text) { write_file(path, text); }
    std::string text() const { return read_file(path); }
};
}  // namespace

TEST(CfgEdit, AddPlacesTheLineAfterTheLastSettingOfTheRegion) {
    struct Case {
        const char* name;
        std::string before;
        const char* section;
        std::string after;
    } cases[] = {
        {"global, trailing comments stay below", "address=1:2/3.4\n\n# end\n; more\n", nullptr,
         "address=1:2/3.4\necharea=FSX_NEW /m/fsx_new\n\n# end\n; more\n"},
        {"file starting with a header", "[boss fsx]\naddress=21:1/1.1\n", nullptr,
         "echoarea=FSX_NEW /m/fsx_new\n[boss fsx]\naddress=21:1/1.1\n"},
        {"named section", "a=1\n[boss fido]\nb=2\n[link FSX]\nc=3\n# tail\n\n[x]\nd=4\n", "fsx",
         "a=1\n[boss fido]\nb=2\n[link FSX]\nc=3\necharea=FSX_NEW /m/fsx_new\n# "
         "tail\n\n[x]\nd=4\n"},
        {"empty named section", "[fsx]\n\n# c\n[y]\n", "FSX",
         "[fsx]\necharea=FSX_NEW /m/fsx_new\n\n# c\n[y]\n"},
        {"no sections: the name is ignored", "a=1\n", "fsx", "a=1\necharea=FSX_NEW /m/fsx_new\n"},
        {"CR LF file, other lines count", "a=1\r\nsomething odd\r\n# c\r\n", nullptr,
         "a=1\r\nsomething odd\r\necharea=FSX_NEW /m/fsx_new\r\n# c\r\n"},
        {"last line without line break", "a=1\nb=2", nullptr,
         "a=1\nb=2\necharea=FSX_NEW /m/fsx_new\n"},
        {"no LF at all: CR LF", "a=1", nullptr, "a=1\r\necharea=FSX_NEW /m/fsx_new\r\n"},
        {"empty file", "", nullptr, "echoarea=FSX_NEW /m/fsx_new\r\n"},
    };
    for (const auto& c : cases) {
        CfgFile f(c.before);
        EXPECT_EQ(af_cfg_add_area(f.path.c_str(), c.section, "FSX_NEW", "/m/fsx_new"),
                  CfgResult::Ok)
            << c.name;
        std::string want = c.after;
        // the test table writes "echarea" for brevity where the line is new
        for (size_t p; (p = want.find("echarea=")) != std::string::npos;)
            want.replace(p, 8, "echoarea=");
        EXPECT_EQ(f.text(), want) << c.name;
    }
}

TEST(CfgEdit, AddRefusesExistingTagAndUnknownSection) {
    std::string text = "a=1\n[boss fido]\n  EchoArea = fsx_new /old/path\n[boss fsx]\n";
    CfgFile f(text);
    EXPECT_EQ(af_cfg_add_area(f.path.c_str(), "fsx", "FSX_NEW", "/m/x"), CfgResult::Exists);
    EXPECT_EQ(af_cfg_add_area(f.path.c_str(), "nowhere", "OTHER", "/m/x"), CfgResult::Failed);
    EXPECT_EQ(f.text(), text);
    EXPECT_EQ(af_cfg_add_area(f.d.file("missing.cfg").c_str(), nullptr, "A", "/m/a"),
              CfgResult::Failed);
    EXPECT_FALSE(wptest::file_exists(f.d.file("missing.cfg")));
}

TEST(CfgEdit, SizeLimits) {
    std::string big = "# " + std::string(16383 - 3, 'x') + "\n";  // exactly 16383 bytes
    CfgFile f(big);
    EXPECT_EQ(af_cfg_add_area(f.path.c_str(), nullptr, "A", "/a"), CfgResult::Failed);
    EXPECT_EQ(af_cfg_del_area(f.path.c_str(), "A"), -1);
    EXPECT_EQ(f.text(), big);
    // 16382 bytes can be edited: a removal shrinks the file.
    std::string ok = "echoarea=A /a\n" + big.substr(15);
    ASSERT_EQ(ok.size(), 16382u);
    CfgFile g(ok);
    EXPECT_EQ(af_cfg_del_area(g.path.c_str(), "A"), 1);
    EXPECT_EQ(g.text(), big.substr(15));
    // A new line may fill the file up to 16382 bytes, not one byte more.
    EXPECT_EQ(af_cfg_add_area(g.path.c_str(), nullptr, "B", "/bb"), CfgResult::Failed);
    EXPECT_EQ(g.text(), big.substr(15));
    EXPECT_EQ(af_cfg_add_area(g.path.c_str(), nullptr, "B", "/b"), CfgResult::Ok);
    EXPECT_EQ(g.text().size(), 16382u);
}

TEST(CfgEdit, AddNeverPushesLinesBeyondWhatTheLoaderReads) {
    // A new area in the global part moves the last section down. Had the file
    // grown past 16383 bytes, the loader would read the section's password
    // cut short and lose the lines after it.
    std::string head = "address=1:2/3.4\n# ";
    std::string tail = "\n[boss fsx]\npassword=secret123\necho_path=boss\n";
    std::string text = head + std::string(16370 - head.size() - tail.size(), '-') + tail;
    CfgFile f(text);
    EXPECT_EQ(af_cfg_add_area(f.path.c_str(), nullptr, "FSX_NEW", "/m/fsx_new"), CfgResult::Failed);
    EXPECT_EQ(f.text(), text);
    Config c;
    std::string log;
    con_capture(&log);
    ASSERT_EQ(load_config(c, f.path.c_str()), 0);
    con_capture(nullptr);
    ASSERT_EQ(c.boss_count, 1);
    EXPECT_STREQ(c.bosses[0].f[F_PASSWORD], "secret123");
    EXPECT_STREQ(c.bosses[0].f[F_ECHOPATH], "boss");
    EXPECT_EQ(log.find("Warning"), std::string::npos) << log;
}

TEST(CfgEdit, DeleteRemovesEveryLineOfTheTagOnly) {
    std::string text =
        "# keep me\r\necharea FSX_GEN /not/a/setting\r\nechoarea = fsx_gen /a\r\n"
        "[boss fsx]\r\n\techoarea=FSX_GEN\t/b\r\nechoarea=FSX_GENERAL /c\r\nsysop = x\r\n"
        "ECHOAREA=Fsx_Gen /d";
    CfgFile f(text);
    EXPECT_EQ(af_cfg_del_area(f.path.c_str(), "FSX_GEN"), 3);
    EXPECT_EQ(f.text(),
              "# keep me\r\necharea FSX_GEN /not/a/setting\r\n[boss fsx]\r\n"
              "echoarea=FSX_GENERAL /c\r\nsysop = x\r\n");
    EXPECT_EQ(af_cfg_del_area(f.path.c_str(), "FSX_GEN"), 0);
    EXPECT_EQ(af_cfg_del_area(f.d.file("gone").c_str(), "FSX_GEN"), -1);
}

TEST(CfgEdit, RewriteKeepsPermissionsAndLeavesNoTemporaryFile) {
    CfgFile f("a=1\n");
    chmod(f.path.c_str(), 0600);
    ASSERT_EQ(af_cfg_add_area(f.path.c_str(), nullptr, "A", "/a"), CfgResult::Ok);
    struct stat st;
    ASSERT_EQ(stat(f.path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    std::vector<PfDirEntry> list;
    pf_list_dir(f.d.path().c_str(), list);
    EXPECT_EQ(list.size(), 1u);
}

TEST(CfgEdit, ReadOnlyFileIsNotEdited) {
    // A configuration its owner made read-only stays as it is, although the
    // directory would allow replacing it.
    std::string text = "address=1:2/3.4\nechoarea=FSX_GEN /m/fsx_gen\n";
    CfgFile f(text);
    chmod(f.path.c_str(), 0444);
    EXPECT_EQ(af_cfg_add_area(f.path.c_str(), nullptr, "FSX_NEW", "/m/fsx_new"), CfgResult::Failed);
    EXPECT_EQ(af_cfg_del_area(f.path.c_str(), "FSX_GEN"), -1);
    EXPECT_EQ(f.text(), text);
    struct stat st;
    ASSERT_EQ(stat(f.path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0444u);
    chmod(f.path.c_str(), 0644);
    EXPECT_EQ(af_cfg_del_area(f.path.c_str(), "FSX_GEN"), 1);
}

TEST(CfgEdit, FailedWriteLeavesTheFileWhole) {
    // The fault hook fails the write of the new text: the old file stays as it
    // was, byte for byte, and no temporary file is left behind.
    std::string text = "address=1:2/3.4\n# comment\n";
    CfgFile f(text);
    pf_fault_write_after(1);
    EXPECT_EQ(af_cfg_add_area(f.path.c_str(), nullptr, "A", "/a"), CfgResult::Failed);
    pf_fault_write_after(0);
    EXPECT_EQ(f.text(), text);
    std::vector<PfDirEntry> list;
    pf_list_dir(f.d.path().c_str(), list);
    EXPECT_EQ(list.size(), 1u);
}

TEST(CfgEdit, LcTag) {
    struct Case {
        std::string in, want;
    } cases[] = {
        {"FSX_GEN", "fsx_gen"},      {"Fido.Test-1", "fido.test-1"},
        {"a b/c\\d:e", "a_b_c_d_e"}, {"", "_"},
        {"\x84rger", "_rger"},       {std::string(70, 'A'), std::string(60, 'a')},
    };
    for (const auto& c : cases) {
        char out[61];
        af_lc_tag(out, c.in.c_str());
        EXPECT_EQ(std::string(out), c.want) << c.in;
    }
}

TEST(CfgEdit, SectionNamesReadAsTheLoaderReadsThem) {
    // The toss names the section by the loader's name of the boss; the
    // editors must find it under that name at every length, also where the
    // loader cuts a long name.
    for (size_t len : {62u, 63u, 64u, 80u}) {
        std::string name(len, 'b');
        CfgFile f("sysop=x\n\n[boss " + name + "]\naddress=1:2/3.4\n");
        std::string out;
        con_capture(&out);
        auto c = std::make_unique<Config>();
        ASSERT_EQ(load_config(*c, f.path.c_str()), 0) << len;
        con_capture(nullptr);
        ASSERT_EQ(c->boss_count, 1);
        const char* loaded = cfg_boss_name(*c, 0);
        EXPECT_EQ(str_len(loaded), len < BNAME_MAX ? len : BNAME_MAX - 1);
        EXPECT_EQ(af_cfg_add_area(f.path.c_str(), loaded, "NEW.AREA", "/m/new"), CfgResult::Ok)
            << len;
        EXPECT_NE(f.text().find("address=1:2/3.4\nechoarea=NEW.AREA /m/new\n"), std::string::npos);
        auto e = std::make_unique<CfgEdit>();
        ASSERT_EQ(st_scan(*e, f.path.c_str()), CfgResult::Ok);
        EXPECT_STREQ(e->slots[0].name, loaded) << len;
    }
}

// A batch answers each addition as af_cfg_add_area would for the file with
// the batch's earlier lines, touches the file only when written, and writes
// its lines into the file as it is then: a line another program wrote in
// between stays.
TEST(CfgEdit, BatchWritesEveryAcceptedLineOnce) {
    std::string text = "a=1\n[boss fido]\nb=2\n[boss fsx]\nc=3\n";
    CfgFile f(text);
    AfAreaBatch b;
    EXPECT_EQ(af_cfg_batch_add(b, f.path.c_str(), "fsx", "FSX_ONE", "/m/one"), CfgResult::Ok);
    EXPECT_EQ(af_cfg_batch_add(b, f.path.c_str(), "fido", "FIDO_TWO", "/m/two"), CfgResult::Ok);
    EXPECT_EQ(af_cfg_batch_add(b, f.path.c_str(), "fido", "fsx_one", "/m/x"),
              CfgResult::Exists);  // batched
    EXPECT_EQ(af_cfg_batch_add(b, f.path.c_str(), "nowhere", "OTHER", "/m/x"), CfgResult::Failed);
    EXPECT_EQ(f.text(), text);
    // Another program's edit in the meantime.
    write_file(f.path, text + "d=4\n");
    EXPECT_EQ(af_cfg_batch_write(b, f.path.c_str()), CfgResult::Ok);
    EXPECT_EQ(f.text(),
              "a=1\n[boss fido]\nb=2\nechoarea=FIDO_TWO /m/two\n[boss fsx]\nc=3\nd=4\n"
              "echoarea=FSX_ONE /m/one\n");
    EXPECT_TRUE(b.adds.empty());
    std::string done = f.text();
    EXPECT_EQ(af_cfg_batch_write(b, f.path.c_str()), CfgResult::Ok);  // empty: nothing written
    EXPECT_EQ(f.text(), done);

    // The limit counts the batch's earlier lines.
    std::string big = "# " + std::string(16382 - 3 - 14, 'x') + "\n";
    CfgFile g(big);
    AfAreaBatch b2;
    EXPECT_EQ(af_cfg_batch_add(b2, g.path.c_str(), nullptr, "A", "/a"), CfgResult::Ok);  // 14 bytes
    EXPECT_EQ(af_cfg_batch_add(b2, g.path.c_str(), nullptr, "B", "/b"), CfgResult::Failed);
    EXPECT_EQ(af_cfg_batch_write(b2, g.path.c_str()), CfgResult::Ok);
    EXPECT_EQ(g.text().size(), 16382u);

    // A file that cannot be written refuses the first line already.
    CfgFile ro("a=1\n");
    chmod(ro.path.c_str(), 0444);
    AfAreaBatch b3;
    EXPECT_EQ(af_cfg_batch_add(b3, ro.path.c_str(), nullptr, "A", "/a"), CfgResult::Failed);
    EXPECT_EQ(ro.text(), "a=1\n");
}

// A line the loader would read back as another tag or path is never added:
// it would make a different area (or none) of the same line.
TEST(CfgEdit, AddRefusesLinesTheLoaderWouldReadOtherwise) {
    const std::string text = "address=2:240/1.5\n";
    struct Case {
        std::string tag, path;
    } cases[] = {{"", "/m/x"},      {"A B", "/m/x"}, {"A\tB", "/m/x"},     {"A\nB", "/m/x"},
                 {"A\x7f", "/m/x"}, {"OK", ""},      {"OK", "/m/x\necho"}, {"OK", " /m/x"}};
    for (const Case& c : cases) {
        CfgFile f(text);
        EXPECT_EQ(af_cfg_add_area(f.path.c_str(), nullptr, c.tag.c_str(), c.path.c_str()),
                  CfgResult::Failed)
            << c.tag << " " << c.path;
        AfAreaBatch b;
        EXPECT_EQ(af_cfg_batch_add(b, f.path.c_str(), nullptr, c.tag.c_str(), c.path.c_str()),
                  CfgResult::Failed);
        EXPECT_EQ(f.text(), text);
    }
}

// Which tags may become new areas, and the base names they get: ordinary
// tags keep af_lc_tag's name; names Windows reserves for devices and names
// with a dot at either end are changed.
TEST(CfgEdit, TagsForNewAreasAndTheirBaseNames) {
    for (const char* t : {"", ".", "..", "....", "A/B", "A\\B", "C:", "A B", "A\x01", "A\x7f"})
        EXPECT_FALSE(af_tag_creatable(t)) << t;
    EXPECT_FALSE(af_tag_creatable(std::string(64, 'A').c_str()));
    for (const char* t : {"FSX_GEN", ".A", "A.", "CON", "\x84rger"})
        EXPECT_TRUE(af_tag_creatable(t)) << t;
    EXPECT_TRUE(af_tag_creatable(std::string(63, 'A').c_str()));
    struct Case {
        std::string in, want;
    } cases[] = {
        {"FSX_GEN", "fsx_gen"},
        {"Fido.Test-1", "fido.test-1"},
        {"con", "con_"},
        {"PRN", "prn_"},
        {"Aux.Echo", "aux_.echo"},
        {"NUL.", "nul_"},
        {"COM1", "com1_"},
        {"lpt9.x.y", "lpt9_.x.y"},
        {"COM0", "com0"},
        {"COM10", "com10"},
        {"CONS", "cons"},
        {"LPT", "lpt"},
        {".hidden", "_hidden"},
        {"end.", "end_"},
        {"", "_"},
        {std::string(70, 'A'), std::string(60, 'a')},
    };
    for (const auto& c : cases) {
        char out[AF_BASE_NAME_MAX];
        af_base_name(out, c.in.c_str());
        EXPECT_EQ(std::string(out), c.want) << c.in;
    }
}

// File areas: read like echo areas, added by the same line editor, and the
// two lists never mistaken for each other.
TEST(CfgEdit, FileAreasAreTheirOwnList) {
    wptest::TempDir d;
    std::string cfg = d.file("wrenpost.cfg");
    write_file(cfg,
               "filebase = files\nfilearea = GLOBAL.F files/g\n[boss fido]\n"
               "echoarea = NODEDIFF jam/nd\nfilearea = NODEDIFF  nl dir/with blank\n"
               "filearea = NOPATH\n");
    auto c = std::make_unique<Config>();
    ASSERT_EQ(load_config(*c, cfg.c_str()), 0);
    ASSERT_EQ(c->file_count, 2);
    EXPECT_EQ(c->file_nets[0], -1);
    EXPECT_EQ(c->file_nets[1], 0);
    EXPECT_EQ(std::string(c->file_paths[1]), d.path() + PF_DIR_SEP + "nl dir/with blank");
    EXPECT_EQ(filearea_find(*c, "nodediff"), 1);
    EXPECT_EQ(c->area_count, 1);  // the echo area of the same tag stays an echo area
    EXPECT_EQ(std::string(cfg_boss(*c, 0).get(F_TICWAIT)), "7");
    // Adding: an echoarea line of the tag is no filearea line of it.
    EXPECT_EQ(af_cfg_add_filearea(cfg.c_str(), "fido", "NODEDIFF", "x"), CfgResult::Exists);
    EXPECT_EQ(af_cfg_add_filearea(cfg.c_str(), "fido", "PICS", "files/pics"), CfgResult::Ok);
    EXPECT_EQ(af_cfg_add_area(cfg.c_str(), "fido", "PICS", "jam/pics"), CfgResult::Ok);
    ASSERT_EQ(load_config(*c, cfg.c_str()), 0);
    EXPECT_EQ(c->file_count, 3);
    EXPECT_EQ(c->area_count, 2);
    EXPECT_EQ(std::string(c->file_paths[filearea_find(*c, "PICS")]),
              d.path() + PF_DIR_SEP + "files/pics");
}

TEST(CfgEdit, FormatPrefixesStayAsWritten) {
    CfgFile f("areaformat = msg\r\nechoarea = A MSG:areas/a\r\nechoarea = B jam:b\r\n");
    ASSERT_EQ(af_cfg_add_area(f.path.c_str(), nullptr, "NEW", "msg:areas/new"), CfgResult::Ok);
    EXPECT_EQ(af_cfg_del_area(f.path.c_str(), "B"), 1);
    EXPECT_EQ(f.text(),
              "areaformat = msg\r\nechoarea = A MSG:areas/a\r\nechoarea=NEW msg:areas/new\r\n");
    Config c;
    ASSERT_EQ(load_config(c, f.path.c_str()), 0);
    ASSERT_EQ(c.area_count, 2);
    EXPECT_EQ(c.area_formats[1], AreaFormat::Msg);
    EXPECT_EQ(std::string(c.area_paths[1]), f.d.path() + PF_DIR_SEP + "areas/new");
}
