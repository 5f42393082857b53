// Win32 implementation of platform.h (64-bit Windows, MinGW-w64 or MSVC).
//
// Paths arrive as 8-bit strings in the ANSI code page (the configuration's
// paths are stored that way, and the command line is converted to it) and
// are handed to the wide-character API as UTF-16. Files are opened with every
// share mode, as the contract promises; byte locks are LockFileEx locks,
// which belong to the handle. The lock file is opened without sharing and
// with FILE_FLAG_DELETE_ON_CLOSE, so the system deletes it when its holder
// closes it or dies.
#ifdef _WIN32

#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <windows.h>
#include <winsock2.h>
#include <ws2tcpip.h>

#include <atomic>
#include <string>

#include "platform/platform.h"
#include "platform/win32_args.h"

namespace {

std::wstring widen(const char* s) {
    if (s == nullptr || s[0] == '\0') return std::wstring();
    int n = MultiByteToWideChar(CP_ACP, 0, s, -1, nullptr, 0);
    if (n <= 0) return std::wstring();
    std::wstring w(static_cast<size_t>(n), L'\0');
    MultiByteToWideChar(CP_ACP, 0, s, -1, w.data(), n);
    w.resize(static_cast<size_t>(n - 1));
    return w;
}

std::string narrow(const wchar_t* w) {
    int n = WideCharToMultiByte(CP_ACP, 0, w, -1, nullptr, 0, nullptr, nullptr);
    if (n <= 0) return std::string();
    std::string s(static_cast<size_t>(n), '\0');
    WideCharToMultiByte(CP_ACP, 0, w, -1, s.data(), n, nullptr, nullptr);
    s.resize(static_cast<size_t>(n - 1));
    return s;
}

HANDLE H(pf_file h) {
    return reinterpret_cast<HANDLE>(h);
}

pf_file F(HANDLE h) {
    return reinterpret_cast<pf_file>(h);
}

// FILETIME (100 ns since 1601) to seconds since 1970.
int64_t unix_time(FILETIME ft) {
    uint64_t t = (static_cast<uint64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
    return static_cast<int64_t>(t / 10000000ull) - 11644473600ll;
}

int put(const std::string& s, char* out, size_t cap) {
    if (s.size() + 1 > cap) return 1;
    memcpy(out, s.c_str(), s.size() + 1);
    return 0;
}

}  // namespace

// ---- Files ----------------------------------------------------------------

static long g_fault_write = 0;

void pf_fault_write_after(long n) {
    g_fault_write = n;
}

static std::atomic<long> g_fault_sync{0};

void pf_fault_sync_after(long n) {
    g_fault_sync.store(n);
}

static bool fault_now() {
    if (g_fault_write > 0 && --g_fault_write == 0) return true;
    return false;
}

pf_file pf_open(const char* path, PfAccess access, PfCreate disposition) {
    if (path == nullptr || path[0] == '\0') return PF_INVALID;
    DWORD create = OPEN_EXISTING;
    switch (disposition) {
        case PfCreate::OpenExisting:
            create = OPEN_EXISTING;
            break;
        case PfCreate::OpenAlways:
            create = OPEN_ALWAYS;
            break;
        case PfCreate::CreateAlways:
            create = CREATE_ALWAYS;
            break;
        case PfCreate::CreateNew:
            create = CREATE_NEW;
            break;
        case PfCreate::TruncateExisting:
            create = TRUNCATE_EXISTING;
            break;
    }
    DWORD rights = access == PfAccess::Read ? GENERIC_READ : GENERIC_READ | GENERIC_WRITE;
    // TRUNCATE_EXISTING needs write access even for a reader.
    if (create == TRUNCATE_EXISTING) rights |= GENERIC_WRITE;
    HANDLE h = CreateFileW(widen(path).c_str(), rights,
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, create,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) return PF_INVALID;
    // Only files on a disk: a console, a serial port or a pipe would block
    // reads (directories are refused by CreateFileW itself).
    if (GetFileType(h) != FILE_TYPE_DISK) {
        CloseHandle(h);
        return PF_INVALID;
    }
    return F(h);
}

// A file created here takes the access rules of its directory (inherited
// ACLs), as the file it may replace there did: the POSIX mode bits have no
// part in who can read it, so none are applied.
pf_file pf_open_mode(const char* path, PfAccess access, PfCreate disposition, uint32_t) {
    return pf_open(path, access, disposition);
}

pf_file pf_open_stream(const char* path) {
    if (path == nullptr || path[0] == '\0') return PF_INVALID;
    HANDLE h = CreateFileW(widen(path).c_str(), GENERIC_READ,
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    return h == INVALID_HANDLE_VALUE ? PF_INVALID : F(h);
}

void pf_close(pf_file h) {
    if (h != PF_INVALID) CloseHandle(H(h));
}

int64_t pf_read(pf_file h, void* buf, size_t n) {
    DWORD got = 0;
    if (n > 0x7fffffff) n = 0x7fffffff;
    if (!ReadFile(H(h), buf, static_cast<DWORD>(n), &got, nullptr)) {
        return GetLastError() == ERROR_BROKEN_PIPE ? 0 : -1;
    }
    return got;
}

// ReadFile has no vectored form for ordinary handles: pf_read per piece.
int64_t pf_readv(pf_file h, const PfIoVec* v, size_t count) {
    int64_t total = 0;
    for (size_t i = 0; i < count; ++i) {
        char* p = static_cast<char*>(v[i].buf);
        size_t n = v[i].n;
        while (n > 0) {
            int64_t got = pf_read(h, p, n);
            if (got < 0) return -1;
            if (got == 0) return total;
            p += got;
            n -= static_cast<size_t>(got);
            total += got;
        }
    }
    return total;
}

int pf_write(pf_file h, const void* buf, size_t n) {
    if (fault_now()) return 1;
    const char* p = static_cast<const char*>(buf);
    while (n > 0) {
        DWORD chunk = n > 0x40000000 ? 0x40000000 : static_cast<DWORD>(n), put_n = 0;
        if (!WriteFile(H(h), p, chunk, &put_n, nullptr) || put_n == 0) return 1;
        p += put_n;
        n -= put_n;
    }
    return 0;
}

// Positioned I/O through an OVERLAPPED offset moves the file pointer of a
// synchronous handle; it is saved and put back so the contract holds.
int64_t pf_pread(pf_file h, void* buf, size_t n, uint64_t offset) {
    int64_t keep = pf_seek(h, 0, PfSeek::Current);
    if (keep < 0) return -1;
    char* p = static_cast<char*>(buf);
    int64_t total = 0;
    while (n > 0) {
        OVERLAPPED ov{};
        uint64_t at = offset + static_cast<uint64_t>(total);
        ov.Offset = static_cast<DWORD>(at);
        ov.OffsetHigh = static_cast<DWORD>(at >> 32);
        DWORD chunk = n > 0x40000000 ? 0x40000000 : static_cast<DWORD>(n), got = 0;
        if (!ReadFile(H(h), p, chunk, &got, &ov)) {
            if (GetLastError() == ERROR_HANDLE_EOF) break;
            pf_seek(h, keep, PfSeek::Begin);
            return -1;
        }
        if (got == 0) break;
        p += got;
        n -= got;
        total += got;
    }
    pf_seek(h, keep, PfSeek::Begin);
    return total;
}

int pf_pwrite(pf_file h, const void* buf, size_t n, uint64_t offset) {
    if (fault_now()) return 1;
    int64_t keep = pf_seek(h, 0, PfSeek::Current);
    if (keep < 0) return 1;
    const char* p = static_cast<const char*>(buf);
    int rc = 0;
    while (n > 0) {
        OVERLAPPED ov{};
        ov.Offset = static_cast<DWORD>(offset);
        ov.OffsetHigh = static_cast<DWORD>(offset >> 32);
        DWORD chunk = n > 0x40000000 ? 0x40000000 : static_cast<DWORD>(n), put_n = 0;
        if (!WriteFile(H(h), p, chunk, &put_n, &ov) || put_n == 0) {
            rc = 1;
            break;
        }
        p += put_n;
        n -= put_n;
        offset += put_n;
    }
    pf_seek(h, keep, PfSeek::Begin);
    return rc;
}

int64_t pf_seek(pf_file h, int64_t offset, PfSeek origin) {
    LARGE_INTEGER d, r;
    d.QuadPart = offset;
    DWORD how = origin == PfSeek::Begin     ? FILE_BEGIN
                : origin == PfSeek::Current ? FILE_CURRENT
                                            : FILE_END;
    if (!SetFilePointerEx(H(h), d, &r, how)) return -1;
    return r.QuadPart;
}

int64_t pf_size(pf_file h) {
    LARGE_INTEGER s;
    if (!GetFileSizeEx(H(h), &s)) return -1;
    return s.QuadPart;
}

int pf_file_id(pf_file h, PfFileId& out) {
    BY_HANDLE_FILE_INFORMATION fi;
    if (!GetFileInformationByHandle(H(h), &fi)) return 1;
    out.volume = fi.dwVolumeSerialNumber;
    out.file = (static_cast<uint64_t>(fi.nFileIndexHigh) << 32) | fi.nFileIndexLow;
    out.write_ns =
        static_cast<int64_t>(((static_cast<uint64_t>(fi.ftLastWriteTime.dwHighDateTime) << 32) |
                              fi.ftLastWriteTime.dwLowDateTime) *
                             100);
    out.size =
        static_cast<int64_t>((static_cast<uint64_t>(fi.nFileSizeHigh) << 32) | fi.nFileSizeLow);
    return 0;
}

int pf_set_end(pf_file h) {
    return SetEndOfFile(H(h)) ? 0 : 1;
}

int pf_sync(pf_file h) {
    long n = g_fault_sync.load();
    while (n > 0 && !g_fault_sync.compare_exchange_weak(n, n - 1)) {
    }
    if (n == 1) return 1;
    return FlushFileBuffers(H(h)) ? 0 : 1;
}

int pf_start_writeback(pf_file h, uint64_t offset, uint64_t len) {
    // Windows has no call that starts write-back of a range without waiting
    // for it; the cache manager writes dirty pages on its own, and the final
    // pf_sync (FlushFileBuffers) writes the rest.
    (void)h;
    (void)offset;
    (void)len;
    return 0;
}

int pf_sync_dir(const char* dir) {
    // NTFS journals its directory changes itself; there is no directory
    // handle to flush for an ordinary program. The directory must exist.
    DWORD a = GetFileAttributesW(widen(dir).c_str());
    return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY) ? 0 : 1;
}

int pf_lock_range(pf_file h, uint64_t offset, uint64_t len) {
    OVERLAPPED ov{};
    ov.Offset = static_cast<DWORD>(offset);
    ov.OffsetHigh = static_cast<DWORD>(offset >> 32);
    if (LockFileEx(H(h), LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0,
                   static_cast<DWORD>(len), static_cast<DWORD>(len >> 32), &ov)) {
        return 0;
    }
    DWORD e = GetLastError();
    return e == ERROR_LOCK_VIOLATION || e == ERROR_IO_PENDING ? 1 : -1;
}

int pf_unlock_range(pf_file h, uint64_t offset, uint64_t len) {
    OVERLAPPED ov{};
    ov.Offset = static_cast<DWORD>(offset);
    ov.OffsetHigh = static_cast<DWORD>(offset >> 32);
    return UnlockFileEx(H(h), 0, static_cast<DWORD>(len), static_cast<DWORD>(len >> 32), &ov) ? 0
                                                                                              : 1;
}

// ---- Paths and directories ------------------------------------------------

int pf_delete(const char* path) {
    return DeleteFileW(widen(path).c_str()) ? 0 : 1;
}

int pf_rename(const char* from, const char* to, bool replace) {
    DWORD flags = MOVEFILE_COPY_ALLOWED | MOVEFILE_WRITE_THROUGH;
    if (replace) flags |= MOVEFILE_REPLACE_EXISTING;
    return MoveFileExW(widen(from).c_str(), widen(to).c_str(), flags) ? 0 : 1;
}

int pf_mkdir(const char* path) {
    if (CreateDirectoryW(widen(path).c_str(), nullptr)) return 0;
    return GetLastError() == ERROR_ALREADY_EXISTS ? 1 : -1;
}

PfStat pf_stat(const char* path) {
    PfStat st;
    WIN32_FILE_ATTRIBUTE_DATA d;
    if (path == nullptr || !GetFileAttributesExW(widen(path).c_str(), GetFileExInfoStandard, &d)) {
        return st;
    }
    st.exists = true;
    st.is_dir = (d.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    st.is_file = !st.is_dir && (d.dwFileAttributes & FILE_ATTRIBUTE_DEVICE) == 0;
    st.read_only = (d.dwFileAttributes & FILE_ATTRIBUTE_READONLY) != 0;
    st.size = static_cast<int64_t>((static_cast<uint64_t>(d.nFileSizeHigh) << 32) | d.nFileSizeLow);
    st.mtime = unix_time(d.ftLastWriteTime);
    // Windows knows only "read-only"; the bits are what a POSIX system would
    // show for such a file.
    st.mode = st.read_only ? 0444 : 0644;
    if (st.is_dir) st.mode |= 0111;
    return st;
}

int pf_chmod(const char* path, uint32_t mode) {
    std::wstring w = widen(path);
    DWORD a = GetFileAttributesW(w.c_str());
    if (a == INVALID_FILE_ATTRIBUTES) return 1;
    if (mode & 0200) {
        a &= ~static_cast<DWORD>(FILE_ATTRIBUTE_READONLY);
    } else {
        a |= FILE_ATTRIBUTE_READONLY;
    }
    if (a == 0) a = FILE_ATTRIBUTE_NORMAL;
    return SetFileAttributesW(w.c_str(), a) ? 0 : 1;
}

static long g_fault_chown = 0;

void pf_fault_chown_after(long n) {
    g_fault_chown = n;
}

int pf_chown_like(pf_file, const char* like) {
    if (g_fault_chown > 0 && --g_fault_chown == 0) return 1;
    // A file created in the folder got the folder's inherited rules, as the
    // file it replaces did; owners are not handed on by the rename.
    return GetFileAttributesW(widen(like).c_str()) == INVALID_FILE_ATTRIBUTES ? 1 : 0;
}

int pf_list_dir(const char* path, std::vector<PfDirEntry>& out) {
    std::wstring pattern = widen(path);
    if (!pattern.empty() && pattern.back() != L'\\' && pattern.back() != L'/') pattern += L'\\';
    pattern += L'*';
    WIN32_FIND_DATAW fd;
    HANDLE h = FindFirstFileW(pattern.c_str(), &fd);
    if (h == INVALID_HANDLE_VALUE) {
        // An empty directory still yields "." and "..", so failure means the
        // directory itself is not there.
        return 1;
    }
    do {
        if (wcscmp(fd.cFileName, L".") == 0 || wcscmp(fd.cFileName, L"..") == 0) continue;
        PfDirEntry e;
        e.name = narrow(fd.cFileName);
        e.is_dir = (fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
        e.is_file = !e.is_dir && (fd.dwFileAttributes & FILE_ATTRIBUTE_DEVICE) == 0;
        e.size =
            static_cast<int64_t>((static_cast<uint64_t>(fd.nFileSizeHigh) << 32) | fd.nFileSizeLow);
        e.mtime = unix_time(fd.ftLastWriteTime);
        out.push_back(std::move(e));
    } while (FindNextFileW(h, &fd));
    FindClose(h);
    return 0;
}

int pf_full_path(const char* path, char* out, size_t cap) {
    wchar_t buf[32768];
    DWORD n = GetFullPathNameW(widen(path).c_str(), 32768, buf, nullptr);
    if (n == 0 || n >= 32768) return 1;
    return put(narrow(buf), out, cap);
}

int pf_real_path(const char* path, char* out, size_t cap) {
    HANDLE h =
        CreateFileW(widen(path).c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h == INVALID_HANDLE_VALUE) return 1;
    wchar_t buf[32768];
    DWORD n = GetFinalPathNameByHandleW(h, buf, 32768, FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    CloseHandle(h);
    if (n == 0 || n >= 32768) return pf_full_path(path, out, cap);
    const wchar_t* p = buf;
    if (wcsncmp(p, L"\\\\?\\UNC\\", 8) == 0) {
        std::wstring unc = L"\\\\" + std::wstring(p + 8);
        return put(narrow(unc.c_str()), out, cap);
    }
    if (wcsncmp(p, L"\\\\?\\", 4) == 0) p += 4;
    return put(narrow(p), out, cap);
}

// ---- Exclusive lock file --------------------------------------------------

int pf_lockfile_try(const char* path, const char* content, PfLockFile& lf) {
    // No sharing: a second opener fails with a sharing violation while the
    // holder lives. Delete-on-close removes the file when the holder closes
    // the handle or the system closes it for a dead process. Readers that
    // want the note inside must open it with FILE_SHARE_DELETE.
    HANDLE h = CreateFileW(widen(path).c_str(), GENERIC_READ | GENERIC_WRITE | DELETE,
                           FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, OPEN_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        DWORD e = GetLastError();
        return e == ERROR_SHARING_VIOLATION || e == ERROR_ACCESS_DENIED ? 1 : -1;
    }
    // Readers may share the file, so the lock itself is a byte lock on the
    // whole range that a second writer-opener could never take.
    OVERLAPPED ov{};
    if (!LockFileEx(h, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, MAXDWORD, MAXDWORD,
                    &ov)) {
        CloseHandle(h);
        return 1;
    }
    SetEndOfFile(h);
    size_t n = content ? strlen(content) : 0;
    if (n > 0) {
        DWORD w = 0;
        // The lock is ours even when the note inside cannot be written.
        WriteFile(h, content, static_cast<DWORD>(n), &w, nullptr);
    }
    lf.fd = F(h);
    lf.path = path;
    return 0;
}

void pf_lockfile_release(PfLockFile& lf) {
    if (lf.fd == PF_INVALID) return;
    CloseHandle(H(lf.fd));  // deletes the file
    lf.fd = PF_INVALID;
    lf.path.clear();
}

// ---- Time -----------------------------------------------------------------

void pf_sleep_ms(uint32_t ms) {
    Sleep(ms);
}

int64_t pf_unix_now_utc() {
    FILETIME ft;
    GetSystemTimeAsFileTime(&ft);
    return unix_time(ft);
}

int pf_utc_offset_minutes() {
    TIME_ZONE_INFORMATION tz;
    DWORD r = GetTimeZoneInformation(&tz);
    long bias = tz.Bias;
    if (r == TIME_ZONE_ID_DAYLIGHT) bias += tz.DaylightBias;
    if (r == TIME_ZONE_ID_STANDARD) bias += tz.StandardBias;
    return static_cast<int>(-bias);
}

uint64_t pf_unix_now_local() {
    return static_cast<uint64_t>(pf_unix_now_utc() + pf_utc_offset_minutes() * 60);
}

PfLocalTime pf_local_time() {
    SYSTEMTIME t;
    GetLocalTime(&t);
    return PfLocalTime{t.wYear, t.wMonth, t.wDay, t.wHour, t.wMinute, t.wSecond, t.wDayOfWeek};
}

uint64_t pf_ticks_ms() {
    return GetTickCount64();
}

// ---- Processes ------------------------------------------------------------

uint32_t pf_getpid() {
    return GetCurrentProcessId();
}

bool pf_pid_alive(uint32_t pid) {
    if (pid == 0) return false;
    HANDLE h = OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
    if (h == nullptr) return GetLastError() == ERROR_ACCESS_DENIED;
    DWORD r = WaitForSingleObject(h, 0);
    CloseHandle(h);
    return r == WAIT_TIMEOUT;
}

int pf_self_exe(char* out, size_t cap) {
    wchar_t buf[32768];
    DWORD n = GetModuleFileNameW(nullptr, buf, 32768);
    if (n == 0 || n >= 32768 || put(narrow(buf), out, cap) != 0) {
        if (cap > 0) out[0] = '\0';
        return 1;
    }
    return 0;
}

void* pf_module_entry(const char* path, const char* name, std::string& err) {
    HMODULE m = LoadLibraryW(widen(path).c_str());
    if (m == nullptr) {
        err = "cannot load (Windows error " + std::to_string(GetLastError()) + ")";
        return nullptr;
    }
    FARPROC f = GetProcAddress(m, name);
    if (f == nullptr) {
        err = "entry not found";
        return nullptr;
    }
    return reinterpret_cast<void*>(f);
}

// One argument quoted as the C runtime's command-line parser reads it back.
static void quote_arg(std::wstring& cmd, const std::wstring& a) {
    if (!a.empty() && a.find_first_of(L" \t\n\v\"") == std::wstring::npos) {
        cmd += a;
        return;
    }
    cmd += L'"';
    for (size_t i = 0;; ++i) {
        size_t slashes = 0;
        while (i < a.size() && a[i] == L'\\') {
            ++i;
            ++slashes;
        }
        if (i == a.size()) {
            cmd.append(slashes * 2, L'\\');
            break;
        }
        if (a[i] == L'"') {
            cmd.append(slashes * 2 + 1, L'\\');
        } else {
            cmd.append(slashes, L'\\');
        }
        cmd += a[i];
    }
    cmd += L'"';
}

int pf_spawn(const std::vector<std::string>& argv, PfChild& child) {
    child = PfChild{};
    if (argv.empty()) return 1;
    SECURITY_ATTRIBUTES sa{};
    sa.nLength = sizeof sa;
    sa.bInheritHandle = TRUE;
    HANDLE rd, wr;
    if (!CreatePipe(&rd, &wr, &sa, 0)) return 1;
    SetHandleInformation(rd, HANDLE_FLAG_INHERIT, 0);
    std::wstring cmd;
    for (size_t i = 0; i < argv.size(); ++i) {
        if (i > 0) cmd += L' ';
        quote_arg(cmd, widen(argv[i].c_str()));
    }
    STARTUPINFOW si{};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    si.hStdOutput = wr;
    si.hStdError = wr;
    PROCESS_INFORMATION pi{};
    std::wstring app = widen(argv[0].c_str());
    BOOL ok = CreateProcessW(app.c_str(), cmd.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                             &si, &pi);
    CloseHandle(wr);
    if (!ok) {
        CloseHandle(rd);
        return 1;
    }
    CloseHandle(pi.hThread);
    // The process handle travels in pid; pf_wait_child closes it.
    child.pid = static_cast<int64_t>(reinterpret_cast<intptr_t>(pi.hProcess));
    child.out = F(rd);
    return 0;
}

int pf_wait_child(PfChild& child) {
    if (child.pid <= 0) return 255;
    HANDLE p = reinterpret_cast<HANDLE>(static_cast<intptr_t>(child.pid));
    child.pid = -1;
    DWORD code = 255;
    if (WaitForSingleObject(p, INFINITE) != WAIT_OBJECT_0 || !GetExitCodeProcess(p, &code)) {
        code = 255;
    }
    CloseHandle(p);
    return code > 255 ? 255 : static_cast<int>(code);
}

// ---- Console --------------------------------------------------------------

static bool handle_usable(HANDLE h) {
    return h != nullptr && h != INVALID_HANDLE_VALUE && GetFileType(h) != FILE_TYPE_UNKNOWN;
}

pf_file pf_console_std() {
    HANDLE h = GetStdHandle(STD_OUTPUT_HANDLE);
    return handle_usable(h) ? F(h) : PF_INVALID;
}

pf_file pf_console_err() {
    HANDLE h = GetStdHandle(STD_ERROR_HANDLE);
    return handle_usable(h) ? F(h) : PF_INVALID;
}

pf_file pf_console_in() {
    HANDLE h = GetStdHandle(STD_INPUT_HANDLE);
    return handle_usable(h) ? F(h) : PF_INVALID;
}

int pf_write_utf8_out(const char* buf, size_t n) {
    HANDLE h = GetStdHandle(STD_OUTPUT_HANDLE);
    if (!handle_usable(h)) return 1;
    DWORD mode;
    if (GetConsoleMode(h, &mode)) {
        // A console takes characters: UTF-16, independent of its code page.
        // A piece never ends inside a UTF-8 sequence.
        while (n > 0) {
            size_t k = n > 0x8000 ? 0x8000 : n;
            while (k < n && k > 1 && (static_cast<unsigned char>(buf[k]) & 0xC0) == 0x80) --k;
            int wn = MultiByteToWideChar(CP_UTF8, 0, buf, static_cast<int>(k), nullptr, 0);
            std::wstring w(static_cast<size_t>(wn), L'\0');
            MultiByteToWideChar(CP_UTF8, 0, buf, static_cast<int>(k), w.data(), wn);
            DWORD put = 0;
            if (wn > 0 && !WriteConsoleW(h, w.data(), static_cast<DWORD>(wn), &put, nullptr))
                return 1;
            buf += k;
            n -= k;
        }
        return 0;
    }
    while (n > 0) {
        DWORD w = 0;
        DWORD chunk = n > 0x10000 ? 0x10000 : static_cast<DWORD>(n);
        if (!WriteFile(h, buf, chunk, &w, nullptr) || w == 0) return 1;
        buf += w;
        n -= w;
    }
    return 0;
}

pf_file pf_console_cli() {
    pf_file f = pf_console_std();
    if (f != PF_INVALID) return f;
    HANDLE h = CreateFileW(L"CONOUT$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_WRITE, nullptr,
                           OPEN_EXISTING, 0, nullptr);
    return h != INVALID_HANDLE_VALUE ? F(h) : PF_INVALID;
}

void pf_console_write(pf_file h, const char* buf, size_t n) {
    if (h == PF_INVALID) return;
    // Texts are in code page 437, the OEM code page of the consoles this
    // program speaks to; a console window is told so once.
    static bool set = false;
    if (!set) {
        DWORD mode;
        if (GetConsoleMode(H(h), &mode)) SetConsoleOutputCP(GetOEMCP());
        set = true;
    }
    while (n > 0) {
        DWORD w = 0;
        DWORD chunk = n > 0x10000 ? 0x10000 : static_cast<DWORD>(n);
        if (!WriteFile(H(h), buf, chunk, &w, nullptr) || w == 0) return;
        buf += w;
        n -= w;
    }
}

// ---- User interface language ----------------------------------------------

int pf_ui_language() {
    // The environment overrides as on other systems (tests rely on it); then
    // the Windows user interface language decides.
    const char* names[] = {"LC_ALL", "LC_MESSAGES", "LANG"};
    for (const char* n : names) {
        const char* v = getenv(n);
        if (v != nullptr && v[0] != '\0') return (v[0] == 'd' && v[1] == 'e') ? 1 : 2;
    }
    return PRIMARYLANGID(GetUserDefaultUILanguage()) == LANG_GERMAN ? 1 : 2;
}

bool pf_has_display() {
    // Every interactive Windows session has a desktop.
    return GetSystemMetrics(SM_CMONITORS) > 0 || getenv("QT_QPA_PLATFORM") != nullptr;
}

int pf_wcsicmp(const char16_t* a, const char16_t* b) {
    int r = CompareStringEx(LOCALE_NAME_USER_DEFAULT, LINGUISTIC_IGNORECASE,
                            reinterpret_cast<const wchar_t*>(a), -1,
                            reinterpret_cast<const wchar_t*>(b), -1, nullptr, nullptr, 0);
    return r == 0 ? 0 : r - CSTR_EQUAL;
}

// ---- TCP sockets ----------------------------------------------------------

int pf_net_startup() {
    WSADATA d;
    return WSAStartup(MAKEWORD(2, 2), &d) == 0 ? 0 : 1;
}

void pf_net_cleanup() {
    WSACleanup();
}

pf_sock pf_tcp_connect(const char* host, const char* port) {
    ADDRINFOW hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    ADDRINFOW* list = nullptr;
    if (GetAddrInfoW(widen(host).c_str(), widen(port).c_str(), &hints, &list) != 0) {
        return PF_NOSOCK;
    }
    pf_sock s = PF_NOSOCK;
    for (ADDRINFOW* a = list; a != nullptr; a = a->ai_next) {
        SOCKET fd = WSASocketW(a->ai_family, a->ai_socktype, a->ai_protocol, nullptr, 0,
                               WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT);
        if (fd == INVALID_SOCKET) continue;
        if (connect(fd, a->ai_addr, static_cast<int>(a->ai_addrlen)) == 0) {
            // One send per frame: no small frame is held back (see posix.cc).
            BOOL one = TRUE;
            setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&one),
                       sizeof one);
            s = static_cast<pf_sock>(fd);
            break;
        }
        closesocket(fd);
    }
    FreeAddrInfoW(list);
    return s;
}

int pf_sock_timeouts(pf_sock s, uint32_t ms) {
    DWORD t = ms;
    const char* p = reinterpret_cast<const char*>(&t);
    int a = setsockopt(static_cast<SOCKET>(s), SOL_SOCKET, SO_RCVTIMEO, p, sizeof t);
    int b = setsockopt(static_cast<SOCKET>(s), SOL_SOCKET, SO_SNDTIMEO, p, sizeof t);
    return a == 0 && b == 0 ? 0 : 1;
}

int64_t pf_sock_send(pf_sock s, const void* buf, size_t n) {
    if (n > 0x7fffffff) n = 0x7fffffff;
    int r = ::send(static_cast<SOCKET>(s), static_cast<const char*>(buf), static_cast<int>(n), 0);
    return r > 0 ? r : -1;
}

int64_t pf_sock_recv(pf_sock s, void* buf, size_t n) {
    if (n > 0x7fffffff) n = 0x7fffffff;
    int r = ::recv(static_cast<SOCKET>(s), static_cast<char*>(buf), static_cast<int>(n), 0);
    return r < 0 ? -1 : r;
}

int pf_sock_wait_readable(pf_sock s, uint32_t ms) {
    WSAPOLLFD p{};
    p.fd = static_cast<SOCKET>(s);
    p.events = POLLRDNORM;
    int wait = ms > INT32_MAX ? INT32_MAX : static_cast<int>(ms);
    int r = WSAPoll(&p, 1, wait);
    return r < 0 ? -1 : r;
}

// ---- Threads ----------------------------------------------------------------

namespace {

struct ThreadCall {
    void (*fn)(void*);
    void* arg;
};

DWORD WINAPI thread_main(LPVOID p) {
    ThreadCall c = *static_cast<ThreadCall*>(p);
    delete static_cast<ThreadCall*>(p);
    c.fn(c.arg);
    return 0;
}

}  // namespace

bool pf_thread_start(PfThread& t, void (*fn)(void*), void* arg) {
    t.started = false;
    ThreadCall* c = new ThreadCall{fn, arg};
    HANDLE h = CreateThread(nullptr, 0, thread_main, c, 0, nullptr);
    if (h == nullptr) {
        delete c;
        return false;
    }
    t.t = h;
    t.started = true;
    return true;
}

void pf_thread_join(PfThread& t) {
    if (!t.started) return;
    WaitForSingleObject(static_cast<HANDLE>(t.t), INFINITE);
    CloseHandle(static_cast<HANDLE>(t.t));
    t.started = false;
}

int pf_sock_shutdown_send(pf_sock s) {
    return ::shutdown(static_cast<SOCKET>(s), SD_SEND) == 0 ? 0 : 1;
}

void pf_sock_close(pf_sock s) {
    if (s != PF_NOSOCK) closesocket(static_cast<SOCKET>(s));
}

int pf_sock_pair(pf_sock out[2]) {
    // No socketpair on Windows: a listener on the loopback, connected once.
    SOCKET l = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (l == INVALID_SOCKET) return 1;
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int len = sizeof a;
    SOCKET c = INVALID_SOCKET, d = INVALID_SOCKET;
    if (bind(l, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 && listen(l, 1) == 0 &&
        getsockname(l, reinterpret_cast<sockaddr*>(&a), &len) == 0) {
        c = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        if (c != INVALID_SOCKET && connect(c, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) {
            d = accept(l, nullptr, nullptr);
        }
    }
    closesocket(l);
    if (d == INVALID_SOCKET) {
        if (c != INVALID_SOCKET) closesocket(c);
        return 1;
    }
    out[0] = static_cast<pf_sock>(c);
    out[1] = static_cast<pf_sock>(d);
    return 0;
}

// ---- Command line ---------------------------------------------------------

std::vector<std::string> pf_args_from_wide(int argc, wchar_t** wargv) {
    std::vector<std::string> args;
    for (int i = 0; i < argc; ++i) args.push_back(narrow(wargv[i]));
    return args;
}

// ---- Environment ----------------------------------------------------------

const char* pf_getenv(const char* name) {
    return getenv(name);
}

// The per-user folder for roaming settings (%APPDATA%); an XDG_CONFIG_HOME
// set to an absolute path wins, as on other systems.
int pf_config_home(char* out, size_t cap) {
    const wchar_t* names[] = {L"XDG_CONFIG_HOME", L"APPDATA"};
    for (const wchar_t* name : names) {
        wchar_t buf[32768];
        DWORD n = GetEnvironmentVariableW(name, buf, 32768);
        if (n == 0 || n >= 32768) continue;
        std::string dir = narrow(buf);
        bool absolute = dir.size() >= 3 && dir[1] == ':' && (dir[2] == '\\' || dir[2] == '/');
        if (!absolute && !(dir.size() >= 2 && dir[0] == '\\' && dir[1] == '\\')) continue;
        while (dir.size() > 3 && (dir.back() == '\\' || dir.back() == '/')) dir.pop_back();
        if (dir.size() + 1 > cap) return 1;
        memcpy(out, dir.c_str(), dir.size() + 1);
        return 0;
    }
    return 1;
}

// ---- Stop requests ----------------------------------------------------------

static volatile LONG g_stop = 0;

// Console control events arrive on a thread of their own: the first one only
// sets the flag, a later one takes the default path and ends the process.
static BOOL WINAPI on_console_event(DWORD) {
    return InterlockedExchange(&g_stop, 1) == 0 ? TRUE : FALSE;
}

void pf_stop_signals(bool on) {
    if (on) {
        InterlockedExchange(&g_stop, 0);
        SetConsoleCtrlHandler(on_console_event, TRUE);
    } else {
        SetConsoleCtrlHandler(on_console_event, FALSE);
    }
}

bool pf_stop_requested() {
    return g_stop != 0;
}

#endif  // _WIN32
