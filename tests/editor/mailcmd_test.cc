// The mail commands as scripts and terminals meet them: what list and read
// print of hostile messages, which texts post and netmail refuse, which base
// a name reaches, and MSGIDs of runs in the same second.
#include "editor/mailcmd.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "app/catalog.h"
#include "config/config.h"
#include "core/charset.h"
#include "editor/areas.h"
#include "editor/compose.h"
#include "fmsg/fmsg.h"
#include "jam/crc32.h"
#include "jam/jam.h"
#include "jam/jam_format.h"
#include "platform/platform.h"
#include "support/test_support.h"

using wptest::read_file;
using wptest::write_file;

namespace {

// A point with one boss (netmail base), echo areas and the bad and dupe
// bases; `extra_areas` adds echoarea lines to the boss.
struct Point {
    wptest::TempDir d;
    std::string cfg_path = d.file("wrenpost.cfg");
    std::unique_ptr<Config> cfg = std::make_unique<Config>();
    std::unique_ptr<EdBase> eb = std::make_unique<EdBase>();
    EdNets nets;
    // netmail_prefix: the format prefix of the netmail base ("msg:" or "").
    // bad_prefix: the same for the bad and dupe bases.
    explicit Point(const std::string& extra_areas = "", const std::string& netmail_prefix = "",
                   const std::string& bad_prefix = "") {
        lang_apply(LANG_EN);
        std::string m = d.path() + "/";
        write_file(cfg_path, "sysop=Jo Point\nbadarea=" + bad_prefix + m + "bad\ndupearea=" +
                                 bad_prefix + m + "dupes\ninbound=" + m + "in\noutbound=" + m +
                                 "out\n[fsx]\naddress=21:3/210.7@fsxnet\n"
                                 "boss_address=21:3/210\nboss_host=127.0.0.1\nnetmail=" +
                                 netmail_prefix + m + "netmail\nechoarea=FSX_GEN " + m +
                                 "fsxgen\n" + extra_areas);
        EXPECT_EQ(load_config(*cfg, cfg_path.c_str()), 0);
        eb->cfg = cfg.get();
        build_tables(*cfg, *eb, nets);
    }
    int area(const char* tag) const {
        for (int a = 0; a < eb->ed_nareas; ++a)
            if (std::string(eb->ed_areas[a].AR_TAG) == tag) return a;
        return -1;
    }
    std::string base(const char* tag) const { return eb->ed_areas[area(tag)].AR_PATH; }
    // A run of the program: its standard output and standard error (the
    // log of the mail commands) together.
    wptest::RunResult run(std::vector<std::string> args) const {
        args.insert(args.begin(), {WP_BINARY, "-lang", "en", "-c", cfg_path});
        wptest::RunResult r;
        PfChild child;
        if (pf_spawn(args, child) != 0) return r;
        char buf[65536];
        int64_t n;
        while ((n = pf_read(child.out, buf, sizeof buf)) > 0)
            r.out.append(buf, static_cast<size_t>(n));
        pf_close(child.out);
        child.out = PF_INVALID;
        r.code = pf_wait_child(child);
        return r;
    }
};

#ifndef _WIN32
// The MSGID subfields of a base, in order.
std::vector<std::string> msgids(const std::string& base) {
    std::vector<std::string> out;
    JamImage img;
    if (jam_load(base.c_str(), img) != 0) return out;
    JamHdrWalk w;
    jam_hdr_walk_start(w, img);
    JamHeader h;
    while (jam_hdr_walk_next(w, h)) {
        JamSubfWalk sw;
        JamSubfield sf;
        jam_subf_start(sw, h);
        while (jam_subf_next(sw, sf))
            if (sf.LoID == SF_MSGID)
                out.emplace_back(reinterpret_cast<const char*>(sf.data), sf.DatLen);
    }
    return out;
}
#endif

int count_messages(const std::string& base) {
    std::string jdx = wptest::file_exists(base + ".jdx") ? read_file(base + ".jdx") : "";
    return static_cast<int>(jdx.size() / 8);
}

// Every character of a printed text, or a note of what is wrong with it: the
// text must be UTF-8 with no control but LF, and TAB only where `tabs`.
std::string controls_in(const std::string& out, bool tabs) {
    if (!utf8_valid(out.data(), out.size())) return "not UTF-8";
    std::u16string w = utf8_to_utf16(out.data(), out.size());
    for (size_t i = 0; i < w.size(); ++i) {
        char32_t c = w[i];
        if (c == u'\n' || (tabs && c == u'\t')) continue;
        if (cs_is_control(c)) {
            char t[48];
            snprintf(t, sizeof t, "control U+%04X at %zu", static_cast<unsigned>(c), i);
            return t;
        }
    }
    return "";
}

}  // namespace

// A message from the network may carry terminal controls in every field,
// kludge and line, in any character set: list, read and read -k print none
// of them raw, and the letters of each set stay letters.
TEST(MailCommands, ControlsNeverReachTheOutput) {
    Point pt;
    int echo = pt.area("FSX_GEN");
    struct Set {
        const char* chrs;
        std::vector<std::string> hostile;  // in the set's own bytes
        std::string letter;                // bytes 0x80-0x9F that are letters here, or ""
        std::string letter_utf8;
    } sets[] = {
        {"CP437",
         {"\x1b]0;pwned\x07", "\x1b[2J\x1b[H", "\x08\x08\x7f", "a\tb\rc\nd", "\x0b\x0c\x0e\x0f",
          "\x1b[6n\x1bP+q\x1b\\"},
         "\x9b\x80",
         "\xc2\xa2\xc3\x87"},  // the cent sign and C with cedilla
        {"LATIN-1",
         {"\x1b]0;pwned\x07", "\x1b[2J\x1b[H", "\x08\x08\x7f", "a\tb\rc\nd",
          "\x9b"
          "2J\x85\x90",
          "\x9d\x9e\x9f\x80"},
         "",
         ""},
        {"UTF-8",
         {"\x1b]0;pwned\x07", "\x1b[2J\x1b[H",
          "\xc2\x9b"
          "2J\xc2\x85",
          "\xe2\x80\xae"
          "evil\xe2\x80\xac",
          "\xe2\x81\xa6x\xe2\x81\xa9\xe2\x80\xa8\xe2\x80\xa9", "\xd8\x9c\xe2\x80\x8e\xe2\x80\x8f",
          "a\tb\rc\nd\x7f"},
         "",
         ""},
        {"CP866",
         {"\x1b]0;pwned\x07", "\x1b[2J\x1b[H", "\x08\x7f", "a\tb\rc\nd", "\x0b\x0c\x1b[?1049h"},
         "\x80\x9f",
         "\xd0\x90\xd0\xaf"},  // Cyrillic A and YA
    };
    // Every subfield the reader and read -k show.
    const uint16_t ids[] = {SF_OADDR,  SF_DADDR, SF_SENDER, SF_RECEIVER, SF_SUBJECT,
                            SF_MSGID,  SF_REPLY, SF_PID,    SF_TRACE,    SF_KLUDGE,
                            SF_SEENBY, SF_PATH,  SF_FLAGS,  SF_TZUTC};
    int tries = 0;
    for (const Set& s : sets) {
        for (const std::string& bad : s.hostile) {
            std::string v = "X" + bad + s.letter + "Y";
            std::string sf;
            jam_subf_add(sf, SF_KLUDGE, (std::string("CHRS: ") + s.chrs + " 2").c_str());
            for (uint16_t id : ids) jam_subf_add(sf, id, v.data(), v.size());
            std::string text = "\x01HOSTILE: " + v + "\r" + v + "\r" + "tab\there\r";
            JamMsg m;
            m.jm_subf = sf.data();
            m.jm_subflen = static_cast<uint32_t>(sf.size());
            m.jm_text = text.data();
            m.jm_textlen = static_cast<uint32_t>(text.size());
            m.jm_attr = JA_NET;  // the destination address shows too
            m.jm_date = m.jm_now = 1796444632;
            ASSERT_EQ(jam_append(pt.eb->ed_areas[echo].AR_PATH, m), 0);
            tries += static_cast<int>(std::size(ids)) + 2;
        }
    }
    ASSERT_EQ(ej_load_area(*pt.eb, echo), 0);
    size_t n = 0;
    for (const Set& s : sets) {
        for (const std::string& bad : s.hostile) {
            ASSERT_LT(n, pt.eb->ej_count);
            uint32_t e = static_cast<uint32_t>(n++);
            std::string what = std::string(s.chrs) + " " + std::to_string(n);
            std::string list = mc_list_line(*pt.eb, e);
            EXPECT_EQ(controls_in(list.substr(0, list.size() - 1), true), "") << what;
            // Five columns, four tabs: a field never adds one.
            EXPECT_EQ(std::count(list.begin(), list.end(), '\t'), 4) << what;
            for (bool k : {false, true}) {
                std::string out = mc_message_text(*pt.eb, e, k);
                // Tabs only where the text had one; the header stays four
                // lines and an empty one.
                std::string head = out.substr(0, out.find("\n\n"));
                EXPECT_EQ(controls_in(head, false), "") << what << " " << out;
                EXPECT_EQ(std::count(head.begin(), head.end(), '\n'), 3) << what;
                EXPECT_EQ(controls_in(out, true), "") << what << " k=" << k;
                EXPECT_NE(out.find("tab\there\n"), std::string::npos) << what;
                if (!s.letter_utf8.empty()) {
                    EXPECT_NE(out.find(s.letter_utf8), std::string::npos) << what;
                }
                if (bad.rfind("\x1b]0;", 0) == 0) {  // ESC shows as the reader draws it
                    EXPECT_NE(out.find("X\u2190]0;pwned"), std::string::npos) << what;
                }
                if (k) {
                    // Every kludge row is there, on a line of its own.
                    for (const char* row : {"@MSGID: X", "@REPLY: X", "@PID: X", "@Via X",
                                            "@HOSTILE: X", "SEEN-BY: X", "@PATH: X"})
                        EXPECT_NE(out.find(std::string("\n") + row), std::string::npos)
                            << what << " " << row << "\n"
                            << out;
                }
            }
        }
    }
    EXPECT_EQ(n, pt.eb->ej_count);
    EXPECT_GT(tries, 300);
}

#ifndef _WIN32  // the runs below use /dev/zero and the POSIX child output
// The commands end to end: standard output of list, read and read -k, and
// the log of areas (the AreaFix cache holds descriptions from replies).
TEST(MailCommands, ControlsNeverReachTheTerminalEndToEnd) {
    Point pt;
    std::string sf;
    const char* v =
        "A\x1b]0;pwned\x07\xc2\x9b"
        "2J\xe2\x80\xae";
    jam_subf_add(sf, SF_KLUDGE, "CHRS: UTF-8 4");
    jam_subf_add(sf, SF_SENDER, v);
    jam_subf_add(sf, SF_RECEIVER, v);
    jam_subf_add(sf, SF_SUBJECT, v);
    jam_subf_add(sf, SF_MSGID, v);
    std::string text = std::string("\x01X: ") + v + "\r" + v + "\r";
    JamMsg m;
    m.jm_subf = sf.data();
    m.jm_subflen = static_cast<uint32_t>(sf.size());
    m.jm_text = text.data();
    m.jm_textlen = static_cast<uint32_t>(text.size());
    m.jm_attr = JA_ECHO;
    m.jm_date = m.jm_now = 1796444632;
    ASSERT_EQ(jam_append(pt.base("FSX_GEN").c_str(), m), 0);
    write_file(pt.d.file("areas_fsx.lst"),
               std::string("# wrenpost AreaFix cache\r\nFSX_GEN\tlinked\t") + v + "\x7f\r\n");
    for (std::vector<std::string> args : {std::vector<std::string>{"list", "FSX_GEN"},
                                          {"read", "FSX_GEN", "1"},
                                          {"read", "-k", "FSX_GEN", "1"},
                                          {"areas", "fsx"}}) {
        auto r = pt.run(args);
        EXPECT_EQ(r.code, 0) << args[0] << r.out;
        std::string lines = r.out;  // the log (areas) ends its lines in CR LF
        lines.erase(std::remove(lines.begin(), lines.end(), '\r'), lines.end());
        EXPECT_EQ(controls_in(lines, args[0] == "list"), "") << args[0] << ": " << r.out;
        EXPECT_NE(r.out.find("A"), std::string::npos);
    }
}

// A text longer than a message may be, or with nothing in it, is refused
// whole: an error, exit code 1, nothing written. One just short enough is
// stored whole.
TEST(MailCommands, LongOrEmptyTextsAreRefusedNotCut) {
    Point pt;
    std::string fit(CP_BODY_MAX - 1, 'a');
    fit.back() = '\n';
    std::string over = fit + "ab";  // one unit too many
    // A surrogate pair across the limit: one unit too many, not a cut pair.
    std::string pair = std::string(CP_BODY_MAX - 1, 'a') + "\xf0\x9f\x98\x80";
    write_file(pt.d.file("fit"), fit + "z");
    write_file(pt.d.file("over"), over);
    write_file(pt.d.file("pair"), pair);
    write_file(pt.d.file("nuls"), std::string(4096, '\0'));
    write_file(pt.d.file("blank"), " \r\n\t\n");
    write_file(pt.d.file("empty"), "");
    struct Case {
        const char* cmd;
        std::string file;
        int code;
        const char* error;  // nullptr: saved
    } cases[] = {
        {"post", pt.d.file("over"), 1, "ERROR: the text is too long"},
        {"post", pt.d.file("pair"), 1, "ERROR: the text is too long"},
        {"netmail", pt.d.file("over"), 1, "ERROR: the text is too long"},
        {"post", "/dev/zero", 1, "ERROR: the text is too long"},
        {"post", "/dev/urandom", 1, "ERROR: the text is too long"},
        {"post", pt.d.file("nuls"), 1, "ERROR: the text is empty"},
        {"post", pt.d.file("blank"), 1, "ERROR: the text is empty"},
        {"netmail", pt.d.file("empty"), 1, "ERROR: the text is empty"},
        {"post", pt.d.file("fit"), 0, nullptr},
    };
    int saved = 0;
    for (const Case& c : cases) {
        std::vector<std::string> args = {c.cmd,
                                         std::string(c.cmd) == "post" ? "FSX_GEN" : "21:3/210",
                                         "Sysop", "subject", c.file};
        auto r = pt.run(args);
        EXPECT_EQ(r.code, c.code) << c.file << r.out;
        if (c.error != nullptr) {
            EXPECT_NE(r.out.find(c.error), std::string::npos) << c.file << r.out;
        } else {
            ++saved;
        }
        EXPECT_EQ(count_messages(pt.base("FSX_GEN")) + count_messages(pt.base("NETMAIL.fsx")),
                  saved)
            << c.file;
    }
    // The one that fits is all there: its last line and the tear line.
    std::string jdt = read_file(pt.base("FSX_GEN") + ".jdt");
    EXPECT_EQ(jdt.size(), fit.size() + 2 + std::string("--- wrenpost 0.9\r").size() +
                              std::string(" * Origin: wrenpost (21:3/210.7)\r").size());
    EXPECT_EQ(jdt.substr(CP_BODY_MAX - 4, 6), "aa\rz\r-");
}

#endif

// The compose window's save path refuses the same way: nothing cut.
TEST(MailCommands, ComposeRefusesATooLongBody) {
    Point pt;
    ComposeInput in;
    in.area = pt.area("FSX_GEN");
    in.body = std::u16string(CP_BODY_MAX, u'a');
    CpMessage m;
    ASSERT_EQ(cp_build(*pt.eb, pt.nets, in, 1, 1796444632, 0, m), CP_SAVED);
    EXPECT_EQ(m.text.compare(0, CP_BODY_MAX, std::string(CP_BODY_MAX, 'a')), 0);
    in.body += u'b';
    EXPECT_EQ(cp_build(*pt.eb, pt.nets, in, 1, 1796444632, 0, m), CP_E_LONG);
    // A pair whose second half would be cut off.
    in.body = std::u16string(CP_BODY_MAX - 1, u'a') + u"\U0001F600";
    EXPECT_EQ(cp_build(*pt.eb, pt.nets, in, 1, 1796444632, 0, m), CP_E_LONG);
    JamLock lk;
    lock_set_cfg(lk, pt.cfg_path.c_str());
    uint32_t num = 0;
    int area = -1;
    EXPECT_EQ(cp_save(*pt.eb, pt.nets, lk, in, num, area), CP_E_LONG);
    EXPECT_EQ(count_messages(pt.base("FSX_GEN")), 0);
    // No serial was spent on it.
    EXPECT_FALSE(wptest::file_exists(pt.d.file("wpserial.dat")));
}

#ifndef _WIN32
// Runs in one second, one after the other, and an AreaFix request among
// them: every MSGID differs.
TEST(MailCommands, RunsInTheSameSecondGetDistinctMsgids) {
    Point pt;
    write_file(pt.d.file("t"), "hello\n");
    for (int i = 0; i < 4; ++i) {
        auto r = pt.run({"post", "FSX_GEN", "All", "s", pt.d.file("t")});
        ASSERT_EQ(r.code, 0) << r.out;
    }
    ASSERT_EQ(pt.run({"netmail", "21:3/210", "Sysop", "s", pt.d.file("t")}).code, 0);
    ASSERT_EQ(pt.run({"areafix", "fsx", "%LIST"}).code, 0);
    std::vector<std::string> ids = msgids(pt.base("FSX_GEN"));
    for (const std::string& id : msgids(pt.base("NETMAIL.fsx"))) ids.push_back(id);
    ASSERT_EQ(ids.size(), 6u);
    EXPECT_EQ(std::set<std::string>(ids.begin(), ids.end()).size(), ids.size());
    // With the last serial recorded ahead of the clock (a clock set back),
    // the next run still goes above it.
    uint32_t v = 0xfffffff0u;
    char rec[64];
    snprintf(rec, sizeof rec, "wrenpost msgid serial\n%08x %08x\n", v, ~v);
    write_file(pt.d.file("wpserial.dat"), rec);
    ASSERT_EQ(pt.run({"post", "FSX_GEN", "All", "s", pt.d.file("t")}).code, 0);
    EXPECT_EQ(msgids(pt.base("FSX_GEN")).back(), "21:3/210.7@fsxnet fffffff1");
}

// Echo areas tagged like the special bases: a tag names the echo area, -b
// the netmail, bad and dupe bases; names that collide with nothing work as
// before.
TEST(MailCommands, SpecialBasesAndEchoTagsDoNotHideEachOther) {
    std::string m;
    Point pt;  // for the directory
    m = pt.d.path() + "/";
    Point q("echoarea=NETMAIL " + m + "e_netmail\nechoarea=BAD " + m + "e_bad\nechoarea=DUPES " +
            m + "e_dupes\nechoarea=netmail.FSX " + m + "e_nmfsx\n");
    struct Case {
        const char* name;
        bool base;
        const char* want;  // AR_TAG of the area found, nullptr none
        int type;
    } cases[] = {
        {"NETMAIL", false, "NETMAIL", AT_ECHO},
        {"bad", false, "BAD", AT_ECHO},
        {"DUPES", false, "DUPES", AT_ECHO},
        {"NETMAIL.fsx", false, "netmail.FSX", AT_ECHO},
        {"FSX_GEN", false, "FSX_GEN", AT_ECHO},
        {"netmail", true, "NETMAIL.fsx", AT_NET},
        {"NETMAIL.FSX", true, "NETMAIL.fsx", AT_NET},
        {"bad", true, "BAD", AT_LOCAL},
        {"Dupes", true, "DUPES", AT_LOCAL},
        {"FSX_GEN", true, nullptr, 0},
        {"NOPE", false, nullptr, 0},
    };
    for (const Case& c : cases) {
        int a = mc_find_area(*q.eb, c.name, c.base);
        if (c.want == nullptr) {
            EXPECT_EQ(a, -1) << c.name;
            continue;
        }
        ASSERT_GE(a, 0) << c.name;
        EXPECT_STREQ(q.eb->ed_areas[a].AR_TAG, c.want) << c.name;
        EXPECT_EQ(static_cast<int>(q.eb->ed_areas[a].AR_TYPE), c.type) << c.name;
    }
    // Without colliding tags the old names still reach the special bases.
    EXPECT_EQ(pt.eb->ed_areas[mc_find_area(*pt.eb, "NETMAIL", false)].AR_TYPE, AT_NET);
    EXPECT_EQ(mc_find_area(*pt.eb, "BAD", false), pt.area("BAD"));
    EXPECT_EQ(mc_find_area(*pt.eb, "dupes", false), pt.area("DUPES"));

    // End to end: a post reaches the echo area NETMAIL; list shows it, and
    // -b netmail the netmail base.
    write_file(q.d.file("t"), "hello\n");
    auto r = q.run({"post", "NETMAIL", "All", "echo", q.d.file("t")});
    ASSERT_EQ(r.code, 0) << r.out;
    EXPECT_EQ(count_messages(m + "e_netmail"), 1);
    ASSERT_EQ(q.run({"netmail", "21:3/210", "Sysop", "net", q.d.file("t")}).code, 0);
    r = q.run({"list", "NETMAIL"});
    EXPECT_EQ(r.code, 0);
    EXPECT_NE(r.out.find("\techo\n"), std::string::npos) << r.out;
    r = q.run({"list", "-b", "netmail"});
    EXPECT_EQ(r.code, 0);
    EXPECT_NE(r.out.find("\tnet\n"), std::string::npos) << r.out;
    r = q.run({"read", "-b", "netmail", "1"});
    EXPECT_EQ(r.code, 0);
    EXPECT_NE(r.out.find("Subject: net\n"), std::string::npos) << r.out;
    EXPECT_EQ(q.run({"list", "-b", "bad"}).code, 0);
    EXPECT_EQ(q.run({"list", "-b", "FSX_GEN"}).code, 1);
}
#endif

// ---- *.MSG areas -----------------------------------------------------------

namespace {

// The output with what differs between two runs masked: MSGID serials, the
// UTC offset and the date.
std::string masked(std::string s) {
    for (const char* key : {"@MSGID: 21:3/210.7@fsxnet ", "\nDate: "}) {
        for (size_t p = s.find(key); p != std::string::npos; p = s.find(key, p + 1)) {
            size_t a = p + std::strlen(key), e = s.find('\n', a);
            s.replace(a, e - a, "*");
        }
    }
    return s;
}

// What a run printed on standard output: its log lines (time stamp first,
// CR LF at the end) taken out.
std::string printed(const std::string& out) {
    std::string o;
    for (size_t i = 0; i < out.size();) {
        size_t e = out.find('\n', i);
        e = e == std::string::npos ? out.size() : e + 1;
        std::string line = out.substr(i, e - i);
        if (!(line.size() > 12 && line[0] == '[' && line[9] == ']' &&
              line.find("\r\n") == line.size() - 2))
            o += line;
        i = e;
    }
    return o;
}

struct Posted {
    std::string list, read, net_list, net_read;
};

// Posts an echomail and a netmail into a point whose NETECHO area and netmail
// base have the format `prefix`, and lists and reads both.
Posted post_list_read(const std::string& prefix, bool& msg_files, bool& jam_files) {
    wptest::TempDir tmp;
    Point pt("echoarea=NETECHO " + prefix + tmp.path() + "/netecho\n", prefix);
    std::string echo = tmp.path() + "/netecho", net = pt.d.path() + "/netmail";
    write_file(pt.d.file("t"), "Hello \xc3\xa4 there\n\nsecond line\n");
    Posted p;
    auto r = pt.run({"post", "NETECHO", "Al Bo", "Greetings", pt.d.file("t")});
    EXPECT_EQ(r.code, 0) << r.out;
    r = pt.run({"netmail", "21:3/100", "Sy Op", "Private", pt.d.file("t")});
    EXPECT_EQ(r.code, 0) << r.out;
    r = pt.run({"list", "NETECHO"});
    EXPECT_EQ(r.code, 0) << r.out;
    p.list = printed(r.out);
    std::string num = p.list.substr(0, p.list.find('\t'));
    r = pt.run({"read", "-k", "NETECHO", num});
    EXPECT_EQ(r.code, 0) << r.out;
    p.read = printed(r.out);
    r = pt.run({"list", "NETMAIL"});
    EXPECT_EQ(r.code, 0) << r.out;
    p.net_list = printed(r.out);
    num = p.net_list.substr(0, p.net_list.find('\t'));
    r = pt.run({"read", "-k", "NETMAIL", num});
    EXPECT_EQ(r.code, 0) << r.out;
    p.net_read = printed(r.out);
    msg_files = wptest::file_exists(echo + "/2.msg") && wptest::file_exists(net + "/2.msg");
    jam_files = wptest::file_exists(echo + ".jhr") || wptest::file_exists(net + ".jhr");
    return p;
}

}  // namespace

// post and netmail write into the base of the configured format, and list and
// read show the same fields from a *.MSG area as from a JAM base.
TEST(MailCommandsFmsg, PostListReadAlikeInBothFormats) {
    bool msg_files = false, jam_files = false;
    Posted jam = post_list_read("", msg_files, jam_files);
    EXPECT_TRUE(jam_files);
    EXPECT_FALSE(msg_files);
    Posted fm = post_list_read("msg:", msg_files, jam_files);
    EXPECT_TRUE(msg_files);
    EXPECT_FALSE(jam_files) << "a msg: base was written as JAM";
    // The numbers differ (JAM counts from 1, *.MSG from 2): compare after them.
    auto tail = [](const std::string& s) { return s.substr(s.find('\t')); };
    EXPECT_EQ(tail(fm.list), tail(jam.list));
    EXPECT_EQ(tail(fm.net_list), tail(jam.net_list));
    EXPECT_NE(jam.list.find("\tJo Point\tAl Bo\tGreetings\n"), std::string::npos) << jam.list;
    EXPECT_EQ(masked(fm.read), masked(jam.read));
    EXPECT_EQ(masked(fm.net_read), masked(jam.net_read));
    for (const std::string& s : {fm.read, fm.net_read}) {
        EXPECT_NE(s.find("Hello \xc3\xa4 there\n\nsecond line\n--- wrenpost"), std::string::npos)
            << s;
        EXPECT_NE(s.find("@CHRS: "), std::string::npos) << s;
    }
    EXPECT_NE(fm.net_read.find("To: Sy Op <21:3/100>"), std::string::npos) << fm.net_read;
}

// A message the toss filed into a *.MSG area (kludges, SEEN-BY and PATH, a
// LATIN-1 text with a control in it) lists and reads, -k showing the kludges
// where a JAM message shows them, the control never raw.
TEST(MailCommandsFmsg, TossedMessageListsAndReads) {
    wptest::TempDir tmp;
    std::string dir = tmp.path() + "/netecho";
    ASSERT_EQ(pf_mkdir(dir.c_str()), 0);
    Point pt("echoarea=NETECHO msg:" + dir + "\n");
    {
        FmsgBase b;
        ASSERT_EQ(b.open(dir.c_str()), MbResult::Ok);
        MbMessage m;
        m.from = "Ren\xe9";
        m.to = "All";
        m.subject = "Caf\xe9\x1b[2J";
        m.orig = ftn_addr{21, 1, 100, 0};
        m.date_written = 1767268800;  // 2026-01-01 12:00
        m.attrs = MbAttr::Echo;
        m.kludges = {mb_kludge("MSGID", "21:1/100 12345678"), mb_kludge("CHRS", "LATIN-1 2"),
                     mb_kludge("SEEN-BY", "1/100 3/210"), mb_kludge("PATH", "1/100")};
        m.text = "Gr\xfc\xdf \x07Gott\r--- x\r * Origin: here (21:1/100)\r";
        uint32_t num = 0;
        ASSERT_EQ(b.append(m, num), MbResult::Ok);
        ASSERT_EQ(num, 2u);
    }
    auto r = pt.run({"list", "NETECHO"});
    ASSERT_EQ(r.code, 0) << r.out;
    r.out = printed(r.out);
    EXPECT_EQ(r.out.substr(0, r.out.find('\t')), "2");
    EXPECT_NE(r.out.find("\tRen\xc3\xa9\tAll\tCaf\xc3\xa9"), std::string::npos) << r.out;
    EXPECT_EQ(controls_in(r.out, true), "");
    r = pt.run({"read", "-k", "NETECHO", "2"});
    ASSERT_EQ(r.code, 0) << r.out;
    r.out = printed(r.out);
    EXPECT_EQ(controls_in(r.out, false), "");
    std::string want_head = "From: Ren\xc3\xa9 <21:1/100>\nTo: All\nSubject: Caf\xc3\xa9";
    EXPECT_EQ(r.out.substr(0, want_head.size()), want_head) << r.out;
    for (const char* line :
         {"\nDate: 2026-01-01 12:00\n\n@MSGID: 21:1/100 12345678\n@CHRS: LATIN-1 "
          "2\nGr\xc3\xbc\xc3\x9f ",
          "\n--- x\n * Origin: here (21:1/100)\nSEEN-BY: 1/100 3/210\n@PATH: 1/100\n"})
        EXPECT_NE(r.out.find(line), std::string::npos) << line << "\n" << r.out;
    r = pt.run({"read", "NETECHO", "2"});
    ASSERT_EQ(r.code, 0);
    EXPECT_EQ(r.out.find("@MSGID"), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("SEEN-BY"), std::string::npos) << r.out;
    r = pt.run({"read", "NETECHO", "3"});
    EXPECT_EQ(r.code, 1);
    EXPECT_NE(r.out.find("no message with this number: 3"), std::string::npos) << r.out;
}

// A file of the area that is not a message (too short for the header, or
// larger than any message) is named in an error; list still shows the
// others, read refuses it, nothing crashes.
TEST(MailCommandsFmsg, HostileFileIsAnErrorNotACrash) {
    wptest::TempDir tmp;
    std::string dir = tmp.path() + "/netecho";
    ASSERT_EQ(pf_mkdir(dir.c_str()), 0);
    Point pt("echoarea=NETECHO msg:" + dir + "\n");
    write_file(pt.d.file("t"), "fine\n");
    ASSERT_EQ(pt.run({"post", "NETECHO", "All", "ok", pt.d.file("t")}).code, 0);
    struct Case {
        const char* name;
        std::string bytes;
        const char* error;
    } cases[] = {{"3.msg", std::string(40, '\x1b'), "message base damaged: "},
                 {"4.msg", std::string(FMSG_FILE_MAX + 1, 'x'), "message too big for: "}};
    for (const Case& c : cases) write_file(dir + "/" + c.name, c.bytes);
    auto r = pt.run({"list", "NETECHO"});
    EXPECT_EQ(r.code, 5) << r.out;
    EXPECT_NE(r.out.find("2\t"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("\tJo Point\tAll\tok\n"), std::string::npos) << r.out;
    EXPECT_EQ(controls_in(printed(r.out), true), "");
    for (const Case& c : cases) {
        std::string num(c.name, 1);
        EXPECT_NE(r.out.find(std::string(c.error) + dir + " #" + num), std::string::npos)
            << c.name << "\n"
            << r.out;
        auto rr = pt.run({"read", "-k", "NETECHO", num});
        EXPECT_EQ(rr.code, 5) << c.name;
        EXPECT_NE(rr.out.find(std::string(c.error) + dir + " #" + num), std::string::npos)
            << rr.out;
        EXPECT_TRUE(wptest::file_exists(dir + "/" + c.name)) << "nothing is lost";
    }
}

// The bad and dupe bases configured with msg: are read as *.MSG too.
TEST(MailCommandsFmsg, BadAndDupeBasesOfMsgFormat) {
    Point pt("", "", "msg:");
    for (const char* name : {"bad", "dupes"}) {
        std::string dir = pt.d.path() + "/" + name;
        ASSERT_EQ(pf_mkdir(dir.c_str()), 0);
        FmsgBase b;
        ASSERT_EQ(b.open(dir.c_str()), MbResult::Ok);
        MbMessage m;
        m.from = "Sender";
        m.to = "All";
        m.subject = std::string("in ") + name;
        m.text = "body\r";
        uint32_t num = 0;
        ASSERT_EQ(b.append(m, num), MbResult::Ok);
        auto r = pt.run({"list", "-b", name});
        EXPECT_EQ(r.code, 0) << r.out;
        EXPECT_NE(printed(r.out).find("2\t"), std::string::npos) << r.out;
        EXPECT_NE(r.out.find("\tSender\tAll\tin " + std::string(name) + "\n"), std::string::npos)
            << r.out;
        r = pt.run({"read", "-b", name, "2"});
        EXPECT_EQ(r.code, 0) << r.out;
        EXPECT_NE(printed(r.out).find("\n\nbody\n"), std::string::npos) << r.out;
    }
}
