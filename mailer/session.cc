#include "mailer/session.h"

#include "core/exitcode.h"
#include "core/log.h"
#include "core/strutil.h"
#include "mailer/md5.h"
#include "mailer/messages.h"
#include "mailer/xfer.h"

namespace {

const char* arg_of(Session& s) {
    return reinterpret_cast<const char*>(s.fr.rx_frame + 1);
}

unsigned send_cmd(Session& s, uint8_t code, const char* text) {
    if (wp_send_cmd(s.fr, code, text) == 0) return 0;
    return net_error(s);
}

// A whole number of seconds from a setting, 0 when empty or not a number.
uint64_t seconds_of(const char* v) {
    if (v[0] < '0' || v[0] > '9') return 0;
    const char* end = v;
    uint64_t n = parse_u64(v, &end);
    while (*end == ' ' || *end == '\t') ++end;
    return *end == '\0' ? n : 0;
}

// An M_NUL "OPT" line: the CRAM challenge after "CRAM-MD5-", if any, and
// the option NR (a word of its own, case as written).
void read_opt(Session& s, const char* text) {
    if (text[0] != 'O' || text[1] != 'P' || text[2] != 'T' || text[3] != ' ') return;
    for (const char* w = text + 4; *w != '\0';) {
        while (*w == ' ') ++w;
        const char* e = w;
        while (*e != '\0' && *e != ' ') ++e;
        if (e - w == 2 && w[0] == 'N' && w[1] == 'R') s.remote_nr = s.nr;
        w = e;
    }
    const char* p = str_find(text, "CRAM-MD5-");
    if (p == nullptr) return;
    p += 9;
    s.chal_len = 0;
    while (s.chal_len < CHAL_MAX) {
        int hi = hex_nibble(p[0]);
        int lo = hi < 0 ? -1 : hex_nibble(p[1]);
        if (lo < 0) break;
        s.chal_bin[s.chal_len++] = static_cast<uint8_t>(hi << 4 | lo);
        p += 2;
    }
}

// An M_NUL "VER" line: whether the boss speaks binkp/1.1 or later (its
// protocol as "binkp/MAJOR.MINOR", a word of its own).
void read_ver(Session& s, const char* text) {
    if (text[0] != 'V' || text[1] != 'E' || text[2] != 'R' || text[3] != ' ') return;
    for (const char* w = text + 4; *w != '\0';) {
        while (*w == ' ') ++w;
        const char* e = w;
        while (*e != '\0' && *e != ' ') ++e;
        char word[16];
        if (e - w > 6 && e - w < static_cast<ptrdiff_t>(sizeof word)) {
            mem_copy(word, w, 6);
            word[6] = '\0';
            const char* p = w + 6;
            if (str_icmp(word, "binkp/") == 0 && *p >= '0' && *p <= '9') {
                const char* end = p;
                uint64_t major = parse_u64(p, &end);
                uint64_t minor = 0;
                if (*end == '.' && end[1] >= '0' && end[1] <= '9') minor = parse_u64(end + 1);
                s.remote_11 = major > 1 || (major == 1 && minor >= 1);
            }
        }
        w = e;
    }
}

unsigned on_adr(Session& s, const char* text) {
    log_msg2(m_r_adr, text);
    const char* p = text;
    while (*p != '\0') {
        while (*p == ' ') ++p;
        char a[256];
        size_t n = 0;
        while (*p != '\0' && *p != ' ') {
            if (n + 1 < sizeof a) a[n++] = *p;
            ++p;
        }
        a[n] = '\0';
        char* at = const_cast<char*>(str_chr(a, '@'));
        if (at != nullptr) *at = '\0';
        if (n > 0 && str_icmp(a, s.boss_bare) == 0) {
            s.got_adr = true;
            return 0;
        }
    }
    log_msg2(m_wrongadr, s.cfg->get(F_BOSSADDR));
    wp_send_cmd(s.fr, M_ERR, "Unexpected address");
    return EXIT_PROTO;
}

// Ends the session after a failure. Only a cut line or a stop request keeps
// the part of a file received so far, and only with nr = yes; any other
// failure discards it.
// The steps of a session give 0 to go on or the ExitCode that ends it.
ExitCode fail(Session& s, unsigned code) {
    bso_unlock(s.bsy);
    rx_settle_drop(s);
    if (code == EXIT_NET || code == EXIT_STOPPED) rx_keep(s);
    rx_abort(s);
    net_close(s.fr.net);
    return static_cast<ExitCode>(code);
}

bool finished(const Session& s) {
    return s.remote_eob && !s.rx_active && !s.settle.pending && s.pending <= 0;
}

}  // namespace

uint32_t session_frame_ms(const BossCfg& c) {
    uint64_t sec = seconds_of(c.get(F_NETTIMEOUT));
    if (sec == 0) return net_timeout_ms();
    if (sec > NET_TIMEOUT_MAX_S) sec = NET_TIMEOUT_MAX_S;
    return static_cast<uint32_t>(sec * 1000);
}

uint64_t session_limit_ms(const BossCfg& c) {
    uint64_t sec = seconds_of(c.get(F_SESSLIMIT));
    if (sec == 0 || sec > UINT32_MAX) sec = SESSION_LIMIT_S;
    return sec * 1000;
}

uint64_t session_partial_days(const BossCfg& c) {
    const char* v = c.get(F_PARTDAYS);
    if (v[0] < '0' || v[0] > '9') return PARTIAL_KEEP_DAYS;
    const char* end = v;
    uint64_t d = parse_u64(v, &end);
    while (*end == ' ' || *end == '\t') ++end;
    if (*end != '\0') return PARTIAL_KEEP_DAYS;
    return d > 36500 ? 36500 : d;
}

bool session_stop_seen(Session& s) {
    if (!pf_stop_requested()) return false;
    s.fr.net.stopped = true;
    return true;
}

unsigned net_error(Session& s) {
    if (s.fr.net.stopped) return EXIT_STOPPED;  // the poll driver says so
    if (net_expired(s.fr.net))
        log_num(m_sess_limit, session_limit_ms(*s.cfg) / 1000);
    else
        log_msg(m_net);
    return EXIT_NET;
}

void session_reset(Session& s) {
    s.got_adr = s.pwd_sent = s.auth_ok = s.remote_eob = s.own_busy = false;
    s.remote_11 = false;
    s.batch = 0;
    s.batch_files = 0;
    s.pending = 0;
    s.files_rx = s.files_tx = 0;
    s.chal_len = 0;
    s.my_adr[0] = s.boss_bare[0] = '\0';
    s.tx_count = 0;
    s.tx_full_said = false;
    s.flo_count = 0;
    s.serial = 0;
    s.rx_active = false;
    s.rx_h = PF_INVALID;
    s.rx.size = s.rx.time = s.rx_got = 0;
    s.rx_buf_len = 0;
    s.nr = s.remote_nr = s.nr_silent = s.rx_want = false;
    s.fr.net.stopped = false;
    s.settle.pending = false;
    s.settle.h = PF_INVALID;
}

unsigned handle_frame(Session& s) {
    if (!s.fr.rx_iscmd) return rx_data(s);
    if (s.fr.rx_len == 0) return 0;
    const char* text = arg_of(s);
    switch (s.fr.rx_frame[0]) {
        case M_NUL:
            log_msg2(m_r_nul, text);
            read_opt(s, text);
            read_ver(s, text);
            return 0;
        case M_ADR:
            return on_adr(s, text);
        case M_OK:
            // Only an answer to our password logs us in; an M_OK that comes
            // first would let a stranger's files in.
            if (!s.pwd_sent) {
                log_msg(m_ok_early);
                wp_send_cmd(s.fr, M_ERR, "M_OK before the password");
                return EXIT_PROTO;
            }
            s.auth_ok = true;
            log_msg2(m_ok, text);
            return 0;
        case M_ERR:
            log_msg2(m_err, text);
            return EXIT_AUTH;
        case M_BSY:
            log_msg2(m_bsy, text);
            return EXIT_BUSY;
        case M_FILE:
            if (!s.auth_ok) {
                // Refused before anything is created in the inbound.
                char raw[RXNAME_MAX];
                size_t n = 0;
                while (text[n] != '\0' && text[n] != ' ' && n + 1 < sizeof raw) {
                    raw[n] = text[n];
                    ++n;
                }
                raw[n] = '\0';
                log_msg2(m_file_early, raw);
                wp_send_cmd(s.fr, M_ERR, "File before login");
                return EXIT_PROTO;
            }
            ++s.batch_files;
            return rx_start(s);
        case M_EOB:
            rx_eob(s);
            return 0;
        case M_GOT:
            tx_got(s, false);
            return 0;
        case M_SKIP:
            tx_got(s, true);
            return 0;
        case M_GET:
            rx_get(s);
            return 0;
        default:
            log_msg(m_unk);
            return 0;
    }
}

unsigned recv_and_handle(Session& s) {
    if (session_stop_seen(s)) return EXIT_STOPPED;
    if (s.settle.pending) {
        // A received file's M_GOT may be what the boss waits for.
        unsigned code = rx_settle_idle(s);
        // Settled: the caller looks again whether to wait at all.
        if (code != 0 || !s.settle.pending) return code;
    }
    if (wp_recv_frame(s.fr) != 0) return net_error(s);
    unsigned code = handle_frame(s);
    return code != 0 ? code : rx_settle_poll(s);
}

unsigned poll_incoming(Session& s) {
    for (;;) {
        if (session_stop_seen(s)) return EXIT_STOPPED;
        int r = net_poll(s.fr.net);
        if (r == 0) return rx_settle_poll(s);
        if (r < 0) return net_error(s);
        unsigned code = recv_and_handle(s);
        if (code != 0) return code;
    }
}

unsigned send_password(Session& s) {
    const char* pwd = s.cfg->get(F_PASSWORD);
    const char* cram = s.cfg->get(F_CRAM);
    if (pwd[0] == '\0') {
        log_msg(m_pwd_none);
        return send_cmd(s, M_PWD, "-");
    }
    if (s.chal_len == 0) {
        if (str_icmp(cram, "required") == 0) {
            log_msg(m_nocram);
            wp_send_cmd(s.fr, M_ERR, "CRAM-MD5 required");
            return EXIT_AUTH;
        }
    } else if (str_icmp(cram, "no") != 0) {
        uint8_t digest[MD5_LEN];
        hmac_md5(reinterpret_cast<const uint8_t*>(pwd), str_len(pwd), s.chal_bin, s.chal_len,
                 digest);
        char text[9 + 2 * MD5_LEN + 1] = "CRAM-MD5-";
        hex_encode(text + 9, digest, MD5_LEN);
        log_msg(m_pwd_cram);
        return send_cmd(s, M_PWD, text);
    }
    log_msg(m_pwd_plain);
    return send_cmd(s, M_PWD, pwd);
}

ExitCode session_run(Session& s) {
    session_reset(s);
    const BossCfg& c = *s.cfg;
    s.fr.net.timeout_ms = session_frame_ms(c);
    s.fr.net.until = pf_ticks_ms() + session_limit_ms(c);
    const char* adr = c.get(F_ADDRESS);
    str_copy(s.my_adr, adr, sizeof s.my_adr);
    if (str_chr(adr, '@') == nullptr)
        str_cat(s.my_adr, parse_u64(adr) == 21 ? "@fsxnet" : "@fidonet", sizeof s.my_adr);
    str_copy(s.boss_bare, c.get(F_BOSSADDR), sizeof s.boss_bare);
    if (char* at = const_cast<char*>(str_chr(s.boss_bare, '@'))) *at = '\0';

    const char* keys[3] = {"SYS ", "ZYZ ", "LOC "};
    const CfgField fields[3] = {F_SYSTEM, F_SYSOP, F_LOCATION};
    char line[CFG_STR + 8];
    unsigned code = 0;
    for (int i = 0; i < 3 && code == 0; ++i) {
        str_copy(line, keys[i], sizeof line);
        str_cat(line, c.get(fields[i]), sizeof line);
        code = send_cmd(s, M_NUL, line);
    }
    if (code == 0) code = send_cmd(s, M_NUL, "VER wrenpost/0.9 binkp/1.1");
    const char* nr = c.get(F_NR);
    s.nr = str_icmp(nr, "no") != 0 && str_icmp(nr, "off") != 0 && str_icmp(nr, "0") != 0 &&
           str_icmp(nr, "false") != 0;
    rx_prune(s);
    if (code == 0 && s.nr) code = send_cmd(s, M_NUL, "OPT NR");
    if (code == 0) {
        log_msg2(m_send_adr, s.my_adr);
        code = send_cmd(s, M_ADR, s.my_adr);
    }
    while (code == 0 && !s.got_adr) code = recv_and_handle(s);
    if (code == 0) {
        code = send_password(s);
        s.pwd_sent = true;
    }
    while (code == 0 && !s.auth_ok) code = recv_and_handle(s);
    if (code == 0) {
        code = send_outbound(s);
        if (s.own_busy) wp_send_cmd(s.fr, M_BSY, "Outbound busy, try later");
    }
    s.batch = 1;
    for (;;) {
        if (code == 0) {
            log_msg(m_eob_s);
            code = send_cmd(s, M_EOB, "");
        }
        while (code == 0 && !finished(s)) {
            code = recv_and_handle(s);
            if (code == 0) code = send_gets(s);
        }
        if (code != 0) return fail(s, code);
        // binkp/1.0 has one batch; under binkp/1.1 the batches go on while
        // either side offers files (the session limit bounds them).
        if (!s.remote_11 || s.batch_files == 0) break;
        ++s.batch;
        s.batch_files = 0;
        s.remote_eob = false;
        log_num(m_batch, static_cast<uint64_t>(s.batch));
    }

    flo_finish(s);
    bso_unlock(s.bsy);
    lb_start();
    lb_add(m_done);
    lb_num(s.files_rx);
    lb_add(m_done2);
    lb_num(s.files_tx);
    lb_flush();
    net_close(s.fr.net);
    return EXIT_OK;
}
