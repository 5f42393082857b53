// File echoes: the .tic control files in the inbound and the file areas.
//
// Each file of a file echo arrives with a .tic file (FTS-5006): lines of a
// keyword and a value naming the area, the file, its size and CRC-32, the
// sender and a password. tic_toss_all takes every .tic of every boss's
// inbound (each directory once) whose file has arrived, checks the file's
// size and CRC-32, the sender (`From`, one of the bosses delivering into the
// inbound) and the password (`Pw`, the boss's `tic_password`, any case),
// places the file in the directory of its file area (an unknown area is
// created as `filebase/tag` when the boss's `autocreate` allows), deletes
// the files its `Replaces` names, and writes its description (`Desc`,
// `LDesc`) into the area's `files.bbs`.
//
// Safety:
// - Names: a file name from the network is used only when it is a plain
//   name the mailer would have stored unchanged (no separator, drive, blank,
//   control character or character Windows refuses, no leading dot, no
//   device name,
//   none of the inbound's own names, not files.bbs, not a .tic); otherwise
//   the .tic is set aside as bad. Two areas never share a directory (the
//   second one's .tic files are set aside), so a file never lands among
//   another area's files, and `Replaces` acts only inside its own area.
// - A kill at any instant leaves each file either in the inbound with its
//   .tic or in its area with its description: the file is copied into the
//   area under a temporary name, synced and renamed, the new files.bbs is
//   written aside and renamed, and only then the inbound's copy is deleted
//   and the .tic moved to "tossed/". A .tic whose file is gone from the
//   inbound while its area holds it with the right size and CRC-32 is
//   finished by the next run.
// - A write that fails (a full disk) leaves the file in the inbound with
//   its .tic and ends the step with EXIT_PROTO and an error naming the file.
// - A .tic whose file has not arrived waits; after `tic_wait_days` days (by
//   the .tic's time) it is set aside. A wrong size, CRC-32, sender or
//   password, an unknown area or a .tic that does not parse sets both aside:
//   renamed to NAME.bad (.bad.1 ... when taken), the reason in the log.
//
// The caller holds the JAM lock file (app/run.h): it keeps two runs from
// working on one inbound at once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "config/config.h"
#include "core/exitcode.h"

constexpr size_t TIC_MAX = 65536;  // largest .tic read
constexpr const char* FILES_BBS = "files.bbs";

// One parsed .tic. Keywords are matched in any case; unknown ones are
// skipped. The first of a repeated keyword counts, except LDesc and
// Replaces, which collect every line.
struct Tic {
    std::string area, file, lfile, desc, from, to, pw, origin;
    std::vector<std::string> ldesc, replaces;
    bool has_size = false;
    uint64_t size = 0;
    bool has_crc = false;
    uint32_t crc = 0;
};

enum class TicParse {
    Ok,
    NoArea,   // no Area line (or an empty one)
    NoFile,   // no File line
    NoCrc,    // no Crc line
    BadSize,  // Size is not a decimal number
    BadCrc,   // Crc is not 1 to 8 hexadecimal digits
};
// Reads a .tic's bytes (lines end with LF, CR before it dropped; a line is
// a keyword, blanks or tabs, and the value with trailing blanks dropped).
[[nodiscard]] TicParse tic_parse(const char* data, size_t len, Tic& out);
// The reason of a parse failure, for the log.
const char* tic_parse_text(TicParse r);

// Whether a name from the network may name a file in an area (see Safety).
bool tic_name_safe(const char* name);
// Whether a name matches a Replaces pattern: "*" and "?" wildcards, letters
// in any case.
bool tic_name_match(const char* pattern, const char* name);

// ---- files.bbs ----------------------------------------------------------------

// One entry: a line starting with the file name, its first description line
// after blanks, and the lines below it that start with a blank.
struct FbbsEntry {
    std::string name;
    std::vector<std::string> desc;  // the lines, leading blanks dropped
};
std::vector<FbbsEntry> fbbs_parse(const std::string& text);
// The text without the entries whose name matches any of `names` (exactly,
// any case) or any of `patterns` (tic_name_match), followed by the entry for
// `name` with the description lines (control bytes as blanks; CR LF ends).
std::string fbbs_update(const std::string& text, const std::string& name,
                        const std::vector<std::string>& desc,
                        const std::vector<std::string>& patterns);
// The description lines of a .tic: Desc, then the LDesc lines (the first
// left out when it repeats Desc); the first LDesc when there is no Desc.
std::vector<std::string> tic_desc_lines(const Tic& t);

// ---- The run ------------------------------------------------------------------

struct TicRun {
    Config* cfg = &g_cfg;
    int64_t now = 0;  // UTC seconds; 0 = the clock at the start of tic_toss_all
    // Called after a file was placed and described, with the boss of its
    // .tic, the area's tag and the file's path in the area.
    std::function<void(const BossCfg&, const char* tag, const char* path)> placed;
    // Counters.
    uint64_t files = 0, waiting = 0, bad = 0, areas_created = 0;
    bool failed = false;  // a write failed: the step ended early
};

// Processes every .tic of every boss's inbound. EXIT_OK; EXIT_PROTO when a
// .tic was set aside or a write failed (the step stops there).
ExitCode tic_toss_all(TicRun& r);
// Processes the .tic files of one inbound directory for the bosses whose
// inbound it is (section indexes, -1 = the global part).
void tic_toss_dir(TicRun& r, const char* dir, const std::vector<int>& bosses);
// The summary line.
void tic_report(const TicRun& r);
