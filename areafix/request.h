// AreaFix requests: a private netmail to the boss's area manager, with the
// AreaFix password as subject and one command per line, stored as a new
// local unsent message in the boss's netmail base. The export run and the
// poll carry it to the boss like any other netmail.
//
// REQUIRES: the caller of af_request holds the JAM lock file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "config/config.h"
#include "core/exitcode.h"

constexpr size_t TXT_MAX = 32768;

// The request writer's state: the number of the message written last. The
// MSGID serials come from the serial file beside the configuration
// (config/msgserial.h), shared with every process that writes messages.
struct AfWriter {
    uint32_t msgnum = 0;
};

// Copies an address up to the first "@", blank or the end, at most 62
// characters. out: 63 bytes.
void addr_cut(char* out, const char* addr);
// The command text as a message text: LF and CR LF become CR, trailing CRs
// and blanks go, one CR ends a non-empty text; at most TXT_MAX bytes (+ CR).
std::string af_text(const char* cmds);
// "0100", "-0500": the UTC offset in minutes as a TZUTC value.
std::string af_tzutc(int offset_minutes);
// The outcome of af_request; its callers tell the user each one differently.
enum class AfReqResult {
    Written,    // appended to the netmail base, w.msgnum set
    NoNetmail,  // the boss has no netmail base configured
    Failed,     // the append to the netmail base failed
    NoSerial,   // no MSGID serial could be recorded beside the configuration
};
// Writes a request for boss (-1: the global part) of c, dated `now` (local
// time), with a serial from the serial file beside c.path.
AfReqResult af_request(AfWriter& w, const Config& cfg, int boss, const char* cmds, uint32_t now);
// The `areafix` command: ";" separates the commands. Returns the exit code.
ExitCode af_cli_request(int boss, const char* arg);
