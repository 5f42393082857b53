// Fuzz target: the charset decoder reads message bytes that anyone may have
// written, in whatever set a kludge claims. Input: one byte choosing the set
// (and whether a subfield block comes first), then the message bytes.
#include <cstdint>
#include <cstdlib>

#include "core/charset.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    int cs = data[0] % CS_COUNT;
    bool as_sf = data[0] & 0x80;
    const char* p = reinterpret_cast<const char*>(data + 1);
    size_t n = size - 1;
    // The set of a message from the same bytes taken as subfields and text.
    int found =
        cs_of_message(as_sf ? data + 1 : nullptr, static_cast<uint32_t>(as_sf ? n : 0), p, n);
    if (found < 0 || found >= CS_COUNT) abort();
    std::u16string w = cs_decode(cs, p, n);
    if (w.size() > 2 * n) abort();
    // Every decoded text is written out again without loss in UTF-8, and
    // valid UTF-8 comes back as the same bytes.
    std::string u = utf16_to_utf8(w);
    if (!utf8_valid(u.data(), u.size())) abort();
    if (utf8_to_utf16(u.data(), u.size()) != w) abort();
    if (cs == CS_UTF8 && utf8_valid(p, n) && u != std::string(p, n)) abort();
    if (cs_to_utf8(cs, p, n) != u) abort();
    // A set chosen for a text holds it exactly.
    int out = cs_choose(w, cs);
    std::string enc = cs_encode(out, w);
    if (cs_decode(out, enc.data(), enc.size()) != w) abort();
    (void)cs_text_width(w);
    return 0;
}
