// The Deflate decoder against zlib as an oracle, and every malformed stream
// it must refuse, each built bit by bit.
#include "tosser/inflate.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <map>
#include <random>
#include <string>
#include <vector>

#include "tosser/deflate_writer.h"

using wptest::BitWriter;

namespace {

std::vector<uint8_t> zdeflate(const std::vector<uint8_t>& data, int level, int strategy) {
    z_stream z{};
    EXPECT_EQ(deflateInit2(&z, level, Z_DEFLATED, -15, 8, strategy), Z_OK);
    std::vector<uint8_t> out(deflateBound(&z, data.size()) + 16);
    z.next_in = const_cast<Bytef*>(data.data());
    z.avail_in = static_cast<uInt>(data.size());
    z.next_out = out.data();
    z.avail_out = static_cast<uInt>(out.size());
    EXPECT_EQ(deflate(&z, Z_FINISH), Z_STREAM_END);
    out.resize(z.total_out);
    deflateEnd(&z);
    return out;
}

// Echomail-like text: kludges, quoted lines, SEEN-BY, CR line ends.
std::vector<uint8_t> packet_text(size_t n, uint32_t rng_start) {
    static const char* words[] = {"the",   "point",      "boss",  "echo",    "mail",   "SEEN-BY:",
                                  "1/100", "2:240",      "Hello", "toss",    "bundle", "\x01MSGID:",
                                  "---",   " * Origin:", "re:",   "netmail", "JAM",    "packet"};
    std::mt19937 rng(rng_start);
    std::vector<uint8_t> out;
    while (out.size() < n) {
        const char* w = words[rng() % (sizeof words / sizeof words[0])];
        out.insert(out.end(), w, w + strlen(w));
        out.push_back(rng() % 9 == 0 ? '\r' : ' ');
    }
    out.resize(n);
    return out;
}

std::vector<uint8_t> random_bytes(size_t n, uint32_t rng_start) {
    std::mt19937 rng(rng_start);
    std::vector<uint8_t> out(n);
    for (auto& b : out) b = static_cast<uint8_t>(rng());
    return out;
}

void expect_round_trip(const std::vector<uint8_t>& data, int level, int strategy) {
    std::vector<uint8_t> z = zdeflate(data, level, strategy);
    std::vector<uint8_t> out(data.size() + 1);
    InflateErr err;
    int64_t n = inflate(z.data(), z.size(), out.data(), data.size(), &err);
    ASSERT_EQ(n, static_cast<int64_t>(data.size()))
        << "level " << level << " strategy " << strategy << ": " << inflate_err_name(err);
    out.resize(data.size());
    ASSERT_TRUE(out == data) << "level " << level << " strategy " << strategy;
    if (!data.empty()) {
        // One byte less room must fail, never write past the capacity.
        EXPECT_EQ(inflate(z.data(), z.size(), out.data(), data.size() - 1, &err), -1);
        EXPECT_TRUE(err == InflateErr::OutputFull || err == InflateErr::StoredOverrun)
            << inflate_err_name(err);
    }
}

TEST(Inflate, ZlibEveryLevelAndStrategy) {
    const int strategies[] = {Z_DEFAULT_STRATEGY, Z_FILTERED, Z_HUFFMAN_ONLY, Z_RLE, Z_FIXED};
    std::vector<std::vector<uint8_t>> inputs = {
        packet_text(150000, 1), random_bytes(70000, 2), packet_text(1, 3), {}};
    // Long runs and a mixture of text and noise.
    std::vector<uint8_t> mixed(40000, 'x');
    auto noise = random_bytes(30000, 4);
    mixed.insert(mixed.end(), noise.begin(), noise.end());
    auto text = packet_text(50000, 5);
    mixed.insert(mixed.end(), text.begin(), text.end());
    inputs.push_back(mixed);
    for (const auto& data : inputs)
        for (int s : strategies)
            for (int level = 0; level <= 9; ++level) expect_round_trip(data, level, s);
}

TEST(Inflate, ZlibRandomSizes) {
    std::mt19937 rng(42);
    const int strategies[] = {Z_DEFAULT_STRATEGY, Z_FILTERED, Z_HUFFMAN_ONLY, Z_RLE, Z_FIXED};
    for (int i = 0; i < 60; ++i) {
        size_t n = rng() % (i < 30 ? 600 : 300000);
        std::vector<uint8_t> data =
            (i % 3 == 0) ? random_bytes(n, rng()) : packet_text(n, static_cast<uint32_t>(rng()));
        expect_round_trip(data, static_cast<int>(rng() % 10), strategies[rng() % 5]);
    }
}

// ---- Hand-made streams ----------------------------------------------------

// Fixed-code literal/length and distance codes.
void fixed_lit(BitWriter& w, int sym) {
    if (sym < 144)
        w.code(0x30u + sym, 8);
    else if (sym < 256)
        w.code(0x190u + (sym - 144), 9);
    else if (sym < 280)
        w.code(static_cast<uint32_t>(sym - 256), 7);
    else
        w.code(0xC0u + (sym - 280), 8);
}
void fixed_dist(BitWriter& w, int sym) {
    w.code(static_cast<uint32_t>(sym), 5);
}
void fixed_start(BitWriter& w) {
    w.put(1, 1);
    w.put(1, 2);
}

// A dynamic block with the given literal/length and distance lengths (maps
// of symbol -> length), emitting (literal/length symbol, extra, distance
// symbol, extra) tuples; a distance symbol of -1 means none.
struct Sym {
    int lit;
    int lit_extra_bits = 0;
    int dist = -1;
    int dist_extra_bits = 0;
};
std::vector<uint8_t> dyn_block(const std::map<int, int>& lit, int nlen,
                               const std::map<int, int>& dist, int ndist,
                               const std::vector<Sym>& syms) {
    std::vector<int> ll(nlen, 0), dl(ndist, 0);
    for (auto [s, l] : lit) ll[s] = l;
    for (auto [s, l] : dist) dl[s] = l;
    std::vector<int> all = ll;
    all.insert(all.end(), dl.begin(), dl.end());
    BitWriter w;
    wptest::dynamic_header(w, true, nlen, ndist, wptest::full_cl_code(),
                           wptest::literal_lengths(all));
    auto lc = wptest::canonical_codes(ll);
    auto dc = wptest::canonical_codes(dl);
    for (const Sym& s : syms) {
        w.code(lc[s.lit], ll[s.lit]);
        w.put(0, s.lit_extra_bits);
        if (s.dist >= 0) {
            w.code(dc[s.dist], dl[s.dist]);
            w.put(0, s.dist_extra_bits);
        }
    }
    return w.done();
}

struct BadCase {
    const char* name;
    std::vector<uint8_t> stream;
    size_t cap;
    InflateErr want;
};

std::vector<uint8_t> stored(bool last, std::vector<uint8_t> head_and_data) {
    BitWriter w;
    w.put(last ? 1 : 0, 1);
    w.put(0, 2);
    w.bytes(head_and_data);
    return w.done();
}

std::vector<BadCase> bad_cases() {
    std::vector<BadCase> c;
    c.push_back({"empty input", {}, 10, InflateErr::InputEnd});
    c.push_back({"block type 3", {0x07}, 10, InflateErr::BlockType3});
    c.push_back({"stored check word", stored(true, {5, 0, 0, 0, 'a', 'b', 'c', 'd', 'e'}), 10,
                 InflateErr::StoredLen});
    c.push_back({"stored past input", stored(true, {5, 0, 0xFA, 0xFF, 'a', 'b'}), 10,
                 InflateErr::StoredOverrun});
    c.push_back({"stored past output", stored(true, {5, 0, 0xFA, 0xFF, 'a', 'b', 'c', 'd', 'e'}), 4,
                 InflateErr::StoredOverrun});
    c.push_back({"stored header cut", stored(true, {5, 0}), 10, InflateErr::InputEnd});
    c.push_back({"no last block", stored(false, {0, 0, 0xFF, 0xFF}), 10, InflateErr::InputEnd});
    {
        BitWriter w;
        fixed_start(w);
        fixed_lit(w, 'a');
        c.push_back({"fixed block without end", w.done(), 10, InflateErr::InputEnd});
    }
    {
        BitWriter w;
        fixed_start(w);
        fixed_lit(w, 'a');
        fixed_lit(w, 286);
        c.push_back({"length symbol 286", w.done(), 10, InflateErr::BadLengthSym});
    }
    {
        BitWriter w;
        fixed_start(w);
        fixed_lit(w, 'a');
        fixed_lit(w, 257);
        fixed_dist(w, 30);
        c.push_back({"distance symbol 30", w.done(), 10, InflateErr::BadDistSym});
    }
    {
        BitWriter w;
        fixed_start(w);
        fixed_lit(w, 'a');
        fixed_lit(w, 257);
        fixed_dist(w, 1);  // distance 2, one byte produced
        fixed_lit(w, 256);
        c.push_back({"distance before output start", w.done(), 10, InflateErr::DistTooFar});
    }
    {
        BitWriter w;
        fixed_start(w);
        fixed_lit(w, 'a');
        fixed_lit(w, 'b');
        fixed_lit(w, 256);
        c.push_back({"literal past capacity", w.done(), 1, InflateErr::OutputFull});
    }
    {
        BitWriter w;
        fixed_start(w);
        fixed_lit(w, 'a');
        fixed_lit(w, 257);
        fixed_dist(w, 0);
        fixed_lit(w, 256);
        c.push_back({"match past capacity", w.done(), 3, InflateErr::OutputFull});
    }
    {
        BitWriter w;
        wptest::dynamic_header(w, true, 287, 1, wptest::full_cl_code(), {});
        c.push_back({"287 literal/length codes", w.done(), 10, InflateErr::TooManyCodes});
    }
    {
        BitWriter w;
        wptest::dynamic_header(w, true, 257, 31, wptest::full_cl_code(), {});
        c.push_back({"31 distance codes", w.done(), 10, InflateErr::TooManyCodes});
    }
    {
        std::vector<int> cl(19, 0);
        cl[0] = 1;
        BitWriter w;
        wptest::dynamic_header(w, true, 257, 1, cl, {});
        c.push_back({"code-length code incomplete", w.done(), 10, InflateErr::CodeLenCode});
    }
    {
        std::vector<int> cl(19, 0);
        cl[0] = cl[1] = cl[2] = 1;
        BitWriter w;
        wptest::dynamic_header(w, true, 257, 1, cl, {});
        c.push_back({"code-length code over-subscribed", w.done(), 10, InflateErr::CodeLenCode});
    }
    {
        BitWriter w;
        wptest::dynamic_header(w, true, 257, 1, std::vector<int>(19, 0), {});
        c.push_back({"code-length code empty", w.done(), 10, InflateErr::CodeLenCode});
    }
    {
        BitWriter w;
        wptest::dynamic_header(w, true, 257, 1, wptest::full_cl_code(), {{16, 0}});
        c.push_back({"repeat as first length", w.done(), 10, InflateErr::RepeatFirst});
    }
    {
        BitWriter w;
        wptest::dynamic_header(w, true, 257, 1, wptest::full_cl_code(), {{18, 127}, {18, 127}});
        c.push_back({"repeat past the lengths", w.done(), 10, InflateErr::RepeatPast});
    }
    c.push_back({"no end-of-block code", dyn_block({{'a', 1}, {'b', 1}}, 257, {{0, 1}}, 1, {}), 10,
                 InflateErr::NoEndOfBlock});
    c.push_back({"literal/length over-subscribed",
                 dyn_block({{'a', 1}, {'b', 1}, {256, 1}}, 257, {{0, 1}}, 1, {}), 10,
                 InflateErr::LitLenCode});
    c.push_back({"literal/length incomplete, two codes",
                 dyn_block({{'a', 1}, {256, 2}}, 257, {{0, 1}}, 1, {}), 10,
                 InflateErr::LitLenCode});
    c.push_back({"distance incomplete, two codes",
                 dyn_block({{'a', 1}, {256, 1}}, 257, {{0, 1}, {1, 2}}, 2, {}), 10,
                 InflateErr::DistCode});
    c.push_back({"distance over-subscribed",
                 dyn_block({{'a', 1}, {256, 1}}, 257, {{0, 1}, {1, 1}, {2, 1}}, 3, {}), 10,
                 InflateErr::DistCode});
    c.push_back(
        {"match with no distance codes",
         dyn_block({{'a', 2}, {257, 2}, {256, 2}, {'b', 2}}, 258, {}, 1, {{'a'}, {257, 0, 0}}), 10,
         InflateErr::BadCode});
    {
        // Single literal/length code (end-of-block, code 0); a 1 bit is no code.
        std::vector<int> ll(257, 0);
        ll[256] = 1;
        std::vector<int> all = ll;
        all.push_back(1);
        BitWriter w;
        wptest::dynamic_header(w, true, 257, 1, wptest::full_cl_code(),
                               wptest::literal_lengths(all));
        w.code(1, 1);
        c.push_back({"unused code of a single-code table", w.done(), 10, InflateErr::BadCode});
    }
    return c;
}

TEST(Inflate, RefusesMalformedStreams) {
    for (const BadCase& c : bad_cases()) {
        std::vector<uint8_t> out(c.cap + 16, 0xEE);
        InflateErr err = InflateErr::Ok;
        EXPECT_EQ(inflate(c.stream.data(), c.stream.size(), out.data(), c.cap, &err), -1) << c.name;
        EXPECT_EQ(err, c.want) << c.name << ": got " << inflate_err_name(err);
        for (size_t i = c.cap; i < out.size(); ++i)
            ASSERT_EQ(out[i], 0xEE) << c.name << ": wrote past the capacity";
        // zlib refuses them too (except the capacity cases, which zlib does
        // not know about).
        if (c.want == InflateErr::OutputFull || c.want == InflateErr::StoredOverrun) continue;
        z_stream z{};
        ASSERT_EQ(inflateInit2(&z, -15), Z_OK);
        std::vector<uint8_t> zout(1000);
        z.next_in = const_cast<Bytef*>(c.stream.data());
        z.avail_in = static_cast<uInt>(c.stream.size());
        z.next_out = zout.data();
        z.avail_out = static_cast<uInt>(zout.size());
        EXPECT_NE(::inflate(&z, Z_FINISH), Z_STREAM_END) << c.name;
        inflateEnd(&z);
    }
}

struct GoodCase {
    const char* name;
    std::vector<uint8_t> stream;
    size_t cap;
    std::string want;
};

TEST(Inflate, AcceptsEdgeStreams) {
    std::vector<GoodCase> c;
    {
        auto s = stored(true, {3, 0, 0xFC, 0xFF, 'a', 'b', 'c'});
        s.push_back(0x55);  // garbage after the final block
        s.push_back(0xAA);
        c.push_back({"bytes after the final block", s, 10, "abc"});
    }
    {
        auto s = stored(false, {0, 0, 0xFF, 0xFF});
        auto t = stored(true, {2, 0, 0xFD, 0xFF, 'h', 'i'});
        s.insert(s.end(), t.begin(), t.end());
        c.push_back({"empty stored block then another", s, 2, "hi"});
    }
    {
        BitWriter w;
        fixed_start(w);
        fixed_lit(w, 'a');
        fixed_lit(w, 257);
        fixed_dist(w, 0);
        fixed_lit(w, 256);
        c.push_back({"overlapping match filling the capacity", w.done(), 4, "aaaa"});
    }
    c.push_back({"single distance code of length 1",
                 dyn_block({{'a', 2}, {257, 2}, {256, 2}, {'b', 2}}, 258, {{0, 1}}, 1,
                           {{'a'}, {257, 0, 0}, {'b'}, {256}}),
                 10, "aaaab"});
    c.push_back(
        {"literals only, no distance code",
         dyn_block({{'a', 2}, {257, 2}, {256, 2}, {'b', 2}}, 258, {}, 1, {{'a'}, {'b'}, {256}}), 10,
         "ab"});
    c.push_back(
        {"only the end-of-block code", dyn_block({{256, 1}}, 257, {{0, 1}}, 1, {{256}}), 0, ""});
    for (const GoodCase& g : c) {
        std::vector<uint8_t> out(g.cap + 1);
        InflateErr err;
        int64_t n = inflate(g.stream.data(), g.stream.size(), out.data(), g.cap, &err);
        ASSERT_EQ(n, static_cast<int64_t>(g.want.size()))
            << g.name << ": " << inflate_err_name(err);
        EXPECT_EQ(std::string(out.begin(), out.begin() + n), g.want) << g.name;
        // zlib agrees on the bytes.
        z_stream z{};
        ASSERT_EQ(inflateInit2(&z, -15), Z_OK);
        std::vector<uint8_t> zout(100);
        z.next_in = const_cast<Bytef*>(g.stream.data());
        z.avail_in = static_cast<uInt>(g.stream.size());
        z.next_out = zout.data();
        z.avail_out = static_cast<uInt>(zout.size());
        EXPECT_EQ(::inflate(&z, Z_FINISH), Z_STREAM_END) << g.name;
        EXPECT_EQ(std::string(zout.begin(), zout.begin() + z.total_out), g.want) << g.name;
        inflateEnd(&z);
    }
}

// Long codes (over the lookup table's width) are decoded by the slow path:
// a skewed literal distribution makes zlib emit codes up to 15 bits.
TEST(Inflate, LongCodes) {
    std::vector<uint8_t> data;
    std::mt19937 rng(7);
    for (int i = 0; i < 200000; ++i) {
        uint32_t r = rng();
        int sym = 0;
        while ((r & 1) && sym < 255) {
            r >>= 1;
            ++sym;
            if (r == 0) r = rng();
        }
        data.push_back(static_cast<uint8_t>(sym));
    }
    expect_round_trip(data, 9, Z_HUFFMAN_ONLY);
    expect_round_trip(data, 6, Z_DEFAULT_STRATEGY);
}

}  // namespace
