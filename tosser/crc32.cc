#include "tosser/crc32.h"

#include "core/strutil.h"

namespace {

constexpr uint32_t CRC_POLY = 0xEDB88320u;

constexpr uint32_t crc_entry(uint32_t n) {
    for (int k = 0; k < 8; ++k) n = (n & 1u) ? (n >> 1) ^ CRC_POLY : n >> 1;
    return n;
}

// t[0] is the classic byte table; t[k][n] is the register after n has been
// shifted through k further zero bytes, so eight bytes can be folded in at
// once ("slicing by eight") with the same result as eight single steps.
struct CrcTable {
    uint32_t t[8][256];
};

constexpr void fill(CrcTable& tab) {
    for (uint32_t n = 0; n < 256; ++n) tab.t[0][n] = crc_entry(n);
    for (int k = 1; k < 8; ++k)
        for (uint32_t n = 0; n < 256; ++n)
            tab.t[k][n] = (tab.t[k - 1][n] >> 8) ^ tab.t[0][tab.t[k - 1][n] & 0xFFu];
}

constexpr CrcTable make_table() {
    CrcTable tab{};
    fill(tab);
    return tab;
}

// Built at compile time so that no caller depends on crc_init having run.
CrcTable crc_table = make_table();

inline uint32_t le32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
           (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

}  // namespace

void crc_init() { fill(crc_table); }

uint32_t crc_update(const void* data, size_t len, uint32_t crc) {
    const uint8_t* p = static_cast<const uint8_t*>(data);
    const auto& t = crc_table.t;
    for (; len >= 8; p += 8, len -= 8) {
        uint32_t a = crc ^ le32(p), b = le32(p + 4);
        crc = t[7][a & 0xFFu] ^ t[6][(a >> 8) & 0xFFu] ^ t[5][(a >> 16) & 0xFFu] ^ t[4][a >> 24] ^
              t[3][b & 0xFFu] ^ t[2][(b >> 8) & 0xFFu] ^ t[1][(b >> 16) & 0xFFu] ^ t[0][b >> 24];
    }
    for (; len > 0; ++p, --len) crc = (crc >> 8) ^ t[0][(crc ^ *p) & 0xFFu];
    return crc;
}

uint32_t crc_update_lc(const void* data, size_t len, uint32_t crc) {
    const uint8_t* p = static_cast<const uint8_t*>(data);
    for (size_t i = 0; i < len; ++i) {
        uint8_t c = p[i];
        if (c >= 'A' && c <= 'Z') c = static_cast<uint8_t>(c + ('a' - 'A'));
        crc = (crc >> 8) ^ crc_table.t[0][(crc ^ c) & 0xFFu];
    }
    return crc;
}

uint32_t jam_crc(const void* data, size_t len) {
    return crc_update_lc(data, len, 0xFFFFFFFFu);
}

uint32_t jam_crc(const char* text) {
    return jam_crc(text, str_len(text));
}
