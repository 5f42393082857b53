// The JAM lock file: one coarse lock that serialises all work on the JAM
// message bases between processes of this program.
//
// The lock is the file "wpjam.lck" beside the configuration file, opened
// exclusively and deleted when released; the kernel drops it when its holder
// dies, so there are no stale locks. Its content ("<owner> pid <n>") is for
// people only. Toss and export runs hold it for their whole run, the editor
// around each access to a base; it is always taken before any .jhr byte lock
// (jam/jam.h) or BSO busy file, never after.
//
// One lock per process: the state lives in a JamLock that the caller keeps
// (g_jamlock is the process's one instance for the drivers). Used from one
// thread only.
#pragma once

#include <cstdint>

#include "core/strutil.h"
#include "platform/platform.h"

constexpr uint32_t LOCK_TRY_MS = 100;  // pause between two attempts
// The program's wait of the command runs (toss, export, AreaFix, the mail
// commands) for the lock.
constexpr uint32_t LOCK_WAIT_MS = 10000;
constexpr size_t LOCK_OWNER_MAX = 63;  // owner text kept in the content
constexpr size_t LOCK_CONTENT_MAX = 95;

struct JamLock {
    char cfg_path[WP_PATH_MAX] = "wrenpost.cfg";  // configuration path as given
    char lock_path[WP_PATH_MAX] = "";             // formed by lock_acquire
    PfLockFile h_lock;
    int lock_held = 0;
    uint32_t last_attempts = 0;  // open attempts made by the last lock_acquire
    // The wait the command runs pass to lock_acquire: LOCK_WAIT_MS unless the
    // start was given another ("--lock-wait MS", for tests).
    uint32_t wait_ms = LOCK_WAIT_MS;
};

// The process's one JAM lock (drivers that get no state passed use this).
extern JamLock g_jamlock;

// Remembers the configuration path (as given with -c, or the default) from
// which lock_acquire forms the lock file's path.
void lock_set_cfg(JamLock& lk, const char* cfg_path);

// out = directory of the configuration file's full path + "wpjam.lck": all
// after the last "\", "/" or ":" is replaced. When the full path cannot be
// formed (or is 504 bytes or longer) the path as given is used; a path
// without any separator gives "wpjam.lck" (current directory).
// REQUIRES: out has WP_PATH_MAX bytes.
void lock_make_path(const char* cfg_path, char* out);

// Takes the lock: attempts = wait_ms / 100 + 1, LOCK_TRY_MS apart. Returns 0
// when the lock is held afterwards (at once when this process holds it
// already: re-entrant, not counted), 1 when it stayed busy; any reason why
// the exclusive open fails counts as busy. Logs nothing; lk.lock_path stays
// readable for the caller's message.
int lock_acquire(JamLock& lk, uint32_t wait_ms, const char* owner);

// Frees the lock when held (the file is deleted); otherwise does nothing.
void lock_release(JamLock& lk);

// lock_acquire at construction; lock_release at release() or destruction
// when the acquire succeeded, on every path. Like lock_release it frees the
// lock even when this process held it before (the lock is not counted).
class JamLockHold {
  public:
    JamLockHold(JamLock& lk, uint32_t wait_ms, const char* owner)
        : lk_(lk), held_(lock_acquire(lk, wait_ms, owner) == 0) {}
    ~JamLockHold() { release(); }
    JamLockHold(const JamLockHold&) = delete;
    JamLockHold& operator=(const JamLockHold&) = delete;
    bool held() const { return held_; }
    explicit operator bool() const { return held_; }
    void release() {
        if (held_) lock_release(lk_);
        held_ = false;
    }

  private:
    JamLock& lk_;
    bool held_;
};
