#include "editor/areas.h"

#include "core/bytes.h"
#include "core/cp437.h"
#include "core/strutil.h"
#include "editor/messages.h"
#include "jam/crc32.h"
#include "jam/jam_format.h"

namespace {

// Appends an area; false when the table is full.
bool add_area(EdBase& eb, const char* path, const char* tag, uint32_t net, uint32_t type,
              const char16_t* title) {
    if (eb.ed_nareas >= MAX_EAREAS) return false;
    EdArea& a = eb.ed_areas[eb.ed_nareas];
    a = EdArea{};
    str_copy(a.AR_PATH, path, sizeof a.AR_PATH);
    str_copy(a.AR_TAG, tag, sizeof a.AR_TAG);
    a.AR_NET = net;
    a.AR_TYPE = type;
    wcopy(a.AR_TITLE, title, 64);
    ++eb.ed_nareas;
    return true;
}

bool add_area(EdBase& eb, const char* path, const char* tag, uint32_t net, uint32_t type,
              const char* title) {
    char16_t w[64];
    a_to_w(w, title, 64);
    return add_area(eb, path, tag, net, type, w);
}

// Appends a terminated UTF-16 text, cut to the capacity.
void put(char16_t* out, size_t cap, const char16_t* s) {
    wcat(out, s, cap);
}
void put(char16_t* out, size_t cap, const char* ascii) {
    char16_t w[128];
    a_to_w(w, ascii, 128);
    wcat(out, w, cap);
}
void put_num(char16_t* out, size_t cap, uint64_t v) {
    char16_t w[21];
    wnum(v, w);
    wcat(out, w, cap);
}

uint32_t high_mark(const EdBase& eb) {
    return eb.ej_area >= 0 ? eb.ed_areas[eb.ej_area].AR_LAST : 0;
}

// A subfield's first 120 bytes as ASCII text (other bytes become "?").
void sf_ascii(const EdBase& eb, uint32_t entry, uint16_t id, char* out) {
    out[0] = 0;
    uint32_t len = 0;
    const uint8_t* p = ej_find_sf(eb, entry, id, len);
    if (p == nullptr) return;
    if (len > 120) len = 120;
    uint32_t n = 0;
    for (uint32_t i = 0; i < len && p[i] != 0; ++i) out[n++] = p[i] < 0x80 ? char(p[i]) : '?';
    out[n] = 0;
}

}  // namespace

void build_tables(Config& c, EdBase& eb, EdNets& nets) {
    eb.ed_nareas = 0;
    nets.ed_net_count = 0;
    const BossCfg global = cfg_boss(c, -1);
    ej_set_user(eb, global.get(F_SYSOP));
    char bad[CFG_STR], dupes[CFG_STR];
    str_copy(bad, global.get(F_BADAREA), sizeof bad);
    str_copy(dupes, global.get(F_DUPEAREA), sizeof dupes);

    int bosses = cfg_boss_count(c) < MAX_NETS ? cfg_boss_count(c) : MAX_NETS;
    int rounds = bosses > 0 ? bosses : 1;
    for (int b = 0; b < rounds; ++b) {
        int sect = bosses > 0 ? b : -1;
        const BossCfg bc = cfg_boss(c, sect);
        EdNet& n = nets.ed_nets[nets.ed_net_count];
        n = EdNet{};
        uint32_t net = static_cast<uint32_t>(nets.ed_net_count++);
        str_copy(n.NT_ADDR, bc.get(F_ADDRESS), sizeof n.NT_ADDR);
        str_copy(n.NT_SECT, bc.name, sizeof n.NT_SECT);
        const char* name = bc.get(F_NETNAME);
        str_copy(n.NT_NAME, name[0] ? name : bc.name, sizeof n.NT_NAME);
        str_copy(n.NT_SYSOP, bc.get(F_SYSOP), sizeof n.NT_SYSOP);
        str_copy(n.NT_SYSTEM, bc.get(F_SYSTEM), sizeof n.NT_SYSTEM);
        n.NT_ZONE = static_cast<uint32_t>(parse_u64(n.NT_ADDR));
        if (bc.get(F_NETMAIL)[0] != '\0') {
            char tag[64];
            str_copy(tag, "NETMAIL.", sizeof tag);
            str_cat(tag, bc.name, sizeof tag);
            if (add_area(eb, bc.get(F_NETMAIL), tag, net, AT_NET, "Netmail"))
                n.NT_NMAREA = static_cast<uint32_t>(eb.ed_nareas - 1);
        }
        for (int a = 0; a < c.area_count; ++a)
            if (c.area_nets[a] == sect)
                add_area(eb, c.area_paths[a], c.area_tags[a], net, AT_ECHO, c.area_tags[a]);
    }
    if (bosses > 0)
        for (int a = 0; a < c.area_count; ++a)
            if (c.area_nets[a] < 0)
                add_area(eb, c.area_paths[a], c.area_tags[a], AR_NONET, AT_ECHO, c.area_tags[a]);
    if (bad[0] != '\0') add_area(eb, bad, "BAD", AR_NONET, AT_LOCAL, w_bad);
    if (dupes[0] != '\0') add_area(eb, dupes, "DUPES", AR_NONET, AT_LOCAL, w_dupes);
}

uint32_t area_list_sum(const Config& c) {
    uint32_t crc = 0xFFFFFFFFu;
    for (int a = 0; a < c.area_count; ++a) {
        crc = crc_update(c.area_tags[a], str_len(c.area_tags[a]) + 1, crc);
        crc = crc_update(c.area_paths[a], str_len(c.area_paths[a]) + 1, crc);
        uint8_t net[4];
        put_le32(net, static_cast<uint32_t>(c.area_nets[a]));
        crc = crc_update(net, 4, crc);
    }
    return crc ^ static_cast<uint32_t>(c.area_count);
}

void area_item_text(const EdArea& a, char16_t* out, size_t cap) {
    out[0] = 0;
    put(out, cap, a.AR_TITLE);
    put(out, cap, "  (");
    put_num(out, cap, a.AR_UNREAD);
    put(out, cap, "/");
    put_num(out, cap, a.AR_TOTAL);
    put(out, cap, ")");
}

void net_root_text(const EdNet& n, char16_t* out, size_t cap) {
    out[0] = 0;
    put(out, cap, n.NT_NAME);
    put(out, cap, u"  \u2039");
    put(out, cap, n.NT_ADDR);
    put(out, cap, u"\u203a");
}

void count_areas(EdBase& eb) {
    for (int a = 0; a < eb.ed_nareas; ++a) ej_counts(eb, a);
}

uint32_t recount_unread(const EdBase& eb) {
    uint32_t mark = high_mark(eb), n = 0;
    for (uint32_t i = 0; i < eb.ej_count; ++i)
        if (eb.ej_msgs[i].MS_NUM > mark) ++n;
    return n;
}

int pick_row(const EdBase& eb, uint32_t want_num) {
    if (eb.ej_count == 0) return -1;
    if (want_num != 0)
        for (uint32_t r = 0; r < eb.ej_count; ++r)
            if (eb.ej_msgs[eb.ej_order[r]].MS_NUM == want_num) return static_cast<int>(r);
    int next = next_unread_row(eb, -1);
    return next >= 0 ? next : static_cast<int>(eb.ej_count - 1);
}

int next_unread_row(const EdBase& eb, int from) {
    uint32_t mark = high_mark(eb);
    for (uint32_t r = static_cast<uint32_t>(from + 1); r < eb.ej_count; ++r)
        if (eb.ej_msgs[eb.ej_order[r]].MS_NUM > mark) return static_cast<int>(r);
    return -1;
}

void header_lines(const EdBase& eb, uint32_t row, char16_t lines[5][HDR_LINE]) {
    uint32_t entry = eb.ej_order[row];
    const EdMsg& m = eb.ej_msgs[entry];
    const EdRow& t = ej_row(eb, entry);
    for (int i = 0; i < 5; ++i) lines[i][0] = 0;
    // A name, then its address subfield in angle quotes when there is one.
    auto name_line = [&](char16_t* line, const char16_t* name, uint16_t id) {
        char addr[121];
        put(line, HDR_LINE, name);
        sf_ascii(eb, entry, id, addr);
        if (addr[0] == 0) return;
        put(line, HDR_LINE, u"  \u2039");
        put(line, HDR_LINE, addr);
        put(line, HDR_LINE, u"\u203a");
    };
    name_line(lines[0], t.MS_FROM, SF_OADDR);
    name_line(lines[1], t.MS_TO, SF_DADDR);
    put(lines[2], HDR_LINE, t.MS_SUBJ);
    put(lines[3], HDR_LINE, t.MS_DATES);
    if (m.MS_ATTR & JA_LOCAL)
        put(lines[3], HDR_LINE, (m.MS_ATTR & JA_SENT) ? w_flags_s : w_flags_l);
    if (m.MS_ATTR & JA_PRIVATE) put(lines[3], HDR_LINE, w_priv);
    put(lines[4], HDR_LINE, w_nr);
    put(lines[4], HDR_LINE, t.MS_NUMS);
    put(lines[4], HDR_LINE, "  (");
    put_num(lines[4], HDR_LINE, row + 1);
    put(lines[4], HDR_LINE, "/");
    put_num(lines[4], HDR_LINE, eb.ej_count);
    put(lines[4], HDR_LINE, ")");
}

uint32_t number_after_delete(const EdBase& eb, const bool* selected) {
    int first = -1;
    for (uint32_t r = 0; r < eb.ej_count && first < 0; ++r)
        if (selected[r]) first = static_cast<int>(r);
    if (first < 0) return 0;
    for (uint32_t r = static_cast<uint32_t>(first) + 1; r < eb.ej_count; ++r)
        if (!selected[r]) return eb.ej_msgs[eb.ej_order[r]].MS_NUM;
    for (int r = first - 1; r >= 0; --r)
        if (!selected[r]) return eb.ej_msgs[eb.ej_order[r]].MS_NUM;
    return 0;
}
