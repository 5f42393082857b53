// MD5 (RFC 1321) and HMAC-MD5 (RFC 2104), as the CRAM-MD5 login needs them.
//
// Small and allocation-free; the digest is always 16 bytes. Not meant for
// anything that needs a secure hash.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr size_t MD5_LEN = 16;

struct Md5 {
    uint32_t h[4];
    uint64_t total;     // bytes hashed so far
    uint8_t block[64];  // a partial block
    size_t fill;        // bytes in block
};

void md5_init(Md5& m);
void md5_update(Md5& m, const void* data, size_t n);
void md5_final(Md5& m, uint8_t out[MD5_LEN]);
// The digest of one buffer.
void md5(const void* data, size_t n, uint8_t out[MD5_LEN]);
// HMAC-MD5 of msg under key; a key longer than 64 bytes is replaced by its
// MD5 digest first.
void hmac_md5(const uint8_t* key, size_t key_len, const uint8_t* msg, size_t msg_len,
              uint8_t out[MD5_LEN]);
