// Writing local messages into JAM bases for the export tests.
#pragma once

#include <string>

#include "jam/crc32.h"
#include "jam/jam.h"

namespace wptest {

struct LocalMsg {
    std::string from = "Jo Point", to = "All", subject = "Hello", msgid, daddr, oaddr,
                text = "Hello\r";
    uint32_t attr = JA_LOCAL;
    uint32_t date = 1796444632;  // 2026-12-05 04:23:52
    std::string kludge;          // an SF_KLUDGE value, when not empty
};

inline int add_local(const std::string& base, const LocalMsg& m) {
    std::string sf;
    if (!m.oaddr.empty()) jam_subf_add(sf, SF_OADDR, m.oaddr.c_str());
    if (!m.daddr.empty()) jam_subf_add(sf, SF_DADDR, m.daddr.c_str());
    jam_subf_add(sf, SF_SENDER, m.from.c_str());
    jam_subf_add(sf, SF_RECEIVER, m.to.c_str());
    jam_subf_add(sf, SF_SUBJECT, m.subject.c_str());
    if (!m.msgid.empty()) jam_subf_add(sf, SF_MSGID, m.msgid.c_str());
    if (!m.kludge.empty()) jam_subf_add(sf, SF_KLUDGE, m.kludge.c_str());
    JamMsg j;
    j.jm_subf = sf.data();
    j.jm_subflen = static_cast<uint32_t>(sf.size());
    j.jm_text = m.text.data();
    j.jm_textlen = static_cast<uint32_t>(m.text.size());
    j.jm_attr = m.attr;
    j.jm_date = m.date;
    j.jm_now = m.date;
    j.jm_msgidcrc = m.msgid.empty() ? JAM_NO_CRC : jam_crc(m.msgid.c_str());
    j.jm_usercrc = jam_crc(m.to.c_str());
    return jam_append(base.c_str(), j);
}

}  // namespace wptest
