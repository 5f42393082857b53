// Configuration file and loader.
//
// One text file of "key = value" lines: a global part and up to 16 [boss]
// sections, each inheriting every setting it leaves empty from the global
// part. A file without sections is the single-boss form. load_config reads the
// file whole (first 16383 bytes) and keeps the raw records; cfg_select builds
// the effective settings of one boss. Messages go to the log (core/log.h).
//
// The loaded configuration is process state that every mail-side module
// reads: g_cfg. Functions take the Config explicitly so tests can hold several.
#pragma once

#include <cstddef>

#include "core/strutil.h"

constexpr int MAX_BOSS = 16;
constexpr int MAX_AREAS = 256;
constexpr size_t BNAME_MAX = 64;
constexpr size_t CFGBUF_MAX = 16384;
constexpr int NFIELDS = 29;

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
};

// The key of each field, in field order.
extern const char* const cfg_keys[NFIELDS];

// 29 values of up to 255 bytes each.
struct BossRec {
    char f[NFIELDS][CFG_STR];
};

struct Config {
    char path[WP_PATH_MAX] = "";  // the file loaded, as given
    BossRec gdef;                 // the global part
    BossRec bosses[MAX_BOSS];     // raw section records
    char bnames[MAX_BOSS][BNAME_MAX];
    int boss_count = 0;

    char area_tags[MAX_AREAS][TAG_MAX];
    char area_paths[MAX_AREAS][CFG_STR];
    int area_nets[MAX_AREAS];  // section index, -1 = global part
    int area_count = 0;

    // Effective record of the selected boss (cfg_select).
    char cfg_name[BNAME_MAX];
    BossRec eff;

    const char* get(CfgField f) const { return eff.f[f]; }
};

extern Config g_cfg;

// Reads and parses the file. 0 on success, 1 on failure (message logged).
// Clears everything first, so it can be called again.
int load_config(Config& c, const char* path);
// The section name of a header line, read the same way by the loader and by
// every editor of the file: `p` is just after its "[", `end` the end of the
// line. Blanks, then an optional "boss " or "link " (any case) and blanks,
// then the name up to "]", a blank, CR or LF; at most BNAME_MAX - 1 bytes
// are kept (longer names are cut). out: BNAME_MAX bytes.
void cfg_section_name(const char* p, const char* end, char* out);
// Whether two JAM base paths (without extension) name one base as the file
// system names it: the same header file when it exists (links and "."/".."
// resolved), else the same absolute path. Empty paths name no base.
bool cfg_same_base(const char* a, const char* b);

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
// Builds the effective record of section i (-1: the global part alone) in
// c.eff and c.cfg_name. Returns 1 when a required setting is missing and
// no_require is 0 (each missing key logged), else 0.
int cfg_select(Config& c, int i, int no_require);
// Appends an echo area at run time; the new index, or -1 when full.
int area_push(Config& c, const char* tag, const char* path, int net);
