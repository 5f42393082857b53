// AreaFix replies and the per-boss area cache.
//
// Area managers answer in free text, so the replies are read with a small set
// of heuristics (lists of linked areas, full lists with marks, per-command
// results, header lines) into a table of known areas with a description and
// a link state. The table is rebuilt from the boss's cache file plus every
// reply still in the netmail base, and written back to the cache file.
//
// REQUIRES: af_scan_base's caller holds the JAM lock file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "core/exitcode.h"

constexpr int AF_MAX = 1024;
constexpr uint32_t AFS_UNKNOWN = 0, AFS_LINKED = 1, AFS_UNLINKED = 2;

struct AfArea {
    char AF_TAG[64];
    char AF_DESC[96];
    uint32_t AF_STATE;
    uint32_t AF_SEEN;
};

struct AfTable {
    std::vector<AfArea> areas;  // at most AF_MAX
    uint32_t generation = 0;
};

void af_clear(AfTable& t);
// Index of the tag (any case), or -1.
int af_find(const AfTable& t, const char* tag);
// The entry of the tag, appended when missing; nullptr when the table is full.
AfArea* af_get(AfTable& t, const char* tag);
// By tag with letters folded to upper case; equal tags keep their order.
void af_sort(AfTable& t);
// 2-63 characters of A-Z 0-9 _ . - ! $ & # @ +, at least one letter.
bool tag_ok(const char* word);
// The first of unlink / not linked (2), linked / subscribed (1),
// available / area (3) found in the text, any case; 0 for none.
int hdr_mode(const char* text);
// Evaluates one reply text.
void af_parse(AfTable& t, const char* text, size_t len);
// Evaluates every reply (sender is a robot name) in the base; their number.
int af_scan_base(AfTable& t, const char* base_path);
// "areas_" + file-name form of the boss's name + ".lst" beside the
// configuration file. boss -1: the name "default".
std::string af_cache_path(const char* cfg_path, const char* boss_name);
int af_load_cache(AfTable& t, const char* path);
// Writes the header line and one line per entry through a temporary file
// renamed over the old cache: 0, or 1 when it cannot be written (the old
// cache then stays as it was).
int af_save_cache(const AfTable& t, const char* path);
// The `areas` command. Returns the exit code.
ExitCode af_cli_list(int boss);
