// State of one export run, shared by its modules: the run counters, the
// current boss (addresses, switches, packet buffers, sent marks), the current
// base and the current message. One ScanState per run, used from one thread.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "config/config.h"
#include "outbound/bso.h"
#include "platform/platform.h"

constexpr uint32_t MAX_MARK = 8192;
constexpr uint64_t BUF_STEP = 1048576;  // a buffer grows by at least 1 MiB

// A growable byte buffer: B_CAP bytes owned by `store`, B_PTR points at
// them (null while empty), B_LEN are in use. buf_need may move them.
// Memory is released by buf_free (or the destructor).
struct Buf {
    std::vector<uint8_t> store;
    uint8_t* B_PTR = nullptr;
    uint64_t B_LEN = 0;
    uint64_t B_CAP = 0;
    Buf() = default;
    Buf(const Buf&) = delete;
    Buf& operator=(const Buf&) = delete;
};
// Room for k more bytes: true, or false after logging "ERROR: out of memory".
bool buf_need(Buf& b, uint64_t k);
void buf_free(Buf& b);

// A message to flag as sent once its packet reached the outbound.
struct Mark {
    const std::string* MK_PATH;  // the base's path, shared by its records
    uint32_t MK_OFF;             // header offset in .jhr
    int MK_KIND;                 // 0 netmail, 1 echomail
};

// What an export run saw of one base, so that the next run reads only what
// came after it. Kept in "wpexport.dat" beside the configuration; export.cc
// checks every entry against the base before it trusts it and reads the
// base whole when anything does not match.
struct BaseMemo {
    std::string path;               // as configured (resolved)
    int kind = 0;                   // 0 netmail, 1 echomail: the selection differs
    uint64_t volume = 0, file = 0;  // which .jhr file (PfFileId)
    int64_t write_ns = 0;           // its last write then
    uint64_t size = 0;              // its size then
    uint64_t end = 0;               // end of its last whole message header
    uint32_t modcounter = 0, created = 0, basenum = 0;  // from the base header
    uint64_t resume = 0;    // no new message (is_new) lies before this offset
    uint64_t last = 0;      // offset of the last whole header (JHI_SIZE: none)
    uint32_t last_crc = 0;  // CRC-32 of that header and its subfields without
                            // the Attribute and TimesRead fields
    bool seen = false;      // looked at by this run
};

struct ScanCounters {
    uint64_t sc_echo = 0, sc_net = 0, sc_files = 0, sc_err = 0, sc_busy = 0, sc_locked = 0;
};

struct ScanState {
    Config* cfg = &g_cfg;
    ScanCounters c;
    uint32_t uniq_last = 0;  // last packet name value handed out (whole process run)

    // Current boss.
    ftn_addr own, boss;
    bool bso = true, zip = false, path_line = false;
    std::string pktpwd, system;
    uint64_t n_net = 0, n_echo = 0;
    Buf pkt_net, pkt_echo;
    Buf jhr;  // the current base's .jhr copy; its memory is reused for the next base
    // A window of the current base's .jdt: texts of consecutive messages lie
    // one after the other, so one read serves many of them.
    Buf text;
    uint64_t text_off = 0;  // .jdt offset of text.B_PTR[0]
    std::vector<Mark> marks;
    bool mark_warned = false;
    std::vector<std::unique_ptr<std::string>> base_paths;  // keeps MK_PATH alive
    std::string outdir;                                    // output directory
    std::string basename;         // BSO base name of the boss (empty in plain mode)
    std::vector<BaseMemo> memos;  // loaded by scan_all, written back at its end

    // Current base.
    const std::string* base_path = nullptr;
    std::string tag;  // empty for the netmail base
    int kind = 0;     // 0 netmail, 1 echomail
    pf_file jdt = PF_INVALID;
    int64_t jdt_size = 0;
    uint64_t base_count = 0;

    // Current message: the fixed header inside the .jhr copy and its subfields.
    const uint8_t* hdr = nullptr;
    uint32_t hdr_off = 0;
    const uint8_t* subf = nullptr;
    uint32_t subf_len = 0;
};
