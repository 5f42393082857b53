// Export of a few new messages in a point that stores many: a run exporting
// 10 new local messages over 50 areas that hold 100 000 and 1 000 000 stored
// (sent) messages, measured in alternating rounds in one run. The cost of a
// run should follow the new mail, not the stored mail: the ratio of the two
// times is printed (goal at most 1.5). Beside it, the same run with the
// export's memo removed first (every base read whole, as a first run does).
//
//   export_new_bench [rounds] [small] [large] [areas]
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "app/catalog.h"
#include "bench/child_run.h"
#include "config/config.h"
#include "core/bytes.h"
#include "core/log.h"
#include "jam/crc32.h"
#include "jam/jam.h"
#include "scanner/export.h"

namespace fs = std::filesystem;

namespace {

using wpbench::in_child;
using wpbench::Result;

void put_file(const fs::path& p, const std::string& data) {
    FILE* f = fopen(p.c_str(), "wb");
    fwrite(data.data(), 1, data.size(), f);
    fclose(f);
}

// A point with `stored` sent local echomail messages over `areas` bases,
// written as JAM files directly (the same bytes jam_append writes).
fs::path make_point(const std::string& name, long stored, int areas) {
    fs::path root = fs::temp_directory_path() / (name + "." + std::to_string(getpid()));
    fs::create_directories(root / "msg");
    std::string cfg =
        "address=21:3/210.7\nboss_host=127.0.0.1\nboss_address=21:3/210\n"
        "inbound=" +
        (root / "in").string() + "\noutbound=" + (root / "out").string() +
        "\npack=zip\nsystem=Bench Point\n";
    for (int a = 0; a < areas; ++a) {
        std::string base = (root / "msg" / ("a" + std::to_string(a))).string();
        cfg += "echoarea=AREA." + std::to_string(a) + " " + base + "\n";
        std::string jhr(JHI_SIZE, '\0'), jdt, jdx;
        put_le32(reinterpret_cast<uint8_t*>(jhr.data()) + JHI_SIGNATURE, JAM_SIGNATURE);
        put_le32(reinterpret_cast<uint8_t*>(jhr.data()) + JHI_DATECREATED, 1796444632u);
        put_le32(reinterpret_cast<uint8_t*>(jhr.data()) + JHI_PASSWORDCRC, JAM_NO_CRC);
        put_le32(reinterpret_cast<uint8_t*>(jhr.data()) + JHI_BASEMSGNUM, 1);
        uint32_t n = 0;
        for (long i = a; i < stored; i += areas, ++n) {
            std::string msgid = "21:3/210.7 " + std::to_string(i);
            std::string text = "A stored message, exported long ago.\r";
            std::string sf;
            jam_subf_add(sf, SF_SENDER, "Bench Writer");
            jam_subf_add(sf, SF_RECEIVER, "All");
            jam_subf_add(sf, SF_SUBJECT, "Stored message");
            jam_subf_add(sf, SF_MSGID, msgid.c_str());
            uint8_t h[JMH_SIZE] = {};
            put_le32(h + JMH_SIGNATURE, JAM_SIGNATURE);
            put_le16(h + JMH_REVISION, 1);
            put_le32(h + JMH_SUBFIELDLEN, static_cast<uint32_t>(sf.size()));
            put_le32(h + JMH_MSGIDCRC, jam_crc(msgid.c_str()));
            put_le32(h + JMH_REPLYCRC, JAM_NO_CRC);
            put_le32(h + JMH_DATEWRITTEN, 1796444632u);
            put_le32(h + JMH_DATERECEIVED, 1796444632u);
            put_le32(h + JMH_DATEPROCESSED, 1796444632u);
            put_le32(h + JMH_MESSAGENUMBER, n + 1);
            put_le32(h + JMH_ATTRIBUTE, JA_LOCAL | JA_ECHO | JA_SENT);
            put_le32(h + JMH_TXTOFFSET, static_cast<uint32_t>(jdt.size()));
            put_le32(h + JMH_TXTLEN, static_cast<uint32_t>(text.size()));
            put_le32(h + JMH_PASSWORDCRC, JAM_NO_CRC);
            uint8_t x[8];
            put_le32(x, jam_crc("All"));
            put_le32(x + 4, static_cast<uint32_t>(jhr.size()));
            jdx.append(reinterpret_cast<const char*>(x), 8);
            jhr.append(reinterpret_cast<const char*>(h), JMH_SIZE);
            jhr += sf;
            jdt += text;
        }
        put_le32(reinterpret_cast<uint8_t*>(jhr.data()) + JHI_MODCOUNTER, n);
        put_le32(reinterpret_cast<uint8_t*>(jhr.data()) + JHI_ACTIVEMSGS, n);
        put_file(base + ".jhr", jhr);
        put_file(base + ".jdt", jdt);
        put_file(base + ".jdx", jdx);
        put_file(base + ".jlr", "");
    }
    put_file(root / "wrenpost.cfg", cfg);
    return root;
}

// Ten new local messages, one in each of ten areas spread over the point.
int write_new(const fs::path& root, int areas, int round) {
    for (int k = 0; k < 10; ++k) {
        int a = (k * areas / 10 + round) % areas;
        std::string base = (root / "msg" / ("a" + std::to_string(a))).string();
        std::string msgid = "21:3/210.7 new" + std::to_string(round * 10 + k);
        std::string text = "A new message.\rWith two lines.\r";
        std::string sf;
        jam_subf_add(sf, SF_SENDER, "Bench Writer");
        jam_subf_add(sf, SF_RECEIVER, "All");
        jam_subf_add(sf, SF_SUBJECT, "New message");
        jam_subf_add(sf, SF_MSGID, msgid.c_str());
        JamMsg m;
        m.jm_subf = sf.data();
        m.jm_subflen = static_cast<uint32_t>(sf.size());
        m.jm_text = text.data();
        m.jm_textlen = static_cast<uint32_t>(text.size());
        m.jm_attr = JA_LOCAL | JA_ECHO;
        m.jm_date = m.jm_now = 1796444632u;
        m.jm_msgidcrc = jam_crc(msgid.c_str());
        m.jm_usercrc = jam_crc("All");
        if (jam_append(base.c_str(), m) != 0) return 1;
    }
    return 0;
}

// One export run as the `scan` command does it, in a child process; exit
// code 0 only when exactly 10 messages went out.
Result export_once(const fs::path& root) {
    return in_child([&] {
        std::string sink;
        con_capture(&sink);
        if (load_config(g_cfg, (root / "wrenpost.cfg").c_str()) != 0) return 1;
        ScanState st;
        unsigned code = scan_all(st, -1);
        if (code != 0) return 10 + static_cast<int>(code);
        return st.c.sc_echo == 10 ? 0 : 99;
    });
}

}  // namespace

int main(int argc, char** argv) {
    int rounds = argc > 1 ? atoi(argv[1]) : 7;
    long sizes[2] = {argc > 2 ? atol(argv[2]) : 100000, argc > 3 ? atol(argv[3]) : 1000000};
    int areas = argc > 4 ? atoi(argv[4]) : 50;
    lang_apply(LANG_EN);
    crc_init();
    fs::path roots[2];
    for (int s = 0; s < 2; ++s) {
        roots[s] = make_point("wp_export_new_bench" + std::to_string(s), sizes[s], areas);
        // The first run reads everything and leaves the memo.
        if (write_new(roots[s], areas, 0) != 0 || export_once(roots[s]).code != 0) {
            fprintf(stderr, "first export failed\n");
            return 1;
        }
    }
    std::vector<double> times[2], times_whole[2];
    long peak[2] = {0, 0}, peak_whole[2] = {0, 0};
    for (int r = 1; r <= rounds; ++r)
        for (int s = 0; s < 2; ++s)
            for (int whole = 0; whole < 2; ++whole) {
                if (write_new(roots[s], areas, r * 2 + whole) != 0) return 1;
                if (whole) fs::remove(roots[s] / "wpexport.dat");
                Result one = export_once(roots[s]);
                if (one.code != 0) {
                    fprintf(stderr, "export run failed: %d\n", one.code);
                    return 1;
                }
                (whole ? times_whole[s] : times[s]).push_back(one.seconds);
                long& p = whole ? peak_whole[s] : peak[s];
                p = std::max(p, one.peak_kb);
            }
    // Best and median of the rounds (the machine is shared: the median shows
    // how much the best owes to a quiet moment).
    auto best = [](std::vector<double> v) { return *std::min_element(v.begin(), v.end()); };
    auto median = [](std::vector<double> v) {
        std::sort(v.begin(), v.end());
        return v[v.size() / 2];
    };
    printf("export_new_bench: 10 new messages over %d areas, %d alternating rounds\n", areas,
           rounds);
    for (int s = 0; s < 2; ++s)
        printf(
            "  %8ld stored: run best %.4f s, median %.4f s (peak RSS %ld KB); every base read "
            "whole: best %.4f s, median %.4f s (peak RSS %ld KB)\n",
            sizes[s], best(times[s]), median(times[s]), peak[s], best(times_whole[s]),
            median(times_whole[s]), peak_whole[s]);
    printf(
        "  ratio %ld / %ld stored: best %.2f, median %.2f (goal <= 1.5); read whole: best %.2f, "
        "median %.2f\n",
        sizes[1], sizes[0], best(times[1]) / best(times[0]), median(times[1]) / median(times[0]),
        best(times_whole[1]) / best(times_whole[0]),
        median(times_whole[1]) / median(times_whole[0]));
    for (auto& r : roots) fs::remove_all(r);
    return 0;
}
