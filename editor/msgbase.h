// The editor's own access to JAM message bases: counting every area for the
// areas tree, loading one area into the message list, fetching a message's
// text and subfields, the user's last-read mark in the .jlr file, deleting
// by the DELETED attribute, sorting the list and formatting dates.
//
// The editor never goes through the tosser's appender. All state lives in one
// EdBase owned by the caller; one area is loaded at a time and every buffer
// of the loaded area is replaced by the next ej_load_area. Pointers handed
// out (ej_get_text, ej_find_sf, ej_sf_block) stay valid until the next call
// that replaces their buffer; references from ej_row until the next ej_row.
//
// The list keeps a small fixed record per message (EdMsg, 32 bytes) and the
// display order; names, subject and character set of a row are decoded from
// its header block when first asked for (ej_row) and kept in a small cache.
// Header blocks are read from .jhr in 64 KB windows, so rows next to each
// other in the file cost one read. JAM writers only append headers and change
// a listed header in place only in its attribute and text length, so a block
// read later still belongs to its message; one whose signature or number no
// longer matches (the base was rebuilt meanwhile) reads as empty.
//
// REQUIRES: one thread; the caller holds the JAM lock file around each use
// (counting all areas, loading, showing a message, marking read, deleting).
// Writes (ej_set_lastread, ej_delete) take the .jhr byte lock themselves.
// Files are opened shared for reading and writing. The row cache and the
// header window are filled through const references (they change no
// observable state).
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "config/config.h"

constexpr int MAX_EAREAS = 300;  // 256 echo areas, the netmail areas, bad and dupes

// Area types.
constexpr uint32_t AT_NET = 0;
constexpr uint32_t AT_ECHO = 1;
constexpr uint32_t AT_LOCAL = 2;  // bad, dupes
constexpr uint32_t AR_NONET = 0xFFFFFFFFu;

// One area of the editor's table. The areas tree fills it; this module reads
// the path and writes the four counters.
struct EdArea {
    char AR_PATH[256] = {};      // base path without extension
    char AR_TAG[64] = {};        // "NETMAIL.<section>", "BAD", "DUPES" or the echo tag
    uint32_t AR_NET = AR_NONET;  // network (boss) index in the tree, or AR_NONET
    uint32_t AR_TYPE = AT_ECHO;
    uint32_t AR_TOTAL = 0;       // messages
    uint32_t AR_UNREAD = 0;      // messages above the high-read mark
    uint32_t AR_LAST = 0;        // the user's high-read mark
    uint32_t AR_HIGH = 0;        // highest number the index can hold
    void* AR_HITEM = nullptr;    // the area's item in the tree, none when null
    char16_t AR_TITLE[64] = {};  // text shown in the tree
};

// One live message of the loaded area, as the list keeps it.
struct EdMsg {
    uint32_t MS_NUM;     // MessageNumber
    uint32_t MS_HOFF;    // header offset in .jhr
    uint32_t MS_DATE;    // DateWritten, local time as stored
    uint32_t MS_ATTR;    // Attribute
    uint32_t MS_TXTOFF;  // TxtOffset in .jdt
    uint32_t MS_TXTLEN;  // TxtLen
    uint32_t MS_SFOFF;   // first subfield in .jhr (header offset + 76)
    uint32_t MS_SFLEN;   // SubfieldLen, cut to the bytes the .jhr had at loading
};

// The texts of one row of the list, decoded from the message's header block.
struct EdRow {
    uint32_t RW_ENTRY = UINT32_MAX;  // the entry decoded here; UINT32_MAX: none
    char16_t MS_FROM[36] = {};
    char16_t MS_TO[36] = {};
    char16_t MS_SUBJ[72] = {};   // "********" for AreaFix traffic
    char16_t MS_DATES[20] = {};  // ej_fmt_date of MS_DATE
    char16_t MS_NUMS[12] = {};   // MS_NUM in decimal
    int MS_CS = 0;               // character set of names and subject (charset.h)
};
constexpr uint32_t ROW_CACHE = 256;  // rows kept decoded, by entry modulo this

// Sort columns of the message list.
enum { SORT_NUM = 0, SORT_FROM = 1, SORT_TO = 2, SORT_SUBJ = 3, SORT_DATE = 4 };

struct EdBase {
    const Config* cfg = &g_cfg;  // for the area-manager names
    EdArea ed_areas[MAX_EAREAS];
    int ed_nareas = 0;

    // The loaded area.
    int ej_area = -1;
    // An image of the whole .jhr when one is set (ej_fill_list's callers):
    // header blocks come from it instead of the file. ej_load_area sets none.
    uint8_t* ej_jhr = nullptr;
    uint64_t ej_jhrlen = 0;          // size of .jhr (of the image) when the list was filled
    std::vector<EdMsg> ej_msgs;      // in .jdx order (ej_count of them in use)
    std::vector<uint32_t> ej_order;  // display order: row r shows ej_msgs[ej_order[r]]
    uint32_t ej_count = 0;
    std::vector<char> ej_txtbuf;         // text of ej_get_text; only grows
    uint32_t ej_user_crc = 0xFFFFFFFFu;  // JAM UserCRC of the sysop name
    // Caches of the loaded area, emptied by every load.
    mutable EdRow* ej_rows = nullptr;     // ROW_CACHE decoded rows, allocated on first use
    mutable std::vector<uint8_t> ej_win;  // bytes of .jhr from ej_winoff
    mutable uint32_t ej_winlen = 0;
    mutable uint64_t ej_winoff = 0;
    int sort_col = SORT_NUM;
    int sort_desc = 0;
    char ej_path[520] = {};

    EdBase() = default;
    EdBase(const EdBase&) = delete;
    EdBase& operator=(const EdBase&) = delete;
    ~EdBase();
};

// Whole file into a new buffer with 64 spare bytes, read in pieces of at most
// 256 MB, stopping early at a read of 0 bytes; len = bytes actually read. A
// file that cannot be opened or sized gives null and len 0. Release with
// free_mem, which also nulls the pointer (a null pointer is left alone).
uint8_t* read_file(const char* path, uint64_t& len);
void free_mem(uint8_t*& p);

EdArea* ej_aptr(EdBase& eb, int area);
// eb.ej_path = AR_PATH + ext; returns it.
const char* mk(EdBase& eb, int area, const char* ext);
// The user's UserCRC: the JAM CRC of the global sysop name (A-Z folded).
void ej_set_user(EdBase& eb, const char* sysop);

// The user's HighReadMsg from .jlr, or 0.
uint32_t read_lastread(EdBase& eb, int area);
// AR_TOTAL, AR_UNREAD, AR_LAST, AR_HIGH from the base header, the size of
// .jdx and the .jlr, without reading message headers.
void ej_counts(EdBase& eb, int area);
// Loads an area into the list: 0 (possibly empty), 1 when the base is
// damaged. Sets AR_TOTAL, AR_UNREAD and AR_LAST exactly.
int ej_load_area(EdBase& eb, int area);
// Fills the list from the .jdx records over the image set in ej_jhr and
// ej_jhrlen (the part of ej_load_area that reads outside bytes, which reads
// .jhr in 1 MB pieces instead). 0, or 1 when out of memory.
int ej_fill_list(EdBase& eb, const uint8_t* jdx, uint64_t jdxlen);
// The decoded texts of entry (an index into ej_msgs), from the row cache or
// its header block; a block that cannot be read gives empty texts.
const EdRow& ej_row(const EdBase& eb, uint32_t entry);
// The subfields of entry (MS_SFLEN bytes; len = that), or null (len 0) when
// its header cannot be read or no longer matches it.
const uint8_t* ej_sf_block(const EdBase& eb, uint32_t entry, uint32_t& len);
// The text of entry (an index into ej_msgs), NUL-terminated; len = bytes.
// (null, 0) when out of memory. Cut to 16 MB.
const char* ej_get_text(EdBase& eb, uint32_t entry, uint32_t& len);
// Bytes of character set cs into a UTF-16 field of cap units (terminator
// included): stops at a NUL byte, cut to the field, never inside a pair.
void decode_field(int cs, const char* p, uint32_t n, char16_t* out, size_t cap);
// The character set of entry's text (its kludge, else detection over the
// text; the list's guess when the header block is not loaded).
int ej_charset(const EdBase& eb, uint32_t entry, const char* text, uint32_t len);
// The first subfield of entry with this LoID, or null (len 0).
const uint8_t* ej_find_sf(const EdBase& eb, uint32_t entry, uint16_t id, uint32_t& len);
// Message `number` of the area was read: raises AR_LAST and records it in .jlr.
// False when the base is there but the mark could not be written (locked,
// .jhr or .jlr not writable, a read or write failed); true when written or
// when the area has no base yet (only AR_LAST is raised then).
bool ej_set_lastread(EdBase& eb, int area, uint32_t number);
// Deletes the given entries: the count deleted, or -1 (base missing,
// damaged, locked or not writable, or an index or base-header write failed
// after some were marked deleted).
int ej_delete(EdBase& eb, int area, const uint32_t* entries, int count);
// Sorts ej_order by a column (SORT_*; any other: by number), ties by number.
// Names and subjects compare case-insensitively as ej_row shows them; sorting
// by them decodes every row once (seconds on an area of a million messages,
// with its texts in memory meanwhile). 0, or 1 when out of memory (the order
// is then left as it was).
int ej_sort(EdBase& eb, int column, int descending);
// Bytes the loaded list holds in memory: its records, the display order,
// the row cache, the header window, an image if set, and the text buffer.
size_t ej_list_bytes(const EdBase& eb);
// "DD.MM.YYYY HH:MM" of seconds since 1970, no time-zone shift; out holds 17.
void ej_fmt_date(uint32_t seconds, char16_t* out);
