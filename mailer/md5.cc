#include "mailer/md5.h"

namespace {

// Per-step shift amounts and sine-derived constants of the four rounds.
const uint8_t kShift[64] = {7, 12, 17, 22, 7, 12, 17, 22, 7, 12, 17, 22, 7, 12, 17, 22,
                            5, 9,  14, 20, 5, 9,  14, 20, 5, 9,  14, 20, 5, 9,  14, 20,
                            4, 11, 16, 23, 4, 11, 16, 23, 4, 11, 16, 23, 4, 11, 16, 23,
                            6, 10, 15, 21, 6, 10, 15, 21, 6, 10, 15, 21, 6, 10, 15, 21};
const uint32_t kSine[64] = {
    0xd76aa478, 0xe8c7b756, 0x242070db, 0xc1bdceee, 0xf57c0faf, 0x4787c62a, 0xa8304613, 0xfd469501,
    0x698098d8, 0x8b44f7af, 0xffff5bb1, 0x895cd7be, 0x6b901122, 0xfd987193, 0xa679438e, 0x49b40821,
    0xf61e2562, 0xc040b340, 0x265e5a51, 0xe9b6c7aa, 0xd62f105d, 0x02441453, 0xd8a1e681, 0xe7d3fbc8,
    0x21e1cde6, 0xc33707d6, 0xf4d50d87, 0x455a14ed, 0xa9e3e905, 0xfcefa3f8, 0x676f02d9, 0x8d2a4c8a,
    0xfffa3942, 0x8771f681, 0x6d9d6122, 0xfde5380c, 0xa4beea44, 0x4bdecfa9, 0xf6bb4b60, 0xbebfbc70,
    0x289b7ec6, 0xeaa127fa, 0xd4ef3085, 0x04881d05, 0xd9d4d039, 0xe6db99e5, 0x1fa27cf8, 0xc4ac5665,
    0xf4292244, 0x432aff97, 0xab9423a7, 0xfc93a039, 0x655b59c3, 0x8f0ccc92, 0xffeff47d, 0x85845dd1,
    0x6fa87e4f, 0xfe2ce6e0, 0xa3014314, 0x4e0811a1, 0xf7537e82, 0xbd3af235, 0x2ad7d2bb, 0xeb86d391};

uint32_t rotl(uint32_t x, unsigned n) {
    return (x << n) | (x >> (32 - n));
}

void transform(uint32_t h[4], const uint8_t* p) {
    uint32_t w[16];
    for (int i = 0; i < 16; ++i)
        w[i] = static_cast<uint32_t>(p[4 * i]) | (static_cast<uint32_t>(p[4 * i + 1]) << 8) |
               (static_cast<uint32_t>(p[4 * i + 2]) << 16) |
               (static_cast<uint32_t>(p[4 * i + 3]) << 24);
    uint32_t a = h[0], b = h[1], c = h[2], d = h[3];
    for (int i = 0; i < 64; ++i) {
        uint32_t f;
        int g;
        if (i < 16) {
            f = (b & c) | (~b & d);
            g = i;
        } else if (i < 32) {
            f = (d & b) | (~d & c);
            g = (5 * i + 1) % 16;
        } else if (i < 48) {
            f = b ^ c ^ d;
            g = (3 * i + 5) % 16;
        } else {
            f = c ^ (b | ~d);
            g = (7 * i) % 16;
        }
        uint32_t t = d;
        d = c;
        c = b;
        b = b + rotl(a + f + kSine[i] + w[g], kShift[i]);
        a = t;
    }
    h[0] += a;
    h[1] += b;
    h[2] += c;
    h[3] += d;
}

}  // namespace

void md5_init(Md5& m) {
    m.h[0] = 0x67452301;
    m.h[1] = 0xefcdab89;
    m.h[2] = 0x98badcfe;
    m.h[3] = 0x10325476;
    m.total = 0;
    m.fill = 0;
}

void md5_update(Md5& m, const void* data, size_t n) {
    const uint8_t* p = static_cast<const uint8_t*>(data);
    m.total += n;
    while (n > 0) {
        if (m.fill == 0 && n >= 64) {
            transform(m.h, p);
            p += 64;
            n -= 64;
            continue;
        }
        size_t take = 64 - m.fill < n ? 64 - m.fill : n;
        for (size_t i = 0; i < take; ++i) m.block[m.fill + i] = p[i];
        m.fill += take;
        p += take;
        n -= take;
        if (m.fill == 64) {
            transform(m.h, m.block);
            m.fill = 0;
        }
    }
}

void md5_final(Md5& m, uint8_t out[MD5_LEN]) {
    // Padding: 0x80, zeros up to 56 mod 64, then the bit length little-endian.
    uint64_t bits = m.total * 8;
    uint8_t pad[72];
    size_t padlen = (m.fill < 56 ? 56 - m.fill : 120 - m.fill);
    pad[0] = 0x80;
    for (size_t i = 1; i < padlen; ++i) pad[i] = 0;
    for (int i = 0; i < 8; ++i) pad[padlen + i] = static_cast<uint8_t>(bits >> (8 * i));
    uint64_t keep = m.total;
    md5_update(m, pad, padlen + 8);
    m.total = keep;
    for (int i = 0; i < 4; ++i)
        for (int k = 0; k < 4; ++k) out[4 * i + k] = static_cast<uint8_t>(m.h[i] >> (8 * k));
}

void md5(const void* data, size_t n, uint8_t out[MD5_LEN]) {
    Md5 m;
    md5_init(m);
    md5_update(m, data, n);
    md5_final(m, out);
}

void hmac_md5(const uint8_t* key, size_t key_len, const uint8_t* msg, size_t msg_len,
              uint8_t out[MD5_LEN]) {
    uint8_t k[64] = {0};
    if (key_len > 64) {
        md5(key, key_len, k);
    } else {
        for (size_t i = 0; i < key_len; ++i) k[i] = key[i];
    }
    uint8_t pad[64];
    uint8_t inner[MD5_LEN];
    Md5 m;
    for (int i = 0; i < 64; ++i) pad[i] = static_cast<uint8_t>(k[i] ^ 0x36);
    md5_init(m);
    md5_update(m, pad, 64);
    md5_update(m, msg, msg_len);
    md5_final(m, inner);
    for (int i = 0; i < 64; ++i) pad[i] = static_cast<uint8_t>(k[i] ^ 0x5c);
    md5_init(m);
    md5_update(m, pad, 64);
    md5_update(m, inner, MD5_LEN);
    md5_final(m, out);
}
