// Helpers shared by the unit tests: scratch directories, whole-file I/O and
// running the wrenpost binary.
#pragma once

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "platform/platform.h"

#ifdef _WIN32
#include <stdlib.h>
#include <time.h>
// The POSIX environment and time calls the tests use, from the C runtime.
inline int setenv(const char* name, const char* value, int) {
    return _putenv_s(name, value);
}
inline int unsetenv(const char* name) {
    return _putenv_s(name, "");
}
inline time_t timegm(struct tm* t) {
    return _mkgmtime(t);
}
#endif

namespace wptest {

// A fresh directory under $TMPDIR (or /tmp; on Windows the user's temporary
// directory, with backslashes), removed with its contents when
// the object dies.
class TempDir {
  public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + PF_DIR_SEP + name; }

  private:
    std::string path_;
};

std::string read_file(const std::string& path);
void write_file(const std::string& path, const std::string& data);
bool file_exists(const std::string& path);

struct RunResult {
    int code = -1;    // exit code, or -1 when the process did not exit normally
    std::string out;  // standard output
};
// Runs the wrenpost binary with `args` in directory `cwd` (empty = current),
// with extra environment entries ("NAME=value") added and "NAME" entries
// removed. XDG_CONFIG_HOME points to a missing folder unless env sets it, so
// no per-user configuration of the machine takes part.
RunResult run_wrenpost(const std::vector<std::string>& args, const std::string& cwd = "",
                       const std::vector<std::string>& env = {});

// Lines of a log text, split at CR LF, without the line ends.
std::vector<std::string> log_lines(const std::string& out);
// The text of a log line without its "[HH:MM:SS] " time stamp.
std::string log_text(const std::string& line);
// The texts of all lines of a log.
std::vector<std::string> log_texts(const std::string& out);
// True when one line of the log has exactly this text.
bool has_log_line(const std::string& out, const std::string& text);
// The text of the first line that begins with prefix, or "".
std::string first_log_line(const std::string& out, const std::string& prefix);

// Another process that holds the JAM lock file of a configuration from the
// constructor (which waits until it is taken) until the object dies.
class JamLockHolder {
  public:
    explicit JamLockHolder(const std::string& cfg_path);
    ~JamLockHolder();
    JamLockHolder(const JamLockHolder&) = delete;
    JamLockHolder& operator=(const JamLockHolder&) = delete;

  private:
    int pid_ = -1;
    void* handle_ = nullptr;  // the holder's process (Windows)
};

#ifndef _WIN32
// A FIFO at `path` whose readers never wait for good: until the object dies,
// a thread keeps opening it for writing and closing it again, so a reader
// blocked in open() or read() gets an empty file instead of hanging the
// test. Code that refuses the FIFO never sees it.
class FifoWithoutWriter {
  public:
    explicit FifoWithoutWriter(const std::string& path);
    ~FifoWithoutWriter();
    FifoWithoutWriter(const FifoWithoutWriter&) = delete;
    FifoWithoutWriter& operator=(const FifoWithoutWriter&) = delete;
    bool made() const { return made_; }

  private:
    std::string path_;
    bool made_ = false;
    std::atomic<bool> stop_{false};
    std::thread poker_;
};
#endif

}  // namespace wptest
