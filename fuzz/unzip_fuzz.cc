// Fuzzing of the ZIP bundle reader: extraction into a scratch directory must
// never crash, never create a file outside that directory, leave exactly the
// reported packets after a success and nothing after a failure.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "app/catalog.h"
#include "core/log.h"
#include "platform/platform.h"
#include "tosser/unzip.h"

namespace {
std::string g_root, g_dir, g_log;

void cleanup() {
    rmdir(g_dir.c_str());
    rmdir(g_root.c_str());
}

void setup() {
    char tmpl[] = "/tmp/wp_unzip_fuzz_XXXXXX";
    if (!mkdtemp(tmpl)) abort();
    g_root = tmpl;
    g_dir = g_root + "/out";
    if (pf_mkdir(g_dir.c_str()) != 0) abort();
    lang_apply(LANG_EN);
    con_capture(&g_log);
    atexit(cleanup);
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (g_root.empty()) setup();
    g_log.clear();
    ZipResult r;
    int rc = zip_extract_mem(data, size, g_dir.c_str(), r);

    std::vector<PfDirEntry> inside, beside;
    pf_list_dir(g_dir.c_str(), inside);
    pf_list_dir(g_root.c_str(), beside);
    if (beside.size() != 1) abort();  // a file escaped the directory
    if (rc != 0) {
        if (!inside.empty() || r.zx_count != 0 || r.zx_err[0] == '\0') abort();
    } else {
        if (inside.size() != static_cast<size_t>(r.zx_count) ||
            r.zx_names.size() != static_cast<size_t>(r.zx_count))
            abort();
        for (const std::string& n : r.zx_names)
            if (!name_ok(n.c_str(), n.size())) abort();
    }
    for (const PfDirEntry& e : inside) pf_delete((g_dir + "/" + e.name).c_str());
    return 0;
}
