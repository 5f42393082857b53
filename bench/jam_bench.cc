// JAM appends and dupe checks.
//
// Appends: 100 000 messages of about 1 KB through jam_append (four opens,
// byte lock, tail check and four writes per message) against writing the
// same bytes into the same three files with plain sequential writes on files
// opened once. Dupe checks: lookups of new keys against a full table
// (262144 keys), hash index against the plain scan from newest to oldest.
//
// The custom main prints the ratios after the Google Benchmark table.
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <random>
#include <string>

#include "app/catalog.h"
#include "core/bytes.h"
#include "core/fileio.h"
#include "core/log.h"
#include "jam/crc32.h"
#include "jam/dupe.h"
#include "jam/jam.h"

namespace {

constexpr int N_MSGS = 100000;

struct Msg {
    std::string subf;
    std::string text;
};

Msg make_msg(int i) {
    Msg m;
    char id[64];
    snprintf(id, sizeof id, "2:280/5555.1 %08x", i);
    jam_subf_add(m.subf, SF_OADDR, "2:280/5555.1");
    jam_subf_add(m.subf, SF_SENDER, "Benchmark Sender");
    jam_subf_add(m.subf, SF_RECEIVER, "All");
    jam_subf_add(m.subf, SF_SUBJECT, "A subject of ordinary length");
    jam_subf_add(m.subf, SF_MSGID, id);
    jam_subf_add(m.subf, SF_KLUDGE, "CHRS: CP437 2");
    m.text.assign(1024 - m.subf.size() - 76, 'x');
    for (size_t k = 60; k < m.text.size(); k += 61) m.text[k] = '\r';
    return m;
}

std::string temp_dir() {
    char tmpl[] = "/tmp/jambench-XXXXXX";
    return mkdtemp(tmpl) ? tmpl : "/tmp";
}

double g_append_s = 0, g_plain_s = 0, g_hash_ns = 0, g_linear_ns = 0;

void BM_JamAppend(benchmark::State& state) {
    std::vector<Msg> msgs;
    for (int i = 0; i < N_MSGS; ++i) msgs.push_back(make_msg(i));
    for (auto _ : state) {
        std::string dir = temp_dir();
        std::string base = dir + "/area";
        auto t0 = std::chrono::steady_clock::now();
        for (const Msg& mm : msgs) {
            JamMsg m;
            m.jm_subf = mm.subf.data();
            m.jm_subflen = static_cast<uint32_t>(mm.subf.size());
            m.jm_text = mm.text.data();
            m.jm_textlen = static_cast<uint32_t>(mm.text.size());
            m.jm_attr = JA_LOCAL | JA_ECHO;
            m.jm_now = m.jm_date = 1700000000u;
            m.jm_usercrc = jam_crc("All");
            if (jam_append(base.c_str(), m) != 0) state.SkipWithError("append failed");
        }
        g_append_s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        std::filesystem::remove_all(dir);
    }
    state.SetItemsProcessed(state.iterations() * N_MSGS);
    state.SetBytesProcessed(state.iterations() * N_MSGS * 1032);
}

// The same bytes, written in the same order, into files opened once.
void BM_PlainWrite(benchmark::State& state) {
    std::vector<Msg> msgs;
    for (int i = 0; i < N_MSGS; ++i) msgs.push_back(make_msg(i));
    for (auto _ : state) {
        std::string dir = temp_dir();
        auto t0 = std::chrono::steady_clock::now();
        pf_file hdr = f_open_always((dir + "/area.jhr").c_str());
        pf_file txt = f_open_always((dir + "/area.jdt").c_str());
        pf_file idx = f_open_always((dir + "/area.jdx").c_str());
        uint8_t base[1024] = {'J', 'A', 'M', 0};
        f_write(hdr, base, sizeof base);
        uint32_t txt_off = 0, hdr_off = 1024;
        for (const Msg& mm : msgs) {
            f_write(txt, mm.text.data(), mm.text.size());
            std::string h(76, '\0');
            put_le32(reinterpret_cast<uint8_t*>(h.data()) + 60, txt_off);
            h += mm.subf;
            f_write(hdr, h.data(), h.size());
            uint8_t ix[8];
            put_le32(ix, 0);
            put_le32(ix + 4, hdr_off);
            f_write(idx, ix, 8);
            txt_off += static_cast<uint32_t>(mm.text.size());
            hdr_off += static_cast<uint32_t>(h.size());
        }
        f_close(hdr);
        f_close(txt);
        f_close(idx);
        g_plain_s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        std::filesystem::remove_all(dir);
    }
    state.SetItemsProcessed(state.iterations() * N_MSGS);
    state.SetBytesProcessed(state.iterations() * N_MSGS * 1032);
}

DupeDb& full_table() {
    static DupeDb db;
    static bool made = false;
    if (!made) {
        std::mt19937_64 rng(1);
        for (uint32_t i = 0; i < MAX_DUPES; ++i) dupe_add_key(db, rng());
        made = true;
    }
    return db;
}

template <bool HASH>
void dupe_lookups(benchmark::State& state, double* ns) {
    DupeDb& db = full_table();
    std::mt19937_64 rng(2);
    uint64_t found = 0, n = 0;
    auto t0 = std::chrono::steady_clock::now();
    for (auto _ : state) {
        uint64_t k = rng();  // new keys: the scan runs over the whole table
        found += HASH ? dupe_has_key(db, k) : dupe_find_linear(db, k);
        ++n;
    }
    *ns = std::chrono::duration<double, std::nano>(std::chrono::steady_clock::now() - t0).count() /
          static_cast<double>(n);
    benchmark::DoNotOptimize(found);
    state.SetItemsProcessed(static_cast<int64_t>(n));
}

void BM_DupeCheckHash(benchmark::State& state) {
    dupe_lookups<true>(state, &g_hash_ns);
}
void BM_DupeCheckLinear(benchmark::State& state) {
    dupe_lookups<false>(state, &g_linear_ns);
}

}  // namespace

BENCHMARK(BM_JamAppend)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PlainWrite)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_DupeCheckHash);
BENCHMARK(BM_DupeCheckLinear)->Iterations(3000);

int main(int argc, char** argv) {
    lang_apply(LANG_EN);
    std::string sink;
    con_capture(&sink);
    crc_init();
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    if (g_append_s > 0 && g_plain_s > 0)
        printf("JAM append: %.0f msgs/s, plain writes: %.0f msgs/s, append takes %.2fx the time\n",
               N_MSGS / g_append_s, N_MSGS / g_plain_s, g_append_s / g_plain_s);
    if (g_hash_ns > 0 && g_linear_ns > 0)
        printf(
            "Dupe check, full table: hash %.0f checks/s, scan %.0f checks/s, hash %.0fx faster\n",
            1e9 / g_hash_ns, 1e9 / g_linear_ns, g_linear_ns / g_hash_ns);
    return 0;
}
