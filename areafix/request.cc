#include "areafix/request.h"

#include "areafix/messages.h"
#include "config/msgserial.h"
#include "core/exitcode.h"
#include "core/fileio.h"
#include "core/log.h"
#include "jam/crc32.h"
#include "jam/jam.h"
#include "jam/jamlock.h"
#include "outbound/bso.h"

void addr_cut(char* out, const char* addr) {
    size_t n = 0;
    while (addr[n] != '\0' && addr[n] != '@' && addr[n] != ' ' && n < 62) {
        out[n] = addr[n];
        ++n;
    }
    out[n] = '\0';
}

std::string af_text(const char* cmds) {
    std::string t;
    for (const char* p = cmds; *p != '\0' && t.size() < TXT_MAX; ++p) {
        if (*p == '\n') {
            if (!t.empty() && t.back() == '\r' && p > cmds && p[-1] == '\r') continue;
            t += '\r';
        } else {
            t += *p;
        }
    }
    while (!t.empty() && (t.back() == '\r' || t.back() == ' ')) t.pop_back();
    if (!t.empty()) t += '\r';
    return t;
}

std::string af_tzutc(int offset_minutes) {
    int m = offset_minutes < 0 ? -offset_minutes : offset_minutes;
    char buf[8];
    snprintf(buf, sizeof buf, "%s%02d%02d", offset_minutes < 0 ? "-" : "", m / 60 % 100, m % 60);
    return buf;
}

AfReqResult af_request(AfWriter& w, const Config& cfg, int boss, const char* cmds, uint32_t now) {
    const BossCfg c = cfg_boss(cfg, boss);
    const char* netmail = c.get(F_NETMAIL);
    if (netmail[0] == '\0') return AfReqResult::NoNetmail;
    uint32_t serial = 0;
    if (msgid_serial_next(cfg.path, now, serial) != SerialResult::Ok) return AfReqResult::NoSerial;

    char orig[63], dest[63];
    addr_cut(orig, c.get(F_ADDRESS));
    addr_cut(dest, c.get(F_BOSSADDR));
    char msgid[120];
    size_t n = 0;
    for (const char* a = c.get(F_ADDRESS); *a != '\0' && *a != ' ' && n < 99; ++a) msgid[n++] = *a;
    msgid[n] = '\0';
    char hex[9];
    hexw(hex, serial, 8);
    str_cat(msgid, " ", sizeof msgid);
    str_cat(msgid, hex, sizeof msgid);

    std::string sf;
    jam_subf_add(sf, SF_OADDR, orig);
    jam_subf_add(sf, SF_DADDR, dest);
    jam_subf_add(sf, SF_SENDER, c.get(F_SYSOP));
    jam_subf_add(sf, SF_RECEIVER, c.get(F_AFNAME));
    jam_subf_add(sf, SF_SUBJECT, c.get(F_AFPWD));
    jam_subf_add(sf, SF_MSGID, msgid);
    jam_subf_add(sf, SF_PID, "wrenpost 0.9");
    jam_subf_add(sf, SF_TZUTC, af_tzutc(pf_utc_offset_minutes()).c_str());
    jam_subf_add(sf, SF_KLUDGE, "CHRS: CP437 2");
    std::string text = af_text(cmds);

    JamMsg m;
    m.jm_subf = sf.data();
    m.jm_subflen = static_cast<uint32_t>(sf.size());
    m.jm_text = text.data();
    m.jm_textlen = static_cast<uint32_t>(text.size());
    m.jm_attr = JA_LOCAL | JA_PRIVATE | JA_NET;
    m.jm_date = now;
    m.jm_now = now;
    m.jm_msgidcrc = jam_crc(msgid);
    m.jm_replycrc = JAM_NO_CRC;
    m.jm_replyto = 0;
    m.jm_usercrc = jam_crc(c.get(F_AFNAME));
    if (jam_append(netmail, m) != 0) return AfReqResult::Failed;
    w.msgnum = m.jm_msgnum;
    return AfReqResult::Written;
}

ExitCode af_cli_request(int boss, const char* arg) {
    static AfWriter writer;
    crc_init();
    char cmds[WP_PATH_MAX];
    str_copy(cmds, arg, sizeof cmds);
    bool empty = true;
    for (char* p = cmds; *p != '\0'; ++p) {
        if (*p == ';') *p = '\n';
        if (*p != ' ' && *p != '\t' && *p != '\n') empty = false;
    }
    // Only separators: nothing to ask for either.
    if (empty) {
        log_msg(m_af_nocmd);
        return EXIT_CONFIG;
    }
    lock_set_cfg(g_jamlock, g_cfg.path);
    if (lock_acquire(g_jamlock, g_jamlock.wait_ms, "wrenpost") != 0) {
        log_msg2(m_af_locked, g_jamlock.lock_path);
        return EXIT_LOCK;
    }
    AfReqResult r = af_request(writer, g_cfg, boss, cmds, static_cast<uint32_t>(unix_now_local()));
    lock_release(g_jamlock);
    const BossCfg b = cfg_boss(g_cfg, boss);
    if (r == AfReqResult::NoNetmail) {
        log_msg2(m_af_nonet, b.name);
        return EXIT_CONFIG;
    }
    if (r == AfReqResult::Failed) {
        log_msg2(m_af_wfail, b.get(F_NETMAIL));
        return EXIT_PROTO;
    }
    if (r == AfReqResult::NoSerial) {
        log_msg2(m_af_serial, (serial_file_base(g_cfg.path) + ".dat").c_str());
        return EXIT_PROTO;
    }
    lb_start();
    lb_add(m_af_written);
    lb_num(writer.msgnum);
    lb_add(m_af_written2);
    lb_add(b.get(F_AFNAME));
    lb_add(" @ ");
    lb_add(b.get(F_BOSSADDR));
    lb_flush();
    return EXIT_OK;
}
