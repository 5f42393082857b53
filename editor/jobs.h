// The editor's mail jobs: poll ("all": export, poll, toss), toss and export
// run one at a time as child processes of this executable, their output
// collected line by line and shown in the log pane in batches (every
// LOG_TICK_MS, the last LOG_KEEP lines kept); a per-boss auto-poll timer starts
// polls by itself; the status text tells what runs and when each boss is
// polled next.
//
// The state lives in one Jobs value on the GUI thread. job_pump runs on a
// worker thread and touches only its child and the callback, which must hand
// each line over to the GUI thread. Times are local Unix times.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "config/config.h"
#include "platform/platform.h"

constexpr int K_ALL = 1;  // poll: export, poll, toss
constexpr int K_TOSS = 2;
constexpr int K_SCAN = 3;
constexpr int MAX_MIN = 10080;          // longest auto-poll interval (7 days)
constexpr size_t LOG_TRIM = 300000;     // log pane characters before trimming
constexpr size_t LOG_CUT = 150000;      // characters dropped when trimming
constexpr size_t LOG_LINE_MAX = 1198;   // bytes of one child line
constexpr size_t LOG_WLINE_MAX = 1289;  // characters of one child line shown
constexpr int LOG_KEEP = 5000;          // lines the log pane keeps, the oldest go first
constexpr int LOG_TICK_MS = 80;         // a job's new lines reach the log pane this often

// An `autopoll` value: enabled, and the interval in minutes (0: none).
struct ApValue {
    bool on = false;
    int minutes = 0;
};
ApValue parse_ap(const char* text);

struct ApSlot {
    std::string name;  // section name, "Boss" without sections
    bool ap_on = false;
    int ap_min = 0;
    uint64_t ap_next = 0;
    uint64_t last_t = 0;  // last finished poll, 0 never
    int last_code = -1;
};

struct Jobs {
    bool po_running = false;
    int run_kind = 0;
    int run_slot = -1;
    bool run_auto = false;
    uint64_t run_since = 0;
    bool sections = false;  // the configuration has [boss] sections
    std::vector<ApSlot> ap_slots;
};

// One slot per section (or one for the global settings), from its autopoll
// value (the global one when the section's is empty).
void po_init(Jobs& j, Config& c, uint64_t now);
// After a later configuration load: po_init, but a slot whose section is
// still there keeps its last poll and, unless its auto-poll value changed,
// its next time (a reload after every job must not forget them).
void po_reinit(Jobs& j, Config& c, uint64_t now);
// The settings dialog changed a slot: a new state or interval restarts it.
void po_apply_slot(Jobs& j, int slot, bool on, int minutes, uint64_t now);
// The program a job runs: `exe` becomes the absolute path of the running
// executable as `self` finds it (pf_self_exe; tests hand in their own), or
// the path the environment variable WRENPOST_EXE names when it is set (the
// editor's tests run it inside another binary). false when there is none
// or it is not absolute: a name relative to the current directory would
// run whatever program lies there, so no job starts (w_noexe says why).
// Paths of any length the system gives are taken whole.
[[nodiscard]] bool po_exe(std::string& exe, int (*self)(char* out, size_t cap) = pf_self_exe);
// True for a path that does not depend on the current directory: one that
// begins with "/" (on Windows also a backslash, or a drive letter, ":" and a
// separator).
bool po_absolute(const std::string& path);
// The child's arguments: exe -lang de|en -c cfg verb [section]. The section
// only for poll and export of one boss in a configuration with sections.
std::vector<std::string> po_argv(const Jobs& j, const char* exe, const char* cfg_path, int lang,
                                 int kind, int slot);
// The log text after "Starting: wrenpost ": the verb and the section.
std::string po_what(const Jobs& j, int kind, int slot);
// A job was started: records it.
void po_started(Jobs& j, int kind, int slot, bool autostart, uint64_t now);
// A job ended: a poll updates the slot(s) it ran for.
void po_done(Jobs& j, int code, uint64_t now);
// The slot whose auto-poll is due now (the first enabled one with an
// interval whose time has come), or -1; none while a job runs. The caller
// starts the poll and then calls po_auto_started.
int po_due(const Jobs& j, uint64_t now);
void po_auto_started(Jobs& j, int slot, uint64_t now);

// Texts.
// A child's exit code: the text of its ExitCode ("OK", ...), else "Exit N".
std::u16string res_text(int code);
std::u16string kind_text(int kind);
std::u16string po_status(const Jobs& j);
// "HH:MM:SS" of a local Unix time.
std::u16string hms(uint64_t t);
// The editor's own log line: "[HH:MM:SS] [GUI] " + text.
std::u16string glog_line(uint64_t now, const std::u16string& text);

// The log pane's text: lines end in CR LF; at LOG_TRIM characters the oldest
// LOG_CUT are dropped before the next line.
void log_append(std::u16string& pane, const std::u16string& line);
// A child's line (code page 437) as shown.
std::u16string child_line(const std::string& line);

// Reads the child's output to its end, handing over each line (CR dropped,
// at most LOG_LINE_MAX bytes, a last unterminated line too), closes the pipe,
// waits for the child and returns its exit code (255 when unknown).
int job_pump(PfChild& child, const std::function<void(const std::string&)>& on_line);
