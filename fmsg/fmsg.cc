#include "fmsg/fmsg.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "core/bytes.h"
#include "core/charset.h"
#include "core/civil.h"
#include "core/fileio.h"
#include "fmsg/fmsg_format.h"

namespace {

struct AttrMap {
    MbAttr mb;
    uint16_t fa;
};
constexpr AttrMap ATTRS[] = {
    {MbAttr::Private, FA_PRIVATE},    {MbAttr::Crash, FA_CRASH},
    {MbAttr::Read, FA_RECD},          {MbAttr::Sent, FA_SENT},
    {MbAttr::FileAttach, FA_FILEATT}, {MbAttr::InTransit, FA_INTRANSIT},
    {MbAttr::KillSent, FA_KILLSENT},  {MbAttr::Local, FA_LOCAL},
    {MbAttr::Hold, FA_HOLD},          {MbAttr::FileRequest, FA_FILEREQ},
    {MbAttr::ReceiptRequest, FA_RRQ}, {MbAttr::AuditRequest, FA_AUDIT},
};

constexpr const char* MONTHS[12] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                    "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

uint16_t fa_bits(MbAttrs a) {
    uint16_t fa = 0;
    for (const AttrMap& m : ATTRS)
        if (a.has(m.mb)) fa = static_cast<uint16_t>(fa | m.fa);
    return fa;
}

MbAttrs mb_attrs_of_fa(uint16_t fa) {
    MbAttrs a;
    for (const AttrMap& m : ATTRS)
        if (fa & m.fa) a = a | m.mb;
    return a;
}

// A NUL-terminated field of `len` bytes (the whole field when it has no NUL).
std::string field(const uint8_t* p, size_t len) {
    size_t n = 0;
    while (n < len && p[n] != 0) ++n;
    return std::string(reinterpret_cast<const char*>(p), n);
}

void put_field(uint8_t* p, size_t len, const std::string& s) {
    size_t n = std::min(s.size(), len - 1);
    std::memcpy(p, s.data(), n);
    // The rest of the field stays zero: the caller's header starts zeroed.
}

uint16_t u16(uint32_t v) {
    return static_cast<uint16_t>(v > 0xFFFF ? 0 : v);
}

bool is_digit(char c) {
    return c >= '0' && c <= '9';
}

// Reads a decimal number of at most 9 digits at p[i..n); false when none.
bool read_num(const char* p, size_t n, size_t& i, uint32_t& v) {
    size_t start = i;
    v = 0;
    while (i < n && is_digit(p[i]) && i - start < 9)
        v = v * 10 + static_cast<uint32_t>(p[i++] - '0');
    return i > start;
}

// "zone:net/node" at the start of s (what INTL carries, two of them).
bool intl_addr(const char* p, size_t n, size_t& i, ftn_addr& a) {
    uint32_t z, ne, no;
    if (!read_num(p, n, i, z) || i >= n || p[i++] != ':') return false;
    if (!read_num(p, n, i, ne) || i >= n || p[i++] != '/') return false;
    if (!read_num(p, n, i, no)) return false;
    // Zone, net and node are 16-bit numbers in every FidoNet format: a larger
    // one names no address, and could not be written back as read.
    if (z > 0xFFFF || ne > 0xFFFF || no > 0xFFFF) return false;
    a.zone = z;
    a.net = ne;
    a.node = no;
    return true;
}

bool trailer(const std::string& name) {
    return name == "SEEN-BY" || name == "PATH" || name == "Via";
}

}  // namespace

uint32_t fmsg_number(const char* name) {
    size_t n = std::strlen(name);
    if (n < 5 || n > 9) return 0;  // 1 to 5 digits + ".msg"
    const char* ext = name + n - 4;
    if (ext[0] != '.' || (ext[1] | 0x20) != 'm' || (ext[2] | 0x20) != 's' || (ext[3] | 0x20) != 'g')
        return 0;
    if (name[0] == '0') return 0;
    uint32_t v = 0;
    for (const char* p = name; p < ext; ++p) {
        if (!is_digit(*p)) return 0;
        v = v * 10 + static_cast<uint32_t>(*p - '0');
    }
    return v >= 1 && v <= FMSG_MAX_NUMBER ? v : 0;
}

std::string fmsg_date_text(uint32_t t) {
    Civil c = unix_civil(t);
    char buf[32];
    std::snprintf(buf, sizeof buf, "%02u %s %02u  %02u:%02u:%02u", c.day, MONTHS[c.month - 1],
                  c.year % 100, c.hour, c.minute, c.second);
    return buf;
}

uint32_t fmsg_parse_date(const char* p, size_t n) {
    size_t i = 0;
    while (i < n && !is_digit(p[i])) ++i;  // "Www " of the other form
    uint32_t day, year, hour, minute, second = 0;
    if (!read_num(p, n, i, day)) return 0;
    while (i < n && p[i] == ' ') ++i;
    int month = 0;
    for (int m = 0; m < 12 && i + 3 <= n; ++m)
        if (std::memcmp(p + i, MONTHS[m], 3) == 0) month = m + 1;
    if (month == 0) return 0;
    i += 3;
    while (i < n && p[i] == ' ') ++i;
    if (!read_num(p, n, i, year)) return 0;
    while (i < n && p[i] == ' ') ++i;
    if (!read_num(p, n, i, hour) || i >= n || p[i++] != ':') return 0;
    if (!read_num(p, n, i, minute)) return 0;
    if (i < n && p[i] == ':') {
        ++i;
        if (!read_num(p, n, i, second)) return 0;
    }
    if (year < 100) year += year < 80 ? 2000 : 1900;
    if (day < 1 || day > 31 || hour > 23 || minute > 59 || second > 59 || year < 1970 ||
        year > 2105)
        return 0;
    int64_t t = days_from_civil(year, month, day) * 86400 + hour * 3600 + minute * 60 + second;
    return t < 0 || t > 0xFFFFFFFFll ? 0 : static_cast<uint32_t>(t);
}

MbResult fmsg_parse(const uint8_t* p, size_t n, bool netmail, bool with_text, MbMessage& out) {
    out = MbMessage{};
    if (n < FMSG_HDR_SIZE) return MbResult::Damaged;
    out.from = field(p + FMSG_FROM, FMSG_NAME_LEN);
    out.to = field(p + FMSG_TO, FMSG_NAME_LEN);
    out.subject = field(p + FMSG_SUBJECT, FMSG_SUBJECT_LEN);
    std::string date = field(p + FMSG_DATETIME, FMSG_DATETIME_LEN);
    out.date_written = fmsg_parse_date(date.data(), date.size());
    out.orig = {get_le16(p + FMSG_ORIGZONE), get_le16(p + FMSG_ORIGNET),
                get_le16(p + FMSG_ORIGNODE), get_le16(p + FMSG_ORIGPOINT)};
    out.dest = {get_le16(p + FMSG_DESTZONE), get_le16(p + FMSG_DESTNET),
                get_le16(p + FMSG_DESTNODE), get_le16(p + FMSG_DESTPOINT)};
    out.reply_to = get_le16(p + FMSG_REPLYTO);
    out.attrs =
        mb_attrs_of_fa(get_le16(p + FMSG_ATTRIBUTE)) | (netmail ? MbAttr::Net : MbAttr::Echo);

    const char* t = reinterpret_cast<const char*>(p + FMSG_HDR_SIZE);
    size_t tn = n - FMSG_HDR_SIZE;
    if (const void* nul = std::memchr(t, 0, tn))
        tn = static_cast<size_t>(static_cast<const char*>(nul) - t);
    std::vector<MbKludge> tail;
    bool fmpt = false, topt = false;
    size_t i = 0;
    while (i < tn) {
        const char* cr = static_cast<const char*>(std::memchr(t + i, '\r', tn - i));
        size_t end = cr ? static_cast<size_t>(cr - t) : tn;
        const char* line = t + i;
        size_t len = end - i;
        bool had_cr = cr != nullptr;
        i = had_cr ? end + 1 : tn;
        bool soh = len > 0 && line[0] == '\x01';
        if (soh || (len >= 8 && std::memcmp(line, "SEEN-BY:", 8) == 0)) {
            MbKludge k = soh ? mb_kludge_parse(line + 1, len - 1) : mb_kludge_parse(line, len);
            if (k.name == "INTL") {
                size_t j = 0;
                ftn_addr d = out.dest, o = out.orig;
                const char* v = k.value.data();
                size_t vn = k.value.size();
                if (intl_addr(v, vn, j, d) && j < vn && v[j] == ' ' && intl_addr(v, vn, ++j, o)) {
                    out.dest = {d.zone, d.net, d.node, topt ? out.dest.point : 0};
                    out.orig = {o.zone, o.net, o.node, fmpt ? out.orig.point : 0};
                }
                continue;
            }
            if (k.name == "FMPT" || k.name == "TOPT") {
                size_t j = 0;
                uint32_t pt;
                if (read_num(k.value.data(), k.value.size(), j, pt)) {
                    (k.name == "FMPT" ? out.orig.point : out.dest.point) = pt;
                    (k.name == "FMPT" ? fmpt : topt) = true;
                }
                continue;
            }
            if (soh) {
                int cs = cs_from_kludge(line + 1, len - 1);
                if (cs >= 0 && out.charset < 0) out.charset = cs;
            }
            (trailer(k.name) ? tail : out.kludges).push_back(std::move(k));
            continue;
        }
        if (with_text) {
            out.text.append(line, len);
            if (had_cr) out.text.push_back('\r');
        }
    }
    for (MbKludge& k : tail) out.kludges.push_back(std::move(k));
    if (!out.attrs.has(MbAttr::Net)) {
        out.dest = ftn_addr{};
        // Echomail often leaves the header's address empty: the MSGID's is
        // the origin then (as the toss takes it for JAM).
        const std::string* msgid = mb_kludge_find(out, "MSGID");
        ftn_addr a;
        if (out.orig.net == 0 && out.orig.node == 0 && msgid && ftn_parse(msgid->c_str(), a))
            out.orig = a;
    }
    return MbResult::Ok;
}

void fmsg_build(const MbMessage& m, bool netmail, std::string& out) {
    const bool net = netmail || m.attrs.has(MbAttr::Net);
    uint8_t h[FMSG_HDR_SIZE] = {};
    put_field(h + FMSG_FROM, FMSG_NAME_LEN, m.from);
    put_field(h + FMSG_TO, FMSG_NAME_LEN, m.to);
    put_field(h + FMSG_SUBJECT, FMSG_SUBJECT_LEN, m.subject);
    put_field(h + FMSG_DATETIME, FMSG_DATETIME_LEN, fmsg_date_text(m.date_written));
    const ftn_addr d = net ? m.dest : ftn_addr{};
    put_le16(h + FMSG_TIMESREAD, 0);
    put_le16(h + FMSG_DESTNODE, u16(d.node));
    put_le16(h + FMSG_ORIGNODE, u16(m.orig.node));
    put_le16(h + FMSG_COST, 0);
    put_le16(h + FMSG_ORIGNET, u16(m.orig.net));
    put_le16(h + FMSG_DESTNET, u16(d.net));
    put_le16(h + FMSG_DESTZONE, u16(d.zone));
    put_le16(h + FMSG_ORIGZONE, u16(m.orig.zone));
    put_le16(h + FMSG_DESTPOINT, u16(d.point));
    put_le16(h + FMSG_ORIGPOINT, u16(m.orig.point));
    put_le16(h + FMSG_REPLYTO, u16(m.reply_to));
    put_le16(h + FMSG_ATTRIBUTE, fa_bits(m.attrs));
    put_le16(h + FMSG_NEXTREPLY, 0);
    out.assign(reinterpret_cast<const char*>(h), FMSG_HDR_SIZE);

    char buf[96];
    if (net) {
        std::snprintf(buf, sizeof buf, "\x01INTL %u:%u/%u %u:%u/%u\r", d.zone, d.net, d.node,
                      m.orig.zone, m.orig.net, m.orig.node);
        out += buf;
    }
    // Echomail carries the point in the header's word; FMPT only when the
    // word cannot hold it.
    if (m.orig.point != 0 && (net || m.orig.point > 0xFFFF)) {
        std::snprintf(buf, sizeof buf,
                      "\x01"
                      "FMPT %u\r",
                      m.orig.point);
        out += buf;
    }
    if (d.point != 0) {
        std::snprintf(buf, sizeof buf, "\x01TOPT %u\r", d.point);
        out += buf;
    }
    bool has_trailer = false;
    for (const MbKludge& k : m.kludges) {
        if (k.name == "INTL" || k.name == "FMPT" || k.name == "TOPT") continue;
        if (trailer(k.name)) {
            has_trailer = true;
            continue;
        }
        out += '\x01';
        out += mb_kludge_line(k);
        out += '\r';
    }
    out += m.text;
    if (has_trailer && !m.text.empty() && m.text.back() != '\r') out += '\r';
    for (const MbKludge& k : m.kludges) {
        if (!trailer(k.name)) continue;
        // SEEN-BY lines go without 0x01; one that could not be read back as
        // such ("SEEN-BY" without its colon) keeps the 0x01 it came with.
        if (k.name != "SEEN-BY" || k.sep.empty() || k.sep[0] != ':') out += '\x01';
        out += mb_kludge_line(k);
        out += '\r';
    }
    out += '\0';
}

// ---- The base ------------------------------------------------------------------------

MbResult FmsgBase::open(const char* dir) {
    close();
    if (dir == nullptr || dir[0] == '\0' || std::strlen(dir) + 16 >= WP_PATH_MAX)
        return MbResult::BadArgument;
    str_copy(dir_, dir, sizeof dir_);
    open_ = true;
    return MbResult::Ok;
}

void FmsgBase::close() {
    names_.clear();
    open_ = locked_ = listed_ = false;
}

std::string FmsgBase::in_dir(const char* name) const {
    std::string p = dir_;
    if (!p.empty() && p.back() != '/' && p.back() != '\\') p += PF_DIR_SEP;
    return p + name;
}

MbResult FmsgBase::list() {
    names_.clear();
    listed_ = false;
    if (!open_) return MbResult::BadArgument;
    PfStat st = pf_stat(dir_);
    if (!st.exists) return MbResult::Ok;  // no area yet: no messages
    if (!st.is_dir) return MbResult::Damaged;
    std::vector<PfDirEntry> entries;
    if (pf_list_dir(dir_, entries) != 0) return MbResult::IoError;
    for (const PfDirEntry& e : entries) {
        if (!e.is_file) continue;
        uint32_t num = fmsg_number(e.name.c_str());
        if (num == 0) continue;
        auto it = names_.find(num);
        // "7.msg" and "7.MSG" side by side: the lower-case one is ours.
        if (it == names_.end() || e.name < it->second) names_[num] = e.name;
    }
    listed_ = true;
    return MbResult::Ok;
}

MbResult FmsgBase::list_for_write() {
    // Under the lock the listing of the first write serves the run (a
    // number taken meanwhile by another program fails the exclusive
    // creation, and the next is tried).
    return locked_ && listed_ ? MbResult::Ok : list();
}

MbResult FmsgBase::end_mark(uint32_t& out) {
    out = 0;
    MbResult r = list_for_write();
    if (r == MbResult::Ok && !names_.empty()) out = names_.rbegin()->first;
    return r;
}

MbResult FmsgBase::after_mark(uint32_t mark, size_t limit, std::vector<uint32_t>& out) {
    out.clear();
    MbResult r = list();
    for (auto it = names_.upper_bound(mark); it != names_.end() && out.size() < limit; ++it)
        out.push_back(it->first);
    return r;
}

MbResult FmsgBase::numbers(std::vector<uint32_t>& out) {
    out.clear();
    MbResult r = list();
    for (const auto& [num, name] : names_) out.push_back(num);
    return r;
}

MbResult FmsgBase::count(uint32_t& out) {
    MbResult r = list();
    out = static_cast<uint32_t>(names_.size());
    return r;
}

MbResult FmsgBase::file_of(uint32_t num, std::string& path) {
    if (!open_) return MbResult::BadArgument;
    auto it = names_.find(num);
    if (it == names_.end()) {
        MbResult r = list();
        if (r != MbResult::Ok) return r;
        it = names_.find(num);
        if (it == names_.end()) return MbResult::Missing;
    }
    path = in_dir(it->second.c_str());
    return MbResult::Ok;
}

MbResult FmsgBase::read(uint32_t num, bool with_text, MbMessage& out) {
    std::string path, data;
    MbResult r = file_of(num, path);
    if (r != MbResult::Ok) return r;
    int rr = f_read_whole(path.c_str(), data, FMSG_FILE_MAX);
    if (rr == 1) {
        names_.erase(num);
        return pf_stat(path.c_str()).exists ? MbResult::IoError : MbResult::Missing;
    }
    if (rr != 0)
        return pf_stat(path.c_str()).size > static_cast<int64_t>(FMSG_FILE_MAX) ? MbResult::TooBig
                                                                                : MbResult::IoError;
    r = fmsg_parse(reinterpret_cast<const uint8_t*>(data.data()), data.size(), netmail_, with_text,
                   out);
    out.number = num;
    return r;
}

MbResult FmsgBase::read_header(uint32_t num, MbMessage& out) {
    return read(num, false, out);
}

MbResult FmsgBase::read_text(uint32_t num, std::string& out) {
    MbMessage m;
    MbResult r = read(num, true, m);
    out = std::move(m.text);
    return r;
}

MbResult FmsgBase::append(MbMessage& m, uint32_t& num) {
    if (!open_ || m.attrs.has(MbAttr::Deleted)) return MbResult::BadArgument;
    std::string data;
    fmsg_build(m, netmail_, data);
    if (data.size() > FMSG_FILE_MAX) return MbResult::TooBig;
    MbResult r = list_for_write();
    if (r != MbResult::Ok) return r;
    uint32_t next = names_.empty() ? FMSG_FIRST_NUMBER : names_.rbegin()->first + 1;
    // Another writer may take a number between the listing and the creation:
    // the exclusive creation fails then, and the next number is tried.
    for (int tries = 0; tries < 1000; ++tries, ++next) {
        if (next > FMSG_MAX_NUMBER) return MbResult::Full;
        char name[16];
        std::snprintf(name, sizeof name, "%u.MSG", next);
        if (pf_stat(in_dir(name).c_str()).exists) continue;  // another program's upper case
        std::snprintf(name, sizeof name, "%u%s", next, FMSG_EXT);
        std::string path = in_dir(name);
        UniqueFile f(pf_open(path.c_str(), PfAccess::ReadWrite, PfCreate::CreateNew));
        if (!f) {
            if (pf_stat(path.c_str()).exists) continue;
            return MbResult::IoError;
        }
        if (pf_write(f.get(), data.data(), data.size()) != 0) {
            f.reset();
            (void)pf_delete(path.c_str());
            return MbResult::IoError;
        }
        names_[next] = name;
        m.number = num = next;
        return MbResult::Ok;
    }
    return MbResult::Full;
}

MbResult FmsgBase::set_attrs(uint32_t num, MbAttrs set, MbAttrs clear) {
    if ((set | clear).has(MbAttr::Deleted)) return MbResult::BadArgument;
    std::string path;
    MbResult r = file_of(num, path);
    if (r != MbResult::Ok) return r;
    UniqueFile f(pf_open(path.c_str(), PfAccess::ReadWrite, PfCreate::OpenExisting));
    if (!f) return pf_stat(path.c_str()).exists ? MbResult::IoError : MbResult::Missing;
    uint8_t b[2];
    if (f_size(f.get()) < static_cast<int64_t>(FMSG_HDR_SIZE)) return MbResult::Damaged;
    if (pf_pread(f.get(), b, 2, FMSG_ATTRIBUTE) != 2) return MbResult::IoError;
    uint16_t fa = static_cast<uint16_t>((get_le16(b) | fa_bits(set)) & ~fa_bits(clear));
    put_le16(b, fa);
    return pf_pwrite(f.get(), b, 2, FMSG_ATTRIBUTE) == 0 ? MbResult::Ok : MbResult::IoError;
}

MbResult FmsgBase::remove(uint32_t num) {
    std::string path;
    MbResult r = file_of(num, path);
    if (r != MbResult::Ok) return r;
    names_.erase(num);
    if (pf_delete(path.c_str()) == 0) return MbResult::Ok;
    return pf_stat(path.c_str()).exists ? MbResult::IoError : MbResult::Missing;
}

MbResult FmsgBase::lastread(const char*, uint32_t& out) {
    out = 0;
    if (!open_) return MbResult::BadArgument;
    std::string data;
    int r = f_read_whole(in_dir(FMSG_LASTREAD).c_str(), data, 1u << 20);
    if (r == 1) return MbResult::Ok;  // no file, no mark
    if (r != 0) return MbResult::IoError;
    if (data.size() >= 2) out = get_le16(reinterpret_cast<const uint8_t*>(data.data()));
    return MbResult::Ok;
}

MbResult FmsgBase::set_lastread(const char*, uint32_t num) {
    if (!open_) return MbResult::BadArgument;
    if (!pf_stat(dir_).is_dir) return MbResult::Missing;  // no area, no mark
    UniqueFile f(f_open_always(in_dir(FMSG_LASTREAD).c_str()));
    if (!f) return MbResult::IoError;
    uint8_t b[2];
    put_le16(b, static_cast<uint16_t>(num > 0xFFFF ? 0xFFFF : num));
    return pf_pwrite(f.get(), b, 2, 0) == 0 ? MbResult::Ok : MbResult::IoError;
}

MbResult FmsgBase::lock(int) {
    if (!open_) return MbResult::BadArgument;
    if (!locked_) listed_ = false;  // a new run of writes lists afresh
    locked_ = true;
    return MbResult::Ok;
}
