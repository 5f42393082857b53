#include "editor/mailcmd.h"

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "areafix/messages.h"
#include "config/msgserial.h"
#include "config/robot.h"
#include "core/charset.h"
#include "core/exitcode.h"
#include "core/ftnaddr.h"
#include "core/log.h"
#include "core/strutil.h"
#include "editor/areas.h"
#include "editor/compose.h"
#include "editor/messages.h"
#include "editor/reader.h"
#include "jam/crc32.h"
#include "jam/jam_format.h"
#include "jam/jamlock.h"
#include "msgarea/msgarea.h"

namespace {

// Bytes of UTF-8 a text of CP_BODY_MAX UTF-16 units can take at most (three
// per unit; a four-byte character is two units). One byte more is read, so
// that a longer text, an endless pipe or a device is refused, never cut.
constexpr size_t MC_TEXT_MAX = 3 * CP_BODY_MAX;

// The tables of the configuration, built once per command.
struct McState {
    EdBase eb;
    EdNets nets;
};

std::unique_ptr<McState> load_tables() {
    auto st = std::make_unique<McState>();
    build_tables(g_cfg, st->eb, st->nets);
    return st;
}

// Takes the JAM lock file into `hold` (released when it ends); false, logged,
// when it stays busy.
bool take_lock(std::optional<JamLockHold>& hold) {
    lock_set_cfg(g_jamlock, g_cfg.path);
    if (hold.emplace(g_jamlock, g_jamlock.wait_ms, "wrenpost")) return true;
    log_msg2(m_af_locked, g_jamlock.lock_path);
    return false;
}

void out(const std::string& s) {
    pf_write_utf8_out(s.data(), s.size());
}

// Everything printed from a message goes through cs_to_utf8_shown or
// utf16_to_utf8_shown: no control of the message reaches the terminal or
// script, and a field (tabs and line ends as blanks) keeps its line and the
// list its columns.

std::string subfield_utf8(const EdBase& eb, uint32_t entry, uint16_t id, int cs) {
    uint32_t len = 0;
    const uint8_t* p = ej_find_sf(eb, entry, id, len);
    if (p == nullptr) return "";
    const char* c = reinterpret_cast<const char*>(p);
    uint32_t n = 0;
    while (n < len && c[n] != '\0') ++n;
    return cs_to_utf8_shown(cs, c, n, true);
}

// One line of the text (field false) or a kludge row (field true) in the
// message's set, without its line end.
void text_line(std::string& o, int cs, const char* p, size_t n, bool field) {
    o += cs_to_utf8_shown(cs, p, n, field);
    o += '\n';
}

AreaFormat area_format(const EdBase& eb, int area);

// The lines of a message's text: lines end at CR (an LF right after it
// belongs to it) or a lone LF; 0x1A ends the text. A ^A line is a kludge row
// ("@" before it), shown only with kludges.
void text_rows(std::string& o, int cs, const char* text, size_t len, bool kludges) {
    for (size_t i = 0; i < len;) {
        size_t e = i;
        while (e < len && text[e] != '\r' && text[e] != '\n' && text[e] != 0x1A) ++e;
        if (e == i && e < len && text[e] == 0x1A) break;
        if (e > i && text[i] == '\x01') {
            if (kludges) {
                o += '@';
                text_line(o, cs, text + i + 1, e - i - 1, true);
            }
        } else {
            text_line(o, cs, text + i, e - i, false);
        }
        if (e >= len || text[e] == 0x1A) break;
        i = e + 1;
        if (text[e] == '\r' && i < len && text[i] == '\n') ++i;
    }
}

// The body of a file or of standard input, at most MC_TEXT_MAX + 1 bytes
// (more is not read: the caller refuses the text); false when unreadable.
bool read_body(const char* file, std::string& body) {
    bool in = file[0] == '\0';
    // A pipe is a text like any other here (process substitution).
    pf_file h = in ? pf_console_in() : pf_open_stream(file);
    if (h == PF_INVALID) return false;
    char buf[65536];
    bool ok = true;
    while (body.size() <= MC_TEXT_MAX) {
        size_t want = MC_TEXT_MAX + 1 - body.size();
        int64_t n = pf_read(h, buf, want < sizeof buf ? want : sizeof buf);
        if (n < 0) ok = false;
        if (n <= 0) break;
        body.append(buf, static_cast<size_t>(n));
    }
    if (!in) pf_close(h);
    return ok;
}

// Nothing but NULs, blanks, tabs and line ends: no text to send.
bool empty_text(const std::string& s) {
    for (char c : s)
        if (c != '\0' && c != ' ' && c != '\t' && c != '\r' && c != '\n') return false;
    return true;
}

ExitCode post_common(int mode, const char* where, const char* to, const char* subject,
                     const char* file) {
    std::string body;
    const char* source = file[0] ? file : m_mc_stdin;
    if (!read_body(file, body)) {
        log_msg2(m_mc_nofile, file);
        return EXIT_CONFIG;
    }
    if (body.size() > MC_TEXT_MAX) {
        log_msg2(m_mc_long, source);
        return EXIT_CONFIG;
    }
    if (empty_text(body)) {
        log_msg2(m_mc_empty, source);
        return EXIT_CONFIG;
    }
    if (!utf8_valid(body.data(), body.size())) {
        log_msg2(m_mc_utf8, source);
        return EXIT_CONFIG;
    }
    if (!utf8_valid(to, str_len(to)) || !utf8_valid(subject, str_len(subject))) {
        log_msg2(m_mc_utf8, m_mc_args);
        return EXIT_CONFIG;
    }
    crc_init();
    auto st = load_tables();
    ComposeInput in;
    in.mode = mode;
    in.to = utf8_to_utf16(to, str_len(to));
    in.subject = utf8_to_utf16(subject, str_len(subject));
    in.body = utf8_to_utf16(body.data(), body.size());
    if (mode == CM_ECHO) {
        in.area = mc_find_area(st->eb, where, false);
        if (in.area < 0) {
            log_msg2(m_mc_noarea, where);
            return EXIT_CONFIG;
        }
    } else {
        in.address = utf8_to_utf16(where, str_len(where));
    }
    // cp_save refuses by the compose window's rules before it takes the lock.
    lock_set_cfg(g_jamlock, g_cfg.path);
    uint32_t num = 0;
    int area = -1;
    const EdBase& eb = st->eb;
    int r = cp_save(st->eb, st->nets, g_jamlock, in, num, area,
                    [&eb](int a) { return area_format(eb, a); });
    if (r == CP_SAVED) {
        lb_start();
        lb_add(m_mc_saved);
        lb_num(num);
        lb_add(m_mc_saved2);
        lb_add(st->eb.ed_areas[area].AR_TAG);
        lb_add(m_mc_saved3);
        lb_flush();
        return EXIT_OK;
    }
    switch (r) {
        case CP_E_NOTO:
            log_msg(m_mc_noto);
            return EXIT_CONFIG;
        case CP_E_ADDR:
            log_msg2(m_mc_addr, where);
            return EXIT_CONFIG;
        case CP_E_ZONE:
            log_msg2(m_mc_zone, where);
            return EXIT_CONFIG;
        case CP_E_NOECHO:
            log_msg2(m_mc_noecho, where);
            return EXIT_CONFIG;
        case CP_E_LOCKED:
            log_msg2(m_af_locked, g_jamlock.lock_path);
            return EXIT_LOCK;
        case CP_E_LONG:
            log_msg2(m_mc_long, source);
            return EXIT_CONFIG;
        case CP_E_SERIAL:
            log_msg2(m_mc_serial, (serial_file_base(g_cfg.path) + ".dat").c_str());
            return EXIT_PROTO;
        default:
            log_msg2(m_mc_write, where);
            return EXIT_PROTO;
    }
}

// Finds the area of a read or list command and takes the lock, which `hold`
// keeps, and loads a JAM area; an exit code when that fails, EXIT_OK
// otherwise.
ExitCode open_area(McState& st, const char* tag, bool base, int& area,
                   std::optional<JamLockHold>& hold) {
    area = mc_find_area(st.eb, tag, base);
    if (area < 0) {
        log_msg2(m_mc_noarea, tag);
        return EXIT_CONFIG;
    }
    if (!take_lock(hold)) return EXIT_LOCK;
    // A *.MSG area is read through the message-base interface instead.
    if (area_format(st.eb, area) == AreaFormat::Msg) return EXIT_OK;
    if (ej_load_area(st.eb, area) != 0) {
        hold.reset();
        log_msg2(m_mc_damaged, st.eb.ed_areas[area].AR_PATH);
        return EXIT_PROTO;
    }
    return EXIT_OK;
}

// The format of an area's base as the configuration names it: the echo
// area's line, the netmail base of its network, or the bad or dupe base.
AreaFormat area_format(const EdBase& eb, int area) {
    const EdArea& a = eb.ed_areas[area];
    const Config& c = g_cfg;
    if (a.AR_TYPE == AT_ECHO) {
        for (int i = 0; i < c.area_count; ++i)
            if (str_icmp(c.area_tags[i], a.AR_TAG) == 0) return c.area_formats[i];
        return AreaFormat::Jam;
    }
    if (a.AR_TYPE == AT_NET)
        return cfg_boss(g_cfg, cfg_boss_count(c) > 0 ? static_cast<int>(a.AR_NET) : -1).netmail_fmt;
    const BossCfg g = cfg_boss(c, -1);
    return str_icmp(a.AR_TAG, "BAD") == 0 ? g.bad_fmt : g.dupe_fmt;
}

// A message of a *.MSG area that could not be read: the result's text with
// the area's path and the message's number.
void log_bad_message(MbResult r, const MsgBase& mb, uint32_t num) {
    log_msg2(mb_result_text(r), (std::string(mb.path()) + " #" + std::to_string(num)).c_str());
}

// Opens a *.MSG area (the caller holds the JAM lock file) and lists its
// message numbers; an exit code when that fails, EXIT_OK otherwise.
ExitCode open_fmsg(const EdBase& eb, int area, std::unique_ptr<MsgBase>& mb,
                   std::vector<uint32_t>& nums) {
    const EdArea& a = eb.ed_areas[area];
    MbResult r = ma_open(AreaFormat::Msg, a.AR_PATH, a.AR_TYPE == AT_NET, false, mb);
    if (r == MbResult::Ok) r = mb->numbers(nums);
    if (r != MbResult::Ok) {
        log_msg2(mb_result_text(r), a.AR_PATH);
        return EXIT_PROTO;
    }
    return EXIT_OK;
}

std::string addr_text(const ftn_addr& a) {
    char t[FTN_TEXT_MAX];
    return std::string(t, ftn_fmt(t, a));
}

// The set a *.MSG message is decoded in: its CHRS kludge's, else what its
// text (or, for a list row, its names and subject) looks like.
int fmsg_charset(const MbMessage& m, const std::string& probe) {
    return m.charset >= 0 ? m.charset : cs_detect(probe.data(), probe.size());
}

// An AreaFix request's subject is its password: the list and read show it masked.
bool robot_traffic(const MbMessage& m) {
    return !m.subject.empty() && (af_is_robot(m.from.c_str()) || af_is_robot(m.to.c_str()));
}

// The list line of a *.MSG message, as mc_list_line makes it for JAM.
std::string fmsg_list_line(const MbMessage& m) {
    int cs = fmsg_charset(m, m.from + ' ' + m.to + ' ' + m.subject + ' ');
    auto field = [cs](const std::string& s) {
        return cs_to_utf8_shown(cs, s.data(), s.size(), true);
    };
    std::string o = std::to_string(m.number);
    o += '\t' + mc_date(m.date_written) + '\t' + field(m.from) + '\t' + field(m.to) + '\t' +
         (robot_traffic(m) ? std::string("********") : field(m.subject)) + '\n';
    return o;
}

// The text of a *.MSG message, as mc_message_text makes it for JAM.
std::string fmsg_message_text(const MbMessage& m, bool kludges) {
    int cs = fmsg_charset(m, m.text);
    auto field = [cs](const std::string& s) {
        return cs_to_utf8_shown(cs, s.data(), s.size(), true);
    };
    bool net = m.attrs.has(MbAttr::Net);
    std::string o = "From: " + field(m.from);
    if (m.orig.zone != 0 || m.orig.net != 0 || m.orig.node != 0)
        o += " <" + addr_text(m.orig) + ">";
    o += "\nTo: " + field(m.to);
    if (net && (m.dest.zone != 0 || m.dest.net != 0 || m.dest.node != 0))
        o += " <" + addr_text(m.dest) + ">";
    o += "\nSubject: " + (robot_traffic(m) ? std::string("********") : field(m.subject));
    o += "\nDate: " + mc_date(m.date_written) + "\n\n";
    auto row = [&o, cs](const char* prefix, const std::string& line) {
        o += prefix;
        text_line(o, cs, line.data(), line.size(), true);
    };
    auto after = [](const MbKludge& k) { return k.name == "SEEN-BY" || k.name == "PATH"; };
    if (kludges)
        for (const MbKludge& k : m.kludges)
            if (!after(k)) row("@", mb_kludge_line(k));
    text_rows(o, cs, m.text.data(), m.text.size(), kludges);
    if (kludges) {
        for (const MbKludge& k : m.kludges)
            if (k.name == "SEEN-BY") row("SEEN-BY: ", k.value);
        for (const MbKludge& k : m.kludges)
            if (k.name == "PATH") row("@PATH: ", k.value);
    }
    return o;
}

// The list of a *.MSG area into o.
ExitCode fmsg_list(McState& st, int area, std::string& o) {
    std::unique_ptr<MsgBase> mb;
    std::vector<uint32_t> nums;
    ExitCode r = open_fmsg(st.eb, area, mb, nums);
    if (r != EXIT_OK) return r;
    for (uint32_t n : nums) {
        MbMessage m;
        MbResult mr = mb->read_header(n, m);
        if (mr == MbResult::Missing) continue;  // removed since the listing
        if (mr != MbResult::Ok) {
            // Listed past: the other messages still show.
            log_bad_message(mr, *mb, n);
            r = EXIT_PROTO;
            continue;
        }
        o += fmsg_list_line(m);
    }
    return r;
}

// Message num of a *.MSG area into o.
ExitCode fmsg_read(McState& st, int area, uint32_t num, const char* number, bool kludges,
                   std::string& o) {
    std::unique_ptr<MsgBase> mb;
    std::vector<uint32_t> nums;
    ExitCode r = open_fmsg(st.eb, area, mb, nums);
    if (r != EXIT_OK) return r;
    MbMessage m;
    MbResult mr = mb->read_header(num, m);
    if (mr == MbResult::Ok) mr = mb->read_text(num, m.text);
    if (mr == MbResult::Missing) {
        log_msg2(m_mc_nomsg, number);
        return EXIT_CONFIG;
    }
    if (mr != MbResult::Ok) {
        log_bad_message(mr, *mb, num);
        return EXIT_PROTO;
    }
    o = fmsg_message_text(m, kludges);
    return EXIT_OK;
}

}  // namespace

int mc_find_area(const EdBase& eb, const char* name, bool base) {
    if (!base)
        for (int i = 0; i < eb.ed_nareas; ++i)
            if (eb.ed_areas[i].AR_TYPE == AT_ECHO && str_icmp(name, eb.ed_areas[i].AR_TAG) == 0)
                return i;
    for (int i = 0; i < eb.ed_nareas; ++i) {
        const EdArea& a = eb.ed_areas[i];
        if (a.AR_TYPE == AT_ECHO) continue;
        if (str_icmp(name, "NETMAIL") == 0 ? a.AR_TYPE == AT_NET : str_icmp(name, a.AR_TAG) == 0)
            return i;
    }
    return -1;
}

std::string mc_date(uint32_t seconds) {
    char16_t w[20];
    ej_fmt_date(seconds, w);  // "DD.MM.YYYY HH:MM"
    std::string d(w, w + 16);
    return d.substr(6, 4) + "-" + d.substr(3, 2) + "-" + d.substr(0, 2) + d.substr(10);
}

std::string mc_list_line(const EdBase& eb, uint32_t entry) {
    const EdMsg& m = eb.ej_msgs[entry];
    const EdRow& t = ej_row(eb, entry);
    auto field = [](const char16_t* w) { return utf16_to_utf8_shown(w, true); };
    std::string o = std::to_string(m.MS_NUM);
    o += '\t' + mc_date(m.MS_DATE) + '\t' + field(t.MS_FROM) + '\t' + field(t.MS_TO) + '\t' +
         field(t.MS_SUBJ) + '\n';
    return o;
}

std::string mc_message_text(EdBase& eb, uint32_t entry, bool kludges) {
    const EdMsg m = eb.ej_msgs[entry];
    uint32_t len = 0;
    const char* text = ej_get_text(eb, entry, len);
    if (text == nullptr) len = 0;
    int cs = ej_charset(eb, entry, text, len);
    bool net = m.MS_ATTR & JA_NET;

    std::string o = "From: " + subfield_utf8(eb, entry, SF_SENDER, cs);
    std::string oa = subfield_utf8(eb, entry, SF_OADDR, cs);
    if (!oa.empty()) o += " <" + oa + ">";
    o += "\nTo: " + subfield_utf8(eb, entry, SF_RECEIVER, cs);
    std::string da = net ? subfield_utf8(eb, entry, SF_DADDR, cs) : "";
    if (!da.empty()) o += " <" + da + ">";
    // An AreaFix request's subject is its password: shown as the list shows it.
    bool masked = std::u16string(ej_row(eb, entry).MS_SUBJ) == u"********";
    o += "\nSubject: " +
         (masked ? std::string("********") : subfield_utf8(eb, entry, SF_SUBJECT, cs));
    o += "\nDate: " + mc_date(m.MS_DATE) + "\n\n";

    uint32_t sflen = 0;
    const uint8_t* sf = ej_sf_block(eb, entry, sflen);
    auto kludge_row = [&o, cs](const char* prefix, const uint8_t* data, uint32_t n) {
        o += prefix;
        text_line(o, cs, reinterpret_cast<const char*>(data), n, true);
    };
    if (kludges) rd_kludge_rows(sf, sflen, false, kludge_row);
    text_rows(o, cs, text, len, kludges);
    if (kludges) rd_kludge_rows(sf, sflen, true, kludge_row);
    return o;
}

ExitCode mc_list(const char* tag, bool base) {
    auto st = load_tables();
    int area;
    std::optional<JamLockHold> hold;
    ExitCode r = open_area(*st, tag, base, area, hold);
    if (r != EXIT_OK) return r;
    std::string o;
    if (area_format(st->eb, area) == AreaFormat::Msg)
        r = fmsg_list(*st, area, o);
    else
        for (uint32_t i = 0; i < st->eb.ej_count; ++i) o += mc_list_line(st->eb, i);
    hold.reset();
    out(o);
    return r;
}

ExitCode mc_read(const char* tag, const char* number, bool kludges, bool base) {
    const char* end = nullptr;
    uint64_t n = parse_u64(number, &end);
    if (end == number || *end != '\0' || n == 0 || n > UINT32_MAX) {
        log_msg2(m_mc_nomsg, number);
        return EXIT_CONFIG;
    }
    auto st = load_tables();
    int area;
    std::optional<JamLockHold> hold;
    ExitCode r = open_area(*st, tag, base, area, hold);
    if (r != EXIT_OK) return r;
    std::string o;
    if (area_format(st->eb, area) == AreaFormat::Msg) {
        r = fmsg_read(*st, area, static_cast<uint32_t>(n), number, kludges, o);
        hold.reset();
        if (r != EXIT_OK) return r;
    }
    for (uint32_t i = 0; i < st->eb.ej_count && o.empty(); ++i)
        if (st->eb.ej_msgs[i].MS_NUM == n) o = mc_message_text(st->eb, i, kludges);
    hold.reset();
    if (o.empty()) {
        log_msg2(m_mc_nomsg, number);
        return EXIT_CONFIG;
    }
    out(o);
    return EXIT_OK;
}

ExitCode mc_post(const char* tag, const char* to, const char* subject, const char* file) {
    return post_common(CM_ECHO, tag, to, subject, file);
}

ExitCode mc_netmail(const char* address, const char* to, const char* subject, const char* file) {
    return post_common(CM_NETMAIL, address, to, subject, file);
}
