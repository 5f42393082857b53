// The editor's message list over a very large area.
//
// Builds an echo base of 1 000 000 messages once (cached in the build tree,
// bench-cache/editor_list; written directly in the JAM layout, checked by
// loading it) and opens it in the real main window, headless, at its last
// message: the time from open_start to the last row being current with its
// header in the reader and the list painted. Beside it: the bytes the loaded
// list holds (ej_list_bytes, per message), the process's resident set before
// and after, and the time to read the .jdx and .jhr whole with plain reads
// (the raw I/O every load of the list has to beat or match). The CPU time of
// the open is printed beside the wall-clock time, as the machine is shared.
// Last, the time to sort the list by its From column (a header click).
//
// Run with QT_QPA_PLATFORM=offscreen (set here when unset). POSIX only.
#include <stdlib.h>
#include <unistd.h>

#include <QApplication>
#include <QHeaderView>
#include <QTableView>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <string>

#include "app/catalog.h"
#include "config/config.h"
#include "core/bytes.h"
#include "core/fileio.h"
#include "core/strutil.h"
#include "editor/gui/gui_util.h"
#include "editor/gui/main_window.h"
#include "editor/gui/reader_view.h"
#include "editor/msgbase.h"
#include "jam/crc32.h"
#include "jam/jam.h"
#include "jam/jam_format.h"

namespace {

constexpr uint32_t N_MSGS = 1000000;
constexpr uint32_t DATE0 = 1700000000u;

double since(std::chrono::steady_clock::time_point t0) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

long rss_kb() {
    std::ifstream f("/proc/self/statm");
    long size = 0, res = 0;
    f >> size >> res;
    return res * (sysconf(_SC_PAGESIZE) / 1024);
}

// Buffered sequential writes through the platform layer.
struct Out {
    pf_file h = PF_INVALID;
    std::string buf;
    uint64_t pos = 0;
    explicit Out(const std::string& path) {
        h = pf_open(path.c_str(), PfAccess::ReadWrite, PfCreate::CreateAlways);
    }
    void put(const void* p, size_t n) {
        buf.append(static_cast<const char*>(p), n);
        pos += n;
        if (buf.size() >= (8u << 20)) flush();
    }
    void flush() {
        if (!buf.empty() && pf_write(h, buf.data(), buf.size()) != 0) std::abort();
        buf.clear();
    }
    ~Out() {
        flush();
        pf_close(h);
    }
};

// Echomail of every kind the list decodes: plain ASCII names, a tenth with
// a CP866 sender and its CHRS kludge, area-manager traffic now and then.
void write_base(const std::string& base) {
    Out jhr(base + ".jhr"), jdt(base + ".jdt"), jdx(base + ".jdx");
    uint8_t fixed[JHI_SIZE] = {};
    put_le32(fixed + JHI_SIGNATURE, JAM_SIGNATURE);
    put_le32(fixed + JHI_DATECREATED, DATE0);
    put_le32(fixed + JHI_ACTIVEMSGS, N_MSGS);
    put_le32(fixed + JHI_PASSWORDCRC, JAM_NO_CRC);
    put_le32(fixed + JHI_BASEMSGNUM, 1);
    jhr.put(fixed, sizeof fixed);
    const char cyr[] = "\x84\xAC\xA8\xE2\xE0\xA8\xA9 \x8F\xA5\xE2\xE0\xAE\xA2";  // CP866
    for (uint32_t i = 0; i < N_MSGS; ++i) {
        std::string sf;
        char s[96];
        snprintf(s, sizeof s, "2:5020/%u.%u", 100 + i % 900, i % 7);
        jam_subf_add(sf, SF_OADDR, s);
        bool ru = i % 10 == 3;
        snprintf(s, sizeof s, "Sender %u", i % 5000);
        jam_subf_add(sf, SF_SENDER, ru ? cyr : s);
        jam_subf_add(sf, SF_RECEIVER, i % 97 == 0 ? "AreaFix" : "All");
        snprintf(s, sizeof s, "Re: a subject of ordinary length, thread %u", i % 20000);
        jam_subf_add(sf, SF_SUBJECT, s);
        snprintf(s, sizeof s, "2:5020/%u %08x", 100 + i % 900, i);
        jam_subf_add(sf, SF_MSGID, s);
        jam_subf_add(sf, SF_PID, "wrenpost-bench");
        if (ru) jam_subf_add(sf, SF_KLUDGE, "CHRS: CP866 2");
        snprintf(s, sizeof s, "Text of message %u.\rSecond line.\r", i + 1);
        uint32_t tlen = static_cast<uint32_t>(strlen(s));
        uint8_t h[JMH_SIZE] = {};
        put_le32(h + JMH_SIGNATURE, JAM_SIGNATURE);
        put_le16(h + JMH_REVISION, JAM_REVISION);
        put_le32(h + JMH_SUBFIELDLEN, static_cast<uint32_t>(sf.size()));
        put_le32(h + JMH_MSGIDCRC, JAM_NO_CRC);
        put_le32(h + JMH_REPLYCRC, JAM_NO_CRC);
        put_le32(h + JMH_DATEWRITTEN, DATE0 + i * 30);
        put_le32(h + JMH_DATEPROCESSED, DATE0 + i * 30);
        put_le32(h + JMH_MESSAGENUMBER, i + 1);
        put_le32(h + JMH_ATTRIBUTE, JA_ECHO);
        put_le32(h + JMH_TXTOFFSET, static_cast<uint32_t>(jdt.pos));
        put_le32(h + JMH_TXTLEN, tlen);
        put_le32(h + JMH_PASSWORDCRC, JAM_NO_CRC);
        uint8_t x[JDX_SIZE];
        put_le32(x + JDX_USERCRC, jam_crc(i % 97 == 0 ? "AreaFix" : "All"));
        put_le32(x + JDX_HDROFFSET, static_cast<uint32_t>(jhr.pos));
        jdx.put(x, sizeof x);
        jhr.put(h, sizeof h);
        jhr.put(sf.data(), sf.size());
        jdt.put(s, tlen);
    }
}

uint64_t file_size(const std::string& path) {
    pf_file h = f_open_read(path.c_str());
    int64_t n = h == PF_INVALID ? -1 : pf_size(h);
    if (h != PF_INVALID) pf_close(h);
    return n < 0 ? 0 : static_cast<uint64_t>(n);
}

// Plain reads of a whole file in 1 MB pieces; the bytes read.
uint64_t read_plain(const std::string& path) {
    static char buf[1 << 20];
    pf_file h = f_open_read(path.c_str());
    uint64_t total = 0;
    for (int64_t n; (n = pf_read(h, buf, sizeof buf)) > 0;) total += static_cast<uint64_t>(n);
    pf_close(h);
    return total;
}

}  // namespace

int main(int argc, char** argv) {
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    std::string cache = std::string(WP_BENCH_CACHE) + "/editor_list";
    pf_mkdir(WP_BENCH_CACHE);
    pf_mkdir(cache.c_str());
    std::string base = cache + "/big";
    if (file_size(base + ".jdx") != uint64_t{N_MSGS} * JDX_SIZE ||
        file_size(cache + "/complete") == 0) {
        auto t0 = std::chrono::steady_clock::now();
        pf_delete((cache + "/complete").c_str());
        write_base(base);
        Out(cache + "/complete").put("1\n", 2);
        printf("built %u messages in %.1f s\n", N_MSGS, since(t0));
    }
    pf_delete((base + ".jlr").c_str());  // every run starts with nothing read

    std::string cfg = cache + "/wrenpost.cfg";
    {
        std::string text = "sysop=Jo Point\nbadarea=" + cache + "/bad\ninbound=" + cache +
                           "/in\noutbound=" + cache +
                           "/out\n[fsx]\naddress=21:3/210.7\nboss_address=21:3/210\n"
                           "boss_host=127.0.0.1\nsystem=Home\nnetmail=" +
                           cache + "/netmail\nechoarea=BIG " + base + "\n";
        Out o(cfg);
        o.put(text.data(), text.size());
    }
    pf_delete((cache + "/wrenpost.ini").c_str());

    auto tr = std::chrono::steady_clock::now();
    uint64_t raw_bytes = read_plain(base + ".jdx") + read_plain(base + ".jhr");
    double raw_s = since(tr);

    QApplication app(argc, argv);
    lang_apply(LANG_EN);
    if (load_config(g_cfg, cfg.c_str()) != 0) {
        fprintf(stderr, "configuration not loaded\n");
        return 1;
    }
    gui_boxes = [](const QString&, const QString&, bool) { return true; };
    CmdLine cl;
    str_copy(cl.cfg_path, cfg.c_str(), sizeof cl.cfg_path);
    MainWindow w(cl);
    w.resize(1100, 800);
    w.show();
    QApplication::processEvents();

    long rss0 = rss_kb();
    std::clock_t c0 = std::clock();
    auto t0 = std::chrono::steady_clock::now();
    w.open_start("BIG", N_MSGS);
    QApplication::processEvents();  // the list and the reader painted
    double open_s = since(t0);
    double open_cpu = static_cast<double>(std::clock() - c0) / CLOCKS_PER_SEC;
    long rss1 = rss_kb();

    int rows = w.list()->model()->rowCount();
    int cur = w.list()->currentIndex().row();
    std::string hdr = qs(w.reader()->model().rd_hdr[4]).toStdString();
    std::string subj = w.list()->model()->index(cur, 3).data().toString().toStdString();
    if (rows != static_cast<int>(N_MSGS) || cur != rows - 1 ||
        hdr.find("No. 1000000") == std::string::npos) {
        fprintf(stderr, "wrong list: %d rows, current %d, header '%s'\n", rows, cur, hdr.c_str());
        return 1;
    }
    size_t bytes = ej_list_bytes(w.base());
    printf(
        "open at the last of %d messages: %.3f s, %.3f s of CPU (raw read of .jdx+.jhr, "
        "%.1f MB: %.3f s, ratio %.2f)\n",
        rows, open_s, open_cpu, static_cast<double>(raw_bytes) / 1e6, raw_s, open_s / raw_s);
    printf("  last row: '%s' / '%s'\n", hdr.c_str(), subj.c_str());
    printf("list storage (ej_list_bytes): %zu bytes, %.1f bytes per message\n", bytes,
           static_cast<double>(bytes) / rows);
    printf("resident set: %ld KB before, %ld KB after (%.1f bytes per message)\n", rss0, rss1,
           static_cast<double>(rss1 - rss0) * 1024.0 / rows);

    // Sorting by a name decodes every row once.
    auto ts = std::chrono::steady_clock::now();
    std::clock_t cs = std::clock();
    w.list()->horizontalHeader()->sectionClicked(1);
    QApplication::processEvents();
    printf("sort by From: %.3f s, %.3f s of CPU; resident set after %ld KB\n", since(ts),
           static_cast<double>(std::clock() - cs) / CLOCKS_PER_SEC, rss_kb());
    return 0;
}
