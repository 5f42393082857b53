// BinkleyTerm-style outbound: outbound paths of FidoNet addresses
// (core/ftnaddr.h), flow files and busy locks.
//
// Mail for an address waits under a base path derived from the address in
// hexadecimal (zone directory, net and node, point directory). Files are the
// base plus an extension: ".?ut" netmail packets, ".?lo" flow files (one
// file per line, the first character says what to do once it is sent),
// ".bsy" the busy lock that keeps two programs off one outbound.
//
// The functions read the effective settings of the boss they are given
// (outbound, address, bso_zone; config/config.h, cfg_boss).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "config/config.h"
#include "core/ftnaddr.h"
#include "platform/platform.h"

constexpr size_t FLO_MAX = 65536;            // larger flow files are not read
constexpr int64_t BSY_STALE_SEC = 3 * 3600;  // an older busy file is stale
// Exactly `digits` lowercase hexadecimal digits of value (the low ones),
// terminated. Returns the position of the terminator.
char* hexw(char* buf, uint32_t value, int digits);

// Home zone of the outbound: bso_zone when set, else the zone of address.
uint32_t bso_defzone(const BossCfg& c);
// Base path (no extension) of addr's files into out (WP_PATH_MAX bytes).
// With create_dirs the zone directory and the point directory are created
// (one level each; failures are ignored). 0, or 1 when no outbound is set.
int bso_path(const BossCfg& c, char* out, const ftn_addr& addr, bool create_dirs);

// The busy lock of one outbound base. Held from bso_lock until bso_unlock,
// or until the BsoLock is destroyed, whichever comes first: a holder that
// returns early releases it all the same.
struct BsoLock {
    pf_file h = PF_INVALID;
    char path[WP_PATH_MAX] = "";
    BsoLock() = default;
    ~BsoLock();
    BsoLock(const BsoLock&) = delete;
    BsoLock& operator=(const BsoLock&) = delete;
};
// Takes base + ".bsy" by exclusive creation and writes "owner pid N" into
// it; the holder keeps a byte lock on the open file while it holds it. An
// existing busy file whose byte lock is held is busy, however old (as on
// Windows, where a busy file that is still open cannot be deleted). Otherwise it
// is stale, removed and taken over, when it is at least 3 hours old or when
// the process it names no longer exists; else (or when its time cannot be
// read or lies in the future) the outbound is busy. 0 when held, 1 when busy
// (m_busy logged).
int bso_lock(BsoLock& lk, const char* base, const char* owner);
// Removes the busy file of a held lock; nothing when none is held.
void bso_unlock(BsoLock& lk);

// `in` as an absolute path in out (WP_PATH_MAX bytes); `in` unchanged when
// that fails or does not fit.
void full_path(char* out, const char* in);

// Replaces the flow file with n bytes of data: written to flo_path + "$"
// first, then moved over it. 0, or 1 after m_flowr (the old file stays).
int flo_write(const char* flo_path, const uint8_t* data, size_t n);

// ---- File requests ----------------------------------------------------------

constexpr size_t REQFILE_MAX = 65536;  // largest request file kept and extended
enum class ReqResult {
    Ok,      // the request file holds every line afterwards
    Busy,    // the busy lock is held by another program (m_busy logged)
    Bad,     // a line that cannot be written: empty, a control character,
             // a name starting with "!" or more than one blank-separated password
    Failed,  // the file could not be read (or is larger than REQFILE_MAX) or written
};
// A request line: a name without blanks or control characters that does not
// start with "!", then optionally blanks and one "!password" word.
bool req_line_ok(const std::string& line);
// Adds lines "NAME" or "NAME !password" to the request file base + ".req"
// (the files asked of the address whose base it is), under the base's busy
// lock: the lines already there are kept and a line already there (any case)
// is not repeated; the new text is written to base + ".req$", synced and
// renamed over the old file, so a crash leaves the old or the new file, never
// a part. Lines end with CR LF.
[[nodiscard]] ReqResult req_add(const char* base, const std::vector<std::string>& lines);
// The same without taking the lock: the caller holds it.
[[nodiscard]] ReqResult req_add_locked(const char* base, const std::vector<std::string>& lines);
