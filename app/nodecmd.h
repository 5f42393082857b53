// The nodelist commands.
//
// `node ADDRESS` prints the entry of an address from the bosses' nodelists
// and point lists: the lists of the bosses whose own zone is the address's
// are asked first. `node -n TEXT` prints one tab-separated line per entry
// whose sysop or system name contains TEXT (ASCII case-insensitive), from
// every configured list. Data goes to standard output in UTF-8 (decoded from
// the list's set, control characters shown as "."); the log goes wherever
// the console is set (standard error for `node`). `nodediff [boss]` brings
// the lists of one or all bosses up to date with their difference files
// (nodelist/nlfiles.h).
//
// Exit codes: EXIT_OK; EXIT_NOTFOUND when `node` finds nothing; EXIT_CONFIG
// for a bad address, an unknown boss or no list configured; EXIT_PROTO when
// a list cannot be read or a difference file was refused.
#pragma once

#include <string>

#include "core/exitcode.h"

struct NodeList;
struct NlEntry;

// The lines `node ADDRESS` prints for an entry (LF line ends).
std::string node_entry_text(const NodeList& nl, const NlEntry& e);
// The line `node -n` prints for an entry: address, system, location, sysop,
// phone, speed, flags; tabs between, LF at the end.
std::string node_search_line(const NodeList& nl, const NlEntry& e);

// The drivers. what: an address, or "-n" with text the words searched.
ExitCode node_command(const char* what, const char* text);
ExitCode nodediff_command(const char* boss);
