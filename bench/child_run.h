// Runs one measured step in a child process, so that every step starts from
// a fresh process (as a real run does) and its peak memory is its own.
// POSIX only, like the benches that use it.
#pragma once

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>

namespace wpbench {

struct Result {
    double seconds;  // wall-clock time from fork to the child's end
    long peak_kb;    // the child's peak resident set
    int code;        // its exit code, -1 when it did not exit normally
};

// body() runs in the child; its return value is the child's exit code.
template <typename F>
Result in_child(F body) {
    auto t0 = std::chrono::steady_clock::now();
    pid_t pid = fork();
    if (pid == 0) _exit(body());
    int status = 0;
    struct rusage ru {};
    wait4(pid, &status, 0, &ru);
    auto t1 = std::chrono::steady_clock::now();
    return Result{std::chrono::duration<double>(t1 - t0).count(), ru.ru_maxrss,
                  WIFEXITED(status) ? WEXITSTATUS(status) : -1};
}

}  // namespace wpbench
