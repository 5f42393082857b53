// The main window's state that outlives a run (placement, splitters, list
// columns, sort order, reader zoom, log pane) and the arithmetic that places
// the window and lays out its panes. No window-system calls: the window code
// passes sizes and monitor rectangles in and applies the results.
#pragma once

#include "editor/ini.h"

constexpr int SPLW = 5;  // splitter width in pixels

struct Rect {
    int left = 0, top = 0, right = 0, bottom = 0;
    int width() const { return right - left; }
    int height() const { return bottom - top; }
    bool empty() const { return right <= left || bottom <= top; }
};

struct Monitor {
    Rect area;  // the whole monitor
    Rect work;  // without task bars
};

struct WinState {
    int col_w[5] = {56, 170, 150, 380, 130};  // No., From, To, Subject, Date
    int sort_col = 0;
    int sort_desc = 0;
    int log = 0;   // log pane shown
    int zoom = 0;  // reader font height, 0 = fit to the width
    int split_x = 280;
    int split_y = 300;
    int last_avail = 0;  // height available at the last layout (split_h)
    // Saved placement, read at start.
    bool ws_valid = false;
    int ws_x = 0, ws_y = 0, ws_w = 0, ws_h = 0;
    bool ws_smax = false;  // saved as maximized
    // Current placement, kept up to date by the window.
    bool ws_max = false;
    Rect rc_norm;  // last rectangle while neither maximized nor minimized
};

// Reads every key, each outside its accepted range taking its default.
void ws_load(const IniFile& f, WinState& s);
// Writes the header (new file), the keys in their fixed order and flushes.
// The placement keys only when rc_norm is known.
void ws_save(IniFile& f, const WinState& s);

// Where the window opens: the saved placement when it is valid and its title
// bar (the top 32 pixels) lies on one of the monitors, overlapping that
// monitor's work area by at least 120 x 16 pixels (then fitted into the work
// area); otherwise min(work - 16, 1240) x min(work - 16, 800) centred in the
// primary work area.
Rect ws_place(const WinState& s, const Monitor* monitors, int n, const Rect& primary_work);

// The settings window's frame rectangle on a work area: a client area of
// 1000 x 722 where it fits, 40 pixels below the work area's top and at most
// 160 from its left (less when the area is narrow); on a smaller work area
// the client shrinks so that the whole frame (`frame_w` and `frame_h` are
// what the frame adds to the client) stays inside it, its bottom 8 pixels
// above the work area's. The window then scrolls its form.
Rect settings_place(const Rect& work, int frame_w, int frame_h);

// Pane rectangles of one layout, in client coordinates.
struct Layout {
    Rect tree, list, reader;
    int log_top = 0;        // the log pane's top (its height is given)
    int subject_width = 0;  // the Subject column's width
};

// Lays out a client area of w x h: the toolbar's and status bar's heights,
// the log pane's height (0 when hidden) and the list's client width for the
// columns. Updates split_x, split_y and last_avail in s as the window does:
// the list keeps its share of the height when the height changes, and the
// splitters keep their minimum distances.
Layout lay_compute(WinState& s, int w, int h, int toolbar_h, int status_h, int log_h,
                   int list_client_w);
