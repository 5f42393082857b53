#include "config/msgserial.h"

#include <cstdio>

#include "core/fileio.h"
#include "core/strutil.h"
#include "platform/platform.h"

namespace {

constexpr char RECORD_HEAD[] = "wrenpost msgid serial\n";
constexpr size_t RECORD_LEN = sizeof RECORD_HEAD - 1 + 18;  // + "xxxxxxxx yyyyyyyy\n"
constexpr uint32_t LOCK_POLL_MS = 10;

// The record of one serial: the head line, then the serial and its
// complement as eight lowercase hexadecimal digits each, so that a record
// with a changed digit does not read as another serial.
std::string record(uint32_t v) {
    char t[20];
    snprintf(t, sizeof t, "%08x %08x\n", static_cast<unsigned>(v), static_cast<unsigned>(~v));
    return RECORD_HEAD + std::string(t);
}

bool hex8(const char* p, uint32_t& v) {
    v = 0;
    for (int i = 0; i < 8; ++i) {
        if (p[i] < '0' || (p[i] > '9' && p[i] < 'a') || p[i] > 'f') return false;
        v = v << 4 | static_cast<uint32_t>(hex_nibble(p[i]));
    }
    return true;
}

// The serial recorded in `path`; false when the file is missing or its text
// is not exactly one record.
bool read_record(const std::string& path, uint32_t& v) {
    UniqueFile f(pf_open(path.c_str(), PfAccess::Read, PfCreate::OpenExisting));
    if (!f) return false;
    char buf[RECORD_LEN + 1];
    int64_t n = pf_read(f.get(), buf, sizeof buf);
    if (n != static_cast<int64_t>(RECORD_LEN)) return false;
    uint32_t w;
    size_t h = sizeof RECORD_HEAD - 1;
    return std::string(buf, h) == RECORD_HEAD && hex8(buf + h, v) && buf[h + 8] == ' ' &&
           hex8(buf + h + 9, w) && buf[h + 17] == '\n' && w == ~v;
}

// Replaces `path` by the record of v through the scratch file: written,
// synced, renamed. false on any failure (the old file then stays).
bool write_record(const std::string& path, const std::string& tmp, uint32_t v) {
    std::string text = record(v);
    {
        UniqueFile f(pf_open(tmp.c_str(), PfAccess::ReadWrite, PfCreate::CreateAlways));
        if (!f) return false;
        if (pf_write(f.get(), text.data(), text.size()) != 0 || pf_sync(f.get()) != 0) {
            f.reset();
            pf_delete(tmp.c_str());
            return false;
        }
    }
    if (pf_rename(tmp.c_str(), path.c_str(), true) != 0) {
        pf_delete(tmp.c_str());
        return false;
    }
    return true;
}

std::string dir_of(const std::string& path) {
    size_t cut = 0;  // length of the directory part, separator included
    for (size_t i = 0; i < path.size(); ++i)
        if (path[i] == '\\' || path[i] == '/' || path[i] == ':') cut = i + 1;
    return path.substr(0, cut);
}

// Holds the serial lock file from construction to the end of its scope.
class SerialLock {
  public:
    explicit SerialLock(const std::string& path) {
        uint64_t start = pf_ticks_ms();
        for (;;) {
            int r = pf_lockfile_try(path.c_str(), "wrenpost", lf_);
            if (r == 0) {
                held_ = true;
                return;
            }
            if (r < 0 || pf_ticks_ms() - start >= SERIAL_LOCK_MS) return;
            pf_sleep_ms(LOCK_POLL_MS);
        }
    }
    ~SerialLock() {
        if (held_) pf_lockfile_release(lf_);
    }
    SerialLock(const SerialLock&) = delete;
    SerialLock& operator=(const SerialLock&) = delete;
    explicit operator bool() const { return held_; }

  private:
    PfLockFile lf_;
    bool held_ = false;
};

}  // namespace

std::string serial_file_base(const char* cfg_path) {
    char full[4096];
    std::string p = pf_full_path(cfg_path, full, sizeof full) == 0 ? full : cfg_path;
    return dir_of(p) + "wpserial";
}

SerialResult msgid_serial_next(const char* cfg_path, uint32_t now, uint32_t& serial) {
    serial = 0;
    std::string base = serial_file_base(cfg_path);
    SerialLock lock(base + ".lck");
    if (!lock) return SerialResult::Busy;
    uint32_t last = 0, v;
    if (read_record(base + ".dat", v)) last = v;
    if (read_record(base + ".bak", v) && v > last) last = v;
    if (last == UINT32_MAX) return SerialResult::Failed;  // no greater serial is left
    uint32_t next = now > last ? now : last + 1;
    // The copy first: whichever write a crash stops, one file holds `next`
    // or both hold `last`, and the greater of the two is read next time.
    std::string tmp = base + ".tmp";
    if (!write_record(base + ".bak", tmp, next) || !write_record(base + ".dat", tmp, next))
        return SerialResult::Failed;
    serial = next;
    return SerialResult::Ok;
}
