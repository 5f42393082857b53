#include "app/nodecmd.h"

#include <vector>

#include "app/cmdline.h"
#include "app/nlzip.h"
#include "config/config.h"
#include "core/log.h"
#include "core/strutil.h"
#include "nodelist/messages.h"
#include "nodelist/nlfiles.h"
#include "platform/platform.h"

namespace {

void out(const std::string& s) {
    pf_write_utf8_out(s.data(), s.size());
}

std::string addr_text(const ftn_addr& a) {
    char buf[FTN_TEXT_MAX];
    ftn_fmt(buf, a);
    return buf;
}

// The bosses whose lists are distinct (the global part's list inherited by
// several sections is read once), those of `zone` first.
std::vector<BossCfg> list_bosses(uint32_t zone) {
    std::vector<BossCfg> first, rest;
    auto seen = [&](const BossCfg& b) {
        for (const auto* v : {&first, &rest})
            for (const BossCfg& o : *v)
                if (str_icmp(o.get(F_NODELIST), b.get(F_NODELIST)) == 0 &&
                    str_icmp(o.get(F_POINTLIST), b.get(F_POINTLIST)) == 0)
                    return true;
        return false;
    };
    int n = cfg_boss_count(g_cfg);
    for (int i = n == 0 ? -1 : 0; i < n; ++i) {
        BossCfg b = cfg_boss(g_cfg, i);
        if (b.get(F_NODELIST)[0] == '\0' && b.get(F_POINTLIST)[0] == '\0') continue;
        if (seen(b)) continue;
        ftn_addr own;
        bool mine = zone != 0 && ftn_parse(b.get(F_ADDRESS), own) && own.zone == zone;
        (mine ? first : rest).push_back(b);
    }
    first.insert(first.end(), rest.begin(), rest.end());
    return first;
}

}  // namespace

std::string node_entry_text(const NodeList& nl, const NlEntry& e) {
    std::string o = "Address: " + addr_text(e.addr) + "\n";
    o += "Status: ";
    o += e.kind == NlKind::Node ? "Node" : nl_kind_name(e.kind);
    o += "\nSystem: " + nl_text(nl, e.system);
    o += "\nLocation: " + nl_text(nl, e.location);
    o += "\nSysop: " + nl_text(nl, e.sysop);
    o += "\nPhone: " + nl_text(nl, e.phone);
    o += "\nSpeed: " + nl_text(nl, e.speed);
    o += "\nFlags: " + nl_text(nl, e.flags);
    NlBinkp b = nl_binkp(e.flags);
    o += "\nBinkp: ";
    if (!b.binkp)
        o += "-";
    else
        o += (b.host.empty() ? std::string("-") : nl_text(nl, b.host)) + " " +
             std::to_string(b.port);
    o += "\n";
    return o;
}

std::string node_search_line(const NodeList& nl, const NlEntry& e) {
    return addr_text(e.addr) + "\t" + nl_text(nl, e.system) + "\t" + nl_text(nl, e.location) +
           "\t" + nl_text(nl, e.sysop) + "\t" + nl_text(nl, e.phone) + "\t" + nl_text(nl, e.speed) +
           "\t" + nl_text(nl, e.flags) + "\n";
}

ExitCode node_command(const char* what, const char* text) {
    bool search = str_icmp(what, "-n") == 0;
    ftn_addr a;
    if (!search && !ftn_parse(what, a)) {
        log_msg2(nl_m_badaddr, what);
        return EXIT_CONFIG;
    }
    std::vector<BossCfg> bosses = list_bosses(search ? 0 : a.zone);
    if (bosses.empty()) {
        log_msg2(nl_m_none, search ? text : what);
        return EXIT_CONFIG;
    }
    bool any_read = false, hits = false;
    for (const BossCfg& b : bosses) {
        NodeList list, points;
        if (nl_load(b, list, points, nl_unzip_file) != NlLoad::Ok) continue;
        any_read = true;
        for (const NodeList* nl : {&points, &list}) {
            if (search) {
                std::string lines;
                for (int i : nl_search(*nl, text)) lines += node_search_line(*nl, nl->entries[i]);
                if (!lines.empty()) hits = true;
                out(lines);
            } else {
                int i = nl_find(*nl, a);
                if (i >= 0) {
                    out(node_entry_text(*nl, nl->entries[i]));
                    return EXIT_OK;
                }
            }
        }
    }
    if (!any_read) return EXIT_PROTO;
    if (hits) return EXIT_OK;
    log_msg2(search ? nl_m_nohits : nl_m_notfound, search ? text : what);
    return EXIT_NOTFOUND;
}

ExitCode nodediff_command(const char* boss) {
    int sel = find_arg(boss);
    if (sel == -2) return EXIT_CONFIG;
    // One boss, every section, or the global part of a file without any.
    std::vector<int> which;
    int n = cfg_boss_count(g_cfg);
    if (sel >= 0)
        which.push_back(sel);
    else if (n == 0)
        which.push_back(-1);
    else
        for (int i = 0; i < n; ++i) which.push_back(i);
    std::vector<std::string> done;
    bool refused = false;
    for (int i : which) {
        BossCfg b = cfg_boss(g_cfg, i);
        std::string v = b.get(F_NODELIST);
        bool again = v.empty();
        for (const std::string& d : done) again = again || d == v;
        if (again) continue;  // none, or a list shared with a boss before
        done.push_back(v);
        NlUpdate u = nl_update(nl_loc(v.c_str()), nl_diff_loc(b), nl_unzip_file);
        if (u.refused > 0 || u.current.empty()) refused = true;  // logged by nl_update
        if (!u.current.empty()) log_msg2(nl_m_current, u.current.c_str());
    }
    if (done.empty()) {
        log_msg2(nl_m_none, sel >= 0 ? cfg_boss_name(g_cfg, sel) : "all");
        return EXIT_CONFIG;
    }
    return refused ? EXIT_PROTO : EXIT_OK;
}
