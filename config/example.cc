#include "config/example.h"

#include "core/fileio.h"
#include "core/strutil.h"
#include "platform/platform.h"

namespace {

constexpr const char* SAMPLE_DIR = "/home/jo/fido/";

// Makes every directory above `path` (its last element is the file).
void make_parents(const std::string& path) {
    for (size_t i = 1; i < path.size(); ++i)
        if (path[i] == '/' || path[i] == '\\') pf_mkdir(path.substr(0, i).c_str());
}

}  // namespace

std::string cfg_example_for_new() {
    std::string text = cfg_example_text;
    const std::string from = SAMPLE_DIR;
    for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at))
        text.erase(at, from.size());
    return text;
}

int cfg_write_example(const char* path) {
    if (pf_stat(path).exists) return 2;
    std::string p = path;
    make_parents(p);
    std::string tmp = p + ".wp$";
    pf_file h = pf_open(tmp.c_str(), PfAccess::ReadWrite, PfCreate::CreateAlways);
    if (h == PF_INVALID) return 1;
    std::string text = cfg_example_for_new();
    int bad = f_write(h, text.data(), text.size());
    if (bad == 0) bad = pf_sync(h) == 0 ? 0 : 1;
    pf_close(h);
    if (bad == 0 && pf_rename(tmp.c_str(), path, false) == 0) return 0;
    pf_delete(tmp.c_str());
    return pf_stat(path).exists && bad == 0 ? 2 : 1;
}
