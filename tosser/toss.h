// The toss run: from the inbound directories into the message bases (JAM,
// or *.MSG directories configured with "msg:").
//
// The caller holds the JAM lock file for the whole run (app/run.h). The
// toss takes every loose packet and ZIP bundle of every boss's inbound
// (each directory once), files each message into its area after the dupe
// check, creates unknown areas when allowed (never for a tag that
// af_tag_creatable refuses: its messages go to the bad area), and keeps the
// inbound in order: tossed files move to "tossed/", broken ones get ".bad",
// and only the copies extracted into "wptmp/" are deleted. Nothing received
// is ever lost.
//
// Every packet in an inbound is checked against the packet password of the
// bosses that deliver into it, whatever origin it claims (check_password).
// An entry named "tossed" or "wptmp" that is no directory is renamed aside
// (".bad") before the inbound is tossed. Each message is filed exactly once
// even when the run is killed at any instant or a write fails (the dupe
// journal, jam/dupe.h). A stop request (pf_stop_requested) makes it stop
// before the next message and end with EXIT_STOPPED.
//
// State is one TossRun per run; the configuration is read from the Config it
// points at (g_cfg for the command).
#pragma once

#include <cstdint>
#include <memory>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

#include "config/cfgedit.h"
#include "config/config.h"
#include "core/exitcode.h"
#include "jam/dupe.h"
#include "jam/jam.h"
#include "mbase/mbase.h"
#include "tosser/packet.h"

constexpr int MAX_NETS = 16;
constexpr int MAX_NAMES = 2048;
constexpr uint64_t PKT_MAX_SIZE = 268435456;  // largest packet read (256 MiB)
// Bases held open and locked while packets are filed (see TossRun::held):
// at most this many at once, released together after this many appends or
// this many milliseconds, whichever comes first, and at the end of every
// loose packet and every bundle, so that other programs waiting for a base
// get their turn.
constexpr size_t HOLD_BASES = 64;
constexpr uint32_t HOLD_MSGS = 1000;
constexpr uint64_t HOLD_MS = 1000;

// One boss as the toss run sees it (effective settings).
struct TossNet {
    uint32_t N_ZONE = 0;
    ftn_addr N_BOSS;
    char N_NETMAIL[CFG_STR + 4] = "";  // "msg:" before the path of a *.MSG netmail
    char N_PKTPWD[CFG_STR] = "";
    char N_INBOUND[CFG_STR] = "";
    char N_NAME[BNAME_MAX] = "";
    bool N_AUTOC = true;
    bool N_MOVEBAD = true;
    AreaFormat N_AREAFMT = AreaFormat::Jam;  // of the areas it creates
    int N_SECT = -1;
    char N_AREADIR[CFG_STR] = "";  // as written (relative to the configuration's directory)
};

struct TossStats {
    uint64_t st_pkts = 0, st_badpkts = 0, st_msgs = 0, st_echo = 0, st_net = 0, st_tobad = 0,
             st_dupes = 0, st_dropped = 0, st_bundles = 0, st_bnd_bad = 0, st_bnd_skip = 0,
             st_bnd_empty = 0;
};

// A base held open and locked by the toss run: `loc` is its target as the
// run names it (the path, "msg:" before it for a *.MSG area), `real` the
// real path of its .jhr or directory (empty when unknown), by which another
// spelling of its path is recognised. The lock is released before the base
// closes.
struct HeldBase {
    std::unique_ptr<MsgBase> b;
    std::unique_ptr<MbLock> lock;
    std::string loc;
    std::string real;
};

struct TossRun {
    Config* cfg = &g_cfg;
    TossNet net_tab[MAX_NETS];
    int net_count = 0;
    PktBoss bosses[MAX_NETS];  // the password check's view of net_tab
    // The global bases as targets: "msg:" before the path of a *.MSG one.
    char netmail[CFG_STR + 4] = "";
    char badarea[CFG_STR + 4] = "";
    char dupearea[CFG_STR + 4] = "";
    char dupedb[CFG_STR] = "";
    bool drop = false;
    uint32_t jm_now = 0;
    DupeDb dupes;
    TossStats st;
    bool stopped = false;      // a stop was requested: nothing more is filed
    bool jnl_failed = false;   // ... because the dupe journal could not be written
    bool dir_error = false;    // an inbound could not be tossed ("tossed"/"wptmp")
    bool cfg_failed = false;   // ... because new areas' lines could not be written
    bool keys_failed = false;  // a dupe database save failed (the journal keeps the keys)
    // The inbound being tossed: bit i set when boss i delivers into it.
    uint32_t owners = 0;
    // The packet being filed.
    int sender = -1;  // index into net_tab of the boss that sent it, or -1
    TossMsg msg;
    // The bases appended to since the last release, each open through the
    // message-base interface with its write lock held (MbLock), so that a run
    // of messages into the same areas opens and locks each base once; held_msgs appends since
    // held_since (pf_ticks_ms). Released as HOLD_* says, before an area is
    // created (its take-over from the bad area locks bases itself) and when
    // the run ends.
    std::vector<HeldBase> held;
    std::unordered_map<std::string, std::string> real_paths;  // base path -> HeldBase::real
    uint32_t held_msgs = 0;
    uint64_t held_since = 0;
    // The configuration lines of the areas created while the packet is
    // filed, written with one rewrite of the file before the packet leaves
    // the inbound (a run killed before that tosses the packet again and
    // creates the same areas on the same bases).
    AfAreaBatch new_areas;
    // The target of the message being filed when it is built here (a *.MSG
    // area's "msg:" + path), and the message in the neutral form for the
    // bases that are not JAM (made once per message when needed).
    std::string target_buf;
    MbMessage neutral;
    bool neutral_ok = false;
};

// Closes every held base (their locks released).
void toss_release(TossRun& r);
// The key of a message without a MSGID for a base that is not JAM:
// dupe_text_key of its contents as the interface reads them, put into JAM's
// request form (jam_request), so that the same parts count (no SEEN-BY,
// PATH, Via, AREA marker, nor echomail's packing address). The toss
// computes it from the message as the format will read it back, the
// journal's check from what the base holds.
uint64_t toss_neutral_key(const char* loc, const MbMessage& m);
// DupeDb::verify_other of the toss: the journal's check of a base that is
// not JAM ("msg:" + directory), read through the interface: the number of a
// live message after `count` (its end_mark) whose MSGID key, or contents key
// (toss_neutral_key, with its date or 0), is `key` and not in `taken`; -1.
int64_t toss_verify_neutral(const char* loc, uint32_t count, uint64_t key,
                            const std::set<int64_t>& taken);

// "no", "off", "0", "false" (any case) are false; anything else is true.
bool yesno(const char* text);
// The directory part of a path: before the last "\" or "/", or up to and
// including a ":"; "" when there is neither.
void dir_part(char* out, const char* path);
// A bundle by name: at least 5 characters, ".su0" ... ".saz" style ending.
int is_bundle(const char* name);
// Moves source to destination, or to destination + ".1" ... ".999" when that
// fails. 1 on success (final name in *used when given), 0 after 1000 failures.
int move_unique(const char* source, const char* destination, std::string* used = nullptr);

// Builds the network table and reads the global settings; 0, or 1 after
// logging a configuration or memory error.
int toss_setup(TossRun& r);
// Tosses every inbound once, saves the dupe database. EXIT_PROTO when any packet was
// bad, any bundle broken, an entry in the way of an inbound's own directories
// ("tossed", "wptmp") could not be moved, or the dupe journal or the lines of
// new areas could not be written (the run then ends like a stopped one, the
// packet left in place, to be tossed again); EXIT_STOPPED when a
// stop was requested (pf_stop_requested): the message being converted is abandoned, what was filed
// is saved with its keys, and the packet or bundle stays in the inbound for the next run; else
// EXIT_OK.
ExitCode toss_all(TossRun& r);
void toss_report(const TossRun& r);
// One inbound directory.
void toss_dir(TossRun& r, const char* dir);
