// Fuzzing of the packet walk and the conversion: any bytes as a packet. The
// walk must never read outside the image, the validating and the filing pass
// must agree, and every converted message must be well-formed: a subfield
// block that walks to its exact end, a text no longer than the packed text, a
// tag of at most 63 characters, addresses that read back as written.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "app/catalog.h"
#include "core/bytes.h"
#include "core/log.h"
#include "jam/crc32.h"
#include "tosser/packet.h"

namespace {
std::string g_log;
TossMsg g_msg;

void check_addr(const ftn_addr& a) {
    char b[FTN_TEXT_MAX];
    size_t n = ftn_fmt(b, a);
    if (n >= FTN_TEXT_MAX || std::strlen(b) != n) abort();
    ftn_addr r;
    if (!parse_addr(b, r) || r.zone != a.zone || r.net != a.net || r.node != a.node ||
        r.point != a.point)
        abort();
}

int sink(void* ctx, const Packet& p, const ParsedMsg& m) {
    auto* seen = static_cast<uint32_t*>(ctx);
    ++*seen;
    const uint8_t* lo = p.data;
    const uint8_t* hi = p.data + p.size;
    auto inside = [&](const char* s) {
        auto* u = reinterpret_cast<const uint8_t*>(s);
        return u >= lo && u < hi;
    };
    if (!inside(m.date) || !inside(m.to) || !inside(m.from) || !inside(m.subject)) abort();
    if (reinterpret_cast<const uint8_t*>(m.text) + m.textlen >= hi) abort();
    if (std::strlen(m.date) >= PM_DATE_MAX || std::strlen(m.to) >= PM_TO_MAX ||
        std::strlen(m.from) >= PM_FROM_MAX || std::strlen(m.subject) >= PM_SUBJ_MAX)
        abort();
    pkt_convert(p.sum, m, 1000000, g_msg);
    if (g_msg.text.size() > m.textlen) abort();
    if (std::strlen(g_msg.tag) > TAG_MAX - 1) abort();
    size_t pos = 0;
    const std::string& s = g_msg.subf;
    while (s.size() - pos >= 8) {
        uint32_t len = get_le32(reinterpret_cast<const uint8_t*>(s.data() + pos + 4));
        if (len > s.size() - pos - 8) abort();
        pos += 8 + len;
    }
    if (pos != s.size()) abort();
    if (g_msg.date == 0 || g_msg.usercrc != jam_crc(m.to)) abort();
    if (!g_msg.echo) {
        check_addr(g_msg.orig);
        check_addr(g_msg.dest);
    }
    JamMsg j = g_msg.jam();
    if (j.jm_subflen != s.size() || j.jm_textlen != g_msg.text.size()) abort();
    return 0;
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static bool init = [] {
        lang_apply(LANG_EN);
        con_capture(&g_log);
        return true;
    }();
    (void)init;
    g_log.clear();
    // A private copy of exactly the input's size, so reads past it are caught.
    std::unique_ptr<uint8_t[]> img(new uint8_t[size ? size : 1]);
    if (size) std::memcpy(img.get(), data, size);
    Packet p;
    p.data = img.get();
    p.size = size;
    if (check_header(p) != 0) return 0;
    check_addr(p.sum.orig);
    check_addr(p.sum.dest);
    int first = scan_packet(p, 0);
    uint32_t count = p.sum.count;
    PktBoss bosses[2];
    bosses[0].boss = p.sum.orig;
    bosses[0].boss.point = 0;
    bosses[0].pktpwd = "Secret";
    int sender;
    check_password(p, bosses, 1, 0, &sender);
    uint32_t seen = 0;
    int second = scan_packet(p, 1, sink, &seen);
    if (first != second || p.sum.count != count || seen != count) abort();
    return 0;
}
