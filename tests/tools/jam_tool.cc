// Test driver for JAM bases through our own code, used by the unit tests and
// the Python interoperability tests.
//
//   jam_tool dump BASE                   our walkers' view as JSON (byte strings hex)
//   jam_tool append BASE FROM TO SUBJ MSGID TEXT
//                                        one append; prints the message number
//   jam_tool loop BASE LOGFILE TAG       appends until killed; after each
//                                        successful append writes "TAG-i\n" to LOGFILE
//   jam_tool loop BASE LOGFILE TAG held  the same through one JamWriter kept
//                                        open, closed and opened again every 37
//   jam_tool hold BASE SECONDS           holds byte 0 of BASE.jhr; prints "locked"
#include <cstdio>
#include <cstdlib>
#include <string>

#include "app/catalog.h"
#include "core/fileio.h"
#include "core/log.h"
#include "core/strutil.h"
#include "jam/crc32.h"
#include "jam/jam.h"

namespace {

std::string hex(const uint8_t* p, size_t n) {
    static const char* d = "0123456789abcdef";
    std::string s;
    for (size_t i = 0; i < n; ++i) {
        s += d[p[i] >> 4];
        s += d[p[i] & 15];
    }
    return s;
}

std::string header_json(const JamHeader& h) {
    char buf[1024];
    snprintf(buf, sizeof buf,
             "{\"offset\":%u,\"Revision\":%u,\"ReservedWord\":%u,\"SubfieldLen\":%u,"
             "\"TimesRead\":%u,\"MSGIDcrc\":%u,\"REPLYcrc\":%u,\"ReplyTo\":%u,\"Reply1st\":%u,"
             "\"Replynext\":%u,\"DateWritten\":%u,\"DateReceived\":%u,\"DateProcessed\":%u,"
             "\"MessageNumber\":%u,\"Attribute\":%u,\"Attribute2\":%u,\"TxtOffset\":%u,"
             "\"TxtLen\":%u,\"PasswordCRC\":%u,\"Cost\":%u,\"subfields\":[",
             h.offset, h.Revision, h.ReservedWord, h.SubfieldLen, h.TimesRead, h.MSGIDcrc,
             h.REPLYcrc, h.ReplyTo, h.Reply1st, h.Replynext, h.DateWritten, h.DateReceived,
             h.DateProcessed, h.MessageNumber, h.Attribute, h.Attribute2, h.TxtOffset, h.TxtLen,
             h.PasswordCRC, h.Cost);
    std::string s = buf;
    JamSubfWalk w;
    JamSubfield sf;
    jam_subf_start(w, h);
    bool first = true;
    while (jam_subf_next(w, sf)) {
        snprintf(buf, sizeof buf, "%s{\"LoID\":%u,\"HiID\":%u,\"DatLen\":%u,\"data\":\"",
                 first ? "" : ",", sf.LoID, sf.HiID, sf.DatLen);
        s += buf;
        s += hex(sf.data, sf.DatLen);
        s += "\"}";
        first = false;
    }
    s += "]";
    return s;
}

int cmd_dump(const char* base) {
    JamImage img;
    int r = jam_load(base, img);
    if (r != 0) {
        printf("{\"load\":%d}\n", r);
        return 1;
    }
    std::string out = "{\"load\":0,\"base\":";
    char buf[256];
    snprintf(buf, sizeof buf,
             "{\"DateCreated\":%u,\"ModCounter\":%u,\"ActiveMsgs\":%u,\"PasswordCRC\":%u,"
             "\"BaseMsgNum\":%u}",
             img.base.DateCreated, img.base.ModCounter, img.base.ActiveMsgs, img.base.PasswordCRC,
             img.base.BaseMsgNum);
    out += buf;
    // Walk by headers, passing over headers of appends that died.
    out += ",\"headers\":[";
    JamHdrWalk hw;
    JamHeader h;
    jam_hdr_walk_start(hw, img);
    bool first = true;
    while (jam_hdr_walk_next(hw, h)) {
        std::string text;
        jam_read_text(base, h, text);
        out += first ? "" : ",";
        out += header_json(h);
        out += ",\"indexed\":";
        out += jam_is_indexed(img, h) ? "true" : "false";
        out += ",\"text\":\"" + hex(reinterpret_cast<const uint8_t*>(text.data()), text.size());
        out += "\"}";
        first = false;
    }
    snprintf(buf, sizeof buf, "],\"walk_damaged\":%s,\"index\":[", hw.damaged ? "true" : "false");
    out += buf;
    // Walk by index.
    JamIdxWalk iw;
    jam_idx_walk_start(iw, img.jhr.data(), img.jhr.size(), img.jdx.data(), img.jdx.size(),
                       img.base.BaseMsgNum);
    uint32_t num, ucrc;
    first = true;
    while (jam_idx_walk_next(iw, num, ucrc, h)) {
        snprintf(buf, sizeof buf, "%s{\"msgnum\":%u,\"UserCRC\":%u,\"HdrOffset\":%u}",
                 first ? "" : ",", num, ucrc, h.offset);
        out += buf;
        first = false;
    }
    out += "]}";
    puts(out.c_str());
    return 0;
}

// Fills a request the way the compose window does for echomail.
int append_one(const char* base, const char* from, const char* to, const char* subj,
               const char* msgid, const std::string& text, uint32_t now, uint32_t* num,
               JamWriter* w = nullptr) {
    std::string sf;
    jam_subf_add(sf, SF_OADDR, "2:280/5555.1");
    jam_subf_add(sf, SF_SENDER, from);
    jam_subf_add(sf, SF_RECEIVER, to);
    jam_subf_add(sf, SF_SUBJECT, subj);
    if (msgid[0] != '\0') jam_subf_add(sf, SF_MSGID, msgid);
    jam_subf_add(sf, SF_KLUDGE, "CHRS: CP437 2");
    JamMsg m;
    m.jm_subf = sf.data();
    m.jm_subflen = static_cast<uint32_t>(sf.size());
    m.jm_text = text.data();
    m.jm_textlen = static_cast<uint32_t>(text.size());
    m.jm_attr = JA_LOCAL | JA_ECHO;
    m.jm_date = now;
    m.jm_now = now;
    m.jm_msgidcrc = msgid[0] != '\0' ? jam_crc(msgid) : JAM_NO_CRC;
    m.jm_usercrc = jam_crc(to);
    int r = w != nullptr ? jam_writer_append(*w, m) : jam_append(base, m);
    *num = m.jm_msgnum;
    return r;
}

int cmd_append(int argc, char** argv) {
    if (argc != 8) return 2;
    std::string text = argv[7];
    for (char& c : text)
        if (c == '\n') c = '\r';
    uint32_t num = 0;
    int r = append_one(argv[2], argv[3], argv[4], argv[5], argv[6], text, 1700000000u, &num);
    if (r == 0) printf("%u\n", num);
    return r;
}

int cmd_loop(const char* base, const char* logfile, const char* tag, bool held) {
    pf_file log = f_open_always(logfile);
    if (log == PF_INVALID) return 2;
    JamWriter w;
    uint32_t rng_start = static_cast<uint32_t>(pf_getpid());
    for (unsigned long i = 0;; ++i) {
        rng_start = rng_start * 1103515245u + 12345u;
        char id[96];
        snprintf(id, sizeof id, "%s-%lu", tag, i);
        // Sizes vary so that kills land in texts, headers and subfields alike.
        std::string text = std::string("Text of ") + id + "\r";
        text.append((rng_start >> 8) % 1000, 'x');
        std::string to(1 + (rng_start >> 20) % 40, 'R');
        char msgid[128];
        snprintf(msgid, sizeof msgid, "2:280/5555.1 %08lx %s", i, id);
        uint32_t num;
        if (held && i % 37 == 0 && jam_writer_open(w, base, 1700000000u) != 0) return 1;
        if (append_one(base, "Loop Writer", to.c_str(), id, msgid, text, 1700000000u, &num,
                       held ? &w : nullptr) != 0)
            return 1;
        std::string line = std::string(id) + "\n";
        f_seek(log, 0, PfSeek::End);
        f_write(log, line.data(), line.size());
    }
}

int cmd_hold(const char* base, unsigned seconds) {
    char path[WP_PATH_MAX];
    mkpath(path, base, ".jhr");
    pf_file h = f_open_always(path);
    if (h == PF_INVALID || jam_lock(h, 1) != 0) return 1;
    puts("locked");
    fflush(stdout);
    pf_sleep_ms(seconds * 1000);
    jam_unlock(h);
    f_close(h);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    lang_apply(LANG_EN);
    con_init();
    crc_init();
    if (argc >= 3 && str_icmp(argv[1], "dump") == 0) return cmd_dump(argv[2]);
    if (argc >= 2 && str_icmp(argv[1], "append") == 0) return cmd_append(argc, argv);
    if ((argc == 5 || argc == 6) && str_icmp(argv[1], "loop") == 0)
        return cmd_loop(argv[2], argv[3], argv[4], argc == 6 && str_icmp(argv[5], "held") == 0);
    if (argc == 4 && str_icmp(argv[1], "hold") == 0)
        return cmd_hold(argv[2], static_cast<unsigned>(atoi(argv[3])));
    fputs("usage: jam_tool dump|append|loop|hold ...\n", stderr);
    return 2;
}
