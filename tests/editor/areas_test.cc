// The editor's network and area tables and the logic behind the tree and the
// message list, on configurations and bases written for the purpose.
#include "editor/areas.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "app/catalog.h"
#include "scanner/scanner_util.h"
#include "support/test_support.h"

using wptest::add_local;
using wptest::LocalMsg;
using wptest::write_file;

namespace {

std::u16string w(const char16_t* s) {
    return s;
}

struct Tables {
    wptest::TempDir d;
    std::unique_ptr<Config> cfg = std::make_unique<Config>();
    std::unique_ptr<EdBase> eb = std::make_unique<EdBase>();
    EdNets nets;
    Tables() { lang_apply(LANG_EN); }
    void load(const std::string& text) {
        write_file(d.file("wrenpost.cfg"), text);
        ASSERT_EQ(load_config(*cfg, d.file("wrenpost.cfg").c_str()), 0);
        eb->cfg = cfg.get();
        build_tables(*cfg, *eb, nets);
    }
    std::vector<std::string> tags() {
        std::vector<std::string> t;
        for (int a = 0; a < eb->ed_nareas; ++a)
            t.push_back(std::string(eb->ed_areas[a].AR_TAG) + "@" +
                        (eb->ed_areas[a].AR_NET == AR_NONET
                             ? "-"
                             : std::to_string(eb->ed_areas[a].AR_NET)));
        return t;
    }
};

const char kTwoBosses[] =
    "sysop=Jo Point\nsystem=Home\nbadarea=/m/bad\ndupearea=/m/dupes\n"
    "echoarea=EARLY /m/early\n"
    "[fido]\naddress=2:240/5832.7\nboss_address=2:240/5832\nnetmail=/m/fidonet\n"
    "netname=FidoNet\n"
    "echoarea=FIDO.ONE /m/one\n"
    "[fsx]\naddress=21:3/210.7\nboss_address=21:3/210\nsysop=Jo at fsx\n"
    "echoarea=FSX_GEN /m/fsxgen\n";

}  // namespace

TEST(EdAreas, TablesFromTwoBossesAndNone) {
    Tables t;
    t.load(kTwoBosses);
    ASSERT_EQ(t.nets.ed_net_count, 2);
    const EdNet& fido = t.nets.ed_nets[0];
    EXPECT_STREQ(fido.NT_NAME, "FidoNet");
    EXPECT_STREQ(fido.NT_SECT, "fido");
    EXPECT_STREQ(fido.NT_ADDR, "2:240/5832.7");
    EXPECT_EQ(fido.NT_ZONE, 2u);
    EXPECT_STREQ(fido.NT_SYSOP, "Jo Point");
    EXPECT_EQ(fido.NT_NMAREA, 0u);
    const EdNet& fsx = t.nets.ed_nets[1];
    EXPECT_STREQ(fsx.NT_NAME, "fsx");
    EXPECT_STREQ(fsx.NT_SYSOP, "Jo at fsx");
    EXPECT_EQ(fsx.NT_NMAREA, AR_NONET);
    EXPECT_EQ(t.tags(), (std::vector<std::string>{"NETMAIL.fido@0", "FIDO.ONE@0", "FSX_GEN@1",
                                                  "EARLY@-", "BAD@-", "DUPES@-"}));
    EXPECT_EQ(w(t.eb->ed_areas[0].AR_TITLE), u"Netmail");
    EXPECT_EQ(t.eb->ed_areas[0].AR_TYPE, AT_NET);
    EXPECT_EQ(w(t.eb->ed_areas[1].AR_TITLE), u"FIDO.ONE");
    EXPECT_EQ(t.eb->ed_areas[3].AR_TYPE, AT_ECHO);
    EXPECT_EQ(w(t.eb->ed_areas[4].AR_TITLE), u"Bad (unknown areas)");
    EXPECT_EQ(t.eb->ed_areas[5].AR_TYPE, AT_LOCAL);
    EXPECT_STREQ(t.eb->ed_areas[5].AR_PATH, "/m/dupes");
    EXPECT_EQ(t.eb->ej_user_crc, jam_crc("jo point"));

    // Without sections: one network from the global settings with every area.
    Tables one;
    one.load("address=21:3/210.7\nnetmail=/m/net\nechoarea=A /m/a\nechoarea=B /m/b\n");
    ASSERT_EQ(one.nets.ed_net_count, 1);
    EXPECT_STREQ(one.nets.ed_nets[0].NT_NAME, "default");
    EXPECT_EQ(one.tags(), (std::vector<std::string>{"NETMAIL.default@0", "A@0", "B@0"}));
}

TEST(EdAreas, AreaListSumTellsAChangedList) {
    Tables t;
    t.load(kTwoBosses);
    uint32_t base = area_list_sum(*t.cfg);
    EXPECT_EQ(area_list_sum(*t.cfg), base);
    std::string text = kTwoBosses;
    struct {
        std::string from, to;
    } changes[] = {
        {"FSX_GEN /m/fsxgen", "FSX_GEN /m/fsxgen2"},       // path
        {"FSX_GEN /m/fsxgen", "FSX_GEM /m/fsxgen"},        // tag
        {"echoarea=EARLY /m/early\n", ""},                 // one area fewer
        {"[fsx]\n", "[other]\naddress=1:2/3.4\n[fsx]\n"},  // same areas, another boss
    };
    for (auto& c : changes) {
        Tables u;
        std::string changed = text;
        changed.replace(changed.find(c.from), c.from.size(), c.to);
        u.load(changed);
        EXPECT_NE(area_list_sum(*u.cfg), base) << c.to;
    }
}

TEST(EdAreas, ItemTexts) {
    EdArea a;
    std::u16string title = u"FSX_GEN";
    wcopy(a.AR_TITLE, title.c_str(), 64);
    a.AR_UNREAD = 3;
    a.AR_TOTAL = 120;
    char16_t out[100];
    area_item_text(a, out, 100);
    EXPECT_EQ(w(out), u"FSX_GEN  (3/120)");
    EdNet n;
    str_copy(n.NT_NAME, "fsxNet", 64);
    str_copy(n.NT_ADDR, "21:3/210.7", 64);
    net_root_text(n, out, 100);
    EXPECT_EQ(w(out), u"fsxNet  \u203921:3/210.7\u203a");
}

namespace {

// A loaded area of `n` messages with dates `dates`, the first `read` of them read.
struct List {
    wptest::TempDir d;
    std::unique_ptr<EdBase> eb = std::make_unique<EdBase>();
    explicit List(std::vector<uint32_t> dates, uint32_t read = 0) {
        lang_apply(LANG_EN);
        std::string base = d.file("a");
        for (uint32_t date : dates) {
            LocalMsg m;
            m.date = date;
            m.oaddr = "21:3/210.7";
            EXPECT_EQ(add_local(base, m), 0);
        }
        eb->ed_nareas = 1;
        str_copy(eb->ed_areas[0].AR_PATH, base.c_str(), 256);
        ej_set_user(*eb, "Jo Point");
        if (read > 0) ej_set_lastread(*eb, 0, read);
        EXPECT_EQ(ej_load_area(*eb, 0), 0);
    }
};

}  // namespace

TEST(EdAreas, RowToSelectWhenAnAreaOpens) {
    List all_read({10, 20, 30}, 3);
    EXPECT_EQ(pick_row(*all_read.eb, 0), 2);  // the last row
    EXPECT_EQ(pick_row(*all_read.eb, 2), 1);  // the wanted number
    EXPECT_EQ(pick_row(*all_read.eb, 9), 2);  // not listed: as without
    EXPECT_EQ(next_unread_row(*all_read.eb, -1), -1);

    // Sorted by date descending: the first unread in that order.
    List some({50, 10, 40, 30}, 1);
    ej_sort(*some.eb, SORT_DATE, 1);  // rows: 1 (50), 3 (40), 4 (30), 2 (10)
    EXPECT_EQ(pick_row(*some.eb, 0), 1);
    EXPECT_EQ(next_unread_row(*some.eb, 1), 2);
    EXPECT_EQ(next_unread_row(*some.eb, 3), -1);  // no wrap-around
    EXPECT_EQ(recount_unread(*some.eb), 3u);

    List none({});
    EXPECT_EQ(pick_row(*none.eb, 0), -1);
}

TEST(EdAreas, HeaderLinesOfTheReader) {
    List l({1709210096, 20, 30});
    char16_t lines[5][HDR_LINE];
    header_lines(*l.eb, 0, lines);
    EXPECT_EQ(w(lines[0]), u"Jo Point  \u203921:3/210.7\u203a");
    EXPECT_EQ(w(lines[1]), u"All");
    EXPECT_EQ(w(lines[2]), u"Hello");
    EXPECT_EQ(w(lines[3]), u"29.02.2024 12:34   [local, not sent]");
    EXPECT_EQ(w(lines[4]), u"No. 1  (1/3)");
    l.eb->ej_msgs[1].MS_ATTR = JA_LOCAL | JA_SENT | JA_PRIVATE;
    header_lines(*l.eb, 1, lines);
    EXPECT_EQ(w(lines[3]), u"01.01.1970 00:00   [local, sent]   [private]");
    EXPECT_EQ(w(lines[4]), u"No. 2  (2/3)");
    l.eb->ej_msgs[2].MS_ATTR = 0;
    header_lines(*l.eb, 2, lines);
    EXPECT_EQ(w(lines[3]), u"01.01.1970 00:00");
}

TEST(EdAreas, MessageToShowAfterADelete) {
    List l({1, 2, 3, 4, 5});
    struct {
        std::vector<bool> sel;
        uint32_t want;
    } rows[] = {
        {{false, true, true, false, false}, 4},  // the next one left below
        {{false, false, false, true, true}, 3},  // the last rows: the nearest above
        {{true, false, true, false, false}, 2},
        {{true, true, true, true, true}, 0},  // nothing left
    };
    for (auto& r : rows) {
        bool sel[5];
        for (int i = 0; i < 5; ++i) sel[i] = r.sel[i];
        EXPECT_EQ(number_after_delete(*l.eb, sel), r.want);
    }
}
