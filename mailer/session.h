// The calling side of a binkp session (binkp/1.1, and binkp/1.0 with a boss
// that speaks only that).
//
// session_run drives one session over an open connection: identification,
// address check, login (plain or CRAM-MD5), then both directions of the file
// transfer at once (xfer.h), and the settling of the outbound. With nr = yes
// it asks for resuming ("OPT NR" after the VER line) and removes old partial
// files of the inbound before the login (xfer.h). Every frame
// the boss sends is dispatched by handle_frame in every phase, but nothing
// reaches the inbound from a peer that is not logged in: a remote M_ADR
// without the configured boss address, an M_OK before our password, and a
// file offered before that M_OK each end the session with EXIT_PROTO.
// We announce binkp/1.1. With a boss that announces binkp/1.1 (or later) the
// transfer runs in batches: a batch ends when both sides have sent M_EOB and
// every file of it is answered; when either side offered a file in it, a new
// batch begins (we send M_EOB again: the send list is built once, so files
// that reach the outbound meanwhile wait for the next poll), and the session
// ends after the first batch in which neither side offered one. A boss
// answering a file request sends the answer in such a later batch. With a
// binkp/1.0 boss the session ends after the first batch.
// Waits are bounded: every frame must arrive whole within the frame time-out
// (net_timeout), and the whole session within session_limit; either ends it
// with EXIT_NET. A stop request (pf_stop_requested: Ctrl+C, SIGTERM) is seen
// between frames and within NET_SLICE_MS of waiting for the boss; it ends the
// session as a cut line does (the part of a file being received is kept for
// resuming), with EXIT_STOPPED and no log line of its own. The result is
// an exit code (EXIT_OK, EXIT_NET, EXIT_AUTH, EXIT_BUSY, EXIT_PROTO,
// EXIT_STOPPED); the connection is always closed before session_run returns.
//
// All state of one session lives in a Session; the settings come from the
// boss's effective settings in *cfg (cfg_boss), which the caller builds and
// keeps alive until session_run returns. A Session is large (send list, flow buffer, frame
// buffers): allocate it on the heap.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "config/config.h"
#include "core/exitcode.h"
#include "mailer/frames.h"
#include "outbound/bso.h"

constexpr int MAX_TX = 256;  // send entries per session
constexpr int MAX_FLO = 8;   // flow files per session
constexpr size_t WIRE_MAX = 1024;
constexpr size_t RXNAME_MAX = 256;
constexpr size_t CHAL_MAX = 128;

// What happens to a sent file after M_GOT.
enum TxKind : int { K_DEL = 0, K_UT = 1, K_KEEP = 2, K_TRUNC = 3 };
enum TxState : int { TS_OPEN = 0, TS_SENT = 1, TS_DONE = 2, TS_SKIP = 3 };

struct TxEntry {
    char path[WP_PATH_MAX];  // TXE_PATH
    char wire[WIRE_MAX];     // TXE_WIRE, escaped
    int kind;                // TXE_KIND
    int state;               // TXE_STATE
    int flo;                 // TXE_FLO, -1 = none
    size_t loff;             // TXE_LOFF
    bool get_req;            // the boss asked for it again (M_GET)
    uint64_t get_off;        // from this offset
};

// A received file: as it was offered, and where it goes in the inbound.
struct RxFile {
    char raw[WIRE_MAX];  // the wire name as offered
    char name[RXNAME_MAX];
    uint64_t size = 0;
    uint64_t time = 0;
    char final_path[WP_PATH_MAX];
    char tmp[WP_PATH_MAX];  // final path + ".wpt"
    char rec[WP_PATH_MAX];  // the partial's record: final path + ".wpn"
};

// A received file that goes to the disk and to its final name on a thread of
// its own while the next file arrives. The thread touches only this struct
// (and the files it names) until it has ended; the M_GOT goes out when it is
// done (the boss deletes its copy on M_GOT).
enum SettleState : int {
    SETTLE_RUNNING = 0,
    SETTLE_DONE = 1,         // synced, renamed, inbound synced
    SETTLE_SYNC_FAILED = 2,  // the data could not be synced
    SETTLE_MOVE_FAILED = 3,  // the name and all its alternatives exist
    SETTLE_DIR_FAILED = 4,   // renamed, but the inbound could not be synced
};
struct RxSettle {
    RxSettle() = default;
    RxSettle(const RxSettle&) = delete;
    RxSettle& operator=(const RxSettle&) = delete;
    // A thread still running uses this struct: it is waited for.
    ~RxSettle() { pf_thread_join(thread); }

    bool pending = false;
    PfThread thread;
    std::atomic<int> state{SETTLE_RUNNING};
    RxFile file;
    pf_file h = PF_INVALID;  // file.tmp, held under its byte lock
    char inbound[WP_PATH_MAX];
    char placed[WP_PATH_MAX + 8];  // the name it got: final_path or a .dupN
    int dup = 0;                   // 0, or N of the .dupN it got
};

struct Session {
    const BossCfg* cfg = nullptr;
    Frames fr;
    BsoLock bsy;

    bool got_adr = false;
    bool pwd_sent = false;  // our M_PWD went out: an M_OK can only answer it
    bool auth_ok = false;   // M_OK after our password: files may come now
    bool remote_eob = false;
    bool remote_11 = false;    // the boss announced binkp/1.1 or later
    int batch = 0;             // the batch under way, 1 = the first
    uint64_t batch_files = 0;  // files offered in it, by either side
    bool own_busy = false;     // our outbound was busy: answered with M_BSY
    int64_t pending = 0;
    uint64_t files_rx = 0;
    uint64_t files_tx = 0;
    uint8_t chal_bin[CHAL_MAX];
    size_t chal_len = 0;
    char my_adr[256];
    char boss_bare[256];
    // Resuming (binkp's non-reliable mode): nr = yes sends "OPT NR" and keeps
    // the part of a file the line cut off; the boss's own "OPT NR" asks us to
    // offer files with offset -1 and wait for its M_GET.
    bool nr = false;
    bool remote_nr = false;
    // The boss asked for NR but left one offer with offset -1 unanswered:
    // the rest of the session's files go whole, without waiting.
    bool nr_silent = false;

    // Send list and flow files.
    TxEntry tx[MAX_TX];
    int tx_count = 0;
    bool tx_full_said = false;
    char flo_path[MAX_FLO][WP_PATH_MAX];
    int flo_count = 0;
    uint8_t flo_buf[FLO_MAX + 2];
    uint32_t serial = 0;

    // The file being received.
    bool rx_active = false;
    RxFile rx;
    uint64_t rx_got = 0;
    pf_file rx_h = PF_INVALID;
    // Received bytes not yet written: they gather up to the next multiple
    // of 128 KiB of the file (written then, in one call); the last
    // rx_buf_len of rx_got.
    std::vector<uint8_t> rx_buf;
    size_t rx_buf_len = 0;
    // Our M_GET for an offer with offset -1: the M_FILE that answers it with
    // this name, size, time and offset continues the partial file.
    bool rx_want = false;
    char rx_want_raw[WIRE_MAX];
    uint64_t rx_want_size = 0;
    uint64_t rx_want_time = 0;
    uint64_t rx_want_off = 0;
    // The file before it, complete and waiting for its sync and M_GOT.
    RxSettle settle;
};

constexpr uint32_t SESSION_LIMIT_S = 3600;  // default whole-session limit
constexpr uint64_t PARTIAL_KEEP_DAYS = 7;   // default age limit of partial files
// The longest wait for the boss's M_GET after an offer with offset -1 (the
// frame time-out when that is shorter); then the file is offered from 0, and
// so is every later file of the session, without waiting.
constexpr uint32_t NR_GET_WAIT_MS = 30000;
constexpr uint32_t NET_TIMEOUT_MAX_S = 86400;

// The time-out of one frame (net_timeout, seconds; empty or invalid: the
// default of net.h) and the whole-session limit (session_limit, seconds;
// empty or invalid: SESSION_LIMIT_S), both in milliseconds.
uint32_t session_frame_ms(const BossCfg& c);
uint64_t session_limit_ms(const BossCfg& c);
// partial_keep_days: whole days a partial file is kept (empty or invalid:
// PARTIAL_KEEP_DAYS).
uint64_t session_partial_days(const BossCfg& c);
// Logs why the connection failed (the session limit, else m_net) and gives
// EXIT_NET; after a stop request (Net::stopped) EXIT_STOPPED, without a line.
unsigned net_error(Session& s);
// Whether a stop was requested (pf_stop_requested); marks the connection
// stopped, so that net_error gives EXIT_STOPPED.
bool session_stop_seen(Session& s);
// Clears the state for a new session (the connection is left as it is).
void session_reset(Session& s);
// Runs the session over s.fr.net, which must be connected. Closes it.
// Returns the exit code of the call.
ExitCode session_run(Session& s);
// Waits for one frame and handles it; EXIT_NET after m_net when none arrives.
// While a received file settles (s.settle) and nothing arrives, it waits for
// the file's sync instead and returns 0 once its M_GOT is out, without
// reading, so that the caller's loop looks again whether to wait at all.
unsigned recv_and_handle(Session& s);
// Handles frames as long as one can be read without waiting, then settles a
// received file whose sync is done.
unsigned poll_incoming(Session& s);
// Dispatches the frame in s.fr: 0 to go on, or the exit code that ends the
// session.
unsigned handle_frame(Session& s);
// Sends M_PWD (plain, CRAM-MD5 or "-") by the cram policy; 0, 2 or 3.
unsigned send_password(Session& s);
