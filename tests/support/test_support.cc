#include "support/test_support.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#endif
#include <stdlib.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "jam/jamlock.h"
#include "platform/platform.h"

namespace wptest {

#ifdef _WIN32
TempDir::TempDir() {
    wchar_t base[MAX_PATH + 1];
    DWORD n = GetTempPathW(MAX_PATH + 1, base);
    if (n == 0) abort();
    for (unsigned i = GetTickCount() ^ GetCurrentProcessId();; ++i) {
        std::wstring dir = std::wstring(base) + L"wptest." + std::to_wstring(i);
        if (CreateDirectoryW(dir.c_str(), nullptr)) {
            path_ = std::filesystem::path(dir).string();
            if (!path_.empty() && path_.back() == '\\') path_.pop_back();
            return;
        }
        if (GetLastError() != ERROR_ALREADY_EXISTS) abort();
    }
}
#else
TempDir::TempDir() {
    const char* base = getenv("TMPDIR");
    std::string tmpl = std::string(base && *base ? base : "/tmp") + "/wptest.XXXXXX";
    std::vector<char> buf(tmpl.begin(), tmpl.end());
    buf.push_back('\0');
    if (mkdtemp(buf.data()) == nullptr) abort();
    path_ = buf.data();
}

#endif

TempDir::~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

void write_file(const std::string& path, const std::string& data) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(data.data(), static_cast<std::streamsize>(data.size()));
}

bool file_exists(const std::string& path) {
    return pf_stat(path.c_str()).exists;
}

#ifdef _WIN32
namespace {

// Starts WP_BINARY with args in cwd with extra environment entries; the
// child's standard output goes to `out` when it is not null.
HANDLE start_wrenpost(const std::vector<std::string>& args, const std::string& cwd,
                      const std::vector<std::string>& env, HANDLE out) {
    std::string cmd = "\"" WP_BINARY "\"";
    for (const auto& a : args) {
        cmd += " \"";
        for (char c : a) {
            if (c == '"') cmd += '\\';
            cmd += c;
        }
        cmd += '"';
    }
    // The environment block: ours with the extra entries put over it.
    std::string block;
    std::vector<std::string> vars;
    for (char** p = _environ; *p != nullptr; ++p) {
        std::string v = *p;
        bool replaced = false;
        for (const auto& e : env) {
            if (_strnicmp(v.c_str(), e.c_str(), e.find('=') + 1) == 0) replaced = true;
        }
        if (!replaced) vars.push_back(v);
    }
    for (const auto& e : env) vars.push_back(e);
    for (const auto& v : vars) block += v + '\0';
    block += '\0';
    STARTUPINFOA si{};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    si.hStdOutput = out ? out : GetStdHandle(STD_OUTPUT_HANDLE);
    si.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    PROCESS_INFORMATION pi{};
    if (!CreateProcessA(nullptr, cmd.data(), nullptr, nullptr, TRUE, 0, block.data(),
                        cwd.empty() ? nullptr : cwd.c_str(), &si, &pi)) {
        return nullptr;
    }
    CloseHandle(pi.hThread);
    return pi.hProcess;
}

}  // namespace

RunResult run_wrenpost(const std::vector<std::string>& args, const std::string& cwd,
                       const std::vector<std::string>& env) {
    RunResult r;
    SECURITY_ATTRIBUTES sa{};
    sa.nLength = sizeof sa;
    sa.bInheritHandle = TRUE;
    HANDLE rd, wr;
    if (!CreatePipe(&rd, &wr, &sa, 0)) return r;
    SetHandleInformation(rd, HANDLE_FLAG_INHERIT, 0);
    HANDLE p = start_wrenpost(args, cwd, env, wr);
    CloseHandle(wr);
    if (p == nullptr) {
        CloseHandle(rd);
        return r;
    }
    char buf[4096];
    DWORD n;
    while (ReadFile(rd, buf, sizeof buf, &n, nullptr) && n > 0) r.out.append(buf, n);
    CloseHandle(rd);
    WaitForSingleObject(p, INFINITE);
    DWORD code = 0;
    GetExitCodeProcess(p, &code);
    CloseHandle(p);
    r.code = static_cast<int>(code & 0xff);
    return r;
}
#else

RunResult run_wrenpost(const std::vector<std::string>& args, const std::string& cwd,
                       const std::vector<std::string>& env) {
    RunResult r;
    int pipefd[2];
    if (pipe(pipefd) != 0) return r;
    pid_t pid = fork();
    if (pid == 0) {
        dup2(pipefd[1], STDOUT_FILENO);
        close(pipefd[0]);
        close(pipefd[1]);
        if (!cwd.empty() && chdir(cwd.c_str()) != 0) _exit(127);
        // A per-user configuration of whoever runs the tests must not answer
        // for a missing one; tests that want one set it in env.
        setenv("XDG_CONFIG_HOME", "/nonexistent/wrenpost-tests", 1);
        for (const auto& e : env) {
            if (e.find('=') == std::string::npos)
                unsetenv(e.c_str());
            else
                putenv(strdup(e.c_str()));
        }
        std::vector<char*> argv;
        std::string bin = WP_BINARY;
        argv.push_back(bin.data());
        std::vector<std::string> copy = args;
        for (auto& a : copy) argv.push_back(a.data());
        argv.push_back(nullptr);
        execv(bin.c_str(), argv.data());
        _exit(127);
    }
    close(pipefd[1]);
    char buf[4096];
    ssize_t n;
    while ((n = read(pipefd[0], buf, sizeof buf)) > 0) r.out.append(buf, static_cast<size_t>(n));
    close(pipefd[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    r.code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return r;
}

#endif

std::vector<std::string> log_lines(const std::string& out) {
    std::vector<std::string> lines;
    size_t pos = 0;
    while (pos < out.size()) {
        size_t e = out.find("\r\n", pos);
        if (e == std::string::npos) {
            lines.push_back(out.substr(pos));
            break;
        }
        lines.push_back(out.substr(pos, e - pos));
        pos = e + 2;
    }
    return lines;
}

std::string log_text(const std::string& line) {
    return line.size() >= 11 ? line.substr(11) : line;
}

std::vector<std::string> log_texts(const std::string& out) {
    std::vector<std::string> t;
    for (const auto& l : log_lines(out)) t.push_back(log_text(l));
    return t;
}

bool has_log_line(const std::string& out, const std::string& text) {
    for (const auto& l : log_lines(out))
        if (log_text(l) == text) return true;
    return false;
}

std::string first_log_line(const std::string& out, const std::string& prefix) {
    for (const auto& l : log_lines(out))
        if (log_text(l).rfind(prefix, 0) == 0) return log_text(l);
    return "";
}

#ifdef _WIN32
// Windows has no fork: the holder is the program itself, started with
// "--hold-lock".
JamLockHolder::JamLockHolder(const std::string& cfg_path) {
    char path[WP_PATH_MAX];
    lock_make_path(cfg_path.c_str(), path);
    HANDLE nul =
        CreateFileA("NUL", GENERIC_WRITE, FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
    HANDLE p = start_wrenpost({"-c", cfg_path, "--hold-lock", "60"}, "", {}, nul);
    if (nul != INVALID_HANDLE_VALUE) CloseHandle(nul);
    pid_ = p ? static_cast<int>(GetProcessId(p)) : -1;
    handle_ = p;
    for (int i = 0; i < 500 && !file_exists(path); ++i) pf_sleep_ms(10);
}

JamLockHolder::~JamLockHolder() {
    if (handle_ == nullptr) return;
    TerminateProcess(handle_, 9);
    WaitForSingleObject(handle_, INFINITE);
    CloseHandle(handle_);
}
#else
JamLockHolder::JamLockHolder(const std::string& cfg_path) {
    char path[WP_PATH_MAX];
    lock_make_path(cfg_path.c_str(), path);
    // The child says over a pipe when it holds the lock: the lock file
    // appears before the lock is taken, so its existence proves nothing.
    int ready[2];
    if (pipe(ready) != 0) return;
    pid_ = fork();
    if (pid_ == 0) {
        close(ready[0]);
        JamLock lk;
        lock_set_cfg(lk, cfg_path.c_str());
        if (lock_acquire(lk, 0, "test holder") != 0) _exit(1);
        char one = 1;
        if (write(ready[1], &one, 1) != 1) _exit(1);
        pf_sleep_ms(60000);
        _exit(0);
    }
    close(ready[1]);
    char got = 0;
    ssize_t n;
    do n = read(ready[0], &got, 1);
    while (n < 0 && errno == EINTR);
    close(ready[0]);
    if (n != 1) std::fprintf(stderr, "the lock holder could not take %s\n", path);
}

JamLockHolder::~JamLockHolder() {
    if (pid_ <= 0) return;
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
}
#endif

#ifndef _WIN32
FifoWithoutWriter::FifoWithoutWriter(const std::string& path) : path_(path) {
    made_ = mkfifo(path.c_str(), 0644) == 0;
    if (!made_) return;
    poker_ = std::thread([this] {
        while (!stop_) {
            // Succeeds only while someone has the FIFO open for reading.
            int fd = ::open(path_.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
            if (fd >= 0) ::close(fd);
            usleep(20000);
        }
    });
}

FifoWithoutWriter::~FifoWithoutWriter() {
    stop_ = true;
    if (poker_.joinable()) poker_.join();
}
#endif

}  // namespace wptest
