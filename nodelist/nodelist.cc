#include "nodelist/nodelist.h"

#include <array>
#include <cstring>

#include "core/charset.h"

namespace {

constexpr char CTRL_Z = 0x1A;

// kCrc[0] is the byte-at-a-time table; kCrc[k][b] is the CRC of byte b
// followed by k zero bytes, so that eight bytes are taken in one step
// (slicing by eight: the list's CRC is checked after every diff of a chain).
using CrcTables = std::array<std::array<uint16_t, 256>, 8>;
constexpr CrcTables make_crc_tables() {
    CrcTables t{};
    for (unsigned i = 0; i < 256; ++i) {
        uint16_t c = static_cast<uint16_t>(i << 8);
        for (int b = 0; b < 8; ++b)
            c = (c & 0x8000) ? static_cast<uint16_t>((c << 1) ^ 0x1021)
                             : static_cast<uint16_t>(c << 1);
        t[0][i] = c;
    }
    for (int k = 1; k < 8; ++k)
        for (unsigned i = 0; i < 256; ++i)
            t[k][i] = static_cast<uint16_t>((t[k - 1][i] << 8) ^ t[0][t[k - 1][i] >> 8]);
    return t;
}
constexpr CrcTables kCrc = make_crc_tables();

// The text up to its Ctrl-Z (or all of it).
std::string_view until_eof(std::string_view t) {
    size_t z = t.find(CTRL_Z);
    return z == std::string_view::npos ? t : t.substr(0, z);
}

// Line splitting: `pos` moves past the line and its LF; `line` is the line
// without CR LF, `whole` with them.
bool next_line(std::string_view t, size_t& pos, std::string_view& line, std::string_view& whole) {
    if (pos >= t.size()) return false;
    size_t lf = t.find('\n', pos);
    size_t end = lf == std::string_view::npos ? t.size() : lf + 1;
    whole = t.substr(pos, end - pos);
    size_t n = lf == std::string_view::npos ? t.size() - pos : lf - pos;
    if (n > 0 && t[pos + n - 1] == '\r') --n;
    line = t.substr(pos, n);
    pos = end;
    return true;
}

char lower(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool iequal(std::string_view a, const char* b) {
    size_t n = std::strlen(b);
    if (a.size() != n) return false;
    for (size_t i = 0; i < n; ++i)
        if (lower(a[i]) != lower(b[i])) return false;
    return true;
}

// A decimal number of 1 to 5 digits, at most 65535.
bool parse_num(std::string_view s, uint32_t& v) {
    if (s.empty() || s.size() > 5) return false;
    v = 0;
    for (char c : s) {
        if (c < '0' || c > '9') return false;
        v = v * 10 + static_cast<uint32_t>(c - '0');
    }
    return v <= 65535;
}

// The keyword of an entry line; false for an unknown one.
bool kind_of(std::string_view kw, NlKind& k) {
    static const struct {
        const char* name;
        NlKind kind;
    } names[] = {{"zone", NlKind::Zone}, {"region", NlKind::Region}, {"host", NlKind::Host},
                 {"hub", NlKind::Hub},   {"pvt", NlKind::Pvt},       {"hold", NlKind::Hold},
                 {"down", NlKind::Down}, {"boss", NlKind::Boss},     {"point", NlKind::Point}};
    if (kw.empty()) {
        k = NlKind::Node;
        return true;
    }
    for (const auto& n : names) {
        if (iequal(kw, n.name)) {
            k = n.kind;
            return true;
        }
    }
    return false;
}

// Where the entries of a list stand while it is read.
struct Walk {
    uint32_t zone = 0, net = 0;
    bool in_boss = false;  // after a Boss line: the entries are its points
    ftn_addr boss;
    bool have_node = false;  // a node was listed: Point lines belong to it
    ftn_addr node;
};

// One entry line into e; false when it does not parse.
bool parse_entry(std::string_view line, Walk& w, NlEntry& e) {
    std::string_view f[7];
    size_t nf = 0, pos = 0;
    while (nf < 7) {
        size_t comma = line.find(',', pos);
        if (comma == std::string_view::npos) {
            f[nf++] = line.substr(pos);
            pos = line.size();
            break;
        }
        f[nf++] = line.substr(pos, comma - pos);
        pos = comma + 1;
    }
    if (!kind_of(f[0], e.kind)) return false;
    if (e.kind == NlKind::Boss) {
        if (nf != 2 || f[1].size() >= FTN_TEXT_MAX) return false;
        char buf[FTN_TEXT_MAX];
        std::memcpy(buf, f[1].data(), f[1].size());
        buf[f[1].size()] = '\0';
        ftn_addr a;
        if (!ftn_parse(buf, a) || a.point != 0) return false;
        w.in_boss = true;
        w.boss = a;
        w.have_node = true;
        w.node = a;
        e.addr = a;
        return true;
    }
    if (nf < 7) return false;
    uint32_t num = 0;
    if (!parse_num(f[1], num)) return false;
    e.system = f[2];
    e.location = f[3];
    e.sysop = f[4];
    e.phone = f[5];
    e.speed = f[6];
    e.flags = pos < line.size() ? line.substr(pos) : std::string_view();
    switch (e.kind) {
        case NlKind::Zone:
            if (num == 0) return false;
            w = Walk{};
            w.zone = w.net = num;
            e.addr = {num, num, 0, 0};
            w.have_node = true;
            w.node = e.addr;
            return true;
        case NlKind::Region:
        case NlKind::Host:
            w.in_boss = false;
            w.net = num;
            e.addr = {w.zone, num, 0, 0};
            w.have_node = true;
            w.node = e.addr;
            return true;
        case NlKind::Point:
            if (!w.have_node || num == 0) return false;
            e.addr = w.node;
            e.addr.point = num;
            return true;
        case NlKind::Hub:
            if (w.in_boss) return false;
            [[fallthrough]];
        default:
            if (w.in_boss) {
                if (num == 0) return false;
                e.addr = w.boss;
                e.addr.point = num;
                if (e.kind == NlKind::Node) e.kind = NlKind::Point;
                return true;
            }
            e.addr = {w.zone, w.net, num, 0};
            w.have_node = true;
            w.node = e.addr;
            return true;
    }
}

bool same(const ftn_addr& a, const ftn_addr& b) {
    return a.zone == b.zone && a.net == b.net && a.node == b.node && a.point == b.point;
}

// Lower case, with blanks and underscores the same byte.
char fold(char c) {
    return c == ' ' ? '_' : lower(c);
}

bool contains_folded(std::string_view hay, const std::string& needle) {
    if (needle.size() > hay.size()) return false;
    size_t last = hay.size() - needle.size();
    for (size_t i = 0; i <= last; ++i) {
        if (fold(hay[i]) != needle[0]) continue;
        size_t k = 1;
        while (k < needle.size() && fold(hay[i + k]) == needle[k]) ++k;
        if (k == needle.size()) return true;
    }
    return false;
}

// A diff command: letter and count.
bool parse_command(std::string_view line, char& cmd, uint32_t& count) {
    if (line.empty()) return false;
    cmd = line[0];
    if (cmd != 'A' && cmd != 'C' && cmd != 'D') return false;
    size_t i = 1;
    while (i < line.size() && line[i] == ' ') ++i;
    size_t start = i;
    uint64_t v = 0;
    while (i < line.size() && line[i] >= '0' && line[i] <= '9' && i - start < 9)
        v = v * 10 + static_cast<uint64_t>(line[i++] - '0');
    if (i == start) return false;
    while (i < line.size() && line[i] == ' ') ++i;
    if (i != line.size()) return false;
    count = static_cast<uint32_t>(v);
    return true;
}

}  // namespace

uint16_t nl_crc16(const char* p, size_t n, uint16_t crc) {
    auto byte = [p](size_t i) { return static_cast<uint8_t>(p[i]); };
    size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        crc = static_cast<uint16_t>(
            kCrc[7][byte(i) ^ (crc >> 8)] ^ kCrc[6][byte(i + 1) ^ (crc & 0xFF)] ^
            kCrc[5][byte(i + 2)] ^ kCrc[4][byte(i + 3)] ^ kCrc[3][byte(i + 4)] ^
            kCrc[2][byte(i + 5)] ^ kCrc[1][byte(i + 6)] ^ kCrc[0][byte(i + 7)]);
    }
    for (; i < n; ++i)
        crc = static_cast<uint16_t>((crc << 8) ^ kCrc[0][((crc >> 8) ^ byte(i)) & 0xFF]);
    return crc;
}

std::string_view nl_first_line(std::string_view text) {
    size_t pos = 0;
    std::string_view line, whole;
    if (!next_line(until_eof(text), pos, line, whole)) return {};
    return line;
}

bool nl_crc_of(std::string_view text, uint16_t& given, uint16_t& actual) {
    std::string_view t = until_eof(text);
    size_t pos = 0;
    std::string_view line, whole;
    given = actual = 0;
    if (!next_line(t, pos, line, whole)) return false;
    actual = nl_crc16(t.data() + pos, t.size() - pos);
    size_t colon = line.rfind(':');
    if (colon == std::string_view::npos) return false;
    std::string_view num = line.substr(colon + 1);
    while (!num.empty() && (num.front() == ' ' || num.front() == '\t')) num.remove_prefix(1);
    while (!num.empty() && (num.back() == ' ' || num.back() == '\t')) num.remove_suffix(1);
    uint32_t v = 0;
    if (!parse_num(num, v)) return false;
    given = static_cast<uint16_t>(v);
    return true;
}

void nl_parse(std::string text, NodeList& out) {
    out = NodeList{};
    out.text = std::move(text);
    std::string_view t = until_eof(out.text);
    out.crc_stated = nl_crc_of(t, out.crc_given, out.crc_actual);
    out.charset = cs_detect(t.data(), t.size());
    Walk w;
    size_t pos = 0;
    uint32_t lineno = 0;
    std::string_view line, whole;
    while (next_line(t, pos, line, whole)) {
        ++lineno;
        if (line.empty() || line[0] == ';') continue;
        NlEntry e;
        e.line = lineno;
        if (line.size() > NL_LINE_MAX || !parse_entry(line, w, e)) {
            if (out.bad_lines++ == 0) out.first_bad = lineno;
            continue;
        }
        out.entries.push_back(e);
    }
}

int nl_find(const NodeList& nl, const ftn_addr& a) {
    for (size_t i = 0; i < nl.entries.size(); ++i)
        if (same(nl.entries[i].addr, a) && nl.entries[i].kind != NlKind::Boss)
            return static_cast<int>(i);
    return -1;
}

std::vector<int> nl_search(const NodeList& nl, std::string_view needle) {
    std::vector<int> hits;
    if (needle.empty()) return hits;
    // The needle is UTF-8; the list's bytes are in its own set.
    std::string enc(needle);
    if (nl.charset != CS_UTF8 && utf8_valid(enc.data(), enc.size()))
        enc = cs_encode(nl.charset, utf8_to_utf16(enc.data(), enc.size()));
    std::string n;
    n.reserve(enc.size());
    for (char c : enc) n += fold(c);
    for (size_t i = 0; i < nl.entries.size(); ++i) {
        const NlEntry& e = nl.entries[i];
        if (e.kind == NlKind::Boss) continue;
        if (contains_folded(e.sysop, n) || contains_folded(e.system, n))
            hits.push_back(static_cast<int>(i));
    }
    return hits;
}

std::string nl_text(const NodeList& nl, std::string_view field) {
    std::string raw(field);
    for (char& c : raw)
        if (c == '_') c = ' ';
    std::string u = cs_to_utf8(nl.charset, raw.data(), raw.size());
    std::string out;
    out.reserve(u.size());
    for (size_t i = 0; i < u.size(); ++i) {
        unsigned char c = static_cast<unsigned char>(u[i]);
        if (c < 0x20 || c == 0x7F) {
            out += '.';
        } else if (c == 0xC2 && i + 1 < u.size() && static_cast<unsigned char>(u[i + 1]) >= 0x80 &&
                   static_cast<unsigned char>(u[i + 1]) <= 0x9F) {
            out += '.';  // a C1 control
            ++i;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

const char* nl_kind_name(NlKind k) {
    switch (k) {
        case NlKind::Zone:
            return "Zone";
        case NlKind::Region:
            return "Region";
        case NlKind::Host:
            return "Host";
        case NlKind::Hub:
            return "Hub";
        case NlKind::Node:
            return "";
        case NlKind::Pvt:
            return "Pvt";
        case NlKind::Hold:
            return "Hold";
        case NlKind::Down:
            return "Down";
        case NlKind::Boss:
            return "Boss";
        case NlKind::Point:
            return "Point";
    }
    return "";
}

NlBinkp nl_binkp(std::string_view flags) {
    NlBinkp r;
    std::string ina_host;
    size_t pos = 0;
    while (pos <= flags.size()) {
        size_t comma = flags.find(',', pos);
        std::string_view f =
            flags.substr(pos, comma == std::string_view::npos ? flags.npos : comma - pos);
        pos = comma == std::string_view::npos ? flags.size() + 1 : comma + 1;
        size_t colon = f.find(':');
        std::string_view name = f.substr(0, colon);
        std::string_view value =
            colon == std::string_view::npos ? std::string_view() : f.substr(colon + 1);
        if (iequal(name, "IBN")) {
            r.binkp = true;
            // IBN, IBN:port, IBN:host, IBN:host:port
            size_t c2 = value.rfind(':');
            std::string_view host = value, port;
            uint32_t p = 0;
            if (c2 != std::string_view::npos) {
                host = value.substr(0, c2);
                port = value.substr(c2 + 1);
            } else if (!value.empty() && value.find_first_not_of("0123456789") == value.npos) {
                host = {};  // a number is a port, even one out of range
                port = value;
            }
            if (parse_num(port, p) && p > 0) r.port = p;
            if (!host.empty() && r.host.empty()) r.host = std::string(host.substr(0, 255));
        } else if ((iequal(name, "INA") || iequal(name, "IP")) && ina_host.empty()) {
            std::string_view host = value.substr(0, value.find(':'));
            uint32_t p = 0;
            if (!host.empty() && !parse_num(host, p)) ina_host = std::string(host.substr(0, 255));
        }
    }
    if (r.host.empty()) r.host = ina_host;
    return r;
}

NlDiffResult nl_apply_diff(std::string_view old_list, std::string_view diff, std::string& out,
                           uint32_t& line_no) {
    out.clear();
    line_no = 0;
    std::string_view old = until_eof(old_list);
    std::string_view d = until_eof(diff);
    size_t dpos = 0, opos = 0;
    std::string_view line, whole;
    if (!next_line(d, dpos, line, whole) || line != nl_first_line(old))
        return NlDiffResult::OtherList;
    line_no = 1;
    auto fail = [&out](NlDiffResult r) {
        out.clear();
        return r;
    };
    out.reserve(old.size() + d.size());
    while (next_line(d, dpos, line, whole)) {
        ++line_no;
        if (line.empty()) continue;
        char cmd = 0;
        uint32_t count = 0;
        if (line.size() > NL_LINE_MAX || !parse_command(line, cmd, count))
            return fail(NlDiffResult::BadCommand);
        for (uint32_t i = 0; i < count; ++i) {
            if (cmd == 'A') {
                if (!next_line(d, dpos, line, whole)) return fail(NlDiffResult::Truncated);
                ++line_no;
                if (line.size() > NL_LINE_MAX) return fail(NlDiffResult::BadCommand);
                out += whole;
            } else {
                std::string_view oline, owhole;
                if (!next_line(old, opos, oline, owhole)) return fail(NlDiffResult::PastEnd);
                if (cmd == 'C') out += owhole;
            }
        }
    }
    out += CTRL_Z;
    uint16_t given = 0, actual = 0;
    if (!nl_crc_of(out, given, actual) || given != actual) {
        line_no = 0;
        return fail(NlDiffResult::BadCrc);
    }
    return NlDiffResult::Ok;
}
