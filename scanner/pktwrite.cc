#include "scanner/pktwrite.h"

#include <cstring>
#include <vector>

#include "core/bytes.h"
#include "core/fileio.h"
#include "core/strutil.h"
#include "jam/crc32.h"

Civil unix_civil(uint32_t t) {
    Civil c;
    uint32_t days = t / 86400, s = t % 86400;
    c.hour = s / 3600;
    c.minute = (s % 3600) / 60;
    c.second = s % 60;
    uint32_t z = days + 719468;
    uint32_t era = z / 146097;
    uint32_t doe = z % 146097;
    uint32_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    uint32_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    uint32_t mp = (5 * doy + 2) / 153;
    c.day = doy - (153 * mp + 2) / 5 + 1;
    c.month = mp < 10 ? mp + 3 : mp - 9;
    c.year = era * 400 + yoe + (c.month < 3 ? 1 : 0);
    return c;
}

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
    put_le16(out + 0, static_cast<uint16_t>(orig.node));
    put_le16(out + 2, static_cast<uint16_t>(dest.node));
    put_le16(out + 4, static_cast<uint16_t>(now.year));
    put_le16(out + 6, static_cast<uint16_t>(now.month - 1));
    put_le16(out + 8, static_cast<uint16_t>(now.day));
    put_le16(out + 10, static_cast<uint16_t>(now.hour));
    put_le16(out + 12, static_cast<uint16_t>(now.minute));
    put_le16(out + 14, static_cast<uint16_t>(now.second));
    put_le16(out + 18, 2);
    put_le16(out + 20, static_cast<uint16_t>(orig.net));
    put_le16(out + 22, static_cast<uint16_t>(dest.net));
    out[24] = PRODCODE_LO;
    out[25] = REV_MAJOR;
    for (int i = 0; i < 8 && password[i] != '\0'; ++i)
        out[26 + i] = static_cast<uint8_t>(password[i]);
    put_le16(out + 34, static_cast<uint16_t>(orig.zone));
    put_le16(out + 36, static_cast<uint16_t>(dest.zone));
    put_le16(out + 40, 0x0100);
    out[43] = REV_MINOR;
    put_le16(out + 44, 0x0001);
    put_le16(out + 46, static_cast<uint16_t>(orig.zone));
    put_le16(out + 48, static_cast<uint16_t>(dest.zone));
    put_le16(out + 50, static_cast<uint16_t>(orig.point));
    put_le16(out + 52, static_cast<uint16_t>(dest.point));
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
    put_le32(head, 0x04034B50);
    put_le16(head + 4, 10);
    put_le16(head + 6, 0);
    put_le16(head + 8, 0);
    put_le16(head + 10, dos_time);
    put_le16(head + 12, dos_date);
    put_le32(head + 14, crc);
    put_le32(head + 18, sz);
    put_le32(head + 22, sz);
    put_le16(head + 26, n);
    put_le16(head + 28, 0);
    std::memcpy(head + 30, name, n);
    uint32_t cd_offset = 30u + n + sz;
    uint8_t* p = tail;
    put_le32(p, 0x02014B50);
    put_le16(p + 4, 20);
    put_le16(p + 6, 10);
    put_le16(p + 8, 0);
    put_le16(p + 10, 0);
    put_le16(p + 12, dos_time);
    put_le16(p + 14, dos_date);
    put_le32(p + 16, crc);
    put_le32(p + 20, sz);
    put_le32(p + 24, sz);
    put_le16(p + 28, n);
    put_le16(p + 30, 0);
    put_le16(p + 32, 0);
    put_le16(p + 34, 0);
    put_le16(p + 36, 0);
    put_le32(p + 38, 0x00000020);
    put_le32(p + 42, 0);
    std::memcpy(p + 46, name, n);
    p += 46 + n;
    put_le32(p, 0x06054B50);
    put_le16(p + 4, 0);
    put_le16(p + 6, 0);
    put_le16(p + 8, 1);
    put_le16(p + 10, 1);
    put_le32(p + 12, 46u + n);
    put_le32(p + 16, cd_offset);
    put_le16(p + 20, 0);
    return 68u + n;
}

size_t zip_store(uint8_t* out, const char* name, const uint8_t* data, size_t size,
                 const Civil& now) {
    size_t n = str_len(name);
    std::vector<uint8_t> tail(68 + n);
    size_t tail_len = zip_store_parts(out, tail.data(), name, data, size, now);
    if (size > 0) std::memcpy(out + 30 + n, data, size);
    std::memcpy(out + 30 + n + size, tail.data(), tail_len);
    return 30 + n + size + tail_len;
}

size_t zip_store(uint8_t* out, const char* name, const uint8_t* data, size_t size) {
    return zip_store(out, name, data, size, local_civil_now());
}
