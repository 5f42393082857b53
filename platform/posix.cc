// POSIX (Linux) implementation of platform.h.
//
// Byte-range locks are open-file-description locks (F_OFD_SETLK): they belong
// to the open file, so two handles in one process exclude each other, and the
// kernel drops them when the last descriptor of the description closes. The
// lock file uses flock(LOCK_EX) and checks after locking that the path still
// names the locked inode, because a releasing holder unlinks it.
#ifndef _WIN32

#include <dirent.h>
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/uio.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <string>

#include "platform/platform.h"

// ---- Files ----------------------------------------------------------------

static long g_fault_write = 0;

void pf_fault_write_after(long n) {
    g_fault_write = n;
}

static std::atomic<long> g_fault_sync{0};

void pf_fault_sync_after(long n) {
    g_fault_sync.store(n);
}

pf_file pf_open(const char* path, PfAccess access, PfCreate disposition) {
    return pf_open_mode(path, access, disposition, 0644);
}

pf_file pf_open_mode(const char* path, PfAccess access, PfCreate disposition, uint32_t mode) {
    if (path == nullptr || path[0] == '\0') return PF_INVALID;
    // Not blocking: opening a FIFO would otherwise wait for its writer.
    int flags = O_CLOEXEC | O_NONBLOCK | (access == PfAccess::Read ? O_RDONLY : O_RDWR);
    switch (disposition) {
        case PfCreate::OpenExisting:
            break;
        case PfCreate::OpenAlways:
            flags |= O_CREAT;
            break;
        case PfCreate::CreateAlways:
            flags |= O_CREAT | O_TRUNC;
            break;
        case PfCreate::CreateNew:
            flags |= O_CREAT | O_EXCL;
            break;
        case PfCreate::TruncateExisting:
            flags |= O_TRUNC;
            break;
    }
    int fd;
    do {
        fd = ::open(path, flags, static_cast<mode_t>(mode & 07777));
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return PF_INVALID;
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) ||
        fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK) != 0) {
        ::close(fd);
        return PF_INVALID;
    }
    return fd;
}

pf_file pf_open_stream(const char* path) {
    if (path == nullptr || path[0] == '\0') return PF_INVALID;
    int fd;
    do {
        fd = ::open(path, O_RDONLY | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return PF_INVALID;
    struct stat st;
    if (fstat(fd, &st) != 0 || S_ISDIR(st.st_mode)) {
        ::close(fd);
        return PF_INVALID;
    }
    return fd;
}

void pf_close(pf_file h) {
    if (h >= 0) ::close(h);
}

int64_t pf_read(pf_file h, void* buf, size_t n) {
    if (h < 0) return -1;
    ssize_t r;
    do {
        r = ::read(h, buf, n);
    } while (r < 0 && errno == EINTR);
    return r;
}

int64_t pf_readv(pf_file h, const PfIoVec* v, size_t count) {
    if (h < 0) return -1;
    // The pieces left, IOV_MAX at a time; after a short read the piece it
    // ended in is continued from where it stopped.
    struct iovec iov[64];
    size_t next = 0;     // first piece not yet handed to the system
    size_t done_in = 0;  // bytes of v[next] already read
    int64_t total = 0;
    while (next < count) {
        int n = 0;
        for (size_t i = next; i < count && n < 64; ++i, ++n) {
            size_t skip = i == next ? done_in : 0;
            iov[n].iov_base = static_cast<char*>(v[i].buf) + skip;
            iov[n].iov_len = v[i].n - skip;
        }
        ssize_t r = ::readv(h, iov, n);
        if (r < 0) {
            if (errno == EINTR) continue;
            return -1;
        }
        if (r == 0) break;
        total += r;
        size_t left = static_cast<size_t>(r);
        while (next < count && left >= v[next].n - done_in) {
            left -= v[next].n - done_in;
            done_in = 0;
            ++next;
        }
        done_in += left;
    }
    return total;
}

int pf_write(pf_file h, const void* buf, size_t n) {
    if (h < 0) return 1;
    if (g_fault_write > 0 && --g_fault_write == 0) return 1;
    const char* p = static_cast<const char*>(buf);
    while (n > 0) {
        ssize_t w = ::write(h, p, n);
        if (w < 0) {
            if (errno == EINTR) continue;
            return 1;
        }
        if (w == 0) return 1;
        p += w;
        n -= static_cast<size_t>(w);
    }
    return 0;
}

int64_t pf_pread(pf_file h, void* buf, size_t n, uint64_t offset) {
    if (h < 0) return -1;
    char* p = static_cast<char*>(buf);
    size_t got = 0;
    while (got < n) {
        ssize_t r = ::pread(h, p + got, n - got, static_cast<off_t>(offset + got));
        if (r < 0) {
            if (errno == EINTR) continue;
            return -1;
        }
        if (r == 0) break;
        got += static_cast<size_t>(r);
    }
    return static_cast<int64_t>(got);
}

int pf_pwrite(pf_file h, const void* buf, size_t n, uint64_t offset) {
    if (h < 0) return 1;
    if (g_fault_write > 0 && --g_fault_write == 0) return 1;
    const char* p = static_cast<const char*>(buf);
    while (n > 0) {
        ssize_t w = ::pwrite(h, p, n, static_cast<off_t>(offset));
        if (w < 0) {
            if (errno == EINTR) continue;
            return 1;
        }
        if (w == 0) return 1;
        p += w;
        n -= static_cast<size_t>(w);
        offset += static_cast<uint64_t>(w);
    }
    return 0;
}

int64_t pf_seek(pf_file h, int64_t offset, PfSeek origin) {
    int whence = origin == PfSeek::Begin     ? SEEK_SET
                 : origin == PfSeek::Current ? SEEK_CUR
                                             : SEEK_END;
    off_t r = ::lseek(h, static_cast<off_t>(offset), whence);
    return r < 0 ? -1 : static_cast<int64_t>(r);
}

int64_t pf_size(pf_file h) {
    struct stat st;
    if (h < 0 || fstat(h, &st) != 0) return -1;
    return static_cast<int64_t>(st.st_size);
}

int pf_file_id(pf_file h, PfFileId& out) {
    struct stat st;
    if (h < 0 || fstat(h, &st) != 0) return 1;
    out.volume = static_cast<uint64_t>(st.st_dev);
    out.file = static_cast<uint64_t>(st.st_ino);
    out.write_ns = static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
    out.size = static_cast<int64_t>(st.st_size);
    return 0;
}

int pf_set_end(pf_file h) {
    off_t pos = ::lseek(h, 0, SEEK_CUR);
    if (pos < 0) return 1;
    int r;
    do {
        r = ::ftruncate(h, pos);
    } while (r != 0 && errno == EINTR);
    return r == 0 ? 0 : 1;
}

int pf_sync(pf_file h) {
    long n = g_fault_sync.load();
    while (n > 0 && !g_fault_sync.compare_exchange_weak(n, n - 1)) {
    }
    if (n == 1) return 1;
    return ::fsync(h) == 0 ? 0 : 1;
}

int pf_start_writeback(pf_file h, uint64_t offset, uint64_t len) {
#ifdef __linux__
    if (len == 0) return 0;  // 0 would mean "to the end of the file"
    return ::sync_file_range(h, static_cast<off_t>(offset), static_cast<off_t>(len),
                             SYNC_FILE_RANGE_WRITE) == 0
               ? 0
               : 1;
#else
    // No call that starts write-back without waiting; the final pf_sync
    // writes everything.
    (void)h;
    (void)offset;
    (void)len;
    return 0;
#endif
}

int pf_sync_dir(const char* dir) {
    int fd = ::open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return 1;
    int r = ::fsync(fd) == 0 ? 0 : 1;
    ::close(fd);
    return r;
}

static int ofd_lock(pf_file h, short type, uint64_t offset, uint64_t len) {
    struct flock fl;
    memset(&fl, 0, sizeof fl);
    fl.l_type = type;
    fl.l_whence = SEEK_SET;
    fl.l_start = static_cast<off_t>(offset);
    fl.l_len = static_cast<off_t>(len);
    fl.l_pid = 0;
    if (fcntl(h, F_OFD_SETLK, &fl) == 0) return 0;
    if (errno == EAGAIN || errno == EACCES) return 1;
    return -1;
}

int pf_lock_range(pf_file h, uint64_t offset, uint64_t len) {
    if (h < 0) return -1;
    return ofd_lock(h, F_WRLCK, offset, len);
}

int pf_unlock_range(pf_file h, uint64_t offset, uint64_t len) {
    if (h < 0) return -1;
    return ofd_lock(h, F_UNLCK, offset, len) == 0 ? 0 : -1;
}

// ---- Paths and directories ------------------------------------------------

int pf_delete(const char* path) {
    struct stat st;
    if (lstat(path, &st) != 0 || S_ISDIR(st.st_mode)) return 1;
    return ::unlink(path) == 0 ? 0 : 1;
}

int pf_rename(const char* from, const char* to, bool replace) {
    if (replace) return ::rename(from, to) == 0 ? 0 : 1;
    return ::renameat2(AT_FDCWD, from, AT_FDCWD, to, RENAME_NOREPLACE) == 0 ? 0 : 1;
}

int pf_mkdir(const char* path) {
    if (::mkdir(path, 0755) == 0) return 0;
    return errno == EEXIST ? 1 : -1;
}

PfStat pf_stat(const char* path) {
    PfStat s;
    struct stat st;
    if (path == nullptr || ::stat(path, &st) != 0) return s;
    s.exists = true;
    s.is_dir = S_ISDIR(st.st_mode);
    s.is_file = S_ISREG(st.st_mode);
    s.read_only = (st.st_mode & S_IWUSR) == 0;
    s.size = static_cast<int64_t>(st.st_size);
    s.mtime = static_cast<int64_t>(st.st_mtime);
    s.mode = static_cast<uint32_t>(st.st_mode & 07777);
    return s;
}

int pf_chmod(const char* path, uint32_t mode) {
    return ::chmod(path, static_cast<mode_t>(mode)) == 0 ? 0 : 1;
}

static long g_fault_chown = 0;

void pf_fault_chown_after(long n) {
    g_fault_chown = n;
}

int pf_chown_like(pf_file h, const char* like) {
    if (g_fault_chown > 0 && --g_fault_chown == 0) return 1;
    struct stat want, have;
    if (::stat(like, &want) != 0 || ::fstat(h, &have) != 0) return 1;
    if (have.st_uid == want.st_uid && have.st_gid == want.st_gid) return 0;
    return ::fchown(h, want.st_uid, want.st_gid) == 0 ? 0 : 1;
}

int pf_list_dir(const char* path, std::vector<PfDirEntry>& out) {
    out.clear();
    DIR* d = opendir(path);
    if (d == nullptr) return 1;
    std::string base = path;
    if (!base.empty() && base.back() != '/') base += '/';
    while (struct dirent* e = readdir(d)) {
        if (strcmp(e->d_name, ".") == 0 || strcmp(e->d_name, "..") == 0) continue;
        PfDirEntry de;
        de.name = e->d_name;
        struct stat st;
        if (::stat((base + de.name).c_str(), &st) == 0) {
            de.is_dir = S_ISDIR(st.st_mode);
            de.is_file = S_ISREG(st.st_mode);
            de.size = static_cast<int64_t>(st.st_size);
            de.mtime = static_cast<int64_t>(st.st_mtime);
        }
        out.push_back(std::move(de));
    }
    closedir(d);
    return 0;
}

int pf_full_path(const char* path, char* out, size_t cap) {
    std::string in;
    if (path[0] != '/') {
        char cwd[4096];
        if (getcwd(cwd, sizeof cwd) == nullptr) return 1;
        in = cwd;
        in += '/';
    }
    in += path;
    std::vector<std::string> parts;
    size_t i = 0;
    while (i < in.size()) {
        size_t j = in.find('/', i);
        if (j == std::string::npos) j = in.size();
        std::string seg = in.substr(i, j - i);
        if (seg == "..") {
            if (!parts.empty()) parts.pop_back();
        } else if (!seg.empty() && seg != ".") {
            parts.push_back(seg);
        }
        i = j + 1;
    }
    std::string r;
    for (const auto& p : parts) r += "/" + p;
    if (r.empty()) r = "/";
    if (r.size() + 1 > cap) return 1;
    memcpy(out, r.c_str(), r.size() + 1);
    return 0;
}

int pf_real_path(const char* path, char* out, size_t cap) {
    char* r = realpath(path, nullptr);
    if (r == nullptr) return 1;
    size_t n = strlen(r);
    bool fits = n + 1 <= cap;
    if (fits) memcpy(out, r, n + 1);
    free(r);
    return fits ? 0 : 1;
}

// ---- Exclusive lock file --------------------------------------------------

int pf_lockfile_try(const char* path, const char* content, PfLockFile& lf) {
    for (int attempt = 0; attempt < 10; ++attempt) {
        int fd = ::open(path, O_RDWR | O_CREAT | O_CLOEXEC, 0644);
        if (fd < 0) return -1;
        if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
            int e = errno;
            ::close(fd);
            return e == EWOULDBLOCK ? 1 : -1;
        }
        // The previous holder may have unlinked the path between our open and
        // our lock: then we hold a lock on an orphan inode. Try again.
        struct stat a, b;
        if (fstat(fd, &a) != 0 || ::stat(path, &b) != 0 || a.st_ino != b.st_ino ||
            a.st_dev != b.st_dev) {
            ::close(fd);
            continue;
        }
        size_t n = content ? strlen(content) : 0;
        if (ftruncate(fd, 0) != 0 || (n > 0 && pf_write(fd, content, n) != 0)) {
            // The lock is ours even when the note inside cannot be written.
        }
        lf.fd = fd;
        lf.path = path;
        return 0;
    }
    return -1;
}

void pf_lockfile_release(PfLockFile& lf) {
    if (lf.fd < 0) return;
    // Unlink while still holding the lock, so nobody can lock the old inode
    // after we let go and believe it is the current file.
    ::unlink(lf.path.c_str());
    ::close(lf.fd);
    lf.fd = PF_INVALID;
    lf.path.clear();
}

// ---- Time -----------------------------------------------------------------

void pf_sleep_ms(uint32_t ms) {
    struct timespec ts;
    ts.tv_sec = ms / 1000;
    ts.tv_nsec = static_cast<long>(ms % 1000) * 1000000L;
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
}

int64_t pf_unix_now_utc() {
    return static_cast<int64_t>(time(nullptr));
}

int pf_utc_offset_minutes() {
    time_t now = time(nullptr);
    struct tm lt;
    localtime_r(&now, &lt);
    return static_cast<int>(lt.tm_gmtoff / 60);
}

uint64_t pf_unix_now_local() {
    time_t now = time(nullptr);
    struct tm lt;
    localtime_r(&now, &lt);
    return static_cast<uint64_t>(static_cast<int64_t>(now) + lt.tm_gmtoff);
}

PfLocalTime pf_local_time() {
    time_t now = time(nullptr);
    struct tm lt;
    localtime_r(&now, &lt);
    return PfLocalTime{lt.tm_year + 1900, lt.tm_mon + 1, lt.tm_mday, lt.tm_hour,
                       lt.tm_min,         lt.tm_sec,     lt.tm_wday};
}

uint64_t pf_ticks_ms() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
}

// ---- Processes ------------------------------------------------------------

uint32_t pf_getpid() {
    return static_cast<uint32_t>(getpid());
}

bool pf_pid_alive(uint32_t pid) {
    if (pid == 0 || pid > 0x7fffffffu) return false;
    if (kill(static_cast<pid_t>(pid), 0) == 0) return true;
    if (errno == ESRCH) return false;
    return true;  // EPERM: it exists but is not ours
}

int pf_self_exe(char* out, size_t cap) {
    if (cap == 0) return 1;
    ssize_t n = readlink("/proc/self/exe", out, cap - 1);
    if (n <= 0 || static_cast<size_t>(n) >= cap - 1) {
        out[0] = '\0';
        return 1;
    }
    out[n] = '\0';
    return 0;
}

void* pf_module_entry(const char* path, const char* name, std::string& err) {
    void* m = dlopen(path, RTLD_NOW | RTLD_LOCAL);
    if (m == nullptr) {
        const char* e = dlerror();
        err = e != nullptr ? e : "cannot load";
        return nullptr;
    }
    void* f = dlsym(m, name);
    if (f == nullptr) {
        const char* e = dlerror();
        err = e != nullptr ? e : "entry not found";
    }
    return f;
}

int pf_spawn(const std::vector<std::string>& argv, PfChild& child) {
    child = PfChild{};
    if (argv.empty()) return 1;
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) return 1;
    // Everything the child needs is prepared before fork: after it only
    // async-signal-safe calls are allowed.
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    // A pipe that reports whether exec failed: closed by a successful exec.
    int errp[2];
    if (pipe2(errp, O_CLOEXEC) != 0) {
        ::close(fds[0]);
        ::close(fds[1]);
        return 1;
    }
    pid_t pid = fork();
    if (pid == 0) {
        dup2(fds[1], 1);
        dup2(fds[1], 2);
        execv(args[0], args.data());
        int e = errno;
        ssize_t ignored = write(errp[1], &e, sizeof e);
        (void)ignored;
        _exit(127);
    }
    ::close(fds[1]);
    ::close(errp[1]);
    if (pid < 0) {
        ::close(fds[0]);
        ::close(errp[0]);
        return 1;
    }
    int e = 0;
    ssize_t n;
    do {
        n = read(errp[0], &e, sizeof e);
    } while (n < 0 && errno == EINTR);
    ::close(errp[0]);
    if (n > 0) {  // exec failed: reap the child
        ::close(fds[0]);
        int status;
        while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
        return 1;
    }
    child.pid = pid;
    child.out = fds[0];
    return 0;
}

int pf_wait_child(PfChild& child) {
    if (child.pid <= 0) return 255;
    int status = 0;
    pid_t r;
    do {
        r = waitpid(static_cast<pid_t>(child.pid), &status, 0);
    } while (r < 0 && errno == EINTR);
    child.pid = -1;
    if (r < 0 || !WIFEXITED(status)) return 255;
    return WEXITSTATUS(status);
}

// ---- Console --------------------------------------------------------------

static bool fd_open(int fd) {
    return fcntl(fd, F_GETFD) != -1;
}

pf_file pf_console_std() {
    return fd_open(STDOUT_FILENO) ? STDOUT_FILENO : PF_INVALID;
}

pf_file pf_console_err() {
    return fd_open(STDERR_FILENO) ? STDERR_FILENO : PF_INVALID;
}

pf_file pf_console_in() {
    return fd_open(STDIN_FILENO) ? STDIN_FILENO : PF_INVALID;
}

int pf_write_utf8_out(const char* buf, size_t n) {
    signal(SIGPIPE, SIG_IGN);
    while (n > 0) {
        ssize_t w = ::write(STDOUT_FILENO, buf, n);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) return 1;
        buf += w;
        n -= static_cast<size_t>(w);
    }
    return 0;
}

pf_file pf_console_cli() {
    if (fd_open(STDOUT_FILENO)) return STDOUT_FILENO;
    int fd = ::open("/dev/tty", O_WRONLY | O_CLOEXEC | O_NOCTTY);
    return fd >= 0 ? fd : PF_INVALID;
}

void pf_console_write(pf_file h, const char* buf, size_t n) {
    if (h < 0) return;
    // Drop the write silently when the reader has gone; never die of SIGPIPE.
    static bool ignored = false;
    if (!ignored) {
        signal(SIGPIPE, SIG_IGN);
        ignored = true;
    }
    while (n > 0) {
        ssize_t w = ::write(h, buf, n);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) return;
        buf += w;
        n -= static_cast<size_t>(w);
    }
}

// ---- User interface language ----------------------------------------------

int pf_ui_language() {
    const char* names[] = {"LC_ALL", "LC_MESSAGES", "LANG"};
    for (const char* n : names) {
        const char* v = getenv(n);
        if (v != nullptr && v[0] != '\0') return (v[0] == 'd' && v[1] == 'e') ? 1 : 2;
    }
    return 2;
}

// ---- Display order of texts ------------------------------------------------

namespace {

// Lower case of the letters that code page 437 can hold: ASCII, Latin-1 and
// the basic Greek and Cyrillic capitals. Anything else stays as it is.
char16_t fold_case(char16_t c) {
    if (c >= 'A' && c <= 'Z') return static_cast<char16_t>(c + 32);
    if (c >= 0xC0 && c <= 0xDE && c != 0xD7) return static_cast<char16_t>(c + 32);
    if (c >= 0x391 && c <= 0x3A9 && c != 0x3A2) return static_cast<char16_t>(c + 32);
    if (c >= 0x410 && c <= 0x42F) return static_cast<char16_t>(c + 32);
    if (c >= 0x400 && c <= 0x40F) return static_cast<char16_t>(c + 80);
    return c;
}

// The base letter of a lower-case Latin-1 letter with an accent.
char16_t base_letter(char16_t c) {
    static const char base[] = "aaaaaaaceeeeiiiidnooooo/ouuuuyty";  // U+00E0..U+00FF
    if (c >= 0xE0 && c <= 0xFF && c != 0xF7) return static_cast<char16_t>(base[c - 0xE0]);
    if (c == 0xDF) return 's';  // sharp s
    return c;
}

}  // namespace

int pf_wcsicmp(const char16_t* a, const char16_t* b) {
    for (size_t i = 0;; ++i) {
        char16_t x = base_letter(fold_case(a[i])), y = base_letter(fold_case(b[i]));
        if (x != y) return x < y ? -1 : 1;
        if (x == 0) break;
    }
    for (size_t i = 0;; ++i) {
        char16_t x = fold_case(a[i]), y = fold_case(b[i]);
        if (x != y) return x < y ? -1 : 1;
        if (x == 0) return 0;
    }
}

bool pf_has_display() {
    for (const char* n : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"}) {
        const char* v = getenv(n);
        if (v != nullptr && v[0] != '\0') return true;
    }
    return false;
}

// ---- TCP sockets ----------------------------------------------------------

int pf_net_startup() {
    return 0;
}
void pf_net_cleanup() {}

pf_sock pf_tcp_connect(const char* host, const char* port) {
    struct addrinfo hints;
    memset(&hints, 0, sizeof hints);
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    struct addrinfo* list = nullptr;
    if (getaddrinfo(host, port, &hints, &list) != 0) return PF_NOSOCK;
    pf_sock s = PF_NOSOCK;
    for (struct addrinfo* a = list; a != nullptr; a = a->ai_next) {
        int fd = ::socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC, a->ai_protocol);
        if (fd < 0) continue;
        int r;
        do {
            r = ::connect(fd, a->ai_addr, a->ai_addrlen);
        } while (r != 0 && errno == EINTR);
        if (r == 0) {
            // Every frame goes out in one send, so nothing is gained by
            // holding a small one back; and a short command held until the
            // peer acknowledges the last one (which it delays, waiting for
            // more) would stall a request-answer step such as M_GET by the
            // peer's delayed-acknowledgement time.
            int one = 1;
            setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
            s = fd;
            break;
        }
        ::close(fd);
    }
    freeaddrinfo(list);
    return s;
}

int pf_sock_timeouts(pf_sock s, uint32_t ms) {
    struct timeval tv;
    tv.tv_sec = static_cast<time_t>(ms / 1000);
    tv.tv_usec = static_cast<suseconds_t>((ms % 1000) * 1000);
    int a = setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    int b = setsockopt(s, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    return a == 0 && b == 0 ? 0 : 1;
}

int64_t pf_sock_send(pf_sock s, const void* buf, size_t n) {
    ssize_t r;
    do {
        r = ::send(s, buf, n, MSG_NOSIGNAL);
    } while (r < 0 && errno == EINTR);
    return r > 0 ? static_cast<int64_t>(r) : -1;
}

int64_t pf_sock_recv(pf_sock s, void* buf, size_t n) {
    ssize_t r;
    do {
        r = ::recv(s, buf, n, 0);
    } while (r < 0 && errno == EINTR);
    return r < 0 ? -1 : static_cast<int64_t>(r);
}

int pf_sock_wait_readable(pf_sock s, uint32_t ms) {
    struct pollfd p;
    p.fd = s;
    p.events = POLLIN;
    p.revents = 0;
    int wait = ms > INT32_MAX ? INT32_MAX : static_cast<int>(ms);
    int r;
    do {
        r = ::poll(&p, 1, wait);
    } while (r < 0 && errno == EINTR);
    return r;
}

// ---- Threads ----------------------------------------------------------------

namespace {

struct ThreadCall {
    void (*fn)(void*);
    void* arg;
};

void* thread_main(void* p) {
    ThreadCall c = *static_cast<ThreadCall*>(p);
    delete static_cast<ThreadCall*>(p);
    c.fn(c.arg);
    return nullptr;
}

}  // namespace

bool pf_thread_start(PfThread& t, void (*fn)(void*), void* arg) {
    t.started = false;
    ThreadCall* c = new ThreadCall{fn, arg};
    pthread_t id;
    if (pthread_create(&id, nullptr, thread_main, c) != 0) {
        delete c;
        return false;
    }
    t.t = static_cast<pf_thread>(id);
    t.started = true;
    return true;
}

void pf_thread_join(PfThread& t) {
    if (!t.started) return;
    pthread_join(static_cast<pthread_t>(t.t), nullptr);
    t.started = false;
}

int pf_sock_shutdown_send(pf_sock s) {
    return ::shutdown(s, SHUT_WR) == 0 ? 0 : 1;
}

void pf_sock_close(pf_sock s) {
    if (s >= 0) ::close(s);
}

int pf_sock_pair(pf_sock out[2]) {
    int fds[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) return 1;
    out[0] = fds[0];
    out[1] = fds[1];
    return 0;
}

// ---- Environment ----------------------------------------------------------

const char* pf_getenv(const char* name) {
    return getenv(name);
}

int pf_config_home(char* out, size_t cap) {
    std::string dir;
    const char* xdg = getenv("XDG_CONFIG_HOME");
    const char* home = getenv("HOME");
    // A relative XDG_CONFIG_HOME is invalid and ignored (XDG base directories).
    if (xdg != nullptr && xdg[0] == '/') {
        dir = xdg;
    } else if (home != nullptr && home[0] == '/') {
        dir = home;
        if (dir.back() != '/') dir += '/';
        dir += ".config";
    } else {
        return 1;
    }
    while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
    if (dir.size() + 1 > cap) return 1;
    memcpy(out, dir.c_str(), dir.size() + 1);
    return 0;
}

// ---- Stop requests ----------------------------------------------------------

static volatile sig_atomic_t g_stop = 0;

static void on_stop_signal(int) {
    g_stop = 1;
}

void pf_stop_signals(bool on) {
    struct sigaction sa;
    memset(&sa, 0, sizeof sa);
    sigemptyset(&sa.sa_mask);
    if (on) {
        g_stop = 0;
        sa.sa_handler = on_stop_signal;
        // Calls in progress go on; the second signal takes the default path.
        sa.sa_flags = SA_RESTART | SA_RESETHAND;
    } else {
        sa.sa_handler = SIG_DFL;
    }
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
}

bool pf_stop_requested() {
    return g_stop != 0;
}

#endif  // !_WIN32
