#include "config/cfgedit.h"

#include "core/cfgline.h"
#include "core/fileio.h"
#include "core/strutil.h"

namespace {

enum class LineKind { Empty, Header, Setting, Other };

// A line as every reader of the file reads it (core/cfgline.h); comments
// count as empty lines here.
struct Line {
    size_t begin, end;  // end is after the line break
    LineKind kind;
    char name[BNAME_MAX];  // section name of a header
    bool area;             // an echoarea setting with a tag and a path
    char tag[TAG_MAX];     // its tag, cut as the loader cuts it
};

bool blank(char c) {
    return c == ' ' || c == '\t';
}

Line cl_line(const std::string& t, size_t begin, const char* key = "echoarea") {
    CfgLine c = cfg_line(t.data(), t.size(), begin);
    Line l{};
    l.begin = c.begin;
    l.end = c.end;
    switch (c.kind) {
        case CfgLineKind::Empty:
        case CfgLineKind::Comment:
            l.kind = LineKind::Empty;
            return l;
        case CfgLineKind::Header:
            l.kind = LineKind::Header;
            cfg_section_name(t.data() + c.first + 1, t.data() + c.stop, l.name);
            return l;
        case CfgLineKind::Other:
            l.kind = LineKind::Other;
            return l;
        case CfgLineKind::Setting:
            break;
    }
    l.kind = LineKind::Setting;
    if (!cfg_line_key_is(t.data(), c, key)) return l;
    // The loader's reading of the value: the tag up to a blank or tab, then
    // blanks and tabs and a path that must not be empty.
    size_t p = c.value, n = 0;
    while (p < c.value_end && !blank(t[p])) {
        if (n + 1 < TAG_MAX) l.tag[n++] = t[p];
        ++p;
    }
    l.tag[n] = '\0';
    while (p < c.value_end && blank(t[p])) ++p;
    l.area = n > 0 && p < c.value_end;
    return l;
}

bool is_area_line(const Line& l, const char* tag) {
    return l.area && str_icmp(l.tag, tag) == 0;
}

const char* line_end_style(const std::string& t) {
    size_t lf = t.find('\n');
    if (lf == std::string::npos) return "\r\n";
    return (lf > 0 && t[lf - 1] == '\r') ? "\r\n" : "\n";
}

}  // namespace

namespace {

// The addition of one echoarea line to the text t. Ok added, Exists the tag
// has a line already (t unchanged), Failed section missing or result too long.
// Whether "echoarea=TAG path" reads back as this tag and path.
bool line_faithful(const char* tag, const char* path) {
    if (tag[0] == '\0' || path[0] == '\0' || blank(path[0])) return false;
    for (const char* p = tag; *p != '\0'; ++p)
        if (static_cast<unsigned char>(*p) <= 0x20 || *p == 0x7f) return false;
    for (const char* p = path; *p != '\0'; ++p)
        if (*p == '\r' || *p == '\n') return false;
    return true;
}

CfgResult add_to_text(std::string& t, const char* section, const char* tag, const char* path,
                      const char* key = "echoarea") {
    if (!line_faithful(tag, path)) return CfgResult::Failed;
    int headers = 0;
    for (size_t p = 0; p < t.size();) {
        Line l = cl_line(t, p);
        if (l.kind == LineKind::Header) ++headers;
        p = l.end;
    }
    bool named = section != nullptr && section[0] != '\0' && headers > 0;
    bool in_region = !named;
    bool found = !named;
    size_t ins = 0;
    for (size_t p = 0; p < t.size();) {
        Line l = cl_line(t, p, key);
        switch (l.kind) {
            case LineKind::Header:
                in_region = named && str_icmp(l.name, section) == 0;
                if (in_region) {
                    found = true;
                    ins = l.end;
                }
                break;
            case LineKind::Setting:
                if (is_area_line(l, tag)) return CfgResult::Exists;
                [[fallthrough]];
            case LineKind::Other:
                if (in_region) ins = l.end;
                break;
            case LineKind::Empty:
                break;
        }
        p = l.end;
    }
    if (!found) return CfgResult::Failed;
    const char* eol = line_end_style(t);
    std::string out = t.substr(0, ins);
    if (!out.empty() && out.back() != '\r' && out.back() != '\n') out += eol;
    out += key;
    out += "=";
    out += tag;
    out += " ";
    out += path;
    out += eol;
    out += t.substr(ins);
    // The loader reads only the first 16383 bytes and every editor of the file
    // refuses files that long: a longer result would cut off the lines at its
    // end (a value cut in the middle reads as a different value) and lock the
    // file against all further edits.
    if (out.size() > CFG_OUT_MAX) return CfgResult::Failed;
    t = std::move(out);
    return CfgResult::Ok;
}

// Whether cf_write could replace the file now (it exists, is no directory,
// and opens for writing), so that a batch fails at its first line, not after
// its areas were filled.
bool writable(const char* cfg_path) {
    char real[WP_PATH_MAX];
    if (pf_real_path(cfg_path, real, sizeof real) != 0) return false;
    PfStat st = pf_stat(real);
    if (!st.exists || st.is_dir || st.read_only) return false;
    pf_file probe = pf_open(real, PfAccess::ReadWrite, PfCreate::OpenExisting);
    if (probe == PF_INVALID) return false;
    f_close(probe);
    return true;
}

}  // namespace

CfgResult af_cfg_add_area(const char* cfg_path, const char* section, const char* tag,
                          const char* path) {
    std::string t;
    if (cf_read(cfg_path, t) != 0) return CfgResult::Failed;
    CfgResult r = add_to_text(t, section, tag, path);
    if (r != CfgResult::Ok) return r;
    return cf_write(cfg_path, t) == 0 ? CfgResult::Ok : CfgResult::Failed;
}

CfgResult af_cfg_add_filearea(const char* cfg_path, const char* section, const char* tag,
                              const char* path) {
    std::string t;
    if (cf_read(cfg_path, t) != 0) return CfgResult::Failed;
    CfgResult r = add_to_text(t, section, tag, path, "filearea");
    if (r != CfgResult::Ok) return r;
    return cf_write(cfg_path, t) == 0 ? CfgResult::Ok : CfgResult::Failed;
}

CfgResult af_cfg_batch_add(AfAreaBatch& b, const char* cfg_path, const char* section,
                           const char* tag, const char* path) {
    if (!b.loaded) {
        if (cf_read(cfg_path, b.text) != 0 || !writable(cfg_path)) return CfgResult::Failed;
        b.loaded = true;
    }
    CfgResult r = add_to_text(b.text, section, tag, path);
    if (r == CfgResult::Ok) b.adds.push_back({section != nullptr ? section : "", tag, path});
    return r;
}

CfgResult af_cfg_batch_write(AfAreaBatch& b, const char* cfg_path) {
    std::vector<AfAreaBatch::Add> adds = std::move(b.adds);
    b = AfAreaBatch{};
    if (adds.empty()) return CfgResult::Ok;
    // The file as it is now: a line another program changed meanwhile stays.
    std::string t;
    if (cf_read(cfg_path, t) != 0) return CfgResult::Failed;
    for (const auto& a : adds)
        if (add_to_text(t, a.section.c_str(), a.tag.c_str(), a.path.c_str()) == CfgResult::Failed)
            return CfgResult::Failed;
    return cf_write(cfg_path, t) == 0 ? CfgResult::Ok : CfgResult::Failed;
}

int af_cfg_del_area(const char* cfg_path, const char* tag) {
    std::string t;
    if (cf_read(cfg_path, t) != 0) return -1;
    std::string out;
    int removed = 0;
    for (size_t p = 0; p < t.size();) {
        Line l = cl_line(t, p);
        if (is_area_line(l, tag))
            ++removed;
        else
            out.append(t, l.begin, l.end - l.begin);
        p = l.end;
    }
    if (removed == 0) return 0;
    return cf_write(cfg_path, out) == 0 ? removed : -1;
}

void af_lc_tag(char* out, const char* name) {
    size_t n = 0;
    for (const char* p = name; *p != '\0' && n < 60; ++p) {
        char c = *p;
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c + 32);
        else if (!((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '.' ||
                   c == '_'))
            c = '_';
        out[n++] = c;
    }
    if (n == 0) out[n++] = '_';
    out[n] = '\0';
}

bool af_tag_creatable(const char* tag) {
    size_t n = 0;
    bool dots_only = true;
    for (const char* p = tag; *p != '\0'; ++p, ++n) {
        auto c = static_cast<unsigned char>(*p);
        if (c <= 0x20 || c == 0x7f || c == '/' || c == '\\' || c == ':') return false;
        if (c != '.') dots_only = false;
    }
    return n > 0 && n < TAG_MAX && !dots_only;
}

void af_base_name(char* out, const char* tag) {
    char lc[61];
    af_lc_tag(lc, tag);
    size_t n = str_len(lc);
    if (n > 0 && lc[0] == '.') lc[0] = '_';
    if (n > 0 && lc[n - 1] == '.') lc[n - 1] = '_';
    size_t stem = 0;
    while (stem < n && lc[stem] != '.') ++stem;
    const bool device = str_names_device(lc);
    size_t o = 0;
    for (size_t i = 0; i < n; ++i) {
        if (device && i == stem) out[o++] = '_';
        out[o++] = lc[i];
    }
    if (device && stem == n) out[o++] = '_';
    out[o] = '\0';
}
