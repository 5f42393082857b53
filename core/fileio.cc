#include "core/fileio.h"

#include <new>

#include "core/strutil.h"

int f_read_whole(const char* path, std::string& out, uint64_t limit) {
    out.clear();
    pf_file h = f_open_read(path);
    if (h == PF_INVALID) return 1;
    int64_t size = f_size(h);
    if (size < 0 || static_cast<uint64_t>(size) > limit) {
        f_close(h);
        return 2;
    }
    // No memory for the file is a read failure, not an exception that would
    // end the run at the same file every time.
    try {
        out.resize(static_cast<size_t>(size));
    } catch (const std::bad_alloc&) {
        f_close(h);
        out.clear();
        return 2;
    }
    int64_t got = size > 0 ? pf_pread(h, &out[0], out.size(), 0) : 0;
    f_close(h);
    if (got != size) return 2;
    return 0;
}

bool inbound_reserved(const char* name) {
    char base[16];
    size_t n = str_len(name);
    while (n > 0 && (name[n - 1] == '.' || name[n - 1] == ' ')) --n;
    if (n >= sizeof base) return false;  // longer than any own name
    mem_copy(base, name, n);
    base[n] = '\0';
    return str_icmp(base, INBOUND_TOSSED) == 0 || str_icmp(base, INBOUND_TMP) == 0;
}
