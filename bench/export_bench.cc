// Export throughput: 100 000 local messages over 50 areas exported into the
// outbound, against plain sequential I/O of the same volume measured in the
// same run (reading the bases' files whole, writing as many bytes as the
// export wrote). Each side runs in a child process so that its peak memory
// can be read from the kernel.
//
//   export_bench [messages] [areas]
//   WP_BENCH_FIXTURE_ONLY=1 export_bench ...   only builds the bases, prints
//                                               their directory, keeps it
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "app/catalog.h"
#include "bench/child_run.h"
#include "config/config.h"
#include "core/fileio.h"
#include "core/log.h"
#include "jam/crc32.h"
#include "jam/jam.h"
#include "scanner/export.h"

namespace fs = std::filesystem;

namespace {

using wpbench::in_child;
using wpbench::Result;

uint64_t dir_bytes(const fs::path& dir) {
    uint64_t n = 0;
    for (auto& e : fs::recursive_directory_iterator(dir))
        if (e.is_regular_file()) n += e.file_size();
    return n;
}

}  // namespace

int main(int argc, char** argv) {
    long messages = argc > 1 ? atol(argv[1]) : 100000;
    int areas = argc > 2 ? atoi(argv[2]) : 50;
    lang_apply(LANG_EN);
    crc_init();
    fs::path root = fs::temp_directory_path() / ("wp_export_bench." + std::to_string(getpid()));
    fs::create_directories(root / "msg");
    std::string cfg =
        "address=21:3/210.7\nboss_host=127.0.0.1\nboss_address=21:3/210\n"
        "inbound=" +
        (root / "in").string() + "\noutbound=" + (root / "out").string() +
        "\npack=zip\nsystem=Bench Point\n";
    for (int a = 0; a < areas; ++a)
        cfg += "echoarea=AREA." + std::to_string(a) + " " +
               (root / "msg" / ("a" + std::to_string(a))).string() + "\n";
    FILE* f = fopen((root / "wrenpost.cfg").c_str(), "w");
    fputs(cfg.c_str(), f);
    fclose(f);

    uint32_t r = 1;
    for (long i = 0; i < messages; ++i) {
        r = r * 1103515245u + 12345u;
        std::string base = (root / "msg" / ("a" + std::to_string(i % areas))).string();
        std::string msgid = "21:3/210.7 " + std::to_string(i);
        std::string text;
        for (unsigned k = 0; k < 3 + (r >> 16) % 10; ++k)
            text += "A line of benchmark text, a little under seventy bytes long.\r";
        std::string sf;
        jam_subf_add(sf, SF_SENDER, "Bench Writer");
        jam_subf_add(sf, SF_RECEIVER, "All");
        jam_subf_add(sf, SF_SUBJECT, "Benchmark message");
        jam_subf_add(sf, SF_MSGID, msgid.c_str());
        JamMsg m;
        m.jm_subf = sf.data();
        m.jm_subflen = static_cast<uint32_t>(sf.size());
        m.jm_text = text.data();
        m.jm_textlen = static_cast<uint32_t>(text.size());
        m.jm_attr = JA_LOCAL;
        m.jm_date = m.jm_now = 1796444632u;
        m.jm_msgidcrc = jam_crc(msgid.c_str());
        m.jm_usercrc = jam_crc("All");
        if (jam_append(base.c_str(), m) != 0) return 1;
    }
    uint64_t base_bytes = dir_bytes(root / "msg");
    if (getenv("WP_BENCH_FIXTURE_ONLY")) {
        // Leaves the unsent fixture behind for profiling `wrenpost -c ... scan`.
        printf("%s\n", root.c_str());
        return 0;
    }

    // The export: runs of the real driver until nothing is left (a run takes
    // at most 8192 messages per boss).
    int runs = 0;
    Result exp{0, 0, 0};
    for (;;) {
        std::string sink;
        Result one = in_child([&] {
            con_capture(&sink);
            if (load_config(g_cfg, (root / "wrenpost.cfg").c_str()) != 0) return 1;
            ScanState st;
            unsigned code = scan_all(st, -1);
            return code != 0 ? 10 + static_cast<int>(code) : (st.c.sc_echo == 0 ? 99 : 0);
        });
        if (one.code == 99) break;
        if (one.code != 0) {
            fprintf(stderr, "export run failed: %d\n", one.code);
            return 1;
        }
        ++runs;
        exp.seconds += one.seconds;
        if (one.peak_kb > exp.peak_kb) exp.peak_kb = one.peak_kb;
    }
    uint64_t out_bytes = dir_bytes(root / "out");

    // Plain sequential I/O of the same volume: read each base's files whole
    // once per export run (the export reads every .jhr each run) plus the
    // texts once, and write out_bytes in 1 MiB pieces.
    Result raw = in_child([&] {
        std::vector<char> buf(1 << 20);
        uint64_t sum = 0;
        for (int run = 0; run < runs; ++run)
            for (auto& e : fs::directory_iterator(root / "msg")) {
                if (e.path().extension() != ".jhr" && !(run == 0 && e.path().extension() == ".jdt"))
                    continue;
                FILE* in = fopen(e.path().c_str(), "rb");
                size_t n;
                while ((n = fread(buf.data(), 1, buf.size(), in)) > 0)
                    sum += static_cast<unsigned char>(buf[n - 1]);
                fclose(in);
            }
        FILE* out = fopen((root / "raw.out").c_str(), "wb");
        for (uint64_t left = out_bytes; left > 0;) {
            size_t n = left < buf.size() ? static_cast<size_t>(left) : buf.size();
            fwrite(buf.data(), 1, n, out);
            left -= n;
        }
        fclose(out);
        return static_cast<int>(sum & 0);
    });

    printf(
        "export_bench: %ld messages over %d areas, bases %.1f MB, outbound %.1f MB written in %d "
        "runs\n",
        messages, areas, base_bytes / 1e6, out_bytes / 1e6, runs);
    printf("  wrenpost export   %.3f s  %.0f msg/s  peak RSS %ld KB\n", exp.seconds,
           messages / exp.seconds, exp.peak_kb);
    printf("  plain I/O         %.3f s  peak RSS %ld KB\n", raw.seconds, raw.peak_kb);
    printf("  ratio export / plain I/O = %.2f (goal <= 2)\n", exp.seconds / raw.seconds);
    fs::remove_all(root);
    return 0;
}
