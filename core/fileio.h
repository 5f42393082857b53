// Thin file wrappers used by all mail-side modules, on byte-string paths.
// Files are opened shared for reading and writing. The caller owns the
// handle and closes it with f_close, or hands it to a UniqueFile that closes
// it on every path.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/platform.h"

// Open for reading and writing, create when missing. PF_INVALID on failure.
inline pf_file f_open_always(const char* path) {
    return pf_open(path, PfAccess::ReadWrite, PfCreate::OpenAlways);
}
// Open an existing file for reading. PF_INVALID on failure.
inline pf_file f_open_read(const char* path) {
    return pf_open(path, PfAccess::Read, PfCreate::OpenExisting);
}
// Size, or -1 on error.
inline int64_t f_size(pf_file h) {
    return pf_size(h);
}
// New position, or -1 on error.
inline int64_t f_seek(pf_file h, int64_t offset, PfSeek origin) {
    return pf_seek(h, offset, origin);
}
// 0 when all n bytes were written, 1 otherwise.
inline int f_write(pf_file h, const void* buf, size_t n) {
    return pf_write(h, buf, n);
}
// Bytes read; 0 on error or at the end.
inline size_t f_read(pf_file h, void* buf, size_t n) {
    int64_t r = pf_read(h, buf, n);
    return r > 0 ? static_cast<size_t>(r) : 0;
}
inline void f_close(pf_file h) {
    pf_close(h);
}

// The one owner of a pf_file: closes it when destroyed or reset. Move-only;
// a moved-from owner holds PF_INVALID. Closing reports nothing, so a file
// whose contents must be on disk is synced (pf_sync, result checked) before
// its owner lets go of it.
class UniqueFile {
  public:
    UniqueFile() = default;
    explicit UniqueFile(pf_file h) : h_(h) {}
    ~UniqueFile() { reset(); }
    UniqueFile(const UniqueFile&) = delete;
    UniqueFile& operator=(const UniqueFile&) = delete;
    UniqueFile(UniqueFile&& other) noexcept : h_(other.release()) {}
    UniqueFile& operator=(UniqueFile&& other) noexcept {
        if (this != &other) reset(other.release());
        return *this;
    }
    pf_file get() const { return h_; }
    explicit operator bool() const { return h_ != PF_INVALID; }
    // Gives the handle up without closing it; the caller owns it then.
    pf_file release() {
        pf_file h = h_;
        h_ = PF_INVALID;
        return h;
    }
    // Closes the handle held (if any, and unless it is h) and takes h.
    void reset(pf_file h = PF_INVALID) {
        pf_file old = h_;
        h_ = h;
        if (old != PF_INVALID && old != h) pf_close(old);
    }

  private:
    pf_file h_ = PF_INVALID;
};
// Reads a whole file into out. 0 on success; 1 when it cannot be opened;
// 2 when it is larger than `limit`, there is no memory for it or a read
// fails (out is then unspecified).
int f_read_whole(const char* path, std::string& out, uint64_t limit = UINT64_MAX);
// The inbound's own entries: the toss moves tossed originals into
// INBOUND_TOSSED and unpacks bundles into INBOUND_TMP. No received file may
// take either name, or no packet could ever leave the inbound.
constexpr const char* INBOUND_TOSSED = "tossed";
constexpr const char* INBOUND_TMP = "wptmp";
// Whether a file name names one of the inbound's own entries on some file
// system: ASCII case-insensitive, trailing dots and blanks ignored (Windows
// drops them from names).
bool inbound_reserved(const char* name);
// The local wall-clock time as seconds since 1970, counted as if it were UTC.
inline uint64_t unix_now_local() {
    return pf_unix_now_local();
}
