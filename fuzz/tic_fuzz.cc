// Feeds arbitrary bytes to the .tic reader and the files.bbs writer: the
// input is a .tic, a NUL byte and a files.bbs (no NUL: the whole input is
// both). The properties checked: a .tic that parses names an area, a file
// and a CRC; a name tic_name_safe accepts has no separator, drive or control
// character and no leading dot; the updated files.bbs lists the new file
// exactly once, keeps every other entry that no pattern matches, holds no
// control character but its line ends, and reads back the same when updated
// again with the same entry.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "core/strutil.h"
#include "tosser/tic.h"

namespace {

void require(bool ok) {
    if (!ok) abort();
}

size_t count_name(const std::vector<FbbsEntry>& es, const std::string& name) {
    size_t n = 0;
    for (const FbbsEntry& e : es) n += str_icmp(e.name.c_str(), name.c_str()) == 0 ? 1 : 0;
    return n;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string in(reinterpret_cast<const char*>(data), size);
    size_t nul = in.find('\0');
    std::string tic = nul == std::string::npos ? in : in.substr(0, nul);
    std::string bbs = nul == std::string::npos ? in : in.substr(nul + 1);
    Tic t;
    TicParse r = tic_parse(tic.data(), tic.size(), t);
    if (r != TicParse::Ok) return 0;
    require(!t.area.empty() && !t.file.empty() && t.has_crc);
    if (tic_name_safe(t.file.c_str())) {
        require(t.file[0] != '.' && t.file.find_first_of("/\\:") == std::string::npos);
        for (char c : t.file) require(static_cast<unsigned char>(c) >= 0x20 && c != 0x7f);
    }
    for (const std::string& p : t.replaces) tic_name_match(p.c_str(), t.file.c_str());
    if (!tic_name_safe(t.file.c_str())) return 0;
    std::vector<std::string> desc = tic_desc_lines(t);
    std::string out = fbbs_update(bbs, t.file, desc, t.replaces);
    std::vector<FbbsEntry> es = fbbs_parse(out);
    require(count_name(es, t.file) == 1);
    // Entries of other names that no pattern matches are all still there.
    for (const FbbsEntry& e : fbbs_parse(bbs)) {
        bool gone = str_icmp(e.name.c_str(), t.file.c_str()) == 0;
        for (const std::string& p : t.replaces)
            gone = gone || tic_name_match(p.c_str(), e.name.c_str());
        if (!gone) require(count_name(es, e.name) >= 1);
    }
    // What this entry added holds no control bytes but CR LF.
    std::string mine = fbbs_update("", t.file, desc, {});
    for (char c : mine)
        require(c == '\r' || c == '\n' || (static_cast<unsigned char>(c) >= 0x20 && c != 0x7f));
    require(out.size() >= mine.size() &&
            out.compare(out.size() - mine.size(), mine.size(), mine) == 0);
    // The same update again changes nothing.
    require(fbbs_update(out, t.file, desc, t.replaces) == out);
    return 0;
}
