#include "config/cfgwrite.h"

#include <grp.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "app/catalog.h"
#include "config/cfgedit.h"
#include "config/config.h"
#include "config/messages.h"
#include "core/log.h"
#include "platform/platform.h"
#include "support/test_support.h"

using wptest::read_file;
using wptest::write_file;

namespace {

struct CfgFile {
    wptest::TempDir d;
    std::string path = d.file("wrenpost.cfg");
    std::unique_ptr<CfgEdit> e = std::make_unique<CfgEdit>();
    explicit CfgFile(const std::string& text) { write_file(path, text); }
    std::string text() const { return read_file(path); }
    CfgResult scan() { return st_scan(*e, path.c_str()); }
    size_t files() const {
        std::vector<PfDirEntry> list;
        pf_list_dir(d.path().c_str(), list);
        return list.size();
    }
};

// `text` with each (old, new) pair replaced; every old part must occur once.
std::string edited(std::string text, const std::vector<std::pair<std::string, std::string>>& r) {
    for (const auto& [from, to] : r) {
        size_t at = text.find(from);
        EXPECT_NE(at, std::string::npos) << from;
        EXPECT_EQ(text.find(from, at + 1), std::string::npos) << from;
        if (at != std::string::npos) text.replace(at, from.size(), to);
    }
    return text;
}

void set(Slot& s, int k, const char* v) {
    str_copy(s.newv[k], v, CFG_STR);
}

void type_secret(SlotSecret& sec, const char* v) {
    sec.typed = true;
    str_copy(sec.text, v, CFG_STR);
}

const std::string kBosses =
    "# main\n"
    "sysop = Global Name\n"
    "\n"
    "[boss fido]\n"
    "address = 2:240/1.5\n"
    "  boss_host = fido.example.org\n"
    "boss_port = 24554\n"
    "# second port\n"
    "boss_port = 24555\n"
    "password = secretfido\n"
    "netname = FidoNet\n"
    "echoarea = FIDO.TEST /m/fido\n"
    "# end of fido\n"
    "\n"
    "[boss fsx]\n"
    "\tBoss_Host = old.fsx.example  \n"
    "# between keys\n"
    "boss_address = 21:3/210\n"
    "areafix_password = afsecret\n"
    "; fsx end\n"
    "\n"
    "[link tqm]\n"
    "address = 1:1/1.1\n";

}  // namespace

TEST(CfgWrite, ScanReadsSlotsGlobalsAndOnlyTheFactOfAStoredPassword) {
    CfgFile f(kBosses);
    ASSERT_EQ(f.scan(), CfgResult::Ok);
    const CfgEdit& e = *f.e;
    EXPECT_FALSE(e.single);
    ASSERT_EQ(e.nslots, 3);
    EXPECT_STREQ(e.slots[0].name, "fido");
    EXPECT_STREQ(e.slots[1].name, "fsx");
    EXPECT_STREQ(e.slots[2].name, "tqm");
    EXPECT_STREQ(e.gsysop_old, "Global Name");
    EXPECT_STREQ(e.gsysop_new, "Global Name");
    EXPECT_STREQ(e.gsystem_old, "");
    EXPECT_STREQ(e.slots[0].oldv[SK_PORT], "24555");  // the later line wins
    EXPECT_STREQ(e.slots[0].newv[SK_HOST], "fido.example.org");
    EXPECT_STREQ(e.slots[1].oldv[SK_HOST], "old.fsx.example");  // any case, trimmed
    EXPECT_STREQ(e.slots[0].oldv[SK_SYSOP], "");  // the global sysop is not the section's
    EXPECT_TRUE(e.slots[0].pw.stored);
    EXPECT_FALSE(e.slots[0].afpw.stored);
    EXPECT_TRUE(e.slots[1].afpw.stored);
    EXPECT_STREQ(e.slots[0].oldv[SK_PASSWORD], "");
    // No byte of a stored password is anywhere in the dialog state.
    const char* raw = reinterpret_cast<const char*>(&e);
    for (const char* secret : {"secretfido", "afsecret"})
        EXPECT_EQ(memmem(raw, sizeof e, secret, strlen(secret)), nullptr) << secret;
    for (int k = 0; k < SK_COUNT; ++k) EXPECT_FALSE(field_dirty(e.slots[0], k)) << st_keys[k];
}

TEST(CfgWrite, SectionRewrite) {
    struct Case {
        const char* name;
        std::function<void(CfgEdit&)> change;
        std::vector<std::pair<std::string, std::string>> expect;  // edits of kBosses
    } cases[] = {
        {"nothing changed", [](CfgEdit&) {}, {}},
        {"changed host keeps indentation, key case folds to the table's",
         [](CfgEdit& e) { set(e.slots[1], SK_HOST, "new.fsx.example"); },
         {{"\tBoss_Host = old.fsx.example  \n", "\tboss_host=new.fsx.example\n"}}},
        {"emptied netname loses its line",
         [](CfgEdit& e) { set(e.slots[0], SK_NETNAME, ""); },
         {{"netname = FidoNet\n", ""}}},
        {"missing key after the last key line, before trailing comment and empty line",
         [](CfgEdit& e) { set(e.slots[0], SK_OUTBOUND, "/out/fido"); },
         {{"/m/fido\n# end of fido\n", "/m/fido\noutbound=/out/fido\n# end of fido\n"}}},
        {"doubled port: first line rewritten, second dropped",
         [](CfgEdit& e) { set(e.slots[0], SK_PORT, "24560"); },
         {{"boss_port = 24554\n", "boss_port=24560\n"}, {"boss_port = 24555\n", ""}}},
        {"deleted boss loses header, keys and comments up to the next header",
         [](CfgEdit& e) { e.slots[1].state = ST_DELETED; },
         {{"[boss fsx]\n\tBoss_Host = old.fsx.example  \n# between keys\n"
           "boss_address = 21:3/210\nareafix_password = afsecret\n; fsx end\n\n",
           ""}}},
        {"deleted last boss",
         [](CfgEdit& e) { e.slots[2].state = ST_DELETED; },
         {{"[link tqm]\naddress = 1:1/1.1\n", ""}}},
        {"new bosses after one empty line, keys in table order, empty and untyped left out",
         [](CfgEdit& e) {
             int i = st_add(e, "new1");
             ASSERT_EQ(i, 3);
             Slot& s = e.slots[i];
             set(s, SK_SYSTEM, "Node One");
             set(s, SK_HOST, "h.example");
             set(s, SK_ADDRESS, "3:3/3.3");
             set(s, SK_PORT, "24554");
             set(s, SK_NETNAME, "");
             s.ap_on = true;
             s.ap_min = 120;
             type_secret(s.pw, "pw one");
             Slot& t = e.slots[st_add(e, "new2")];
             set(t, SK_ADDRESS, "4:4/4.4");  // auto-poll off with 0 minutes: no line
             set(t, SK_AUTOCREATE, "no");
         },
         {{"address = 1:1/1.1\n",
           "address = 1:1/1.1\n\n[boss new1]\naddress=3:3/3.3\nboss_host=h.example\n"
           "boss_port=24554\nautopoll=2h\npassword=pw one\nsystem=Node One\n"
           "\n[boss new2]\naddress=4:4/4.4\nautocreate=no\n"}}},
        {"stored password untouched until a new one is typed, then replaced in place",
         [](CfgEdit& e) {
             set(e.slots[0], SK_HOST, "h2");
             type_secret(e.slots[1].afpw, "af new");
         },
         {{"  boss_host = fido.example.org\n", "  boss_host=h2\n"},
          {"areafix_password = afsecret\n", "areafix_password=af new\n"}}},
        {"auto-poll and own name go into the section, not the global part",
         [](CfgEdit& e) {
             e.slots[0].ap_on = true;
             e.slots[0].ap_min = 90;
             set(e.slots[0], SK_SYSOP, "Fido Name");
             e.slots[2].ap_min0 = e.slots[2].ap_min = 30;  // off with minutes, unchanged
             e.slots[1].ap_min0 = 30;                      // off 30m -> off
         },
         {{"/m/fido\n", "/m/fido\nautopoll=90m\nsysop=Fido Name\n"},
          {"afsecret\n", "afsecret\nautopoll=off\n"}}},
        {"keys of a slot are handled per section",
         [](CfgEdit& e) {
             set(e.slots[0], SK_ADDRESS, "2:240/1.6");
             set(e.slots[2], SK_ADDRESS, "1:1/1.2");
         },
         {{"address = 2:240/1.5\n", "address=2:240/1.6\n"},
          {"address = 1:1/1.1\n", "address=1:1/1.2\n"}}},
    };
    for (const auto& c : cases) {
        CfgFile f(kBosses);
        ASSERT_EQ(f.scan(), CfgResult::Ok);
        c.change(*f.e);
        EXPECT_EQ(cfg_write(*f.e), CfgResult::Ok) << c.name;
        EXPECT_EQ(f.text(), edited(kBosses, c.expect)) << c.name;
        EXPECT_EQ(f.files(), 1u) << c.name;
    }
}

TEST(CfgWrite, LineEndsEmptySectionsAndSingleBossFormat) {
    struct Case {
        const char* name;
        std::string before;
        std::function<void(CfgEdit&)> change;
        std::string after;
    } cases[] = {
        {"CR LF kept in every new line", "[boss a]\r\n  boss_host = x\r\n\r\n",
         [](CfgEdit& e) {
             set(e.slots[0], SK_HOST, "y");
             set(e.slots[0], SK_INBOUND, "/in");
             int b = st_add(e, "b");
             ASSERT_EQ(b, 1);
             set(e.slots[b], SK_ADDRESS, "1:2/3.4");
         },
         "[boss a]\r\n  boss_host=y\r\ninbound=/in\r\n\r\n\r\n[boss b]\r\naddress=1:2/3.4\r\n"},
        {"last line without line end gets one", "[boss a]\naddress=1:1/1.1",
         [](CfgEdit& e) { set(e.slots[0], SK_NETNAME, "Net"); },
         "[boss a]\naddress=1:1/1.1\nnetname=Net\n"},
        {"last line without line end, nothing changed", "[boss a]\r\n# c", [](CfgEdit&) {},
         "[boss a]\r\n# c\r\n"},
        {"section without keys: right after its header", "[boss a]\n# only a comment\n\n[b]\n",
         [](CfgEdit& e) { set(e.slots[0], SK_ADDRESS, "1:1/1.1"); },
         "[boss a]\naddress=1:1/1.1\n# only a comment\n\n[b]\n"},
        {"single-boss format: the whole file is the slot",
         "sysop = Me\n  address = 2:240/1.1\nboss_host = a\n# tail\n",
         [](CfgEdit& e) {
             set(e.slots[0], SK_HOST, "b");
             set(e.slots[0], SK_OUTBOUND, "/out");
         },
         "sysop = Me\n  address = 2:240/1.1\nboss_host=b\noutbound=/out\n# tail\n"},
        {"global part of a file with sections is never touched",
         "boss_host = g\n[boss a]\nboss_host = a\n",
         [](CfgEdit& e) { set(e.slots[0], SK_HOST, "b"); },
         "boss_host = g\n[boss a]\nboss_host=b\n"},
    };
    for (const auto& c : cases) {
        CfgFile f(c.before);
        ASSERT_EQ(f.scan(), CfgResult::Ok) << c.name;
        c.change(*f.e);
        EXPECT_EQ(cfg_write(*f.e), CfgResult::Ok) << c.name;
        EXPECT_EQ(f.text(), c.after) << c.name;
    }
}

TEST(CfgWrite, SingleBossFormatKeepsSysopAndSystemGlobal) {
    CfgFile f("sysop = Me\nsystem = Home\naddress = 2:240/1.1\n");
    ASSERT_EQ(f.scan(), CfgResult::Ok);
    EXPECT_TRUE(f.e->single);
    EXPECT_EQ(f.e->nslots, 1);
    EXPECT_STREQ(f.e->gsysop_old, "Me");
    EXPECT_STREQ(f.e->gsystem_old, "Home");
    EXPECT_STREQ(f.e->slots[0].oldv[SK_SYSOP], "");
    EXPECT_STREQ(f.e->slots[0].oldv[SK_SYSTEM], "");
    EXPECT_STREQ(f.e->slots[0].oldv[SK_ADDRESS], "2:240/1.1");
    EXPECT_EQ(st_add(*f.e, "x"), -1);
    str_copy(f.e->gsysop_new, "You", CFG_STR);
    EXPECT_EQ(cfg_write(*f.e), CfgResult::Ok);
    EXPECT_EQ(glob_write(*f.e), CfgResult::Ok);
    EXPECT_EQ(f.text(), "sysop=You\nsystem = Home\naddress = 2:240/1.1\n");
}

TEST(CfgWrite, SectionsBeyondTheSixteenthAreKept) {
    std::string text;
    for (int i = 0; i < 17; ++i) text += "[boss b" + std::to_string(i) + "]\nboss_host = h\n";
    CfgFile f(text);
    ASSERT_EQ(f.scan(), CfgResult::Ok);
    EXPECT_EQ(f.e->nslots, MAX_BOSS);
    EXPECT_EQ(st_add(*f.e, "more"), -1);
    set(f.e->slots[15], SK_HOST, "x");
    ASSERT_EQ(cfg_write(*f.e), CfgResult::Ok);
    EXPECT_EQ(f.text(),
              edited(text, {{"[boss b15]\nboss_host = h\n", "[boss b15]\nboss_host=x\n"}}));
}

TEST(CfgWrite, FieldValueOfAutoPollAndSecrets) {
    struct Case {
        bool on;
        int minutes;
        const char* want;
    } cases[] = {
        {true, 90, "90m"},      {true, 120, "2h"},      {true, 1, "1m"},       {false, 0, "off"},
        {false, 30, "off 30m"}, {false, 120, "off 2h"}, {true, 10080, "168h"},
    };
    for (const auto& c : cases) {
        Slot s;
        s.ap_on = c.on;
        s.ap_min = c.minutes;
        char v[CFG_STR];
        field_val(s, SK_AUTOPOLL, v);
        EXPECT_STREQ(v, c.want) << c.on << " " << c.minutes;
        EXPECT_EQ(field_dirty(s, SK_AUTOPOLL), c.on || c.minutes != 0);
        s.ap_on0 = c.on;
        s.ap_min0 = c.minutes;
        EXPECT_FALSE(field_dirty(s, SK_AUTOPOLL));
    }
    Slot s;
    s.pw.stored = true;
    char v[CFG_STR];
    EXPECT_FALSE(field_dirty(s, SK_PASSWORD));
    type_secret(s.pw, "new one");
    EXPECT_TRUE(field_dirty(s, SK_PASSWORD));
    field_val(s, SK_PASSWORD, v);
    EXPECT_STREQ(v, "new one");
    // Other keys: any byte, case included.
    str_copy(s.oldv[SK_HOST], "Host", CFG_STR);
    str_copy(s.newv[SK_HOST], "host", CFG_STR);
    EXPECT_TRUE(field_dirty(s, SK_HOST));
    str_copy(s.newv[SK_HOST], "Host", CFG_STR);
    EXPECT_FALSE(field_dirty(s, SK_HOST));
    auto e = std::make_unique<CfgEdit>();
    e->slots[0] = s;
    st_wipe(*e);
    EXPECT_FALSE(e->slots[0].pw.typed);
    EXPECT_STREQ(e->slots[0].pw.text, "");
}

TEST(CfgWrite, GlobalKeyPass) {
    struct Case {
        const char* name;
        std::string before;
        const char* key;
        const char* value;
        std::string after;
    } cases[] = {
        {"missing sysop goes right before the first header",
         "# top\naddress = 1:1/1\n\n[boss a]\nsysop = Section\n", "sysop", "New Name",
         "# top\naddress = 1:1/1\n\nsysop=New Name\n[boss a]\nsysop = Section\n"},
        {"first line replaced, further ones dropped, sections untouched",
         "  Sysop = Old\nsysop=Older\n[a]\nsysop = S\n", "sysop", "New",
         "sysop=New\n[a]\nsysop = S\n"},
        {"empty value deletes", "system = X\nsystem= Y\n[a]\nsystem = S\n", "system", "",
         "[a]\nsystem = S\n"},
        {"file without sections: appended, line end added first", "address = 1:1/1", "system",
         "Home", "address = 1:1/1\nsystem=Home\n"},
        {"CR LF style", "a = 1\r\n[x]\r\n", "sysop", "N", "a = 1\r\nsysop=N\r\n[x]\r\n"},
        {"deleting what is not there", "a = 1\n", "sysop", "", "a = 1\n"},
        {"empty file", "", "sysop", "N", "sysop=N\n"},
        {"key needs its own word", "sysops = 1\nsysop_x = 2\n", "sysop", "N",
         "sysops = 1\nsysop_x = 2\nsysop=N\n"},
    };
    for (const auto& c : cases) {
        CfgFile f(c.before);
        EXPECT_EQ(gkey_write(f.path.c_str(), c.key, c.value), CfgResult::Ok) << c.name;
        EXPECT_EQ(f.text(), c.after) << c.name;
    }
}

TEST(CfgWrite, GlobWriteOnlyWhatChanged) {
    CfgFile f("sysop = A\nsystem = B\n[boss x]\n");
    ASSERT_EQ(f.scan(), CfgResult::Ok);
    EXPECT_EQ(glob_write(*f.e), CfgResult::Ok);
    EXPECT_EQ(f.text(), "sysop = A\nsystem = B\n[boss x]\n");
    str_copy(f.e->gsystem_new, "b", CFG_STR);  // case counts as a change
    EXPECT_EQ(glob_write(*f.e), CfgResult::Ok);
    EXPECT_EQ(f.text(), "sysop = A\nsystem=b\n[boss x]\n");
    str_copy(f.e->gsysop_new, "", CFG_STR);
    EXPECT_EQ(glob_write(*f.e), CfgResult::Ok);
    EXPECT_EQ(f.text(), "system=b\n[boss x]\n");
}

TEST(CfgWrite, LanguageChoice) {
    CfgFile f("Language = de\n# x\nlanguage=en\n[boss a]\nlanguage = de\n");
    EXPECT_EQ(lang_write(f.path.c_str(), 2), CfgResult::Ok);
    EXPECT_EQ(f.text(), "language=en\n# x\n[boss a]\nlanguage = de\n");
    EXPECT_EQ(lang_write(f.path.c_str(), 1), CfgResult::Ok);
    EXPECT_EQ(f.text(), "language=de\n# x\n[boss a]\nlanguage = de\n");
    EXPECT_EQ(lang_write(f.path.c_str(), 0), CfgResult::Ok);
    EXPECT_EQ(f.text(), "language=auto\n# x\n[boss a]\nlanguage = de\n");
    EXPECT_EQ(lang_write(f.path.c_str(), 3), CfgResult::Failed);
    EXPECT_EQ(f.text(), "language=auto\n# x\n[boss a]\nlanguage = de\n");
    CfgFile g("[boss a]\n");
    EXPECT_EQ(lang_write(g.path.c_str(), 1), CfgResult::Ok);
    EXPECT_EQ(g.text(), "language=de\n[boss a]\n");
}

// A file of exactly n bytes: one section with an address and a long comment.
std::string sized(size_t n) {
    std::string t = "[boss a]\naddress = 1:1/1.1\n# ";
    return t + std::string(n - t.size() - 1, 'x') + "\n";
}

TEST(CfgWrite, SizeLimits) {
    // 16383 bytes: never rewritten, by any pass; the file stays as it was.
    std::string big = sized(16383);
    CfgFile f(big);
    ASSERT_EQ(f.scan(), CfgResult::Ok);  // the dialog still opens
    EXPECT_STREQ(f.e->slots[0].oldv[SK_ADDRESS], "1:1/1.1");
    set(f.e->slots[0], SK_ADDRESS, "1:1/1.2");
    EXPECT_EQ(cfg_write(*f.e), CfgResult::Failed);
    EXPECT_EQ(gkey_write(f.path.c_str(), "sysop", "x"), CfgResult::Failed);
    EXPECT_EQ(lang_write(f.path.c_str(), 1), CfgResult::Failed);
    EXPECT_EQ(f.text(), big);

    // 16382 bytes can be rewritten ("address=1:1/1.2" is two bytes shorter).
    CfgFile g(sized(16382));
    ASSERT_EQ(g.scan(), CfgResult::Ok);
    set(g.e->slots[0], SK_ADDRESS, "1:1/1.2");
    EXPECT_EQ(cfg_write(*g.e), CfgResult::Ok);
    EXPECT_EQ(g.text().size(), 16380u);

    // A result of 16382 bytes is written, one of 16383 is not.
    CfgFile h(sized(16372));
    EXPECT_EQ(gkey_write(h.path.c_str(), "sysop", "abc"), CfgResult::Ok);  // + "sysop=abc\n"
    std::string full = h.text();
    EXPECT_EQ(full.size(), 16382u);
    EXPECT_EQ(gkey_write(h.path.c_str(), "sysop", "abcd"), CfgResult::Failed);
    ASSERT_EQ(h.scan(), CfgResult::Ok);
    set(h.e->slots[0], SK_NETNAME, "N");
    EXPECT_EQ(cfg_write(*h.e), CfgResult::Failed);
    EXPECT_EQ(h.text(), full);
    EXPECT_EQ(h.files(), 1u);
}

TEST(CfgWrite, FailuresLeaveTheFileWhole) {
    CfgFile f(kBosses);
    ASSERT_EQ(f.scan(), CfgResult::Ok);
    set(f.e->slots[0], SK_HOST, "changed");
    // The write of the new text fails: the old file stays byte for byte and
    // no temporary file is left behind; the same for the global pass.
    pf_fault_write_after(1);
    EXPECT_EQ(cfg_write(*f.e), CfgResult::Failed);
    pf_fault_write_after(1);
    EXPECT_EQ(lang_write(f.path.c_str(), 2), CfgResult::Failed);
    pf_fault_write_after(0);
    EXPECT_EQ(f.text(), kBosses);
    EXPECT_EQ(f.files(), 1u);

    // Read-only: refused (also for a user who could write it anyway).
    chmod(f.path.c_str(), 0444);
    EXPECT_EQ(cfg_write(*f.e), CfgResult::Failed);
    EXPECT_EQ(gkey_write(f.path.c_str(), "sysop", "x"), CfgResult::Failed);
    EXPECT_EQ(f.text(), kBosses);
    chmod(f.path.c_str(), 0640);
    EXPECT_EQ(cfg_write(*f.e), CfgResult::Ok);
    struct stat st;
    ASSERT_EQ(stat(f.path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0640u);  // permissions survive the rename

    // A vanished file is not created again.
    std::string gone = f.d.file("gone.cfg");
    std::unique_ptr<CfgEdit> e = std::make_unique<CfgEdit>();
    EXPECT_EQ(st_scan(*e, gone.c_str()), CfgResult::Failed);
    EXPECT_EQ(cfg_write(*e), CfgResult::Failed);
    EXPECT_EQ(gkey_write(gone.c_str(), "sysop", "x"), CfgResult::Failed);
    EXPECT_FALSE(wptest::file_exists(gone));
}

TEST(CfgWrite, SectionsChangedSinceTheScanAreNotWrittenBlindly) {
    // Another editor saved in between: a section is gone, or the file lost
    // its sections. The changes of this dialog would land in the wrong
    // section (fsx's password in tqm's) or nowhere while the save reported
    // success; the pass fails instead and the file stays as the other left it.
    std::string no_fido = kBosses;
    size_t fido = no_fido.find("[boss fido]");
    no_fido.erase(fido, no_fido.find("[boss fsx]") - fido);
    struct Case {
        const char* name;
        std::string now;
    } cases[] = {
        {"first section deleted", no_fido},
        {"section renamed", edited(kBosses, {{"[boss fido]\n", "[boss fido2]\n"}})},
        {"last section deleted", edited(kBosses, {{"[link tqm]\naddress = 1:1/1.1\n", ""}})},
        {"no sections any more", "sysop = x\naddress = 1:1/1.1\n"},
    };
    for (const auto& c : cases) {
        CfgFile f(kBosses);
        ASSERT_EQ(f.scan(), CfgResult::Ok);
        type_secret(f.e->slots[1].pw, "fsx only");
        set(f.e->slots[2], SK_HOST, "tqm.example");
        write_file(f.path, c.now);
        EXPECT_EQ(cfg_write(*f.e), CfgResult::Failed) << c.name;
        EXPECT_EQ(f.text(), c.now) << c.name;
        EXPECT_EQ(f.files(), 1u) << c.name;
    }
    // Sections added after the known ones, and a changed letter case of the
    // "boss" word, do not disturb the mapping.
    CfgFile f(kBosses);
    ASSERT_EQ(f.scan(), CfgResult::Ok);
    set(f.e->slots[2], SK_HOST, "tqm.example");
    std::string now = edited(kBosses, {{"[link tqm]", "[LINK tqm]"}}) + "[boss later]\nx = 1\n";
    write_file(f.path, now);
    EXPECT_EQ(cfg_write(*f.e), CfgResult::Ok);
    EXPECT_EQ(f.text(),
              edited(now, {{"address = 1:1/1.1\n", "address = 1:1/1.1\nboss_host=tqm.example\n"}}));
}

TEST(CfgWrite, LineBreaksInValuesAreRefusedNotWritten) {
    // A value with a line break would add lines (here a whole section) that
    // nobody asked for; the pass fails and the file stays as it was.
    struct Case {
        const char* name;
        std::function<void(CfgEdit&)> change;
    } cases[] = {
        {"changed value", [](CfgEdit& e) { set(e.slots[0], SK_NETNAME, "x\n[boss evil]"); }},
        {"typed password", [](CfgEdit& e) { type_secret(e.slots[1].pw, "a\rb"); }},
        {"value of a new boss",
         [](CfgEdit& e) { set(e.slots[st_add(e, "n")], SK_INBOUND, "/in\n"); }},
        {"name of a new boss with a blank", [](CfgEdit& e) { st_add(e, "two words"); }},
        {"name of a new boss with a bracket", [](CfgEdit& e) { st_add(e, "a]b"); }},
        {"empty name of a new boss", [](CfgEdit& e) { st_add(e, ""); }},
    };
    for (const auto& c : cases) {
        CfgFile f(kBosses);
        ASSERT_EQ(f.scan(), CfgResult::Ok);
        c.change(*f.e);
        EXPECT_EQ(cfg_write(*f.e), CfgResult::Failed) << c.name;
        EXPECT_EQ(f.text(), kBosses) << c.name;
    }
    // A deleted new boss, or a section left alone, is not looked at.
    CfgFile f(kBosses);
    ASSERT_EQ(f.scan(), CfgResult::Ok);
    int n = st_add(*f.e, "bad name");
    set(f.e->slots[n], SK_INBOUND, "/in\n");
    f.e->slots[n].state = ST_DELETED;
    EXPECT_EQ(cfg_write(*f.e), CfgResult::Ok);
    EXPECT_EQ(f.text(), kBosses);

    EXPECT_EQ(gkey_write(f.path.c_str(), "sysop", "a\nsysop=b"), CfgResult::Failed);
    EXPECT_EQ(gkey_write(f.path.c_str(), "sy sop", "a"), CfgResult::Failed);
    EXPECT_EQ(f.text(), kBosses);
}

TEST(CfgWrite, SymbolicLinkStaysALink) {
    // The file is replaced where the link points; the link itself survives.
    CfgFile f(kBosses);
    wptest::TempDir other;
    std::string target = other.file("real.cfg");
    ASSERT_EQ(rename(f.path.c_str(), target.c_str()), 0);
    ASSERT_EQ(symlink(target.c_str(), f.path.c_str()), 0);
    ASSERT_EQ(f.scan(), CfgResult::Ok);
    set(f.e->slots[0], SK_NETNAME, "");
    ASSERT_EQ(cfg_write(*f.e), CfgResult::Ok);
    ASSERT_EQ(lang_write(f.path.c_str(), 2), CfgResult::Ok);
    struct stat st;
    ASSERT_EQ(lstat(f.path.c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    EXPECT_EQ(read_file(target),
              edited(kBosses, {{"netname = FidoNet\n", ""},
                               {"[boss fido]\n", "language=en\n[boss fido]\n"}}));
    EXPECT_EQ(f.files(), 1u);
    std::vector<PfDirEntry> list;
    pf_list_dir(other.path().c_str(), list);
    EXPECT_EQ(list.size(), 1u);
}

TEST(CfgWrite, SaveInDialogOrderIsReadBackByTheLoader) {
    CfgFile f(kBosses);
    ASSERT_EQ(f.scan(), CfgResult::Ok);
    CfgEdit& e = *f.e;
    set(e.slots[1], SK_HOST, "new.fsx.example");
    set(e.slots[1], SK_INBOUND, "/in/fsx");
    set(e.slots[0], SK_NETNAME, "");
    e.slots[2].state = ST_DELETED;
    int n = st_add(e, "amiga");
    set(e.slots[n], SK_ADDRESS, "39:1/1.1");
    set(e.slots[n], SK_SYSOP, "Amiga Name");
    str_copy(e.gsystem_new, "Point Home", CFG_STR);
    ASSERT_EQ(cfg_write(e), CfgResult::Ok);
    ASSERT_EQ(glob_write(e), CfgResult::Ok);
    ASSERT_EQ(lang_write(f.path.c_str(), 2), CfgResult::Ok);

    auto cp = std::make_unique<Config>();
    Config& c = *cp;
    std::string log;
    con_capture(&log);
    ASSERT_EQ(load_config(c, f.path.c_str()), 0);
    con_capture(nullptr);
    ASSERT_EQ(c.boss_count, 3);
    EXPECT_STREQ(c.bnames[2], "amiga");
    EXPECT_STREQ(c.bosses[1].f[F_HOST], "new.fsx.example");
    EXPECT_STREQ(c.bosses[1].f[F_INBOUND], "/in/fsx");
    EXPECT_STREQ(c.bosses[0].f[F_NETNAME], "");
    EXPECT_STREQ(c.bosses[0].f[F_PORT], "24555");
    EXPECT_STREQ(c.bosses[2].f[F_SYSOP], "Amiga Name");
    EXPECT_STREQ(c.gdef.f[F_SYSTEM], "Point Home");
    EXPECT_EQ(c.area_count, 1);

    // A second scan sees exactly what was saved.
    ASSERT_EQ(f.scan(), CfgResult::Ok);
    EXPECT_EQ(e.nslots, 3);
    EXPECT_STREQ(e.slots[2].name, "amiga");
    EXPECT_STREQ(e.gsystem_old, "Point Home");
    EXPECT_TRUE(e.slots[0].pw.stored);
}

TEST(CfgWrite, WritersInTwoProcessesNeverTearTheFile) {
    // The toss run may add an area while the editor saves its settings: each
    // write must land whole, and no writer may take over the other's half
    // written temporary file (or report failure when its own vanished).
    CfgFile f("sysop=start\n");
    std::string a = "sysop=A\n" + std::string(4000, ';') + "\n";
    std::string b = "sysop=B\n" + std::string(9000, '#') + "\n";
    constexpr int kRounds = 300;
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        int failed = 0;
        for (int i = 0; i < kRounds; ++i) failed += cf_write(f.path.c_str(), b);
        _exit(failed == 0 ? 0 : 1);
    }
    int failed = 0, torn = 0;
    for (int i = 0; i < kRounds; ++i) {
        failed += cf_write(f.path.c_str(), a);
        std::string t = f.text();
        if (t != a && t != b) ++torn;
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the other writer failed";
    EXPECT_EQ(failed, 0);
    EXPECT_EQ(torn, 0);
    std::string t = f.text();
    EXPECT_TRUE(t == a || t == b);
    EXPECT_EQ(f.files(), 1u);
}

TEST(CfgWrite, ScratchCopyIsNeverReadableByOthers) {
    // The file holds session passwords and is kept 0600: the scratch copy of
    // a rewrite must never be readable by others, not even before its mode is
    // set. A writer process rewrites the file while this one watches.
    CfgFile f("password=secret\n");
    chmod(f.path.c_str(), 0600);
    std::string text = "password=secret\n" + std::string(12000, '#') + "\n";
    constexpr int kRounds = 300;
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        umask(022);
        int failed = 0;
        for (int i = 0; i < kRounds; ++i) failed += cf_write(f.path.c_str(), text);
        _exit(failed == 0 ? 0 : 1);
    }
    int seen = 0, open_to_others = 0;
    for (;;) {
        std::vector<PfDirEntry> list;
        pf_list_dir(f.d.path().c_str(), list);
        for (const PfDirEntry& d : list) {
            if (d.name == "wrenpost.cfg") continue;
            struct stat st;
            if (stat(f.d.file(d.name).c_str(), &st) != 0) continue;
            ++seen;
            if ((st.st_mode & 077) != 0) ++open_to_others;
        }
        if (waitpid(child, nullptr, WNOHANG) == child) break;
    }
    EXPECT_GT(seen, 0) << "no scratch copy was ever seen";
    EXPECT_EQ(open_to_others, 0) << "of " << seen;
    struct stat st;
    ASSERT_EQ(stat(f.path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_EQ(f.files(), 1u);
}

TEST(CfgWrite, ScratchCopiesOfDeadWritersAreRemoved) {
    // A writer killed mid-write leaves its scratch copy (with the passwords):
    // the next rewrite removes it. Copies of running writers and other files
    // stay.
    CfgFile f("password=secret\n");
    pid_t dead = fork();
    ASSERT_GE(dead, 0);
    if (dead == 0) _exit(0);
    ASSERT_EQ(waitpid(dead, nullptr, 0), dead);
    std::string stale = f.path + ".wptmp" + std::to_string(dead);
    std::string live = f.path + ".wptmp" + std::to_string(getppid());
    std::string other = f.path + ".wptmpx1";
    std::string foreign = f.d.file("other.cfg.wptmp") + std::to_string(dead);
    for (const std::string& p : {stale, live, other, foreign}) write_file(p, "password=secret\n");
    EXPECT_EQ(cf_write(f.path.c_str(), "password=new\n"), 0);
    EXPECT_FALSE(wptest::file_exists(stale));
    EXPECT_TRUE(wptest::file_exists(live));
    EXPECT_TRUE(wptest::file_exists(other));
    EXPECT_TRUE(wptest::file_exists(foreign));
    EXPECT_EQ(f.text(), "password=new\n");
}

TEST(CfgWrite, EveryInjectedWriteFailureLeavesTheOldOrTheNewFile) {
    // Fail the n-th write for n = 1, 2, ... until a pass gets through: after
    // each failure the file is the old one, byte for byte, and no scratch
    // copy is left; the pass that succeeds leaves the new one.
    CfgFile f(kBosses);
    ASSERT_EQ(f.scan(), CfgResult::Ok);
    set(f.e->slots[1], SK_HOST, "new.fsx.example");
    type_secret(f.e->slots[0].pw, "newsecret");
    std::string expect;
    ASSERT_EQ(cfg_rewrite_text(*f.e, kBosses, expect), CfgResult::Ok);
    int n = 1;
    for (; n < 50; ++n) {
        pf_fault_write_after(n);
        CfgResult ok = cfg_write(*f.e);
        pf_fault_write_after(0);
        EXPECT_EQ(f.files(), 1u) << "n=" << n;
        if (ok == CfgResult::Ok) break;
        ASSERT_EQ(f.text(), kBosses) << "n=" << n;
    }
    EXPECT_LT(n, 50);
    EXPECT_EQ(f.text(), expect);
}

// Every rewrite of the configuration (the settings dialog's passes, the
// echo-area edits of the toss and the areas window) keeps the file's owner,
// group and mode: a 0640 file of another group must not come back readable
// by the writer's group. Run as root here, so the file can be given any
// owner and group first.
TEST(CfgWrite, EveryRewriteKeepsOwnerGroupAndMode) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to give the file another owner";
    const uid_t uid = 4711;
    const gid_t gid = 4712;  // neither the writer's user nor its group
    struct Writer {
        const char* name;
        std::function<bool(const char*)> run;
    };
    const std::vector<Writer> writers = {
        {"cfg_write",
         [](const char* p) {
             auto e = std::make_unique<CfgEdit>();
             if (st_scan(*e, p) != CfgResult::Ok) return false;
             set(e->slots[0], SK_HOST, "new.example");
             return cfg_write(*e) == CfgResult::Ok;
         }},
        {"gkey_write", [](const char* p) { return gkey_write(p, "sysop", "x") == CfgResult::Ok; }},
        {"lang_write", [](const char* p) { return lang_write(p, 1) == CfgResult::Ok; }},
        {"af_cfg_add_area",
         [](const char* p) {
             return af_cfg_add_area(p, "fido", "NEW.AREA", "/m/new") == CfgResult::Ok;
         }},
        {"af_cfg_batch_write",
         [](const char* p) {
             AfAreaBatch b;
             return af_cfg_batch_add(b, p, "fsx", "FSX.NEW", "/m/fsx") == CfgResult::Ok &&
                    af_cfg_batch_write(b, p) == CfgResult::Ok;
         }},
        {"af_cfg_del_area", [](const char* p) { return af_cfg_del_area(p, "FIDO.TEST") == 1; }},
    };
    for (const Writer& w : writers) {
        for (bool link : {false, true}) {
            SCOPED_TRACE(std::string(w.name) + (link ? " through a link" : ""));
            CfgFile f(kBosses);
            wptest::TempDir other;
            std::string real = f.path;
            if (link) {
                real = other.file("real.cfg");
                ASSERT_EQ(rename(f.path.c_str(), real.c_str()), 0);
                ASSERT_EQ(symlink(real.c_str(), f.path.c_str()), 0);
            }
            ASSERT_EQ(chown(real.c_str(), uid, gid), 0);
            ASSERT_EQ(chmod(real.c_str(), 0640), 0);
            ASSERT_TRUE(w.run(f.path.c_str()));
            EXPECT_NE(f.text(), kBosses);
            struct stat st;
            ASSERT_EQ(stat(real.c_str(), &st), 0);
            EXPECT_EQ(st.st_uid, uid);
            EXPECT_EQ(st.st_gid, gid);
            EXPECT_EQ(st.st_mode & 07777, 0640u);
            EXPECT_EQ(f.files(), 1u);
        }
    }
}

// When the copy cannot be given the file's owner and group, the rewrite is
// refused with a clear error and the file stays as it was: contents, owner,
// group and mode. First with the platform's refusal injected, then for real:
// a writer that may write the file (mode 0666) but is neither its owner nor
// in its group.
TEST(CfgWrite, RewriteIsRefusedWhenOwnerAndGroupCannotBeKept) {
    CfgFile f(kBosses);
    ASSERT_EQ(chmod(f.path.c_str(), 0640), 0);
    struct stat before;
    ASSERT_EQ(stat(f.path.c_str(), &before), 0);
    lang_apply(LANG_EN);
    ASSERT_STRNE(m_cfg_owner, "");
    std::string log;
    con_capture(&log);
    pf_fault_chown_after(1);
    EXPECT_EQ(gkey_write(f.path.c_str(), "sysop", "x"), CfgResult::Failed);
    pf_fault_chown_after(1);
    EXPECT_EQ(af_cfg_add_area(f.path.c_str(), "fido", "NEW.AREA", "/m/new"), CfgResult::Failed);
    pf_fault_chown_after(0);
    con_capture(nullptr);
    EXPECT_EQ(f.text(), kBosses);
    EXPECT_EQ(f.files(), 1u);  // no scratch copy left
    struct stat after;
    ASSERT_EQ(stat(f.path.c_str(), &after), 0);
    EXPECT_EQ(after.st_ino, before.st_ino);  // not replaced at all
    EXPECT_EQ(after.st_mode, before.st_mode);
    EXPECT_NE(log.find(m_cfg_owner), std::string::npos) << log;
    EXPECT_NE(log.find(f.path), std::string::npos) << log;

    if (geteuid() != 0) return;
    wptest::TempDir open_dir;
    ASSERT_EQ(chmod(open_dir.path().c_str(), 0777), 0);
    std::string path = open_dir.file("wrenpost.cfg");
    write_file(path, kBosses);
    ASSERT_EQ(chown(path.c_str(), 4711, 4712), 0);
    ASSERT_EQ(chmod(path.c_str(), 0666), 0);
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        // The unprivileged writer: "nobody" in a group of its own.
        if (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0) _exit(2);
        _exit(gkey_write(path.c_str(), "sysop", "x") == CfgResult::Failed ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "the unprivileged rewrite was not refused";
    EXPECT_EQ(read_file(path), kBosses);
    struct stat st;
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, 4711u);
    EXPECT_EQ(st.st_gid, 4712u);
    EXPECT_EQ(st.st_mode & 07777, 0666u);
    std::vector<PfDirEntry> list;
    pf_list_dir(open_dir.path().c_str(), list);
    EXPECT_EQ(list.size(), 1u);
}
