#include "scanner/export.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
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

// ---- What the last run saw of each base ----------------------------------
//
// A run that finds a base as the last run left it, apart from messages
// appended since, reads only the appended part (and the last header the
// previous run saw, to make sure it is still where it was). "As left"
// means: the same file (not one renamed over it), the same creation date and
// first message number, a header chain that still runs through the
// remembered last header to the remembered end, and a ModCounter raised by
// exactly one per header appended after that end (every JAM writer raises it
// once per change: an edit, a deletion or a SENT bit taken back makes it run
// ahead of the appends). With nothing appended, the size and the time of the
// last write must be the remembered ones too, which catches writers that
// change a header in place without raising the counter. Anything else, and
// the base is read whole as before.

constexpr char MEMO_NAME[] = "wpexport.dat";
constexpr char MEMO_FIRST[] = "wrenpost export memo 1";

int memo_find(const ScanState& st, const char* path, int kind) {
    for (size_t i = 0; i < st.memos.size(); ++i)
        if (st.memos[i].kind == kind && st.memos[i].path == path) return static_cast<int>(i);
    return -1;
}

void memo_drop(ScanState& st, const char* path, int kind) {
    int i = memo_find(st, path, kind);
    if (i >= 0) st.memos.erase(st.memos.begin() + i);
}

// CRC-32 of a header and its subfields, Attribute and TimesRead left out:
// the export sets SENT itself, and readers may count reads.
uint32_t memo_crc(const uint8_t* h, uint32_t subflen) {
    uint32_t c = crc_update(h, JMH_TIMESREAD, 0xFFFFFFFFu);
    c = crc_update(h + JMH_TIMESREAD + 4, JMH_ATTRIBUTE - JMH_TIMESREAD - 4, c);
    return crc_update(h + JMH_ATTRIBUTE + 4, JMH_SIZE - JMH_ATTRIBUTE - 4 + uint64_t{subflen}, c);
}

// Whether the base still is as m says, with only whole headers appended.
// bh: its base header; data: its .jhr bytes from `start` to `size`.
bool memo_matches(const BaseMemo& m, const uint8_t* bh, const PfFileId& id, const uint8_t* data,
                  uint64_t start, uint64_t size) {
    if (get_le32(bh) != JAM_SIGNATURE || get_le32(bh + JHI_DATECREATED) != m.created ||
        get_le32(bh + JHI_BASEMSGNUM) != m.basenum)
        return false;
    uint64_t off = start;
    bool saw_last = m.last == m.end;  // no header at all then
    while (off < m.end) {
        if (off + JMH_SIZE > size) return false;
        const uint8_t* h = data + (off - start);
        if (get_le32(h) != JAM_SIGNATURE) return false;
        uint32_t subflen = get_le32(h + JMH_SUBFIELDLEN);
        uint64_t next = off + JMH_SIZE + subflen;
        if (next > m.end) return false;
        if (off == m.last) {
            if (next != m.end || memo_crc(h, subflen) != m.last_crc) return false;
            saw_last = true;
        }
        off = next;
    }
    if (!saw_last) return false;
    uint32_t added = 0;
    while (off + JMH_SIZE <= size) {
        const uint8_t* h = data + (off - start);
        if (get_le32(h) != JAM_SIGNATURE) return false;
        uint64_t next = off + JMH_SIZE + get_le32(h + JMH_SUBFIELDLEN);
        if (next > size) break;  // an append killed half-way; cut off by the next
        ++added;
        off = next;
    }
    if (get_le32(bh + JHI_MODCOUNTER) - m.modcounter != added) return false;
    if (added == 0 && (static_cast<uint64_t>(id.size) != m.size || id.write_ns != m.write_ns))
        return false;
    return true;
}

std::string memo_file(const ScanState& st) {
    return std::string(st.cfg->dir) + MEMO_NAME;
}

// One line per base: kind volume file write_ns size end modcounter created
// basenum resume last last_crc path (numbers in decimal, the path last).
std::string memo_text(const std::vector<BaseMemo>& memos) {
    std::string t = std::string(MEMO_FIRST) + "\n";
    for (const BaseMemo& m : memos) {
        char line[400];
        std::snprintf(
            line, sizeof line, "%d %llu %llu %lld %llu %llu %lu %lu %lu %llu %llu %lu ", m.kind,
            static_cast<unsigned long long>(m.volume), static_cast<unsigned long long>(m.file),
            static_cast<long long>(m.write_ns), static_cast<unsigned long long>(m.size),
            static_cast<unsigned long long>(m.end), static_cast<unsigned long>(m.modcounter),
            static_cast<unsigned long>(m.created), static_cast<unsigned long>(m.basenum),
            static_cast<unsigned long long>(m.resume), static_cast<unsigned long long>(m.last),
            static_cast<unsigned long>(m.last_crc));
        t += line;
        t += m.path;
        t += "\n";
    }
    return t;
}

// Reads the memo file; a missing file, another first line or a malformed
// line give no entry (the base is then read whole). Returns the text read.
std::string memo_load(ScanState& st) {
    st.memos.clear();
    std::string text;
    if (f_read_whole(memo_file(st).c_str(), text, 1048576) != 0) return std::string();
    size_t pos = text.find('\n');
    if (pos == std::string::npos || text.compare(0, pos, MEMO_FIRST) != 0) return text;
    ++pos;
    while (pos < text.size()) {
        size_t nl = text.find('\n', pos);
        if (nl == std::string::npos) break;  // a line without its end is not trusted
        std::string line = text.substr(pos, nl - pos);
        pos = nl + 1;
        BaseMemo m;
        unsigned long long v[11];
        int kind = -1, used = 0;
        if (std::sscanf(line.c_str(),
                        "%d %llu %llu %llu %llu %llu %llu %llu %llu %llu %llu %llu %n", &kind,
                        &v[0], &v[1], &v[2], &v[3], &v[4], &v[5], &v[6], &v[7], &v[8], &v[9],
                        &v[10], &used) != 12 ||
            used <= 0 || static_cast<size_t>(used) >= line.size())
            continue;
        m.kind = kind;
        m.volume = v[0];
        m.file = v[1];
        m.write_ns = static_cast<int64_t>(v[2]);
        m.size = v[3];
        m.end = v[4];
        m.modcounter = static_cast<uint32_t>(v[5]);
        m.created = static_cast<uint32_t>(v[6]);
        m.basenum = static_cast<uint32_t>(v[7]);
        m.resume = v[8];
        m.last = v[9];
        m.last_crc = static_cast<uint32_t>(v[10]);
        m.path = line.substr(static_cast<size_t>(used));
        if ((kind != 0 && kind != 1) || m.end < JHI_SIZE || m.end > m.size || m.last < JHI_SIZE ||
            m.last > m.end || (m.last != m.end && m.last + JMH_SIZE > m.end) ||
            m.resume < JHI_SIZE || m.resume > m.end || v[5] > UINT32_MAX || v[6] > UINT32_MAX ||
            v[7] > UINT32_MAX || v[10] > UINT32_MAX || memo_find(st, m.path.c_str(), kind) >= 0)
            continue;
        st.memos.push_back(std::move(m));
    }
    return text;
}

// Writes the memos aside and renames the copy over the file. A failure is
// harmless (the next run reads the bases whole), so it is not reported.
void memo_save(const ScanState& st, const std::string& old_text) {
    std::string text = memo_text(st.memos);
    if (text == old_text) return;
    std::string name = memo_file(st), tmp = name + ".wptmp";
    pf_file h = pf_open(tmp.c_str(), PfAccess::ReadWrite, PfCreate::CreateAlways);
    if (h == PF_INVALID) return;
    bool ok = pf_write(h, text.data(), text.size()) == 0;
    pf_close(h);
    if (!ok || pf_rename(tmp.c_str(), name.c_str(), true) != 0) pf_delete(tmp.c_str());
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
    UniqueFile file;
    if (!read_only) file.reset(pf_open(name, PfAccess::ReadWrite, PfCreate::OpenExisting));
    if (!file) {
        read_only = true;
        file.reset(pf_open(name, PfAccess::Read, PfCreate::OpenExisting));
    }
    if (!file) {
        log_msg2(m_rdonly, path);
        ++st.c.sc_err;
        return;
    }
    pf_file jhr = file.get();
    JhrLock lock(read_only ? PF_INVALID : jhr, JAM_LOCK_TRIES);
    if (!read_only && !lock) {
        log_msg2(m_arealock, path);
        ++st.c.sc_locked;
        return;
    }
    int64_t size = f_size(jhr);
    bool damaged = false;
    if (size < static_cast<int64_t>(JHI_SIZE)) return;
    Buf& copy = st.jhr;
    copy.B_LEN = 0;
    // The copy holds the .jhr from offset `from`: 0 for the whole file, or
    // where the last run's memo says the unread part begins.
    uint64_t from = 0;
    uint8_t bh[JHI_SIZE];
    PfFileId id;
    bool have_id = !read_only && pf_file_id(jhr, id) == 0 && id.size == size;
    int mi = have_id ? memo_find(st, path, kind) : -1;
    if (mi >= 0 && static_cast<uint64_t>(size) <= JHR_MAX) {
        const BaseMemo& m = st.memos[static_cast<size_t>(mi)];
        uint64_t start = std::min(m.resume, m.last);
        uint64_t usize = static_cast<uint64_t>(size);
        if (id.volume == m.volume && id.file == m.file && usize >= m.end &&
            pf_pread(jhr, bh, JHI_SIZE, 0) == JHI_SIZE && buf_need(copy, usize - start) &&
            pf_pread(jhr, copy.B_PTR, usize - start, start) ==
                static_cast<int64_t>(usize - start) &&
            memo_matches(m, bh, id, copy.B_PTR, start, usize)) {
            from = start;
            copy.B_LEN = usize - start;
        }
    }
    if (from == 0) {
        copy.B_LEN = 0;
        if (static_cast<uint64_t>(size) > JHR_MAX) {
            damaged = true;
        } else if (!buf_need(copy, static_cast<uint64_t>(size))) {
            ++st.c.sc_err;
            return;
        } else {
            copy.B_LEN = static_cast<uint64_t>(size);
            damaged = pf_pread(jhr, copy.B_PTR, static_cast<size_t>(size), 0) != size;
        }
    }
    lock.unlock();
    file.reset();
    if (from == 0 && !damaged && get_le32(copy.B_PTR) != JAM_SIGNATURE) damaged = true;
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

    // What the memo will say of this base: taken from the base header as read.
    const uint8_t* head = from != 0 ? bh : copy.B_PTR;
    uint32_t mc = damaged ? 0 : get_le32(head + JHI_MODCOUNTER);
    uint32_t created = damaged ? 0 : get_le32(head + JHI_DATECREATED);
    uint32_t basenum = damaged ? 0 : get_le32(head + JHI_BASEMSGNUM);
    uint64_t first_new = UINT64_MAX, last = 0;
    bool capped = false;

    uint64_t off = from != 0 ? from : JHI_SIZE;
    uint64_t lim = from + copy.B_LEN;  // .jhr offset of the copy's end
    while (!damaged && off + JMH_SIZE <= lim) {
        const uint8_t* h = copy.B_PTR + (off - from);
        uint32_t subflen = get_le32(h + JMH_SUBFIELDLEN);
        if (get_le32(h) != JAM_SIGNATURE) {
            damaged = true;
            break;
        }
        // A last header whose subfields run past the end of the file is the
        // trace of an append that was killed in the middle of its write (the
        // next append cuts it off): the end of the messages, not damage.
        if (off + JMH_SIZE + subflen > lim) break;
        if (is_new(get_le32(h + JMH_ATTRIBUTE), kind)) {
            if (st.marks.size() >= MAX_MARK) {
                if (!st.mark_warned) log_msg(scan_m_full);
                st.mark_warned = true;
                capped = true;
                break;
            }
            st.hdr = h;
            st.hdr_off = static_cast<uint32_t>(off);
            st.subf = h + JMH_SIZE;
            st.subf_len = subflen;
            pack_msg(st);
            first_new = std::min(first_new, off);
        }
        last = off;
        off += JMH_SIZE + subflen;
    }
    if (damaged) {
        log_msg2(scan_m_corrupt, path);
        ++st.c.sc_err;
    }
    // Only a walk that reached the end of the messages tells where the next
    // run may begin; anything else leaves the next run to read it whole.
    if (damaged || capped || !have_id) {
        memo_drop(st, path, kind);
    } else {
        if (mi < 0) {
            st.memos.emplace_back();
            mi = static_cast<int>(st.memos.size() - 1);
            st.memos.back().path = path;
            st.memos.back().kind = kind;
        }
        BaseMemo& m = st.memos[static_cast<size_t>(mi)];
        m.volume = id.volume;
        m.file = id.file;
        m.write_ns = id.write_ns;
        m.size = static_cast<uint64_t>(size);
        m.end = off;
        m.modcounter = mc;
        m.created = created;
        m.basenum = basenum;
        m.resume = first_new != UINT64_MAX ? first_new : off;
        m.last = last != 0 ? last : off;
        const uint8_t* lh = copy.B_PTR + (m.last - from);
        m.last_crc = last != 0 ? memo_crc(lh, get_le32(lh + JMH_SUBFIELDLEN)) : 0;
        m.seen = true;
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
        UniqueFile file(pf_open(name, PfAccess::ReadWrite, PfCreate::OpenExisting));
        pf_file jhr = file.get();
        JhrLock lock(jhr, JAM_LOCK_TRIES);
        bool ok = lock.held();
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
        uint32_t mc_before = 0;
        if (ok) {
            uint8_t mc[4];
            ok = pf_pread(jhr, mc, 4, JHI_MODCOUNTER) == 4;
            if (ok) {
                mc_before = get_le32(mc);
                put_le32(mc, mc_before + 1);
                ok = pf_pwrite(jhr, mc, 4, JHI_MODCOUNTER) == 0;
            }
        }
        // The memo of the scan now says: everything up to its end is sent,
        // and the counter is one higher. Unless another program wrote to the
        // base since the scan (or the marking failed): then the next run
        // reads it whole.
        int mi = memo_find(st, base->c_str(), kind);
        if (mi >= 0) {
            BaseMemo& m = st.memos[static_cast<size_t>(mi)];
            PfFileId id;
            if (ok && mc_before == m.modcounter && pf_file_id(jhr, id) == 0 && id.file == m.file &&
                id.volume == m.volume && static_cast<uint64_t>(id.size) == m.size) {
                m.modcounter = mc_before + 1;
                m.write_ns = id.write_ns;
                m.resume = m.end;
            } else {
                st.memos.erase(st.memos.begin() + mi);
            }
        }
        lock.unlock();
        file.reset();
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

namespace {

// The base keys (cfg_base_key) of every netmail base, boss b's and each
// section's as written, and of every echo area, in order.
void base_keys(const Config& c, const BossCfg& b, std::vector<std::string>& nets,
               std::vector<std::string>& keys) {
    nets.push_back(cfg_base_key(b.get(F_NETMAIL)));
    for (int i = -1; i < c.boss_count; ++i) {
        char p[CFG_STR];
        if (cfg_resolve(c.dir, cfg_raw(c, i, F_NETMAIL), p, sizeof p))
            nets.push_back(cfg_base_key(p));
    }
    for (int a = 0; a < c.area_count; ++a) keys.push_back(cfg_base_key(c.area_paths[a]));
}

// Why echo area a must not be exported: 1 = on a netmail base, 2 = on the
// base of an earlier area (of any boss), 0 = it may.
int area_base_clash(const std::vector<std::string>& nets, const std::vector<std::string>& keys,
                    int a) {
    const std::string& k = keys[static_cast<size_t>(a)];
    if (k.empty()) return 0;
    if (std::find(nets.begin(), nets.end(), k) != nets.end()) return 1;
    if (std::find(keys.begin(), keys.begin() + a, k) != keys.begin() + a) return 2;
    return 0;
}

}  // namespace

ExitCode scan_boss(ScanState& st, int boss) {
    const Config& c = *st.cfg;
    const BossCfg b = cfg_boss(c, boss);
    lb_start();
    lb_add(scan_m_boss);
    lb_add(b.name);
    lb_add("]: ");
    lb_add(b.get(F_ADDRESS));
    lb_add(" -> ");
    lb_add(b.get(F_BOSSADDR));
    lb_flush();
    if (ftn_parse(b.get(F_ADDRESS), st.own) != 1 || ftn_parse(b.get(F_BOSSADDR), st.boss) != 1) {
        log_msg(m_noaddr);
        ++st.c.sc_err;
        return EXIT_PROTO;
    }
    if (b.get(F_OUTBOUND)[0] == '\0') {
        log_msg(m_noout);
        ++st.c.sc_err;
        return EXIT_PROTO;
    }
    st.bso = str_icmp(b.get(F_OUTMODE), "plain") != 0;
    st.zip = str_icmp(b.get(F_PACK), "zip") == 0;
    st.path_line = str_icmp(b.get(F_ECHOPATH), "boss") == 0;
    st.pktpwd = b.get(F_PKTPWD);
    st.system = b.get(F_SYSTEM);
    reset_boss(st);

    scan_area(st, b.get(F_NETMAIL), nullptr, 0);
    std::vector<std::string> nets, keys;
    for (int a = 0; a < c.area_count; ++a) {
        int net = c.area_nets[a];
        if (net != boss && !(net == -1 && boss == 0)) continue;
        if (keys.empty()) base_keys(c, b, nets, keys);
        int reason = area_base_clash(nets, keys, a);
        // An echo area listed on a netmail base would publish private
        // netmail as echomail; one listed on the base of an earlier area
        // would publish that area's mail here too. Neither is exported.
        if (reason == 1) {
            log_msg2(m_onnet, c.area_tags[a]);
            continue;
        }
        if (reason == 2) {
            log_msg2(m_shared, c.area_tags[a]);
            continue;
        }
        scan_area(st, c.area_paths[a], c.area_tags[a], 1);
    }
    if (st.n_net == 0 && st.n_echo == 0) {
        log_msg(scan_m_nothing);
        return EXIT_OK;
    }

    BsoLock lock;
    if (st.bso) {
        char base[WP_PATH_MAX];
        bso_path(b, base, st.boss, true);
        st.basename = base;
        const char* slash = std::strrchr(base, '/');
        st.outdir = slash ? std::string(base, static_cast<size_t>(slash - base)) : std::string(".");
        if (bso_lock(lock, base, "wrenpost") != 0) {
            log_msg(m_bsybusy);
            ++st.c.sc_busy;
            return EXIT_BUSY;
        }
        sweep_scratch(st.outdir.c_str());
    } else {
        st.basename.clear();
        st.outdir = b.get(F_OUTBOUND);
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
    bso_unlock(lock);

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

ExitCode scan_all(ScanState& st, int scan_only) {
    crc_init();
    st.c = ScanCounters{};
    Config& c = *st.cfg;
    std::string memo_old = memo_load(st);
    if (c.boss_count == 0) {
        scan_boss(st, -1);
    } else {
        for (int b = 0; b < c.boss_count; ++b)
            if (scan_only < 0 || scan_only == b) scan_boss(st, b);
    }
    // A run over every boss saw every base still configured: the memos of
    // bases it did not look at belong to areas that are gone.
    if (scan_only < 0 || c.boss_count == 0)
        st.memos.erase(std::remove_if(st.memos.begin(), st.memos.end(),
                                      [](const BaseMemo& m) { return !m.seen; }),
                       st.memos.end());
    memo_save(st, memo_old);
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

ExitCode export_run(int scan_only) {
    auto st = std::make_unique<ScanState>();
    ExitCode code = scan_all(*st, scan_only);
    scan_report(*st);
    return code;
}
