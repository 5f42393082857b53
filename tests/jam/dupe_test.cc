// The dupe database: the key and its case rules, the file format with its
// partial trailing record, the full table, saving, and the hash index against
// the plain scan.
#include "jam/dupe.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <cctype>
#include <random>

#include "jam/jam_test_util.h"
#include "support/test_support.h"

using namespace wptest;

namespace {

// The bare CRC register from zlib (which inverts on the way in and out).
uint32_t reg(uint32_t start, const std::string& s) {
    return ~uint32_t(crc32(~start, reinterpret_cast<const Bytef*>(s.data()), uInt(s.size())));
}
std::string lower(std::string s) {
    for (char& c : s)
        if (c >= 'A' && c <= 'Z') c = char(c + 32);
    return s;
}
std::string key_bytes(uint64_t k) {
    std::string s;
    for (int i = 0; i < 8; ++i) s += char((k >> (8 * i)) & 0xff);
    return s;
}

class DupeTest : public ::testing::Test {
  protected:
    void SetUp() override {
        lang_apply(LANG_EN);
        crc_init();
        con_capture(&log);
        file = dir.file("wptoss.dup");
    }
    void TearDown() override { con_capture(nullptr); }
    int check(DupeDb& db, const std::string& area, const std::string& msgid) {
        return dupe_check(db, area.c_str(), msgid.data(), msgid.size());
    }
    std::vector<std::string> texts() {
        std::vector<std::string> t;
        for (const auto& l : log_lines(log)) t.push_back(log_text(l));
        return t;
    }
    TempDir dir;
    std::string log, file;
};

TEST_F(DupeTest, KeyIsBothCrcHalvesOverPathAndMsgid) {
    const std::string p = "D:\\Fido\\Echo\\Test", m = "2:280/5555 1234abcd";
    uint32_t low = reg(reg(0xFFFFFFFFu, lower(p)), m);
    uint32_t high = reg(reg(0x5A5A5A5Au, m), lower(p));
    EXPECT_EQ(dupe_key(p.c_str(), m.data(), m.size()), (uint64_t(high) << 32) | low);
    // Blanks and tabs around the MSGID do not count.
    const std::string padded = " \t" + m + "\t ";
    EXPECT_EQ(dupe_key(p.c_str(), padded.data(), padded.size()),
              dupe_key(p.c_str(), m.data(), m.size()));
}

TEST_F(DupeTest, CaseRulesAndAreas) {
    struct {
        const char* name;
        std::string area1, msgid1, area2, msgid2;
        int second_is_dupe;
    } rows[] = {
        {"same area twice", "/fido/echo/test", "1:2/3 abc", "/fido/echo/test", "1:2/3 abc", 1},
        {"two areas", "/fido/echo/test", "1:2/3 abc", "/fido/echo/other", "1:2/3 abc", 0},
        {"path case", "D:\\Fido\\Echo\\Test", "1:2/3 abc", "d:\\fido\\echo\\test", "1:2/3 abc", 1},
        {"MSGID case", "/fido/echo/test", "1:2/3 abc", "/fido/echo/test", "1:2/3 ABC", 0},
        {"blanks around", "/a", "1:2/3 abc", "/a", "  1:2/3 abc\t", 1},
        {"blank inside", "/a", "1:2/3 abc", "/a", "1:2/3  abc", 0},
    };
    for (const auto& r : rows) {
        DupeDb db;
        ASSERT_EQ(dupe_load(db, file.c_str()), 0);
        EXPECT_EQ(check(db, r.area1, r.msgid1), 0) << r.name;
        EXPECT_EQ(check(db, r.area2, r.msgid2), r.second_is_dupe) << r.name;
    }
}

TEST_F(DupeTest, CheckWithoutRemembering) {
    DupeDb db;
    ASSERT_EQ(dupe_load(db, file.c_str()), 0);
    const std::string m = "1:2/3 1";
    EXPECT_EQ(dupe_known(db, "/a", m.data(), m.size()), 0);
    EXPECT_EQ(dupe_known(db, "/a", m.data(), m.size()), 0);  // not remembered
    EXPECT_EQ(db.dupe_count, 0u);
    EXPECT_EQ(dupe_remember(db, "/a", m.data(), m.size()), 0);
    EXPECT_EQ(dupe_remember(db, "/a", m.data(), m.size()), 0);  // once only
    EXPECT_EQ(db.dupe_count, 1u);
    EXPECT_EQ(dupe_known(db, "/A", m.data(), m.size()), 1);
}

TEST_F(DupeTest, FileFormatAcrossRuns) {
    uint64_t k1, k2;
    {
        DupeDb db;
        ASSERT_EQ(dupe_load(db, file.c_str()), 0);  // missing file: empty, no error
        EXPECT_EQ(texts(), std::vector<std::string>{"Dupe database: 0 entries"});
        EXPECT_EQ(check(db, "/a", "1:2/3 1"), 0);
        EXPECT_EQ(check(db, "/b", "1:2/3 1"), 0);
        EXPECT_EQ(dupe_save(db), 0);
        k1 = dupe_key("/a", "1:2/3 1", 7);
        k2 = dupe_key("/b", "1:2/3 1", 7);
        EXPECT_EQ(read_file(file), key_bytes(k1) + key_bytes(k2));
        EXPECT_EQ(dupe_save(db), 0);  // nothing new: file unchanged
        EXPECT_EQ(read_file(file).size(), 16u);
    }
    // A partial trailing record (8n+3 bytes) loads n keys; the next save
    // writes from 8n over it.
    write_file(file, read_file(file) + "xyz");
    log.clear();
    DupeDb db;
    ASSERT_EQ(dupe_load(db, file.c_str()), 0);
    EXPECT_EQ(texts(), std::vector<std::string>{"Dupe database: 2 entries"});
    EXPECT_EQ(db.dupe_saved, 2u);
    EXPECT_EQ(check(db, "/A", "1:2/3 1"), 1);
    EXPECT_EQ(check(db, "/c", "1:2/3 1"), 0);
    EXPECT_EQ(dupe_save(db), 0);
    EXPECT_EQ(read_file(file),
              key_bytes(k1) + key_bytes(k2) + key_bytes(dupe_key("/c", "1:2/3 1", 7)));
}

TEST_F(DupeTest, FullTableWarnsOncePerRunAndWritesNothing) {
    std::string data;
    data.reserve(size_t(MAX_DUPES) * 8);
    for (uint32_t i = 0; i < MAX_DUPES; ++i) data += key_bytes(0x1000000000ull + i);
    write_file(file, data);
    for (int run = 0; run < 2; ++run) {
        log.clear();
        DupeDb db;
        ASSERT_EQ(dupe_load(db, file.c_str()), 0);
        EXPECT_EQ(db.dupe_count, MAX_DUPES);
        EXPECT_EQ(check(db, "/a", "1:2/3 1"), 0);
        EXPECT_EQ(check(db, "/a", "1:2/3 1"), 0);  // not remembered
        EXPECT_EQ(check(db, "/a", "1:2/3 2"), 0);
        EXPECT_EQ(dupe_has_key(db, 0x1000000000ull + 12345), true);
        EXPECT_EQ(dupe_save(db), 0);
        EXPECT_EQ(texts(),
                  (std::vector<std::string>{
                      "Dupe database: 262144 entries",
                      "Warning: dupe database full, new MSGIDs are no longer remembered"}));
    }
    EXPECT_EQ(read_file(file), data);
    // A bigger file: only the first MAX_DUPES records count.
    write_file(file, data + key_bytes(7));
    DupeDb db;
    ASSERT_EQ(dupe_load(db, file.c_str()), 0);
    EXPECT_EQ(db.dupe_count, MAX_DUPES);
    EXPECT_FALSE(dupe_has_key(db, 7));
}

TEST_F(DupeTest, SaveFailureKeepsKeysUnsaved) {
    const std::string bad = dir.file("missing/wptoss.dup");
    DupeDb db;
    ASSERT_EQ(dupe_load(db, bad.c_str()), 0);
    log.clear();
    EXPECT_EQ(check(db, "/a", "1:2/3 1"), 0);
    EXPECT_EQ(dupe_save(db), 1);
    EXPECT_EQ(texts(), std::vector<std::string>{"ERROR: cannot save dupe database: " + bad});
    EXPECT_EQ(db.dupe_saved, 0u);
    EXPECT_FALSE(file_exists(bad));

    // A failed write is reported too, not taken for success.
    DupeDb db2;
    ASSERT_EQ(dupe_load(db2, file.c_str()), 0);
    EXPECT_EQ(check(db2, "/a", "1:2/3 1"), 0);
    log.clear();
    pf_fault_write_after(1);
    EXPECT_EQ(dupe_save(db2), 1);
    pf_fault_write_after(0);
    EXPECT_EQ(texts(), std::vector<std::string>{"ERROR: cannot save dupe database: " + file});
    EXPECT_EQ(dupe_save(db2), 0);  // the keys are still there to be saved
    EXPECT_EQ(read_file(file), key_bytes(dupe_key("/a", "1:2/3 1", 7)));
}

TEST_F(DupeTest, HashIndexGivesTheAnswersOfTheScan) {
    std::mt19937_64 rng(11);
    DupeDb db;
    ASSERT_EQ(dupe_load(db, file.c_str()), 0);
    std::vector<uint64_t> keys;
    for (int i = 0; i < 30000; ++i) {
        // Clustered keys (same high half) as well as random ones.
        uint64_t k = (i % 2) ? rng() : (0xABCD000000000000ull | uint64_t(i));
        keys.push_back(k);
        dupe_add_key(db, k);
    }
    for (int i = 0; i < 3000; ++i) {
        uint64_t q = (i % 2) ? keys[rng() % keys.size()] : rng();
        ASSERT_EQ(dupe_has_key(db, q), dupe_find_linear(db, q)) << q;
    }
    EXPECT_EQ(db.dupe_count, 30000u);
}

}  // namespace

TEST_F(DupeTest, JournalGivesBackOnlyTheKeysOfMessagesInTheirBase) {
    // A run died with intents in the journal: "filed" was appended (its key
    // never reached the file), "lost" was not, "torn" is a cut record, and
    // "other" names a message that lies in the base but before the recorded
    // position (a message of that MSGID filed long ago, deleted from the
    // dupe file by hand: not this intent's message).
    std::string base = dir.file("area");
    std::string jnl = file + ".jnl";
    auto key = [&](const std::string& id) { return dupe_key(base.c_str(), id.data(), id.size()); };
    {
        jamtest::Request old("A", "B", "s", "other", "x\r");
        ASSERT_EQ(jam_append(base.c_str(), old.m), 0);
        DupeDb db;
        ASSERT_EQ(dupe_load(db, file.c_str()), 0);
        ASSERT_EQ(dupe_intent(db, key("other"), base.c_str()), 0);  // position 1
        ASSERT_EQ(dupe_intent(db, key("filed"), base.c_str()), 0);  // died before the append
        ASSERT_EQ(dupe_intent(db, key("filed"), base.c_str()), 0);  // position 1
        jamtest::Request r("A", "B", "s", "filed", "y\r");
        ASSERT_EQ(jam_append(base.c_str(), r.m), 0);
        ASSERT_EQ(dupe_intent(db, key("lost"), base.c_str()), 0);  // position 2, never appended
        ASSERT_EQ(dupe_intent(db, key("torn"), base.c_str()), 0);
    }
    std::string j = read_file(jnl);
    write_file(jnl, j.substr(0, j.size() - 3));
    DupeDb db;
    ASSERT_EQ(dupe_load(db, file.c_str()), 0);
    EXPECT_TRUE(dupe_has_key(db, key("filed")));
    EXPECT_FALSE(dupe_has_key(db, key("lost")));
    EXPECT_FALSE(dupe_has_key(db, key("other")));
    EXPECT_FALSE(dupe_has_key(db, key("torn")));
    EXPECT_EQ(read_file(file), key_bytes(key("filed")));  // saved
    // The filing found is passed over once by the next toss (once, though two
    // intents of its key lie before its position: one message, one filing).
    EXPECT_TRUE(dupe_resume_take(db, key("filed")));
    EXPECT_FALSE(dupe_resume_take(db, key("filed")));
    EXPECT_FALSE(dupe_resume_take(db, key("lost")));
    EXPECT_NE(read_file(jnl), "");  // kept until a run finishes
    ASSERT_EQ(dupe_finish(db), 0);
    EXPECT_EQ(read_file(jnl), "");
    auto t = texts();
    EXPECT_NE(std::find(t.begin(), t.end(),
                        "Dupe journal of an interrupted run replayed, keys recovered: 1"),
              t.end());
    // A record whose CRC does not match is not replayed.
    ASSERT_EQ(dupe_intent(db, key("lost"), base.c_str()), 0);
    std::string rec = read_file(jnl);
    rec[rec.size() - 1] ^= 1;
    write_file(jnl, rec);
    jamtest::Request late("A", "B", "s", "lost", "z\r");
    ASSERT_EQ(jam_append(base.c_str(), late.m), 0);
    DupeDb again;
    ASSERT_EQ(dupe_load(again, file.c_str()), 0);
    EXPECT_EQ(again.dupe_count, 1u);
    EXPECT_FALSE(dupe_has_key(again, key("lost")));
}

TEST_F(DupeTest, CommitAndSettleUnderWriteFaults) {
    // The key of a commit whose file write fails stays remembered and the
    // journal keeps its intent; the file is written again by the next settle,
    // and only a finished run empties the journal.
    std::string base = dir.file("area");
    jamtest::Request r("A", "B", "s", "m1", "y\r");
    DupeDb db;
    ASSERT_EQ(dupe_load(db, file.c_str()), 0);
    uint64_t k = dupe_key(base.c_str(), "m1", 2);
    pf_fault_write_after(1);
    EXPECT_EQ(dupe_intent(db, k, base.c_str()), 1);  // no intent: no append either
    pf_fault_write_after(0);
    auto t = texts();
    EXPECT_NE(
        std::find(t.begin(), t.end(), "ERROR: cannot write the dupe journal: " + file + ".jnl"),
        t.end());
    ASSERT_EQ(dupe_intent(db, k, base.c_str()), 0);
    ASSERT_EQ(jam_append(base.c_str(), r.m), 0);
    pf_fault_write_after(1);
    EXPECT_EQ(dupe_commit(db, k), 1);
    EXPECT_TRUE(dupe_has_key(db, k));
    pf_fault_write_after(1);
    EXPECT_EQ(dupe_settle(db), 1);
    pf_fault_write_after(0);
    EXPECT_NE(read_file(file + ".jnl"), "");
    {
        DupeDb crashed;  // a run dying here finds the key through the journal
        ASSERT_EQ(dupe_load(crashed, file.c_str()), 0);
        EXPECT_TRUE(dupe_has_key(crashed, k));
    }
    EXPECT_EQ(dupe_settle(db), 0);
    EXPECT_EQ(read_file(file), key_bytes(k));
    EXPECT_NE(read_file(file + ".jnl"), "");
    EXPECT_EQ(dupe_finish(db), 0);
    EXPECT_EQ(read_file(file + ".jnl"), "");
}

TEST_F(DupeTest, NotedKeysOfARunThatDiedBeforeTheSaveComeBackFromTheJournal) {
    // A toss notes the keys of a packet's messages and saves them together
    // when the packet is done. A run killed before that save leaves several
    // filed messages whose keys are only in the journal: every one of them
    // comes back (and is passed over once), the message whose append never
    // happened does not.
    std::string base = dir.file("area");
    auto key = [&](const std::string& id) { return dupe_key(base.c_str(), id.data(), id.size()); };
    const std::vector<std::string> filed = {"m1", "m2", "m3"};
    {
        DupeDb db;
        ASSERT_EQ(dupe_load(db, file.c_str()), 0);
        for (const auto& id : filed) {
            ASSERT_EQ(dupe_intent(db, key(id), base.c_str()), 0);
            jamtest::Request r("A", "B", "s", id, "t\r");
            ASSERT_EQ(jam_append(base.c_str(), r.m), 0);
            ASSERT_EQ(dupe_note(db, key(id)), 0);
            EXPECT_TRUE(dupe_has_key(db, key(id)));  // a later copy in the run is a dupe
        }
        ASSERT_EQ(dupe_intent(db, key("m4"), base.c_str()), 0);  // killed before its append
    }                                                            // killed: nothing saved
    EXPECT_EQ(read_file(file), "");
    DupeDb db;
    ASSERT_EQ(dupe_load(db, file.c_str()), 0);
    std::string want;
    for (const auto& id : filed) {
        EXPECT_TRUE(dupe_has_key(db, key(id))) << id;
        EXPECT_TRUE(dupe_resume_take(db, key(id))) << id;
        want += key_bytes(key(id));
    }
    EXPECT_FALSE(dupe_has_key(db, key("m4")));
    EXPECT_FALSE(dupe_resume_take(db, key("m4")));
    EXPECT_EQ(read_file(file), want);
    // Noted keys reach the file with the next save.
    ASSERT_EQ(dupe_intent(db, key("m4"), base.c_str()), 0);
    ASSERT_EQ(dupe_note(db, key("m4")), 0);
    EXPECT_EQ(read_file(file), want);
    ASSERT_EQ(dupe_save(db), 0);
    EXPECT_EQ(read_file(file), want + key_bytes(key("m4")));
}

// The key of a message without a MSGID: every byte of what the message is
// counts, the subfields that tell the way it came do not, and the journal's
// check finds such a message in its base by recomputing the key from what
// the base holds (also with a date the toss did not understand, stored as
// the run's time).
TEST_F(DupeTest, MessagesWithoutMsgidAreKeyedByTheirContents) {
    std::string base = dir.file("area");
    auto block = [](const std::vector<std::pair<uint16_t, std::string>>& sfs) {
        std::string b;
        for (const auto& [id, v] : sfs) jam_subf_add(b, id, v.data(), v.size());
        return b;
    };
    const std::vector<std::pair<uint16_t, std::string>> plain = {
        {SF_OADDR, "2:240/1"}, {SF_SENDER, "Jo"}, {SF_RECEIVER, "All"}, {SF_SUBJECT, "Hi"}};
    auto key = [&](uint32_t attr, uint32_t date, const std::string& subf, const std::string& text,
                   const std::string& path) {
        return dupe_text_key(path.c_str(), attr, date, subf.data(), subf.size(), text.data(),
                             text.size());
    };
    const std::string b0 = block(plain);
    const uint64_t k0 = key(JA_ECHO, 100, b0, "text\r", base);
    // The same key: the path in other letter case; routing subfields added.
    auto routed = plain;
    routed.push_back({SF_SEENBY, "240/1 2"});
    routed.push_back({SF_PATH, "240/2"});
    routed.push_back({SF_TRACE, "2:240/2 @20261205"});
    routed.push_back({SF_KLUDGE, "AREA:FIDO.TEST"});
    EXPECT_EQ(key(JA_ECHO, 100, block(routed), "text\r", base), k0);
    std::string upper = base;
    for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    EXPECT_EQ(key(JA_ECHO, 100, b0, "text\r", upper), k0);
    // Echomail's origin address is the packing system's: not part of the key.
    auto other_hop = plain;
    other_hop[0].second = "2:240/9";
    EXPECT_EQ(key(JA_ECHO, 100, block(other_hop), "text\r", base), k0);
    // Another key: any byte of text, date, names, subject, other kludges,
    // netmail's origin address, another base; a field's bytes moved into the
    // next one.
    const std::string bn = block(other_hop);
    EXPECT_NE(key(JA_NET, 100, bn, "text\r", base), key(JA_NET, 100, b0, "text\r", base));
    EXPECT_NE(key(JA_ECHO, 100, b0, "text.\r", base), k0);
    EXPECT_NE(key(JA_ECHO, 101, b0, "text\r", base), k0);
    EXPECT_NE(key(JA_ECHO, 0, b0, "text\r", base), k0);
    EXPECT_NE(key(JA_ECHO, 100, b0, "text\r", base + "2"), k0);
    for (size_t i = 1; i < plain.size(); ++i) {
        auto changed = plain;
        changed[i].second += "x";
        EXPECT_NE(key(JA_ECHO, 100, block(changed), "text\r", base), k0) << i;
    }
    auto kludged = plain;
    kludged.push_back({SF_KLUDGE, "CHRS: UTF-8 4"});
    EXPECT_NE(key(JA_ECHO, 100, block(kludged), "text\r", base), k0);
    auto shifted = plain;
    shifted[1].second = "J";
    shifted[2].second = "oAll";
    EXPECT_NE(key(JA_ECHO, 100, block(shifted), "text\r", base),
              key(JA_ECHO, 100, b0, "text\r", base));
    EXPECT_FALSE(dupe_msgid_usable(" \t", 2));
    EXPECT_TRUE(dupe_msgid_usable(" x", 2));

    // dupe_verify finds the message from its stored form: with its date, and
    // with 0 for a stored date equal to the received one.
    jamtest::Request r("Jo", "All", "Hi", "", "text\r");
    r.m.jm_attr = JA_NET;
    ASSERT_EQ(jam_append(base.c_str(), r.m), 0);
    jamtest::Request undated("Jo", "All", "Hi", "", "undated\r");
    undated.m.jm_attr = JA_NET;
    undated.m.jm_date = undated.m.jm_now;
    ASSERT_EQ(jam_append(base.c_str(), undated.m), 0);
    const uint64_t kr = key(JA_NET, r.m.jm_date, r.subf, r.text, base);
    EXPECT_TRUE(dupe_verify(base.c_str(), 0, kr));
    EXPECT_FALSE(dupe_verify(base.c_str(), 1, kr));  // before the recorded position
    EXPECT_FALSE(dupe_verify(base.c_str(), 0, key(JA_NET, 0, r.subf, r.text, base)));
    EXPECT_TRUE(dupe_verify(base.c_str(), 0, key(JA_NET, 0, undated.subf, undated.text, base)));
    EXPECT_FALSE(dupe_verify(base.c_str(), 0, key(JA_NET, r.m.jm_date, r.subf, "other\r", base)));
}
