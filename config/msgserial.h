// MSGID serials: the number after the address in every MSGID this system
// writes (compose window, `post`, `netmail`, AreaFix requests, the test
// tools). Bosses and dupe checkers drop a second message with a MSGID they
// have seen, so a serial must never repeat for one address, whichever
// process writes the message and however its clock stands.
//
// The last serial handed out lives in `wpserial.dat` beside the
// configuration file, with a copy in `wpserial.bak`; both are replaced
// through `wpserial.tmp` (written, synced, renamed) while the lock file
// `wpserial.lck` is held, so processes that write messages at the same
// moment take turns and each sees the serial the other handed out. A serial
// is the local Unix time, raised to the last serial + 1 when it is not
// greater: never smaller than one handed out before, even after the clock
// was set back. A file whose text is not a whole record (damaged, cut,
// edited) counts as missing; the other copy then decides, and only when
// neither holds a record does the count start again from the clock. One
// counter serves every address of the configuration.
//
// No state in the process: two calls in one process behave like calls in
// two processes.
#pragma once

#include <cstdint>
#include <string>

// How long a writer waits for another one's lock file (it is held for a
// few file writes only).
constexpr uint32_t SERIAL_LOCK_MS = 5000;

enum class SerialResult {
    Ok,      // `serial` is new and recorded
    Busy,    // the lock file stayed taken for SERIAL_LOCK_MS
    Failed,  // the record could not be written (nothing may be sent with it)
};

// The files beside the configuration file `cfg_path` (its directory, or the
// current one for a bare name): base + ".dat", ".bak", ".tmp", ".lck".
std::string serial_file_base(const char* cfg_path);

// Hands out the next serial for the configuration at `cfg_path`, given the
// local Unix time `now`: max(last + 1, now), recorded before it is returned.
// On Busy or Failed `serial` is 0 and the caller must not write the message.
[[nodiscard]] SerialResult msgid_serial_next(const char* cfg_path, uint32_t now, uint32_t& serial);
