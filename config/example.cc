#include "config/example.h"

#include <memory>

#include "config/config.h"
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

// The directories the new configuration names, so the first poll and toss
// find their inbound, outbound and message-base folders.
void make_point_dirs(const char* cfg_path) {
    auto c = std::make_unique<Config>();
    if (load_config(*c, cfg_path) != 0) return;
    int n = c->boss_count == 0 ? 1 : c->boss_count;
    for (int i = 0; i < n; ++i) {
        const BossCfg b = cfg_boss(*c, c->boss_count == 0 ? -1 : i);
        for (CfgField f : {F_INBOUND, F_OUTBOUND, F_AREADIR})
            if (b.get(f)[0] != '\0') make_parents(std::string(b.get(f)) + "/");
        for (CfgField f : {F_NETMAIL, F_BADAREA, F_DUPEAREA})
            if (b.get(f)[0] != '\0') make_parents(b.get(f));
    }
    for (int a = 0; a < c->area_count; ++a) make_parents(c->area_paths[a]);
}

}  // namespace

std::string cfg_example_for_new() {
    std::string text = cfg_example_text;
    const std::string from = SAMPLE_DIR;
    for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at))
        text.erase(at, from.size());
    return text;
}

CfgResult cfg_write_example(const char* path) {
    if (pf_stat(path).exists) return CfgResult::Exists;
    std::string p = path;
    make_parents(p);
    std::string tmp = p + ".wp$";
    pf_file h = pf_open(tmp.c_str(), PfAccess::ReadWrite, PfCreate::CreateAlways);
    if (h == PF_INVALID) return CfgResult::Failed;
    std::string text = cfg_example_for_new();
    int bad = f_write(h, text.data(), text.size());
    if (bad == 0) bad = pf_sync(h) == 0 ? 0 : 1;
    pf_close(h);
    if (bad == 0 && pf_rename(tmp.c_str(), path, false) == 0) {
        make_point_dirs(path);
        return CfgResult::Ok;
    }
    pf_delete(tmp.c_str());
    return pf_stat(path).exists && bad == 0 ? CfgResult::Exists : CfgResult::Failed;
}
