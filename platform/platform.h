// Operating-system layer.
//
// Every call the rest of wrenpost makes to the operating system goes through
// this header: files and directories, byte-range locks, the exclusive lock
// file, clocks, processes, the console and the user-interface language. The
// POSIX implementation lives in posix.cc, the Windows one in win32.cc; each
// compiles to nothing on the other system.
//
// Conventions:
// - Paths are NUL-terminated byte strings; "/" separates directories (on
//   Windows "\\" too, and the bytes are in the ANSI code page).
// - Files are always opened shared: other processes may read and write them
//   at the same time (POSIX never denies this anyway).
// - Functions return 0 on success and a non-zero code on failure unless they
//   say otherwise; errno is never part of the contract.
// - A pf_file is a plain descriptor (a HANDLE on Windows); PF_INVALID marks "no file". The caller
//   owns every handle it gets and closes it with pf_close.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#ifdef _WIN32
using pf_file = intptr_t;  // a HANDLE; INVALID_HANDLE_VALUE is -1
#else
using pf_file = int;
#endif
constexpr pf_file PF_INVALID = -1;

// ---- Files ----------------------------------------------------------------

enum class PfCreate {
    OpenExisting,      // fail when missing
    OpenAlways,        // create when missing, keep contents
    CreateAlways,      // create or truncate
    CreateNew,         // fail when the file exists
    TruncateExisting,  // fail when missing, else truncate
};

enum class PfAccess { Read, ReadWrite };

// Opens `path`, which must be a regular file: a directory, FIFO, device or
// socket is refused without waiting for a writer or for input (every file
// the program works on is a plain file). Returns PF_INVALID on failure.
pf_file pf_open(const char* path, PfAccess access, PfCreate disposition);
// As pf_open; a file it creates gets the permission bits `mode` (as PfStat::mode
// gives them, narrowed by the process's file-creation mask) from the start, so
// it is never readable by anyone the mode excludes, not even for an instant.
pf_file pf_open_mode(const char* path, PfAccess access, PfCreate disposition, uint32_t mode);
// Opens `path` for reading whatever it is but a directory: a pipe (a shell's
// process substitution), a FIFO or a device, for a text the user hands in.
// May wait for a FIFO's writer. PF_INVALID on failure.
pf_file pf_open_stream(const char* path);
void pf_close(pf_file h);

// Reads up to n bytes at the file position. Returns the count (0 at the end),
// or -1 on error. Retries on EINTR.
int64_t pf_read(pf_file h, void* buf, size_t n);
// Writes all n bytes at the file position. Returns 0 when all were written,
// 1 otherwise (a short write is an error).
int pf_write(pf_file h, const void* buf, size_t n);

// One piece of a vectored read: n bytes at buf.
struct PfIoVec {
    void* buf;
    size_t n;
};
// Reads at the file position into the `count` pieces in order, each filled
// before the next, in as few system calls as the system allows (one for a
// regular file on POSIX; one per piece on Windows). Returns the count of
// bytes read, short only at the end of the file, or -1 on error (the file
// position is then unknown). Retries on EINTR and after short reads.
int64_t pf_readv(pf_file h, const PfIoVec* v, size_t count);

// Reads up to n bytes at `offset` without moving the file position. Returns
// the count (short only at the end), or -1 on error.
int64_t pf_pread(pf_file h, void* buf, size_t n, uint64_t offset);
// Writes all n bytes at `offset` without moving the file position. 0 when all
// were written, 1 otherwise. Counts for pf_fault_write_after like pf_write.
int pf_pwrite(pf_file h, const void* buf, size_t n, uint64_t offset);

enum class PfSeek { Begin, Current, End };
// Moves the file position. Returns the new position, or -1 on error.
int64_t pf_seek(pf_file h, int64_t offset, PfSeek origin);
// Size in bytes, or -1 on error.
int64_t pf_size(pf_file h);

// Which file an open handle names, and when it was last written: two handles
// with equal volume and file numbers name the same file (a file renamed over
// the old name gets a new number), and every write changes write_ns.
struct PfFileId {
    uint64_t volume = 0;
    uint64_t file = 0;
    int64_t write_ns = 0;  // last write, nanoseconds in the system's own count
    int64_t size = 0;
};
// 0 on success, 1 on error.
int pf_file_id(pf_file h, PfFileId& out);
// Cuts (or extends) the file at the current position. 0 on success.
int pf_set_end(pf_file h);
// Forces written data to the disk. 0 on success.
int pf_sync(pf_file h);
// Starts writing the range [offset, offset + len) of the file to the disk
// and returns without waiting, so that a later pf_sync waits only for what
// was written since. Guarantees nothing by itself: only pf_sync makes data
// durable. 0 when started or when the system has no such call (nothing
// happens then), 1 on error.
int pf_start_writeback(pf_file h, uint64_t offset, uint64_t len);
// Forces a directory's entries (names created, renamed or removed in it) to
// the disk. 0 on success.
int pf_sync_dir(const char* dir);

// Byte-range lock, taken without waiting: 0 when taken, 1 when another open
// file holds an overlapping lock, -1 on error. The lock belongs to the open
// file (not the process), so two handles of one process exclude each other,
// and it is released when the handle is closed or its holder dies.
int pf_lock_range(pf_file h, uint64_t offset, uint64_t len);
int pf_unlock_range(pf_file h, uint64_t offset, uint64_t len);

// ---- Fault injection (tests) ----------------------------------------------

// After pf_fault_write_after(n) with n > 0, the n-th following pf_write fails
// (writes nothing and returns 1); every write after it succeeds again.
// n = 0 switches the fault off. Process-wide; not thread-safe.
void pf_fault_write_after(long n);
// The same for pf_sync: the n-th following call fails without syncing.
// Safe to count from another thread than the one that sets it.
void pf_fault_sync_after(long n);
// The same for pf_chown_like (as if the system refused the owner or group).
void pf_fault_chown_after(long n);

// ---- Paths and directories ------------------------------------------------

// The separator put between directory and name when a path is built; when
// one is split, "/", "\\" and ":" are all accepted.
#ifdef _WIN32
constexpr char PF_DIR_SEP[] = "\\";
#else
constexpr char PF_DIR_SEP[] = "/";
#endif

// 0 on success, 1 when the file is missing or cannot be deleted.
int pf_delete(const char* path);
// Renames. With replace = false an existing target makes it fail (atomically:
// no window in which the target could be overwritten). 0 on success.
int pf_rename(const char* from, const char* to, bool replace);
// Creates one directory. 0 when created, 1 when it already exists (as a
// directory or anything else), -1 on any other failure.
int pf_mkdir(const char* path);

struct PfStat {
    bool exists = false;
    bool is_dir = false;
    bool is_file = false;    // a regular file; FIFOs, devices etc. are neither
    bool read_only = false;  // no write permission for the owner
    int64_t size = 0;
    int64_t mtime = 0;  // last write, seconds since 1970 (UTC)
    uint32_t mode = 0;  // permission bits
};
// Never fails: a missing path gives exists = false.
PfStat pf_stat(const char* path);
// Sets the permission bits (as PfStat::mode gives them). 0 on success.
int pf_chmod(const char* path, uint32_t mode);
// Gives the open file h the owner and the group of the existing file `like`
// (a copy written aside before it is renamed over `like`, so that the rename
// hands nobody else the contents). 0 when h has them afterwards (also when it
// had them already), 1 when `like` cannot be read or the system refuses: a
// process may give a file only its own user and one of its own groups
// unless it is privileged. Changing the owner may clear set-id bits: set the
// permission bits after it. On Windows a new file gets the access rules its
// folder hands on and owners are no part of the job: nothing is done, 0 when
// `like` exists.
int pf_chown_like(pf_file h, const char* like);

struct PfDirEntry {
    std::string name;  // no "." or ".."
    bool is_dir = false;
    bool is_file = false;  // plain file; sockets, devices etc. are neither
    int64_t size = 0;
    int64_t mtime = 0;
};
// Lists a directory in the order the system returns (no sorting).
// 0 on success, 1 when it cannot be opened.
int pf_list_dir(const char* path, std::vector<PfDirEntry>& out);

// Absolute, lexically normalised form of `path` ("." and ".." resolved
// without following links). Returns 0, or 1 when it does not fit in cap.
int pf_full_path(const char* path, char* out, size_t cap);
// Absolute path of an existing file with every symbolic link resolved (the
// file a write through `path` would reach). 0, or 1 when it does not exist or
// the result does not fit in cap.
int pf_real_path(const char* path, char* out, size_t cap);

// ---- Exclusive lock file --------------------------------------------------

// A lock file exists only while it is held: acquiring creates it (or takes
// over a left-over one that nobody holds), writes `content` into it and holds
// an exclusive lock; releasing deletes it. The kernel releases the lock when
// the holder dies, so a crashed holder never blocks the next one.
struct PfLockFile {
    pf_file fd = PF_INVALID;
    std::string path;
};
// Tries once, without waiting: 0 when taken, 1 when another holder has it,
// -1 when the file cannot be created.
int pf_lockfile_try(const char* path, const char* content, PfLockFile& lf);
// Deletes the file and drops the lock. Harmless on an unheld PfLockFile.
void pf_lockfile_release(PfLockFile& lf);

// ---- Time -----------------------------------------------------------------

void pf_sleep_ms(uint32_t ms);
// Seconds since 1970, UTC.
int64_t pf_unix_now_utc();
// Local wall-clock time counted as if it were UTC.
uint64_t pf_unix_now_local();
// Offset of local time from UTC in minutes (east positive), daylight saving
// time included, as it is now.
int pf_utc_offset_minutes();

struct PfLocalTime {
    int year, month, day, hour, minute, second, weekday;  // weekday 0 = Sunday
};
PfLocalTime pf_local_time();
// Milliseconds from an arbitrary fixed point (monotonic).
uint64_t pf_ticks_ms();

// ---- Processes ------------------------------------------------------------

uint32_t pf_getpid();
// True when a process with this id exists (also when it belongs to another
// user).
bool pf_pid_alive(uint32_t pid);

// The running executable's full path; 0, or 1 when it is unknown or does not
// fit in cap.
int pf_self_exe(char* out, size_t cap);

// Loads a shared module (a .so, or a DLL on Windows) with all its
// dependencies and looks up an entry of it. nullptr on failure, with the
// system's reason in err. A loaded module stays for the rest of the process.
void* pf_module_entry(const char* path, const char* name, std::string& err);

// A child process whose standard output and standard error are one pipe.
struct PfChild {
    int64_t pid = -1;
    pf_file out = PF_INVALID;  // read end of the pipe, owned by the caller
};
// Starts argv[0] (a path) with the arguments argv[1..]; standard input stays
// the caller's. The read end is not inherited by later children. 0 on
// success, 1 when the child could not be started (nothing is left open).
int pf_spawn(const std::vector<std::string>& argv, PfChild& child);
// Waits for the child's end, without a time limit: its exit code, or 255
// when it did not exit normally or its code cannot be read.
int pf_wait_child(PfChild& child);

// ---- Console --------------------------------------------------------------

// The descriptor for command-run output: standard output when it is open,
// else the controlling terminal, else PF_INVALID (output is then dropped).
pf_file pf_console_cli();
// Standard output as it is (may be closed).
pf_file pf_console_std();
// One write of n bytes; errors are ignored.
void pf_console_write(pf_file h, const char* buf, size_t n);
// Standard error as it is, or PF_INVALID when closed: the log of the commands
// whose standard output carries data. Never closed by the caller.
pf_file pf_console_err();
// Standard input, or PF_INVALID when closed; read it with pf_read (0 at its
// end). Never closed by the caller.
pf_file pf_console_in();
// Writes UTF-8 text to standard output: to a console window as characters,
// whatever code page the console has; to a file or pipe as the bytes. 0 when
// all was written, 1 otherwise (a closed reader is an error, not a signal).
int pf_write_utf8_out(const char* buf, size_t n);

// ---- User interface language ----------------------------------------------

// 1 (German) when the first set of LC_ALL, LC_MESSAGES, LANG starts with
// "de", else 2 (English).
int pf_ui_language();

// True when a graphical session is there for the editor's windows (an X or
// Wayland display, or a Qt platform chosen explicitly).
bool pf_has_display();

// Compares two NUL-terminated UTF-16 texts as the user's locale orders names
// and subjects for display, without regard to case: first by letters with
// their accents taken off (so "Ärger" sorts among the A), then by the
// accents. Returns <0, 0 or >0. Texts that differ only in case compare equal.
int pf_wcsicmp(const char16_t* a, const char16_t* b);

// ---- TCP sockets ----------------------------------------------------------

// One connected stream socket. Sends never raise SIGPIPE: a broken connection
// is an ordinary error result.
#ifdef _WIN32
using pf_sock = intptr_t;  // a SOCKET; INVALID_SOCKET is -1
#else
using pf_sock = int;
#endif
constexpr pf_sock PF_NOSOCK = -1;

// Starts and stops the socket library (nothing to do on POSIX). 0 on success.
int pf_net_startup();
void pf_net_cleanup();
// Resolves host and port (a decimal number or a service name) for TCP over
// IPv6 and IPv4 and tries the addresses in the order the resolver returns
// them, each with the system's own connect time-out. The first connected
// socket, or PF_NOSOCK when resolution fails or no address answers.
pf_sock pf_tcp_connect(const char* host, const char* port);
// Sets the receive and the send time-out of the socket. 0 on success.
int pf_sock_timeouts(pf_sock s, uint32_t ms);
// One send call: the number of bytes taken (> 0), or -1 on error or time-out.
int64_t pf_sock_send(pf_sock s, const void* buf, size_t n);
// One receive call: bytes received (> 0), 0 when the peer closed, -1 on error
// or time-out.
int64_t pf_sock_recv(pf_sock s, void* buf, size_t n);
// Waits up to ms milliseconds (0: not at all) for the socket to become
// readable: 1 when a receive will not block (data or end of stream), 0 when
// not, negative on error.
int pf_sock_wait_readable(pf_sock s, uint32_t ms);
// Shuts down the sending direction. 0 on success.
int pf_sock_shutdown_send(pf_sock s);
void pf_sock_close(pf_sock s);
// A connected pair of local stream sockets (tests). 0 on success.
int pf_sock_pair(pf_sock out[2]);

// ---- Threads ----------------------------------------------------------------

// A thread that runs one call, for work that only waits for the system (a
// sync) while the caller goes on. The call must not use the log or any other
// state the caller touches meanwhile; pf_thread_join waits for its end.
#ifdef _WIN32
using pf_thread = void*;  // a HANDLE
#else
using pf_thread = uintptr_t;  // a pthread_t
#endif
struct PfThread {
    pf_thread t{};
    bool started = false;
};
// Runs fn(arg) on a new thread. false when none could be started (then
// nothing runs and the caller does the work itself).
bool pf_thread_start(PfThread& t, void (*fn)(void*), void* arg);
// Waits for a started thread to end; a thread not started is left alone.
void pf_thread_join(PfThread& t);

// ---- Stop requests ----------------------------------------------------------

// With on = true, an interrupt or termination request (SIGINT, SIGTERM; Ctrl+C,
// Ctrl+Break and closing the console on Windows) no longer ends the process:
// the first one sets the flag that pf_stop_requested reports, and a second one
// ends the process the usual way. The flag is cleared when switched on. With
// on = false the usual handling is back (the flag keeps its value). A run
// that can be interrupted between two steps switches this on for its
// duration and polls pf_stop_requested at safe points. Not thread-safe.
void pf_stop_signals(bool on);
bool pf_stop_requested();

// ---- Environment ----------------------------------------------------------

// The value of an environment variable, or nullptr when it is not set.
const char* pf_getenv(const char* name);
// The directory that holds the user's per-program configuration folders,
// without a trailing separator: $XDG_CONFIG_HOME when it is set to an
// absolute path, else $HOME/.config (on Windows, else %APPDATA%). 0, or 1
// when neither gives one or it does not fit in cap.
int pf_config_home(char* out, size_t cap);
