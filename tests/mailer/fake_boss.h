// A scriptable binkp boss for the session tests: the far end of a socket
// pair, driven by a script running on its own thread.
#pragma once

#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <thread>
#include <vector>

namespace wptest {

struct BFrame {
    bool cmd = false;
    uint8_t code = 0;
    std::string data;  // argument text of a command, body of a data frame
};

class BossPeer {
  public:
    explicit BossPeer(int fd) : fd_(fd) {}

    bool send_raw(const std::string& bytes) {
        size_t off = 0;
        while (off < bytes.size()) {
            ssize_t w = ::send(fd_, bytes.data() + off, bytes.size() - off, MSG_NOSIGNAL);
            if (w <= 0) return false;
            off += static_cast<size_t>(w);
        }
        return true;
    }
    static std::string frame(bool cmd, const std::string& body) {
        std::string f;
        f.push_back(static_cast<char>(((body.size() >> 8) & 0x7f) | (cmd ? 0x80 : 0)));
        f.push_back(static_cast<char>(body.size() & 0xff));
        return f + body;
    }
    bool send_cmd(uint8_t code, const std::string& text) {
        return send_raw(frame(true, std::string(1, static_cast<char>(code)) + text));
    }
    bool send_data(const std::string& body) { return send_raw(frame(false, body)); }
    // A file as M_FILE and data frames of at most 4096 bytes.
    bool send_file(const std::string& wire, const std::string& content, uint64_t offset = 0) {
        if (!send_cmd(3, wire + " " + std::to_string(content.size()) + " 1700000000 " +
                             std::to_string(offset)))
            return false;
        for (size_t p = offset; p < content.size(); p += 4096)
            if (!send_data(content.substr(p, 4096))) return false;
        return true;
    }

    bool recv(BFrame& f) {
        uint8_t h[2];
        if (!read_exact(h, 2)) return false;
        f.cmd = (h[0] & 0x80) != 0;
        size_t len = (static_cast<size_t>(h[0] & 0x7f) << 8) | h[1];
        std::string body(len, '\0');
        if (len > 0 && !read_exact(reinterpret_cast<uint8_t*>(body.data()), len)) return false;
        f.code = 0;
        if (f.cmd && len > 0) {
            f.code = static_cast<uint8_t>(body[0]);
            f.data = body.substr(1);
        } else {
            f.data = body;
        }
        seen.push_back(f);
        return true;
    }
    // Reads until a command frame with this code; false at the end of stream.
    bool wait_cmd(uint8_t code, BFrame* out = nullptr) {
        BFrame f;
        while (recv(f)) {
            if (f.cmd && f.code == code) {
                if (out) *out = f;
                return true;
            }
        }
        return false;
    }
    // The usual greeting, address and login.
    bool login(const std::string& adr = "2:240/5776@fidonet", const std::string& opt = "") {
        if (!opt.empty() && !send_cmd(0, opt)) return false;
        if (!send_cmd(0, "SYS fake boss") || !send_cmd(1, adr)) return false;
        if (!wait_cmd(2, &pwd)) return false;
        return send_cmd(4, "secure");
    }
    void drain() {
        BFrame f;
        while (recv(f)) {
        }
    }
    void close_now() {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }
    int fd() const { return fd_; }

    std::vector<BFrame> seen;
    BFrame pwd;

  private:
    bool read_exact(uint8_t* p, size_t n) {
        while (n > 0) {
            ssize_t r = ::recv(fd_, p, n, 0);
            if (r <= 0) return false;
            p += r;
            n -= static_cast<size_t>(r);
        }
        return true;
    }
    int fd_;
};

// The boss side of a normal transfer: receives the point's files (answering
// each by `answer`: 6 M_GOT, 10 M_SKIP, 0 none), sends its own files, and
// ends with M_EOB once the point's M_EOB has come.
struct Transfer {
    std::vector<std::pair<std::string, std::string>> to_point;  // wire name, content
    std::function<uint8_t(const std::string& wire)> answer = [](const std::string&) {
        return uint8_t{6};
    };
    std::map<std::string, std::string> received;  // wire name -> content
    std::vector<std::string> gots;                // M_GOT arguments from the point

    void run(BossPeer& p) {
        for (auto& f : to_point) p.send_file(f.first, f.second);
        std::string cur;
        uint64_t left = 0;
        bool eob = false;
        for (const BFrame& g : p.seen) eob = eob || (g.cmd && g.code == 5);
        BFrame f;
        while (!eob && p.recv(f)) {
            if (!f.cmd) {
                if (left > 0) {
                    received[cur] += f.data;
                    left -= f.data.size() < left ? f.data.size() : left;
                    if (left == 0) reply(p, cur);
                }
                continue;
            }
            if (f.code == 3) {
                cur = f.data.substr(0, f.data.find(' '));
                left = std::stoull(f.data.substr(f.data.find(' ') + 1));
                received[cur] = "";
                if (left == 0) reply(p, cur);
            } else if (f.code == 5) {
                eob = true;
            }
        }
        // Answers to the boss's own files may still be on their way.
        p.send_cmd(5, "");
        p.drain();
        for (const BFrame& g : p.seen)
            if (g.cmd && g.code == 6) gots.push_back(g.data);
    }
    void reply(BossPeer& p, const std::string& wire) {
        uint8_t a = answer(wire);
        if (a != 0) p.send_cmd(a, wire + " " + std::to_string(received[wire].size()) + " 0");
    }
};

// A binkp/1.1 boss that goes on in batches: in batch b it sends the files of
// to_point[b] (none once the list is through; with `forever`, a new file in
// every batch), then M_EOB, and takes the point's files (answering each by
// `answer`) until the point's M_EOB of that batch has come and its own files
// are answered. A batch in which neither side offered a file is the last.
struct Batches {
    std::vector<std::vector<std::pair<std::string, std::string>>> to_point;
    bool forever = false;
    std::function<uint8_t(const std::string& wire)> answer = [](const std::string&) {
        return uint8_t{6};
    };
    std::map<std::string, std::string> received;  // wire name -> content
    int batches = 0;                              // batches the boss ended

    void run(BossPeer& p) {
        int point_eobs = 0;
        for (size_t b = 0;; ++b) {
            size_t sent = 0;
            if (b < to_point.size()) {
                for (auto& f : to_point[b])
                    if (p.send_file(f.first, f.second)) ++sent;
            } else if (forever) {
                if (p.send_file("n" + std::to_string(b) + ".txt", "batch " + std::to_string(b)))
                    ++sent;
            }
            if (!p.send_cmd(5, "")) return;
            size_t offered = 0, answered = 0;
            std::string cur;
            uint64_t left = 0;
            BFrame f;
            while (point_eobs <= static_cast<int>(b) || answered < sent || left > 0) {
                if (!p.recv(f)) return;
                if (!f.cmd) {
                    if (left > 0) {
                        received[cur] += f.data;
                        left -= f.data.size() < left ? f.data.size() : left;
                        if (left == 0) reply(p, cur);
                    }
                } else if (f.code == 3) {
                    ++offered;
                    cur = f.data.substr(0, f.data.find(' '));
                    left = std::stoull(f.data.substr(f.data.find(' ') + 1));
                    received[cur] = "";
                    if (left == 0) reply(p, cur);
                } else if (f.code == 5) {
                    ++point_eobs;
                } else if (f.code == 6 || f.code == 10) {
                    ++answered;
                }
            }
            ++batches;
            if (sent == 0 && offered == 0) break;
        }
        p.drain();
    }
    void reply(BossPeer& p, const std::string& wire) {
        uint8_t a = answer(wire);
        if (a != 0) p.send_cmd(a, wire + " " + std::to_string(received[wire].size()) + " 0");
    }
};

}  // namespace wptest
