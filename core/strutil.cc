#include "core/strutil.h"

#include <cstring>

#include "platform/platform.h"

size_t str_len(const char* s) {
    size_t n = 0;
    while (s[n] != '\0') ++n;
    return n;
}

size_t str_copy(char* dst, const char* src, size_t cap) {
    if (cap == 0) return 0;
    size_t n = 0;
    while (n + 1 < cap && src[n] != '\0') {
        dst[n] = src[n];
        ++n;
    }
    dst[n] = '\0';
    return n;
}

void str_cat(char* dst, const char* src, size_t cap) {
    size_t n = 0;
    while (n < cap && dst[n] != '\0') ++n;
    if (n >= cap) return;
    str_copy(dst + n, src, cap - n);
}

static inline unsigned char fold(unsigned char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<unsigned char>(c + 32) : c;
}

int str_icmp(const char* a, const char* b) {
    const auto* x = reinterpret_cast<const unsigned char*>(a);
    const auto* y = reinterpret_cast<const unsigned char*>(b);
    for (;; ++x, ++y) {
        if (fold(*x) != fold(*y)) return 1;
        if (*x == 0) return 0;
    }
}

const char* str_chr(const char* s, char c) {
    for (;; ++s) {
        if (*s == c) return s;
        if (*s == '\0') return nullptr;
    }
}

const char* str_find(const char* hay, const char* needle) {
    if (needle[0] == '\0') return hay;
    return std::strstr(hay, needle);
}

void mem_copy(void* dst, const void* src, size_t n) {
    if (n > 0) std::memmove(dst, src, n);
}

int u64_to_dec(uint64_t value, char* buf) {
    char tmp[21];
    int n = 0;
    do {
        tmp[n++] = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value != 0);
    for (int i = 0; i < n; ++i) buf[i] = tmp[n - 1 - i];
    buf[n] = '\0';
    return n;
}

uint64_t parse_u64(const char* s, const char** end) {
    while (*s == ' ') ++s;
    uint64_t v = 0;
    while (*s >= '0' && *s <= '9') {
        v = v * 10 + static_cast<uint64_t>(*s - '0');
        ++s;
    }
    if (end != nullptr) *end = s;
    return v;
}

int hex_nibble(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

void hex_encode(char* dst, const uint8_t* src, size_t n) {
    static const char digits[] = "0123456789abcdef";
    for (size_t i = 0; i < n; ++i) {
        dst[2 * i] = digits[src[i] >> 4];
        dst[2 * i + 1] = digits[src[i] & 15];
    }
    dst[2 * n] = '\0';
}

void path_join(char* dst, const char* dir, const char* name) {
    char tmp[WP_PATH_MAX];
    str_copy(tmp, dir, sizeof tmp);
    size_t n = str_len(tmp);
    if (n > 0 && tmp[n - 1] != '/' && tmp[n - 1] != '\\') str_cat(tmp, PF_DIR_SEP, sizeof tmp);
    str_cat(tmp, name, sizeof tmp);
    str_copy(dst, tmp, WP_PATH_MAX);
}

size_t wlen(const char16_t* s) {
    size_t n = 0;
    while (s[n] != 0) ++n;
    return n;
}

void wcopy(char16_t* dst, const char16_t* src, size_t cap) {
    if (cap == 0) return;
    size_t n = 0;
    while (n + 1 < cap && src[n] != 0) {
        dst[n] = src[n];
        ++n;
    }
    dst[n] = 0;
}

void wcat(char16_t* dst, const char16_t* src, size_t cap) {
    size_t n = 0;
    while (n < cap && dst[n] != 0) ++n;
    if (n >= cap) return;
    wcopy(dst + n, src, cap - n);
}

void wnum(uint64_t value, char16_t* dst) {
    char tmp[21];
    int n = u64_to_dec(value, tmp);
    for (int i = 0; i <= n; ++i) dst[i] = static_cast<char16_t>(tmp[i]);
}

bool str_names_device(const char* name) {
    size_t stem = std::strcspn(name, ".");
    while (stem > 0 && name[stem - 1] == ' ') --stem;
    char s[8];
    if (stem < 3 || stem >= sizeof s) return false;
    for (size_t i = 0; i < stem; ++i) {
        char c = name[i];
        s[i] = (c >= 'a' && c <= 'z') ? static_cast<char>(c - 32) : c;
    }
    s[stem] = '\0';
    static const char* const fixed[] = {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"};
    for (const char* d : fixed)
        if (std::strcmp(s, d) == 0) return true;
    return stem == 4 && (std::strncmp(s, "COM", 3) == 0 || std::strncmp(s, "LPT", 3) == 0) &&
           s[3] >= '1' && s[3] <= '9';
}
