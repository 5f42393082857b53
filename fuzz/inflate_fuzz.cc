// Differential fuzzing of the Deflate decoder against zlib.
//
// Input: two bytes giving the output capacity (in units of 4 bytes), then a
// raw Deflate stream. The output buffer has exactly that capacity, so the
// address sanitizer catches any write past it. Whenever zlib finishes the
// stream within the capacity, our decoder must produce the same bytes, and
// whenever ours succeeds, zlib must agree.
#include <zlib.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "tosser/inflate.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) return 0;
    size_t cap = (static_cast<size_t>(data[0]) | (static_cast<size_t>(data[1]) << 8)) * 4;
    const uint8_t* in = data + 2;
    size_t n = size - 2;

    std::unique_ptr<uint8_t[]> ours(new uint8_t[cap]);
    InflateErr err;
    int64_t got = inflate(in, n, ours.get(), cap, &err);
    if (got > static_cast<int64_t>(cap)) abort();

    std::unique_ptr<uint8_t[]> theirs(new uint8_t[cap + 1]);
    z_stream z{};
    if (inflateInit2(&z, -15) != Z_OK) abort();
    z.next_in = const_cast<Bytef*>(in);
    z.avail_in = static_cast<uInt>(n);
    z.next_out = theirs.get();
    z.avail_out = static_cast<uInt>(cap + 1);
    int zr = ::inflate(&z, Z_FINISH);
    bool zok = zr == Z_STREAM_END && z.total_out <= cap;
    size_t zn = z.total_out;
    inflateEnd(&z);

    if (got >= 0 && !zok) {
        fprintf(stderr, "we accept (%lld bytes), zlib refuses (%d)\n", static_cast<long long>(got),
                zr);
        abort();
    }
    if (got < 0 && zok) {
        fprintf(stderr, "zlib accepts (%zu bytes), we refuse: %s\n", zn, inflate_err_name(err));
        abort();
    }
    if (got >= 0 && (static_cast<size_t>(got) != zn || memcmp(ours.get(), theirs.get(), zn) != 0))
        abort();
    return 0;
}
