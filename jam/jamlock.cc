#include "jam/jamlock.h"

JamLock g_jamlock;

void lock_set_cfg(JamLock& lk, const char* cfg_path) {
    str_copy(lk.cfg_path, cfg_path, sizeof lk.cfg_path);
}

void lock_make_path(const char* cfg_path, char* out) {
    constexpr size_t FULL_MAX = 504;
    char full[WP_PATH_MAX];
    if (pf_full_path(cfg_path, full, sizeof full) != 0 || str_len(full) >= FULL_MAX)
        str_copy(full, cfg_path, sizeof full);
    size_t cut = 0;  // length of the directory part, separator included
    for (size_t i = 0; full[i] != '\0'; ++i)
        if (full[i] == '\\' || full[i] == '/' || full[i] == ':') cut = i + 1;
    full[cut] = '\0';
    str_copy(out, full, WP_PATH_MAX);
    str_cat(out, "wpjam.lck", WP_PATH_MAX);
}

int lock_acquire(JamLock& lk, uint32_t wait_ms, const char* owner) {
    lk.last_attempts = 0;
    if (lk.lock_held) return 0;
    const uint32_t attempts = wait_ms / LOCK_TRY_MS + 1;
    lock_make_path(lk.cfg_path, lk.lock_path);

    char content[LOCK_CONTENT_MAX + 1];
    char pid[21];
    str_copy(content, owner, LOCK_OWNER_MAX + 1);
    str_cat(content, " pid ", sizeof content);
    u64_to_dec(pf_getpid(), pid);
    str_cat(content, pid, sizeof content);

    for (uint32_t i = 0; i < attempts; ++i) {
        ++lk.last_attempts;
        if (pf_lockfile_try(lk.lock_path, content, lk.h_lock) == 0) {
            lk.lock_held = 1;
            return 0;
        }
        if (i + 1 < attempts) pf_sleep_ms(LOCK_TRY_MS);
    }
    return 1;
}

void lock_release(JamLock& lk) {
    if (!lk.lock_held) return;
    lk.lock_held = 0;
    pf_lockfile_release(lk.h_lock);
}
