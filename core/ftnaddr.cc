#include "core/ftnaddr.h"

#include "core/strutil.h"

namespace {

bool is_digit(char c) {
    return c >= '0' && c <= '9';
}

// One number of an address: a digit first, at most 65535.
const char* read_part(const char* p, uint32_t& out) {
    if (!is_digit(*p)) return nullptr;
    uint32_t v = 0;
    while (is_digit(*p)) {
        v = v * 10 + static_cast<uint32_t>(*p - '0');
        if (v > 65535) return nullptr;
        ++p;
    }
    out = v;
    return p;
}

}  // namespace

size_t ftn_fmt(char* buf, const ftn_addr& a) {
    size_t n = 0;
    n += static_cast<size_t>(u64_to_dec(a.zone, buf + n));
    buf[n++] = ':';
    n += static_cast<size_t>(u64_to_dec(a.net, buf + n));
    buf[n++] = '/';
    n += static_cast<size_t>(u64_to_dec(a.node, buf + n));
    if (a.point != 0) {
        buf[n++] = '.';
        n += static_cast<size_t>(u64_to_dec(a.point, buf + n));
    }
    buf[n] = '\0';
    return n;
}

int ftn_parse(const char* text, ftn_addr& a) {
    a = ftn_addr{};
    const char* p = text;
    while (*p == ' ' || *p == '\t') ++p;
    ftn_addr r;
    if ((p = read_part(p, r.zone)) == nullptr || *p++ != ':') return 0;
    if ((p = read_part(p, r.net)) == nullptr || *p++ != '/') return 0;
    if ((p = read_part(p, r.node)) == nullptr) return 0;
    if (*p == '.' && (p = read_part(p + 1, r.point)) == nullptr) return 0;
    if (*p != '\0' && *p != '@' && *p != ' ' && *p != '\t' && *p != '\r') return 0;
    a = r;
    return 1;
}
