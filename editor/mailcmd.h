// Mail from the command line, for scripts and for reading without a display:
// `list` and `read` print an area's messages, `post` and `netmail` write one
// exactly as the compose window saves it (local, unsent, the same kludges,
// tear and origin lines), to be sent with the next export.
//
// Data goes to standard output in UTF-8 (pf_write_utf8_out), whatever the
// messages' character sets; the log lines go wherever the console is set
// (the command line puts them on standard error for these commands). Texts
// given to post and netmail must be UTF-8. Each command reads g_cfg, takes
// the JAM lock file (g_jamlock, 10 s) around its use of the bases and returns
// an exit code: EXIT_CONFIG for an unknown area, a bad address or number, or
// a text that is not UTF-8; EXIT_LOCK when the bases stay locked;
// EXIT_PROTO when a base is damaged or the message cannot be written.
#pragma once

#include <cstdint>
#include <string>

#include "core/exitcode.h"

struct EdBase;  // editor/msgbase.h

// The area a command names, compared without regard to ASCII case. A tag
// (base false) names the echo area of that tag first; only when there is
// none does it name a base that is no echo area: "NETMAIL" the first
// netmail base, "NETMAIL." and a section name that boss's, "BAD" and
// "DUPES" the bad and dupe bases. A base name (base true, the option -b)
// names only those, so an echo area tagged NETMAIL, BAD or DUPES never
// hides them. -1 when there is none.
int mc_find_area(const EdBase& eb, const char* name, bool base);

// "YYYY-MM-DD HH:MM" of a stored date (no time-zone shift).
std::string mc_date(uint32_t seconds);

// The lines `read` prints for entry of the loaded area (UTF-8, LF line ends):
// From, To, Subject, Date, an empty line and the text; with kludges the
// header's kludges and the text's ^A lines as the reader shows them ("@").
std::string mc_message_text(EdBase& eb, uint32_t entry, bool kludges);
// One line of `list` for entry: number, date, from, to and subject, tabs
// between, LF at the end.
std::string mc_list_line(const EdBase& eb, uint32_t entry);

// The drivers.
// Every field, kludge and text line is printed through cs_to_utf8_shown
// (core/charset.h): no control character of a message reaches the output.
// base: `tag` is a base name given with -b (see mc_find_area).
ExitCode mc_list(const char* tag, bool base);
ExitCode mc_read(const char* tag, const char* number, bool kludges, bool base);
// file: a path, or empty for standard input.
ExitCode mc_post(const char* tag, const char* to, const char* subject, const char* file);
ExitCode mc_netmail(const char* address, const char* to, const char* subject, const char* file);
