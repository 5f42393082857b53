#include "editor/winstate.h"

#include <algorithm>

namespace {

// The key's value when it lies in [lo, hi], else def.
int ranged(const IniFile& f, const char* key, int lo, int hi, int def) {
    int v = ini_get(f, key, def);
    return v >= lo && v <= hi ? v : def;
}

const char* const COL_KEYS[5] = {"col0", "col1", "col2", "col3", "col4"};
const int COL_DEFAULT[5] = {56, 170, 150, 380, 130};

constexpr int MISSING = -2147483647 - 1;  // no value stands for this

int overlap(int a0, int a1, int b0, int b1) {
    return std::max(0, std::min(a1, b1) - std::max(a0, b0));
}

}  // namespace

void ws_load(const IniFile& f, WinState& s) {
    for (int i = 0; i < 5; ++i) s.col_w[i] = ranged(f, COL_KEYS[i], 24, 2000, COL_DEFAULT[i]);
    s.sort_col = ranged(f, "sort_col", 0, 4, 0);
    s.sort_desc = ini_get(f, "sort_desc", 0) != 0;
    s.log = ini_get(f, "log", 0) != 0;
    int zoom = ini_get(f, "zoom", 0);
    s.zoom = zoom >= 10 && zoom <= 72 ? zoom : 0;
    s.split_x = ranged(f, "split_x", 40, 8000, 280);
    s.split_y = ranged(f, "split_y", 40, 8000, 300);
    s.last_avail = ranged(f, "split_h", 100, 8000, 0);
    s.ws_smax = ini_get(f, "maximized", 0) != 0;
    int x = ranged(f, "x", -40000, 40000, MISSING);
    int y = ranged(f, "y", -40000, 40000, MISSING);
    int w = ranged(f, "width", 300, 16384, MISSING);
    int h = ranged(f, "height", 200, 16384, MISSING);
    s.ws_valid = x != MISSING && y != MISSING && w != MISSING && h != MISSING;
    if (s.ws_valid) {
        s.ws_x = x;
        s.ws_y = y;
        s.ws_w = w;
        s.ws_h = h;
    }
}

void ws_save(IniFile& f, const WinState& s) {
    ini_header(f);
    if (!s.rc_norm.empty()) {
        ini_put(f, "x", s.rc_norm.left);
        ini_put(f, "y", s.rc_norm.top);
        ini_put(f, "width", s.rc_norm.width());
        ini_put(f, "height", s.rc_norm.height());
    }
    ini_put(f, "maximized", s.ws_max ? 1 : 0);
    ini_put(f, "split_x", s.split_x);
    ini_put(f, "split_y", s.split_y);
    ini_put(f, "split_h", s.last_avail);
    ini_put(f, "col0", s.col_w[0]);
    ini_put(f, "col1", s.col_w[1]);
    ini_put(f, "col2", s.col_w[2]);
    ini_put(f, "col4", s.col_w[4]);  // Subject is sized by the layout
    ini_put(f, "sort_col", s.sort_col);
    ini_put(f, "sort_desc", s.sort_desc ? 1 : 0);
    ini_put(f, "zoom", s.zoom);
    ini_put(f, "log", s.log ? 1 : 0);
    ini_flush(f);
}

Rect settings_place(const Rect& work, int frame_w, int frame_h) {
    const int cw = 1000, ch = 722, top = 40, left = 160, bottom = 8;
    int w = std::max(0, std::min(cw + frame_w, work.width()));
    int h = std::max(0, std::min(ch + frame_h, work.height() - top - bottom));
    int x = work.left + std::max(0, std::min(left, work.width() - w));
    int y = work.top + std::min(top, std::max(0, work.height() - h));
    return Rect{x, y, x + w, y + h};
}

Rect ws_place(const WinState& s, const Monitor* monitors, int n, const Rect& primary_work) {
    if (s.ws_valid) {
        // The monitor the title bar lies on most.
        Rect bar{s.ws_x, s.ws_y, s.ws_x + s.ws_w, s.ws_y + 32};
        const Monitor* on = nullptr;
        long best = 0;
        for (int i = 0; i < n; ++i) {
            const Rect& a = monitors[i].area;
            long common = static_cast<long>(overlap(bar.left, bar.right, a.left, a.right)) *
                          overlap(bar.top, bar.bottom, a.top, a.bottom);
            if (common > best) {
                best = common;
                on = &monitors[i];
            }
        }
        if (on != nullptr) {
            const Rect& wk = on->work;
            if (overlap(bar.left, bar.right, wk.left, wk.right) >= 120 &&
                overlap(bar.top, bar.bottom, wk.top, wk.bottom) >= 16) {
                Rect r{s.ws_x, s.ws_y, s.ws_x + s.ws_w, s.ws_y + s.ws_h};
                if (r.width() > wk.width() - 16) {
                    r.left = wk.left + 8;
                    r.right = r.left + wk.width() - 16;
                }
                if (r.height() > wk.height() - 16) {
                    r.top = wk.top + 8;
                    r.bottom = r.top + wk.height() - 16;
                }
                if (r.top < wk.top) {
                    r.bottom += wk.top - r.top;
                    r.top = wk.top;
                }
                return r;
            }
        }
    }
    int w = std::min(primary_work.width() - 16, 1240);
    int h = std::min(primary_work.height() - 16, 800);
    int x = primary_work.left + (primary_work.width() - w) / 2;
    int y = primary_work.top + (primary_work.height() - h) / 2;
    return Rect{x, y, x + w, y + h};
}

Layout lay_compute(WinState& s, int w, int h, int toolbar_h, int status_h, int log_h,
                   int list_client_w) {
    Layout l;
    int top = toolbar_h + 2;
    int bottom = h - status_h - log_h;
    l.log_top = bottom;
    s.split_x = std::max(std::min(s.split_x, w - 320), 140);
    int avail = bottom - top;
    if (s.last_avail >= 1 && s.last_avail != avail && s.split_y > top)
        s.split_y = top + ((s.split_y - top) * avail + s.last_avail / 2) / s.last_avail;
    s.last_avail = avail;
    s.split_y = std::max(std::min(s.split_y, bottom - 140), top + 80);
    l.tree = Rect{0, top, s.split_x, top + avail};
    int right_x = s.split_x + SPLW;
    l.list = Rect{right_x, top, w, s.split_y};
    l.reader = Rect{right_x, s.split_y + SPLW, w, bottom};
    l.subject_width =
        std::max(list_client_w - s.col_w[0] - s.col_w[1] - s.col_w[2] - s.col_w[4], 160);
    return l;
}
