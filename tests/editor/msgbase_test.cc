// The editor's message-base layer on real JAM bases written by our appender,
// with the damage and races other programs can leave behind.
#include "editor/msgbase.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/bytes.h"
#include "jam/crc32.h"
#include "jam/jam_format.h"
#include "platform/platform.h"
#include "scanner/scanner_util.h"
#include "support/test_support.h"

using wptest::add_local;
using wptest::LocalMsg;
using wptest::read_file;
using wptest::write_file;

namespace {

std::u16string w(const char16_t* s) {
    return std::u16string(s);
}

// An editor state over one area at d/<name>, with the user "Jo Point".
struct Editor {
    wptest::TempDir d;
    EdBase eb;
    std::string base;
    explicit Editor(const std::string& name = "area") : base(d.file(name)) {
        eb.ed_nareas = 1;
        std::snprintf(eb.ed_areas[0].AR_PATH, sizeof eb.ed_areas[0].AR_PATH, "%s", base.c_str());
        ej_set_user(eb, "Jo Point");
    }
    EdArea& area() { return eb.ed_areas[0]; }
    void add(int n, LocalMsg m = LocalMsg{}) {
        for (int i = 0; i < n; ++i) ASSERT_EQ(add_local(base, m), 0);
    }
    // The n-th message of the list in display order.
    const EdMsg& row(uint32_t r) { return eb.ej_msgs[eb.ej_order[r]]; }
    // Its texts as the list shows them.
    const EdRow& text(uint32_t r) { return ej_row(eb, eb.ej_order[r]); }
    std::vector<uint32_t> numbers() {
        std::vector<uint32_t> v;
        for (uint32_t r = 0; r < eb.ej_count; ++r) v.push_back(row(r).MS_NUM);
        return v;
    }
    uint32_t jhr32(uint64_t off) {
        std::string s = read_file(base + ".jhr");
        return get_le32(reinterpret_cast<const uint8_t*>(s.data()) + off);
    }
    void put_jhr32(uint64_t off, uint32_t v) {
        std::string s = read_file(base + ".jhr");
        put_le32(reinterpret_cast<uint8_t*>(&s[off]), v);
        write_file(base + ".jhr", s);
    }
};

}  // namespace

TEST(EdMsgbase, CountsLoadsAndReadsAnArea) {
    Editor e;
    LocalMsg m;
    m.from = "Kurt K\x84se";  // CP437 a-umlaut
    m.to = "All";
    m.subject = "Cheese";
    m.text = "First line\rSecond line\r";
    m.date = 1709210096;  // 2024-02-29 12:34:56
    e.add(1, m);
    e.add(2);

    ej_counts(e.eb, 0);
    EXPECT_EQ(e.area().AR_TOTAL, 3u);
    EXPECT_EQ(e.area().AR_HIGH, 3u);
    EXPECT_EQ(e.area().AR_UNREAD, 3u);
    EXPECT_EQ(e.area().AR_LAST, 0u);

    ASSERT_EQ(ej_load_area(e.eb, 0), 0);
    ASSERT_EQ(e.eb.ej_count, 3u);
    const EdMsg& first = e.row(0);
    EXPECT_EQ(first.MS_NUM, 1u);
    EXPECT_EQ(w(e.text(0).MS_FROM), u"Kurt K\u00e4se");
    EXPECT_EQ(w(e.text(0).MS_TO), u"All");
    EXPECT_EQ(w(e.text(0).MS_SUBJ), u"Cheese");
    EXPECT_EQ(w(e.text(0).MS_DATES), u"29.02.2024 12:34");
    EXPECT_EQ(w(e.text(2).MS_NUMS), u"3");
    EXPECT_EQ(first.MS_SFOFF, first.MS_HOFF + 76);
    uint32_t len = 0;
    const char* text = ej_get_text(e.eb, e.eb.ej_order[0], len);
    ASSERT_NE(text, nullptr);
    EXPECT_EQ(std::string(text, len), m.text);
    EXPECT_EQ(text[len], '\0');
    const uint8_t* sf = ej_find_sf(e.eb, e.eb.ej_order[0], SF_SUBJECT, len);
    ASSERT_NE(sf, nullptr);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(sf), len), "Cheese");
    EXPECT_EQ(ej_find_sf(e.eb, e.eb.ej_order[0], SF_MSGID, len), nullptr);
    EXPECT_EQ(len, 0u);

    // A text cut short by the end of .jdt gives the bytes that exist; a
    // missing .jdt gives none.
    std::string jdt = read_file(e.base + ".jdt");
    write_file(e.base + ".jdt", jdt.substr(0, 5));
    text = ej_get_text(e.eb, e.eb.ej_order[0], len);
    EXPECT_EQ(std::string(text, len), "First");
    pf_delete((e.base + ".jdt").c_str());
    text = ej_get_text(e.eb, e.eb.ej_order[0], len);
    ASSERT_NE(text, nullptr);
    EXPECT_EQ(len, 0u);
}

TEST(EdMsgbase, MissingEmptyAndDamagedBases) {
    Editor e;
    // No base at all.
    ej_counts(e.eb, 0);
    EXPECT_EQ(e.area().AR_TOTAL + e.area().AR_HIGH + e.area().AR_UNREAD, 0u);
    EXPECT_EQ(ej_load_area(e.eb, 0), 0);
    EXPECT_EQ(e.eb.ej_count, 0u);
    uint32_t none = 0;
    EXPECT_EQ(ej_delete(e.eb, 0, &none, 0), -1);
    ej_set_lastread(e.eb, 0, 7);  // only the in-memory mark
    EXPECT_EQ(e.area().AR_LAST, 7u);
    EXPECT_FALSE(wptest::file_exists(e.base + ".jlr"));

    // A base whose index is empty: no messages, no error.
    e.add(1);
    write_file(e.base + ".jdx", "");
    e.area().AR_LAST = 0;
    ej_counts(e.eb, 0);
    EXPECT_EQ(e.area().AR_TOTAL, 0u);
    EXPECT_EQ(e.area().AR_HIGH, 0u);
    EXPECT_EQ(e.area().AR_UNREAD, 0u);
    EXPECT_EQ(ej_load_area(e.eb, 0), 0);
    EXPECT_EQ(e.eb.ej_count, 0u);

    // A header without its signature, and one cut short.
    std::string jhr = read_file(e.base + ".jhr");
    for (const std::string& bad : {"JUNK" + jhr.substr(4), jhr.substr(0, 1000)}) {
        write_file(e.base + ".jhr", bad);
        ej_counts(e.eb, 0);
        EXPECT_EQ(e.area().AR_TOTAL + e.area().AR_HIGH, 0u);
        EXPECT_EQ(ej_load_area(e.eb, 0), 1);
        EXPECT_EQ(ej_delete(e.eb, 0, &none, 0), -1);
    }
}

TEST(EdMsgbase, IndexRecordsThatLeadNowhereAreSkipped) {
    Editor e;
    e.add(5);
    ASSERT_EQ(ej_load_area(e.eb, 0), 0);
    std::vector<uint32_t> off;
    for (uint32_t i = 0; i < 5; ++i) off.push_back(e.eb.ej_msgs[i].MS_HOFF);
    std::string jdx = read_file(e.base + ".jdx");
    auto set_off = [&](int rec, uint32_t v) {
        put_le32(reinterpret_cast<uint8_t*>(&jdx[rec * 8 + 4]), v);
    };
    set_off(0, 0xFFFFFFFFu);  // deleted index record
    set_off(1, 1u << 30);     // points past the end
    set_off(2, off[2] + 1);   // no signature there
    write_file(e.base + ".jdx", jdx);
    e.put_jhr32(off[3] + 52, JA_LOCAL | JA_DELETED);  // deleted header
    ASSERT_EQ(ej_load_area(e.eb, 0), 0);
    EXPECT_EQ(e.numbers(), std::vector<uint32_t>{5});
    EXPECT_EQ(e.area().AR_TOTAL, 1u);
}

TEST(EdMsgbase, LastReadMarkInTheJlr) {
    Editor e;
    e.add(100);
    // Another user's records fill more than one 4096-byte chunk.
    std::string other;
    for (int i = 0; i < 300; ++i) {
        uint8_t rec[16];
        put_le32(rec, 0x1000u + i);
        put_le32(rec + 4, 0x1000u + i);
        put_le32(rec + 8, 3);
        put_le32(rec + 12, 3);
        other.append(reinterpret_cast<char*>(rec), 16);
    }
    write_file(e.base + ".jlr", other);
    EXPECT_EQ(read_lastread(e.eb, 0), 0u);
    ASSERT_EQ(ej_load_area(e.eb, 0), 0);
    EXPECT_EQ(e.area().AR_UNREAD, 100u);

    // The first message read appends the user's record, UserID = UserCRC.
    ej_set_lastread(e.eb, 0, 80);
    std::string jlr = read_file(e.base + ".jlr");
    ASSERT_EQ(jlr.size(), other.size() + 16);
    const auto* rec = reinterpret_cast<const uint8_t*>(jlr.data()) + other.size();
    uint32_t crc = jam_crc("jo point");
    EXPECT_EQ(get_le32(rec), crc);
    EXPECT_EQ(get_le32(rec + 4), crc);
    EXPECT_EQ(get_le32(rec + 8), 80u);
    EXPECT_EQ(get_le32(rec + 12), 80u);

    // Reading 50 afterwards keeps the mark at 80.
    ej_set_lastread(e.eb, 0, 50);
    jlr = read_file(e.base + ".jlr");
    ASSERT_EQ(jlr.size(), other.size() + 16);
    rec = reinterpret_cast<const uint8_t*>(jlr.data()) + other.size();
    EXPECT_EQ(get_le32(rec + 8), 50u);
    EXPECT_EQ(get_le32(rec + 12), 80u);
    EXPECT_EQ(jlr.substr(0, other.size()), other);
    EXPECT_EQ(read_lastread(e.eb, 0), 80u);
    EXPECT_EQ(e.area().AR_LAST, 80u);

    ASSERT_EQ(ej_load_area(e.eb, 0), 0);
    EXPECT_EQ(e.area().AR_UNREAD, 20u);
    ej_counts(e.eb, 0);
    EXPECT_EQ(e.area().AR_UNREAD, 20u);
    EXPECT_EQ(e.area().AR_HIGH, 100u);

    // While another writer holds the base, only the in-memory mark moves.
    pf_file h = pf_open((e.base + ".jhr").c_str(), PfAccess::ReadWrite, PfCreate::OpenExisting);
    ASSERT_EQ(pf_lock_range(h, 0, 1), 0);
    ej_set_lastread(e.eb, 0, 90);
    EXPECT_EQ(e.area().AR_LAST, 90u);
    EXPECT_EQ(read_lastread(e.eb, 0), 80u);
    uint32_t entry = 0;
    EXPECT_EQ(ej_delete(e.eb, 0, &entry, 1), -1);
    pf_close(h);
}

TEST(EdMsgbase, AreaFixSubjectsAreHidden) {
    Editor e;
    LocalMsg req;
    req.to = "AreaFix";
    req.subject = "secret";
    req.text = "+FSX_GEN\r";
    e.add(1, req);
    LocalMsg reply;
    reply.from = "areamgr";
    reply.subject = "reply";
    e.add(1, reply);
    e.add(1);
    ASSERT_EQ(ej_load_area(e.eb, 0), 0);
    EXPECT_EQ(w(e.text(0).MS_SUBJ), u"********");
    EXPECT_EQ(w(e.text(1).MS_SUBJ), u"********");
    EXPECT_EQ(w(e.text(2).MS_SUBJ), u"Hello");
    uint32_t len = 0;
    EXPECT_EQ(std::string(ej_get_text(e.eb, 0, len)), "+FSX_GEN\r");
    const uint8_t* sf = ej_find_sf(e.eb, 0, SF_SUBJECT, len);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(sf), len), "secret");
}

TEST(EdMsgbase, SubfieldRunningPastTheEnd) {
    Editor e;
    LocalMsg m;
    m.subject = "A subject that gets cut";
    e.add(1, m);
    // The last header's subfields are cut off by the end of the file: its
    // SubfieldLen still claims them all.
    std::string jhr = read_file(e.base + ".jhr");
    write_file(e.base + ".jhr", jhr.substr(0, jhr.size() - 10));
    ASSERT_EQ(ej_load_area(e.eb, 0), 0);
    ASSERT_EQ(e.eb.ej_count, 1u);
    EXPECT_EQ(e.row(0).MS_SFLEN, e.eb.ej_jhrlen - e.row(0).MS_SFOFF);
    EXPECT_EQ(w(e.text(0).MS_SUBJ), u"A subject tha");
    uint32_t len = 7;
    EXPECT_EQ(ej_find_sf(e.eb, 0, SF_SUBJECT, len), nullptr);
    EXPECT_EQ(len, 0u);
    EXPECT_NE(ej_find_sf(e.eb, 0, SF_SENDER, len), nullptr);
}

// The list reads .jhr in pieces (1 MB while loading, 64 KB windows for the
// rows): headers that straddle a piece, a header block larger than a window,
// and rows asked for backwards all come out whole.
TEST(EdMsgbase, HeadersAcrossReadPieces) {
    Editor e;
    std::vector<size_t> klen;
    for (int i = 0; i < 40; ++i) {
        LocalMsg m;
        m.from = "Sender " + std::to_string(i + 1);
        m.subject = "Subject " + std::to_string(i + 1);
        klen.push_back(i == 37 ? 100000 : 30000 + size_t(i) * 7);
        m.kludge = std::string(klen.back(), 'k');
        e.add(1, m);
    }
    ASSERT_EQ(ej_load_area(e.eb, 0), 0);
    ASSERT_EQ(e.eb.ej_count, 40u);
    for (int pass = 0; pass < 2; ++pass)
        for (uint32_t k = 0; k < 40; ++k) {
            uint32_t r = pass == 0 ? 39 - k : k;
            EXPECT_EQ(e.row(r).MS_NUM, r + 1);
            std::string from = "Sender " + std::to_string(r + 1);
            EXPECT_EQ(w(e.text(r).MS_FROM), std::u16string(from.begin(), from.end()));
            uint32_t len = 0;
            const uint8_t* kl = ej_find_sf(e.eb, e.eb.ej_order[r], SF_KLUDGE, len);
            ASSERT_NE(kl, nullptr) << r;
            EXPECT_EQ(len, klen[r]);
            EXPECT_EQ(kl[0], 'k');
            EXPECT_EQ(kl[len - 1], 'k');
        }
}

// An index whose records are not in the order of the headers in the file
// (as a base rebuilt by some other program may have): every message is
// listed, the number order is still by number, the rows show their own names.
TEST(EdMsgbase, IndexOutOfFileOrder) {
    Editor e;
    for (const char* from : {"One", "Two", "Three"}) {
        LocalMsg m;
        m.from = from;
        e.add(1, m);
    }
    std::string jdx = read_file(e.base + ".jdx");
    write_file(e.base + ".jdx", jdx.substr(8, 8) + jdx.substr(0, 8) + jdx.substr(16));
    ASSERT_EQ(ej_load_area(e.eb, 0), 0);
    ASSERT_EQ(e.eb.ej_count, 3u);
    EXPECT_EQ(e.eb.ej_msgs[0].MS_NUM, 2u);
    ej_sort(e.eb, SORT_NUM, 0);
    EXPECT_EQ(e.numbers(), (std::vector<uint32_t>{1, 2, 3}));
    EXPECT_EQ(w(e.text(0).MS_FROM), u"One");
    EXPECT_EQ(w(e.text(1).MS_FROM), u"Two");
    ej_sort(e.eb, SORT_FROM, 0);
    EXPECT_EQ(e.numbers(), (std::vector<uint32_t>{1, 3, 2}));
}

// Rows are decoded when first shown: a header that another program replaced
// after loading (its number no longer the listed one) shows empty, never
// another message's names.
TEST(EdMsgbase, HeaderReplacedAfterLoadingShowsEmpty) {
    Editor e;
    e.add(2);
    ASSERT_EQ(ej_load_area(e.eb, 0), 0);
    e.put_jhr32(e.eb.ej_msgs[1].MS_HOFF + 48, 77);  // MessageNumber
    EXPECT_EQ(w(ej_row(e.eb, 1).MS_FROM), u"");
    uint32_t len = 5;
    EXPECT_EQ(ej_find_sf(e.eb, 1, SF_SENDER, len), nullptr);
    EXPECT_EQ(len, 0u);
    EXPECT_EQ(w(ej_row(e.eb, 1).MS_NUMS), u"2");  // from the list itself
    EXPECT_EQ(w(ej_row(e.eb, 0).MS_FROM), u"Jo Point");
}

TEST(EdMsgbase, DeleteSkipsWhatAnotherProgramDeletedMeanwhile) {
    Editor e;
    e.add(3);
    ASSERT_EQ(ej_load_area(e.eb, 0), 0);
    uint32_t mod = e.jhr32(8);
    // Message 2 was deleted by another program after the list was loaded.
    e.put_jhr32(e.eb.ej_msgs[1].MS_HOFF + 52, JA_LOCAL | JA_DELETED);
    uint32_t entries[] = {1, 2};
    EXPECT_EQ(ej_delete(e.eb, 0, entries, 2), 1);
    EXPECT_EQ(e.jhr32(12), 2u);  // ActiveMsgs 3 - 1
    EXPECT_EQ(e.jhr32(8), mod + 1);
    uint32_t h3 = e.eb.ej_msgs[2].MS_HOFF;
    EXPECT_EQ(e.jhr32(h3 + 52), JA_LOCAL | JA_DELETED);
    EXPECT_EQ(e.jhr32(h3 + 64), 0u);  // TxtLen
    std::string jdx = read_file(e.base + ".jdx");
    const auto* rec = reinterpret_cast<const uint8_t*>(jdx.data()) + 2 * 8;
    EXPECT_EQ(get_le32(rec), 0xFFFFFFFFu);
    EXPECT_EQ(get_le32(rec + 4), 0xFFFFFFFFu);
    EXPECT_NE(get_le32(rec - 4), 0xFFFFFFFFu);  // message 2's record untouched

    // Nothing left to delete: 0 and the base header unchanged.
    EXPECT_EQ(ej_delete(e.eb, 0, entries, 2), 0);
    EXPECT_EQ(e.jhr32(8), mod + 1);
    ASSERT_EQ(ej_load_area(e.eb, 0), 0);
    EXPECT_EQ(e.numbers(), std::vector<uint32_t>{1});
}

TEST(EdMsgbase, SortsByColumnWithTheNumberAsTieBreak) {
    Editor e;
    const char* froms[] = {"bert", "\x8Erger", "Apfel", "Bert", "Zoe", "apfel"};
    uint32_t dates[] = {500, 100, 400, 100, 300, 200};
    for (int i = 0; i < 6; ++i) {
        LocalMsg m;
        m.from = froms[i];
        m.date = dates[i];
        e.add(1, m);
    }
    ASSERT_EQ(ej_load_area(e.eb, 0), 0);
    struct {
        int col, desc;
        std::vector<uint32_t> order;
    } rows[] = {
        {SORT_FROM, 0, {3, 6, 2, 1, 4, 5}},  // Apfel apfel Aerger bert Bert Zoe
        {SORT_FROM, 1, {5, 4, 1, 2, 6, 3}},  // equal names: higher number first
        {SORT_DATE, 0, {2, 4, 6, 5, 3, 1}},
        {SORT_DATE, 1, {1, 3, 5, 6, 4, 2}},
        {SORT_NUM, 1, {6, 5, 4, 3, 2, 1}},
        {SORT_SUBJ, 0, {1, 2, 3, 4, 5, 6}},  // all subjects equal
        {17, 0, {1, 2, 3, 4, 5, 6}},         // unknown column: by number
    };
    for (auto& r : rows) {
        ej_sort(e.eb, r.col, r.desc);
        EXPECT_EQ(e.numbers(), r.order) << r.col << " " << r.desc;
    }
}

TEST(EdMsgbase, DateTexts) {
    struct {
        uint32_t t;
        const char16_t* text;
    } rows[] = {
        {0, u"01.01.1970 00:00"},           {86399, u"01.01.1970 23:59"},
        {951782400, u"29.02.2000 00:00"},   {4107542400u, u"01.03.2100 00:00"},
        {4294967295u, u"07.02.2106 06:28"},
    };
    for (auto& r : rows) {
        char16_t out[20];
        ej_fmt_date(r.t, out);
        EXPECT_EQ(w(out), w(r.text)) << r.t;
    }
}

TEST(EdMsgbase, LocaleOrderOfNames) {
    struct {
        const char16_t *a, *b;
        int sign;
    } rows[] = {
        {u"abc", u"ABC", 0},
        {u"Apfel", u"\u00c4rger", -1},
        {u"\u00c4rger", u"Birne", -1},
        {u"\u00e4rger", u"\u00c4RGER", 0},
        {u"arger", u"\u00e4rger", -1},
        {u"", u"a", -1},
        {u"Zoe", u"zo", 1},
    };
    for (auto& r : rows) {
        int c = pf_wcsicmp(r.a, r.b);
        EXPECT_EQ((c > 0) - (c < 0), r.sign);
        c = pf_wcsicmp(r.b, r.a);
        EXPECT_EQ((c > 0) - (c < 0), -r.sign);
    }
}
