// The settings window's rules and how one boss's form is taken over into the
// configuration edit, down to the file written.
#include "editor/settings.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "support/test_support.h"

namespace {

std::u16string w(const std::string& s) {
    return std::u16string(s.begin(), s.end());
}

const char kCfg[] =
    "sysop=Jo Point\naddress=21:3/210.7\n"
    "[fsx]\naddress=21:3/210.101@fsxnet\nboss_address=21:3/210\nboss_host=bbs.example\n"
    "password=old\nsysop=Jo at fsx\n"
    "[fido]\naddress=2:240/5832.7\nboss_address=2:240/5832\nboss_host=f.example\n";

struct Edit {
    wptest::TempDir d;
    std::unique_ptr<CfgEdit> e = std::make_unique<CfgEdit>();
    std::string path = d.file("wrenpost.cfg");
    Edit() {
        wptest::write_file(path, kCfg);
        EXPECT_EQ(st_scan(*e, path.c_str()), CfgResult::Ok);
    }
};

}  // namespace

TEST(Settings, Rules) {
    struct {
        const char* s;
        bool ok;
    } addrs[] = {{"21:3/210.101@fsxnet", true},
                 {"1:2/3", true},
                 {"32767:65535/65535.65535", true},
                 {"0:1/2", false},
                 {"32768:1/2", false},
                 {"1:2/3.", false},
                 {"1:2/3@", false},
                 {"1:2/3@fsx net", false},
                 {"1:123456/1", false},
                 {"", false},
                 {"1:2", false}};
    for (auto& a : addrs) EXPECT_EQ(st_addr_ok(a.s), a.ok) << a.s;
    EXPECT_TRUE(st_host_ok("[::1]:24554"));
    EXPECT_FALSE(st_host_ok("bbs example"));
    EXPECT_FALSE(st_host_ok(""));
    struct {
        const char* s;
        bool ok;
    } ports[] = {{"", true},   {"1", true},      {"65535", true},
                 {"0", false}, {"65536", false}, {"24x", false}};
    for (auto& p : ports) EXPECT_EQ(st_port_ok(p.s), p.ok) << p.s;
    EXPECT_TRUE(st_password_ok("pass word"));
    EXPECT_FALSE(st_password_ok(" pass"));
    EXPECT_FALSE(st_password_ok("pass "));
    EXPECT_FALSE(st_password_ok(std::string(201, 'x').c_str()));
    EXPECT_EQ(origin_max("21:3/210.101@fsxnet"), 53);
    EXPECT_EQ(origin_max(std::string(70, '1').c_str()), 1);
    std::string out;
    EXPECT_TRUE(st_accept(u"  C:\\Fido\\\u00e4  ", false, out));
    EXPECT_EQ(out, "C:\\Fido\\\xe4");
    EXPECT_FALSE(st_accept(u"\u00e4", true, out));
    EXPECT_FALSE(st_accept(u"a\tb", false, out));  // control characters, tabs too
    EXPECT_EQ(st_interval(u"2", true), 120);
    EXPECT_EQ(st_interval(u"10081", false), -1);
    EXPECT_EQ(st_interval(u"1x", false), -1);
}

TEST(Settings, SectionNames) {
    Edit t;
    int n = st_add(*t.e, "");
    ASSERT_GE(n, 0);
    EXPECT_FALSE(st_section_ok(*t.e, n, "FSX"));  // another case of an existing one
    EXPECT_FALSE(st_section_ok(*t.e, n, "a b"));
    EXPECT_TRUE(st_section_ok(*t.e, n, "league.net-2_x"));
    t.e->slots[0].state = ST_DELETED;
    EXPECT_TRUE(st_section_ok(*t.e, n, "FSX"));  // a deleted boss's name is free
}

TEST(Settings, TakingOverABoss) {
    Edit t;
    SlotForm shown = st_form(*t.e, 0);
    EXPECT_TRUE(shown.own);
    EXPECT_EQ(shown.field[SK_SYSOP], u"Jo at fsx");
    EXPECT_TRUE(shown.pw.empty());  // never shown

    // An invalid port stops the taking over at the port.
    SlotForm f = shown;
    f.field[SK_HOST] = u"new.example";
    f.field[SK_PORT] = u"99999";
    StError e = save_slot(*t.e, 0, f, shown, "21:3/210.7");
    EXPECT_EQ(e.what, SK_PORT);

    // An origin text of 53 characters fits this address, 54 do not.
    f.field[SK_PORT] = u"24555";
    f.field[SK_SYSTEM] = w(std::string(54, 'o'));
    e = save_slot(*t.e, 0, f, shown, "21:3/210.7");
    EXPECT_EQ(e.what, ST_ERR_ORIGIN_LEN);
    EXPECT_EQ(e.limit, 53);
    f.field[SK_SYSTEM] = w(std::string(53, 'o'));

    // A password with a blank inside; auto-poll off with letters: no change.
    f.pw = u"new secret";
    f.ap_on = false;
    f.interval = u"1x";
    e = save_slot(*t.e, 0, f, shown, "21:3/210.7");
    EXPECT_EQ(e.what, -1);
    EXPECT_TRUE(t.e->slots[0].pw.typed);
    EXPECT_FALSE(field_dirty(t.e->slots[0], SK_AUTOPOLL));
    f.ap_on = true;
    e = save_slot(*t.e, 0, f, shown, "21:3/210.7");
    EXPECT_EQ(e.what, ST_ERR_INTERVAL);
    f.ap_on = false;
    EXPECT_EQ(save_slot(*t.e, 0, f, shown, "21:3/210.7").what, -1);

    // The second boss drops its own name: unchecked, nothing of it is written.
    SlotForm fido_shown = st_form(*t.e, 1);
    EXPECT_FALSE(fido_shown.own);
    SlotForm fido = fido_shown;
    fido.autocreate = false;
    fido.pw = u" bad";
    EXPECT_EQ(save_slot(*t.e, 1, fido, fido_shown, "21:3/210.7").what, SK_PASSWORD);
    fido.pw.clear();  // empty: the stored one stays
    EXPECT_EQ(save_slot(*t.e, 1, fido, fido_shown, "21:3/210.7").what, -1);

    // fsx drops its own name and origin too.
    f.own = false;
    ASSERT_EQ(save_slot(*t.e, 0, f, shown, "21:3/210.7").what, -1);
    ASSERT_EQ(cfg_write(*t.e), CfgResult::Ok);
    std::string text = wptest::read_file(t.path);
    EXPECT_NE(text.find("boss_host=new.example\n"), std::string::npos) << text;
    EXPECT_NE(text.find("boss_port=24555\n"), std::string::npos) << text;
    EXPECT_NE(text.find("password=new secret\n"), std::string::npos) << text;
    EXPECT_EQ(text.find("sysop=Jo at fsx"), std::string::npos) << text;
    EXPECT_NE(text.find("autocreate=no\n"), std::string::npos) << text;
    EXPECT_EQ(text.find("autopoll"), std::string::npos) << text;
    EXPECT_NE(text.find("sysop=Jo Point\n"), std::string::npos);  // the global one stays
}

TEST(Settings, GlobalOriginAgainstEveryBossWithoutItsOwn) {
    Edit t;
    // fsx has an own sysop but no own system: the global origin counts for both.
    EXPECT_EQ(global_origin_limit(*t.e, std::string(53, 'x'), "21:3/210.7"), 0);
    EXPECT_EQ(global_origin_limit(*t.e, std::string(54, 'x'), "21:3/210.7"), 53);
    EXPECT_EQ(global_origin_limit(*t.e, "", "21:3/210.7"), 0);  // "wrenpost"
}

// The resume checkbox: shown checked unless the boss says nr = no (or off);
// only a change is written, as "yes" or "no".
TEST(Settings, ResumeCheckboxWritesOnlyAChange) {
    Edit t;
    std::string cfg = std::string(kCfg) + "nr=off\n";
    wptest::write_file(t.path, cfg);
    ASSERT_EQ(st_scan(*t.e, t.path.c_str()), CfgResult::Ok);
    SlotForm fsx_shown = st_form(*t.e, 0), fido_shown = st_form(*t.e, 1);
    EXPECT_TRUE(fsx_shown.nr);
    EXPECT_FALSE(fido_shown.nr);
    SlotForm fido = fido_shown;
    fido.nr = true;
    ASSERT_EQ(save_slot(*t.e, 0, fsx_shown, fsx_shown, "21:3/210.7").what, -1);
    ASSERT_EQ(save_slot(*t.e, 1, fido, fido_shown, "21:3/210.7").what, -1);
    ASSERT_EQ(cfg_write(*t.e), CfgResult::Ok);
    std::string text = wptest::read_file(t.path);
    EXPECT_NE(text.find("[fido]"), std::string::npos) << text;
    EXPECT_NE(text.find("nr=yes\n"), std::string::npos) << text;
    EXPECT_EQ(text.find("nr=off"), std::string::npos) << text;
    EXPECT_EQ(text.find("nr="), text.rfind("nr=")) << text;  // fsx got none

    fido_shown = st_form(*t.e, 1);
    EXPECT_TRUE(fido_shown.nr);
    fido = fido_shown;
    fido.nr = false;
    ASSERT_EQ(save_slot(*t.e, 1, fido, fido_shown, "21:3/210.7").what, -1);
    ASSERT_EQ(cfg_write(*t.e), CfgResult::Ok);
    text = wptest::read_file(t.path);
    EXPECT_NE(text.find("nr=no\n"), std::string::npos) << text;
    EXPECT_EQ(text.find("nr=yes"), std::string::npos) << text;
}
