#include "tosser/badmove.h"

#include <string>

#include "core/bytes.h"
#include "core/fileio.h"
#include "core/log.h"
#include "core/strutil.h"
#include "jam/crc32.h"
#include "jam/jam.h"
#include "jam/messages.h"

namespace {

bool is_marker(const JamSubfield& sf, const std::string& marker) {
    if (sf.LoID != SF_KLUDGE || sf.DatLen != marker.size()) return false;
    for (size_t i = 0; i < marker.size(); ++i) {
        char a = static_cast<char>(sf.data[i]), b = marker[i];
        if (a >= 'A' && a <= 'Z') a = static_cast<char>(a + 32);
        if (b >= 'A' && b <= 'Z') b = static_cast<char>(b + 32);
        if (a != b) return false;
    }
    return true;
}

// Writes `n` bytes at `offset` of the open .jhr under its byte lock.
bool patch(pf_file jhr, uint64_t offset, const uint8_t* bytes, size_t n) {
    JhrLock lock(jhr, JAM_LOCK_TRIES);
    return lock && f_seek(jhr, static_cast<int64_t>(offset), PfSeek::Begin) >= 0 &&
           f_write(jhr, bytes, n) == 0;
}

}  // namespace

int af_bad_move(const char* tag, const char* new_base, const char* bad_base, uint32_t now) {
    std::string marker = std::string("AREA:") + tag;
    JamImage img;
    if (jam_load(bad_base, img) != 0 || img.jhr.size() < JHI_SIZE) return 0;
    char path[WP_PATH_MAX];
    std::string jdt;
    mkpath(path, bad_base, ".jdt");
    if (f_read_whole(path, jdt) != 0) return 0;
    mkpath(path, bad_base, ".jhr");
    UniqueFile file(pf_open(path, PfAccess::ReadWrite, PfCreate::OpenExisting));
    if (!file) return 0;
    pf_file jhr = file.get();

    int moved = 0;
    JamHdrWalk w;
    jam_hdr_walk_start(w, img);
    JamHeader h;
    std::string subf;
    while (jam_hdr_walk_next(w, h)) {
        if (h.Attribute & JA_DELETED) continue;
        JamSubfWalk sw;
        JamSubfield sf;
        bool mine = false;
        jam_subf_start(sw, h);
        while (!mine && jam_subf_next(sw, sf)) mine = is_marker(sf, marker);
        if (!mine) continue;
        if (static_cast<uint64_t>(h.TxtOffset) + h.TxtLen > jdt.size()) continue;

        subf.clear();
        uint32_t usercrc = JAM_NO_CRC;
        jam_subf_start(sw, h);
        while (jam_subf_next(sw, sf)) {
            if (is_marker(sf, marker)) continue;
            jam_subf_add(subf, sf.LoID, sf.data, sf.DatLen);
            if (sf.LoID == SF_RECEIVER && usercrc == JAM_NO_CRC)
                usercrc = jam_crc(sf.data, sf.DatLen);
        }
        JamMsg m;
        m.jm_subf = subf.data();
        m.jm_subflen = static_cast<uint32_t>(subf.size());
        m.jm_text = jdt.data() + h.TxtOffset;
        m.jm_textlen = h.TxtLen;
        m.jm_attr = h.Attribute;
        m.jm_date = h.DateWritten;
        m.jm_now = now;
        m.jm_msgidcrc = h.MSGIDcrc;
        m.jm_replycrc = h.REPLYcrc;
        m.jm_usercrc = usercrc;
        m.jm_replyto = 0;
        if (jam_append(new_base, m) != 0) break;
        uint8_t attr[4];
        put_le32(attr, h.Attribute | JA_DELETED);
        ++moved;
        if (!patch(jhr, static_cast<uint64_t>(h.offset) + JMH_ATTRIBUTE, attr, 4)) {
            log_msg2(m_write, bad_base);
            break;
        }
    }
    JhrLock lock(moved > 0 ? jhr : PF_INVALID, JAM_LOCK_TRIES);
    if (lock) {
        // Count from the header as it is on disk now, not as it was read.
        uint8_t counters[8];
        if (f_seek(jhr, JHI_MODCOUNTER, PfSeek::Begin) >= 0 && f_read(jhr, counters, 8) == 8) {
            uint32_t active = get_le32(counters + 4);
            put_le32(counters, get_le32(counters) + 1);
            put_le32(counters + 4, active > static_cast<uint32_t>(moved) ? active - moved : 0);
            if (f_seek(jhr, JHI_MODCOUNTER, PfSeek::Begin) < 0 || f_write(jhr, counters, 8) != 0)
                log_msg2(m_write, bad_base);
        }
    }
    return moved;
}
