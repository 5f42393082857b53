#include "jam/crc32.h"

#include "core/strutil.h"

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#include <immintrin.h>
#define WP_CRC_CLMUL 1
#endif

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

uint32_t crc_slice8(const uint8_t* p, size_t len, uint32_t crc) {
    const auto& t = crc_table.t;
    for (; len >= 8; p += 8, len -= 8) {
        uint32_t a = crc ^ le32(p), b = le32(p + 4);
        crc = t[7][a & 0xFFu] ^ t[6][(a >> 8) & 0xFFu] ^ t[5][(a >> 16) & 0xFFu] ^ t[4][a >> 24] ^
              t[3][b & 0xFFu] ^ t[2][(b >> 8) & 0xFFu] ^ t[1][(b >> 16) & 0xFFu] ^ t[0][b >> 24];
    }
    for (; len > 0; ++p, --len) crc = (crc >> 8) ^ t[0][(crc ^ *p) & 0xFFu];
    return crc;
}

#ifdef WP_CRC_CLMUL
// Folding with carry-less multiplication (the method of Gopal et al., "Fast
// CRC computation for generic polynomials using PCLMULQDQ", Intel 2009), in
// the bit-reflected domain. Four 128-bit lanes are carried across the data:
// each step multiplies a lane by x^512 mod P (split in two 64-bit halves),
// which moves it 64 bytes on, and adds the next 64 bytes. The lanes are then
// folded into one, the 128 bits reduced to 64, and a Barrett reduction gives
// the 32-bit register. len must be a multiple of 16 and at least 64.
//
// Constants (33-bit values of x^n mod P, reflected, P = 0x104C11DB7):
//   K1, K2: x^(4*128+32), x^(4*128-32)  (64-byte fold)
//   K3, K4: x^(128+32), x^(128-32)      (16-byte fold)
//   K5: x^64                            (128 to 64 bits)
//   POLY, MU: P and floor(x^64 / P)     (Barrett)
#define WP_CLMUL_TARGET __attribute__((target("pclmul,sse4.1")))

WP_CLMUL_TARGET inline __m128i load(const uint8_t* q) {
    return _mm_loadu_si128(reinterpret_cast<const __m128i*>(q));
}

// One fold: lane * k (its low half by k's low constant, its high half by k's
// high constant) + next.
WP_CLMUL_TARGET inline __m128i fold(__m128i lane, __m128i k, __m128i next) {
    __m128i lo = _mm_clmulepi64_si128(lane, k, 0x00);
    __m128i hi = _mm_clmulepi64_si128(lane, k, 0x11);
    return _mm_xor_si128(_mm_xor_si128(lo, hi), next);
}

WP_CLMUL_TARGET uint32_t crc_clmul(const uint8_t* p, size_t len, uint32_t crc) {
    const __m128i k1k2 = _mm_set_epi64x(0x01c6e41596, 0x0154442bd4);
    const __m128i k3k4 = _mm_set_epi64x(0x00ccaa009e, 0x01751997d0);
    const __m128i k5 = _mm_set_epi64x(0, 0x0163cd6124);
    const __m128i poly_mu = _mm_set_epi64x(0x01f7011641, 0x01db710641);
    const __m128i low32 = _mm_setr_epi32(-1, 0, -1, 0);

    __m128i x0 = _mm_xor_si128(load(p), _mm_cvtsi32_si128(static_cast<int>(crc)));
    __m128i x1 = load(p + 16), x2 = load(p + 32), x3 = load(p + 48);
    p += 64;
    len -= 64;
    for (; len >= 64; p += 64, len -= 64) {
        x0 = fold(x0, k1k2, load(p));
        x1 = fold(x1, k1k2, load(p + 16));
        x2 = fold(x2, k1k2, load(p + 32));
        x3 = fold(x3, k1k2, load(p + 48));
    }
    x0 = fold(x0, k3k4, x1);
    x0 = fold(x0, k3k4, x2);
    x0 = fold(x0, k3k4, x3);
    for (; len >= 16; p += 16, len -= 16) x0 = fold(x0, k3k4, load(p));

    // 128 bits to 64: the low half times K4 added to the high half, then the
    // low 32 bits of that times K5 added to the rest.
    __m128i t = _mm_clmulepi64_si128(x0, k3k4, 0x10);
    x0 = _mm_xor_si128(_mm_srli_si128(x0, 8), t);
    t = _mm_srli_si128(x0, 4);
    x0 = _mm_clmulepi64_si128(_mm_and_si128(x0, low32), k5, 0x00);
    x0 = _mm_xor_si128(x0, t);

    // Barrett reduction to 32 bits.
    t = _mm_clmulepi64_si128(_mm_and_si128(x0, low32), poly_mu, 0x10);
    t = _mm_clmulepi64_si128(_mm_and_si128(t, low32), poly_mu, 0x00);
    x0 = _mm_xor_si128(x0, t);
    return static_cast<uint32_t>(_mm_extract_epi32(x0, 1));
}

bool have_clmul() {
    static const bool yes = __builtin_cpu_supports("pclmul") && __builtin_cpu_supports("sse4.1");
    return yes;
}
#endif

}  // namespace

void crc_init() {
    fill(crc_table);
}

uint32_t crc_update(const void* data, size_t len, uint32_t crc) {
    const uint8_t* p = static_cast<const uint8_t*>(data);
#ifdef WP_CRC_CLMUL
    // Short pieces are not worth setting up the lanes for.
    if (len >= 256 && have_clmul()) {
        size_t n = len & ~static_cast<size_t>(15);
        crc = crc_clmul(p, n, crc);
        p += n;
        len -= n;
    }
#endif
    return crc_slice8(p, len, crc);
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
