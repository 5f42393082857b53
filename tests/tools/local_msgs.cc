// Writes local messages, as the editor would, for the export tests and the
// export benchmark.
//
//   local_msgs BASE COUNT PREFIX [net DADDR]
//
// Appends COUNT messages with the MSGIDs "21:3/210.7 PREFIX-0" ... to BASE;
// their texts begin with "Text of PREFIX-i" and vary in length. With "net" they are
// netmail to DADDR. Exit code 0, or 1 when an append failed.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "app/catalog.h"
#include "jam/crc32.h"
#include "jam/jam.h"

int main(int argc, char** argv) {
    if (argc != 4 && argc != 6) {
        fputs("usage: local_msgs BASE COUNT PREFIX [net DADDR]\n", stderr);
        return 2;
    }
    lang_apply(LANG_EN);
    const char* base = argv[1];
    long count = atol(argv[2]);
    bool net = argc == 6;
    uint32_t r = 12345;
    for (long i = 0; i < count; ++i) {
        r = r * 1103515245u + 12345u;
        std::string id = std::string(argv[3]) + "-" + std::to_string(i);
        std::string msgid = "21:3/210.7 " + id;
        std::string text = "Text of " + id + "\r";
        for (unsigned k = 0; k < (r >> 16) % 12; ++k)
            text += "A line of local text, number " + std::to_string(k) + ".\r";
        std::string sf;
        if (net) jam_subf_add(sf, SF_DADDR, argv[5]);
        jam_subf_add(sf, SF_SENDER, "Local Writer");
        jam_subf_add(sf, SF_RECEIVER, net ? "Boss Sysop" : "All");
        jam_subf_add(sf, SF_SUBJECT, ("Subject " + id).c_str());
        jam_subf_add(sf, SF_MSGID, msgid.c_str());
        JamMsg m;
        m.jm_subf = sf.data();
        m.jm_subflen = static_cast<uint32_t>(sf.size());
        m.jm_text = text.data();
        m.jm_textlen = static_cast<uint32_t>(text.size());
        m.jm_attr = JA_LOCAL | (net ? JA_PRIVATE : 0);
        m.jm_date = 1796444632u;
        m.jm_now = 1796444632u;
        m.jm_msgidcrc = jam_crc(msgid.c_str());
        m.jm_usercrc = jam_crc(net ? "Boss Sysop" : "All");
        if (jam_append(base, m) != 0) return 1;
    }
    return 0;
}
