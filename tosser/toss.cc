#include "tosser/toss.h"

#include <cstring>
#include <memory>
#include <set>
#include <vector>

#include "config/cfgedit.h"
#include "config/messages.h"
#include "config/robot.h"
#include "core/exitcode.h"
#include "core/fileio.h"
#include "core/log.h"
#include "fmsg/fmsg.h"
#include "jam/crc32.h"
#include "jam/jam.h"
#include "jam/jambase.h"
#include "jam/jamlock.h"
#include "msgarea/msgarea.h"
#include "platform/platform.h"
#include "tosser/badmove.h"
#include "tosser/messages.h"
#include "tosser/unzip.h"

namespace {

constexpr size_t NAME_MAX_LEN = 259;   // inbound names kept
constexpr size_t AREADIR_MAX = 175;    // area directory part of a new base path
constexpr size_t MSGID_LOG_MAX = 200;  // MSGID shown for a discarded dupe
constexpr size_t AREA_KLUDGE_MAX = 79;

bool ends_with_ci(const char* s, const char* suffix) {
    size_t n = str_len(s), k = str_len(suffix);
    return n >= k && str_icmp(s + n - k, suffix) == 0;
}

// A loose packet: a name of at least 4 characters ending in ".pkt".
bool is_packet_name(const char* name) {
    return str_len(name) >= 4 && ends_with_ci(name, ".pkt");
}

enum InboundKind { IK_NONE, IK_PACKET, IK_BUNDLE };

// What an inbound file is by its name. A file received while one of its name
// was still waiting was saved by the mailer with ".dup1" to ".dup9" appended;
// it is taken by the name before that suffix, or it would never be tossed.
InboundKind inbound_kind(const std::string& name) {
    std::string base = name;
    size_t n = base.size();
    if (n > 5 && base[n - 1] >= '1' && base[n - 1] <= '9' &&
        str_icmp(base.substr(n - 5, 4).c_str(), ".dup") == 0)
        base.resize(n - 5);
    if (is_packet_name(base.c_str())) return IK_PACKET;
    if (is_bundle(base.c_str())) return IK_BUNDLE;
    return IK_NONE;
}

void join(char* out, const char* dir, const char* name) {
    path_join(out, dir, name);
}

// ---- Moving files out of the way ----------------------------------------------

void to_tossed(const char* dir, const char* name, const char* saved_msg) {
    char tossed[WP_PATH_MAX], src[WP_PATH_MAX], dst[WP_PATH_MAX];
    join(tossed, dir, INBOUND_TOSSED);
    pf_mkdir(tossed);
    join(src, dir, name);
    join(dst, tossed, name);
    std::string used;
    if (move_unique(src, dst, &used))
        log_msg2(saved_msg, used.c_str());
    else
        log_msg2(m_movefail, src);
}

// ---- Filing one message -----------------------------------------------------------

int find_area(const Config& c, const char* tag) {
    for (int i = 0; i < c.area_count; ++i)
        if (str_icmp(c.area_tags[i], tag) == 0) return i;
    return -1;
}

// The target name of a base: "msg:" + path for a *.MSG area, the path alone
// for JAM (so that JAM targets, their dupe keys and journal records are
// what they always were). out: CFG_STR + 4 bytes.
void make_loc(char* out, AreaFormat f, const char* path) {
    out[0] = '\0';
    if (f == AreaFormat::Msg && path[0] != '\0') str_copy(out, cfg_format_prefix(f), CFG_STR + 4);
    str_cat(out, path, CFG_STR + 4);
}

// cfg_base_key of a target name.
std::string loc_key(const char* loc) {
    AreaFormat f;
    const char* path = cfg_base_loc(loc, f);
    return cfg_base_key(path, f);
}

// Whether a base is in use: the netmail, bad or dupe base, any boss's
// netmail or any echo area (compared as cfg_same_base does, format and path,
// the path's own name resolved once rather than once per base).
bool base_taken(const TossRun& r, const char* loc) {
    if (loc[0] == '\0') return false;
    const std::string key = loc_key(loc);
    auto same = [&key](const char* other) { return other[0] != '\0' && loc_key(other) == key; };
    if (same(r.netmail) || same(r.badarea) || same(r.dupearea)) return true;
    for (int i = 0; i < r.net_count; ++i)
        if (same(r.net_tab[i].N_NETMAIL)) return true;
    const Config& c = *r.cfg;
    for (int i = 0; i < c.area_count; ++i)
        if (c.area_paths[i][0] != '\0' && cfg_base_key(c.area_paths[i], c.area_formats[i]) == key)
            return true;
    return false;
}

int autocreate(TossRun& r, const char* tag) {
    if (r.sender < 0 || tag[0] == '\0') return -1;
    const TossNet& n = r.net_tab[r.sender];
    if (!n.N_AUTOC) return -1;
    // A tag that names a folder or drive, holds control characters or was
    // cut would give a base outside the area directory, or one shared by
    // other tags: no area is made of it (the message goes to the bad area).
    if (!af_tag_creatable(tag) || r.msg.tag_cut) {
        log_msg2(m_ac_badtag, tag);
        return -1;
    }
    Config& c = *r.cfg;
    if (c.area_count >= MAX_AREAS) {
        log_msg2(m_ac_full, tag);
        return -1;
    }
    // The path as the configuration line gets it, and the one used: relative
    // to the configuration's directory.
    char path[CFG_STR], used[CFG_STR];
    str_copy(path, n.N_AREADIR, AREADIR_MAX + 1);
    size_t len = str_len(path);
    if (len > 0 && path[len - 1] != '/' && path[len - 1] != '\\')
        str_cat(path, PF_DIR_SEP, sizeof path);
    char file[AF_BASE_NAME_MAX];
    af_base_name(file, tag);
    str_cat(path, file, sizeof path);
    if (!cfg_resolve(c.dir, path, used, sizeof used)) {
        log_msg2(m_pathlong, path);
        return -1;
    }
    if (len > 0) {
        char dir[CFG_STR];
        cfg_resolve(c.dir, n.N_AREADIR, dir, sizeof dir);  // shorter than `used`
        pf_mkdir(dir);
    }
    // The natural name may be a base in use already (an area tagged like the
    // netmail, bad or dupe base in their own directory, or two tags with one
    // file name): sharing it would export private netmail as echomail or one
    // area's messages into another. A free name gets a number, in the line
    // written and in the path used alike.
    size_t stem = str_len(path), used_stem = str_len(used);
    char loc[CFG_STR + 4];
    auto taken = [&]() {
        make_loc(loc, n.N_AREAFMT, used);
        return base_taken(r, loc);
    };
    for (int i = 2; taken(); ++i) {
        if (i > 99 || stem + 3 >= sizeof path || used_stem + 3 >= sizeof used) {
            log_msg2(m_ac_cfgerr, tag);
            return -1;
        }
        char num[24] = "_";
        u64_to_dec(static_cast<uint64_t>(i), num + 1);
        path[stem] = '\0';
        str_cat(path, num, sizeof path);
        used[used_stem] = '\0';
        str_cat(used, num, sizeof used);
    }
    if (str_len(used) != used_stem) {
        lb_start();
        lb_add(m_ac_taken);
        lb_add(tag);
        lb_add(" -> ");
        lb_add(used);
        lb_flush();
    }
    const char* section = n.N_SECT >= 0 ? n.N_NAME : nullptr;
    // The line names the format of a *.MSG area; a JAM one stays as always.
    char line_path[CFG_STR + 4];
    make_loc(line_path, n.N_AREAFMT, path);
    if (af_cfg_batch_add(r.new_areas, c.path, section, tag, line_path) != CfgResult::Ok) {
        log_msg2(m_ac_cfgerr, tag);
        return -1;
    }
    int idx = area_push(c, tag, used, n.N_SECT, n.N_AREAFMT);
    if (idx < 0) {
        log_msg2(m_ac_full, tag);
        return -1;
    }
    lb_start();
    lb_add(m_ac_new);
    lb_add(tag);
    lb_add(" -> ");
    lb_add(used);
    lb_flush();
    if (n.N_MOVEBAD && r.badarea[0] != '\0') {
        int moved = af_bad_move(tag, loc, r.badarea, r.jm_now);
        if (moved > 0) {
            lb_start();
            lb_add(m_ac_moved);
            lb_num(static_cast<uint64_t>(moved));
            lb_add(m_ac_moved2);
            lb_add(tag);
            lb_flush();
        }
    }
    return idx;
}

// Writes the configuration lines of the areas created since the last write.
// When that fails the run stops: the packet stays for the next run, which
// passes over what this one filed (the journal is kept) and creates the areas
// again on the same bases.
void write_new_areas(TossRun& r) {
    std::vector<std::string> tags;
    for (const auto& a : r.new_areas.adds) tags.push_back(a.tag);
    if (af_cfg_batch_write(r.new_areas, r.cfg->path) == CfgResult::Ok) return;
    for (const auto& t : tags) log_msg2(m_ac_cfglate, t.c_str());
    r.stopped = r.cfg_failed = true;
}

// The real path of a base's .jhr (a *.MSG area's directory); false when it
// does not exist (yet). Kept for the run once found: the bases of a run are
// the few its configuration names.
bool base_real(TossRun& r, const char* loc, std::string& out) {
    auto it = r.real_paths.find(loc);
    if (it != r.real_paths.end()) {
        out = it->second;
        return true;
    }
    AreaFormat f;
    const char* path = cfg_base_loc(loc, f);
    char file[WP_PATH_MAX], real[WP_PATH_MAX];
    if (f == AreaFormat::Jam)
        mkpath(file, path, ".jhr");
    else
        str_copy(file, path, sizeof file);
    if (pf_real_path(file, real, sizeof real) != 0) return false;
    out = real;
    r.real_paths.emplace(loc, out);
    return true;
}

// The held base of a target, opened and locked when not held yet; nullptr
// when it cannot be (logged). Releases every held base first when the hold
// has lasted HOLD_MSGS appends or HOLD_MS milliseconds.
HeldBase* held_base(TossRun& r, const char* loc) {
    if (!r.held.empty() && (r.held_msgs >= HOLD_MSGS || pf_ticks_ms() - r.held_since >= HOLD_MS))
        toss_release(r);
    HeldBase* found = nullptr;
    for (auto& h : r.held)
        if (h.loc == loc) found = &h;
    // Another spelling of a held base (which exists, being open): a second
    // writer would wait for the first one's lock.
    std::string real;
    if (found == nullptr && !r.held.empty() && base_real(r, loc, real))
        for (auto& h : r.held)
            if (h.real == real) found = &h;
    if (found != nullptr) {
        if (found->lock && found->lock->held()) return found;
        found->lock = std::make_unique<MbLock>(*found->b, JAM_LOCK_TRIES);
        if (found->lock->held()) return found;
        log_msg2(mb_result_text(found->lock->result()), loc);
        return nullptr;
    }
    if (r.held.size() >= HOLD_BASES) r.held.erase(r.held.begin());  // unlocks and closes it
    HeldBase h;
    h.loc = loc;
    MbResult res = ma_open_loc(loc, false, true, h.b);
    if (res == MbResult::Ok) {
        h.lock = std::make_unique<MbLock>(*h.b, JAM_LOCK_TRIES);
        res = h.lock->result();
    }
    if (res != MbResult::Ok) {
        // A JAM writer that failed has said why; other failures are told here.
        if (res != MbResult::Locked || !h.b || h.b->format() != MbFormat::Jam) {
            AreaFormat f;
            log_msg2(mb_result_text(res), cfg_base_loc(loc, f));
        }
        return nullptr;
    }
    if (real.empty()) base_real(r, loc, real);
    h.real = real;
    if (r.held.empty()) {
        r.held_since = pf_ticks_ms();
        r.held_msgs = 0;
    }
    r.held.push_back(std::move(h));
    return &r.held.back();
}

// The message being filed in the neutral form (made once per message).
MbMessage& neutral_of(TossRun& r) {
    if (!r.neutral_ok) {
        const JamMsg jm = r.msg.jam();
        jam_request_message(jm, r.neutral);
        r.neutral.date_received = 0;
        r.neutral_ok = true;
    }
    return r.neutral;
}

// The key of a message without a MSGID for a *.MSG target: of the message as
// that format reads it back (names and subject cut to its fields), with the
// date 0 when the packet's was not understood (as for JAM).
uint64_t fmsg_text_key(TossRun& r, const char* loc) {
    std::string file;
    fmsg_build(neutral_of(r), false, file);
    MbMessage back;
    if (fmsg_parse(reinterpret_cast<const uint8_t*>(file.data()), file.size(), false, true, back) !=
        MbResult::Ok)
        back = neutral_of(r);
    if (!r.msg.date_ok) back.date_written = 0;
    return toss_neutral_key(loc, back);
}

}  // namespace

int64_t toss_verify_neutral(const char* loc, uint32_t count, uint64_t key,
                            const std::set<int64_t>& taken) {
    std::unique_ptr<MsgBase> b;
    if (ma_open_loc(loc, false, false, b) != MbResult::Ok) return -1;
    std::vector<uint32_t> nums;
    if (b->after_mark(count, 64, nums) != MbResult::Ok) return -1;
    for (uint32_t n : nums) {
        if (taken.count(n) != 0) continue;
        MbMessage m;
        if (b->read_header(n, m) != MbResult::Ok || b->read_text(n, m.text) != MbResult::Ok)
            continue;
        const std::string* id = mb_kludge_find(m, "MSGID");
        if (id != nullptr && dupe_msgid_usable(id->data(), id->size())) {
            if (dupe_key(loc, id->data(), id->size()) == key) return n;
            continue;
        }
        if (toss_neutral_key(loc, m) == key) return n;
        m.date_written = 0;  // a date the toss did not understand
        if (toss_neutral_key(loc, m) == key) return n;
    }
    return -1;
}

namespace {

int toss_msg(void* ctx, const Packet& p, const ParsedMsg& pm) {
    TossRun& r = *static_cast<TossRun*>(ctx);
    if (r.stopped || pf_stop_requested()) {
        r.stopped = true;  // the message is left for the next run
        return 1;
    }
    TossMsg& m = r.msg;
    pkt_convert(p.sum, pm, r.jm_now, m);
    r.neutral_ok = false;
    const Config& c = *r.cfg;

    const char* target = nullptr;
    bool bad = false, dupe = false;
    if (m.echo) {
        int a = find_area(c, m.tag);
        if (a < 0) {
            toss_release(r);
            a = autocreate(r, m.tag);
        }
        if (a >= 0 && c.area_formats[a] == AreaFormat::Jam) {
            target = c.area_paths[a];
        } else if (a >= 0) {
            r.target_buf = cfg_format_prefix(c.area_formats[a]);
            r.target_buf += c.area_paths[a];
            target = r.target_buf.c_str();
        } else {
            log_msg2(m_unk_area, m.tag);
            bad = true;
        }
    } else {
        for (int i = 0; i < r.net_count && target == nullptr; ++i)
            if (r.net_tab[i].N_ZONE == m.dest.zone && r.net_tab[i].N_NETMAIL[0] != '\0')
                target = r.net_tab[i].N_NETMAIL;
        if (target == nullptr && r.netmail[0] != '\0') target = r.netmail;
        if (target == nullptr) bad = true;
    }
    if (bad) target = r.badarea;

    // The key is remembered only once the message is filed, so a packet whose
    // filing failed can be tossed again later without its messages turning
    // into dupes. A message without a MSGID is keyed by its contents, so
    // that a packet delivered again does not file it twice (jam/dupe.h).
    const bool by_msgid = m.has_msgid && dupe_msgid_usable(m.msgid.data(), m.msgid.size());
    auto key_for = [&r, &m, by_msgid](const char* base) {
        if (by_msgid) return dupe_key(base, m.msgid.data(), m.msgid.size());
        AreaFormat f;
        cfg_base_loc(base, f);
        if (f != AreaFormat::Jam) return fmsg_text_key(r, base);
        return dupe_text_key(base, m.attr, m.date_ok ? m.date : 0, m.subf.data(), m.subf.size(),
                             m.text.data(), m.text.size());
    };
    const uint64_t key = key_for(target);
    // Filed already by a run that was interrupted before it could move this
    // packet away: passed over, not filed again.
    if (dupe_resume_take(r.dupes, key)) return 0;
    if (dupe_has_key(r.dupes, key)) {
        if (r.drop) {
            ++r.st.st_dropped;
            if (by_msgid) {
                std::string shown = m.msgid.substr(0, MSGID_LOG_MAX);
                log_msg2(m_dupe_drop, shown.c_str());
            } else {
                lb_start();
                lb_add(m_dupe_drop_text);
                lb_add(pm.from);
                lb_add(" -> ");
                lb_add(pm.to);
                lb_flush();
            }
            return 0;
        }
        target = r.dupearea;
        dupe = true;
    }
    // The key of this filing for the resume set when it goes to the dupe area.
    const uint64_t dupe_area_key = dupe ? key_for(target) : 0;
    if (dupe && dupe_resume_take(r.dupes, dupe_area_key)) return 0;
    if (m.echo && (bad || dupe)) {
        char kludge[AREA_KLUDGE_MAX + 1];
        str_copy(kludge, "AREA:", sizeof kludge);
        str_cat(kludge, m.tag, sizeof kludge);
        jam_subf_add(m.subf, SF_KLUDGE, kludge);
        r.neutral_ok = false;
    }
    // Journal, append, key: see jam/dupe.h for why this order files each
    // message exactly once whenever the run dies.
    const bool new_key = !dupe;
    // The base is opened and locked before the intent, which records where
    // it ends (JAM: how many index records it has).
    HeldBase* h = held_base(r, target);
    if (h == nullptr) return 1;
    uint32_t count = 0;
    if (MbResult er = h->b->end_mark(count); er != MbResult::Ok) {
        log_msg2(mb_result_text(er), h->b->path());
        return 1;
    }
    // Without the journal nothing more is filed: the run ends, and the packet
    // stays where it is for the next one (the error is logged).
    if ((new_key && dupe_intent_at(r.dupes, key, target, count) != 0) ||
        (dupe && dupe_intent_at(r.dupes, dupe_area_key, target, count, false) != 0)) {
        r.stopped = r.jnl_failed = true;
        return 1;
    }
    ++r.held_msgs;
    MbResult ar;
    if (h->b->format() == MbFormat::Jam) {
        // JAM takes the request as the packet made it: the subfield block
        // goes to disk as built, with no detour through the neutral form.
        JamMsg jm = m.jam();
        ar = static_cast<JamBase&>(*h->b).append_request(jm);  // logs a failure itself
    } else {
        uint32_t num = 0;
        ar = h->b->append(neutral_of(r), num);
        if (ar != MbResult::Ok) log_msg2(mb_result_text(ar), h->b->path());
    }
    if (ar != MbResult::Ok) {
        if (new_key) dupe_resolve(r.dupes);
        return 1;
    }
    // The key reaches the file with the packet's keys when the packet is
    // done (toss_packet); the journal's intent covers it until then.
    if (new_key) dupe_note(r.dupes, key);

    ++r.st.st_msgs;
    if (m.echo)
        ++r.st.st_echo;
    else
        ++r.st.st_net;
    if (bad) ++r.st.st_tobad;
    if (dupe) ++r.st.st_dupes;
    bool robot = af_is_robot(pm.from, c) || af_is_robot(pm.to, c);
    lb_start();
    lb_add("  ");
    lb_add(m.echo ? m.tag : "NETMAIL");
    lb_add(" | ");
    lb_add(pm.from);
    lb_add(" -> ");
    lb_add(pm.to);
    lb_add(" | ");
    lb_add(robot ? "********" : pm.subject);
    if (bad) lb_add("  [BAD]");
    if (dupe) lb_add("  [DUPE]");
    lb_flush();
    return 0;
}

// ---- Packets and bundles -----------------------------------------------------------

// Sets a packet aside as ".bad": beside itself (loose) or in the inbound
// (extracted from a bundle into the temporary directory).
void bad_packet(TossRun& r, const char* path, const char* name, const char* inbound,
                bool from_bundle, const char* reason) {
    ++r.st.st_badpkts;
    toss_release(r);
    if (dupe_settle(r.dupes) != 0) r.keys_failed = true;
    log_msg2(m_badpkt, path);
    log_msg2(m_reason, reason);
    char dst[WP_PATH_MAX];
    if (from_bundle) {
        char bad_name[WP_PATH_MAX];
        str_copy(bad_name, name, sizeof bad_name);
        str_cat(bad_name, ".bad", sizeof bad_name);
        join(dst, inbound, bad_name);
    } else {
        str_copy(dst, path, sizeof dst);
        str_cat(dst, ".bad", sizeof dst);
    }
    if (!move_unique(path, dst)) log_msg2(m_movefail, path);
}

void toss_packet(TossRun& r, const char* dir, const char* name, const char* inbound,
                 bool from_bundle) {
    char path[WP_PATH_MAX];
    join(path, dir, name);
    std::string data;
    if (f_read_whole(path, data, PKT_MAX_SIZE) != 0) {
        bad_packet(r, path, name, inbound, from_bundle, m_e_read);
        return;
    }
    Packet p;
    p.data = reinterpret_cast<const uint8_t*>(data.data());
    p.size = data.size();
    if (check_header(p) != 0 || scan_packet(p, 0) != 0) {
        bad_packet(r, path, name, inbound, from_bundle, p.reason);
        return;
    }
    char from[FTN_TEXT_MAX], to[FTN_TEXT_MAX];
    ftn_fmt(from, p.sum.orig);
    ftn_fmt(to, p.sum.dest);
    lb_start();
    lb_add(m_pkt);
    lb_add(name);
    lb_add(m_pkt2);
    lb_add(pkt_type_name(p.sum.type));
    lb_add(toss_l_from);
    lb_add(from);
    lb_add(toss_l_to);
    lb_add(to);
    lb_add(m_msgs);
    lb_num(p.sum.count);
    lb_flush();
    if (check_password(p, r.bosses, static_cast<size_t>(r.net_count), r.owners, &r.sender) != 0) {
        bad_packet(r, path, name, inbound, from_bundle, p.reason);
        return;
    }
    const int walked = scan_packet(p, 1, toss_msg, &r);
    // The new areas are in the configuration before the packet leaves the
    // inbound. The bases stay held across the packets of one bundle (within
    // the HOLD_* bounds) and are released before the bundle leaves; a loose
    // packet releases them here.
    if (!from_bundle) toss_release(r);
    write_new_areas(r);
    if (walked != 0 || r.stopped) {
        if (r.stopped) {
            // What was filed keeps its keys; the packet is tossed again next
            // time, its filed messages then being dupes.
            if (dupe_settle(r.dupes) != 0) r.keys_failed = true;
            log_msg2(m_stopped, path);
            return;
        }
        bad_packet(r, path, name, inbound, from_bundle, p.reason);
        return;
    }
    ++r.st.st_pkts;
    // The keys of its messages are on disk before the packet leaves. A copy
    // extracted from a bundle is not the source: the bundle stays in the
    // inbound until all its packets are filed, and the keys are synced once
    // before it leaves (toss_bundle).
    if (from_bundle) {
        if (dupe_save(r.dupes) != 0) r.keys_failed = true;
        pf_delete(path);
    } else {
        if (dupe_settle(r.dupes) != 0) r.keys_failed = true;
        to_tossed(dir, name, m_moved);
    }
}

void clean_tmp(const char* tmp) {
    std::vector<PfDirEntry> list;
    if (pf_list_dir(tmp, list) != 0) return;
    uint64_t removed = 0;
    for (const auto& e : list) {
        if (!e.is_file) continue;
        char p[WP_PATH_MAX];
        join(p, tmp, e.name.c_str());
        if (pf_delete(p) == 0) ++removed;
    }
    if (removed > 0) log_num(m_bnd_rest, removed);
}

void toss_bundle(TossRun& r, const char* dir, const char* name) {
    char path[WP_PATH_MAX];
    join(path, dir, name);
    pf_file h = f_open_read(path);
    if (h == PF_INVALID) {
        log_msg2(m_bnd_read, path);
        ++r.st.st_bnd_skip;
        return;
    }
    int64_t size = f_size(h);
    uint8_t head[16];
    size_t n = size > 0 ? f_read(h, head, sizeof head) : 0;
    f_close(h);
    if (size == 0) {
        log_msg2(m_bnd_empty, name);
        ++r.st.st_bnd_empty;
        to_tossed(dir, name, m_bnd_done);
        return;
    }
    int kind = bundle_kind(head, n);
    if (kind != BK_ZIP) {
        log_msg2(m_bnd_fmt, name);
        const char* k = bundle_kind_name(kind);
        if (k[0] != '\0') log_msg2(m_bnd_fmt2, k);
        ++r.st.st_bnd_skip;
        return;
    }
    log_msg2(m_bnd_open, name);
    char tmp[WP_PATH_MAX];
    join(tmp, dir, INBOUND_TMP);
    pf_mkdir(tmp);
    if (!pf_stat(tmp).is_dir) {
        log_msg2(m_bnd_tmp, tmp);
        ++r.st.st_bnd_bad;
        return;
    }
    clean_tmp(tmp);
    ZipResult z;
    if (zip_extract(path, tmp, z) != 0) {
        log_msg2(m_bnd_bad, path);
        log_msg2(m_reason, z.zx_err);
        if (!z.zx_entry.empty()) log_msg2(m_bnd_entry, z.zx_entry.c_str());
        ++r.st.st_bnd_bad;
        char dst[WP_PATH_MAX];
        str_copy(dst, path, sizeof dst);
        str_cat(dst, ".bad", sizeof dst);
        if (!move_unique(path, dst)) log_msg2(m_movefail, path);
        return;
    }
    lb_start();
    lb_add(m_bnd_n);
    lb_num(static_cast<uint64_t>(z.zx_count));
    if (z.zx_skipped > 0) {
        lb_add(m_bnd_skipn);
        lb_num(static_cast<uint64_t>(z.zx_skipped));
    }
    lb_flush();
    for (const auto& pkt : z.zx_names) {
        if (pf_stop_requested()) r.stopped = true;
        if (r.stopped) break;
        toss_packet(r, tmp, pkt.c_str(), dir, true);
    }
    toss_release(r);
    if (r.stopped) {
        // Unpacked again by the next run; the packets tossed so far are dupes
        // then.
        log_msg2(m_stopped, path);
        return;
    }
    ++r.st.st_bundles;
    if (dupe_settle(r.dupes) != 0) r.keys_failed = true;
    to_tossed(dir, name, m_bnd_done);
}

}  // namespace

bool yesno(const char* text) {
    static const char* const no[] = {"no", "off", "0", "false"};
    for (const char* n : no)
        if (str_icmp(text, n) == 0) return false;
    return true;
}

void dir_part(char* out, const char* path) {
    size_t cut = 0;
    bool found = false;
    for (size_t i = 0; path[i] != '\0'; ++i) {
        if (path[i] == '\\' || path[i] == '/') {
            cut = i;
            found = true;
        } else if (path[i] == ':') {
            cut = i + 1;
            found = true;
        }
    }
    size_t n = found ? cut : 0;
    size_t i = 0;
    for (; i < n && i + 1 < CFG_STR; ++i) out[i] = path[i];
    out[i] = '\0';
}

int is_bundle(const char* name) {
    size_t n = str_len(name);
    if (n < 5 || name[n - 4] != '.') return 0;
    char day[3] = {name[n - 3], name[n - 2], '\0'};
    for (char& ch : day)
        if (ch >= 'A' && ch <= 'Z') ch = static_cast<char>(ch + 32);
    static const char* const days[] = {"su", "mo", "tu", "we", "th", "fr", "sa"};
    bool ok = false;
    for (const char* d : days) ok = ok || (day[0] == d[0] && day[1] == d[1]);
    char last = name[n - 1];
    bool alnum = (last >= '0' && last <= '9') || (last >= 'a' && last <= 'z') ||
                 (last >= 'A' && last <= 'Z');
    return ok && alnum ? 1 : 0;
}

int move_unique(const char* source, const char* destination, std::string* used) {
    if (pf_rename(source, destination, false) == 0) {
        if (used) *used = destination;
        return 1;
    }
    for (int i = 1; i <= 999; ++i) {
        std::string d = std::string(destination) + "." + std::to_string(i);
        if (pf_rename(source, d.c_str(), false) == 0) {
            if (used) *used = d;
            return 1;
        }
    }
    return 0;
}

int toss_setup(TossRun& r) {
    crc_init();
    r.jm_now = static_cast<uint32_t>(unix_now_local());
    Config& c = *r.cfg;
    int count = c.boss_count == 0 ? 1 : c.boss_count;
    r.net_count = 0;
    for (int i = 0; i < count && i < MAX_NETS; ++i) {
        int sect = c.boss_count == 0 ? -1 : i;
        const BossCfg b = cfg_boss(c, sect);
        TossNet& n = r.net_tab[r.net_count++];
        n = TossNet{};
        ftn_addr own;
        if (parse_addr(b.get(F_ADDRESS), own)) n.N_ZONE = own.zone;
        if (!parse_addr(b.get(F_BOSSADDR), n.N_BOSS)) n.N_BOSS = ftn_addr{};
        make_loc(n.N_NETMAIL, b.netmail_fmt, b.get(F_NETMAIL));
        if (!cfg_area_format(b.get(F_AREAFORMAT), n.N_AREAFMT)) n.N_AREAFMT = AreaFormat::Jam;
        str_copy(n.N_PKTPWD, b.get(F_PKTPWD), CFG_STR);
        str_copy(n.N_INBOUND, b.get(F_INBOUND), CFG_STR);
        str_copy(n.N_NAME, b.name, BNAME_MAX);
        n.N_AUTOC = yesno(b.get(F_AUTOCREATE));
        n.N_MOVEBAD = yesno(b.get(F_MOVEBAD));
        n.N_SECT = sect;
        // As written: the new areas' configuration lines keep the user's form.
        // (The netmail's or bad area's format prefix is not part of it.)
        const char* areadir = cfg_raw(c, sect, F_AREADIR);
        AreaFormat nf;
        const char* netmail = cfg_base_loc(cfg_raw(c, sect, F_NETMAIL), nf);
        if (areadir[0] != '\0')
            str_copy(n.N_AREADIR, areadir, CFG_STR);
        else
            dir_part(n.N_AREADIR,
                     netmail[0] != '\0' ? netmail : cfg_base_loc(cfg_raw(c, sect, F_BADAREA), nf));
        r.bosses[r.net_count - 1].boss = n.N_BOSS;
        r.bosses[r.net_count - 1].pktpwd = n.N_PKTPWD;
    }
    // Global settings: the global part with no boss selected (paths
    // resolved, the bases' format prefixes taken off).
    const BossCfg g = cfg_boss(c, -1);
    make_loc(r.netmail, g.netmail_fmt, g.get(F_NETMAIL));
    make_loc(r.badarea, g.bad_fmt, g.get(F_BADAREA));
    make_loc(r.dupearea, g.dupe_fmt, g.get(F_DUPEAREA));
    const char* dupedb = c.gdef.f[F_DUPEDB][0] != '\0' ? c.gdef.f[F_DUPEDB] : "wptoss.dup";
    if (!cfg_resolve(c.dir, dupedb, r.dupedb, CFG_STR)) {
        log_msg2(m_pathlong, dupedb);
        return 1;
    }
    r.drop = str_icmp(c.gdef.f[F_DUPEMODE], "drop") == 0;
    if (r.badarea[0] == '\0') {
        log_msg(m_needbad);
        return 1;
    }
    if (!r.drop && r.dupearea[0] == '\0') {
        log_msg(m_needdupe);
        return 1;
    }
    lb_start();
    lb_add(m_setup1);
    lb_num(static_cast<uint64_t>(r.net_count));
    lb_add(m_setup2);
    lb_num(static_cast<uint64_t>(c.area_count));
    lb_flush();
    r.dupes.verify_other = toss_verify_neutral;
    if (dupe_load(r.dupes, r.dupedb) != 0) {
        log_msg(toss_m_nomem);
        return 1;
    }
    return 0;
}

// Keeps the name dir/sub free for the toss's own directory: an entry of that
// name that is no directory (a file a boss sent under that name) is renamed
// aside to sub.bad (sub.bad.1, ...), so that it cannot block the toss. false
// after logging when it cannot be moved.
bool clear_own_name(const char* dir, const char* sub) {
    char path[WP_PATH_MAX];
    join(path, dir, sub);
    PfStat st = pf_stat(path);
    if (!st.exists || st.is_dir) return true;
    char bad[WP_PATH_MAX];
    str_copy(bad, path, sizeof bad);
    str_cat(bad, ".bad", sizeof bad);
    std::string used;
    if (!move_unique(path, bad, &used)) {
        log_msg2(m_own_fail, path);
        return false;
    }
    log_msg2(m_own_moved, used.c_str());
    return true;
}

void toss_dir(TossRun& r, const char* dir) {
    log_msg2(m_dir, dir);
    std::vector<PfDirEntry> list;
    if (pf_list_dir(dir, list) != 0) {
        log_msg2(m_nodir, dir);
        return;
    }
    // The bosses whose sessions deliver into this directory: every packet
    // here is checked against their packet passwords.
    r.owners = 0;
    for (int i = 0; i < r.net_count; ++i)
        if (std::strcmp(r.net_tab[i].N_INBOUND, dir) == 0) r.owners |= 1u << i;
    // Without "tossed" and "wptmp" nothing could leave the inbound, and every
    // run would file the same packets again.
    if (!clear_own_name(dir, INBOUND_TOSSED) || !clear_own_name(dir, INBOUND_TMP)) {
        r.dir_error = true;
        return;
    }
    // Names are collected once: files arriving meanwhile wait for the next run.
    // Only packets and bundles take one of the places, so that other files
    // lying in the inbound (received files, ".bad" leftovers) can never keep
    // the mail out for good.
    std::vector<std::string> names;
    for (const auto& e : list) {
        if (!e.is_file || e.name.size() > NAME_MAX_LEN) continue;
        if (inbound_kind(e.name) == IK_NONE) continue;
        if (names.size() >= static_cast<size_t>(MAX_NAMES)) break;
        names.push_back(e.name);
    }
    for (const auto& name : names) {
        if (pf_stop_requested()) r.stopped = true;
        if (r.stopped) break;
        if (inbound_kind(name) == IK_PACKET)
            toss_packet(r, dir, name.c_str(), dir, false);
        else
            toss_bundle(r, dir, name.c_str());
    }
}

void toss_release(TossRun& r) {
    r.held.clear();  // each writer closes and unlocks its base
    r.held_msgs = 0;
}

ExitCode toss_all(TossRun& r) {
    for (int i = 0; i < r.net_count; ++i) {
        const char* in = r.net_tab[i].N_INBOUND;
        if (in[0] == '\0') continue;
        bool seen = false;
        // File names here tell letter case apart: "In" and "in" are two
        // directories, and each must be tossed.
        for (int k = 0; k < i && !seen; ++k) seen = std::strcmp(r.net_tab[k].N_INBOUND, in) == 0;
        if (!seen && !r.stopped) toss_dir(r, in);
    }
    toss_release(r);
    write_new_areas(r);
    if (r.dupes.resume_skipped > 0) log_num(m_resumed, r.dupes.resume_skipped);
    // A stopped run keeps the journal: the next one passes over what this one
    // filed of the packets it left.
    if (r.stopped ? dupe_settle(r.dupes) != 0 : dupe_finish(r.dupes) != 0) r.keys_failed = true;
    if (r.stopped) return r.jnl_failed || r.cfg_failed || r.keys_failed ? EXIT_PROTO : EXIT_STOPPED;
    return (r.st.st_badpkts > 0 || r.st.st_bnd_bad > 0 || r.dir_error || r.keys_failed) ? EXIT_PROTO
                                                                                        : EXIT_OK;
}

uint64_t toss_neutral_key(const char* loc, const MbMessage& m) {
    // The contents as a JAM request gives them, so that the key leaves out
    // what JAM's leaves out (SEEN-BY, PATH, Via, the AREA marker, the
    // packing address of echomail).
    std::string subf;
    JamMsg jm;
    jam_request(m, 0, subf, jm);
    return dupe_text_key(loc, jm.jm_attr, m.date_written, subf.data(), subf.size(), m.text.data(),
                         m.text.size());
}

void toss_report(const TossRun& r) {
    const TossStats& s = r.st;
    lb_start();
    lb_add(toss_m_sum1);
    lb_num(s.st_pkts);
    lb_add(toss_m_sum2);
    lb_num(s.st_badpkts);
    lb_add(toss_m_sum3);
    lb_num(s.st_msgs);
    lb_add(toss_m_sum4);
    lb_num(s.st_echo);
    lb_add(toss_m_sum5);
    lb_num(s.st_net);
    lb_add(m_sum6);
    lb_num(s.st_tobad);
    lb_add(m_sum7);
    lb_num(s.st_dupes);
    lb_add(m_sum8);
    lb_num(s.st_dropped);
    lb_add(m_sum9);
    lb_num(s.st_bundles);
    lb_add(m_sum10);
    lb_num(s.st_bnd_bad);
    lb_add(m_sum11);
    lb_num(s.st_bnd_skip);
    lb_add(m_sum12);
    lb_num(s.st_bnd_empty);
    lb_flush();
}
