// Test helper: writes Deflate streams bit by bit, so that tests can build
// exactly the malformed blocks a decoder must refuse.
#pragma once

#include <cstdint>
#include <utility>
#include <vector>

namespace wptest {

class BitWriter {
  public:
    // Plain bits, least significant first (header fields, extra bits).
    void put(uint32_t v, int bits) {
        for (int i = 0; i < bits; ++i) bit((v >> i) & 1u);
    }
    // A Huffman code: most significant bit first.
    void code(uint32_t c, int len) {
        for (int i = len - 1; i >= 0; --i) bit((c >> i) & 1u);
    }
    void align() {
        while (n_ != 0) bit(0);
    }
    void bytes(const std::vector<uint8_t>& b) {
        align();
        out_.insert(out_.end(), b.begin(), b.end());
    }
    std::vector<uint8_t> done() {
        align();
        return out_;
    }

  private:
    void bit(uint32_t b) {
        if (n_ == 0) out_.push_back(0);
        out_.back() = static_cast<uint8_t>(out_.back() | (b << n_));
        n_ = (n_ + 1) & 7;
    }
    std::vector<uint8_t> out_;
    int n_ = 0;
};

// Canonical codes for a list of lengths (0 = no code).
inline std::vector<uint32_t> canonical_codes(const std::vector<int>& lens) {
    int count[16] = {0};
    for (int l : lens) count[l]++;
    count[0] = 0;
    uint32_t next[17] = {0};
    uint32_t code = 0;
    for (int len = 1; len <= 15; ++len) {
        code = (code + count[len - 1]) << 1;
        next[len] = code;
    }
    std::vector<uint32_t> out(lens.size(), 0);
    for (size_t s = 0; s < lens.size(); ++s)
        if (lens[s] != 0) out[s] = next[lens[s]]++;
    return out;
}

// Writes a dynamic block header: HLIT/HDIST/HCLEN, the code-length code
// (cl_lens, 19 entries in symbol order) and the sequence of code-length
// symbols with their extra-bit values.
inline void dynamic_header(BitWriter& w, bool last, int nlen, int ndist,
                           const std::vector<int>& cl_lens,
                           const std::vector<std::pair<int, int>>& seq, int ncode = 19) {
    static const int order[19] = {16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1, 15};
    w.put(last ? 1 : 0, 1);
    w.put(2, 2);
    w.put(static_cast<uint32_t>(nlen - 257), 5);
    w.put(static_cast<uint32_t>(ndist - 1), 5);
    w.put(static_cast<uint32_t>(ncode - 4), 4);
    for (int i = 0; i < ncode; ++i) w.put(static_cast<uint32_t>(cl_lens[order[i]]), 3);
    std::vector<uint32_t> cl = canonical_codes(cl_lens);
    for (auto [sym, extra] : seq) {
        w.code(cl[sym], cl_lens[sym]);
        if (sym == 16) w.put(static_cast<uint32_t>(extra), 2);
        if (sym == 17) w.put(static_cast<uint32_t>(extra), 3);
        if (sym == 18) w.put(static_cast<uint32_t>(extra), 7);
    }
}

// A complete code-length code: symbols 0-12 with 4 bits, 13-18 with 5 bits.
inline std::vector<int> full_cl_code() {
    std::vector<int> l(19, 4);
    for (int s = 13; s < 19; ++s) l[s] = 5;
    return l;
}

// The code-length symbol sequence that writes `lens` one by one.
inline std::vector<std::pair<int, int>> literal_lengths(const std::vector<int>& lens) {
    std::vector<std::pair<int, int>> seq;
    for (int l : lens) seq.push_back({l, 0});
    return seq;
}

}  // namespace wptest
