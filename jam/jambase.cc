#include "jam/jambase.h"

#include <cstring>

#include "core/bytes.h"
#include "core/charset.h"
#include "core/fileio.h"
#include "core/log.h"
#include "core/strutil.h"
#include "jam/crc32.h"

namespace {

struct AttrMap {
    MbAttr mb;
    uint32_t ja;
};
constexpr AttrMap ATTRS[] = {
    {MbAttr::Local, JA_LOCAL},
    {MbAttr::Private, JA_PRIVATE},
    {MbAttr::Read, JA_READ},
    {MbAttr::Sent, JA_SENT},
    {MbAttr::Deleted, JA_DELETED},
    {MbAttr::Crash, JA_CRASH},
    {MbAttr::Hold, JA_HOLD},
    {MbAttr::FileAttach, JA_FILEATT},
    {MbAttr::FileRequest, JA_FILEREQ},
    {MbAttr::ReceiptRequest, JA_RECEIPT},
    {MbAttr::AuditRequest, JA_CONFIRM},
    {MbAttr::KillSent, JA_KILLSENT},
    {MbAttr::InTransit, JA_INTRANSIT},
    {MbAttr::Echo, JA_ECHO},
    {MbAttr::Net, JA_NET},
};

// Kludges kept in subfields of their own: the name and its subfield id. The
// subfield holds the value; any other kludge is a whole FTSKLUDGE line.
struct NamedSf {
    const char* name;
    uint16_t id;
};
constexpr NamedSf NAMED[] = {
    {"MSGID", SF_MSGID}, {"REPLY", SF_REPLY}, {"PID", SF_PID},        {"Via", SF_TRACE},
    {"FLAGS", SF_FLAGS}, {"TZUTC", SF_TZUTC}, {"SEEN-BY", SF_SEENBY}, {"PATH", SF_PATH},
};

bool address_kludge(const std::string& name) {
    return name == "INTL" || name == "FMPT" || name == "TOPT";
}

std::string sf_text(const JamSubfield& sf) {
    return std::string(reinterpret_cast<const char*>(sf.data), sf.DatLen);
}

// The neutral message of a header (no text).
void from_header(const JamHeader& h, MbMessage& m) {
    m = MbMessage{};
    m.number = h.MessageNumber;
    m.date_written = h.DateWritten;
    m.date_received = h.DateReceived;
    m.attrs = mb_attrs_of_jam(h.Attribute);
    m.reply_to = h.ReplyTo;
    JamSubfWalk w;
    JamSubfield sf;
    jam_subf_start(w, h);
    std::vector<MbKludge> tail;  // SEEN-BY, PATH and Via go after the others
    while (jam_subf_next(w, sf)) {
        switch (sf.LoID) {
            case SF_OADDR:
                ftn_parse(sf_text(sf).c_str(), m.orig);
                continue;
            case SF_DADDR:
                ftn_parse(sf_text(sf).c_str(), m.dest);
                continue;
            case SF_SENDER:
                m.from = sf_text(sf);
                continue;
            case SF_RECEIVER:
                m.to = sf_text(sf);
                continue;
            case SF_SUBJECT:
                m.subject = sf_text(sf);
                continue;
            case SF_KLUDGE: {
                m.kludges.push_back(
                    mb_kludge_parse(reinterpret_cast<const char*>(sf.data), sf.DatLen));
                int cs = cs_from_kludge(reinterpret_cast<const char*>(sf.data), sf.DatLen);
                if (cs >= 0 && m.charset < 0) m.charset = cs;
                continue;
            }
            default:
                break;
        }
        for (const NamedSf& n : NAMED) {
            if (n.id != sf.LoID) continue;
            MbKludge k = mb_kludge(n.name, sf_text(sf));
            if (sf.LoID == SF_SEENBY || sf.LoID == SF_PATH || sf.LoID == SF_TRACE)
                tail.push_back(std::move(k));
            else
                m.kludges.push_back(std::move(k));
        }
    }
    for (MbKludge& k : tail) m.kludges.push_back(std::move(k));
}

// Opens .jhr of `base` for writing (existing only). PF_INVALID when missing.
pf_file open_jhr(const char* base) {
    char p[WP_PATH_MAX];
    mkpath(p, base, ".jhr");
    return pf_open(p, PfAccess::ReadWrite, PfCreate::OpenExisting);
}

}  // namespace

uint32_t jam_attr(MbAttrs a) {
    uint32_t ja = 0;
    for (const AttrMap& m : ATTRS)
        if (a.has(m.mb)) ja |= m.ja;
    return ja;
}

MbAttrs mb_attrs_of_jam(uint32_t ja) {
    MbAttrs a;
    for (const AttrMap& m : ATTRS)
        if (ja & m.ja) a = a | m.mb;
    return a;
}

void jam_request(const MbMessage& m, uint32_t now, std::string& subf, JamMsg& jm) {
    subf.clear();
    char addr[FTN_TEXT_MAX];
    if (m.orig.zone != 0 || m.orig.net != 0 || m.orig.node != 0) {
        ftn_fmt(addr, m.orig);
        jam_subf_add(subf, SF_OADDR, addr);
    }
    if (m.attrs.has(MbAttr::Net)) {
        ftn_fmt(addr, m.dest);
        jam_subf_add(subf, SF_DADDR, addr);
    }
    jam_subf_add(subf, SF_SENDER, m.from.data(), m.from.size());
    jam_subf_add(subf, SF_RECEIVER, m.to.data(), m.to.size());
    jam_subf_add(subf, SF_SUBJECT, m.subject.data(), m.subject.size());
    for (const MbKludge& k : m.kludges) {
        if (address_kludge(k.name)) continue;
        uint16_t id = SF_KLUDGE;
        for (const NamedSf& n : NAMED)
            if (k.name == n.name) id = n.id;
        if (id == SF_KLUDGE) {
            std::string line = mb_kludge_line(k);
            jam_subf_add(subf, SF_KLUDGE, line.data(), line.size());
        } else {
            jam_subf_add(subf, id, k.value.data(), k.value.size());
        }
    }
    jm = JamMsg{};
    jm.jm_subf = subf.data();
    jm.jm_subflen = static_cast<uint32_t>(subf.size());
    jm.jm_text = m.text.data();
    jm.jm_textlen = static_cast<uint32_t>(m.text.size());
    jm.jm_attr = jam_attr(m.attrs);
    jm.jm_date = m.date_written;
    jm.jm_now = m.date_received != 0 ? m.date_received : now;
    const std::string* msgid = mb_kludge_find(m, "MSGID");
    const std::string* reply = mb_kludge_find(m, "REPLY");
    jm.jm_msgidcrc = msgid ? jam_crc(msgid->data(), msgid->size()) : JAM_NO_CRC;
    jm.jm_replycrc = reply ? jam_crc(reply->data(), reply->size()) : JAM_NO_CRC;
    jm.jm_usercrc = jam_crc(m.to.data(), m.to.size());
    jm.jm_replyto = m.reply_to;
}

MbResult JamBase::open(const char* path) {
    close();
    if (path == nullptr || path[0] == '\0' || str_len(path) + 4 >= WP_PATH_MAX)
        return MbResult::BadArgument;
    str_copy(path_, path, sizeof path_);
    open_ = true;
    return MbResult::Ok;
}

void JamBase::close() {
    unlock();
    img_ = JamImage{};
    loaded_ = false;
    open_ = false;
}

MbResult JamBase::load() {
    if (!open_) return MbResult::BadArgument;
    loaded_ = false;
    int r = jam_load(path_, img_);
    if (r == 1) return MbResult::IoError;
    if (r == 2) return MbResult::Damaged;
    loaded_ = true;
    return MbResult::Ok;
}

MbResult JamBase::numbers(std::vector<uint32_t>& out) {
    out.clear();
    MbResult r = load();
    if (r != MbResult::Ok) return r;
    if (img_.jhr.size() < JHI_SIZE) return MbResult::Ok;
    JamIdxWalk w;
    jam_idx_walk_start(w, img_.jhr.data(), img_.jhr.size(), img_.jdx.data(), img_.jdx.size(),
                       img_.base.BaseMsgNum);
    uint32_t num = 0, crc = 0;
    JamHeader h;
    while (jam_idx_walk_next(w, num, crc, h))
        if (h.MessageNumber == num && (h.Attribute & JA_DELETED) == 0) out.push_back(num);
    return MbResult::Ok;
}

MbResult JamBase::count(uint32_t& out) {
    std::vector<uint32_t> nums;
    MbResult r = numbers(nums);
    out = static_cast<uint32_t>(nums.size());
    return r;
}

MbResult JamBase::find(uint32_t num, JamHeader& h) {
    for (int pass = 0; pass < 2; ++pass) {
        if (!loaded_ || pass == 1) {
            MbResult r = load();
            if (r != MbResult::Ok) return r;
        }
        if (img_.jhr.size() < JHI_SIZE || num < img_.base.BaseMsgNum) continue;
        uint64_t i = num - img_.base.BaseMsgNum;
        if ((i + 1) * JDX_SIZE > img_.jdx.size()) continue;
        uint32_t off = get_le32(img_.jdx.data() + i * JDX_SIZE + JDX_HDROFFSET);
        if (off == JDX_DELETED) return MbResult::Missing;
        if (jam_parse_header(img_.jhr.data(), img_.jhr.size(), off, h) != 0 ||
            h.MessageNumber != num)
            continue;  // changed under us: the second pass reads it again
        if (h.Attribute & JA_DELETED) return MbResult::Missing;
        return MbResult::Ok;
    }
    return MbResult::Missing;
}

MbResult JamBase::read_header(uint32_t num, MbMessage& out) {
    JamHeader h;
    MbResult r = find(num, h);
    if (r != MbResult::Ok) return r;
    from_header(h, out);
    return MbResult::Ok;
}

MbResult JamBase::read_text(uint32_t num, std::string& out) {
    out.clear();
    JamHeader h;
    MbResult r = find(num, h);
    if (r != MbResult::Ok) return r;
    return jam_read_text(path_, h, out) == 0 ? MbResult::Ok : MbResult::IoError;
}

MbResult JamBase::append(MbMessage& m, uint32_t& num) {
    if (!open_ || m.attrs.has(MbAttr::Deleted)) return MbResult::BadArgument;
    if (m.text.size() > UINT32_MAX / 2) return MbResult::TooBig;
    std::string subf;
    JamMsg jm;
    jam_request(m, static_cast<uint32_t>(unix_now_local()), subf, jm);
    MbResult r = append_request(jm);
    if (r != MbResult::Ok) return r;
    m.number = num = jm.jm_msgnum;
    return MbResult::Ok;
}

MbResult JamBase::append_request(JamMsg& jm) {
    if (!open_ || (jm.jm_attr & JA_DELETED) != 0) return MbResult::BadArgument;
    if (lock_pending_ && !held()) {
        if (jam_writer_open(w_, path_, jm.jm_now, lock_attempts_) != 0) {
            lock_pending_ = false;
            return MbResult::Locked;
        }
        lock_pending_ = false;
    }
    int r = held() ? jam_writer_append(w_, jm) : jam_append(path_, jm);
    return r == 0 ? MbResult::Ok : MbResult::IoError;
}

MbResult JamBase::end_mark(uint32_t& out) {
    out = 0;
    if (!open_) return MbResult::BadArgument;
    if (held()) {
        out = static_cast<uint32_t>(w_.nrec);
        return MbResult::Ok;
    }
    char jdx[WP_PATH_MAX];
    mkpath(jdx, path_, ".jdx");
    PfStat st = pf_stat(jdx);
    if (st.exists) out = static_cast<uint32_t>(static_cast<uint64_t>(st.size) / JDX_SIZE);
    return MbResult::Ok;
}

MbResult JamBase::after_mark(uint32_t mark, size_t limit, std::vector<uint32_t>& out) {
    out.clear();
    MbResult r = load();
    if (r != MbResult::Ok) return r;
    if (img_.jhr.size() < JHI_SIZE) return MbResult::Ok;
    const uint64_t nrec = img_.jdx.size() / JDX_SIZE;
    for (uint64_t i = mark; i < nrec && out.size() < limit; ++i) {
        const uint8_t* rec = img_.jdx.data() + i * JDX_SIZE;
        if (get_le32(rec + JDX_HDROFFSET) == JDX_DELETED) continue;
        JamHeader h;
        if (jam_parse_header(img_.jhr.data(), img_.jhr.size(), get_le32(rec + JDX_HDROFFSET), h) !=
                0 ||
            (h.Attribute & JA_DELETED) != 0)
            continue;
        out.push_back(h.MessageNumber);
    }
    return MbResult::Ok;
}

void jam_request_message(const JamMsg& jm, MbMessage& out) {
    JamHeader h;
    h.DateWritten = jm.jm_date;
    h.DateReceived = jm.jm_now;
    h.Attribute = jm.jm_attr;
    h.ReplyTo = jm.jm_replyto;
    h.subf = reinterpret_cast<const uint8_t*>(jm.jm_subf);
    h.subf_len = h.SubfieldLen = jm.jm_subflen;
    from_header(h, out);
    std::erase_if(out.kludges, [](const MbKludge& k) { return address_kludge(k.name); });
    out.text.assign(jm.jm_text, jm.jm_textlen);
}

template <typename Fn>
MbResult JamBase::change(uint32_t num, Fn fn) {
    if (!open_) return MbResult::BadArgument;
    // Under an MbLock the writer's handle and byte lock serve; else our own.
    UniqueFile own;
    pf_file jhr = w_.hdr;
    if (!held()) {
        own.reset(open_jhr(path_));
        if (!own) return MbResult::Missing;
        jhr = own.get();
    }
    JhrLock guard(held() ? PF_INVALID : jhr, JAM_LOCK_TRIES);
    if (!held() && !guard) return MbResult::Locked;
    uint8_t base[JHI_SIZE];
    if (pf_pread(jhr, base, JHI_SIZE, 0) != JHI_SIZE || get_le32(base) != JAM_SIGNATURE)
        return MbResult::Damaged;
    const uint32_t base_num = get_le32(base + JHI_BASEMSGNUM);
    if (num < base_num) return MbResult::Missing;
    char idx_path[WP_PATH_MAX];
    mkpath(idx_path, path_, ".jdx");
    UniqueFile jdx(pf_open(idx_path, PfAccess::ReadWrite, PfCreate::OpenExisting));
    if (!jdx) return MbResult::Missing;
    const uint64_t at = uint64_t{num - base_num} * JDX_SIZE;
    uint8_t rec[JDX_SIZE];
    if (pf_pread(jdx.get(), rec, JDX_SIZE, at) != JDX_SIZE) return MbResult::Missing;
    const uint32_t off = get_le32(rec + JDX_HDROFFSET);
    if (off == JDX_DELETED) return MbResult::Missing;
    uint8_t h[JMH_SIZE];
    if (pf_pread(jhr, h, JMH_SIZE, off) != JMH_SIZE || get_le32(h) != JAM_SIGNATURE ||
        get_le32(h + JMH_MESSAGENUMBER) != num || (get_le32(h + JMH_ATTRIBUTE) & JA_DELETED))
        return MbResult::Missing;
    MbResult r = fn(jhr, jdx.get(), at, rec, off, h, base);
    if (r != MbResult::Ok) return r;
    // The counters of the base header: also the writer's copy, which its
    // next append writes back.
    static_assert(JHI_ACTIVEMSGS == JHI_MODCOUNTER + 4, "counters side by side");
    if (held()) std::memcpy(w_.base + JHI_MODCOUNTER, base + JHI_MODCOUNTER, 8);
    if (pf_pwrite(jhr, base + JHI_MODCOUNTER, 8, JHI_MODCOUNTER) != 0) return MbResult::IoError;
    loaded_ = false;
    return MbResult::Ok;
}

MbResult JamBase::set_attrs(uint32_t num, MbAttrs set, MbAttrs clear) {
    if ((set | clear).has(MbAttr::Deleted)) return MbResult::BadArgument;
    return change(num, [&](pf_file jhr, pf_file, uint64_t, uint8_t*, uint32_t off, uint8_t* h,
                           uint8_t* base) {
        uint32_t attr = (get_le32(h + JMH_ATTRIBUTE) | jam_attr(set)) & ~jam_attr(clear);
        uint8_t b[4];
        put_le32(b, attr);
        if (pf_pwrite(jhr, b, 4, uint64_t{off} + JMH_ATTRIBUTE) != 0) return MbResult::IoError;
        // In a locked writer the base header in memory is the newer one.
        uint8_t* cur = held() ? w_.base : base;
        put_le32(base + JHI_MODCOUNTER, get_le32(cur + JHI_MODCOUNTER) + 1);
        put_le32(base + JHI_ACTIVEMSGS, get_le32(cur + JHI_ACTIVEMSGS));
        return MbResult::Ok;
    });
}

MbResult JamBase::remove(uint32_t num) {
    return change(num, [&](pf_file jhr, pf_file jdx, uint64_t at, uint8_t* rec, uint32_t off,
                           uint8_t* h, uint8_t* base) {
        put_le32(h + JMH_ATTRIBUTE, get_le32(h + JMH_ATTRIBUTE) | JA_DELETED);
        put_le32(h + JMH_TXTLEN, 0);
        if (pf_pwrite(jhr, h, JMH_SIZE, off) != 0) return MbResult::IoError;
        put_le32(rec + JDX_USERCRC, JDX_DELETED);
        put_le32(rec + JDX_HDROFFSET, JDX_DELETED);
        if (pf_pwrite(jdx, rec, JDX_SIZE, at) != 0) return MbResult::IoError;
        uint8_t* cur = held() ? w_.base : base;
        uint32_t active = get_le32(cur + JHI_ACTIVEMSGS);
        put_le32(base + JHI_MODCOUNTER, get_le32(cur + JHI_MODCOUNTER) + 1);
        put_le32(base + JHI_ACTIVEMSGS, active > 0 ? active - 1 : 0);
        return MbResult::Ok;
    });
}

MbResult JamBase::lastread(const char* user, uint32_t& out) {
    out = 0;
    if (!open_) return MbResult::BadArgument;
    char p[WP_PATH_MAX];
    mkpath(p, path_, ".jlr");
    std::string data;
    int r = f_read_whole(p, data, 64u << 20);
    if (r == 1) return MbResult::Ok;  // no file, no mark
    if (r != 0) return MbResult::IoError;
    const uint32_t crc = jam_crc(user);
    for (size_t i = 0; i + JLR_SIZE <= data.size(); i += JLR_SIZE) {
        const auto* rec = reinterpret_cast<const uint8_t*>(data.data() + i);
        if (get_le32(rec + JLR_USERCRC) == crc) {
            out = get_le32(rec + JLR_LASTREADMSG);
            return MbResult::Ok;
        }
    }
    return MbResult::Ok;
}

MbResult JamBase::set_lastread(const char* user, uint32_t num) {
    if (!open_) return MbResult::BadArgument;
    UniqueFile own;
    if (!held()) {
        own.reset(open_jhr(path_));
        if (!own) return MbResult::Missing;  // no base, no mark
    }
    JhrLock guard(held() ? PF_INVALID : own.get(), JAM_LOCK_TRIES);
    if (!held() && !guard) return MbResult::Locked;
    char p[WP_PATH_MAX];
    mkpath(p, path_, ".jlr");
    UniqueFile jlr(f_open_always(p));
    if (!jlr) return MbResult::IoError;
    const uint32_t crc = jam_crc(user);
    int64_t size = f_size(jlr.get());
    if (size < 0) return MbResult::IoError;
    const uint64_t whole = static_cast<uint64_t>(size) / JLR_SIZE * JLR_SIZE;
    uint8_t rec[JLR_SIZE];
    for (uint64_t at = 0; at < whole; at += JLR_SIZE) {
        if (pf_pread(jlr.get(), rec, JLR_SIZE, at) != JLR_SIZE) return MbResult::IoError;
        if (get_le32(rec + JLR_USERCRC) != crc) continue;
        put_le32(rec + JLR_LASTREADMSG, num);
        if (num > get_le32(rec + JLR_HIGHREADMSG)) put_le32(rec + JLR_HIGHREADMSG, num);
        return pf_pwrite(jlr.get(), rec, JLR_SIZE, at) == 0 ? MbResult::Ok : MbResult::IoError;
    }
    put_le32(rec + JLR_USERCRC, crc);
    put_le32(rec + JLR_USERID, crc);
    put_le32(rec + JLR_LASTREADMSG, num);
    put_le32(rec + JLR_HIGHREADMSG, num);
    return pf_pwrite(jlr.get(), rec, JLR_SIZE, whole) == 0 ? MbResult::Ok : MbResult::IoError;
}

MbResult JamBase::lock(int attempts) {
    if (!open_) return MbResult::BadArgument;
    if (locked()) return MbResult::Ok;
    attempts = attempts < 1 ? 1 : attempts;
    // Tell a damaged base from a busy one before the writer (which logs)
    // refuses it.
    char p[WP_PATH_MAX];
    mkpath(p, path_, ".jhr");
    PfStat st = pf_stat(p);
    if (!st.exists || st.size == 0) {
        lock_pending_ = true;
        lock_attempts_ = attempts;
        return MbResult::Ok;
    }
    UniqueFile h(f_open_read(p));
    uint8_t sig[4];
    if (!h) return MbResult::IoError;
    if (st.size < JHI_SIZE || pf_pread(h.get(), sig, 4, 0) != 4 || get_le32(sig) != JAM_SIGNATURE)
        return MbResult::Damaged;
    if (jam_writer_open(w_, path_, static_cast<uint32_t>(unix_now_local()), attempts) == 0)
        return MbResult::Ok;
    return MbResult::Locked;
}

void JamBase::unlock() {
    jam_writer_close(w_);
    lock_pending_ = false;
}
