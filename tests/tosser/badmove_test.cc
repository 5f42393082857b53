#include "tosser/badmove.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "core/bytes.h"
#include "jam/crc32.h"
#include "jam/jam.h"
#include "mbase/mbase.h"
#include "msgarea/msgarea.h"
#include "support/test_support.h"

namespace {

using Subfields = std::vector<std::pair<uint16_t, std::string>>;

void post(const std::string& base, const Subfields& sfs, const std::string& text,
          uint32_t attr = JA_ECHO, uint32_t date = 1000) {
    std::string sf;
    for (const auto& [id, v] : sfs) jam_subf_add(sf, id, v.c_str());
    JamMsg m;
    m.jm_subf = sf.data();
    m.jm_subflen = static_cast<uint32_t>(sf.size());
    m.jm_text = text.data();
    m.jm_textlen = static_cast<uint32_t>(text.size());
    m.jm_attr = attr;
    m.jm_date = date;
    m.jm_now = date + 1;
    m.jm_msgidcrc = jam_crc(text.c_str());  // any value that must survive the move
    m.jm_replycrc = 0x12345678;
    m.jm_replyto = 7;
    ASSERT_EQ(jam_append(base.c_str(), m), 0);
}

struct Msg {
    JamHeader h;
    Subfields sf;
    std::string text;
};

std::vector<Msg> messages(const std::string& base, JamImage& img) {
    std::vector<Msg> out;
    EXPECT_EQ(jam_load(base.c_str(), img), 0);
    JamHdrWalk w;
    jam_hdr_walk_start(w, img);
    JamHeader h;
    while (jam_hdr_walk_next(w, h)) {
        Msg m{h, {}, {}};
        JamSubfWalk sw;
        JamSubfield sf;
        jam_subf_start(sw, h);
        while (jam_subf_next(sw, sf))
            m.sf.emplace_back(sf.LoID,
                              std::string(reinterpret_cast<const char*>(sf.data), sf.DatLen));
        jam_read_text(base.c_str(), h, m.text);
        out.push_back(m);
    }
    return out;
}

}  // namespace

TEST(BadMove, TakesOverTheTagsMessagesAndMarksThemDeleted) {
    wptest::TempDir d;
    std::string bad = d.file("bad"), fresh = d.file("fsx_new");
    const Subfields mine = {{SF_SENDER, "Ann"},
                            {SF_RECEIVER, "All"},
                            {SF_KLUDGE, "AREA:fsx_new"},  // any case matches
                            {SF_MSGID, "21:1/1 0001"},
                            {SF_KLUDGE, "TID: x"}};
    post(bad, mine, "first\r", JA_ECHO, 1000);
    post(bad, {{SF_SENDER, "Bob"}, {SF_KLUDGE, "AREA:OTHER"}}, "other area\r");
    post(bad, {{SF_SENDER, "Cy"}, {SF_KLUDGE, "AREA:FSX_NEWER"}}, "longer tag\r");
    post(bad, {{SF_SENDER, "Di"}, {SF_KLUDGE, "AREA:FSX_NEW"}}, "deleted\r", JA_ECHO | JA_DELETED);
    post(bad, {{SF_KLUDGE, "AREA:FSX_NEW"}, {SF_SENDER, "Ed"}}, "second\r", JA_ECHO, 2000);

    JamImage before;
    messages(bad, before);
    EXPECT_EQ(af_bad_move("FSX_NEW", fresh.c_str(), bad.c_str(), 5000), 2);

    JamImage img;
    auto moved = messages(fresh, img);
    ASSERT_EQ(moved.size(), 2u);
    Subfields want = mine;
    want.erase(want.begin() + 2);  // the marker stays behind
    EXPECT_EQ(moved[0].sf, want);
    EXPECT_EQ(moved[0].text, "first\r");
    EXPECT_EQ(moved[0].h.Attribute, JA_ECHO);
    EXPECT_EQ(moved[0].h.DateWritten, 1000u);
    EXPECT_EQ(moved[0].h.DateReceived, 5000u);
    EXPECT_EQ(moved[0].h.DateProcessed, 5000u);
    EXPECT_EQ(moved[0].h.MSGIDcrc, jam_crc("first\r"));
    EXPECT_EQ(moved[0].h.REPLYcrc, 0x12345678u);
    EXPECT_EQ(moved[0].h.ReplyTo, 0u);
    EXPECT_EQ((Subfields{{SF_SENDER, "Ed"}}), moved[1].sf);
    EXPECT_EQ(moved[1].text, "second\r");
    // The index carries the receiver's CRC; none without a receiver.
    ASSERT_EQ(img.jdx.size(), 16u);
    EXPECT_EQ(get_le32(img.jdx.data()), jam_crc("all"));
    EXPECT_EQ(get_le32(img.jdx.data() + 8), 0xFFFFFFFFu);

    JamImage after;
    auto left = messages(bad, after);
    ASSERT_EQ(left.size(), 5u);
    std::vector<bool> deleted;
    for (const auto& m : left) deleted.push_back((m.h.Attribute & JA_DELETED) != 0);
    EXPECT_EQ(deleted, (std::vector<bool>{true, false, false, true, true}));
    EXPECT_EQ(after.base.ModCounter, before.base.ModCounter + 1);
    EXPECT_EQ(after.base.ActiveMsgs, before.base.ActiveMsgs - 2);

    // Nothing left to take over: nothing changes.
    EXPECT_EQ(af_bad_move("FSX_NEW", fresh.c_str(), bad.c_str(), 6000), 0);
    JamImage again;
    messages(bad, again);
    EXPECT_EQ(again.base.ModCounter, after.base.ModCounter);
    EXPECT_EQ(af_bad_move("FSX_NEW", fresh.c_str(), d.file("none").c_str(), 6000), 0);
}

// Across formats and between *.MSG areas the messages of the tag move in the
// neutral form: names, addresses, dates, kludges (MSGID, unknown ones) and
// text arrive, the marker does not, and the bad area keeps only the others.
TEST(BadMove, AcrossFormatsThroughTheNeutralForm) {
    struct Case {
        AreaFormat bad, area;
    } cases[] = {{AreaFormat::Jam, AreaFormat::Msg},
                 {AreaFormat::Msg, AreaFormat::Jam},
                 {AreaFormat::Msg, AreaFormat::Msg}};
    for (const Case& c : cases) {
        wptest::TempDir d;
        auto loc = [&](AreaFormat f, const char* name) {
            return std::string(f == AreaFormat::Msg ? "msg:" : "") + d.file(name);
        };
        const std::string bad = loc(c.bad, "bad"), area = loc(c.area, "area");
        SCOPED_TRACE(bad + " -> " + area);
        std::unique_ptr<MsgBase> b;
        ASSERT_EQ(ma_open_loc(bad.c_str(), false, true, b), MbResult::Ok);
        for (const char* tag : {"FSX_GEN", "OTHER", "fsx_gen"}) {
            MbMessage m;
            m.from = "Jo";
            m.to = "All";
            m.subject = std::string("in ") + tag;
            m.orig = ftn_addr{21, 1, 100, 0};
            m.date_written = 1700000000;
            m.attrs = MbAttrs(MbAttr::Echo);
            m.kludges = {mb_kludge("MSGID", "21:1/100 0001"), mb_kludge("X-ODD", "kept"),
                         mb_kludge_parse("AREA:", 5)};
            m.kludges.back().value = tag;
            m.kludges.push_back(mb_kludge("SEEN-BY", "1/100"));
            m.text = "Body\r";
            uint32_t n = 0;
            ASSERT_EQ(b->append(m, n), MbResult::Ok);
        }
        EXPECT_EQ(af_bad_move("FSX_GEN", area.c_str(), bad.c_str(), 1800000000), 2);
        std::unique_ptr<MsgBase> a;
        ASSERT_EQ(ma_open_loc(area.c_str(), false, false, a), MbResult::Ok);
        std::vector<uint32_t> nums;
        ASSERT_EQ(a->numbers(nums), MbResult::Ok);
        ASSERT_EQ(nums.size(), 2u);
        MbMessage got;
        ASSERT_EQ(a->read_header(nums[0], got), MbResult::Ok);
        ASSERT_EQ(a->read_text(nums[0], got.text), MbResult::Ok);
        EXPECT_EQ(got.subject, "in FSX_GEN");
        EXPECT_EQ(got.from, "Jo");
        EXPECT_EQ(got.date_written, 1700000000u);
        EXPECT_EQ(got.text, "Body\r");
        EXPECT_EQ(mb_kludge_find(got, "AREA"), nullptr);
        ASSERT_NE(mb_kludge_find(got, "MSGID"), nullptr);
        EXPECT_EQ(*mb_kludge_find(got, "MSGID"), "21:1/100 0001");
        ASSERT_NE(mb_kludge_find(got, "SEEN-BY"), nullptr);
        if (c.area == AreaFormat::Msg || c.bad == AreaFormat::Msg) {
            ASSERT_NE(mb_kludge_find(got, "X-ODD"), nullptr);
            EXPECT_EQ(*mb_kludge_find(got, "X-ODD"), "kept");
        }
        ASSERT_EQ(b->numbers(nums), MbResult::Ok);
        ASSERT_EQ(nums.size(), 1u);
        ASSERT_EQ(b->read_header(nums[0], got), MbResult::Ok);
        EXPECT_EQ(got.subject, "in OTHER");
    }
}
