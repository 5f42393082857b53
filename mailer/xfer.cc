#include "mailer/xfer.h"

#include <cctype>
#include <cstring>
#include <string>
#include <vector>

#include "core/exitcode.h"
#include "core/fileio.h"
#include "core/log.h"
#include "core/strutil.h"
#include "mailer/messages.h"

namespace {

constexpr size_t WIRE_STOP = 1016;  // no byte is added once the name is this long
// A received file goes to the disk in pieces of this size while it arrives,
// so that the sync before M_GOT waits only for the last piece.
constexpr uint64_t RX_WRITEBACK = 1 << 20;
// Received data is written in pieces of this size (a few data frames, one
// write call): small enough to stay in the processor's cache on the way.
constexpr uint64_t RX_GATHER = 128 << 10;
static_assert(RX_WRITEBACK % RX_GATHER == 0);
// While a file's sync runs and nothing arrives, the socket is looked at
// this often, and the M_GOT follows the sync within this time.
constexpr uint32_t SETTLE_POLL_MS = 1;

const char* arg_of(Session& s) {
    return reinterpret_cast<const char*>(s.fr.rx_frame + 1);
}

void log_sized(const char* text, const char* name, uint64_t size) {
    lb_start();
    lb_add(text);
    lb_add(name);
    lb_add(" (");
    lb_num(size);
    lb_add(m_bytes2);
    lb_flush();
}

// Loads a flow file into s.flo_buf: its length, -1 when it cannot be read,
// -2 when it is larger than FLO_MAX.
int64_t flo_load(Session& s, const char* path) {
    UniqueFile h(f_open_read(path));
    if (!h) return -1;
    int64_t size = f_size(h.get());
    if (size < 0) return -1;
    if (size > static_cast<int64_t>(FLO_MAX)) return -2;
    size_t n = 0;
    for (;;) {
        int64_t r = pf_read(h.get(), s.flo_buf + n, FLO_MAX + 1 - n);
        if (r < 0) return -1;
        if (r == 0) break;
        n += static_cast<size_t>(r);
        if (n > FLO_MAX) return -2;  // grew while we read
    }
    return static_cast<int64_t>(n);
}

// End of the line that starts at pos (its LF or len), and the end of its
// content without CR, trailing blanks and tabs.
size_t line_end(const uint8_t* b, size_t len, size_t pos, size_t& content_end) {
    size_t e = pos;
    while (e < len && b[e] != '\n') ++e;
    size_t c = e;
    while (c > pos && (b[c - 1] == '\r' || b[c - 1] == ' ' || b[c - 1] == '\t')) --c;
    content_end = c;
    return e;
}

bool flo_all_done(const uint8_t* b, size_t len) {
    size_t pos = 0;
    while (pos < len) {
        size_t ce;
        size_t e = line_end(b, len, pos, ce);
        if (ce > pos && b[pos] != '~' && b[pos] != '!') return false;
        pos = e + 1;
    }
    return true;
}

bool wire_in_list(const Session& s, const char* wire) {
    for (int i = 0; i < s.tx_count; ++i)
        if (str_icmp(s.tx[i].wire, wire) == 0) return true;
    return false;
}

void tx_add(Session& s, const char* path, const char* wire, int kind, int flo, size_t loff) {
    if (wire[0] == '\0') return;
    if (wire_in_list(s, wire)) {
        log_msg2(m_txdup, path);
        return;
    }
    if (s.tx_count >= MAX_TX) {
        if (!s.tx_full_said) log_msg(m_txfull);
        s.tx_full_said = true;
        return;
    }
    TxEntry& e = s.tx[s.tx_count++];
    str_copy(e.path, path, sizeof e.path);
    str_copy(e.wire, wire, sizeof e.wire);
    e.kind = kind;
    e.state = TS_OPEN;
    e.get_req = false;
    e.get_off = 0;
    e.flo = flo;
    e.loff = loff;
}

void add_num(char* buf, size_t cap, uint64_t v) {
    char d[21];
    u64_to_dec(v, d);
    str_cat(buf, " ", cap);
    str_cat(buf, d, cap);
}

// After an offer with offset -1: handles the boss's frames until it asks for
// the file (M_GET), answers it (M_GOT, M_SKIP) or the wait is over. 0 or an
// exit code.
unsigned wait_get(Session& s, const TxEntry& e) {
    uint32_t wait = s.fr.net.timeout_ms < NR_GET_WAIT_MS ? s.fr.net.timeout_ms : NR_GET_WAIT_MS;
    uint64_t deadline = pf_ticks_ms() + wait;
    if (s.fr.net.until != 0 && s.fr.net.until < deadline) deadline = s.fr.net.until;
    while (e.state == TS_SENT && !e.get_req) {
        if (session_stop_seen(s)) return EXIT_STOPPED;
        if (net_expired(s.fr.net)) return net_error(s);
        uint64_t now = pf_ticks_ms();
        if (now >= deadline) return 0;
        // Woken by the answer itself, not by a timer: each offer waits for
        // one. A received file settling meanwhile is looked at every
        // SETTLE_POLL_MS.
        uint64_t left = deadline - now;
        if (s.settle.pending && left > SETTLE_POLL_MS) left = SETTLE_POLL_MS;
        int r = net_wait(s.fr.net, static_cast<uint32_t>(left));
        if (r < 0) return net_error(s);
        unsigned code = r > 0 ? recv_and_handle(s) : rx_settle_poll(s);
        if (code != 0) return code;
    }
    return 0;
}

bool is_unsafe(unsigned char c) {
    return c < 0x20 || c == '"' || c == '/' || c == '\\' || c == ':' || c == '*' || c == '?' ||
           c == '<' || c == '>' || c == '|';
}

}  // namespace

// ---- Names ------------------------------------------------------------------

void wire_escape(char* out, const char* path) {
    const char* name = path;
    for (const char* p = path; *p != '\0'; ++p)
        if (*p == '\\' || *p == '/' || *p == ':') name = p + 1;
    static const char hex[] = "0123456789abcdef";
    size_t n = 0;
    for (const char* p = name; *p != '\0' && n < WIRE_STOP; ++p) {
        unsigned char c = static_cast<unsigned char>(*p);
        if (c <= 0x20 || c >= 0x7f || c == '\\') {
            out[n++] = '\\';
            out[n++] = 'x';
            out[n++] = hex[c >> 4];
            out[n++] = hex[c & 0xf];
        } else {
            out[n++] = static_cast<char>(c);
        }
    }
    out[n] = '\0';
}

void rx_local_name(char* out, const char* raw) {
    size_t n = 0;
    for (const char* p = raw; *p != '\0' && n < RXNAME_MAX - 1;) {
        unsigned char c = static_cast<unsigned char>(*p);
        if (c == '\\' && p[1] == 'x' && hex_nibble(p[2]) >= 0 && hex_nibble(p[3]) >= 0) {
            c = static_cast<unsigned char>(hex_nibble(p[2]) << 4 | hex_nibble(p[3]));
            p += 4;
        } else {
            ++p;
        }
        out[n++] = is_unsafe(c) ? '_' : static_cast<char>(c);
    }
    out[n] = '\0';
    if (n == 0) {
        str_copy(out, "none", RXNAME_MAX);
        return;
    }
    if (out[0] == '.') out[0] = '_';
    // A device name would be opened as the device on Windows: the file
    // gets a "_" in front.
    if (str_names_device(out)) {
        if (n == RXNAME_MAX - 1) --n;
        std::memmove(out + 1, out, n);
        out[0] = '_';
        out[++n] = '\0';
    }
    // A finished file must never carry the temporary suffix or that of a
    // partial's record, or receiving its stem later would overwrite it; nor
    // take one of the names the toss keeps for its own directories in the
    // inbound, or no packet could ever be tossed away again.
    if ((n >= 4 && (str_icmp(out + n - 4, ".wpt") == 0 || str_icmp(out + n - 4, ".wpn") == 0)) ||
        inbound_reserved(out)) {
        if (n < RXNAME_MAX - 1) {
            out[n++] = '_';
            out[n] = '\0';
        } else {
            out[n - 1] = '_';
        }
    }
}

// ---- Sending ----------------------------------------------------------------

void tx_commit(Session& s, const char* path, int kind, int flo, size_t loff) {
    char wire[WIRE_MAX];
    wire_escape(wire, path);
    tx_add(s, path, wire, kind, flo, loff);
}

void flo_parse(Session& s, const char* path) {
    if (s.flo_count >= MAX_FLO) return;
    int64_t len = flo_load(s, path);
    if (len == -2) {
        log_msg2(m_flobig, path);
        return;
    }
    if (len < 0) return;
    log_msg2(m_flo, path);
    int idx = s.flo_count++;
    str_copy(s.flo_path[idx], path, WP_PATH_MAX);
    const uint8_t* b = s.flo_buf;
    size_t n = static_cast<size_t>(len);
    size_t pos = 0;
    while (pos < n) {
        size_t ce;
        size_t e = line_end(b, n, pos, ce);
        size_t ls = pos;
        pos = e + 1;
        if (ce == ls) continue;
        int kind = K_KEEP;
        size_t p = ls;
        switch (b[ls]) {
            case '~':
            case '!':
                continue;
            case '#':
                kind = K_TRUNC;
                ++p;
                break;
            case '^':
            case '-':
                kind = K_DEL;
                ++p;
                break;
            case '@':
                ++p;
                break;
            default:
                break;
        }
        size_t plen = ce - p;
        if (plen < 1 || plen > WP_PATH_MAX - 2) continue;
        char fpath[WP_PATH_MAX];
        mem_copy(fpath, b + p, plen);
        fpath[plen] = '\0';
        tx_commit(s, fpath, kind, idx, ls);
    }
}

unsigned build_list(Session& s) {
    s.tx_count = 0;
    s.flo_count = 0;
    const BossCfg& c = *s.cfg;
    if (str_icmp(c.get(F_OUTMODE), "plain") == 0) {
        std::vector<PfDirEntry> list;
        pf_list_dir(c.get(F_OUTBOUND), list);
        for (const PfDirEntry& d : list) {
            if (!d.is_file) continue;
            char path[WP_PATH_MAX];
            path_join(path, c.get(F_OUTBOUND), d.name.c_str());
            tx_commit(s, path, K_DEL, -1, 0);
        }
    } else {
        ftn_addr a;
        char base[WP_PATH_MAX];
        if (ftn_parse(s.boss_bare, a) && bso_path(c, base, a, true) == 0) {
            if (bso_lock(s.bsy, base, "wrenpost") != 0) {
                log_msg(m_bsobusy);
                s.own_busy = true;
                return EXIT_BUSY;
            }
            log_msg2(m_bso, base);
            s.serial = static_cast<uint32_t>(unix_now_local());
            static const char letters[] = "icdoh";
            for (const char* l = letters; *l != '\0'; ++l) {
                char ext[5] = {'.', *l, 'u', 't', '\0'};
                char path[WP_PATH_MAX];
                str_copy(path, base, sizeof path);
                str_cat(path, ext, sizeof path);
                PfStat st = pf_stat(path);
                if (st.exists && !st.is_dir) {
                    char wire[16];
                    do {
                        ++s.serial;
                        str_copy(hexw(wire, s.serial, 8), ".pkt", 5);
                    } while (wire_in_list(s, wire));
                    tx_add(s, path, wire, K_UT, -1, 0);
                }
                ext[2] = 'l';
                ext[3] = 'o';
                if (*l == 'o') ext[1] = 'f';
                str_copy(path, base, sizeof path);
                str_cat(path, ext, sizeof path);
                st = pf_stat(path);
                if (st.exists && !st.is_dir) flo_parse(s, path);
            }
            // A file request goes under its own name; the boss answers it
            // with files (in a later batch under binkp/1.1), and it is
            // deleted once the boss has it.
            char req[WP_PATH_MAX];
            str_copy(req, base, sizeof req);
            str_cat(req, ".req", sizeof req);
            PfStat rst = pf_stat(req);
            if (rst.exists && !rst.is_dir) {
                log_msg2(m_req, req);
                tx_commit(s, req, K_DEL, -1, 0);
            }
        }
    }
    if (s.tx_count == 0) log_msg(session_m_nothing);
    return 0;
}

unsigned send_outbound(Session& s) {
    unsigned code = build_list(s);
    for (int i = 0; code == 0 && i < s.tx_count; ++i) {
        if (s.tx[i].state == TS_OPEN) code = send_file(s, i);
        if (code == 0) code = send_gets(s);
    }
    return code;
}

unsigned send_gets(Session& s) {
    bool again = true;
    while (again) {
        again = false;
        for (int i = 0; i < s.tx_count; ++i) {
            if (s.tx[i].state == TS_SENT && s.tx[i].get_req) {
                unsigned code = send_file(s, i);
                if (code != 0) return code;
                again = true;
            }
        }
    }
    return 0;
}

unsigned send_file(Session& s, int i) {
    TxEntry& e = s.tx[i];
    UniqueFile file(f_open_read(e.path));
    pf_file h = file.get();
    if (!file) {
        if (e.state == TS_SENT) {
            // Asked for again, but gone meanwhile: the boss must do without.
            e.get_req = false;
            log_msg2(m_tx_open, e.path);
            return 0;
        }
        if (e.flo >= 0) {
            log_msg2(m_flomiss, e.path);
            e.state = TS_DONE;
            flo_mark(s, i);
        } else {
            log_msg2(m_tx_open, e.path);
            e.state = TS_SKIP;
        }
        return 0;
    }
    unsigned code = 0;
    // The boss asked for offers with offset -1 (OPT NR): the first offer
    // waits for its M_GET, which names where to begin.
    // One that left such an offer unanswered gets the rest whole at once.
    bool nr_offer = s.remote_nr && !s.nr_silent && !e.get_req;
    for (;;) {
        int64_t size = f_size(h);
        if (size < 0) {
            log_msg2(m_tx_rd, e.path);
            code = EXIT_PROTO;
            break;
        }
        // A boss that holds part of the file asks (M_GET) for the rest.
        uint64_t offset = e.get_req && e.get_off <= static_cast<uint64_t>(size) ? e.get_off : 0;
        e.get_req = false;
        if (f_seek(h, static_cast<int64_t>(offset), PfSeek::Begin) < 0) {
            log_msg2(m_tx_rd, e.path);
            code = EXIT_PROTO;
            break;
        }
        PfStat st = pf_stat(e.path);
        char text[WIRE_MAX + 80];
        str_copy(text, e.wire, sizeof text);
        add_num(text, sizeof text, static_cast<uint64_t>(size));
        add_num(text, sizeof text, st.mtime > 0 ? static_cast<uint64_t>(st.mtime) : 0);
        if (nr_offer)
            str_cat(text, " -1", sizeof text);
        else
            add_num(text, sizeof text, offset);
        if (wp_send_cmd(s.fr, M_FILE, text) != 0) {
            code = net_error(s);
            break;
        }
        log_sized(m_tx_start, e.wire, static_cast<uint64_t>(size));
        ++s.batch_files;
        if (e.state != TS_SENT) ++s.pending;
        e.state = TS_SENT;
        if (nr_offer) {
            nr_offer = false;
            code = wait_get(s, e);
            if (code != 0 || e.state != TS_SENT) break;  // failed, or M_GOT/M_SKIP
            if (!e.get_req) {
                // A boss that asked for NR and then does not answer: the file
                // goes whole, as to a boss without it.
                log_msg2(m_nr_noget, e.wire);
                s.nr_silent = true;
                e.get_req = true;
                e.get_off = 0;
            }
            continue;
        }

        uint64_t left = static_cast<uint64_t>(size) - offset;
        if (left == 0 && wp_send_data(s.fr, 0) != 0) {
            code = net_error(s);
        }
        // Frames per batch: one at first, doubled after a batch that went
        // out within a sixteenth of the time-out, halved after one that took
        // more than a quarter, so that a slow line still takes each batch
        // well within the time-out.
        size_t frames = 1;
        uint32_t limit = s.fr.net.timeout_ms != 0 ? s.fr.net.timeout_ms : net_timeout_ms();
        // The boss may answer (M_GOT, M_SKIP) before the file is through:
        // it has or does not want the file, and sending ends there. Going on
        // would read a file that M_GOT has just truncated or deleted, so its
        // answers are taken between two batches, before the next is read.
        while (code == 0 && left > 0 && !e.get_req && e.state == TS_SENT) {
            uint64_t cap = static_cast<uint64_t>(frames) * TX_CHUNK;
            size_t want = static_cast<size_t>(left < cap ? left : cap);
            size_t count = (want + TX_CHUNK - 1) / TX_CHUNK;
            size_t last = want - (count - 1) * TX_CHUNK;
            PfIoVec v[TX_BATCH];
            for (size_t j = 0; j < count; ++j)
                v[j] = PfIoVec{wp_batch_body(s.fr, j), j + 1 < count ? TX_CHUNK : last};
            // The size is announced: a file that shrinks meanwhile cannot be
            // sent whole, so it counts as a read error.
            if (pf_readv(h, v, count) != static_cast<int64_t>(want)) {
                log_msg2(m_tx_rd, e.path);
                code = EXIT_PROTO;
                break;
            }
            uint64_t started = pf_ticks_ms();
            if (wp_send_batch(s.fr, count, last) != 0) {
                code = net_error(s);
                break;
            }
            uint64_t took = pf_ticks_ms() - started;
            if (took > limit / 4) {
                if (frames > 1) frames /= 2;
            } else if (took <= limit / 16 && frames < TX_BATCH) {
                frames *= 2;
            }
            left -= want;
            code = poll_incoming(s);
        }
        // Asked for this file again while sending it: start over.
        if (code != 0 || !e.get_req || e.state != TS_SENT) break;
    }
    return code;
}

void tx_got(Session& s, bool skip) {
    char name[WIRE_MAX];
    const char* a = arg_of(s);
    size_t n = 0;
    while (a[n] != '\0' && a[n] != ' ' && n + 1 < sizeof name) {
        name[n] = a[n];
        ++n;
    }
    name[n] = '\0';
    int i = 0;
    while (i < s.tx_count && !(s.tx[i].state == TS_SENT && str_icmp(s.tx[i].wire, name) == 0)) ++i;
    if (i == s.tx_count) {
        log_msg2(m_got_unk, name);
        return;
    }
    TxEntry& e = s.tx[i];
    --s.pending;
    if (skip) {
        e.state = TS_SKIP;
        log_msg2(session_m_skip, name);
        return;
    }
    e.state = TS_DONE;
    ++s.files_tx;
    log_msg2(m_got, name);
    if (e.kind == K_KEEP) {
        log_msg2(m_got_keep, e.path);
    } else if (e.kind == K_TRUNC) {
        pf_file h = pf_open(e.path, PfAccess::ReadWrite, PfCreate::TruncateExisting);
        f_close(h);
        log_msg2(m_got_trunc, e.path);
    } else {
        pf_delete(e.path);
        log_msg2(m_got_del, e.path);
    }
    flo_mark(s, i);
}

void flo_mark(Session& s, int i) {
    const TxEntry& e = s.tx[i];
    if (e.flo < 0) return;
    const char* path = s.flo_path[e.flo];
    int64_t len = flo_load(s, path);
    if (len < 0) return;
    size_t n = static_cast<size_t>(len);
    size_t off = e.loff;
    bool inserted = false;
    if (off < n && s.flo_buf[off] != '~') {
        uint8_t c = s.flo_buf[off];
        if (c == '#' || c == '^' || c == '-' || c == '@') {
            s.flo_buf[off] = '~';
        } else {
            for (size_t k = n; k > off; --k) s.flo_buf[k] = s.flo_buf[k - 1];
            s.flo_buf[off] = '~';
            ++n;
            inserted = true;
        }
        if (flo_write(path, s.flo_buf, n) != 0) return;
        // Later lines moved only when the file on disk has the inserted byte;
        // after a failed write they are where they were.
        if (inserted)
            for (int j = 0; j < s.tx_count; ++j)
                if (s.tx[j].flo == e.flo && s.tx[j].loff > off) ++s.tx[j].loff;
    }
    if (flo_all_done(s.flo_buf, n) && pf_delete(path) == 0) log_msg2(m_flodone, path);
}

void flo_finish(Session& s) {
    for (int k = 0; k < s.flo_count; ++k) {
        int64_t len = flo_load(s, s.flo_path[k]);
        if (len < 0) continue;
        if (flo_all_done(s.flo_buf, static_cast<size_t>(len)) && pf_delete(s.flo_path[k]) == 0)
            log_msg2(m_flodone, s.flo_path[k]);
    }
}

// ---- Receiving --------------------------------------------------------------

namespace {

// Removes a received file's temporary file and record, then closes it:
// deleted while still held, so no other receiver can have taken the name.
void rx_discard(const RxFile& f, pf_file& h) {
    pf_delete(f.rec);
    pf_delete(f.tmp);
    f_close(h);
    h = PF_INVALID;
    log_msg2(m_rx_abort, f.name);
}

}  // namespace

void rx_abort(Session& s) {
    if (!s.rx_active) return;
    s.rx_buf_len = 0;
    s.rx_active = false;
    rx_discard(s.rx, s.rx_h);
}

namespace {

// Writes what rx_data gathered of the file being received. 0, or 1 after
// m_rx_wr.
int rx_flush(Session& s) {
    if (s.rx_buf_len == 0) return 0;
    int r = f_write(s.rx_h, s.rx_buf.data(), s.rx_buf_len);
    s.rx_buf_len = 0;
    if (r == 0) return 0;
    log_msg2(m_rx_wr, s.rx.tmp);
    return 1;
}

// The record of a partial file: the wire name, size and time it was offered
// with, one line.
std::string rx_record_text(const Session& s) {
    char text[WIRE_MAX + 80];
    str_copy(text, s.rx.raw, sizeof text);
    add_num(text, sizeof text, s.rx.size);
    add_num(text, sizeof text, s.rx.time);
    str_cat(text, "\n", sizeof text);
    return text;
}

// The length of the partial file held for the offer in s (same name, size
// and time as recorded), 0 when none is.
uint64_t rx_held(const Session& s) {
    std::string rec;
    if (f_read_whole(s.rx.rec, rec, WIRE_MAX + 80) != 0 || rec != rx_record_text(s)) return 0;
    PfStat st = pf_stat(s.rx.tmp);
    if (!st.exists || !st.is_file || st.size <= 0) return 0;
    uint64_t n = static_cast<uint64_t>(st.size);
    return n < s.rx.size ? n : 0;
}

unsigned send_get(Session& s, uint64_t offset) {
    char text[WIRE_MAX + 80];
    str_copy(text, s.rx.raw, sizeof text);
    add_num(text, sizeof text, s.rx.size);
    add_num(text, sizeof text, s.rx.time);
    add_num(text, sizeof text, offset);
    if (wp_send_cmd(s.fr, M_GET, text) != 0) return net_error(s);
    return 0;
}

// Opens the temporary file for writing, held under its byte lock. With
// `keep` bytes to keep (a resumed file) it must be at least that long and is
// cut there; else it is emptied.
bool rx_open(Session& s, uint64_t keep) {
    // A prune of another poll may remove the file between our open and our
    // lock (it deletes under the lock): the name is then opened again.
    for (int attempt = 0; attempt < 3; ++attempt) {
        s.rx_h = pf_open(s.rx.tmp, PfAccess::ReadWrite,
                         keep > 0 ? PfCreate::OpenExisting : PfCreate::OpenAlways);
        if (s.rx_h == PF_INVALID) return false;
        bool locked = pf_lock_range(s.rx_h, 0, 1) == 0;
        bool gone = locked && !pf_stat(s.rx.tmp).exists;
        bool ok = locked && !gone && (keep == 0 || f_size(s.rx_h) >= static_cast<int64_t>(keep)) &&
                  f_seek(s.rx_h, static_cast<int64_t>(keep), PfSeek::Begin) >= 0 &&
                  pf_set_end(s.rx_h) == 0;
        if (ok) return true;
        f_close(s.rx_h);
        s.rx_h = PF_INVALID;
        if (!gone) return false;
    }
    return false;
}

}  // namespace

unsigned rx_start(Session& s) {
    rx_abort(s);
    const char* a = arg_of(s);
    size_t n = 0;
    while (a[n] != '\0' && a[n] != ' ' && n + 1 < WIRE_MAX) {
        s.rx.raw[n] = a[n];
        ++n;
    }
    s.rx.raw[n] = '\0';
    const char* p = a + n;
    while (*p != '\0' && *p != ' ') ++p;  // a raw name longer than kept
    s.rx.size = parse_u64(p, &p);
    s.rx.time = parse_u64(p, &p);
    while (*p == ' ') ++p;
    bool ask = *p == '-';  // offset -1: the sender waits for our M_GET
    uint64_t offset = parse_u64(ask ? p + 1 : p, &p);
    rx_local_name(s.rx.name, s.rx.raw);
    path_join(s.rx.final_path, s.cfg->get(F_INBOUND), s.rx.name);
    str_copy(s.rx.tmp, s.rx.final_path, sizeof s.rx.tmp);
    str_cat(s.rx.tmp, ".wpt", sizeof s.rx.tmp);
    str_copy(s.rx.rec, s.rx.final_path, sizeof s.rx.rec);
    str_cat(s.rx.rec, ".wpn", sizeof s.rx.rec);
    // The file before under the same name still holds the temporary file.
    if (s.settle.pending && str_icmp(s.settle.file.tmp, s.rx.tmp) == 0) {
        unsigned code = rx_settle_wait(s);
        if (code != 0) return code;
    }
    bool want = s.rx_want && std::string(s.rx_want_raw) == s.rx.raw &&
                s.rx_want_size == s.rx.size && s.rx_want_time == s.rx.time &&
                s.rx_want_off == offset && !ask;
    s.rx_want = false;

    if (ask && s.nr) {
        uint64_t held = rx_held(s);
        unsigned code = send_get(s, held);
        if (code != 0) return code;
        if (held == 0) {
            log_msg2(m_getsent, s.rx.name);
            return 0;
        }
        lb_start();
        lb_add(m_nr_resume);
        lb_add(s.rx.name);
        lb_add(m_nr_from);
        lb_num(held);
        lb_flush();
        s.rx_want = true;
        str_copy(s.rx_want_raw, s.rx.raw, sizeof s.rx_want_raw);
        s.rx_want_size = s.rx.size;
        s.rx_want_time = s.rx.time;
        s.rx_want_off = held;
        return 0;
    }
    // The rest of a partial file, as our M_GET asked for it.
    if (want && offset > 0 && rx_open(s, offset)) {
        log_sized(m_rx_start, s.rx.name, s.rx.size);
        s.rx_active = true;
        s.rx_got = offset;
        s.rx_buf_len = 0;
        return 0;
    }
    if (offset != 0 || ask) {
        unsigned code = send_get(s, 0);
        if (code != 0) return code;
        log_msg2(m_getsent, s.rx.name);
        return 0;
    }
    // The temporary file is not shared: another wrenpost receiving the same
    // name into this inbound (a poll of another boss) holds the byte lock on
    // it, and the file is not touched then. A leftover of a broken session,
    // or a partial file of another offer, is taken over and emptied.
    if (!rx_open(s, 0)) {
        log_msg2(m_rx_cant, s.rx.tmp);
        return EXIT_PROTO;
    }
    pf_delete(s.rx.rec);
    log_sized(m_rx_start, s.rx.name, s.rx.size);
    s.rx_active = true;
    s.rx_got = 0;
    s.rx_buf_len = 0;
    if (s.rx.size == 0) return rx_finish(s);
    return 0;
}

void rx_keep(Session& s) {
    if (!s.nr || !s.rx_active || s.rx_got == 0 || s.rx_got >= s.rx.size) return;
    // partial_keep_days = 0: a part is kept for its session only.
    if (session_partial_days(*s.cfg) == 0) return;
    if (rx_flush(s) != 0) return;  // rx_abort removes it
    // The data first, then the record that vouches for it.
    if (pf_sync(s.rx_h) != 0) return;
    std::string rec = rx_record_text(s);
    pf_file h = pf_open(s.rx.rec, PfAccess::ReadWrite, PfCreate::CreateAlways);
    if (h == PF_INVALID) return;
    bool ok = f_write(h, rec.data(), rec.size()) == 0 && pf_sync(h) == 0;
    f_close(h);
    if (!ok) return;  // rx_abort removes both
    f_close(s.rx_h);
    s.rx_h = PF_INVALID;
    s.rx_active = false;
    log_sized(m_nr_kept, s.rx.name, s.rx_got);
}

void rx_prune(Session& s) {
    const char* in = s.cfg->get(F_INBOUND);
    uint64_t limit = session_partial_days(*s.cfg) * 86400;
    int64_t now = pf_unix_now_utc();
    std::vector<PfDirEntry> list;
    pf_list_dir(in, list);
    for (const PfDirEntry& d : list) {
        size_t n = d.name.size();
        if (!d.is_file || n < 5) continue;
        std::string stem = d.name.substr(0, n - 4), ext = d.name.substr(n - 4);
        char tmp[WP_PATH_MAX], rec[WP_PATH_MAX];
        path_join(tmp, in, (stem + ".wpt").c_str());
        path_join(rec, in, (stem + ".wpn").c_str());
        if (str_icmp(ext.c_str(), ".wpn") == 0) {
            if (!pf_stat(tmp).exists) pf_delete(rec);  // its data is gone
        } else if (str_icmp(ext.c_str(), ".wpt") == 0) {
            // A last write "in the future" is one just now: the file system
            // may stamp finer than the clock read here, a second ahead at
            // most; a partial from a clock set ahead waits until it is old.
            int64_t age = now - d.mtime;
            if (age < 0 || static_cast<uint64_t>(age) < limit) continue;
            // A receiver (another poll into this inbound) holds its file's
            // byte lock from the first byte to the rename: such a file is
            // left alone, however old. Else it is removed under our own
            // lock, so that no receiver takes it over meanwhile.
            UniqueFile h(pf_open(tmp, PfAccess::ReadWrite, PfCreate::OpenExisting));
            if (!h || pf_lock_range(h.get(), 0, 1) != 0) continue;
            pf_delete(rec);
            if (pf_delete(tmp) == 0) log_msg2(m_nr_old, tmp);
        }
    }
}

unsigned rx_data(Session& s) {
    if (s.fr.rx_len == 0) return 0;
    if (!s.rx_active) {
        log_msg(m_data_ign);
        return 0;
    }
    // Bytes past the announced size are not part of the file.
    uint64_t left = s.rx.size - s.rx_got;
    size_t n = s.fr.rx_len < left ? s.fr.rx_len : static_cast<size_t>(left);
    if (s.rx_buf.size() < RX_GATHER) s.rx_buf.resize(RX_GATHER);
    const uint8_t* p = s.fr.rx_frame;
    while (n > 0) {
        // The data gathers up to the next multiple of RX_GATHER in the file
        // and is written there in one piece; each whole MiB is then started
        // on its way to the disk (a failure of that start costs only time,
        // the sync in rx_finish decides).
        uint64_t edge = (s.rx_got / RX_GATHER + 1) * RX_GATHER;
        size_t take = edge - s.rx_got < n ? static_cast<size_t>(edge - s.rx_got) : n;
        mem_copy(s.rx_buf.data() + s.rx_buf_len, p, take);
        s.rx_buf_len += take;
        s.rx_got += take;
        p += take;
        n -= take;
        if (s.rx_got == edge) {
            if (rx_flush(s) != 0) return EXIT_PROTO;
            if (edge % RX_WRITEBACK == 0)
                pf_start_writeback(s.rx_h, edge - RX_WRITEBACK, RX_WRITEBACK);
        }
    }
    if (s.rx_got >= s.rx.size) return rx_finish(s);
    return 0;
}

namespace {

// Moves the finished temporary file to its final name without replacing,
// else to the first free of name.dup1 to name.dup9; the name taken goes to
// placed. 0 for the name itself, 1 to 9 for an alternative, -1 when all
// ten exist.
int rx_place(const char* tmp, const char* final_path, char* placed, size_t cap) {
    for (int k = 0; k <= 9; ++k) {
        str_copy(placed, final_path, cap);
        if (k > 0) {
            char suffix[6] = {'.', 'd', 'u', 'p', static_cast<char>('0' + k), '\0'};
            str_cat(placed, suffix, cap);
        }
        if (pf_rename(tmp, placed, false) == 0) return k;
    }
    return -1;
}

// The settling thread's work: the data to the disk, the final name, the
// name to the disk, then the record of a resumed file is no longer needed.
// Only system calls: the outcome is logged by settle_complete.
int settle_file(RxSettle& t) {
    if (pf_sync(t.h) != 0) return SETTLE_SYNC_FAILED;
    // Renamed while still held (and locked); closed afterwards.
    t.dup = rx_place(t.file.tmp, t.file.final_path, t.placed, sizeof t.placed);
    if (t.dup < 0) return SETTLE_MOVE_FAILED;
    // The new name too: without it a crash could leave the data under the
    // temporary name, which the next polls remove as an old partial file.
    if (pf_sync_dir(t.inbound) != 0) return SETTLE_DIR_FAILED;
    pf_delete(t.file.rec);
    return SETTLE_DONE;
}

void settle_run(void* arg) {
    RxSettle* t = static_cast<RxSettle*>(arg);
    t->state.store(settle_file(*t), std::memory_order_release);
}

// Waits for the settling file's thread, logs its outcome and, when the file
// is on the disk under its final name, sends its M_GOT (with got). 0 or an
// exit code.
unsigned settle_complete(Session& s, bool got) {
    RxSettle& t = s.settle;
    pf_thread_join(t.thread);
    t.pending = false;
    int state = t.state.load(std::memory_order_acquire);
    if (state == SETTLE_SYNC_FAILED) {
        log_msg2(m_rx_wr, t.file.tmp);
        rx_discard(t.file, t.h);
        return EXIT_PROTO;
    }
    f_close(t.h);
    t.h = PF_INVALID;
    if (state == SETTLE_MOVE_FAILED) {
        log_msg2(m_rx_mv, t.file.tmp);
        return EXIT_PROTO;
    }
    if (t.dup > 0) log_msg2(m_rx_dup, t.placed);
    if (state != SETTLE_DONE) {
        log_msg2(m_rx_wr, t.inbound);
        return EXIT_PROTO;
    }
    ++s.files_rx;
    log_sized(m_rx_done, t.file.name, t.file.size);
    if (!got) return 0;
    char text[WIRE_MAX + 80];
    str_copy(text, t.file.raw, sizeof text);
    add_num(text, sizeof text, t.file.size);
    add_num(text, sizeof text, t.file.time);
    if (wp_send_cmd(s.fr, M_GOT, text) != 0) {
        return net_error(s);
    }
    return 0;
}

}  // namespace

unsigned rx_finish(Session& s) {
    if (rx_flush(s) != 0) return EXIT_PROTO;  // rx_abort removes it
    // M_GOTs go in the order the files came: the file before settles first.
    unsigned code = rx_settle_wait(s);
    if (code != 0) return code;
    // The boss deletes its copy on M_GOT: the file must be on the disk
    // first, under its final name. That runs on a thread of its own, so
    // that the next file arrives meanwhile; its M_GOT follows when done.
    RxSettle& t = s.settle;
    str_copy(t.inbound, s.cfg->get(F_INBOUND), sizeof t.inbound);
    t.file = s.rx;
    t.h = s.rx_h;
    s.rx_h = PF_INVALID;
    s.rx_active = false;
    t.state.store(SETTLE_RUNNING, std::memory_order_relaxed);
    t.pending = true;
    if (!pf_thread_start(t.thread, settle_run, &t)) settle_run(&t);
    return 0;
}

unsigned rx_settle_wait(Session& s) {
    return s.settle.pending ? settle_complete(s, true) : 0;
}

unsigned rx_settle_poll(Session& s) {
    if (!s.settle.pending || s.settle.state.load(std::memory_order_acquire) == SETTLE_RUNNING)
        return 0;
    return settle_complete(s, true);
}

unsigned rx_settle_idle(Session& s) {
    while (s.settle.pending && s.settle.state.load(std::memory_order_acquire) == SETTLE_RUNNING) {
        if (session_stop_seen(s)) return 0;  // the caller ends the session
        // Something to read (or a broken line, which the read reports).
        if (net_wait(s.fr.net, SETTLE_POLL_MS) != 0) return 0;
    }
    return rx_settle_poll(s);
}

void rx_settle_drop(Session& s) {
    // What the thread does stands: a file it placed stays (the boss, without
    // its M_GOT, may send it again; it then arrives as a .dupN, as after an
    // M_GOT that could not be sent), one it could not sync is discarded.
    if (s.settle.pending) settle_complete(s, false);
}

void rx_get(Session& s) {
    const char* a = arg_of(s);
    char name[WIRE_MAX];
    size_t n = 0;
    while (a[n] != '\0' && a[n] != ' ' && n + 1 < sizeof name) {
        name[n] = a[n];
        ++n;
    }
    name[n] = '\0';
    const char* p = a + n;
    while (*p != '\0' && *p != ' ') ++p;
    parse_u64(p, &p);  // size
    parse_u64(p, &p);  // time
    uint64_t offset = parse_u64(p, &p);
    for (int i = 0; i < s.tx_count; ++i) {
        TxEntry& e = s.tx[i];
        if (e.state == TS_SENT && str_icmp(e.wire, name) == 0) {
            e.get_req = true;
            e.get_off = offset;
            log_msg2(m_get_res, a);
            return;
        }
    }
    // Not one of the files sent and waiting for an answer in this session.
    log_msg2(m_get, a);
}

void rx_eob(Session& s) {
    s.remote_eob = true;
    log_msg(m_eob_r);
}
