// Fuzz target: the editor loads JAM bases that any program may have written.
// The input is split into a .jdx and a .jhr image; the message list is built
// over them, sorted by every column, and every subfield of every entry is
// looked up. Every pointer handed out must lie inside the .jhr copy.
//
// Input: u16 length of the .jdx part, then the .jdx bytes, then the .jhr
// bytes (a valid base header is put in front when the byte after the length
// is odd, so that the list gets built often).
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "core/bytes.h"
#include "editor/msgbase.h"
#include "jam/jam_format.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 3) return 0;
    size_t jdxlen = get_le16(data);
    bool with_header = data[2] & 1;
    data += 3;
    size -= 3;
    if (jdxlen > size) jdxlen = size;
    std::vector<uint8_t> jhr;
    if (with_header) {
        jhr.assign(JHI_SIZE, 0);
        put_le32(jhr.data(), JAM_SIGNATURE);
        put_le32(jhr.data() + JHI_BASEMSGNUM, 1);
    }
    jhr.insert(jhr.end(), data + jdxlen, data + size);

    static EdBase eb;  // large: kept across runs, refilled each time
    eb.ed_nareas = 1;
    eb.ej_area = 0;
    free_mem(eb.ej_jhr);
    eb.ej_jhr = static_cast<uint8_t*>(std::malloc(jhr.size() + 64));
    if (!jhr.empty()) std::memcpy(eb.ej_jhr, jhr.data(), jhr.size());
    eb.ej_jhrlen = jhr.size();
    if (ej_fill_list(eb, data, jdxlen) != 0) return 0;
    if (eb.ej_count > jdxlen / JDX_SIZE) abort();
    const uint8_t* lo = eb.ej_jhr;
    const uint8_t* hi = eb.ej_jhr + eb.ej_jhrlen;
    for (int col = 0; col <= SORT_DATE; ++col) {
        ej_sort(eb, col, col & 1);
        std::vector<bool> seen(eb.ej_count);
        for (uint32_t r = 0; r < eb.ej_count; ++r) {
            uint32_t i = eb.ej_order[r];
            if (i >= eb.ej_count || seen[i]) abort();  // a permutation
            seen[i] = true;
        }
    }
    for (uint32_t i = 0; i < eb.ej_count; ++i) {
        const EdMsg& m = eb.ej_msgs[i];
        if (uint64_t{m.MS_SFOFF} + m.MS_SFLEN > eb.ej_jhrlen) abort();
        if (ej_row(eb, i).RW_ENTRY != i) abort();  // decoded over the image
        for (uint16_t id : {SF_OADDR, SF_DADDR, SF_SENDER, SF_MSGID, SF_KLUDGE}) {
            uint32_t len = 0;
            const uint8_t* p = ej_find_sf(eb, i, id, len);
            if (p != nullptr && (p < lo || p + len > hi)) abort();
        }
    }
    return 0;
}
