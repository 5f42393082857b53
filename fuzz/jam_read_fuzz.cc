// Fuzz target: JAM bases from other programs are outside input. The input is
// split into a .jhr and a .jdx image; every walker runs over them, and the
// append runs on the same bytes written to disk (its tail check parses them).
//
// Input: u16 length of the .jdx part, then the .jdx bytes, then the .jhr
// bytes (a valid base header is put in front when the byte after the length
// is odd, so that the walks get past the signature check often).
#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "app/catalog.h"
#include "core/log.h"
#include "jam/crc32.h"
#include "jam/jam.h"

namespace {

std::string g_dir;
std::string g_log;

void write_all(const std::string& path, const uint8_t* p, size_t n) {
    pf_file h = pf_open(path.c_str(), PfAccess::ReadWrite, PfCreate::CreateAlways);
    if (h == PF_INVALID) abort();
    if (n > 0 && pf_write(h, p, n) != 0) abort();
    pf_close(h);
}

void walk(const std::vector<uint8_t>& jhr, const std::vector<uint8_t>& jdx) {
    JamBaseHeader bh;
    uint32_t base_num = 1;
    if (jam_parse_base(jhr.data(), jhr.size(), bh) == 0) base_num = bh.BaseMsgNum;
    JamHeader h;
    JamSubfWalk sw;
    JamSubfield sf;
    uint64_t sink = 0;

    JamHdrWalk hw;
    jam_hdr_walk_start(hw, jhr.data(), jhr.size());
    while (jam_hdr_walk_next(hw, h)) {
        if (h.offset + 76ull + h.SubfieldLen > jhr.size()) abort();  // walk promise
        jam_subf_start(sw, h);
        while (jam_subf_next(sw, sf)) {
            if (sf.data + sf.DatLen > h.subf + h.subf_len) abort();
            for (uint32_t i = 0; i < sf.DatLen; ++i) sink += sf.data[i];
        }
    }
    JamIdxWalk iw;
    uint32_t num, ucrc;
    jam_idx_walk_start(iw, jhr.data(), jhr.size(), jdx.data(), jdx.size(), base_num);
    while (jam_idx_walk_next(iw, num, ucrc, h)) {
        if (h.subf + h.subf_len > jhr.data() + jhr.size()) abort();
        std::string s;
        jam_subf_find(h, SF_SUBJECT, s);
        sink += s.size();
    }
    if (sink == 0xFFFFFFFFFFFFFFFFull) abort();  // keep the reads
}

void cleanup() {
    for (const char* ext : {".jhr", ".jdx", ".jdt", ".jlr"})
        pf_delete((g_dir + "/b" + ext).c_str());
    rmdir(g_dir.c_str());
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    lang_apply(LANG_EN);
    crc_init();
    con_capture(&g_log);
    char tmpl[] = "/tmp/jamfuzz-XXXXXX";
    if (mkdtemp(tmpl) == nullptr) abort();
    g_dir = tmpl;
    atexit(cleanup);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 3) return 0;
    size_t jdx_len = (data[0] | (data[1] << 8)) % 4096;
    bool add_header = data[2] & 1;
    data += 3;
    size -= 3;
    if (jdx_len > size) jdx_len = size;
    std::vector<uint8_t> jdx(data, data + jdx_len);
    std::vector<uint8_t> jhr;
    if (add_header) {
        jhr.assign(1024, 0);
        memcpy(jhr.data(), "JAM", 4);
        jhr[20] = 1;  // BaseMsgNum 1
    }
    jhr.insert(jhr.end(), data + jdx_len, data + size);
    walk(jhr, jdx);

    // Append to the same bytes on disk; whatever the result, the walk over
    // what the append left must stay within bounds as well.
    const std::string base = g_dir + "/b";
    write_all(base + ".jhr", jhr.data(), jhr.size());
    write_all(base + ".jdx", jdx.data(), jdx.size());
    write_all(base + ".jdt", nullptr, 0);
    std::string subf;
    jam_subf_add(subf, SF_SUBJECT, "fuzz");
    JamMsg m;
    m.jm_subf = subf.data();
    m.jm_subflen = static_cast<uint32_t>(subf.size());
    m.jm_text = "t";
    m.jm_textlen = 1;
    g_log.clear();
    jam_append(base.c_str(), m);
    JamImage img;
    if (jam_load(base.c_str(), img) == 0) {
        walk(img.jhr, img.jdx);
        JamHdrWalk hw;
        JamHeader h;
        jam_hdr_walk_start(hw, img);
        while (jam_hdr_walk_next(hw, h)) jam_is_indexed(img, h);
    }
    return 0;
}
