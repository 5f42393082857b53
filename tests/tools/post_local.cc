// Writes one local message into a JAM base the way the editor does, for the
// demo and for tests that need a message a user wrote.
//
//   post_local [-c CONFIG] BASE FROMADDR FROM TO SUBJECT TEXTFILE [DESTADDR]
//
// With DESTADDR the message is a private netmail to that address, otherwise
// echomail. The text file's line ends (LF or CR LF) become CR. The MSGID
// serial comes from the serial file beside CONFIG (the one the program's
// runs with that configuration use), without -c from one beside BASE.
#include <cstdio>
#include <string>

#include "app/catalog.h"
#include "areafix/request.h"
#include "config/msgserial.h"
#include "core/fileio.h"
#include "jam/crc32.h"
#include "jam/jam.h"
#include "outbound/bso.h"

int main(int argc, char** argv) {
    const char* cfg = nullptr;
    if (argc > 2 && std::string(argv[1]) == "-c") {
        cfg = argv[2];
        argv[2] = argv[0];
        argv += 2;
        argc -= 2;
    }
    if (argc != 7 && argc != 8) {
        fputs("usage: post_local [-c CONFIG] BASE FROMADDR FROM TO SUBJECT TEXTFILE [DESTADDR]\n",
              stderr);
        return 2;
    }
    if (cfg == nullptr) cfg = argv[1];
    lang_apply(LANG_EN);
    std::string raw;
    FILE* f = fopen(argv[6], "rb");
    if (f == nullptr) return 2;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0) raw.append(buf, n);
    fclose(f);
    std::string text = af_text(raw.c_str());
    bool net = argc == 8;
    uint32_t now = static_cast<uint32_t>(unix_now_local());
    uint32_t number = 0;
    if (msgid_serial_next(cfg, now, number) != SerialResult::Ok) {
        fputs("post_local: no MSGID serial\n", stderr);
        return 1;
    }
    char serial[9];
    hexw(serial, number, 8);
    std::string msgid = std::string(argv[2]) + " " + serial;
    std::string sf;
    jam_subf_add(sf, SF_OADDR, argv[2]);
    if (net) jam_subf_add(sf, SF_DADDR, argv[7]);
    jam_subf_add(sf, SF_SENDER, argv[3]);
    jam_subf_add(sf, SF_RECEIVER, argv[4]);
    jam_subf_add(sf, SF_SUBJECT, argv[5]);
    jam_subf_add(sf, SF_MSGID, msgid.c_str());
    jam_subf_add(sf, SF_PID, "wrenpost 0.9");
    jam_subf_add(sf, SF_TZUTC, af_tzutc(pf_utc_offset_minutes()).c_str());
    jam_subf_add(sf, SF_KLUDGE, "CHRS: CP437 2");
    JamMsg m;
    m.jm_subf = sf.data();
    m.jm_subflen = static_cast<uint32_t>(sf.size());
    m.jm_text = text.data();
    m.jm_textlen = static_cast<uint32_t>(text.size());
    m.jm_attr = JA_LOCAL | (net ? JA_PRIVATE | JA_NET : JA_ECHO);
    m.jm_date = m.jm_now = now;
    m.jm_msgidcrc = jam_crc(msgid.c_str());
    m.jm_usercrc = jam_crc(argv[4]);
    if (jam_append(argv[1], m) != 0) return 1;
    printf("%u\n", m.jm_msgnum);
    return 0;
}
