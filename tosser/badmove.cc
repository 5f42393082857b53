#include "tosser/badmove.h"

#include <memory>
#include <string>
#include <vector>

#include "core/bytes.h"
#include "core/fileio.h"
#include "core/log.h"
#include "core/strutil.h"
#include "jam/crc32.h"
#include "jam/jam.h"
#include "jam/messages.h"
#include "mbase/mbase.h"
#include "msgarea/msgarea.h"

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

namespace {

// JAM to JAM: every subfield verbatim (also those of other programs),
// MSGIDcrc and REPLYcrc kept, the source only marked deleted and the bad
// base's ModCounter raised once.
int jam_bad_move(const char* tag, const char* new_base, const char* bad_base, uint32_t now) {
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

// Between other formats, or across them: each message read in the neutral
// form, appended without its marker and then removed from the bad area.
int neutral_bad_move(const char* tag, const char* new_loc, const char* bad_loc, uint32_t now) {
    std::unique_ptr<MsgBase> bad, dst;
    if (ma_open_loc(bad_loc, false, false, bad) != MbResult::Ok ||
        ma_open_loc(new_loc, false, true, dst) != MbResult::Ok)
        return 0;
    std::vector<uint32_t> nums;
    if (bad->numbers(nums) != MbResult::Ok || nums.empty()) return 0;
    MbLock src_lock(*bad, JAM_LOCK_TRIES);
    MbLock dst_lock(*dst, JAM_LOCK_TRIES);
    if (!src_lock || !dst_lock) return 0;
    int moved = 0;
    for (uint32_t n : nums) {
        MbMessage m;
        if (bad->read_header(n, m) != MbResult::Ok) continue;
        const std::string* area = mb_kludge_find(m, "AREA");
        if (area == nullptr || str_icmp(area->c_str(), tag) != 0) continue;
        if (bad->read_text(n, m.text) != MbResult::Ok) continue;
        std::erase_if(m.kludges, [](const MbKludge& k) { return k.name == "AREA"; });
        m.date_received = now;
        uint32_t num = 0;
        if (dst->append(m, num) != MbResult::Ok) {
            log_msg2(m_write, dst->path());
            break;
        }
        ++moved;
        if (bad->remove(n) != MbResult::Ok) {
            log_msg2(m_write, bad->path());
            break;
        }
    }
    return moved;
}

}  // namespace

int af_bad_move(const char* tag, const char* new_base, const char* bad_base, uint32_t now) {
    AreaFormat fn, fb;
    const char* np = cfg_base_loc(new_base, fn);
    const char* bp = cfg_base_loc(bad_base, fb);
    if (fn == AreaFormat::Jam && fb == AreaFormat::Jam) return jam_bad_move(tag, np, bp, now);
    return neutral_bad_move(tag, new_base, bad_base, now);
}
