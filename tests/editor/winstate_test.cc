// The main window's saved state, its placement on the monitors and the pane
// layout arithmetic.
#include "editor/winstate.h"

#include <gtest/gtest.h>

#include <string>

#include "support/test_support.h"

using wptest::read_file;
using wptest::write_file;

namespace {

struct Ini {
    wptest::TempDir d;
    IniFile f;
    Ini() { ini_init(f, d.file("wrenpost.cfg").c_str()); }
    WinState load(const std::string& body) {
        write_file(f.path, "[window]\r\n" + body);
        WinState s;
        ws_load(f, s);
        return s;
    }
};

}  // namespace

TEST(WinState, ValuesOutsideTheirRangeGiveTheDefault) {
    Ini ini;
    struct {
        const char* line;
        int WinState::*field;
        int want;
    } rows[] = {
        {"zoom=9", &WinState::zoom, 0},
        {"zoom=10", &WinState::zoom, 10},
        {"zoom=72", &WinState::zoom, 72},
        {"zoom=73", &WinState::zoom, 0},
        {"sort_col=7", &WinState::sort_col, 0},
        {"sort_col=4", &WinState::sort_col, 4},
        {"sort_desc=5", &WinState::sort_desc, 1},
        {"split_x=-5", &WinState::split_x, 280},
        {"split_x=12abc", &WinState::split_x, 280},
        {"split_x=40", &WinState::split_x, 40},
        {"split_y=8001", &WinState::split_y, 300},
        {"split_h=99", &WinState::last_avail, 0},
        {"split_h=100", &WinState::last_avail, 100},
        {"log=2", &WinState::log, 1},
    };
    for (auto& r : rows)
        EXPECT_EQ(ini.load(std::string(r.line) + "\r\n").*r.field, r.want) << r.line;
    WinState s = ini.load("col0=23\r\ncol1=2000\r\ncol3=24\r\ncol4=2001\r\n");
    EXPECT_EQ(s.col_w[0], 56);
    EXPECT_EQ(s.col_w[1], 2000);
    EXPECT_EQ(s.col_w[2], 150);
    EXPECT_EQ(s.col_w[3], 24);
    EXPECT_EQ(s.col_w[4], 130);

    // The placement counts only with all four keys in range.
    EXPECT_TRUE(ini.load("x=-40000\r\ny=40000\r\nwidth=300\r\nheight=200\r\n").ws_valid);
    EXPECT_FALSE(ini.load("x=10\r\ny=10\r\nwidth=299\r\nheight=600\r\n").ws_valid);
    EXPECT_FALSE(ini.load("x=10\r\nwidth=800\r\nheight=600\r\n").ws_valid);
    EXPECT_FALSE(ini.load("x=40001\r\ny=0\r\nwidth=800\r\nheight=600\r\n").ws_valid);
}

TEST(WinState, SaveWritesTheKeysInTheirOrderAndReadsBack) {
    Ini ini;
    WinState s;
    s.split_x = 200;
    s.split_y = 333;
    s.last_avail = 600;
    s.col_w[0] = 60;
    s.col_w[3] = 999;  // never written
    s.sort_col = 4;
    s.sort_desc = 1;
    s.zoom = 14;
    s.ws_max = true;
    s.rc_norm = Rect{-8, 10, 1000, 710};
    ws_save(ini.f, s);
    EXPECT_EQ(read_file(ini.f.path),
              "; wrenpost - Fenstereinstellungen / window settings\r\n"
              "; (wird beim Beenden geschrieben / written on exit)\r\n"
              "[window]\r\nx=-8\r\ny=10\r\nwidth=1008\r\nheight=700\r\nmaximized=1\r\n"
              "split_x=200\r\nsplit_y=333\r\nsplit_h=600\r\ncol0=60\r\ncol1=170\r\ncol2=150\r\n"
              "col4=130\r\nsort_col=4\r\nsort_desc=1\r\nzoom=14\r\nlog=0\r\n");
    WinState back;
    ws_load(ini.f, back);
    EXPECT_TRUE(back.ws_valid);
    EXPECT_EQ(back.ws_w, 1008);
    EXPECT_TRUE(back.ws_smax);
    EXPECT_EQ(back.split_y, 333);
    EXPECT_EQ(back.col_w[3], 380);

    // Without a known normal rectangle the placement keys are left as they were.
    WinState t;
    t.split_x = 300;
    ws_save(ini.f, t);
    WinState again;
    ws_load(ini.f, again);
    EXPECT_EQ(again.ws_w, 1008);
    EXPECT_EQ(again.split_x, 300);
}

TEST(WinState, PlacementOnTheMonitors) {
    Monitor mons[] = {{{0, 0, 1920, 1080}, {0, 0, 1920, 1040}},
                      {{1920, 0, 3200, 1024}, {1920, 0, 3200, 1024}}};
    Rect primary = mons[0].work;
    Rect centred{340, 120, 1580, 920};  // 1240 x 800 in the middle
    auto place = [&](int x, int y, int w, int h) {
        WinState s;
        s.ws_valid = true;
        s.ws_x = x;
        s.ws_y = y;
        s.ws_w = w;
        s.ws_h = h;
        return ws_place(s, mons, 2, primary);
    };
    auto eq = [](const Rect& a, const Rect& b) {
        return a.left == b.left && a.top == b.top && a.right == b.right && a.bottom == b.bottom;
    };
    EXPECT_TRUE(eq(ws_place(WinState{}, mons, 2, primary), centred));
    EXPECT_TRUE(eq(place(50000, 100, 800, 600), centred));  // on no monitor
    EXPECT_TRUE(eq(place(2000, 50, 800, 600), (Rect{2000, 50, 2800, 650})));
    EXPECT_TRUE(eq(place(1820, 50, 800, 600), (Rect{1820, 50, 2620, 650})));  // mostly right
    EXPECT_TRUE(eq(place(-700, 50, 800, 600), centred));   // 100 pixels on the work area
    EXPECT_TRUE(eq(place(100, 1030, 800, 600), centred));  // 10 pixels of title bar visible
    // Too large for the work area: fitted with 8 pixels around; above it: lowered.
    EXPECT_TRUE(eq(place(100, 100, 3000, 2000), (Rect{8, 8, 1912, 1032})));
    // A title bar partly above the work area (a task bar at the top) is
    // moved down onto it.
    Monitor top_bar[] = {{{0, 0, 1920, 1080}, {0, 30, 1920, 1080}}};
    WinState s;
    s.ws_valid = true;
    s.ws_x = 100;
    s.ws_y = 20;
    s.ws_w = 800;
    s.ws_h = 600;
    EXPECT_TRUE(eq(ws_place(s, top_bar, 1, top_bar[0].work), (Rect{100, 30, 900, 630})));
    s.ws_y = 5;  // only 7 pixels of it on the work area
    EXPECT_TRUE(eq(ws_place(s, top_bar, 1, top_bar[0].work), (Rect{340, 155, 1580, 955})));
}

// The settings window: 1000 x 722 of client 40 pixels from the top and 160
// from the left where that fits; on a low or narrow screen the whole frame
// stays on the work area, so Save and Cancel at its bottom can be reached.
TEST(WinState, SettingsWindowPlacement) {
    struct Case {
        Rect work;
        Rect want;  // the frame
    } cases[] = {
        {{0, 0, 1920, 1040}, {160, 40, 1168, 792}},      // 1000 x 722 plus an 8 x 30 frame
        {{0, 0, 1366, 728}, {160, 40, 1168, 720}},       // 1366 x 768 less a task bar: lower
        {{0, 0, 1100, 768}, {92, 40, 1100, 760}},        // narrow: less than 160 from the left
        {{0, 0, 800, 600}, {0, 40, 800, 592}},           // smaller than the window's width
        {{1920, 30, 3286, 798}, {2080, 70, 3088, 790}},  // a second monitor, a bar on top
    };
    for (const Case& c : cases) {
        Rect r = settings_place(c.work, 8, 30);
        EXPECT_EQ(r.left, c.want.left) << c.work.right;
        EXPECT_EQ(r.top, c.want.top) << c.work.right;
        EXPECT_EQ(r.right, c.want.right) << c.work.right;
        EXPECT_EQ(r.bottom, c.want.bottom) << c.work.right;
        EXPECT_LE(r.bottom, c.work.bottom);
        EXPECT_LE(r.right, c.work.right);
    }
}

TEST(WinState, LayoutKeepsTheListShareAndTheMinimumDistances) {
    WinState s;  // split_x 280, split_y 300, unknown available height
    Layout l = lay_compute(s, 1200, 800, 30, 22, 0, 900);
    EXPECT_EQ(s.last_avail, 800 - 22 - 32);
    EXPECT_EQ(l.tree.top, 32);
    EXPECT_EQ(l.tree.right, 280);
    EXPECT_EQ(l.list.left, 285);
    EXPECT_EQ(l.list.bottom, 300);
    EXPECT_EQ(l.reader.top, 305);
    EXPECT_EQ(l.reader.bottom, 778);
    EXPECT_EQ(l.subject_width, 900 - 56 - 170 - 150 - 130);

    // Twice the available height: the list keeps its share (rounded).
    lay_compute(s, 1200, 800 + 746, 30, 22, 0, 900);
    EXPECT_EQ(s.split_y, 32 + (268 * 1492 + 373) / 746);
    EXPECT_EQ(s.last_avail, 1492);

    // A log pane and a small window: the reader keeps 140 pixels, the list 80.
    WinState t;
    t.split_y = 700;
    l = lay_compute(t, 800, 600, 30, 22, 100, 300);
    EXPECT_EQ(l.log_top, 478);
    EXPECT_EQ(t.split_y, 478 - 140);
    EXPECT_EQ(l.subject_width, 160);
    t.split_y = 40;
    t.last_avail = 0;
    lay_compute(t, 800, 600, 30, 22, 100, 300);
    EXPECT_EQ(t.split_y, 32 + 80);

    // The tree leaves 320 pixels on its right, but keeps at least 140.
    WinState u;
    u.split_x = 900;
    lay_compute(u, 1000, 800, 30, 22, 0, 500);
    EXPECT_EQ(u.split_x, 680);
    lay_compute(u, 400, 800, 30, 22, 0, 500);
    EXPECT_EQ(u.split_x, 140);
}
