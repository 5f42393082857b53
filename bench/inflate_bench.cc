// Inflate throughput of our decoder against zlib's inflate on the same
// packet-like text, compressed by zlib at several levels. The ratio lines at
// the end compare the two measured in this run (goal: at least 0.7).
#include <benchmark/benchmark.h>
#include <zlib.h>

#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "bench/ratio_reporter.h"
#include "jam/crc32.h"
#include "tosser/inflate.h"

namespace {

// About 4 MB of echomail: kludges, quotes, SEEN-BY lines, CR line ends.
std::vector<uint8_t> echomail(size_t n) {
    static const char* words[] = {"the",     "point", "boss",    "mail",    "toss",  "bundle",
                                  "netmail", "echo",  "area",    "message", "reply", "today",
                                  "system",  "node",  "FidoNet", "packet",  "hello", "thanks",
                                  "and",     "with",  "from"};
    std::mt19937 rng(12345);
    std::string s;
    int serial = 0;
    while (s.size() < n) {
        s += "AREA:FIDO.TEST\r\x01MSGID: 2:240/1." + std::to_string(rng() % 20) + " " +
             std::to_string(100000 + serial++) + "\r\x01PID: wrenpost 0.9\r\x01TZUTC: 0100\r";
        int lines = 3 + static_cast<int>(rng() % 15);
        for (int l = 0; l < lines; ++l) {
            if (rng() % 4 == 0) s += " XY> ";
            int w = 4 + static_cast<int>(rng() % 10);
            for (int i = 0; i < w; ++i) {
                s += words[rng() % (sizeof words / sizeof words[0])];
                s += ' ';
            }
            s += '\r';
        }
        s += "--- wrenpost 0.9\r * Origin: a point somewhere (2:240/1.5)\rSEEN-BY: 240/1 5 "
             "6 7\r\x01PATH: 240/1\r";
    }
    s.resize(n);
    return std::vector<uint8_t>(s.begin(), s.end());
}

const std::vector<uint8_t>& plain() {
    static const std::vector<uint8_t> p = echomail(4 << 20);
    return p;
}

const std::vector<uint8_t>& compressed(int level) {
    static std::vector<uint8_t> c[10];
    if (c[level].empty()) {
        const auto& p = plain();
        z_stream z{};
        deflateInit2(&z, level, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY);
        c[level].resize(deflateBound(&z, p.size()));
        z.next_in = const_cast<Bytef*>(p.data());
        z.avail_in = static_cast<uInt>(p.size());
        z.next_out = c[level].data();
        z.avail_out = static_cast<uInt>(c[level].size());
        deflate(&z, Z_FINISH);
        c[level].resize(z.total_out);
        deflateEnd(&z);
    }
    return c[level];
}

void BM_InflateOurs(benchmark::State& st) {
    const auto& in = compressed(static_cast<int>(st.range(0)));
    std::vector<uint8_t> out(plain().size());
    for (auto _ : st) {
        int64_t n = inflate(in.data(), in.size(), out.data(), out.size());
        if (n != static_cast<int64_t>(out.size())) st.SkipWithError("decode failed");
        benchmark::DoNotOptimize(out.data());
    }
    if (out != plain()) st.SkipWithError("bytes differ");
    st.SetBytesProcessed(static_cast<int64_t>(st.iterations() * out.size()));
}

void BM_InflateZlib(benchmark::State& st) {
    const auto& in = compressed(static_cast<int>(st.range(0)));
    std::vector<uint8_t> out(plain().size());
    z_stream z{};
    inflateInit2(&z, -15);
    for (auto _ : st) {
        inflateReset(&z);
        z.next_in = const_cast<Bytef*>(in.data());
        z.avail_in = static_cast<uInt>(in.size());
        z.next_out = out.data();
        z.avail_out = static_cast<uInt>(out.size());
        if (::inflate(&z, Z_FINISH) != Z_STREAM_END) st.SkipWithError("zlib failed");
        benchmark::DoNotOptimize(out.data());
    }
    inflateEnd(&z);
    st.SetBytesProcessed(static_cast<int64_t>(st.iterations() * out.size()));
}

// The CRC-32 that every bundle entry is checked with on reading, and that the
// export computes over every bundle it writes.
void BM_Crc32Ours(benchmark::State& st) {
    uint32_t crc = 0;
    for (auto _ : st)
        benchmark::DoNotOptimize(crc = ~crc_update(plain().data(), plain().size(), 0xFFFFFFFFu));
    if (crc != uint32_t(crc32(0, plain().data(), uInt(plain().size()))))
        st.SkipWithError("crc differs");
    st.SetBytesProcessed(static_cast<int64_t>(st.iterations() * plain().size()));
}

void BM_Crc32Zlib(benchmark::State& st) {
    for (auto _ : st) benchmark::DoNotOptimize(crc32(0, plain().data(), uInt(plain().size())));
    st.SetBytesProcessed(static_cast<int64_t>(st.iterations() * plain().size()));
}

BENCHMARK(BM_Crc32Ours)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Crc32Zlib)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_InflateOurs)->Arg(1)->Arg(6)->Arg(9)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_InflateZlib)->Arg(1)->Arg(6)->Arg(9)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    RatioReporter rep;
    benchmark::RunSpecifiedBenchmarks(&rep);
    std::printf("\nInflate of %zu bytes of echomail text, ours / zlib:\n", plain().size());
    for (int level : {1, 6, 9}) {
        std::string l = "level " + std::to_string(level) + " (" +
                        std::to_string(compressed(level).size()) + " bytes compressed)";
        rep.ratio(l.c_str(), "BM_InflateOurs/" + std::to_string(level),
                  "BM_InflateZlib/" + std::to_string(level));
    }
    rep.ratio("CRC-32", "BM_Crc32Ours", "BM_Crc32Zlib");
    benchmark::Shutdown();
    return 0;
}
