// The nodelist files of a network on disk: which list is current, reading
// it, and bringing it up to date with its difference files.
//
// A boss's `nodelist = DIR/BASE` names them: the current list is the newest
// DIR/BASE.nnn (three digits, the day of the year; the name compared without
// regard to ASCII case), newest by day number with the turn of the year
// counted (when the numbers lie more than half a year apart, the small ones
// are of the new year). The difference files are DIR/NODEDIFF.nnn, or
// DIR2/NAME.nnn when `nodediff = DIR2/NAME` is set. The published ZIP forms
// BASE.Znn and NODEDIFF.Znn are read through an NlUnzip the caller passes
// (the Deflate decoder lives in a layer above this one); the name of the
// entry inside, BASE.nnn, gives their day. Without one they are reported.
//
// Updating writes the new list as BASE.nnn.wptmp, checks its CRC before and
// after, syncs it, renames it to BASE.nnn (never over an existing file) and
// only then removes the old list, so a list that fails any check leaves the
// old one current and untouched. Diffs are never removed. Messages go to the
// log (core/log.h).
#pragma once

#include <string>
#include <vector>

#include "nodelist/nodelist.h"

struct BossCfg;  // config/config.h

// A directory and a file-name stem, as `nodelist = DIR/BASE` gives them.
struct NlLoc {
    std::string dir;   // "" = the current directory
    std::string base;  // "NODELIST"
};
// Splits a resolved DIR/BASE value at its last "/" (or "\").
NlLoc nl_loc(const char* value);

// One numbered file of a loc.
struct NlFile {
    std::string path;
    int day = -1;         // 0-999 from the extension
    bool zipped = false;  // BASE.Znn: only the last two digits are known
};
// The files BASE.nnn in the loc's directory, oldest first by day number,
// the turn of the year counted, then the files BASE.Znn (zipped set, day the
// two digits). Empty when the directory cannot be listed.
std::vector<NlFile> nl_files(const NlLoc& s);
// Whether day b is later than day a across the turn of the year: b - a,
// taken modulo 366, lies between 1 and 183.
bool nl_day_after(int a, int b);

// Reads the entry NAME.nnn of the ZIP archive at path into name and text;
// false when there is none or the archive is damaged.
using NlUnzip = bool (*)(const std::string& path, std::string& name, std::string& text);

// The current list of a loc: the newest of the files BASE.nnn and, read
// through unzip, BASE.Znn. Its file in cur (zipped ones with the day of the
// entry inside) and its bytes in text.
enum class NlLoad;
[[nodiscard]] NlLoad nl_current(const NlLoc& s, NlUnzip unzip, NlFile& cur, std::string& text);

enum class NlLoad {
    Ok,
    NotConfigured,  // the boss has no `nodelist` (nor `pointlist`)
    NoList,         // no BASE.nnn in the directory
    OnlyZip,        // only the ZIP form is there, and it cannot be read
    Unreadable,     // a file that cannot be read or is too large
};
// Reads the current list of a boss (and its `pointlist`, when set, into
// `points`). Logs what fails, a CRC that does not match (a warning: the
// list is used) and the number of lines that do not parse.
[[nodiscard]] NlLoad nl_load(const BossCfg& b, NodeList& list, NodeList& points,
                             NlUnzip unzip = nullptr);
// Reads one list file, with the same warnings. False (logged) when it cannot.
[[nodiscard]] bool nl_load_file(const std::string& path, NodeList& out);

struct NlUpdate {
    int applied = 0;      // diffs applied, each giving a new current list
    int refused = 0;      // diffs newer than the list that could not be applied
    std::string current;  // the current list's path afterwards ("" = none)
};
// Applies the difference files of the loc's list in turn: each diff whose
// first line is the current list's (the nearest day first), in memory, every
// result checked by its CRC; the last good list is written once and the old
// list removed after. A diff that fails is logged and counted as refused and
// the chain goes on without it. `diffs` is the NODEDIFF loc. A diff that
// fits no list of the chain is refused with a log line when its day lies
// within 31 days after the resulting list's and the file is not older than
// the list file; others (of days already applied, or of the year before)
// are passed over silently.
// A list in ZIP form is never removed: the new list is written as BASE.nnn.
NlUpdate nl_update(const NlLoc& list, const NlLoc& diffs, NlUnzip unzip = nullptr);
// The diff loc of a boss: `nodediff` when set, else DIR/NODEDIFF beside the
// list.
NlLoc nl_diff_loc(const BossCfg& b);
