// Rewriting of the configuration file by the settings dialog.
//
// The user's file is hand-written and commented, so every rewrite is
// surgical: comments, blank lines, order, indentation, unknown keys, echoarea
// lines and keys the dialog does not know stay byte for byte. Only the lines of
// changed keys are replaced (keeping their indentation) or dropped (an emptied
// value: the global value or the default applies again), missing keys are
// inserted after the last key line of their section, deleted bosses lose their
// whole section, new bosses are appended as new sections, and the global
// sysop, system and language lines are written by a pass of their own.
//
// The dialog state is a plain CfgEdit that st_scan fills and the dialog then
// edits (new values, typed passwords, auto-poll state, new or deleted slots).
// Every pass reads the file anew, refuses files of 16383 bytes or more and
// results over 16382 bytes, and changes nothing on disk before its final
// write. The new text is written to a temporary file beside the configuration
// and renamed over it (keeping its owner, group and permissions), so a crash or a full disk
// never leaves the file cut short. The file is not locked: callers write it
// one after the other.
//
// Stored passwords are never kept in memory: the scan keeps only the fact
// that one is stored. Typed passwords live in the CfgEdit until st_wipe.
#pragma once

#include <cstddef>
#include <string>

#include "config/config.h"
#include "config/result.h"
#include "core/strutil.h"

// Files this long or longer are never rewritten; results may be at most
// CFG_OUT_MAX bytes long.
constexpr size_t CFG_WRITE_LIMIT = CFG_READ_MAX;
constexpr size_t CFG_OUT_MAX = 16382;

// The keys of a slot, in table order (their positions are the key numbers).
enum SlotKey {
    SK_ADDRESS,
    SK_BOSSADDR,
    SK_HOST,
    SK_PORT,
    SK_CRAM,
    SK_INBOUND,
    SK_OUTBOUND,
    SK_NETMAIL,
    SK_NETNAME,
    SK_AUTOPOLL,
    SK_PASSWORD,
    SK_AFNAME,
    SK_AUTOCREATE,
    SK_MOVEBAD,
    SK_NR,
    SK_AFPWD,
    SK_SYSOP,
    SK_SYSTEM,
    SK_COUNT
};
extern const char* const st_keys[SK_COUNT];

enum SlotState { ST_EXISTING = 0, ST_NEW = 1, ST_DELETED = 2 };

// A password of a slot: whether the file holds a non-empty one (its value is
// never read into memory), and whether the user typed a new one.
struct SlotSecret {
    bool stored = false;
    bool typed = false;
    char text[CFG_STR] = "";
};

// One [boss] section of the file, or one new boss.
struct Slot {
    char name[BNAME_MAX] = "";
    char oldv[SK_COUNT][CFG_STR] = {};  // what the file holds (secrets: always "")
    char newv[SK_COUNT][CFG_STR] = {};  // what the dialog will write
    int state = ST_EXISTING;
    SlotSecret pw;    // password
    SlotSecret afpw;  // areafix_password
    // Auto-poll as at dialog start (ap_on0, ap_min0) and as now. The dialog
    // takes them from the editor's running auto-poll state, not from the file.
    bool ap_on0 = false;
    bool ap_on = false;
    int ap_min0 = 0;
    int ap_min = 0;
};

struct CfgEdit {
    char path[WP_PATH_MAX] = "";
    bool single = false;  // no section header: the whole file is slot 0
    int nslots = 0;       // slots in use: the file's sections first, then new bosses
    int nfile = 0;        // how many of them stand for sections of the file
    Slot slots[MAX_BOSS];
    // sysop and system of the global part (before the first section header).
    char gsysop_old[CFG_STR] = "";
    char gsysop_new[CFG_STR] = "";
    char gsystem_old[CFG_STR] = "";
    char gsystem_new[CFG_STR] = "";
};

// Reads the file (its first 16383 bytes, as the loader does) into e: one slot
// per section header (the first 16; none in single-boss format, where the whole file is slot 0
// and its sysop and system count as global values only), old values of the 17
// keys (a later line of a key wins), flags for stored passwords, the global
// sysop and system. New values start as copies of the old ones; auto-poll
// state and typed passwords start empty. Ok, or Failed when the file cannot
// be opened or read (e is then cleared with the path set).
CfgResult st_scan(CfgEdit& e, const char* path);
// The scan of a text already in memory (e.path is left as it is).
void st_scan_text(CfgEdit& e, const std::string& text);
// Adds a new boss slot named `name` (all values empty, state new). The index,
// or -1 when 16 slots are in use or the file is in single-boss format.
int st_add(CfgEdit& e, const char* name);
// Wipes typed passwords from memory.
void st_wipe(CfgEdit& e);

// True when key k of slot s is to be written: a secret when a new one was
// typed, auto-poll when on/off or minutes differ from the start, any other key
// when old and new value differ in any byte.
bool field_dirty(const Slot& s, int k);
// The value written for key k into out (CFG_STR bytes): the typed text of a
// secret; for auto-poll "off", "off " + interval or the interval, where the
// interval is hours + "h" for a multiple of 60 minutes, else minutes + "m";
// the new value otherwise.
void field_val(const Slot& s, int k, char* out);

// The rewrite of the sections of `in` into `out`. Ok, or Failed when the result
// would be longer than CFG_OUT_MAX bytes or cannot be written faithfully (a
// value to write holds CR or LF; a new section name is empty or holds a
// blank, a tab, "]", CR or LF; the sections of `in` are not those scanned:
// one of them missing or named differently, or the format changed).
CfgResult cfg_rewrite_text(const CfgEdit& e, const std::string& in, std::string& out);
// The global key pass on text: the first line of `key` in the global part is
// replaced by key=value (dropped when value is empty), further ones dropped,
// a missing one inserted before the first section header (or appended to a
// file without sections). Ok, or Failed when the result would be too long, the
// value holds CR or LF, or the key is empty or holds a blank, tab, "=", CR or
// LF.
CfgResult gkey_text(const std::string& in, const char* key, const char* value, std::string& out);

// Writes the changes of all slots of e into e.path. Ok, or Failed: the file is missing, read-only,
// 16383 bytes or longer, the result would be longer than 16382 bytes or is refused by
// cfg_rewrite_text, or writing failed. On failure the file is unchanged.
CfgResult cfg_write(const CfgEdit& e);
// The global key pass on a file. Ok or Failed as cfg_write.
CfgResult gkey_write(const char* path, const char* key, const char* value);
// Writes the global sysop and then system of e when changed, one pass each.
// Ok when all passes succeeded, Failed at the first failure (a completed pass
// stays written).
CfgResult glob_write(const CfgEdit& e);
// Writes language=auto (0), language=de (1) or language=en (2) into the global
// part. Ok or Failed as cfg_write; another choice gives Failed.
CfgResult lang_write(const char* path, int choice);

// Reads the whole configuration file; 0 on success, 1 when it cannot be read
// or is 16383 bytes or longer.
int cf_read(const char* cfg_path, std::string& text);
// Replaces the file's contents by text through a temporary file beside it,
// renamed over it with the old file's permissions; 0 on success, 1 on failure
// (the old file then stays as it was and no temporary file is left). The file
// must still exist and be writable (a read-only file is refused).
// The scratch file is readable by its owner alone until it has the old
// file's owner and group, then gets its permission bits (the file holds
// session passwords); when it cannot have them (the writer is neither the
// owner's user nor privileged, or not in the file's group) the rewrite is
// refused with "ERROR: cannot give the rewritten file its owner and group"
// rather than widening who may read the file. Scratch copies that writers
// killed mid-write left behind are removed first (cf_drop_stale).
int cf_write(const char* cfg_path, const std::string& text);
// The scratch name of a writer: the file's path + CF_SCRATCH + its pid.
constexpr const char* CF_SCRATCH = ".wptmp";
// Deletes the scratch copies of `real` (an absolute file path) whose writer
// is no longer running; the own one and those of running processes stay.
// Returns how many were removed.
int cf_drop_stale(const char* real);
