// The export run end to end: `wrenpost scan` on real bases and outbounds.
#include "scanner/export.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <regex>
#include <string>
#include <vector>

#include "app/catalog.h"
#include "core/log.h"
#include "jam/jam.h"
#include "platform/platform.h"
#include "scanner/scanner_util.h"
#include "support/test_support.h"

using wptest::add_local;
using wptest::file_exists;
using wptest::LocalMsg;
using wptest::read_file;
using wptest::write_file;

namespace {

struct Point {
    wptest::TempDir d;
    std::string out = d.file("out"), msg = d.file("msg"), cfg = d.file("wrenpost.cfg");
    Point() { pf_mkdir(msg.c_str()); }
    void config(const std::string& text) { write_file(cfg, text); }
    std::string single(const std::string& extra = "") {
        return "address=21:3/210.7\nboss_host=127.0.0.1\nboss_address=21:3/210\ninbound=" +
               d.file("in") + "\noutbound=" + out + "\nnetmail=" + msg +
               "/netmail\nsystem=My Point\n" + extra;
    }
    wptest::RunResult scan(const std::string& boss = "") {
        std::vector<std::string> args = {"-lang", "en", "-c", cfg, "scan"};
        if (!boss.empty()) args.push_back(boss);
        return wptest::run_wrenpost(args, d.path());
    }
    std::vector<std::string> outbound() {
        std::vector<PfDirEntry> l;
        pf_list_dir(out.c_str(), l);
        std::vector<std::string> names;
        for (auto& e : l) names.push_back(e.name + (e.is_dir ? "/" : ""));
        std::sort(names.begin(), names.end());
        return names;
    }
};

using wptest::has_log_line;
using wptest::log_texts;

std::string summary(const std::string& out) {
    return wptest::first_log_line(out, "Export done.");
}

// Attributes of every message of a base, in order.
std::vector<uint32_t> attrs(const std::string& base) {
    std::vector<uint32_t> a;
    JamImage img;
    if (jam_load(base.c_str(), img) != 0) return a;
    JamHdrWalk w;
    jam_hdr_walk_start(w, img);
    JamHeader h;
    while (jam_hdr_walk_next(w, h)) a.push_back(h.Attribute);
    return a;
}

LocalMsg netmail(const std::string& subject = "Hello") {
    LocalMsg m;
    m.daddr = "21:3/210";
    m.to = "Boss";
    m.subject = subject;
    return m;
}

}  // namespace

TEST(Export, SingleBossFormExportsEverythingOnceAndMarksIt) {
    Point pt;
    pt.config(pt.single("echoarea=FSX_GEN " + pt.msg + "/fsxgen\n"));
    ASSERT_EQ(add_local(pt.msg + "/netmail", netmail()), 0);
    ASSERT_EQ(add_local(pt.msg + "/fsxgen", LocalMsg{}), 0);
    ASSERT_EQ(add_local(pt.msg + "/fsxgen", LocalMsg{}), 0);
    auto r = pt.scan();
    EXPECT_EQ(r.code, 0) << r.out;
    EXPECT_TRUE(has_log_line(r.out, "--- Export boss [default]: 21:3/210.7 -> 21:3/210"));
    EXPECT_TRUE(has_log_line(r.out, "  Area NETMAIL: exported 1"));
    EXPECT_TRUE(has_log_line(r.out, "  Area FSX_GEN: exported 2"));
    EXPECT_TRUE(
        has_log_line(r.out, "  Netmail packet: " + pt.out + "/000300d2.out (1 message(s))"));
    EXPECT_TRUE(has_log_line(r.out, "  SENT set: " + pt.msg + "/fsxgen (2 message(s))"));
    EXPECT_EQ(summary(r.out),
              "Export done. Echomail: 2, netmail: 1, files: 2, errors: 0, boss busy: 0");
    auto names = pt.outbound();
    ASSERT_EQ(names.size(), 3u);  // 000300d2.out, 000300d2.flo, one loose packet
    EXPECT_EQ(names[0], "000300d2.flo");
    EXPECT_EQ(names[1], "000300d2.out");
    std::string flo = read_file(pt.out + "/000300d2.flo");
    EXPECT_EQ(flo, "^" + pt.out + "/" + names[2] + "\r\n");
    for (uint32_t a : attrs(pt.msg + "/fsxgen")) EXPECT_TRUE(a & JA_SENT);
    for (uint32_t a : attrs(pt.msg + "/netmail")) EXPECT_TRUE(a & JA_SENT);
    JamImage img;
    jam_load((pt.msg + "/fsxgen").c_str(), img);
    EXPECT_EQ(img.base.ModCounter, 3u);  // two appends and one marking

    auto again = pt.scan();
    EXPECT_EQ(again.code, 0);
    EXPECT_TRUE(has_log_line(again.out, "  nothing to export"));
    EXPECT_EQ(pt.outbound().size(), 3u);

    // A second netmail while the .out file still waits goes into a loose
    // packet listed with "^"; the flow file's last line without its line end
    // gets one first.
    write_file(pt.out + "/000300d2.flo", flo.substr(0, flo.size() - 2));
    ASSERT_EQ(add_local(pt.msg + "/netmail", netmail("second")), 0);
    r = pt.scan();
    EXPECT_EQ(r.code, 0) << r.out;
    std::string flo2 = read_file(pt.out + "/000300d2.flo");
    ASSERT_EQ(std::count(flo2.begin(), flo2.end(), '\n'), 2);
    EXPECT_EQ(flo2.substr(0, flo.size()), flo);
    EXPECT_EQ(flo2[flo.size()], '^');
}

// Runs `scan` under strace and checks, in the system calls, that every file
// put into the outbound was forced to the disk before it got its final name
// and that every flow-file append was forced to the disk before its close:
// the messages are marked sent right after, so after a crash their packet
// must not turn out empty or unlisted; and that the outbound directory itself
// was forced to the disk after the last rename, so that the new names
// survive too. Empty: all is well; otherwise the faults found. Sets *ran to
// false when strace cannot be used here.
std::vector<std::string> unsynced_outbound_files(Point& pt, bool* ran) {
    std::string trace = pt.d.file("trace.txt");
    std::string cmd =
        "strace -f -qq -e trace=openat,fsync,fdatasync,close,rename,renameat,renameat2"
        " -o " +
        // (the leak checker of a sanitizer build cannot run under strace)
        trace + " env ASAN_OPTIONS=detect_leaks=0 " + WP_BINARY + " -lang en -c " + pt.cfg +
        " scan > " + pt.d.file("scan.out") + " 2>&1";
    *ran = std::system("strace -qq -o /dev/null true > /dev/null 2>&1") == 0;
    std::vector<std::string> faults;
    if (!*ran) return faults;
    if (std::system(cmd.c_str()) != 0) {
        faults.push_back("scan failed: " + read_file(pt.d.file("scan.out")));
        return faults;
    }
    std::regex open_re(R"(^(\d+) +openat\([^"]*"([^"]+)\".* = (\d+)$)");
    std::regex sync_re(R"(^(\d+) +f(?:data)?sync\((\d+)\) += 0$)");
    std::regex close_re(R"(^(\d+) +close\((\d+)\) += 0$)");
    std::regex rename_re(
        R"(^(\d+) +rename(?:at2?)?\((?:[^,]*, )?"([^"]+)\", (?:[^,]*, )?"([^"]+)\".* = 0$)");
    std::map<std::string, std::string> fd_path;  // "pid/fd" -> path
    std::map<std::string, bool> synced;          // path -> forced to disk since opened
    int renamed = 0, flo_closed = 0;
    bool dir_synced = false;  // the outbound directory, since the last rename
    std::string text = read_file(trace);
    size_t pos = 0;
    while (pos < text.size()) {
        size_t e = text.find('\n', pos);
        if (e == std::string::npos) e = text.size();
        std::string line = text.substr(pos, e - pos);
        pos = e + 1;
        std::smatch m;
        if (std::regex_match(line, m, open_re)) {
            fd_path[m[1].str() + "/" + m[3].str()] = m[2];
            synced[m[2]] = false;
        } else if (std::regex_match(line, m, sync_re)) {
            auto it = fd_path.find(m[1].str() + "/" + m[2].str());
            if (it != fd_path.end()) synced[it->second] = true;
            if (it != fd_path.end() && it->second == pt.out) dir_synced = true;
        } else if (std::regex_match(line, m, close_re)) {
            auto it = fd_path.find(m[1].str() + "/" + m[2].str());
            if (it == fd_path.end()) continue;
            std::string path = it->second;
            fd_path.erase(it);
            if (path.size() > 4 && path.compare(path.size() - 4, 4, ".flo") == 0) {
                ++flo_closed;
                if (!synced[path]) faults.push_back("flow file closed unsynced: " + path);
            }
        } else if (std::regex_match(line, m, rename_re)) {
            std::string from = m[2];
            if (from.size() < 4 || from.compare(from.size() - 4, 4, ".wp$") != 0) continue;
            ++renamed;
            dir_synced = false;
            if (!synced[from]) faults.push_back("renamed unsynced: " + from);
        }
    }
    if (renamed == 0 || flo_closed == 0) faults.push_back("no outbound file seen in:\n" + text);
    if (!dir_synced) faults.push_back("outbound directory not synced after the last rename");
    return faults;
}

TEST(Export, OutboundFilesAreOnTheDiskBeforeTheMessagesAreMarked) {
    for (const char* mode : {"", "pack=zip\n"}) {
        Point pt;
        pt.config(pt.single(std::string(mode) + "echoarea=FSX_GEN " + pt.msg + "/fsxgen\n"));
        ASSERT_EQ(add_local(pt.msg + "/netmail", netmail()), 0);
        ASSERT_EQ(add_local(pt.msg + "/fsxgen", LocalMsg{}), 0);
        // The netmail .out of an earlier run still waits: this one goes
        // into a loose packet listed in the flow file.
        pf_mkdir(pt.out.c_str());
        write_file(pt.out + "/000300d2.out", "waiting");
        bool ran = false;
        auto faults = unsynced_outbound_files(pt, &ran);
        if (!ran) GTEST_SKIP() << "strace is not usable here";
        std::string all;
        for (const auto& f : faults) all += f + "\n";
        EXPECT_EQ(all, "") << mode;
        for (uint32_t a : attrs(pt.msg + "/fsxgen")) EXPECT_TRUE(a & JA_SENT) << mode;
    }
}

TEST(Export, OnlyNewLocalMessagesAreTaken) {
    Point pt;
    pt.config(pt.single("echoarea=A " + pt.msg + "/a\n"));
    std::string a = pt.msg + "/a", n = pt.msg + "/netmail";
    LocalMsg m;
    m.attr = JA_LOCAL | JA_SENT;
    add_local(a, m);
    m.attr = JA_LOCAL | JA_DELETED;
    add_local(a, m);
    m.attr = 0;  // tossed from outside
    add_local(a, m);
    LocalMsg echo_in_net = netmail();
    echo_in_net.attr = JA_LOCAL | JA_ECHO;
    add_local(n, echo_in_net);
    auto r = pt.scan();
    EXPECT_EQ(r.code, 0) << r.out;
    EXPECT_TRUE(has_log_line(r.out, "  nothing to export"));
    EXPECT_FALSE(pf_stat(pt.out.c_str()).exists);  // the outbound is not touched
}

TEST(Export, AreasBeforeTheFirstSectionGoThroughTheFirstBoss) {
    Point pt;
    pt.config("outbound=" + pt.out + "\noutmode=plain\nechoarea=EARLY " + pt.msg +
              "/early\n"
              "[boss fido]\naddress=2:240/1.5\nboss_address=2:240/1\nechoarea=FIDO " +
              pt.msg +
              "/fido\n"
              "[boss fsx]\naddress=21:3/210.7\nboss_address=21:3/210\nechoarea=FSX " +
              pt.msg + "/fsx\n");
    for (const char* b : {"early", "fido", "fsx"})
        ASSERT_EQ(add_local(pt.msg + "/" + b, LocalMsg{}), 0);
    auto r = pt.scan();
    EXPECT_EQ(r.code, 0) << r.out;
    auto t = log_texts(r.out);
    auto fsx = std::find(t.begin(), t.end(), "--- Export boss [fsx]: 21:3/210.7 -> 21:3/210");
    ASSERT_NE(fsx, t.end());
    EXPECT_NE(std::find(t.begin(), fsx, "  Area EARLY: exported 1"), fsx);
    EXPECT_NE(std::find(t.begin(), fsx, "  Area FIDO: exported 1"), fsx);
    EXPECT_NE(std::find(fsx, t.end(), "  Area FSX: exported 1"), t.end());
    // Plain mode: loose packets only, no flow file.
    for (const auto& name : pt.outbound()) EXPECT_EQ(name.substr(8), ".pkt") << name;
    EXPECT_EQ(pt.outbound().size(), 2u);

    // One boss by name.
    add_local(pt.msg + "/fsx", LocalMsg{});
    add_local(pt.msg + "/fido", LocalMsg{});
    r = pt.scan("FSX");
    EXPECT_EQ(r.code, 0);
    EXPECT_EQ(summary(r.out),
              "Export done. Echomail: 1, netmail: 0, files: 1, errors: 0, boss busy: 0");
}

TEST(Export, BusyOutboundLeavesEverythingUnsent) {
    Point pt;
    pt.config(pt.single());
    add_local(pt.msg + "/netmail", netmail());
    pf_mkdir(pt.out.c_str());
    std::string bsy = pt.out + "/000300d2.bsy";
    write_file(bsy, "other pid " + std::to_string(pf_getpid()) + "\n");  // a live holder
    auto r = pt.scan();
    EXPECT_EQ(r.code, 4) << r.out;
    EXPECT_TRUE(has_log_line(
        r.out, "Outbound for this boss busy (.bsy) - nothing exported, SENT stays off"));
    EXPECT_EQ(summary(r.out),
              "Export done. Echomail: 0, netmail: 0, files: 0, errors: 0, boss busy: 1");
    EXPECT_EQ(attrs(pt.msg + "/netmail"), std::vector<uint32_t>{JA_LOCAL});
    EXPECT_EQ(pt.outbound(), std::vector<std::string>{"000300d2.bsy"});
    pf_delete(bsy.c_str());
    r = pt.scan();
    EXPECT_EQ(r.code, 0) << r.out;
    EXPECT_TRUE(attrs(pt.msg + "/netmail")[0] & JA_SENT);
    EXPECT_FALSE(file_exists(bsy));  // our own busy file is gone again
}

TEST(Export, FailedBundleWriteMarksOnlyTheNetmail) {
    Point pt;
    pt.config(pt.single("pack=zip\nechoarea=A " + pt.msg + "/a\n"));
    add_local(pt.msg + "/netmail", netmail());
    add_local(pt.msg + "/a", LocalMsg{});
    // Every bundle name of today is taken by a bundle not yet sent.
    pf_mkdir(pt.out.c_str());
    static const char days[] = "sumotuwethfrsa";
    int wd = pf_local_time().weekday;
    const char* seq = "0123456789abcdefghijklmnopqrstuvwxyz";
    for (int i = 0; i < 36; ++i)
        write_file(pt.out + "/00000007." + std::string(days + 2 * wd, 2) + seq[i], "unsent");
    auto r = pt.scan();
    EXPECT_EQ(r.code, 5) << r.out;
    EXPECT_TRUE(
        has_log_line(r.out, "ERROR: no free bundle extension left (36 per day): " + pt.out));
    EXPECT_TRUE(attrs(pt.msg + "/netmail")[0] & JA_SENT);
    EXPECT_EQ(attrs(pt.msg + "/a"), std::vector<uint32_t>{JA_LOCAL});
    EXPECT_EQ(summary(r.out),
              "Export done. Echomail: 0, netmail: 1, files: 1, errors: 1, boss busy: 0");

    // A sent (emptied) bundle name is reused.
    std::string second = pt.out + "/00000007." + std::string(days + 2 * wd, 2) + "1";
    write_file(second, "");
    r = pt.scan();
    EXPECT_EQ(r.code, 0) << r.out;
    EXPECT_GT(read_file(second).size(), 0u);
    EXPECT_NE(read_file(pt.out + "/000300d2.flo").find("#" + second + "\r\n"), std::string::npos);
    EXPECT_EQ(std::system(("unzip -tq " + second + " > /dev/null").c_str()), 0);
}

TEST(Export, LockedBaseEndsWithSixAndIsExportedLater) {
    Point pt;
    pt.config(pt.single("echoarea=A " + pt.msg + "/a\nechoarea=B " + pt.msg + "/b\n"));
    add_local(pt.msg + "/a", LocalMsg{});
    add_local(pt.msg + "/b", LocalMsg{});
    // B is damaged behind its first message.
    pf_file b = pf_open((pt.msg + "/b.jhr").c_str(), PfAccess::ReadWrite, PfCreate::OpenExisting);
    pf_seek(b, 0, PfSeek::End);
    pf_write(b, "JUNKJUNKJUNKJUNKJUNKJUNKJUNKJUNKJUNKJUNKJUNKJUNKJUNKJUNKJUNKJUNKJUNKJUNKJUNKJUNK",
             80);
    pf_close(b);
    pf_file a = pf_open((pt.msg + "/a.jhr").c_str(), PfAccess::ReadWrite, PfCreate::OpenExisting);
    ASSERT_EQ(pf_lock_range(a, 0, 1), 0);
    auto r = pt.scan();
    pf_close(a);
    EXPECT_EQ(r.code, 6) << r.out;
    EXPECT_TRUE(has_log_line(
        r.out, "Warning: JAM base locked (another program is writing) - area skipped this time: " +
                   pt.msg + "/a"));
    EXPECT_TRUE(has_log_line(r.out, "ERROR: JAM base damaged, area skipped: " + pt.msg + "/b"));
    EXPECT_TRUE(has_log_line(r.out, "  Area B: exported 1"));  // packed before the damage
    EXPECT_EQ(attrs(pt.msg + "/a"), std::vector<uint32_t>{JA_LOCAL});
    r = pt.scan();
    EXPECT_TRUE(has_log_line(r.out, "  Area A: exported 1"));
}

TEST(Export, TornLastHeaderOfAKilledAppendIsNoDamage) {
    Point pt;
    pt.config(pt.single("echoarea=A " + pt.msg + "/a\n"));
    add_local(pt.msg + "/a", LocalMsg{});
    // What an append killed in the middle of its header write leaves behind:
    // a complete fixed header whose subfields are cut off by the end of file.
    std::string jhr = read_file(pt.msg + "/a.jhr");
    std::string torn = jhr.substr(1024, 76 + 5);
    write_file(pt.msg + "/a.jhr", jhr + torn);
    auto r = pt.scan();
    EXPECT_EQ(r.code, 0) << r.out;
    EXPECT_TRUE(has_log_line(r.out, "  Area A: exported 1"));
    EXPECT_TRUE(attrs(pt.msg + "/a")[0] & JA_SENT);
}

// Marking checks every header afresh: one changed since the snapshot ends its
// base with an error, the headers before it stay marked, and the next base is
// marked as usual.
TEST(Export, HeaderChangedBeforeMarkingEndsOnlyItsBase) {
    wptest::TempDir d;
    std::string a = d.file("a"), b = d.file("b");
    for (int i = 0; i < 3; ++i) ASSERT_EQ(add_local(a, LocalMsg{}), 0);
    ASSERT_EQ(add_local(b, LocalMsg{}), 0);
    auto offsets = [](const std::string& base) {
        std::vector<uint32_t> o;
        JamImage img;
        jam_load(base.c_str(), img);
        JamHdrWalk w;
        jam_hdr_walk_start(w, img);
        JamHeader h;
        for (uint64_t at = w.pos; jam_hdr_walk_next(w, h); at = w.pos)
            o.push_back(static_cast<uint32_t>(at));
        return o;
    };
    auto oa = offsets(a), ob = offsets(b);
    ASSERT_EQ(oa.size(), 3u);
    ScanState st;
    st.marks = {{&a, oa[0], 1}, {&a, oa[1], 1}, {&a, oa[2], 1}, {&b, ob[0], 1}};
    // Another program took the second message's LOCAL flag away meanwhile.
    std::string jhr = read_file(a + ".jhr");
    jhr[oa[1] + 52] = 0;
    write_file(a + ".jhr", jhr);

    lang_apply(LANG_EN);
    std::string log;
    con_capture(&log);
    mark_sent(st, 1);
    con_capture(nullptr);
    EXPECT_TRUE(has_log_line(
        log, "ERROR: could not set SENT (will be exported again on the next run): " + a))
        << log;
    EXPECT_TRUE(has_log_line(log, "  SENT set: " + b + " (1 message(s))"));
    EXPECT_EQ(st.c.sc_err, 1u);
    EXPECT_EQ(attrs(a), (std::vector<uint32_t>{JA_LOCAL | JA_SENT, 0, JA_LOCAL}));
    EXPECT_EQ(attrs(b), std::vector<uint32_t>{JA_LOCAL | JA_SENT});
    JamImage img;
    jam_load(a.c_str(), img);
    EXPECT_EQ(img.base.ModCounter, 3u);  // three appends, no marking
}

// Scratch files of an export killed while writing are removed by the next
// export once an hour old; a fresh one (another writer at work) stays.
TEST(Export, ScratchFilesOfAKilledExportAreSwept) {
    Point pt;
    pt.config(pt.single("echoarea=A " + pt.msg + "/a\n"));
    add_local(pt.msg + "/a", LocalMsg{});
    pf_mkdir(pt.out.c_str());
    std::string old_one = pt.out + "/6b000001.pkt.wp$", fresh = pt.out + "/6b000002.pkt.wp$";
    write_file(old_one, "half a packet");
    write_file(fresh, "half a packet");
    std::filesystem::last_write_time(
        old_one, std::filesystem::file_time_type::clock::now() - std::chrono::hours(2));
    auto r = pt.scan();
    EXPECT_EQ(r.code, 0) << r.out;
    EXPECT_FALSE(file_exists(old_one));
    EXPECT_TRUE(file_exists(fresh));
}

TEST(Export, MissingAddressesOrOutbound) {
    Point pt;
    pt.config("address=21:3/210.7\nboss_address=nonsense\noutbound=" + pt.out + "\n");
    auto r = pt.scan();
    EXPECT_EQ(r.code, 5);
    EXPECT_TRUE(has_log_line(
        r.out, "ERROR: address/boss_address missing or invalid - no export for this section"));
    pt.config("address=21:3/210.7\nboss_address=21:3/210\n");
    r = pt.scan();
    EXPECT_EQ(r.code, 5);
    EXPECT_TRUE(has_log_line(r.out, "ERROR: outbound missing - no export for this section"));
}

TEST(Export, BaseThatCannotBeWrittenIsReportedWhenItHoldsUnsentMail) {
    // A base that cannot be marked is no silent "nothing to export": with
    // unsent messages it is an error naming the base; reading it is enough
    // to find that nothing waits in it.
    Point pt;
    pt.config(pt.single("echoarea=A " + pt.msg + "/a\nechoarea=B " + pt.msg + "/b\n"));
    add_local(pt.msg + "/a", LocalMsg{});
    LocalMsg sent;
    sent.attr = JA_LOCAL | JA_SENT;
    add_local(pt.msg + "/b", sent);
    chmod((pt.msg + "/a.jhr").c_str(), 0444);
    chmod((pt.msg + "/b.jhr").c_str(), 0444);
    auto r = pt.scan();
    EXPECT_NE(r.code, 0) << r.out;
    EXPECT_TRUE(has_log_line(
        r.out, "ERROR: JAM base not writable, its unsent messages stay behind: " + pt.msg + "/a"))
        << r.out;
    EXPECT_EQ(r.out.find(pt.msg + "/b"), std::string::npos) << r.out;
    EXPECT_EQ(attrs(pt.msg + "/a"), std::vector<uint32_t>{JA_LOCAL});

    chmod((pt.msg + "/a.jhr").c_str(), 0644);
    r = pt.scan();
    EXPECT_EQ(r.code, 0) << r.out;
    EXPECT_TRUE(has_log_line(r.out, "  Area A: exported 1"));
    chmod((pt.msg + "/a.jhr").c_str(), 0444);
    r = pt.scan();  // all sent now: nothing unsent, fine
    EXPECT_EQ(r.code, 0) << r.out;
    EXPECT_TRUE(has_log_line(r.out, "  nothing to export"));
}

TEST(Export, FileTheFlowFileCannotListIsRemovedAgain) {
    // The flow file cannot be written (here: a directory stands in its
    // place, as good as a full disk): the bundle or packet just placed is
    // listed nowhere and would never be sent, so it is removed again; the
    // messages stay unsent for the next run.
    for (const std::string pack : {"pack=zip\n", "pack=none\n"}) {
        Point pt;
        pt.config(pt.single(pack + "echoarea=A " + pt.msg + "/a\n"));
        add_local(pt.msg + "/a", LocalMsg{});
        pf_mkdir(pt.out.c_str());
        pf_mkdir((pt.out + "/000300d2.flo").c_str());
        auto r = pt.scan();
        EXPECT_EQ(r.code, 5) << pack << r.out;
        EXPECT_EQ(pt.outbound(), std::vector<std::string>{"000300d2.flo/"}) << pack << r.out;
        EXPECT_EQ(attrs(pt.msg + "/a"), std::vector<uint32_t>{JA_LOCAL}) << pack;
    }
}

TEST(Export, EchoAreaOnTheNetmailBaseIsNeverExported) {
    // A configuration lists an echo area on the netmail base (also under
    // another spelling of its path): private netmail must not go out as
    // echomail.
    for (const std::string& on : {std::string("/netmail"), std::string("/./x/../netmail")}) {
        Point pt;
        pt.config(pt.single("echoarea=NETMAIL " + pt.msg + on + "\n"));
        LocalMsg m = netmail("private");
        m.attr = JA_LOCAL | JA_PRIVATE;
        add_local(pt.msg + "/netmail", m);
        auto r = pt.scan();
        EXPECT_EQ(r.code, 0) << r.out;
        EXPECT_TRUE(
            has_log_line(r.out, "Warning: echo area on the netmail base - not exported: NETMAIL"))
            << r.out;
        EXPECT_EQ(summary(r.out),
                  "Export done. Echomail: 0, netmail: 1, files: 1, errors: 0, boss busy: 0")
            << on;
    }
}

TEST(Export, BaseListedTwiceIsExportedOnceAndNetmailOfAnyBossNever) {
    // FOO and BAR name one base (BAR under another spelling, through another
    // boss), and the second boss lists an echo area on the first boss's
    // netmail base. Each message goes out once, and netmail only as netmail.
    Point pt;
    pt.config("outbound=" + pt.out + "\noutmode=plain\n[boss fido]\naddress=2:240/1.5\n" +
              "boss_address=2:240/1\nnetmail=" + pt.msg + "/fidonet\nechoarea=FOO " + pt.msg +
              "/shared\n[boss fsx]\naddress=21:3/210.7\nboss_address=21:3/210\nnetmail=" + pt.msg +
              "/fsxnet\nechoarea=BAR " + pt.msg + "/./shared\nechoarea=PRIV " + pt.msg +
              "/fidonet\n");
    ASSERT_EQ(add_local(pt.msg + "/shared", LocalMsg{}), 0);
    LocalMsg priv = netmail("private");
    priv.daddr = "2:240/1";
    priv.attr = JA_LOCAL | JA_PRIVATE;
    ASSERT_EQ(add_local(pt.msg + "/fidonet", priv), 0);
    auto r = pt.scan();
    EXPECT_EQ(r.code, 0) << r.out;
    EXPECT_TRUE(has_log_line(
        r.out, "Warning: echo area on the base of an earlier area - not exported: BAR"))
        << r.out;
    EXPECT_TRUE(has_log_line(r.out, "Warning: echo area on the netmail base - not exported: PRIV"))
        << r.out;
    EXPECT_EQ(summary(r.out),
              "Export done. Echomail: 1, netmail: 1, files: 2, errors: 0, boss busy: 0")
        << r.out;
    for (const auto& name : pt.outbound()) EXPECT_EQ(name.substr(8), ".pkt") << name;
}
