// A hostile boss: arbitrary frame streams into a binkp session.
//
// The input is a list of records, each turned into bytes on the wire:
//   0: command frame (code, text)   1: data frame   2: raw bytes
//   3: M_FILE with a name taken from the input and small size/offset (the
//      offset 3 is sent as -1, an offer that waits for M_GET)
// An input whose first byte is odd is preceded by a valid address and
// M_OK, so the fuzzer reaches the transfer phase at once; with bit 1 set
// too, the boss asks for NR (our offers then wait for its M_GET). The point
// has one small file waiting in a flow file, and holds part of "held.bin"
// (50 of 200 bytes, time 0) from an earlier cut session.
//
// Checked after every run: the session returns a defined exit code, the
// busy lock is released, and nothing exists outside the inbound that was not
// there before (received files land in the inbound; a temporary file stays
// only when renaming failed or as a partial with its record beside it, and
// no record stays without its partial).
#include <poll.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <set>
#include <string>
#include <thread>

#include "app/catalog.h"
#include "config/config.h"
#include "core/log.h"
#include "mailer/session.h"

namespace fs = std::filesystem;

namespace {

std::string g_root;
std::unique_ptr<Config> g_c;
std::unique_ptr<BossCfg> g_boss;
std::string g_log;

std::string frame(bool cmd, const std::string& body) {
    std::string b = body.substr(0, 32767);
    std::string f;
    f.push_back(static_cast<char>(((b.size() >> 8) & 0x7f) | (cmd ? 0x80 : 0)));
    f.push_back(static_cast<char>(b.size() & 0xff));
    return f + b;
}

std::string cmd(uint8_t code, const std::string& text) {
    return frame(true, std::string(1, static_cast<char>(code)) + text);
}

std::string build_stream(const uint8_t* d, size_t n) {
    std::string w;
    if (n > 0 && (d[0] & 1)) {
        w += cmd(M_NUL, (d[0] & 2) ? "OPT NR CRAM-MD5-00112233" : "OPT CRAM-MD5-00112233");
        w += cmd(M_ADR, "2:240/5776@fidonet");
        w += cmd(M_OK, "secure");
    }
    size_t i = n > 0 ? 1 : 0;
    while (i + 2 <= n) {
        uint8_t type = d[i] & 3;
        size_t len = d[i + 1];
        i += 2;
        if (len > n - i) len = n - i;
        std::string p(reinterpret_cast<const char*>(d + i), len);
        i += len;
        switch (type) {
            case 0:
                w += frame(true, p);
                break;
            case 1:
                w += frame(false, p);
                break;
            case 2:
                w += p;
                break;
            default: {
                uint8_t size = len > 0 ? static_cast<uint8_t>(p[0]) : 0;
                uint8_t off = len > 1 ? static_cast<uint8_t>(p[1]) & 3 : 0;
                std::string name = len > 2 ? p.substr(2) : "";
                for (char& ch : name)
                    if (ch == ' ' || ch == '\0') ch = '_';
                w += cmd(M_FILE, name + " " + std::to_string(size) + " 0 " +
                                     (off == 3 ? std::string("-1") : std::to_string(off)));
                break;
            }
        }
    }
    return w;
}

// The boss's end: writes the stream, reads whatever the point sends, and
// closes after the point has closed its side.
void boss(int fd, const std::string& stream) {
    size_t off = 0;
    bool wr_done = false;
    char buf[4096];
    for (;;) {
        if (!wr_done && off == stream.size()) {
            shutdown(fd, SHUT_WR);
            wr_done = true;
        }
        struct pollfd p = {fd, static_cast<short>(POLLIN | (wr_done ? 0 : POLLOUT)), 0};
        if (poll(&p, 1, 5000) <= 0) break;
        if (p.revents & (POLLIN | POLLHUP | POLLERR)) {
            ssize_t r = recv(fd, buf, sizeof buf, MSG_DONTWAIT);
            if (r == 0 || (r < 0 && errno != EAGAIN)) break;
        }
        if (!wr_done && (p.revents & POLLOUT)) {
            ssize_t w =
                send(fd, stream.data() + off, stream.size() - off, MSG_DONTWAIT | MSG_NOSIGNAL);
            if (w < 0 && errno != EAGAIN) {
                wr_done = true;
                continue;
            }
            if (w > 0) off += static_cast<size_t>(w);
        }
    }
    close(fd);
}

std::set<std::string> listing(const std::string& dir) {
    std::set<std::string> s;
    for (auto& e : fs::directory_iterator(dir)) s.insert(e.path().filename().string());
    return s;
}

void remove_root() {
    std::error_code ec;
    fs::remove_all(g_root, ec);
}

void setup() {
    char tmpl[] = "/tmp/wpfuzz.XXXXXX";
    if (mkdtemp(tmpl) == nullptr) abort();
    g_root = tmpl;
    atexit(remove_root);
    fs::create_directories(g_root + "/in");
    fs::create_directories(g_root + "/out");
    fs::create_directories(g_root + "/files");
    std::string cfg = g_root + "/wp.cfg";
    FILE* f = fopen(cfg.c_str(), "w");
    fprintf(f,
            "address = 2:240/5776.7\nboss_host = h\nboss_address = 2:240/5776\npassword = pw\n"
            "inbound = %s/in\noutbound = %s/out\n",
            g_root.c_str(), g_root.c_str());
    fclose(f);
    setenv("WRENPOST_NET_TIMEOUT", "2000", 1);
    lang_apply(LANG_EN);
    con_capture(&g_log);
    g_c = std::make_unique<Config>();
    if (load_config(*g_c, cfg.c_str()) != 0) abort();
    g_boss = std::make_unique<BossCfg>(cfg_boss(*g_c, -1));
    if (cfg_require(*g_boss) != 0) abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (g_root.empty()) setup();
    g_log.clear();
    // One file waits for the boss.
    std::string waiting = g_root + "/files/wait.pkt";
    FILE* f = fopen(waiting.c_str(), "w");
    fputs("packet", f);
    fclose(f);
    f = fopen((g_root + "/out/00f01690.flo").c_str(), "w");
    fprintf(f, "^%s\n", waiting.c_str());
    fclose(f);
    f = fopen((g_root + "/in/held.bin.wpt").c_str(), "w");
    fputs(std::string(50, 'h').c_str(), f);
    fclose(f);
    f = fopen((g_root + "/in/held.bin.wpn").c_str(), "w");
    fputs("held.bin 200 0\n", f);
    fclose(f);

    int pair[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) abort();
    std::thread t(boss, pair[1], build_stream(data, size));
    auto s = std::make_unique<Session>();
    s->cfg = g_boss.get();
    net_attach(s->fr.net, pair[0]);
    unsigned code = session_run(*s);
    t.join();

    if (code != 0 && code != 2 && code != 3 && code != 4 && code != 5) abort();
    if (s->bsy.h != PF_INVALID || s->rx_active) abort();
    if (listing(g_root) != std::set<std::string>{"files", "in", "out", "wp.cfg"}) abort();
    std::set<std::string> files = listing(g_root + "/files");
    if (!(files.empty() || files == std::set<std::string>{"wait.pkt"})) abort();
    for (const std::string& n : listing(g_root + "/out"))
        if (n != "00f01690.flo") abort();
    std::set<std::string> in = listing(g_root + "/in");
    for (const std::string& n : in) {
        if (!fs::is_regular_file(g_root + "/in/" + n)) abort();
        std::string stem = n.size() > 4 ? n.substr(0, n.size() - 4) : "";
        std::string ext = n.size() > 4 ? n.substr(n.size() - 4) : "";
        if (ext == ".wpt" && code != 5 && in.count(stem + ".wpn") == 0) abort();
        if (ext == ".wpn" && in.count(stem + ".wpt") == 0) abort();
    }
    for (const std::string& n : in) fs::remove(g_root + "/in/" + n);
    return 0;
}
