// The file side of the command line: the file-echo step of the toss, the
// `files` listing and `freq`.
//
// `files` prints one line per file area (tag, directory, number of files);
// `files TAG` one line per file of the area: name, size in bytes, date
// (UTC, "YYYY-MM-DD HH:MM"), description (files.bbs lines joined by a blank),
// tab-separated on standard output in UTF-8 (a description that is not UTF-8
// is read as code page 437; control characters and tabs shown as "."), the
// log on standard error. EXIT_NOTFOUND for an unknown tag.
//
// `freq BOSS NAME [!password] [NAME ...]` adds the names to the boss's
// request file in its BSO outbound (outbound/bso.h, req_add): EXIT_BUSY when
// the outbound is busy, EXIT_CONFIG for a bad boss, name or outbound,
// EXIT_PROTO when the file cannot be written.
#pragma once

#include <string>
#include <vector>

#include "core/exitcode.h"

struct BossCfg;

// The .tic files of every inbound (tosser/tic.h), with the nodelist hook: a
// file placed in a boss's `nodediff_area` is copied beside the boss's
// nodelist under the diff name (nl_diff_loc) with its extension, and the
// boss's list is brought up to date. The caller holds the JAM lock file.
ExitCode tic_step();
// The nodelist hook alone (also used by the tests).
void tic_nodediff(const BossCfg& b, const char* tag, const char* path);

ExitCode files_command(const char* tag);
ExitCode freq_command(const char* boss, const std::vector<std::string>& words);
// The request lines of the words: each name, with a "!password" word after
// it joined to its line. False when a "!password" comes first.
bool freq_lines(const std::vector<std::string>& words, std::vector<std::string>& out);
