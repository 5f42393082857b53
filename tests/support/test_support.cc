#include "support/test_support.h"

#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "platform/platform.h"
#include "tosser/jamlock.h"

namespace wptest {

TempDir::TempDir() {
    const char* base = getenv("TMPDIR");
    std::string tmpl = std::string(base && *base ? base : "/tmp") + "/wptest.XXXXXX";
    std::vector<char> buf(tmpl.begin(), tmpl.end());
    buf.push_back('\0');
    if (mkdtemp(buf.data()) == nullptr) abort();
    path_ = buf.data();
}

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
    return access(path.c_str(), F_OK) == 0;
}

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

JamLockHolder::JamLockHolder(const std::string& cfg_path) {
    char path[WP_PATH_MAX];
    lock_make_path(cfg_path.c_str(), path);
    pid_ = fork();
    if (pid_ == 0) {
        JamLock lk;
        lock_set_cfg(lk, cfg_path.c_str());
        if (lock_acquire(lk, 0, "test holder") != 0) _exit(1);
        pf_sleep_ms(60000);
        _exit(0);
    }
    for (int i = 0; i < 200 && !file_exists(path); ++i) pf_sleep_ms(10);
}

JamLockHolder::~JamLockHolder() {
    if (pid_ <= 0) return;
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
}

}  // namespace wptest
