#include "scanner/pktwrite.h"

#include <cstring>
#include <vector>

#include "core/bytes.h"
#include "core/fileio.h"
#include "core/strutil.h"
#include "core/zip_format.h"
#include "jam/crc32.h"

void put2(char* out, uint32_t v) {
    out[0] = static_cast<char>('0' + v / 10 % 10);
    out[1] = static_cast<char>('0' + v % 10);
}

void fts_date(char* out, uint32_t t) {
    static const char months[] = "JanFebMarAprMayJunJulAugSepOctNovDec";
    Civil c = unix_civil(t);
    put2(out, c.day);
    out[2] = ' ';
    std::memcpy(out + 3, months + 3 * (c.month - 1), 3);
    out[6] = ' ';
    put2(out + 7, c.year % 100);
    out[9] = ' ';
    out[10] = ' ';
    put2(out + 11, c.hour);
    out[13] = ':';
    put2(out + 14, c.minute);
    out[16] = ':';
    put2(out + 17, c.second);
    out[19] = '\0';
}

Civil local_civil_now() {
    return unix_civil(static_cast<uint32_t>(unix_now_local()));
}

void pw_header(uint8_t* out, const ftn_addr& orig, const ftn_addr& dest, const char* password,
               const Civil& now) {
    std::memset(out, 0, PKT_HDR_SIZE);
    put_le16(out + PH_ORIGNODE, static_cast<uint16_t>(orig.node));
    put_le16(out + PH_DESTNODE, static_cast<uint16_t>(dest.node));
    put_le16(out + PH_YEAR, static_cast<uint16_t>(now.year));
    put_le16(out + PH_MONTH, static_cast<uint16_t>(now.month - 1));
    put_le16(out + PH_DAY, static_cast<uint16_t>(now.day));
    put_le16(out + PH_HOUR, static_cast<uint16_t>(now.hour));
    put_le16(out + PH_MINUTE, static_cast<uint16_t>(now.minute));
    put_le16(out + PH_SECOND, static_cast<uint16_t>(now.second));
    put_le16(out + PH_VERSION, PKT_VERSION);
    put_le16(out + PH_ORIGNET, static_cast<uint16_t>(orig.net));
    put_le16(out + PH_DESTNET, static_cast<uint16_t>(dest.net));
    out[PH_PRODCODE_LO] = PRODCODE_LO;
    out[PH_REV_MAJOR] = REV_MAJOR;
    for (uint32_t i = 0; i < PH_PASSWORD_LEN && password[i] != '\0'; ++i)
        out[PH_PASSWORD + i] = static_cast<uint8_t>(password[i]);
    put_le16(out + PH_ORIGZONE, static_cast<uint16_t>(orig.zone));
    put_le16(out + PH_DESTZONE, static_cast<uint16_t>(dest.zone));
    put_le16(out + PH_CAPWORD_COPY, static_cast<uint16_t>(PKT_CAP_2PLUS << 8));
    out[PH_REV_MINOR] = REV_MINOR;
    put_le16(out + PH_CAPWORD, PKT_CAP_2PLUS);
    put_le16(out + PH_ORIGZONE2, static_cast<uint16_t>(orig.zone));
    put_le16(out + PH_DESTZONE2, static_cast<uint16_t>(dest.zone));
    put_le16(out + PH_ORIGPOINT, static_cast<uint16_t>(orig.point));
    put_le16(out + PH_DESTPOINT, static_cast<uint16_t>(dest.point));
}

void pw_header(uint8_t* out, const ftn_addr& orig, const ftn_addr& dest, const char* password) {
    pw_header(out, orig, dest, password, local_civil_now());
}

size_t zip_store_parts(uint8_t* head, uint8_t* tail, const char* name, const uint8_t* data,
                       size_t size, const Civil& now) {
    uint16_t n = static_cast<uint16_t>(str_len(name));
    uint16_t dos_time = static_cast<uint16_t>(now.hour * 2048 + now.minute * 32 + now.second / 2);
    uint16_t dos_date = static_cast<uint16_t>((now.year - 1980) * 512 + now.month * 32 + now.day);
    uint32_t crc = ~crc_update(data, size, 0xFFFFFFFFu);
    uint32_t sz = static_cast<uint32_t>(size);
    put_le32(head + ZL_SIG, ZIP_SIG_LOCAL);
    put_le16(head + ZL_VERSION, ZIP_VERSION_STORED);
    put_le16(head + ZL_FLAGS, 0);
    put_le16(head + ZL_METHOD, ZIP_METHOD_STORED);
    put_le16(head + ZL_TIME, dos_time);
    put_le16(head + ZL_DATE, dos_date);
    put_le32(head + ZL_CRC, crc);
    put_le32(head + ZL_CSIZE, sz);
    put_le32(head + ZL_USIZE, sz);
    put_le16(head + ZL_NAMELEN, n);
    put_le16(head + ZL_EXTRALEN, 0);
    std::memcpy(head + ZL_SIZE, name, n);
    uint32_t cd_offset = ZL_SIZE + n + sz;
    uint8_t* p = tail;
    put_le32(p + ZC_SIG, ZIP_SIG_CENTRAL);
    put_le16(p + ZC_MADE_BY, ZIP_MADE_BY);
    put_le16(p + ZC_VERSION, ZIP_VERSION_STORED);
    put_le16(p + ZC_FLAGS, 0);
    put_le16(p + ZC_METHOD, ZIP_METHOD_STORED);
    put_le16(p + ZC_TIME, dos_time);
    put_le16(p + ZC_DATE, dos_date);
    put_le32(p + ZC_CRC, crc);
    put_le32(p + ZC_CSIZE, sz);
    put_le32(p + ZC_USIZE, sz);
    put_le16(p + ZC_NAMELEN, n);
    put_le16(p + ZC_EXTRALEN, 0);
    put_le16(p + ZC_COMMENTLEN, 0);
    put_le16(p + ZC_DISK_START, 0);
    put_le16(p + ZC_INT_ATTR, 0);
    put_le32(p + ZC_EXT_ATTR, ZIP_ATTR_ARCHIVE);
    put_le32(p + ZC_LOCAL_OFFSET, 0);
    std::memcpy(p + ZC_SIZE, name, n);
    p += ZC_SIZE + n;
    put_le32(p + ZE_SIG, ZIP_SIG_END);
    put_le16(p + ZE_DISK, 0);
    put_le16(p + ZE_CD_DISK, 0);
    put_le16(p + ZE_DISK_ENTRIES, 1);
    put_le16(p + ZE_TOTAL_ENTRIES, 1);
    put_le32(p + ZE_CD_SIZE, ZC_SIZE + n);
    put_le32(p + ZE_CD_OFFSET, cd_offset);
    put_le16(p + ZE_COMMENTLEN, 0);
    return ZC_SIZE + ZE_SIZE + n;
}

size_t zip_store(uint8_t* out, const char* name, const uint8_t* data, size_t size,
                 const Civil& now) {
    size_t n = str_len(name);
    std::vector<uint8_t> tail(ZC_SIZE + ZE_SIZE + n);
    size_t tail_len = zip_store_parts(out, tail.data(), name, data, size, now);
    if (size > 0) std::memcpy(out + ZL_SIZE + n, data, size);
    std::memcpy(out + ZL_SIZE + n + size, tail.data(), tail_len);
    return ZL_SIZE + n + size + tail_len;
}

size_t zip_store(uint8_t* out, const char* name, const uint8_t* data, size_t size) {
    return zip_store(out, name, data, size, local_civil_now());
}
