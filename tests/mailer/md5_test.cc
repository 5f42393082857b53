// MD5 and HMAC-MD5 against the published test vectors (RFC 1321, RFC 2202).
#include "mailer/md5.h"

#include <gtest/gtest.h>

#include <string>

#include "core/strutil.h"

namespace {

std::string hex(const uint8_t* d) {
    char buf[2 * MD5_LEN + 1];
    hex_encode(buf, d, MD5_LEN);
    return buf;
}

std::string md5_hex(const std::string& s) {
    uint8_t d[MD5_LEN];
    md5(s.data(), s.size(), d);
    return hex(d);
}

std::string hmac_hex(const std::string& key, const std::string& msg) {
    uint8_t d[MD5_LEN];
    hmac_md5(reinterpret_cast<const uint8_t*>(key.data()), key.size(),
             reinterpret_cast<const uint8_t*>(msg.data()), msg.size(), d);
    return hex(d);
}

TEST(Md5, Rfc1321Suite) {
    struct {
        const char* in;
        const char* out;
    } cases[] = {
        {"", "d41d8cd98f00b204e9800998ecf8427e"},
        {"a", "0cc175b9c0f1b6a831c399e269772661"},
        {"abc", "900150983cd24fb0d6963f7d28e17f72"},
        {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
        {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
        {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789",
         "d174ab98d277d9f5a5611c2c9f419d9f"},
        {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
         "57edf4a22be3c955ac49da2e2107b67a"},
    };
    for (const auto& c : cases) EXPECT_EQ(md5_hex(c.in), c.out) << c.in;
}

TEST(Md5, PiecewiseUpdateEqualsOneShot) {
    // Lengths around the 56- and 64-byte padding boundaries, fed in odd pieces.
    for (size_t len : {55u, 56u, 63u, 64u, 65u, 119u, 120u, 1000u}) {
        std::string s(len, '\0');
        for (size_t i = 0; i < len; ++i) s[i] = static_cast<char>(i * 7 + 3);
        Md5 m;
        md5_init(m);
        for (size_t p = 0; p < len; p += 13)
            md5_update(m, s.data() + p, len - p < 13 ? len - p : 13);
        uint8_t d[MD5_LEN];
        md5_final(m, d);
        EXPECT_EQ(hex(d), md5_hex(s)) << len;
    }
}

TEST(HmacMd5, Rfc2202Suite) {
    EXPECT_EQ(hmac_hex(std::string(16, '\x0b'), "Hi There"), "9294727a3638bb1c13f48ef8158bfc9d");
    EXPECT_EQ(hmac_hex("Jefe", "what do ya want for nothing?"), "750c783e6ab0b503eaa86e310a5db738");
    EXPECT_EQ(hmac_hex(std::string(16, '\xaa'), std::string(50, '\xdd')),
              "56be34521d144c88dbb8c733f0e8b3f6");
    std::string key4;
    for (int i = 1; i <= 25; ++i) key4.push_back(static_cast<char>(i));
    EXPECT_EQ(hmac_hex(key4, std::string(50, '\xcd')), "697eaf0aca3a3aea3a75164746ffaa79");
    EXPECT_EQ(hmac_hex(std::string(16, '\x0c'), "Test With Truncation"),
              "56461ef2342edc00f9bab995690efd4c");
    // Keys longer than a block are hashed first.
    EXPECT_EQ(
        hmac_hex(std::string(80, '\xaa'), "Test Using Larger Than Block-Size Key - Hash Key First"),
        "6b1ab7fe4bd7bf8f0b62e6ce61b9d0cd");
    EXPECT_EQ(hmac_hex(std::string(80, '\xaa'),
                       "Test Using Larger Than Block-Size Key and Larger Than One Block-Size Data"),
              "6f630fad67cda0ee1fb1f562db3aa53e");
}

}  // namespace
