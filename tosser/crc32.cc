#include "tosser/crc32.h"

#include "core/strutil.h"

namespace {

constexpr uint32_t CRC_POLY = 0xEDB88320u;

constexpr uint32_t crc_entry(uint32_t n) {
    for (int k = 0; k < 8; ++k) n = (n & 1u) ? (n >> 1) ^ CRC_POLY : n >> 1;
    return n;
}

struct CrcTable {
    uint32_t t[256];
};

constexpr CrcTable make_table() {
    CrcTable tab{};
    for (uint32_t n = 0; n < 256; ++n) tab.t[n] = crc_entry(n);
    return tab;
}

// Built at compile time so that no caller depends on crc_init having run.
CrcTable crc_table = make_table();

}  // namespace

void crc_init() {
    for (uint32_t n = 0; n < 256; ++n) crc_table.t[n] = crc_entry(n);
}

uint32_t crc_update(const void* data, size_t len, uint32_t crc) {
    const uint8_t* p = static_cast<const uint8_t*>(data);
    for (size_t i = 0; i < len; ++i) crc = (crc >> 8) ^ crc_table.t[(crc ^ p[i]) & 0xFFu];
    return crc;
}

uint32_t crc_update_lc(const void* data, size_t len, uint32_t crc) {
    const uint8_t* p = static_cast<const uint8_t*>(data);
    for (size_t i = 0; i < len; ++i) {
        uint8_t c = p[i];
        if (c >= 'A' && c <= 'Z') c = static_cast<uint8_t>(c + ('a' - 'A'));
        crc = (crc >> 8) ^ crc_table.t[(crc ^ c) & 0xFFu];
    }
    return crc;
}

uint32_t jam_crc(const void* data, size_t len) {
    return crc_update_lc(data, len, 0xFFFFFFFFu);
}

uint32_t jam_crc(const char* text) {
    return jam_crc(text, str_len(text));
}
