// The nodelist of a network, in memory: reading, lookup, search, and the
// weekly difference file.
//
// A nodelist (NODELIST.nnn, nnn the day of the year it was published) is a
// text of CR LF lines. Its first line is a comment that ends with ": " and
// the CRC-16 of the rest of the file in decimal; the rest holds comment lines
// (";") and entry lines of comma-separated fields:
//
//   keyword,number,system,location,sysop,phone,speed[,flag...]
//
// The keyword is empty for a plain node, or Zone, Region, Host, Hub, Pvt,
// Hold, Down; Zone sets the zone and net (node 0), Region and Host the net,
// the others give a node of the current net. A point list (and a nodelist
// with points) adds Boss,zone:net/node lines, after which the entries are
// points of that node, and Point lines, a point of the node before.
// Underscores in the text fields stand for blanks. A Ctrl-Z (0x1A) ends the
// text. The CRC is CRC-16/XMODEM (polynomial 0x1021, start 0) over every
// byte after the first line's LF up to the Ctrl-Z or the end.
//
// A difference file (NODEDIFF.nnn, nnn the day of the new list) repeats the
// first line of the list it applies to, then commands on lines of their own:
// "A n" (the next n lines of the diff are added), "C n" (n lines of the old
// list are copied), "D n" (n lines of the old list are skipped). The commands
// start at the old list's first line; the result must hold the CRC its own
// first line states, or it is refused.
//
// Everything here works on bytes held by the caller; nothing logs and nothing
// touches a file (nodelist/nlfiles.h does). Not thread-safe only in the
// sense that one NodeList must not be changed while another thread reads it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "core/ftnaddr.h"

// A line longer than this (without its CR LF) is not an entry: counted as
// bad in a list, refused in a difference file.
constexpr size_t NL_LINE_MAX = 512;
// The largest list or difference file read (a whole network's list is
// about 2 MB).
constexpr uint64_t NL_FILE_MAX = 64ull * 1024 * 1024;
// The binkp port a node implies when its IBN flag names none.
constexpr unsigned NL_BINKP_PORT = 24554;

enum class NlKind : uint8_t { Zone, Region, Host, Hub, Node, Pvt, Hold, Down, Boss, Point };

// One entry. The text fields are views into the NodeList's text, as written
// (underscores and the list's character set kept; nl_text makes them
// printable).
struct NlEntry {
    ftn_addr addr;
    NlKind kind = NlKind::Node;
    uint32_t line = 0;  // 1-based line number in the list
    std::string_view system, location, sysop, phone, speed, flags;
};

struct NodeList {
    std::string text;  // the whole file as read
    std::vector<NlEntry> entries;
    uint32_t bad_lines = 0;   // entry lines that did not parse
    uint32_t first_bad = 0;   // line number of the first of them, 0 = none
    bool crc_stated = false;  // the first line ends with a CRC
    uint16_t crc_given = 0;   // the CRC it states
    uint16_t crc_actual = 0;  // the CRC of the text after it
    int charset = 0;          // the text's set (core/charset.h), by detection

    bool crc_ok() const { return crc_stated && crc_given == crc_actual; }
};

// CRC-16/XMODEM of n bytes, continuing from crc.
uint16_t nl_crc16(const char* p, size_t n, uint16_t crc = 0);

// The CRC a list's first line states (the decimal number after its last
// ":"), and the CRC of the bytes after that line. False when the first line
// states none.
bool nl_crc_of(std::string_view text, uint16_t& given, uint16_t& actual);

// The first line of a text without its CR LF.
std::string_view nl_first_line(std::string_view text);

// Reads a list held in `text` into `out` (out.text takes it over). Never
// fails: lines that do not parse are counted in bad_lines.
void nl_parse(std::string text, NodeList& out);

// The entry of an address (point 0 = the node itself), or -1.
int nl_find(const NodeList& nl, const ftn_addr& a);

// The entries whose sysop or system name contains `needle` (UTF-8, written
// in the list's set before the search; ASCII case-insensitive; underscores
// in the list and blanks in the needle match each other), in list order.
// An empty needle finds nothing.
std::vector<int> nl_search(const NodeList& nl, std::string_view needle);

// A field of the list as UTF-8 for printing: underscores as blanks, decoded
// from the list's set, control characters (C0, DEL, C1) and tabs shown as ".".
std::string nl_text(const NodeList& nl, std::string_view field);

// The keyword of an entry as the list writes it ("" for a plain node).
const char* nl_kind_name(NlKind k);

// What an entry's flags say about binkp: true when it has IBN; host is the
// IBN flag's host, else the INA or IP flag's, else empty; port the IBN
// flag's, else NL_BINKP_PORT. Hosts keep at most 255 bytes.
struct NlBinkp {
    bool binkp = false;
    std::string host;
    unsigned port = NL_BINKP_PORT;
};
NlBinkp nl_binkp(std::string_view flags);

enum class NlDiffResult {
    Ok,
    OtherList,   // its first line is not the old list's: a diff for another day
    BadCommand,  // a line where a command belongs is none, or a line is too long
    PastEnd,     // C or D runs past the end of the old list
    Truncated,   // the diff ends inside the lines of an A command
    BadCrc,      // the result does not hold the CRC its first line states
};

// Applies `diff` to `old_list` into `out` (bytes as the lines give them,
// CR LF kept, a Ctrl-Z at the end). On anything but Ok, out is empty.
// `line` is the diff's line where the failure was found (0 for BadCrc and
// OtherList).
[[nodiscard]] NlDiffResult nl_apply_diff(std::string_view old_list, std::string_view diff,
                                         std::string& out, uint32_t& line);
