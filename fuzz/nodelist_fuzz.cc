// Feeds arbitrary bytes to the nodelist reader and the difference-file
// applier: the input is an old list, a NUL byte and a diff (no NUL: the
// whole input is both). Every entry is looked up, searched, printed and its
// flags read. The properties checked: an applied diff gives a list whose
// CRC holds and that ends with its Ctrl-Z; a refused one gives nothing; an
// entry's views lie inside the list's text; printable text holds no control
// byte.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "nodelist/nodelist.h"

namespace {

void require(bool ok) {
    if (!ok) abort();
}

bool inside(const NodeList& nl, std::string_view v) {
    return v.empty() ||
           (v.data() >= nl.text.data() && v.data() + v.size() <= nl.text.data() + nl.text.size());
}

void walk(const std::string& text) {
    NodeList nl;
    nl_parse(text, nl);
    require(nl.text == text);
    for (const NlEntry& e : nl.entries) {
        for (std::string_view v : {e.system, e.location, e.sysop, e.phone, e.speed, e.flags}) {
            require(inside(nl, v));
            for (char c : nl_text(nl, v))
                require(static_cast<unsigned char>(c) >= 0x20 && c != 0x7F);
        }
        require(e.kind == NlKind::Boss || nl_find(nl, e.addr) >= 0);
        NlBinkp b = nl_binkp(e.flags);
        require(b.host.size() <= 255 && b.port > 0 && b.port <= 65535);
    }
    if (!nl.entries.empty()) nl_search(nl, std::string(nl.entries[0].sysop.substr(0, 3)));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string in(reinterpret_cast<const char*>(data), size);
    size_t nul = in.find('\0');
    std::string old = nul == std::string::npos ? in : in.substr(0, nul);
    std::string diff = nul == std::string::npos ? in : in.substr(nul + 1);
    walk(old);
    walk(diff);
    std::string out = "x";
    uint32_t line = 0;
    NlDiffResult r = nl_apply_diff(old, diff, out, line);
    if (r == NlDiffResult::Ok) {
        uint16_t given = 0, actual = 0;
        require(!out.empty() && out.back() == '\x1a');
        require(nl_crc_of(out, given, actual) && given == actual);
        walk(out);
    } else {
        require(out.empty());
    }
    return 0;
}
