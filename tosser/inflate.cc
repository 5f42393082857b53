// Deflate decoder. Format notes:
// - Bits are taken from the input least significant bit first; Huffman codes
//   are stored with their first bit in the lowest position, so a code read
//   bit by bit arrives most significant bit first (hence the reversed index
//   of the lookup table).
// - A code is decoded through a 2^FAST_BITS lookup table indexed by the next
//   input bits; codes longer than FAST_BITS (rare in text) take the canonical
//   bit-by-bit walk over the counts per length.
// - The bit buffer is refilled eight bytes at a time where the input allows;
//   the bits above the count may hold a copy of the next input byte, which a
//   later refill ORs into the same place again, so they never disturb.
// - A stored block begins at the next byte boundary; whole bytes still in the
//   bit buffer are given back to the input first.
// - Matches may overlap their own output (distance < length): such copies run
//   forward so that the repeated bytes are the ones just written.
#include "tosser/inflate.h"

#include <cstring>

namespace {

constexpr int MAX_BITS = 15;
constexpr int FAST_BITS = 10;
constexpr uint32_t FAST_MASK = (1u << FAST_BITS) - 1;
constexpr int MAX_LCODES = 286;
constexpr int MAX_DCODES = 30;
constexpr int FIX_LCODES = 288;

// One canonical Huffman code: counts per length, symbols in canonical order,
// and the lookup table. A table entry is (length << 9) | symbol, 0 when the
// index is the prefix of a longer code or of no code at all.
struct Huff {
    uint16_t count[MAX_BITS + 1];
    uint16_t symbol[FIX_LCODES];
    uint16_t fast[1u << FAST_BITS];
    int ncodes;  // symbols with a non-zero length
};

const uint16_t LEN_BASE[29] = {3,  4,  5,  6,  7,  8,  9,  10, 11,  13,  15,  17,  19,  23, 27,
                               31, 35, 43, 51, 59, 67, 83, 99, 115, 131, 163, 195, 227, 258};
const uint8_t LEN_EXTRA[29] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2,
                               2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
const uint16_t DIST_BASE[30] = {1,    2,    3,    4,    5,    7,    9,    13,    17,    25,
                                33,   49,   65,   97,   129,  193,  257,  385,   513,   769,
                                1025, 1537, 2049, 3073, 4097, 6145, 8193, 12289, 16385, 24577};
const uint8_t DIST_EXTRA[30] = {0, 0, 0, 0, 1, 1, 2, 2,  3,  3,  4,  4,  5,  5,  6,
                                6, 7, 7, 8, 8, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13};
// Order in which the code-length code's lengths are transmitted.
const uint8_t CL_ORDER[19] = {16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1, 15};

// Builds h from n code lengths (each 0..15). Returns 0 for a complete code
// (also for one without any code), a positive number for an incomplete one
// and a negative number for an over-subscribed one; in the last case the
// table is not usable.
int huff_build(Huff& h, const uint8_t* lens, int n) {
    for (auto& c : h.count) c = 0;
    for (int s = 0; s < n; ++s) h.count[lens[s]]++;
    h.ncodes = n - h.count[0];
    int left = 1;
    for (int len = 1; len <= MAX_BITS; ++len) {
        left <<= 1;
        left -= h.count[len];
        if (left < 0) return left;
    }
    uint16_t offs[MAX_BITS + 2];
    uint16_t next_code[MAX_BITS + 2];
    offs[1] = 0;
    next_code[1] = 0;
    for (int len = 1; len <= MAX_BITS; ++len) {
        offs[len + 1] = static_cast<uint16_t>(offs[len] + h.count[len]);
        next_code[len + 1] = static_cast<uint16_t>((next_code[len] + h.count[len]) << 1);
    }
    std::memset(h.fast, 0, sizeof h.fast);
    for (int s = 0; s < n; ++s) {
        int len = lens[s];
        if (len == 0) continue;
        h.symbol[offs[len]++] = static_cast<uint16_t>(s);
        uint32_t code = next_code[len]++;
        if (len > FAST_BITS) continue;
        uint32_t rev = 0;
        for (int i = 0; i < len; ++i) rev |= ((code >> i) & 1u) << (len - 1 - i);
        uint16_t entry = static_cast<uint16_t>((len << 9) | s);
        for (uint32_t i = rev; i <= FAST_MASK; i += 1u << len) h.fast[i] = entry;
    }
    return left == 0 || h.ncodes == 0 ? 0 : left;
}

struct Fixed {
    Huff lit;
    Huff dist;
    Fixed() {
        uint8_t lens[FIX_LCODES];
        int s = 0;
        for (; s < 144; ++s) lens[s] = 8;
        for (; s < 256; ++s) lens[s] = 9;
        for (; s < 280; ++s) lens[s] = 7;
        for (; s < FIX_LCODES; ++s) lens[s] = 8;
        huff_build(lit, lens, FIX_LCODES);
        for (s = 0; s < 32; ++s) lens[s] = 5;
        huff_build(dist, lens, 32);
    }
};

const Fixed& fixed_codes() {
    static const Fixed f;  // built once, on first use
    return f;
}

struct Bits {
    const uint8_t* in;
    size_t in_len;
    size_t pos;  // next byte not yet in the bit buffer
    uint64_t buf;
    unsigned cnt;  // valid bits in buf
};

inline void refill(Bits& b) {
    if (b.in_len - b.pos >= 8) {
        const uint8_t* p = b.in + b.pos;
        uint64_t v = static_cast<uint64_t>(p[0]) | (static_cast<uint64_t>(p[1]) << 8) |
                     (static_cast<uint64_t>(p[2]) << 16) | (static_cast<uint64_t>(p[3]) << 24) |
                     (static_cast<uint64_t>(p[4]) << 32) | (static_cast<uint64_t>(p[5]) << 40) |
                     (static_cast<uint64_t>(p[6]) << 48) | (static_cast<uint64_t>(p[7]) << 56);
        b.buf |= v << b.cnt;
        b.pos += (63 - b.cnt) >> 3;
        b.cnt |= 56;
        return;
    }
    while (b.cnt < 56 && b.pos < b.in_len) {  // stays below 64 bits
        b.buf |= static_cast<uint64_t>(b.in[b.pos++]) << b.cnt;
        b.cnt += 8;
    }
}

// n bits (n <= 16) into *v; false when the input is exhausted.
inline bool get_bits(Bits& b, unsigned n, uint32_t* v) {
    if (b.cnt < n) {
        refill(b);
        if (b.cnt < n) return false;
    }
    *v = static_cast<uint32_t>(b.buf & ((1u << n) - 1));
    b.buf >>= n;
    b.cnt -= n;
    return true;
}

// Canonical walk for codes longer than the table. Returns the symbol, or -1
// with *err set.
int decode_slow(Bits& b, const Huff& h, InflateErr* err) {
    if (b.cnt < MAX_BITS) refill(b);
    int code = 0, first = 0, index = 0;
    for (unsigned len = 1; len <= MAX_BITS; ++len) {
        if (len > b.cnt) {
            *err = InflateErr::InputEnd;
            return -1;
        }
        code |= static_cast<int>((b.buf >> (len - 1)) & 1u);
        int count = h.count[len];
        if (code - count < first) {
            b.buf >>= len;
            b.cnt -= len;
            return h.symbol[index + (code - first)];
        }
        index += count;
        if (index >= h.ncodes) break;  // no longer code exists
        first += count;
        first <<= 1;
        code <<= 1;
    }
    *err = InflateErr::BadCode;
    return -1;
}

inline int decode(Bits& b, const Huff& h, InflateErr* err) {
    if (b.cnt < MAX_BITS) refill(b);
    uint32_t e = h.fast[b.buf & FAST_MASK];
    if (e == 0) return decode_slow(b, h, err);
    unsigned len = e >> 9;
    if (len > b.cnt) {
        *err = InflateErr::InputEnd;
        return -1;
    }
    b.buf >>= len;
    b.cnt -= len;
    return static_cast<int>(e & 511u);
}

struct Out {
    uint8_t* p;
    size_t cap;
    size_t n;
};

InflateErr stored_block(Bits& b, Out& o) {
    // Drop the bits up to the byte boundary and give whole bytes back.
    unsigned drop = b.cnt & 7u;
    b.buf >>= drop;
    b.cnt -= drop;
    b.pos -= b.cnt >> 3;
    b.buf = 0;
    b.cnt = 0;
    if (b.in_len - b.pos < 4) return InflateErr::InputEnd;
    const uint8_t* p = b.in + b.pos;
    uint32_t len = static_cast<uint32_t>(p[0] | (p[1] << 8));
    uint32_t nlen = static_cast<uint32_t>(p[2] | (p[3] << 8));
    b.pos += 4;
    if (len != (~nlen & 0xffffu)) return InflateErr::StoredLen;
    if (len > b.in_len - b.pos || len > o.cap - o.n) return InflateErr::StoredOverrun;
    if (len > 0) std::memcpy(o.p + o.n, b.in + b.pos, len);
    b.pos += len;
    o.n += len;
    return InflateErr::Ok;
}

InflateErr codes(Bits& b, Out& o, const Huff& lit, const Huff& dist) {
    InflateErr err = InflateErr::Ok;
    uint8_t* out = o.p;
    size_t n = o.n;
    const size_t cap = o.cap;
    for (;;) {
        int sym = decode(b, lit, &err);
        if (sym < 256) {
            if (sym < 0) break;
            if (n >= cap) {
                err = InflateErr::OutputFull;
                break;
            }
            out[n++] = static_cast<uint8_t>(sym);
            continue;
        }
        if (sym == 256) break;
        sym -= 257;
        if (sym >= 29) {
            err = InflateErr::BadLengthSym;
            break;
        }
        uint32_t v;
        if (!get_bits(b, LEN_EXTRA[sym], &v)) {
            err = InflateErr::InputEnd;
            break;
        }
        size_t len = LEN_BASE[sym] + v;
        int dsym = decode(b, dist, &err);
        if (dsym < 0) break;
        if (dsym >= 30) {
            err = InflateErr::BadDistSym;
            break;
        }
        if (!get_bits(b, DIST_EXTRA[dsym], &v)) {
            err = InflateErr::InputEnd;
            break;
        }
        size_t d = DIST_BASE[dsym] + v;
        if (d > n) {
            err = InflateErr::DistTooFar;
            break;
        }
        if (len > cap - n) {
            err = InflateErr::OutputFull;
            break;
        }
        uint8_t* dst = out + n;
        const uint8_t* src = dst - d;
        if (d >= 8 && cap - n >= len + 8) {
            // Eight bytes at a time; may write up to 7 bytes past the match,
            // still inside the output and overwritten later.
            for (size_t i = 0; i < len; i += 8) std::memcpy(dst + i, src + i, 8);
        } else if (d == 1) {
            std::memset(dst, *src, len);
        } else {
            for (size_t i = 0; i < len; ++i) dst[i] = src[i];
        }
        n += len;
    }
    o.n = n;
    return err;
}

InflateErr dynamic_block(Bits& b, Out& o, Huff& lit, Huff& dist) {
    uint32_t nlen, ndist, ncode;
    if (!get_bits(b, 5, &nlen) || !get_bits(b, 5, &ndist) || !get_bits(b, 4, &ncode))
        return InflateErr::InputEnd;
    nlen += 257;
    ndist += 1;
    ncode += 4;
    if (nlen > MAX_LCODES || ndist > MAX_DCODES) return InflateErr::TooManyCodes;

    uint8_t lens[MAX_LCODES + MAX_DCODES];
    for (auto& l : lens) l = 0;
    for (uint32_t i = 0; i < ncode; ++i) {
        uint32_t v;
        if (!get_bits(b, 3, &v)) return InflateErr::InputEnd;
        lens[CL_ORDER[i]] = static_cast<uint8_t>(v);
    }
    // The code-length code must be complete; it reuses the distance table.
    if (huff_build(dist, lens, 19) != 0 || dist.ncodes == 0) return InflateErr::CodeLenCode;

    InflateErr err = InflateErr::Ok;
    uint32_t total = nlen + ndist;
    uint32_t index = 0;
    while (index < total) {
        int sym = decode(b, dist, &err);
        if (sym < 0) return err;
        if (sym < 16) {
            lens[index++] = static_cast<uint8_t>(sym);
            continue;
        }
        uint8_t len = 0;
        uint32_t rep;
        if (sym == 16) {
            if (index == 0) return InflateErr::RepeatFirst;
            len = lens[index - 1];
            if (!get_bits(b, 2, &rep)) return InflateErr::InputEnd;
            rep += 3;
        } else if (sym == 17) {
            if (!get_bits(b, 3, &rep)) return InflateErr::InputEnd;
            rep += 3;
        } else {
            if (!get_bits(b, 7, &rep)) return InflateErr::InputEnd;
            rep += 11;
        }
        if (index + rep > total) return InflateErr::RepeatPast;
        while (rep--) lens[index++] = len;
    }
    if (lens[256] == 0) return InflateErr::NoEndOfBlock;

    // An incomplete code is allowed only as a single code of length 1.
    int left = huff_build(lit, lens, static_cast<int>(nlen));
    if (left < 0 || (left > 0 && !(lit.ncodes == 1 && lit.count[1] == 1)))
        return InflateErr::LitLenCode;
    // A distance code without any code is complete: the block then holds
    // literals only, and any distance in it fails as a bad code.
    left = huff_build(dist, lens + nlen, static_cast<int>(ndist));
    if (left < 0 || (left > 0 && !(dist.ncodes == 1 && dist.count[1] == 1)))
        return InflateErr::DistCode;
    return codes(b, o, lit, dist);
}

}  // namespace

int64_t inflate(const uint8_t* in, size_t in_len, uint8_t* out, size_t out_cap, InflateErr* err) {
    Bits b{in, in_len, 0, 0, 0};
    Out o{out, out_cap, 0};
    Huff lit, dist;  // tables of the current dynamic block
    InflateErr e = InflateErr::Ok;
    uint32_t last = 0;
    do {
        uint32_t type;
        if (!get_bits(b, 1, &last) || !get_bits(b, 2, &type)) {
            e = InflateErr::InputEnd;
            break;
        }
        if (type == 0) {
            e = stored_block(b, o);
        } else if (type == 1) {
            const Fixed& f = fixed_codes();
            e = codes(b, o, f.lit, f.dist);
        } else if (type == 2) {
            e = dynamic_block(b, o, lit, dist);
        } else {
            e = InflateErr::BlockType3;
        }
    } while (e == InflateErr::Ok && !last);
    if (err) *err = e;
    return e == InflateErr::Ok ? static_cast<int64_t>(o.n) : -1;
}

const char* inflate_err_name(InflateErr e) {
    switch (e) {
        case InflateErr::Ok:
            return "ok";
        case InflateErr::InputEnd:
            return "input exhausted";
        case InflateErr::BlockType3:
            return "block type 3";
        case InflateErr::StoredLen:
            return "stored length check";
        case InflateErr::StoredOverrun:
            return "stored block too long";
        case InflateErr::TooManyCodes:
            return "too many codes";
        case InflateErr::CodeLenCode:
            return "code-length code not complete";
        case InflateErr::RepeatFirst:
            return "repeat without previous length";
        case InflateErr::RepeatPast:
            return "repeat past the lengths";
        case InflateErr::NoEndOfBlock:
            return "no end-of-block code";
        case InflateErr::LitLenCode:
            return "bad literal/length code";
        case InflateErr::DistCode:
            return "bad distance code";
        case InflateErr::BadCode:
            return "invalid code";
        case InflateErr::BadLengthSym:
            return "length symbol above 285";
        case InflateErr::BadDistSym:
            return "distance symbol above 29";
        case InflateErr::DistTooFar:
            return "distance too far back";
        case InflateErr::OutputFull:
            return "output full";
    }
    return "?";
}
