// Helpers shared by the JAM, JAM lock and dupe tests: child processes that
// hold locks or write bases, the independent Python checker, and a JAM
// request builder.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "app/catalog.h"
#include "core/log.h"
#include "jam/crc32.h"
#include "jam/jam.h"

namespace jamtest {

inline std::string tool_path() {
    return std::string(WP_BUILD_DIR) + "/tests/jam_tool";
}
inline std::string checker_path() {
    return std::string(WP_SOURCE_DIR) + "/tests/interop/jamread.py";
}

// A child process started with fork/exec; killed and reaped when the object
// dies. `out` of the child (stdout) can be read line by line.
class Child {
  public:
    explicit Child(const std::vector<std::string>& argv) {
        int fds[2];
        if (pipe(fds) != 0) return;
        pid_ = fork();
        if (pid_ == 0) {
            dup2(fds[1], STDOUT_FILENO);
            close(fds[0]);
            close(fds[1]);
            std::vector<std::string> copy = argv;
            std::vector<char*> args;
            for (auto& a : copy) args.push_back(a.data());
            args.push_back(nullptr);
            execv(args[0], args.data());
            _exit(127);
        }
        close(fds[1]);
        out_ = fds[0];
    }
    ~Child() {
        kill_now();
        if (out_ >= 0) close(out_);
    }
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    // Reads one line of the child's output (blocking); false at its end.
    bool read_line(std::string& line) {
        line.clear();
        char c;
        while (out_ >= 0 && read(out_, &c, 1) == 1) {
            if (c == '\n') return true;
            line += c;
        }
        return !line.empty();
    }
    void kill_now() {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
            pid_ = -1;
        }
    }
    // Waits for the end; the exit code, or -1.
    int wait_exit() {
        if (pid_ <= 0) return -1;
        int st = 0;
        waitpid(pid_, &st, 0);
        pid_ = -1;
        return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    }
    pid_t pid() const { return pid_; }

  private:
    pid_t pid_ = -1;
    int out_ = -1;
};

// Runs the independent checker; returns its exit code, its output in *out.
inline int python_check(const std::string& base, const std::string& flags, std::string* out) {
    std::string cmd =
        std::string(WP_PYTHON) + " " + checker_path() + " check '" + base + "' " + flags + " 2>&1";
    FILE* p = popen(cmd.c_str(), "r");
    if (p == nullptr) return -1;
    std::string text;
    char buf[512];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0) text.append(buf, n);
    int st = pclose(p);
    if (out != nullptr) *out = text;
    return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
}

// An echomail request the way the compose window fills it; keeps its
// buffers alive for the call.
struct Request {
    std::string subf;
    std::string text;
    JamMsg m;
    Request(const Request&) = delete;
    Request& operator=(const Request&) = delete;
    Request(const std::string& from, const std::string& to, const std::string& subj,
            const std::string& msgid, const std::string& body, uint32_t now = 1700000000u) {
        jam_subf_add(subf, SF_OADDR, "2:280/5555.1");
        jam_subf_add(subf, SF_SENDER, from.c_str());
        jam_subf_add(subf, SF_RECEIVER, to.c_str());
        jam_subf_add(subf, SF_SUBJECT, subj.c_str());
        if (!msgid.empty()) jam_subf_add(subf, SF_MSGID, msgid.c_str());
        text = body;
        m.jm_subf = subf.data();
        m.jm_subflen = static_cast<uint32_t>(subf.size());
        m.jm_text = text.data();
        m.jm_textlen = static_cast<uint32_t>(text.size());
        m.jm_attr = JA_LOCAL | JA_ECHO;
        m.jm_date = now - 60;
        m.jm_now = now;
        m.jm_msgidcrc = msgid.empty() ? JAM_NO_CRC : jam_crc(msgid.c_str());
        m.jm_usercrc = jam_crc(to.c_str());
    }
};

}  // namespace jamtest
