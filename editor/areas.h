// The editor's network and area tables, built from the configuration, and the
// plain logic behind the areas tree and the message list: item texts, the
// area-list sum that tells a changed configuration, the row to select when
// an area opens, the reader's header lines and the row to show after a
// delete. No window-system calls.
#pragma once

#include <cstddef>
#include <cstdint>

#include "config/config.h"
#include "editor/msgbase.h"

constexpr int MAX_NETS = 16;
constexpr uint32_t NET_PARAM = 65536;      // tree item value of network root n: NET_PARAM + n
constexpr uint32_t GROUP_PARAM = 0x1FFFF;  // the "Other areas" and "Local" roots
constexpr size_t HDR_LINE = 160;           // one reader header line, terminator included

// One network: a [boss] section (or the global settings when there is none).
struct EdNet {
    char NT_ADDR[64] = {};  // the point's own address in that network
    char NT_NAME[64] = {};  // netname, else the section name
    char NT_SYSOP[64] = {};
    char NT_SYSTEM[64] = {};
    uint32_t NT_ZONE = 0;           // leading number of NT_ADDR
    uint32_t NT_NMAREA = AR_NONET;  // its netmail area, or none
    void* NT_HITEM = nullptr;
    char NT_SECT[64] = {};  // the section name
};

struct EdNets {
    EdNet ed_nets[MAX_NETS];
    int ed_net_count = 0;
};

// Fills both tables from c (one network per boss, in configuration order;
// netmail area, then the boss's echo areas; echo areas of no boss; the bad and
// dupe areas) and sets the user's CRC from the global sysop. Counters start
// at 0. Areas beyond MAX_EAREAS are dropped.
void build_tables(Config& c, EdBase& eb, EdNets& nets);
// Sum over the configured echo areas (tag, path, boss index) and their
// count; a different sum means the tree must be rebuilt.
uint32_t area_list_sum(const Config& c);
// "<title>  (<unread>/<total>)"; "<name>  ‹<address>›".
void area_item_text(const EdArea& a, char16_t* out, size_t cap);
void net_root_text(const EdNet& n, char16_t* out, size_t cap);
// Refreshes the four counters of every area (ej_counts). The caller holds
// the JAM lock file.
void count_areas(EdBase& eb);
// The number of loaded messages above the area's high-read mark.
uint32_t recount_unread(const EdBase& eb);
// The row to select when an area opens: the row of message want_num when it
// is set and listed, else the first row (display order) above the high-read
// mark, else the last row; -1 when the list is empty.
int pick_row(const EdBase& eb, uint32_t want_num);
// The first row after `from` in display order above the high-read mark, or
// -1 ("Next unread"; from = -1 starts at row 0).
int next_unread_row(const EdBase& eb, int from);
// The reader's five header lines of a row: From with its OADDRESS, To with
// its DADDRESS, Subject, date with the local/sent/private flags, and
// "No. N  (row/count)".
void header_lines(const EdBase& eb, uint32_t row, char16_t lines[5][HDR_LINE]);
// After deleting the selected rows (selected[r] for each row of the list):
// the number of the message to show then, the first unselected row after
// the first selected one, else the nearest unselected one before it; 0 when
// none is left.
uint32_t number_after_delete(const EdBase& eb, const bool* selected);
