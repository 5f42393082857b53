// The nodelist in memory: reading a FidoNet-sized list (about 20 000
// entries, 2 MB, valid CRC), one lookup by address, and a search by sysop
// or system name over all entries. bench/nodelist_bench.py times the real
// program from a cold start and the nodediff of a year.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <random>
#include <string>

#include "nodelist/nodelist.h"

namespace {

const std::string& list_text() {
    static std::string text = [] {
        static const char* first[] = {"Anna",   "Bernd", "Claire", "Dieter",    "Eva",  "Frank",
                                      "Gisela", "Hans",  "Ines",   "J\x81rgen", "Lars", "Marie"};
        static const char* last[] = {"Adler",  "Becker",    "Engel",   "Fuchs",     "Hansen",
                                     "Ivanov", "Kr\x81ger", "Lehmann", "M\x81ller", "Novak"};
        std::mt19937 rng(7);
        std::string body = ";S\r\n";
        int n = 0;
        for (int zone = 1; zone <= 4 && n < 20000; ++zone) {
            body += "Zone," + std::to_string(zone) + ",Zone_" + std::to_string(zone) +
                    ",Earth,Zone_Coordinator,-Unpublished-,300,CM,IBN,INA:z.example.net\r\n";
            for (int net = zone * 100; n < zone * 5000; ++net) {
                body += "Host," + std::to_string(net) +
                        ",Net_Host,Somewhere,Host_Sysop,-Unpublished-,300,CM,IBN\r\n";
                for (int node = 1; node <= 50; ++node, ++n) {
                    body += "," + std::to_string(node) + ",Byte_Castle_BBS_" + std::to_string(n) +
                            ",K\x94ln_Mitte," + first[rng() % 12] + "_" + last[rng() % 10] +
                            ",-Unpublished-,300,CM,XA,IBN,INA:f" + std::to_string(node) + ".n" +
                            std::to_string(net) + ".example.net,U,ENC\r\n";
                }
            }
        }
        char head[96];
        snprintf(head, sizeof head, ";A Bench Nodelist -- Day number 003 : %05u\r\n",
                 static_cast<unsigned>(nl_crc16(body.data(), body.size())));
        return head + body + "\x1a";
    }();
    return text;
}

void BM_Parse(benchmark::State& state) {
    const std::string& t = list_text();
    for (auto _ : state) {
        NodeList nl;
        nl_parse(t, nl);
        if (!nl.crc_ok()) state.SkipWithError("CRC");
        benchmark::DoNotOptimize(nl.entries.data());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * t.size()));
    state.counters["entries"] = 20000;
}
BENCHMARK(BM_Parse)->Unit(benchmark::kMillisecond);

void BM_Find(benchmark::State& state) {
    NodeList nl;
    nl_parse(list_text(), nl);
    ftn_addr a{4, 499, 50, 0};  // near the end
    for (auto _ : state) benchmark::DoNotOptimize(nl_find(nl, a));
}
BENCHMARK(BM_Find)->Unit(benchmark::kMicrosecond);

void BM_Search(benchmark::State& state) {
    NodeList nl;
    nl_parse(list_text(), nl);
    size_t hits = 0;
    for (auto _ : state) {
        hits = nl_search(nl, "m\x81ller").size();
        benchmark::DoNotOptimize(hits);
    }
    state.counters["hits"] = static_cast<double>(hits);
}
BENCHMARK(BM_Search)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
