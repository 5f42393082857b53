// Fuzz target: the quote of a reply is built from a message text that anyone
// may have written, with kludges, ANSI sequences and any bytes. The first
// input byte picks the length of the sender's name taken from the rest.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "core/catalog.h"
#include "core/charset.h"
#include "editor/compose.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static bool init = (lang_apply(LANG_EN), true);
    (void)init;
    if (size < 1) return 0;
    size_t name_len = data[0] % 40;
    ++data;
    --size;
    if (name_len > size) name_len = size;
    std::u16string from;
    for (size_t i = 0; i < name_len; ++i) from += static_cast<char16_t>(data[i]);
    const char* text = reinterpret_cast<const char*>(data + name_len);
    size_t len = size - name_len;
    std::u16string q = build_quote(from, text, static_cast<uint32_t>(len), data[-1] % CS_COUNT);
    // Greeting, one line per input line at most (with its prefix), final CR LF.
    if (q.size() > CP_QUOTE_MAX) abort();
    if (q.size() < 4 || q.compare(q.size() - 2, 2, u"\r\n") != 0) abort();
    std::string addr(text, len < 120 ? len : 120);
    ftn_addr a;
    if (parse_ftn(addr.c_str(), a) == 1 && a.zone == 0) abort();
    return 0;
}
