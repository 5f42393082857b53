// Configuration file and loader.
//
// One text file of "key = value" lines: a global part and up to 16 [boss]
// sections, each inheriting every setting it leaves empty from the global
// part. A file without sections is the single-boss form. load_config reads the
// file whole (first 16383 bytes) and keeps the raw records; cfg_boss builds
// the effective settings of one boss as a value the caller holds (nothing in
// the Config changes). Messages go to the log (core/log.h).
//
// Relative paths in the file (inbound, outbound, the JAM bases, the dupe
// database, the area directory, echoarea paths) are taken relative to the
// file's own directory, so a run works alike from any current directory:
// cfg_boss and the echo-area list give them resolved; the raw records keep
// the text as written. A file named without a directory (the current one)
// leaves them as they are.
//
// The loaded configuration is one of the process's few global instances
// (ARCHITECTURE.md, "State"): g_cfg, loaded once by the command line and
// read, never changed, by the drivers. Functions take the Config explicitly
// so tests can hold several.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "core/cfgline.h"
#include "core/strutil.h"

constexpr int MAX_BOSS = 16;
constexpr int MAX_AREAS = 256;
constexpr size_t BNAME_MAX = 64;
constexpr size_t CFGBUF_MAX = CFG_READ_MAX + 1;  // the file read, and its NUL
constexpr int NFIELDS = 41;
constexpr int MAX_FILEAREAS = 256;

// Field numbers of a boss record, in file-table order.
enum CfgField {
    F_ADDRESS,
    F_HOST,
    F_PORT,
    F_BOSSADDR,
    F_PASSWORD,
    F_INBOUND,
    F_OUTBOUND,
    F_SYSOP,
    F_SYSTEM,
    F_LOCATION,
    F_CRAM,
    F_NETMAIL,
    F_PKTPWD,
    F_BADAREA,
    F_DUPEAREA,
    F_DUPEMODE,
    F_DUPEDB,
    F_NETNAME,
    F_OUTMODE,
    F_PACK,
    F_BSOZONE,
    F_ECHOPATH,
    F_AUTOPOLL,
    F_AFNAME,
    F_AFPWD,
    F_AUTOCREATE,
    F_MOVEBAD,
    F_AREADIR,
    F_AFQUERY,
    F_NETTIMEOUT,
    F_SESSLIMIT,
    F_NR,
    F_PARTDAYS,
    F_NODELIST,
    F_NODEDIFF,
    F_POINTLIST,
    F_FILEBASE,      // directory of automatically created file areas
    F_TICPWD,        // the password of the boss's .tic files
    F_TICWAIT,       // days a .tic waits for its file
    F_NODEDIFFAREA,  // the file area whose files are the boss's nodelist diffs
    F_AREAFORMAT,
};

// The key of each field, in field order.
extern const char* const cfg_keys[NFIELDS];

// The format of a message base. A base value in the file ("echoarea = TAG
// value", netmail, badarea, dupearea) may start with a prefix that names it:
// "msg:PATH" is a *.MSG directory, "jam:PATH" a JAM base (the path without
// extension); a value without a prefix is a JAM base. The prefix is read in
// any case and kept as written by every editor of the file. "areaformat"
// (jam or msg; default jam) is the format of the areas the toss creates.
enum class AreaFormat : uint8_t { Jam, Msg };
// The prefix of a format as written in the file ("jam:", "msg:").
const char* cfg_format_prefix(AreaFormat f);
// The path after an optional format prefix of `value`, the format in `fmt`
// (Jam without a prefix).
const char* cfg_base_loc(const char* value, AreaFormat& fmt);
// The "areaformat" value: "jam" or "msg" (any case), or "" (jam). False for
// any other value.
bool cfg_area_format(const char* value, AreaFormat& fmt);

// NFIELDS values of up to 255 bytes each.
struct BossRec {
    char f[NFIELDS][CFG_STR];
};

struct Config {
    char path[WP_PATH_MAX] = "";  // the file loaded, as given
    // Its directory as given, separator included; "" for the current one
    // (also for "./name").
    char dir[WP_PATH_MAX] = "";
    BossRec gdef;              // the global part
    BossRec bosses[MAX_BOSS];  // raw section records
    char bnames[MAX_BOSS][BNAME_MAX];
    int boss_count = 0;

    char area_tags[MAX_AREAS][TAG_MAX];
    char area_paths[MAX_AREAS][CFG_STR];  // resolved
    int area_nets[MAX_AREAS];             // section index, -1 = global part
    AreaFormat area_formats[MAX_AREAS];   // the prefix of the line (area_paths has none)
    int area_count = 0;

    // File areas (`filearea = TAG PATH`), like the echo areas.
    char file_tags[MAX_FILEAREAS][TAG_MAX];
    char file_paths[MAX_FILEAREAS][CFG_STR];  // resolved
    int file_nets[MAX_FILEAREAS];             // section index, -1 = global part
    int file_count = 0;
};

// The effective settings of one boss: the section's values over the global
// part's, defaults filled in, paths resolved. A plain value: the caller holds
// it for as long as it needs it, and any number may live side by side.
struct BossCfg {
    char name[BNAME_MAX] = "";  // the section's name; "default" for the global part
    BossRec rec{};
    // The formats of the netmail, bad and dupe bases; their fields in rec
    // hold the path without the prefix.
    AreaFormat netmail_fmt = AreaFormat::Jam;
    AreaFormat bad_fmt = AreaFormat::Jam;
    AreaFormat dupe_fmt = AreaFormat::Jam;

    const char* get(CfgField f) const { return rec.f[f]; }
};

extern Config g_cfg;

// Reads and parses the file. 0 on success, 1 on failure (message logged):
// unreadable, too many sections, a relative path that no longer fits in
// 255 bytes once the file's directory is put before it, or an "areaformat"
// other than jam or msg.
// Clears everything first, so it can be called again.
int load_config(Config& c, const char* path);
// The section name of a header line, read the same way by the loader and by
// every editor of the file: `p` is just after its "[", `end` the end of the
// line. Blanks, then an optional "boss " or "link " (any case) and blanks,
// then the name up to "]", a blank, CR or LF; at most BNAME_MAX - 1 bytes
// are kept (longer names are cut). out: BNAME_MAX bytes.
void cfg_section_name(const char* p, const char* end, char* out);
// Whether two base values (each with an optional format prefix, see
// AreaFormat) name one base as the file system names it: the same format
// and the same header file (JAM) or directory (*.MSG) when it exists (links
// and "."/".." resolved), else the same absolute path. Empty paths name no
// base.
bool cfg_same_base(const char* a, const char* b);
// The name cfg_same_base compares for one base of format `fmt` at `path`
// (no prefix): the format's prefix, then the resolved header file or
// directory when it exists, else its absolute path; "" for an empty path.
// Two bases are the same exactly when their keys are equal and not empty.
std::string cfg_base_key(const char* path, AreaFormat fmt = AreaFormat::Jam);

// The configuration file to use when none is named: "wrenpost.cfg" when it
// exists in the current directory, else the per-user file
// <config home>/wrenpost/wrenpost.cfg (pf_config_home; "wrenpost.cfg" when
// there is no home). out: WP_PATH_MAX bytes. True when the chosen file exists.
bool cfg_default_path(char* out);
// The directory part of a configuration path (see Config::dir). out:
// WP_PATH_MAX bytes.
void cfg_dir_of(const char* cfg_path, char* out);
// True for an absolute path: "/" or "\" first, or a drive letter and ":".
bool cfg_path_absolute(const char* p);
// Whether field f holds a path that is resolved against the file's directory.
bool cfg_is_path(CfgField f);
// A path value as the runs use it: empty and absolute values unchanged,
// otherwise dir + value with leading "./" dropped (nothing changes when dir
// is empty). A format prefix (AreaFormat) stays in front; the path after it
// is the one resolved. False, with out cut, when the result does not fit in cap.
bool cfg_resolve(const char* dir, const char* value, char* out, size_t cap);
// The value of field f for section i as written (the section's, else the
// global part's; -1 = the global part), no defaults, not resolved.
const char* cfg_raw(const Config& c, int i, CfgField f);

inline int cfg_boss_count(const Config& c) {
    return c.boss_count;
}
inline const char* cfg_boss_name(const Config& c, int i) {
    return c.bnames[i];
}
inline const BossRec& cfg_boss_rec(const Config& c, int i) {
    return c.bosses[i];
}
// First section whose name equals `name` (ASCII case-insensitive), or -1.
int cfg_find(const Config& c, const char* name);
// The effective settings of section i (-1, or no such section: the global
// part alone). Logs nothing, cannot fail.
BossCfg cfg_boss(const Config& c, int i);
// 1 when a setting every mail run needs (address, boss_host, boss_address,
// inbound, outbound) is empty in b, each missing key logged; else 0.
int cfg_require(const BossCfg& b);
// Appends an echo area at run time (path without prefix); the new index, or
// -1 when full.
int area_push(Config& c, const char* tag, const char* path, int net,
              AreaFormat fmt = AreaFormat::Jam);
// Appends a file area at run time; the new index, or -1 when full.
int filearea_push(Config& c, const char* tag, const char* path, int net);
// The file area of a tag (ASCII case-insensitive, first in file order), or -1.
int filearea_find(const Config& c, const char* tag);
