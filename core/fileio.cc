#include "core/fileio.h"

int f_read_whole(const char* path, std::string& out, uint64_t limit) {
    out.clear();
    pf_file h = f_open_read(path);
    if (h == PF_INVALID) return 1;
    int64_t size = f_size(h);
    if (size < 0 || static_cast<uint64_t>(size) > limit) {
        f_close(h);
        return 2;
    }
    out.resize(static_cast<size_t>(size));
    int64_t got = size > 0 ? pf_pread(h, &out[0], out.size(), 0) : 0;
    f_close(h);
    if (got != size) return 2;
    return 0;
}
