#include "scanner/outbound.h"

#include <vector>

#include "core/fileio.h"
#include "core/log.h"
#include "core/strutil.h"
#include "scanner/messages.h"
#include "scanner/pktwrite.h"

namespace {

bool exists(const std::string& path) {
    return pf_stat(path.c_str()).exists;
}

void log_written(const char* label, const std::string& path, uint64_t count) {
    lb_start();
    lb_add(label);
    lb_add(path.c_str());
    lb_add(" (");
    lb_num(count);
    lb_add(m_nmsg);
    lb_flush();
}

std::string join(const std::string& dir, const std::string& name) {
    char out[WP_PATH_MAX];
    path_join(out, dir.c_str(), name.c_str());
    return out;
}

}  // namespace

uint64_t finish(Buf& pkt) {
    if (buf_need(pkt, 2)) {
        pkt.B_PTR[pkt.B_LEN++] = 0;
        pkt.B_PTR[pkt.B_LEN++] = 0;
    }
    return pkt.B_LEN;
}

void uniq_pkt(ScanState& st, uint32_t now, std::string& path, std::string& name) {
    uint32_t v = now <= st.uniq_last ? st.uniq_last + 1 : now;
    for (;;) {
        char hex[9];
        hexw(hex, v, 8);
        name = std::string(hex) + ".pkt";
        path = join(st.outdir, name);
        if (!exists(path)) break;
        ++v;
    }
    st.uniq_last = v;
}

int write_new(const char* path, std::initializer_list<Piece> pieces) {
    pf_file h = pf_open(path, PfAccess::ReadWrite, PfCreate::CreateAlways);
    if (h == PF_INVALID) {
        log_msg2(m_werr, path);
        return 1;
    }
    bool ok = true;
    for (const Piece& p : pieces)
        ok = ok && (p.len == 0 || f_write(h, p.data, static_cast<size_t>(p.len)) == 0);
    // On the disk before it gets its final name: the messages in it are marked
    // sent right after, and a crash must not leave an empty packet behind them.
    ok = ok && pf_sync(h) == 0;
    f_close(h);
    if (!ok) {
        pf_delete(path);
        log_msg2(m_werr, path);
        return 1;
    }
    return 0;
}

int place_file(ScanState& st, const char* path, std::initializer_list<Piece> pieces) {
    std::string tmp = std::string(path) + ".wp$";
    if (write_new(tmp.c_str(), pieces) != 0) return 1;
    if (pf_rename(tmp.c_str(), path, false) != 0) {
        pf_delete(tmp.c_str());
        log_msg2(m_werr, path);
        return 1;
    }
    ++st.c.sc_files;
    return 0;
}

int flo_add(ScanState& st, char prefix, const char* path) {
    char full[WP_PATH_MAX];
    full_path(full, path);
    std::string line = std::string(1, prefix) + full;
    std::string flo = st.basename + ".flo";
    pf_file h = pf_open(flo.c_str(), PfAccess::ReadWrite, PfCreate::OpenAlways);
    if (h == PF_INVALID) {
        log_msg2(m_werr, flo.c_str());
        return 1;
    }
    std::string out;
    int64_t size = f_size(h);
    bool ok = size >= 0;
    if (ok && size > 0) {
        char last = 0;
        ok = f_seek(h, size - 1, PfSeek::Begin) >= 0 && f_read(h, &last, 1) == 1;
        if (ok && last != '\n') out = "\r\n";
    }
    out += line + "\r\n";
    ok = ok && f_seek(h, 0, PfSeek::End) >= 0 && f_write(h, out.data(), out.size()) == 0 &&
         pf_sync(h) == 0;  // the line must outlast a crash as the packet does
    f_close(h);
    if (!ok) {
        log_msg2(m_werr, flo.c_str());
        return 1;
    }
    lb_start();
    lb_add(m_wflo);
    lb_add(flo.c_str());
    lb_add(" -> ");
    lb_add(line.c_str());
    lb_flush();
    return 0;
}

namespace {

// Lists a file just placed in the flow file. When that fails (a full disk),
// the file is removed again: no flow file lists it, so it would never be
// sent and stay in the outbound for good, while its messages stay unsent and
// go out again in the next run's file.
int flo_add_or_drop(ScanState& st, char prefix, const std::string& path) {
    if (flo_add(st, prefix, path.c_str()) == 0) return 0;
    if (pf_delete(path.c_str()) == 0) log_msg2(m_unlisted, path.c_str());
    return 1;
}

}  // namespace

int out_loose(ScanState& st, Buf& pkt, uint64_t count) {
    std::string path, name;
    uniq_pkt(st, static_cast<uint32_t>(unix_now_local()), path, name);
    if (place_file(st, path.c_str(), pkt.B_PTR, pkt.B_LEN) != 0) return 1;
    log_written(m_wpkt, path, count);
    return st.bso ? flo_add_or_drop(st, '^', path) : 0;
}

int out_netmail(ScanState& st) {
    finish(st.pkt_net);
    if (st.bso) {
        std::string out = st.basename + ".out";
        if (!exists(out)) {
            if (place_file(st, out.c_str(), st.pkt_net.B_PTR, st.pkt_net.B_LEN) != 0) return 1;
            log_written(m_wout, out, st.n_net);
            return 0;
        }
    }
    return out_loose(st, st.pkt_net, st.n_net);
}

void bundle_digits(char* out, const ftn_addr& own, const ftn_addr& boss) {
    uint32_t a, b;
    if (own.point == 0 && boss.point == 0) {
        a = (own.net - boss.net) & 0xFFFF;
        b = (own.node - boss.node) & 0xFFFF;
    } else {
        a = (own.node - boss.node) & 0xFFFF;
        b = (own.point - boss.point) & 0xFFFF;
    }
    hexw(out, a, 4);
    hexw(out + 4, b, 4);
}

int out_echo(ScanState& st) {
    finish(st.pkt_echo);
    if (!st.zip) return out_loose(st, st.pkt_echo, st.n_echo);
    std::string pkt_path, entry;
    uniq_pkt(st, static_cast<uint32_t>(unix_now_local()), pkt_path, entry);
    // The archive is written around the packet, without copying the packet.
    uint8_t head[30 + 64], tail[68 + 64];
    size_t tail_len = zip_store_parts(head, tail, entry.c_str(), st.pkt_echo.B_PTR,
                                      static_cast<size_t>(st.pkt_echo.B_LEN), local_civil_now());
    uint64_t head_len = 30 + entry.size();

    static const char days[] = "sumotuwethfrsa";
    static const char seq[] = "0123456789abcdefghijklmnopqrstuvwxyz";
    char name[13];
    bundle_digits(name, st.own, st.boss);
    int wd = pf_local_time().weekday;
    name[8] = '.';
    name[9] = days[2 * wd];
    name[10] = days[2 * wd + 1];
    name[12] = '\0';
    std::string path;
    bool found = false;
    for (int i = 0; i < 36 && !found; ++i) {
        name[11] = seq[i];
        path = join(st.outdir, name);
        PfStat s = pf_stat(path.c_str());
        if (!s.exists)
            found = true;
        else if (!s.is_dir && s.size == 0 && pf_delete(path.c_str()) == 0)
            found = true;  // sent and truncated by the mailer: reuse the name
    }
    if (!found) {
        log_msg2(m_wbndfull, st.outdir.c_str());
        return 1;
    }
    if (place_file(st, path.c_str(),
                   {Piece{head, head_len}, Piece{st.pkt_echo.B_PTR, st.pkt_echo.B_LEN},
                    Piece{tail, tail_len}}) != 0)
        return 1;
    log_written(m_wbnd, path, st.n_echo);
    return st.bso ? flo_add_or_drop(st, '#', path) : 0;
}

int sweep_scratch(const char* dir) {
    std::vector<PfDirEntry> list;
    if (pf_list_dir(dir, list) != 0) return 0;
    int64_t now = pf_unix_now_utc();
    int removed = 0;
    for (const PfDirEntry& e : list) {
        size_t n = e.name.size();
        if (!e.is_file || n <= 4 || e.name.compare(n - 4, 4, ".wp$") != 0) continue;
        if (now - e.mtime < 3600) continue;
        char path[WP_PATH_MAX];
        path_join(path, dir, e.name.c_str());
        if (pf_delete(path) == 0) ++removed;
    }
    return removed;
}
