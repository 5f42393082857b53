#include "scanner/export.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

#include "core/bytes.h"
#include "core/exitcode.h"
#include "core/fileio.h"
#include "core/log.h"
#include "jam/crc32.h"
#include "jam/jam.h"
#include "scanner/messages.h"
#include "scanner/outbound.h"
#include "scanner/pack.h"

namespace {

constexpr uint64_t JHR_MAX = 268435456;  // a larger .jhr counts as damaged
constexpr uint64_t MARK_GAP = 65536;     // headers this close share one write

bool is_new(uint32_t attr, int kind) {
    if (!(attr & JA_LOCAL) || (attr & (JA_SENT | JA_DELETED))) return false;
    return !(kind == 0 && (attr & JA_ECHO));
}

// Whether the header copy holds a message is_new would take (a damaged
// chain counts as holding one: nothing can be said about the rest).
bool unsent_in(const Buf& copy, int kind) {
    uint64_t off = JHI_SIZE;
    while (off + JMH_SIZE <= copy.B_LEN) {
        const uint8_t* h = copy.B_PTR + off;
        if (get_le32(h) != JAM_SIGNATURE) return true;
        uint32_t subflen = get_le32(h + JMH_SUBFIELDLEN);
        if (off + JMH_SIZE + subflen > copy.B_LEN) break;
        if (is_new(get_le32(h + JMH_ATTRIBUTE), kind)) return true;
        off += JMH_SIZE + subflen;
    }
    return false;
}

void reset_boss(ScanState& st) {
    st.n_net = st.n_echo = 0;
    st.pkt_net.B_LEN = st.pkt_echo.B_LEN = 0;
    st.marks.clear();
    st.mark_warned = false;
    st.base_paths.clear();
}

}  // namespace

void scan_area(ScanState& st, const char* path, const char* tag, int kind) {
    if (path[0] == '\0') return;
    char name[WP_PATH_MAX];
    mkpath(name, path, ".jhr");
    // A base that does not exist yet holds nothing to send. One that cannot
    // be written (no permission, or its owner made it read-only) could not be
    // marked: it is read only to learn whether anything waits in it.
    PfStat jst = pf_stat(name);
    if (!jst.exists) return;
    bool read_only = jst.read_only;
    pf_file jhr = PF_INVALID;
    if (!read_only) jhr = pf_open(name, PfAccess::ReadWrite, PfCreate::OpenExisting);
    if (jhr == PF_INVALID) {
        read_only = true;
        jhr = pf_open(name, PfAccess::Read, PfCreate::OpenExisting);
    }
    if (jhr == PF_INVALID) {
        log_msg2(m_rdonly, path);
        ++st.c.sc_err;
        return;
    }
    if (!read_only && jam_lock(jhr, JAM_LOCK_TRIES) != 0) {
        log_msg2(m_arealock, path);
        ++st.c.sc_locked;
        f_close(jhr);
        return;
    }
    auto release = [&] {
        if (!read_only) jam_unlock(jhr);
        f_close(jhr);
    };
    int64_t size = f_size(jhr);
    bool damaged = false;
    if (size < static_cast<int64_t>(JHI_SIZE)) {
        release();
        return;
    }
    Buf& copy = st.jhr;
    copy.B_LEN = 0;
    if (static_cast<uint64_t>(size) > JHR_MAX) {
        damaged = true;
    } else if (!buf_need(copy, static_cast<uint64_t>(size))) {
        release();
        ++st.c.sc_err;
        return;
    } else {
        copy.B_LEN = static_cast<uint64_t>(size);
        damaged = pf_pread(jhr, copy.B_PTR, static_cast<size_t>(size), 0) != size;
    }
    release();
    if (!damaged && get_le32(copy.B_PTR) != JAM_SIGNATURE) damaged = true;
    if (read_only) {
        if (damaged || unsent_in(copy, kind)) {
            log_msg2(m_rdonly, path);
            ++st.c.sc_err;
        }
        return;
    }

    auto owned = std::make_unique<std::string>(path);
    st.base_path = owned.get();
    st.base_paths.push_back(std::move(owned));
    st.tag = tag != nullptr ? tag : "";
    st.kind = kind;
    st.base_count = 0;
    st.text.B_LEN = 0;  // the .jdt window belongs to the previous base
    mkpath(name, path, ".jdt");
    st.jdt = pf_open(name, PfAccess::Read, PfCreate::OpenExisting);
    st.jdt_size = st.jdt == PF_INVALID ? 0 : f_size(st.jdt);
    if (st.jdt_size < 0) st.jdt_size = 0;

    uint64_t off = JHI_SIZE;
    while (!damaged && off + JMH_SIZE <= copy.B_LEN) {
        const uint8_t* h = copy.B_PTR + off;
        uint32_t subflen = get_le32(h + JMH_SUBFIELDLEN);
        if (get_le32(h) != JAM_SIGNATURE) {
            damaged = true;
            break;
        }
        // A last header whose subfields run past the end of the file is the
        // trace of an append that was killed in the middle of its write (the
        // next append cuts it off): the end of the messages, not damage.
        if (off + JMH_SIZE + subflen > copy.B_LEN) break;
        if (is_new(get_le32(h + JMH_ATTRIBUTE), kind)) {
            if (st.marks.size() >= MAX_MARK) {
                if (!st.mark_warned) log_msg(scan_m_full);
                st.mark_warned = true;
                break;
            }
            st.hdr = h;
            st.hdr_off = static_cast<uint32_t>(off);
            st.subf = h + JMH_SIZE;
            st.subf_len = subflen;
            pack_msg(st);
        }
        off += JMH_SIZE + subflen;
    }
    if (damaged) {
        log_msg2(scan_m_corrupt, path);
        ++st.c.sc_err;
    }
    if (st.base_count > 0) {
        lb_start();
        lb_add(m_area);
        lb_add(kind == 0 ? "NETMAIL" : st.tag.c_str());
        lb_add(m_area2);
        lb_num(st.base_count);
        lb_flush();
    }
    if (st.jdt != PF_INVALID) f_close(st.jdt);
    st.jdt = PF_INVALID;
}

void mark_sent(ScanState& st, int kind) {
    size_t i = 0;
    while (i < st.marks.size()) {
        if (st.marks[i].MK_KIND != kind) {
            ++i;
            continue;
        }
        const std::string* base = st.marks[i].MK_PATH;
        size_t end = i;
        while (end < st.marks.size() && st.marks[end].MK_PATH == base) ++end;
        char name[WP_PATH_MAX];
        mkpath(name, base->c_str(), ".jhr");
        pf_file jhr = pf_open(name, PfAccess::ReadWrite, PfCreate::OpenExisting);
        bool locked = jhr != PF_INVALID && jam_lock(jhr, JAM_LOCK_TRIES) == 0;
        bool ok = locked;
        uint64_t count = 0;
        // Every header is checked afresh under the lock, from one read of the
        // span that holds them. The attributes are then set in that copy and
        // written back in runs of nearby headers: the bytes between them are
        // the ones just read under the same lock, so only attributes change,
        // with one write per run instead of one per message.
        uint64_t lo = UINT64_MAX, hi = 0;
        for (size_t k = i; k < end; ++k) {
            lo = std::min<uint64_t>(lo, st.marks[k].MK_OFF);
            hi = std::max<uint64_t>(hi, st.marks[k].MK_OFF + uint64_t{JMH_SIZE});
        }
        std::vector<uint8_t> span;
        if (ok) {
            span.resize(static_cast<size_t>(hi - lo));
            ok = pf_pread(jhr, span.data(), span.size(), lo) == static_cast<int64_t>(span.size());
        }
        uint64_t run_lo = 0, run_hi = 0;  // attribute fields still to write
        for (size_t k = i; ok && k < end; ++k) {
            uint64_t off = st.marks[k].MK_OFF;
            uint8_t* h = span.data() + (off - lo);
            ok = get_le32(h) == JAM_SIGNATURE && (get_le32(h + JMH_ATTRIBUTE) & JA_LOCAL);
            if (!ok) {
                // The headers before this one are in the outbound: their
                // attributes are written all the same.
                if (run_hi != 0)
                    pf_pwrite(jhr, span.data() + (run_lo - lo), run_hi - run_lo, run_lo);
                break;
            }
            uint64_t a = off + JMH_ATTRIBUTE;
            if (run_hi != 0 && (a < run_hi || a - run_hi > MARK_GAP)) {
                ok = pf_pwrite(jhr, span.data() + (run_lo - lo), run_hi - run_lo, run_lo) == 0;
                run_hi = 0;
                if (!ok) break;
            }
            put_le32(h + JMH_ATTRIBUTE, get_le32(h + JMH_ATTRIBUTE) | JA_SENT);
            if (run_hi == 0) run_lo = a;
            run_hi = a + 4;
            ++count;
        }
        if (ok && run_hi != 0)
            ok = pf_pwrite(jhr, span.data() + (run_lo - lo), run_hi - run_lo, run_lo) == 0;
        if (ok) {
            uint8_t mc[4];
            ok = pf_pread(jhr, mc, 4, JHI_MODCOUNTER) == 4;
            if (ok) {
                put_le32(mc, get_le32(mc) + 1);
                ok = pf_pwrite(jhr, mc, 4, JHI_MODCOUNTER) == 0;
            }
        }
        if (locked) jam_unlock(jhr);
        if (jhr != PF_INVALID) f_close(jhr);
        if (ok) {
            lb_start();
            lb_add(m_marked);
            lb_add(base->c_str());
            lb_add(" (");
            lb_num(count);
            lb_add(m_nmsg);
            lb_flush();
        } else {
            log_msg2(m_markerr, base->c_str());
            ++st.c.sc_err;
        }
        i = end;
    }
}

unsigned scan_boss(ScanState& st, int boss) {
    Config& c = *st.cfg;
    cfg_select(c, boss, 1);
    lb_start();
    lb_add(scan_m_boss);
    lb_add(c.cfg_name);
    lb_add("]: ");
    lb_add(c.get(F_ADDRESS));
    lb_add(" -> ");
    lb_add(c.get(F_BOSSADDR));
    lb_flush();
    if (ftn_parse(c.get(F_ADDRESS), st.own) != 1 || ftn_parse(c.get(F_BOSSADDR), st.boss) != 1) {
        log_msg(m_noaddr);
        ++st.c.sc_err;
        return EXIT_PROTO;
    }
    if (c.get(F_OUTBOUND)[0] == '\0') {
        log_msg(m_noout);
        ++st.c.sc_err;
        return EXIT_PROTO;
    }
    st.bso = str_icmp(c.get(F_OUTMODE), "plain") != 0;
    st.zip = str_icmp(c.get(F_PACK), "zip") == 0;
    st.path_line = str_icmp(c.get(F_ECHOPATH), "boss") == 0;
    st.pktpwd = c.get(F_PKTPWD);
    st.system = c.get(F_SYSTEM);
    reset_boss(st);

    scan_area(st, c.get(F_NETMAIL), nullptr, 0);
    for (int a = 0; a < c.area_count; ++a) {
        int net = c.area_nets[a];
        if (net != boss && !(net == -1 && boss == 0)) continue;
        // An echo area listed on the netmail base would publish private
        // netmail as echomail: it is never exported.
        if (cfg_same_base(c.area_paths[a], c.get(F_NETMAIL))) {
            log_msg2(m_onnet, c.area_tags[a]);
            continue;
        }
        scan_area(st, c.area_paths[a], c.area_tags[a], 1);
    }
    if (st.n_net == 0 && st.n_echo == 0) {
        log_msg(scan_m_nothing);
        return EXIT_OK;
    }

    BsoLock lock;
    bool held = false;
    if (st.bso) {
        char base[WP_PATH_MAX];
        bso_path(c, base, st.boss, true);
        st.basename = base;
        const char* slash = std::strrchr(base, '/');
        st.outdir = slash ? std::string(base, static_cast<size_t>(slash - base)) : std::string(".");
        if (bso_lock(lock, base, "wrenpost") != 0) {
            log_msg(m_bsybusy);
            ++st.c.sc_busy;
            return EXIT_BUSY;
        }
        held = true;
        sweep_scratch(st.outdir.c_str());
    } else {
        st.basename.clear();
        st.outdir = c.get(F_OUTBOUND);
        pf_mkdir(st.outdir.c_str());
        sweep_scratch(st.outdir.c_str());
    }
    bool net_ok = st.n_net == 0 || out_netmail(st) == 0;
    bool echo_ok = st.n_echo == 0 || out_echo(st) == 0;
    // The new names in the outbound must outlast a crash as the files do:
    // the messages are marked sent next.
    if (pf_sync_dir(st.outdir.c_str()) != 0) {
        log_msg2(m_werr, st.outdir.c_str());
        net_ok = echo_ok = false;
    }
    if (held) bso_unlock(lock);

    uint64_t failures = 0;
    if (st.n_net > 0) {
        if (net_ok) {
            mark_sent(st, 0);
            st.c.sc_net += st.n_net;
        } else {
            ++failures;
        }
    }
    if (st.n_echo > 0) {
        if (echo_ok) {
            mark_sent(st, 1);
            st.c.sc_echo += st.n_echo;
        } else {
            ++failures;
        }
    }
    st.c.sc_err += failures;
    return failures > 0 ? EXIT_PROTO : EXIT_OK;
}

unsigned scan_all(ScanState& st, int scan_only) {
    crc_init();
    st.c = ScanCounters{};
    Config& c = *st.cfg;
    if (c.boss_count == 0) {
        scan_boss(st, -1);
    } else {
        for (int b = 0; b < c.boss_count; ++b)
            if (scan_only < 0 || scan_only == b) scan_boss(st, b);
    }
    buf_free(st.pkt_net);
    buf_free(st.pkt_echo);
    buf_free(st.text);
    buf_free(st.jhr);
    if (st.c.sc_locked > 0) return EXIT_LOCK;
    if (st.c.sc_err > 0) return EXIT_PROTO;
    if (st.c.sc_busy > 0) return EXIT_BUSY;
    return EXIT_OK;
}

void scan_report(const ScanState& st) {
    lb_start();
    lb_add(scan_m_sum1);
    lb_num(st.c.sc_echo);
    lb_add(scan_m_sum2);
    lb_num(st.c.sc_net);
    lb_add(scan_m_sum3);
    lb_num(st.c.sc_files);
    lb_add(scan_m_sum4);
    lb_num(st.c.sc_err);
    lb_add(scan_m_sum5);
    lb_num(st.c.sc_busy);
    lb_flush();
}

unsigned export_run(int scan_only) {
    auto st = std::make_unique<ScanState>();
    unsigned code = scan_all(*st, scan_only);
    scan_report(*st);
    return code;
}
