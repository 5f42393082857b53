// Packet walk speed against a plain memory scan of the same bytes: the
// validating walk (header check and message walk), the filing walk with the
// conversion of every message, and a loop that only counts zero bytes.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "bench/ratio_reporter.h"
#include "core/bytes.h"
#include "tosser/packet.h"

namespace {

// About 8 MB of type-2+ echomail packet with messages of 0.3 to 3 KB.
std::string make_packet() {
    static const char* words[] = {"the",  "point", "boss",    "mail",  "toss",    "bundle",
                                  "echo", "area",  "message", "reply", "FidoNet", "packet"};
    std::mt19937 rng(99);
    std::string p(58, '\0');
    auto* h = reinterpret_cast<uint8_t*>(&p[0]);
    put_le16(h + 0, 1);
    put_le16(h + 2, 1);
    put_le16(h + 18, 2);
    put_le16(h + 20, 0xFFFF);
    put_le16(h + 22, 240);
    put_le16(h + 34, 2);
    put_le16(h + 36, 2);
    put_le16(h + 38, 240);
    put_le16(h + 40, 0x0100);
    put_le16(h + 44, 0x0001);
    put_le16(h + 50, 5);
    int serial = 0;
    while (p.size() < (8u << 20)) {
        append_le16(p, 2);
        append_le16(p, 1);
        append_le16(p, 1);
        append_le16(p, 240);
        append_le16(p, 240);
        append_le16(p, 0);
        append_le16(p, 0);
        p += std::string("05 Dec 26  04:23:00") + '\0' + "All" + '\0' + "Point User" + '\0' +
             "Subject of the message" + '\0';
        p += "AREA:FIDO.TEST\r\x01MSGID: 2:240/1.5 " + std::to_string(serial++) +
             "\r\x01PID: wrenpost 0.9\r\x01TZUTC: 0100\r";
        int lines = 5 + static_cast<int>(rng() % 40);
        for (int l = 0; l < lines; ++l) {
            int w = 4 + static_cast<int>(rng() % 10);
            for (int i = 0; i < w; ++i) {
                p += words[rng() % (sizeof words / sizeof words[0])];
                p += ' ';
            }
            p += '\r';
        }
        p += "--- wrenpost 0.9\r * Origin: a point (2:240/1.5)\rSEEN-BY: 240/1 5 6\r\x01PATH: "
             "240/1\r";
        p += '\0';
    }
    p += std::string(2, '\0');
    return p;
}

const std::string& packet() {
    static const std::string p = make_packet();
    return p;
}

Packet open_packet() {
    Packet pk;
    pk.data = reinterpret_cast<const uint8_t*>(packet().data());
    pk.size = packet().size();
    return pk;
}

void BM_PacketWalk(benchmark::State& st) {
    for (auto _ : st) {
        Packet pk = open_packet();
        if (check_header(pk) != 0 || scan_packet(pk, 0) != 0) st.SkipWithError("walk failed");
        benchmark::DoNotOptimize(pk.sum.count);
    }
    st.SetBytesProcessed(static_cast<int64_t>(st.iterations() * packet().size()));
}

int convert_sink(void* ctx, const Packet& p, const ParsedMsg& m) {
    pkt_convert(p.sum, m, 1000000, *static_cast<TossMsg*>(ctx));
    return 0;
}

void BM_PacketConvert(benchmark::State& st) {
    TossMsg t;
    for (auto _ : st) {
        Packet pk = open_packet();
        if (check_header(pk) != 0 || scan_packet(pk, 1, convert_sink, &t) != 0)
            st.SkipWithError("walk failed");
        benchmark::DoNotOptimize(t.text.data());
    }
    st.SetBytesProcessed(static_cast<int64_t>(st.iterations() * packet().size()));
}

void BM_MemScan(benchmark::State& st) {
    const std::string& p = packet();
    for (auto _ : st) {
        size_t zeros = static_cast<size_t>(std::count(p.begin(), p.end(), '\0'));
        benchmark::DoNotOptimize(zeros);
    }
    st.SetBytesProcessed(static_cast<int64_t>(st.iterations() * p.size()));
}

BENCHMARK(BM_PacketWalk)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PacketConvert)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_MemScan)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    RatioReporter rep;
    benchmark::RunSpecifiedBenchmarks(&rep);
    std::printf("\nPacket of %zu bytes, against a plain scan counting zero bytes:\n",
                packet().size());
    rep.ratio("validating walk", "BM_PacketWalk", "BM_MemScan");
    rep.ratio("filing walk with conversion", "BM_PacketConvert", "BM_MemScan");
    benchmark::Shutdown();
    return 0;
}
