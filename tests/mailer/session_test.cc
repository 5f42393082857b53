// The binkp session against a scripted boss on a socket pair: framing,
// handshake, login, both directions of the transfer, settling the outbound,
// and every way a session can fail.
#include "mailer/session.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/wait.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <thread>

#include "app/catalog.h"
#include "core/log.h"
#include "mailer/fake_boss.h"
#include "mailer/md5.h"
#include "mailer/xfer.h"
#include "support/test_support.h"

using namespace wptest;

namespace {

std::string pattern(size_t n) {
    std::string s;
    for (size_t i = 0; i < n; ++i) s.push_back(static_cast<char>('a' + (i * 7 + i / 251) % 26));
    return s;
}

std::set<std::string> dir_names(const std::string& dir) {
    std::set<std::string> names;
    for (auto& e : std::filesystem::directory_iterator(dir))
        names.insert(e.path().filename().string());
    return names;
}

class SessionTest : public ::testing::Test {
  protected:
    void SetUp() override {
        setenv("WRENPOST_NET_TIMEOUT", "5000", 1);
        lang_apply(LANG_EN);
        mkdir(dir.file("in").c_str(), 0755);
        mkdir(dir.file("out").c_str(), 0755);
        mkdir(dir.file("files").c_str(), 0755);
        configure("");
    }
    void TearDown() override { con_capture(nullptr); }

    void configure(const std::string& extra) {
        std::string cfg = dir.file("wp.cfg");
        write_file(cfg,
                   "address = 2:240/5776.7\nboss_host = h\nboss_address = 2:240/5776\n"
                   "password = secret\ninbound = " +
                       dir.file("in") + "\noutbound = " + dir.file("out") + "\n" + extra);
        std::string l;
        con_capture(&l);
        ASSERT_EQ(load_config(*cfg_, cfg.c_str()), 0);
        *boss_ = cfg_boss(*cfg_, -1);
        ASSERT_EQ(cfg_require(*boss_), 0);
        con_capture(nullptr);
    }

    // Runs one session with `script` as the boss; the log goes to `log`.
    unsigned run(const std::function<void(BossPeer&)>& script) {
        pf_sock pair[2];
        EXPECT_EQ(pf_sock_pair(pair), 0);
        if (sndbuf > 0) setsockopt(pair[0], SOL_SOCKET, SO_SNDBUF, &sndbuf, sizeof sndbuf);
        std::thread boss([&] {
            BossPeer p(pair[1]);
            script(p);
            peer_seen = p.seen;
            p.close_now();
        });
        auto s = std::make_unique<Session>();
        s->cfg = boss_.get();
        net_attach(s->fr.net, pair[0]);
        log.clear();
        con_capture(&log);
        unsigned code = session_run(*s);
        con_capture(nullptr);
        boss.join();
        return code;
    }

    bool logged(const std::string& text) const { return log.find(text) != std::string::npos; }
    std::vector<std::string> cmds(uint8_t code) const {
        std::vector<std::string> out;
        for (const BFrame& f : peer_seen)
            if (f.cmd && f.code == code) out.push_back(f.data);
        return out;
    }
    std::string flo() const { return dir.file("out") + "/00f01690.flo"; }
    std::string file(const std::string& name, const std::string& content) {
        std::string p = dir.file("files") + "/" + name;
        write_file(p, content);
        return p;
    }

    TempDir dir;
    std::unique_ptr<Config> cfg_ = std::make_unique<Config>();
    std::unique_ptr<BossCfg> boss_ = std::make_unique<BossCfg>();  // the effective settings used
    std::string log;
    std::vector<BFrame> peer_seen;
    int sndbuf = 0;  // > 0: the point's send buffer, to keep it from running ahead
};

// ---- Frames -------------------------------------------------------------------

TEST(Frames, BytesOnTheWire) {
    pf_sock pair[2];
    ASSERT_EQ(pf_sock_pair(pair), 0);
    auto f = std::make_unique<Frames>();
    net_attach(f->net, pair[0]);
    ASSERT_EQ(wp_send_cmd(*f, M_EOB, ""), 0);
    ASSERT_EQ(wp_send_cmd(*f, M_NUL, "SYS x"), 0);
    char buf[16];
    ASSERT_EQ(recv(pair[1], buf, 11, MSG_WAITALL), 11);
    EXPECT_EQ(std::string(buf, 11), std::string("\x80\x01\x05\x80\x06\x00SYS x", 11));

    // An empty data frame, then a full one, then a command: each read whole.
    std::string big(32767, 'q');
    big[32766] = 'z';
    BossPeer p(pair[1]);
    ASSERT_TRUE(p.send_raw(std::string("\x00\x00", 2)));
    ASSERT_TRUE(p.send_data(big));
    ASSERT_TRUE(p.send_cmd(M_OK, "fine"));
    ASSERT_EQ(wp_recv_frame(*f), 0);
    EXPECT_FALSE(f->rx_iscmd);
    EXPECT_EQ(f->rx_len, 0u);
    ASSERT_EQ(wp_recv_frame(*f), 0);
    EXPECT_FALSE(f->rx_iscmd);
    ASSERT_EQ(f->rx_len, 32767u);
    EXPECT_EQ(f->rx_frame[32766], 'z');
    ASSERT_EQ(wp_recv_frame(*f), 0);
    EXPECT_TRUE(f->rx_iscmd);
    EXPECT_EQ(f->rx_frame[0], M_OK);
    EXPECT_STREQ(reinterpret_cast<char*>(f->rx_frame + 1), "fine");
    // A data frame that the caller placed is sent with its header.
    f->tx_frame[2] = 'a';
    f->tx_frame[3] = 'b';
    ASSERT_EQ(wp_send_data(*f, 2), 0);
    ASSERT_EQ(recv(pair[1], buf, 4, MSG_WAITALL), 4);
    EXPECT_EQ(std::string(buf, 4), std::string("\x00\x02"
                                               "ab",
                                               4));
    // The peer is gone: receiving fails instead of blocking.
    p.close_now();
    EXPECT_EQ(wp_recv_frame(*f), -1);
    EXPECT_EQ(wp_send_cmd(*f, M_EOB, ""), -1);  // no SIGPIPE either
    pf_sock_close(pair[0]);
}

// Several data frames in one send: full frames, then the last with its own
// length, each behind its header; arguments outside the batch are refused.
TEST(Frames, ABatchIsFullFramesAndAShorterLast) {
    pf_sock pair[2];
    ASSERT_EQ(pf_sock_pair(pair), 0);
    auto f = std::make_unique<Frames>();
    f->net.timeout_ms = 5000;
    net_attach(f->net, pair[0]);
    // A wrong length makes the reader wait for bytes that never come: it
    // gives up instead of hanging the test.
    struct timeval tv = {5, 0};
    setsockopt(pair[1], SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    BossPeer p(pair[1]);
    struct {
        size_t count, last;
    } cases[] = {{1, 1}, {3, 5}, {2, TX_CHUNK}, {TX_BATCH, 300}};
    auto byte = [](size_t j, size_t k) { return static_cast<char>('a' + (j * 7 + k) % 26); };
    for (const auto& c : cases) {
        for (size_t j = 0; j < c.count; ++j) {
            size_t n = j + 1 < c.count ? TX_CHUNK : c.last;
            for (size_t k = 0; k < n; ++k)
                wp_batch_body(*f, j)[k] = static_cast<uint8_t>(byte(j, k));
        }
        int sent = 1;
        std::thread sender([&] { sent = wp_send_batch(*f, c.count, c.last); });
        std::vector<BFrame> got;
        BFrame b;
        while (got.size() < c.count && p.recv(b)) got.push_back(b);
        sender.join();
        EXPECT_EQ(sent, 0);
        ASSERT_EQ(got.size(), c.count) << "batch of " << c.count;
        for (size_t j = 0; j < c.count; ++j) {
            size_t n = j + 1 < c.count ? TX_CHUNK : c.last;
            EXPECT_FALSE(got[j].cmd);
            ASSERT_EQ(got[j].data.size(), n) << c.count << " frame " << j;
            std::string body(n, '\0');
            for (size_t k = 0; k < n; ++k) body[k] = byte(j, k);
            EXPECT_TRUE(got[j].data == body) << c.count << " frame " << j;
        }
    }
    // Nothing is sent for a batch that cannot be built.
    EXPECT_EQ(wp_send_batch(*f, 0, 1), -1);
    EXPECT_EQ(wp_send_batch(*f, TX_BATCH + 1, 1), -1);
    EXPECT_EQ(wp_send_batch(*f, 1, 0), -1);
    EXPECT_EQ(wp_send_batch(*f, 1, TX_CHUNK + 1), -1);
    ASSERT_EQ(wp_send_cmd(*f, M_EOB, ""), 0);
    BFrame b;
    ASSERT_TRUE(p.recv(b));
    EXPECT_TRUE(b.cmd && b.code == M_EOB);
    pf_sock_close(pair[0]);
    p.close_now();
}

// Connecting: an IPv6 literal, an IPv4 one, a service that is not there.
TEST(Net, ConnectsOverBothFamiliesAndFailsWithTwo) {
    for (const char* host : {"::1", "127.0.0.1"}) {
        bool v6 = host[0] == ':';
        int l = socket(v6 ? AF_INET6 : AF_INET, SOCK_STREAM, 0);
        ASSERT_GE(l, 0);
        struct sockaddr_storage ss = {};
        socklen_t len;
        if (v6) {
            auto* a = reinterpret_cast<sockaddr_in6*>(&ss);
            a->sin6_family = AF_INET6;
            a->sin6_addr = in6addr_loopback;
            len = sizeof *a;
        } else {
            auto* a = reinterpret_cast<sockaddr_in*>(&ss);
            a->sin_family = AF_INET;
            a->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            len = sizeof *a;
        }
        if (bind(l, reinterpret_cast<sockaddr*>(&ss), len) != 0) {
            close(l);
            continue;  // no IPv6 on this machine
        }
        ASSERT_EQ(listen(l, 1), 0);
        ASSERT_EQ(getsockname(l, reinterpret_cast<sockaddr*>(&ss), &len), 0);
        int port = ntohs(v6 ? reinterpret_cast<sockaddr_in6*>(&ss)->sin6_port
                            : reinterpret_cast<sockaddr_in*>(&ss)->sin_port);
        Net n;
        ASSERT_EQ(net_init(n), 0);
        EXPECT_EQ(net_connect(n, host, std::to_string(port).c_str()), 0) << host;
        int a = accept(l, nullptr, nullptr);
        EXPECT_GE(a, 0);
        EXPECT_EQ(net_poll(n), 0);  // nothing to read yet
        ASSERT_EQ(send(a, "x", 1, 0), 1);
        char c;
        EXPECT_EQ(net_recv_exact(n, &c, 1), 0);
        close(a);  // the peer closes: the drain ends at once
        uint64_t t0 = pf_ticks_ms();
        net_close(n);
        EXPECT_LT(pf_ticks_ms() - t0, 4000u);
        close(l);
        // The same port, now closed.
        Net m;
        EXPECT_EQ(net_connect(m, host, std::to_string(port).c_str()), 2) << host;
    }
}

// A peer that keeps trickling bytes after our shutdown cannot hold the close:
// the drain ends after its time in all, while the peer is still sending.
TEST(Net, CloseDrainIsBoundedAgainstATricklingPeer) {
    pf_sock pair[2];
    ASSERT_EQ(pf_sock_pair(pair), 0);
    std::atomic<bool> gave_up{false};
    std::thread peer([&] {
        BossPeer p(pair[1]);
        // Two hundred bytes, one every 50 ms, unless the point closes first.
        for (int i = 0; i < 200; ++i) {
            if (!p.send_raw("x")) {
                p.close_now();
                return;
            }
            usleep(50000);
        }
        gave_up = true;
        p.close_now();
    });
    Net n;
    n.timeout_ms = 300;
    net_attach(n, pair[0]);
    net_close(n);
    EXPECT_FALSE(gave_up);  // the peer was still trickling when the close was done
    peer.join();
}

// The drain of the close ends at the session's limit: a session cut off by
// its limit is not held open for the drain's own seconds beyond it.
TEST(Net, CloseDrainEndsAtTheSessionLimit) {
    pf_sock pair[2];
    ASSERT_EQ(pf_sock_pair(pair), 0);
    std::atomic<bool> stop{false};
    std::thread peer([&] {
        BossPeer p(pair[1]);
        while (!stop && p.send_raw("x")) usleep(50000);
        p.close_now();
    });
    Net n;
    n.timeout_ms = 60000;  // the drain alone would take NET_DRAIN_MS
    net_attach(n, pair[0]);
    n.until = pf_ticks_ms() + 200;
    uint64_t t0 = pf_ticks_ms();
    net_close(n);
    uint64_t took = pf_ticks_ms() - t0;
    stop = true;
    peer.join();
    EXPECT_LT(took, NET_DRAIN_MS / 2);
}

// ---- Handshake and login --------------------------------------------------------

TEST_F(SessionTest, GreetingAndOwnAddressForms) {
    // Resuming is asked for ("OPT NR") unless nr = no.
    struct {
        const char* address;
        const char* sent;
        const char* nr;
        bool opt;
    } cases[] = {
        {"2:240/5776.7", "2:240/5776.7@fidonet", "", true},
        {"21:3/210.5", "21:3/210.5@fsxnet", "nr = yes\n", true},
        {"2:240/5776.7@othernet", "2:240/5776.7@othernet", "nr = no\n", false},
        {"2:240/5776.7", "2:240/5776.7@fidonet", "nr = Off\n", false},
    };
    for (const auto& c : cases) {
        configure(std::string("address = ") + c.address + "\nsystem = Sys\nsysop = Op\n" + c.nr);
        Transfer t;
        EXPECT_EQ(run([&](BossPeer& p) {
                      p.login();
                      t.run(p);
                  }),
                  0u)
            << log;
        std::vector<std::string> nul = cmds(M_NUL);
        bool nr = c.opt;
        ASSERT_EQ(nul.size(), nr ? 5u : 4u) << c.nr;
        EXPECT_EQ(nul[0], "SYS Sys");
        EXPECT_EQ(nul[1], "ZYZ Op");
        EXPECT_EQ(nul[2], "LOC Unknown");
        EXPECT_EQ(nul[3], "VER wrenpost/0.9 binkp/1.1");
        if (nr) {
            EXPECT_EQ(nul[4], "OPT NR");
        }
        ASSERT_EQ(cmds(M_ADR).size(), 1u);
        EXPECT_EQ(cmds(M_ADR)[0], c.sent);
        EXPECT_TRUE(logged(std::string("Sending M_ADR ") + c.sent));
        EXPECT_TRUE(logged("Session finished. Files received: 0, sent: 0"));
    }
}

TEST_F(SessionTest, BossAddressCheck) {
    struct {
        const char* boss_address;
        const char* offered;
        unsigned code;
    } cases[] = {
        {"21:3/210", "21:3/210@fsxnet 2:240/1@fidonet", 0},
        {"21:3/210@fsxnet", "2:240/1@fidonet 21:3/210@fsxnet", 0},
        {"2:240/5776", " 2:240/5776@fidonet", 0},
        {"2:240/5776", "2:240/57760@fidonet 2:240/577", 5},
        {"2:240/5776", "", 5},
    };
    for (const auto& c : cases) {
        configure(std::string("boss_address = ") + c.boss_address + "\noutmode = plain\n");
        Transfer t;
        unsigned code = run([&](BossPeer& p) {
            if (!p.login(c.offered)) return;
            t.run(p);
        });
        EXPECT_EQ(code, c.code) << c.offered;
        EXPECT_TRUE(logged(std::string("Remote address(es): ") + c.offered));
        if (c.code == 5) {
            EXPECT_TRUE(logged(std::string("ERROR: boss address not among the remote addresses: ") +
                               c.boss_address));
            EXPECT_EQ(cmds(M_ERR), std::vector<std::string>{"Unexpected address"});
            EXPECT_TRUE(cmds(M_PWD).empty());  // the password never went out
        }
    }
}

TEST_F(SessionTest, PasswordByPolicyAndChallenge) {
    uint8_t d[MD5_LEN];
    const uint8_t chal[4] = {0x01, 0x23, 0xab, 0xcd};
    hmac_md5(reinterpret_cast<const uint8_t*>("secret"), 6, chal, 4, d);
    char hex[33];
    hex_encode(hex, d, MD5_LEN);
    const std::string cram = std::string("CRAM-MD5-") + hex;
    struct {
        const char* cfg;
        std::vector<std::string> opts;
        const char* pwd;  // nullptr: none sent, session ends with 3
        const char* text;
    } cases[] = {
        {"", {}, "secret", "Sending password (plain text)"},
        {"", {"OPT NR CRAM-MD5-0123abcd"}, cram.c_str(), "Sending password (CRAM-MD5)"},
        {"", {"OPT NR CRAM-MD5-0123ABCD"}, cram.c_str(), "Sending password (CRAM-MD5)"},
        {"", {"OPT CRAM-MD5-ffff", "OPT CRAM-MD5-0123abcdxx"}, cram.c_str(), "(CRAM-MD5)"},
        {"", {"OPT CRAM-MD5-0123abcd", "OPT NR"}, cram.c_str(), "(CRAM-MD5)"},
        {"", {"OPTX CRAM-MD5-00"}, "secret", "(plain text)"},
        {"cram = No\n", {"OPT CRAM-MD5-0123abcd"}, "secret", "(plain text)"},
        {"cram = required\n", {"OPT CRAM-MD5-0123abcd"}, cram.c_str(), "(CRAM-MD5)"},
        {"cram = REQUIRED\n",
         {},
         nullptr,
         "ERROR: cram=required, but remote does not offer CRAM-MD5 - password NOT sent"},
        {"password =\n",
         {"OPT CRAM-MD5-0123abcd"},
         "-",
         "No password configured - unsecured session"},
    };
    for (const auto& c : cases) {
        configure(std::string("outmode = plain\n") + c.cfg);
        if (std::string(c.cfg) == "password =\n") {
            // An empty value inherits nothing: rebuild without the key.
            std::string cfg = dir.file("wp.cfg");
            write_file(cfg,
                       "address = 2:240/5776.7\nboss_host = h\nboss_address = 2:240/5776\n"
                       "outmode = plain\ninbound = " +
                           dir.file("in") + "\noutbound = " + dir.file("out") + "\n");
            std::string l;
            con_capture(&l);
            ASSERT_EQ(load_config(*cfg_, cfg.c_str()), 0);
            *boss_ = cfg_boss(*cfg_, -1);
            ASSERT_EQ(cfg_require(*boss_), 0);
            con_capture(nullptr);
        }
        Transfer t;
        unsigned code = run([&](BossPeer& p) {
            for (auto& o : c.opts) p.send_cmd(M_NUL, o);
            if (!p.login()) return;
            t.run(p);
        });
        EXPECT_TRUE(logged(c.text)) << c.cfg << log;
        if (c.pwd == nullptr) {
            EXPECT_EQ(code, 3u);
            EXPECT_TRUE(cmds(M_PWD).empty());
            EXPECT_EQ(cmds(M_ERR), std::vector<std::string>{"CRAM-MD5 required"});
        } else {
            EXPECT_EQ(code, 0u) << log;
            EXPECT_EQ(cmds(M_PWD), std::vector<std::string>{c.pwd}) << c.cfg;
        }
    }
}

// Nothing reaches the inbound before the boss has presented its address and
// answered our password with M_OK: a file offered earlier, an M_OK that
// comes before the password, or a stranger's address end the session with 5.
TEST_F(SessionTest, NoFileBeforeTheLogin) {
    struct {
        const char* what;
        std::function<void(BossPeer&)> script;
        const char* printed;
        const char* err;  // M_ERR sent to the boss
    } cases[] = {
        {"file before the address",
         [](BossPeer& p) {
             p.send_file("early.pkt", "before the address");
             p.send_cmd(M_ADR, "2:240/5776@fidonet");
             p.wait_cmd(M_PWD);
             p.send_cmd(M_OK, "");
             p.send_file("late.pkt", "after");
         },
         "ERROR: file offered before the login was accepted (M_OK) - refused, session ended: "
         "early.pkt",
         "File before login"},
        {"file between password and M_OK",
         [](BossPeer& p) {
             p.send_cmd(M_ADR, "2:240/5776@fidonet");
             p.wait_cmd(M_PWD);
             p.send_file("login.pkt", "before M_OK");
             p.send_cmd(M_OK, "");
         },
         "ERROR: file offered before the login was accepted (M_OK) - refused, session ended: "
         "login.pkt",
         "File before login"},
        {"M_OK before the password",
         [](BossPeer& p) {
             p.send_cmd(M_OK, "trust me");
             p.send_cmd(M_ADR, "2:240/5776@fidonet");
             p.send_file("unasked.pkt", "no login");
         },
         "ERROR: M_OK before the password was sent - session ended, nothing accepted",
         "M_OK before the password"},
        {"a stranger's address, files regardless",
         [](BossPeer& p) {
             p.send_cmd(M_ADR, "2:240/9999@fidonet");
             p.send_cmd(M_OK, "");
             p.send_file("stranger.pkt", "from 2:240/9999");
         },
         "ERROR: boss address not among the remote addresses: 2:240/5776", "Unexpected address"},
        {"the boss's address presented again as a stranger's after the login",
         [](BossPeer& p) {
             p.login();
             p.send_cmd(M_ADR, "2:240/9999@fidonet");
             p.send_file("swapped.pkt", "from 2:240/9999");
         },
         "ERROR: boss address not among the remote addresses: 2:240/5776", "Unexpected address"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(run([&](BossPeer& p) {
                      c.script(p);
                      p.drain();
                  }),
                  5u)
            << c.what << "\n"
            << log;
        EXPECT_TRUE(logged(c.printed)) << c.what << "\n" << log;
        EXPECT_EQ(cmds(M_ERR), std::vector<std::string>{c.err}) << c.what;
        EXPECT_TRUE(dir_names(dir.file("in")).empty()) << c.what;
        EXPECT_FALSE(logged("File received")) << c.what;
    }
    // The same files after the login are taken.
    EXPECT_EQ(run([&](BossPeer& p) {
                  p.login();
                  Transfer t;
                  t.to_point = {{"late.pkt", "after the login"}};
                  t.run(p);
              }),
              0u)
        << log;
    EXPECT_EQ(read_file(dir.file("in") + "/late.pkt"), "after the login");
}

TEST_F(SessionTest, RejectionsEndWithTheirCodes) {
    struct {
        uint8_t code;
        const char* text;
        unsigned result;
        const char* printed;
    } cases[] = {
        {M_ERR, "Bad password", 3, "ERROR from remote (M_ERR): Bad password"},
        {M_BSY, "Too many", 4, "Remote busy (M_BSY): Too many"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(run([&](BossPeer& p) {
                      p.send_cmd(M_ADR, "2:240/5776@fidonet");
                      p.wait_cmd(M_PWD);
                      p.send_cmd(c.code, c.text);
                      p.drain();
                  }),
                  c.result);
        EXPECT_TRUE(logged(c.printed));
        EXPECT_TRUE(logged("End") == false);
    }
}

// ---- Transfer ------------------------------------------------------------------

TEST_F(SessionTest, FlowFilePrefixesAreSettledAndNetmailGoesAsPkt) {
    std::string a = file("a.pkt", "AAAA"), b = file("b.zip", "BB"), c = file("c.txt", "C"),
                d = file("d.txt", "DDD"), e = file("e.txt", "EEEEE"), z = file("z.txt", "");
    std::string missing = dir.file("files") + "/missing.txt";
    write_file(flo(), "#" + a + "\r\n^" + b + "\n" + c + "\n@" + d + "\n-" + e + "\n~done\n!" +
                          dir.file("files") + "/x\n\n^" + missing + "\n^" + z + "\n");
    write_file(dir.file("out") + "/00f01690.hut", "netmail");
    write_file(dir.file("out") + "/00f01690.cut", "crash");
    Transfer t;
    ASSERT_EQ(run([&](BossPeer& p) {
                  p.login();
                  t.run(p);
              }),
              0u)
        << log;
    EXPECT_EQ(read_file(a), "");  // truncated
    EXPECT_FALSE(file_exists(b));
    EXPECT_EQ(read_file(c), "C");
    EXPECT_EQ(read_file(d), "DDD");
    EXPECT_FALSE(file_exists(e));
    EXPECT_FALSE(file_exists(z));
    EXPECT_FALSE(file_exists(flo()));
    EXPECT_FALSE(file_exists(dir.file("out") + "/00f01690.hut"));
    EXPECT_FALSE(file_exists(dir.file("out") + "/00f01690.cut"));
    EXPECT_FALSE(file_exists(dir.file("out") + "/00f01690.bsy"));
    EXPECT_EQ(t.received["a.pkt"], "AAAA");
    EXPECT_EQ(t.received["z.txt"], "");
    EXPECT_EQ(t.received.count("z.txt"), 1u);
    // Netmail packets: 8 hexadecimal digits and ".pkt", crash before hold.
    std::vector<std::string> pkts;
    for (auto& r : t.received)
        if (r.first.size() == 12 && r.first.substr(8) == ".pkt") pkts.push_back(r.second);
    EXPECT_EQ(pkts.size(), 2u);
    EXPECT_EQ(t.received.size(), 8u);
    EXPECT_TRUE(logged("File from flow file missing - line ignored: " + missing));
    EXPECT_TRUE(logged("  -> file truncated to 0 bytes: " + a));
    EXPECT_TRUE(logged("  -> file kept: " + c));
    EXPECT_TRUE(logged("  -> file deleted: " + b));
    EXPECT_TRUE(logged("Flow file done and deleted: " + flo()));
    EXPECT_TRUE(logged("Session finished. Files received: 0, sent: 8"));
    // M_FILE carries name, size, time and offset 0.
    std::vector<std::string> files = cmds(M_FILE);
    EXPECT_NE(std::find(files.begin(), files.end(),
                        "d.txt 3 " + std::to_string(pf_stat(d.c_str()).mtime) + " 0"),
              files.end());
}

TEST_F(SessionTest, MarksStayWhenTheBossSkipsOrTheSessionBreaks) {
    std::string a = file("a.txt", "A"), b = file("b.txt", "B"), c = file("c.txt", "C");
    const std::string flow = "^" + a + "\n" + b + "\n^" + c + "\n";
    write_file(flo(), flow);
    // b is skipped: its line and file stay; the others are settled.
    Transfer t;
    t.answer = [](const std::string& w) { return uint8_t(w == "b.txt" ? 10 : 6); };
    ASSERT_EQ(run([&](BossPeer& p) {
                  p.login();
                  t.run(p);
              }),
              0u);
    EXPECT_TRUE(logged("Remote skips file (M_SKIP): b.txt"));
    EXPECT_EQ(read_file(flo()), "~" + a + "\n" + b + "\n~" + c + "\n");
    EXPECT_EQ(read_file(b), "B");
    EXPECT_FALSE(file_exists(a));

    // Next time the boss confirms a file it never got and then the line
    // drops: b stays sent-but-unconfirmed, nothing more is marked.
    write_file(a, "A");
    write_file(c, "C");
    write_file(flo(), flow);
    EXPECT_EQ(run([&](BossPeer& p) {
                  p.login();
                  BFrame f;
                  while (p.recv(f))
                      if (f.cmd && f.code == M_FILE && f.data.rfind("a.txt", 0) == 0) break;
                  p.send_cmd(M_GOT, "a.txt 1 0");
                  p.send_cmd(M_GOT, "nosuch.txt 1 0");
                  p.wait_cmd(M_EOB);  // b and c went out, unanswered
                  p.close_now();
              }),
              2u);
    EXPECT_TRUE(logged("ERROR: connection lost or timeout"));
    EXPECT_TRUE(logged("M_GOT/M_SKIP for unknown file ignored: nosuch.txt"));
    EXPECT_EQ(read_file(flo()), "~" + a + "\n" + b + "\n^" + c + "\n");
    EXPECT_EQ(read_file(b), "B");
    EXPECT_EQ(read_file(c), "C");
    EXPECT_FALSE(file_exists(dir.file("out") + "/00f01690.bsy"));
}

TEST_F(SessionTest, EndsOnlyAfterEobAndEveryAnswer) {
    std::string a = file("a.txt", "A");
    write_file(flo(), "^" + a + "\n");
    EXPECT_EQ(run([&](BossPeer& p) {
                  p.login();
                  p.send_cmd(M_EOB, "");
                  p.wait_cmd(M_EOB);
                  usleep(200000);
                  p.send_cmd(M_GET, "other.txt 1 0 0");  // nothing we sent: ignored
                  usleep(100000);
                  p.send_cmd(M_GOT, "A.TXT 1 0");  // names compare case-insensitively
                  p.drain();
              }),
              0u)
        << log;
    // Said as what it is: a request for a file this session does not send.
    EXPECT_TRUE(logged("M_GET for unknown file ignored: other.txt 1 0 0")) << log;
    EXPECT_FALSE(logged("not supported")) << log;
    EXPECT_TRUE(logged("Acknowledged (M_GOT): A.TXT"));
    EXPECT_FALSE(file_exists(a));
    EXPECT_FALSE(file_exists(flo()));
}

// A boss that holds part of a file from a broken call asks for the rest with
// M_GET and waits for it; the file is sent again from that offset, also when
// the request comes while it is still being sent.
TEST_F(SessionTest, MGetFromTheBossSendsTheRest) {
    std::string content;
    for (int i = 0; i < 300000; ++i) content.push_back(static_cast<char>('a' + i % 26));
    sndbuf = 8192;
    std::string a = file("a.bin", content), b = file("b.bin", "bee");
    write_file(flo(), "^" + a + "\n^" + b + "\n");
    std::string got_a, got_b;
    size_t first_a = 0;  // bytes of a that went out before it started over
    std::vector<std::string> offers;
    EXPECT_EQ(run([&](BossPeer& p) {
                  p.login();
                  BFrame f;
                  // a: before reading its data, ask for everything from 200000.
                  p.wait_cmd(M_FILE, &f);
                  offers.push_back(f.data);
                  p.send_cmd(M_GET, "a.bin 300000 0 200000");
                  std::string* cur = &got_a;
                  bool eob = false;
                  while (!eob && p.recv(f)) {
                      if (!f.cmd) {
                          cur->append(f.data);
                      } else if (f.code == M_FILE) {
                          offers.push_back(f.data);
                          cur = f.data.rfind("a.bin", 0) == 0 ? &got_a : &got_b;
                          if (cur == &got_a) {
                              first_a = got_a.size();
                              got_a.clear();
                          }
                      } else if (f.code == M_EOB) {
                          eob = true;
                      }
                  }
                  // b again from 1, after the point's M_EOB.
                  got_b.clear();
                  p.send_cmd(M_GET, "b.bin 3 0 1");
                  p.wait_cmd(M_FILE, &f);
                  offers.push_back(f.data);
                  p.recv(f);
                  got_b = f.data;
                  p.send_cmd(M_GOT, "a.bin 300000 0");
                  p.send_cmd(M_GOT, "b.bin 3 0");
                  p.send_cmd(M_EOB, "");
                  p.drain();
              }),
              0u)
        << log;
    ASSERT_GE(offers.size(), 4u);
    EXPECT_EQ(offers.size(), 4u);
    EXPECT_EQ(offers.front().substr(0, 12), "a.bin 300000");
    EXPECT_EQ(offers[1].substr(0, 12), "a.bin 300000");
    EXPECT_EQ(offers[1].substr(offers[1].size() - 7), " 200000");
    EXPECT_EQ(got_a, content.substr(200000));
    EXPECT_LT(first_a, content.size());  // the request cut the first run short
    EXPECT_EQ(offers.back().substr(offers.back().size() - 2), " 1");
    EXPECT_EQ(got_b, "ee");
    EXPECT_TRUE(logged("Remote requests the file again (M_GET): a.bin 300000 0 200000"));
    EXPECT_TRUE(logged("Session finished. Files received: 0, sent: 2"));
    EXPECT_FALSE(file_exists(a));
    EXPECT_FALSE(file_exists(flo()));
}

TEST_F(SessionTest, ReceivesIntoInboundWithEscapesDupsAndOffsets) {
    write_file(dir.file("in") + "/dup.txt", "old");
    Transfer t;
    t.to_point = {{"plain.txt", "hello"},
                  {"empty.bin", ""},
                  {"my\\x20file.txt", "spaced"},
                  {"dup.txt", "new"},
                  {"big.bin", std::string(20000, 'b')}};
    std::string whole(9000, 'w');
    ASSERT_EQ(run([&](BossPeer& p) {
                  p.login();
                  // Offered from an offset: asked again from 0, then taken whole.
                  p.send_cmd(M_FILE, "resumed.bin 9000 1700000000 100");
                  p.wait_cmd(M_GET);
                  p.send_file("resumed.bin", whole);
                  t.run(p);
              }),
              0u)
        << log;
    std::string in = dir.file("in") + "/";
    EXPECT_EQ(read_file(in + "plain.txt"), "hello");
    EXPECT_TRUE(file_exists(in + "empty.bin"));
    EXPECT_EQ(read_file(in + "empty.bin"), "");
    EXPECT_EQ(read_file(in + "my file.txt"), "spaced");
    EXPECT_EQ(read_file(in + "dup.txt"), "old");
    EXPECT_EQ(read_file(in + "dup.txt.dup1"), "new");
    EXPECT_EQ(read_file(in + "big.bin"), std::string(20000, 'b'));
    EXPECT_EQ(read_file(in + "resumed.bin"), whole);
    EXPECT_TRUE(logged("Name already existed, saved as: " + in + "dup.txt.dup1"));
    EXPECT_TRUE(logged("File offered with offset - requesting it from 0 (M_GET): resumed.bin"));
    EXPECT_EQ(cmds(M_GET), std::vector<std::string>{"resumed.bin 9000 1700000000 0"});
    // M_GOT carries the raw name as offered.
    std::vector<std::string> gots = cmds(M_GOT);
    EXPECT_NE(std::find(gots.begin(), gots.end(), "my\\x20file.txt 6 1700000000"), gots.end());
    EXPECT_EQ(gots.size(), 6u);
    EXPECT_TRUE(logged("Session finished. Files received: 6, sent: 0"));
    for (auto& n : dir_names(dir.file("in"))) EXPECT_EQ(n.find(".wpt"), std::string::npos) << n;
}

// A received file settles (sync, rename, sync of the inbound) on a thread of
// its own while the next one arrives, and its M_GOT follows when it is done.
// A boss that sends one file at a time must still get each M_GOT; two files
// of one name in a row must not collide on the temporary file; the M_GOTs
// keep the order of the files.
TEST_F(SessionTest, LateMGotsKeepTheOrderAndServeABossThatWaits) {
    std::string big = pattern(300000);
    ASSERT_EQ(run([&](BossPeer& p) {
                  p.login();
                  p.send_file("one.bin", big);
                  if (!p.wait_cmd(M_GOT)) return;
                  p.send_file("two.pkt", "two");
                  if (!p.wait_cmd(M_GOT)) return;
                  p.send_file("same.pkt", "first");
                  p.send_file("same.pkt", "second");
                  p.send_file("last.bin", "");
                  p.send_cmd(M_EOB, "");
                  p.drain();
              }),
              0u)
        << log;
    std::string in = dir.file("in") + "/";
    EXPECT_EQ(read_file(in + "one.bin"), big);
    EXPECT_EQ(read_file(in + "two.pkt"), "two");
    EXPECT_EQ(read_file(in + "same.pkt"), "first");
    EXPECT_EQ(read_file(in + "same.pkt.dup1"), "second");
    EXPECT_TRUE(file_exists(in + "last.bin"));
    EXPECT_EQ(cmds(M_GOT),
              (std::vector<std::string>{"one.bin 300000 1700000000", "two.pkt 3 1700000000",
                                        "same.pkt 5 1700000000", "same.pkt 6 1700000000",
                                        "last.bin 0 1700000000"}));
    EXPECT_TRUE(logged("Session finished. Files received: 5, sent: 0"));
    for (auto& n : dir_names(dir.file("in"))) EXPECT_EQ(n.find(".wpt"), std::string::npos) << n;
}

// The line breaks while the file before is still settling: that file is
// complete and stays (the boss, lacking its M_GOT, may send it again; it
// then arrives as a .dupN), the cut one is discarded.
TEST_F(SessionTest, ACutWhileTheFileBeforeSettlesKeepsThatFile) {
    configure("nr = no\n");
    std::string done = pattern(100000);
    EXPECT_EQ(run([&](BossPeer& p) {
                  p.login();
                  p.wait_cmd(M_EOB);  // the point has nothing more to send
                  p.send_file("done.bin", done);
                  p.send_cmd(M_FILE, "half.bin 10000 1700000000 0");
                  p.send_data(std::string(5000, 'h'));
                  p.close_now();
              }),
              2u);
    EXPECT_EQ(read_file(dir.file("in") + "/done.bin"), done);
    EXPECT_EQ(dir_names(dir.file("in")), std::set<std::string>{"done.bin"});
    EXPECT_TRUE(logged("Incomplete file discarded: half.bin"));
}

TEST_F(SessionTest, HostileNamesStayInsideTheInbound) {
    struct {
        const char* wire;
        const char* local;
    } cases[] = {
        {"..\\evil", "_._evil"},
        {"\\x2e\\x2e\\x2fevil2", "_._evil2"},
        {"a:b", "a_b"},
        {"/etc/x", "_etc_x"},
        {"\\x01ctl\\x1f\\x00z", "_ctl__z"},
        {"q\"*?<>|", "q______"},
        {".hidden", "_hidden"},
        {"tail\\x4", "tail_x4"},
        {"part.wpt", "part.wpt_"},
        {"tossed", "tossed_"},
        {"WPTMP", "WPTMP_"},
    };
    Transfer t;
    for (auto& c : cases) t.to_point.push_back({c.wire, c.wire});
    ASSERT_EQ(run([&](BossPeer& p) {
                  p.login();
                  t.run(p);
              }),
              0u)
        << log;
    std::set<std::string> want;
    for (auto& c : cases) {
        want.insert(c.local);
        EXPECT_EQ(read_file(dir.file("in") + "/" + c.local), c.wire);
    }
    EXPECT_EQ(dir_names(dir.file("in")), want);
    EXPECT_EQ(dir_names(dir.path()), (std::set<std::string>{"files", "in", "out", "wp.cfg"}));
    char out[RXNAME_MAX];
    rx_local_name(out, "");
    EXPECT_STREQ(out, "none");
    std::string longname(400, 'n');
    rx_local_name(out, longname.c_str());
    EXPECT_EQ(std::string(out), std::string(255, 'n'));
}

// The names the toss keeps for its own directories in the inbound are never
// given to a received file, in any letter case or with the trailing dots and
// blanks that Windows drops; names that merely contain them stay as they are.
TEST(RxLocalName, ReservedInboundNamesAreRenamed) {
    struct {
        const char* wire;
        const char* local;
    } cases[] = {
        {"tossed", "tossed_"},     {"wptmp", "wptmp_"},          {"TOSSED", "TOSSED_"},
        {"WpTmp", "WpTmp_"},       {"tossed.", "tossed._"},      {"wptmp\\x20.\\x20", "wptmp . _"},
        {"\\x74ossed", "tossed_"}, {"tossed.pkt", "tossed.pkt"}, {"tossedx", "tossedx"},
        {"xwptmp", "xwptmp"},      {"wptmp.dup1", "wptmp.dup1"}, {".tossed", "_tossed"},
        {"tossed_", "tossed_"},    {"wptmp.wpt", "wptmp.wpt_"},  {"x.pkt.wpn", "x.pkt.wpn_"},
        {"X.WPN", "X.WPN_"},
    };
    for (const auto& c : cases) {
        char out[RXNAME_MAX];
        rx_local_name(out, c.wire);
        EXPECT_STREQ(out, c.local) << c.wire;
    }
}

// Windows opens a device for these names in any directory, with or without
// an extension; the received file gets a "_" in front instead.
TEST(RxLocalName, DeviceNamesAreRenamed) {
    struct {
        const char* wire;
        const char* local;
    } cases[] = {
        {"NUL", "_NUL"},         {"con", "_con"},
        {"nul.pkt", "_nul.pkt"}, {"Com1.zip", "_Com1.zip"},
        {"LPT9", "_LPT9"},       {"aux\x20.txt", "_aux .txt"},
        {"CONOUT$", "_CONOUT$"}, {"nul.tar.gz", "_nul.tar.gz"},
        {"COM0", "COM0"},        {"COM10", "COM10"},
        {"nulx", "nulx"},        {"xnul", "xnul"},
        {"con_", "con_"},        {"00010002.pkt", "00010002.pkt"},
    };
    for (const auto& c : cases) {
        char out[RXNAME_MAX];
        rx_local_name(out, c.wire);
        EXPECT_STREQ(out, c.local) << c.wire;
    }
    std::string longname = "nul." + std::string(300, 'x');
    char out[RXNAME_MAX];
    rx_local_name(out, longname.c_str());
    EXPECT_EQ(std::string(out), "_nul." + std::string(250, 'x'));
}

TEST_F(SessionTest, SendNamesAreEscapedAndDuplicatesWait) {
    char w[WIRE_MAX];
    wire_escape(w, "C:\\out\\my file\x7f.txt");
    EXPECT_STREQ(w, "my\\x20file\\x7f.txt");
    wire_escape(w, "dir/sub:na\xe4me");
    EXPECT_STREQ(w, "na\\xe4me");
    std::string huge(600, '\x01');
    wire_escape(w, huge.c_str());
    EXPECT_EQ(std::string(w).size(), 1016u);

    mkdir(dir.file("files/x").c_str(), 0755);
    std::string one = file("bundle.su0", "1"), two = file("x/BUNDLE.SU0", "2");
    std::string sp = file("with space.txt", "s");
    write_file(flo(), "^" + one + "\n^" + sp + "\n");
    write_file(dir.file("out") + "/00f01690.hlo", "^" + two + "\n");
    Transfer t;
    ASSERT_EQ(run([&](BossPeer& p) {
                  p.login();
                  t.run(p);
              }),
              0u)
        << log;
    EXPECT_TRUE(logged("Name already used in this session - follows next time: " + two));
    EXPECT_EQ(t.received["with\\x20space.txt"], "s");
    EXPECT_FALSE(file_exists(one));
    EXPECT_EQ(read_file(two), "2");
    EXPECT_EQ(read_file(dir.file("out") + "/00f01690.hlo"), "^" + two + "\n");
}

TEST_F(SessionTest, SendListHoldsAtMost256Entries) {
    std::string lines;
    for (int i = 0; i < 258; ++i)
        lines += "^" + dir.file("files") + "/gone" + std::to_string(i) + "\n";
    write_file(flo(), lines);
    Transfer t;
    ASSERT_EQ(run([&](BossPeer& p) {
                  p.login();
                  t.run(p);
              }),
              0u);
    size_t first = log.find("Warning: more than 256 files - rest next time");
    ASSERT_NE(first, std::string::npos);
    EXPECT_EQ(log.find("Warning: more than 256", first + 1), std::string::npos);
    std::string rest = read_file(flo());
    EXPECT_EQ(std::count(rest.begin(), rest.end(), '~'), 256);
    EXPECT_NE(rest.find("\n^" + dir.file("files") + "/gone257\n"), std::string::npos);
}

TEST_F(SessionTest, PlainModeSendsEveryFileWithoutLock) {
    configure("outmode = PLAIN\n");
    write_file(dir.file("out") + "/one.pkt", "1");
    write_file(dir.file("out") + "/two.zip", "22");
    mkdir(dir.file("out/sub").c_str(), 0755);
    Transfer t;
    ASSERT_EQ(run([&](BossPeer& p) {
                  p.login();
                  t.run(p);
              }),
              0u);
    EXPECT_EQ(t.received.size(), 2u);
    EXPECT_EQ(dir_names(dir.file("out")), std::set<std::string>{"sub"});
    EXPECT_FALSE(logged("BSO outbound"));
}

TEST_F(SessionTest, NothingToSendAndUnknownOrEmptyFrames) {
    EXPECT_EQ(run([&](BossPeer& p) {
                  p.send_raw(BossPeer::frame(true, ""));  // empty command frame
                  p.send_cmd(M_PWD, "x");
                  p.send_cmd(42, "future");
                  p.send_data("stray");
                  p.send_data("");
                  p.login();
                  Transfer t;
                  t.run(p);
              }),
              0u)
        << log;
    EXPECT_TRUE(logged("Nothing to send"));
    EXPECT_TRUE(logged("Data frame without active file ignored"));
    size_t first = log.find("Unknown command ignored");
    ASSERT_NE(first, std::string::npos);
    EXPECT_NE(log.find("Unknown command ignored", first + 1), std::string::npos);
}

TEST_F(SessionTest, BusyOutboundAnswersWithBsy) {
    BsoLock other;
    std::string base = dir.file("out") + "/00f01690";
    ASSERT_EQ(bso_lock(other, base.c_str(), "export"), 0);
    EXPECT_EQ(run([&](BossPeer& p) {
                  p.login();
                  p.drain();
              }),
              4u);
    EXPECT_TRUE(logged("ERROR: boss outbound busy (.bsy) - ending session with M_BSY"));
    EXPECT_EQ(cmds(M_BSY), std::vector<std::string>{"Outbound busy, try later"});
    EXPECT_TRUE(file_exists(base + ".bsy"));  // still the other holder's
    bso_unlock(other);
}

TEST_F(SessionTest, SilentBossTimesOut) {
    setenv("WRENPOST_NET_TIMEOUT", "300", 1);
    uint64_t t0 = pf_ticks_ms();
    EXPECT_EQ(run([&](BossPeer& p) {
                  p.login();
                  // Falls silent, but keeps the connection open until the
                  // point gives up and closes.
                  p.drain();
              }),
              2u);
    EXPECT_TRUE(logged("ERROR: connection lost or timeout"));
    EXPECT_LT(pf_ticks_ms() - t0, 60000u);
}

// A boss that drips a frame byte by byte, or keeps the session busy with
// frames that never lead to its end, is cut off: a frame must be whole within
// net_timeout, the session within session_limit; both end with 2.
TEST_F(SessionTest, DrippingBossIsCutOff) {
    struct {
        const char* cfg;
        bool drip;  // else: whole frames, one every 100 ms
        const char* printed;
    } cases[] = {
        {"net_timeout = 1\n", true, "ERROR: connection lost or timeout"},
        {"session_limit = 2\n", false, "ERROR: session time limit reached (seconds): 2"},
        // Frames well within net_timeout (100 ms apart against 2 s, so that
        // a boss thread kept waiting by a busy machine still makes each),
        // but the session's limit still cuts: net_timeout under the limit
        // does not stretch it.
        {"net_timeout = 2\nsession_limit = 3\n", false,
         "ERROR: session time limit reached (seconds): 3"},
    };
    for (const auto& c : cases) {
        configure(std::string("outmode = plain\n") + c.cfg);
        Transfer t;
        t.to_point = {{"after.pkt", "whole"}};
        EXPECT_EQ(run([&](BossPeer& p) {
                      if (!p.login()) return;
                      // About 5 s of dripping, then an ordinary end, which a
                      // point without limits would reach with 0.
                      if (c.drip) {
                          std::string f =
                              BossPeer::frame(true, std::string(1, '\0') + std::string(49, 'd'));
                          for (char b : f) {
                              if (!p.send_raw(std::string(1, b))) return;
                              usleep(100000);
                          }
                      } else {
                          for (int i = 0; i < 50; ++i) {
                              if (!p.send_cmd(M_NUL, "still here")) return;
                              usleep(100000);
                          }
                      }
                      t.run(p);
                  }),
                  2u)
            << c.cfg << log;
        EXPECT_TRUE(logged(c.printed)) << c.cfg << log;
        EXPECT_FALSE(file_exists(dir.file("in") + "/after.pkt")) << c.cfg;
    }
}

// Without resuming (nr = no) a cut file is discarded; with it, see the
// Resume tests below.
TEST_F(SessionTest, CutInTheMiddleOfAFileKeepsNothingAndResendsLater) {
    configure("nr = no\n");
    std::string a = file("a.txt", std::string(10000, 'a'));
    write_file(flo(), "^" + a + "\n");
    EXPECT_EQ(run([&](BossPeer& p) {
                  p.login();
                  p.send_cmd(M_FILE, "half.bin 10000 0 0");
                  p.send_data(std::string(5000, 'h'));
                  p.wait_cmd(M_FILE);
                  BFrame f;
                  p.recv(f);  // one block of ours, then the line goes dead
                  p.close_now();
              }),
              2u);
    EXPECT_TRUE(logged("Incomplete file discarded: half.bin"));
    EXPECT_TRUE(dir_names(dir.file("in")).empty());
    EXPECT_EQ(read_file(flo()), "^" + a + "\n");
    EXPECT_TRUE(file_exists(a));
    EXPECT_FALSE(file_exists(dir.file("out") + "/00f01690.bsy"));

    Transfer t;
    ASSERT_EQ(run([&](BossPeer& p) {
                  p.login();
                  t.run(p);
              }),
              0u);
    EXPECT_EQ(t.received["a.txt"], std::string(10000, 'a'));
    EXPECT_FALSE(file_exists(flo()));
}

// A boss that already has a file (binkd after a call broke before its M_GOT
// came through) answers M_GOT right after M_FILE. Sending stops there: the
// echomail bundle ("#" line) is truncated at once, and reading on would end
// the session with a read error and send everything else again next time.
TEST_F(SessionTest, AnAnswerWhileSendingEndsTheFile) {
    sndbuf = 4096;
    std::string big = file("00010002.mo0", std::string(4 << 20, 'b'));
    std::string small = file("small.pkt", "s");
    write_file(flo(), "#" + big + "\n^" + small + "\n");
    size_t data_after_got = 0;
    Transfer t;
    ASSERT_EQ(run([&](BossPeer& p) {
                  p.login();
                  BFrame f;
                  ASSERT_TRUE(p.wait_cmd(M_FILE, &f));
                  ASSERT_EQ(f.data.rfind("00010002.mo0 ", 0), 0u);
                  p.send_cmd(M_GOT, "00010002.mo0 4194304 0");
                  while (p.recv(f) && !(f.cmd && f.code == M_FILE)) data_after_got += f.data.size();
                  // small.pkt follows: answered as usual.
                  t.received["small.pkt"] = "";
                  ASSERT_TRUE(p.recv(f));
                  p.send_cmd(M_GOT, "small.pkt 1 0");
                  t.run(p);
              }),
              0u)
        << log;
    EXPECT_LT(data_after_got, size_t{4} << 20);
    EXPECT_FALSE(logged("ERROR: read error"));
    EXPECT_TRUE(logged("  -> file truncated to 0 bytes: " + big));
    EXPECT_EQ(pf_stat(big.c_str()).size, 0);
    EXPECT_FALSE(file_exists(small));
    EXPECT_FALSE(file_exists(flo()));
    EXPECT_TRUE(logged("Session finished. Files received: 0, sent: 2"));
}

// Files go out in batches of data frames read together: whatever the size,
// every byte arrives in order, in full frames but the last of each file.
TEST_F(SessionTest, FilesOfEverySizeAcrossBatchesArriveWhole) {
    const size_t sizes[] = {
        1, TX_CHUNK, TX_CHUNK + 1, 31 * TX_CHUNK, 40 * TX_CHUNK + 5, 3 * TX_BATCH * TX_CHUNK - 1};
    std::string lines;
    std::map<std::string, std::string> want;
    for (size_t n : sizes) {
        std::string name = "f" + std::to_string(n) + ".bin";
        std::string content;
        content.reserve(n);
        for (size_t i = 0; i < n; ++i)
            content.push_back(static_cast<char>((i * 131 + i / 509) & 0xff));
        want[name] = content;
        lines += "^" + file(name, content) + "\n";
    }
    write_file(flo(), lines);
    Transfer t;
    ASSERT_EQ(run([&](BossPeer& p) {
                  p.login();
                  t.run(p);
              }),
              0u)
        << log;
    for (const auto& w : want) {
        EXPECT_EQ(t.received[w.first].size(), w.second.size()) << w.first;
        EXPECT_TRUE(t.received[w.first] == w.second) << w.first;
    }
    // Within a file every data frame is full but the last.
    size_t left = 0;
    for (const BFrame& f : peer_seen) {
        if (f.cmd && f.code == M_FILE) {
            left = std::stoull(f.data.substr(f.data.find(' ') + 1));
        } else if (!f.cmd) {
            ASSERT_GT(left, 0u);
            EXPECT_EQ(f.data.size(), std::min(left, TX_CHUNK));
            left -= std::min(left, f.data.size());
        }
    }
    EXPECT_TRUE(logged("Session finished. Files received: 0, sent: 6"));
}

// The size went out with M_FILE: a file that shrinks while it is sent cannot
// be sent whole and ends the session with a read error; its flow-file line
// stays for the next call.
TEST_F(SessionTest, AFileThatShrinksWhileSentIsAReadError) {
    sndbuf = 4096;  // the point cannot read ahead of what the boss takes
    std::string big = file("big.bin", std::string(300000, 'x'));
    write_file(flo(), "^" + big + "\n");
    EXPECT_EQ(run([&](BossPeer& p) {
                  p.login();
                  BFrame f;
                  ASSERT_TRUE(p.wait_cmd(M_FILE, &f));
                  EXPECT_EQ(f.data.rfind("big.bin 300000 ", 0), 0u);
                  ASSERT_EQ(truncate(big.c_str(), 50000), 0);
                  p.drain();
              }),
              5u)
        << log;
    EXPECT_TRUE(logged("ERROR: read error at " + big));
    EXPECT_EQ(read_file(flo()), "^" + big + "\n");
    size_t data = 0;
    for (const BFrame& f : peer_seen)
        if (!f.cmd) data += f.data.size();
    EXPECT_LE(data, 50000u);
}

// A flow file that cannot be rewritten keeps its old content; the lines
// after an unmarked one must still be marked where they are, not one byte
// further on (which would put "~" into the middle of a path).
TEST_F(SessionTest, AFailedFlowRewriteMovesNoLaterLine) {
    std::string a = file("a.txt", "A"), b = file("b.txt", "B");
    write_file(flo(), a + "\n^" + b + "\n");
    Transfer t;
    t.answer = [](const std::string& w) {
        if (w == "a.txt") pf_fault_write_after(1);  // the rewrite for a.txt fails
        return uint8_t{6};
    };
    ASSERT_EQ(run([&](BossPeer& p) {
                  p.login();
                  t.run(p);
              }),
              0u)
        << log;
    pf_fault_write_after(0);
    EXPECT_TRUE(logged("ERROR: flow file not writable: " + flo()));
    EXPECT_EQ(read_file(flo()), a + "\n~" + b + "\n");
    EXPECT_EQ(read_file(a), "A");
    EXPECT_FALSE(file_exists(b));
}

// Another wrenpost receiving the same name into this inbound (a poll of
// another boss) holds the temporary file: it is left alone and this session
// fails instead of writing into it. A leftover nobody holds is taken over.
TEST_F(SessionTest, ATemporaryFileInUseIsNotTouched) {
    std::string tmp = dir.file("in") + "/x.bin.wpt";
    write_file(tmp, "other");
    pf_file h = pf_open(tmp.c_str(), PfAccess::ReadWrite, PfCreate::OpenExisting);
    ASSERT_EQ(pf_lock_range(h, 0, 1), 0);
    EXPECT_EQ(run([&](BossPeer& p) {
                  p.login();
                  p.send_file("x.bin", "new");
                  p.drain();
              }),
              5u);
    EXPECT_TRUE(logged("ERROR: cannot create file: " + tmp));
    EXPECT_EQ(read_file(tmp), "other");
    EXPECT_FALSE(file_exists(dir.file("in") + "/x.bin"));
    pf_close(h);

    Transfer t;
    t.to_point = {{"x.bin", "new"}};
    ASSERT_EQ(run([&](BossPeer& p) {
                  p.login();
                  t.run(p);
              }),
              0u)
        << log;
    EXPECT_EQ(dir_names(dir.file("in")), std::set<std::string>{"x.bin"});
    EXPECT_EQ(read_file(dir.file("in") + "/x.bin"), "new");
}

TEST_F(SessionTest, ANewOfferDiscardsTheUnfinishedFile) {
    Transfer t;
    ASSERT_EQ(run([&](BossPeer& p) {
                  p.login();
                  p.send_cmd(M_FILE, "first.bin 100 0 0");
                  p.send_data(std::string(10, 'f'));
                  t.to_point = {{"second.bin", "22"}};
                  t.run(p);
              }),
              0u);
    EXPECT_TRUE(logged("Incomplete file discarded: first.bin"));
    EXPECT_EQ(dir_names(dir.file("in")), std::set<std::string>{"second.bin"});
}

TEST_F(SessionTest, LocalFileErrorsEndWithProtocolCode) {
    // The inbound cannot take files.
    configure(std::string("inbound = ") + dir.file("no/such/dir") + "\n");
    EXPECT_EQ(run([&](BossPeer& p) {
                  p.login();
                  p.send_file("x.bin", "x");
                  p.drain();
              }),
              5u);
    EXPECT_TRUE(logged("ERROR: cannot create file: " + dir.file("no/such/dir") + "/x.bin.wpt"));

    // A received file whose name and all nine alternatives exist.
    configure("");
    write_file(dir.file("in") + "/full.txt", "0");
    for (int i = 1; i <= 9; ++i)
        write_file(dir.file("in") + "/full.txt.dup" + std::to_string(i), "0");
    EXPECT_EQ(run([&](BossPeer& p) {
                  p.login();
                  p.send_file("full.txt", "new");
                  p.drain();
              }),
              5u);
    EXPECT_TRUE(logged("ERROR: cannot rename received file: " + dir.file("in") + "/full.txt.wpt"));
    EXPECT_EQ(read_file(dir.file("in") + "/full.txt.wpt"), "new");

    // A received file that cannot be written, or not forced to the disk: no
    // M_GOT (the boss keeps its copy), the file is discarded.
    unlink((dir.file("in") + "/full.txt.wpt").c_str());
    const struct {
        void (*fault_after)(long);
        const char* name;
    } faults[] = {{pf_fault_write_after, "w.bin"}, {pf_fault_sync_after, "s.bin"}};
    for (const auto& f : faults) {
        std::string path = dir.file("in") + "/" + f.name;
        EXPECT_EQ(run([&](BossPeer& p) {
                      p.login();
                      p.wait_cmd(M_EOB);
                      f.fault_after(1);
                      p.send_file(f.name, "data");
                      p.drain();
                  }),
                  5u)
            << f.name;
        f.fault_after(0);
        EXPECT_TRUE(logged("ERROR: write error at " + path + ".wpt")) << f.name;
        EXPECT_TRUE(logged(std::string("Incomplete file discarded: ") + f.name));
        EXPECT_TRUE(cmds(M_GOT).empty()) << f.name;
        EXPECT_FALSE(file_exists(path)) << f.name;
        EXPECT_FALSE(file_exists(path + ".wpt")) << f.name;
    }

    // A netmail packet that cannot be opened is skipped, not fatal.
    mkdir((dir.file("out") + "/00f01690.out").c_str(), 0755);
    std::string unreadable = dir.file("out") + "/00f01690.iut";
    write_file(unreadable, "x");
    chmod(unreadable.c_str(), 0);
    bool root = access(unreadable.c_str(), R_OK) == 0;
    Transfer t;
    EXPECT_EQ(run([&](BossPeer& p) {
                  p.login();
                  t.run(p);
              }),
              0u);
    if (!root) {
        EXPECT_TRUE(logged("ERROR: cannot open file: " + unreadable));
    }
}

}  // namespace

// ---- Batches (binkp/1.1) and file requests -----------------------------------

// With a binkp/1.1 boss, batches go on while either side offers a file; the
// point's waiting file request goes in the first, under its own name, and is
// deleted only once the boss has it.
TEST_F(SessionTest, BinkpOneOneBatchesGoOnWhileFilesFlow) {
    using Files = std::vector<std::pair<std::string, std::string>>;
    struct {
        const char* what;
        bool req;                 // a file request waits in the outbound
        std::vector<Files> boss;  // the boss's files, batch by batch
        bool skip_req;            // the boss answers the request with M_SKIP
        int batches;              // batches the session takes
    } cases[] = {
        {"nothing either way", false, {}, false, 1},
        {"boss files in the first", false, {{{"a.pkt", "AAA"}}}, false, 2},
        {"request, answer in the second", true, {{}, {{"ans.zip", "answer"}}}, false, 3},
        {"files in the third", true, {{}, {{"a.txt", "A"}}, {{"b.txt", "B"}}}, false, 4},
        {"request skipped", true, {}, true, 2},
    };
    const std::string req = dir.file("out") + "/00f01690.req";
    for (const auto& c : cases) {
        std::filesystem::remove_all(dir.file("in"));
        mkdir(dir.file("in").c_str(), 0755);
        if (c.req) write_file(req, "ans.zip\r\n");
        Batches b;
        b.to_point = c.boss;
        if (c.skip_req) b.answer = [](const std::string&) { return uint8_t{10}; };
        EXPECT_EQ(run([&](BossPeer& p) {
                      if (p.login("2:240/5776@fidonet", "VER binkd/1.1a-112/Linux binkp/1.1"))
                          b.run(p);
                  }),
                  0u)
            << c.what << log;
        EXPECT_EQ(cmds(M_EOB).size(), static_cast<size_t>(c.batches)) << c.what << log;
        EXPECT_EQ(b.batches, c.batches) << c.what;
        for (const Files& batch : c.boss)
            for (const auto& f : batch)
                EXPECT_EQ(read_file(dir.file("in") + "/" + f.first), f.second) << c.what;
        if (c.req) {
            EXPECT_EQ(b.received["00f01690.req"], "ans.zip\r\n") << c.what << log;
            EXPECT_EQ(file_exists(req), c.skip_req) << c.what;
        }
        std::filesystem::remove(req);
    }
}

// The session ends after one batch unless the boss announces binkp/1.1 or
// later as its protocol; a request goes to a binkp/1.0 boss as well.
TEST_F(SessionTest, OneBatchUnlessTheBossSpeaksOneOne) {
    struct {
        const char* ver;  // the boss's M_NUL, "" for none
        bool batches;
    } cases[] = {
        {"", false},
        {"VER binkd/1.0 binkp/1.0", false},
        {"VER other binkp/1", false},
        {"VER other/binkp/1.1", false},
        {"VER binkd/1.1a-112/Linux binkp/1.1", true},
        {"VER other BINKP/1.2", true},
        {"VER other binkp/2.0", true},
    };
    const std::string req = dir.file("out") + "/00f01690.req";
    for (const auto& c : cases) {
        write_file(req, "FILES\r\n");
        std::map<std::string, std::string> got;
        EXPECT_EQ(run([&](BossPeer& p) {
                      if (!p.login("2:240/5776@fidonet", c.ver)) return;
                      if (c.batches) {
                          Batches b;
                          b.to_point = {{{"x.pkt", "X"}}};
                          b.run(p);
                          got = b.received;
                      } else {
                          Transfer t;
                          t.to_point = {{"x.pkt", "X"}};
                          t.run(p);
                          got = t.received;
                      }
                  }),
                  0u)
            << c.ver << log;
        EXPECT_EQ(cmds(M_EOB).size(), c.batches ? 2u : 1u) << c.ver << log;
        EXPECT_EQ(got["00f01690.req"], "FILES\r\n") << c.ver;
        EXPECT_FALSE(file_exists(req)) << c.ver;
        EXPECT_EQ(read_file(dir.file("in") + "/x.pkt"), "X") << c.ver;
        std::filesystem::remove(dir.file("in") + "/x.pkt");
    }
    EXPECT_EQ(cmds(M_NUL)[3], "VER wrenpost/0.9 binkp/1.1");
}

// A boss that offers a file in every batch never lets the session end by
// itself: the session limit does, as for any boss that holds it.
TEST_F(SessionTest, BatchesWithoutEndMeetTheSessionLimit) {
    configure("session_limit = 2\n");
    uint64_t t0 = pf_ticks_ms();
    Batches b;
    b.forever = true;
    EXPECT_EQ(run([&](BossPeer& p) {
                  if (p.login("2:240/5776@fidonet", "VER binkd/1.1 binkp/1.1")) b.run(p);
              }),
              2u)
        << log;
    EXPECT_TRUE(logged("ERROR: session time limit reached (seconds): 2")) << log;
    EXPECT_GT(b.batches, 1);
    EXPECT_LT(pf_ticks_ms() - t0, 60000u);
}

// ---- Resuming (binkp's non-reliable mode) -------------------------------------

namespace {

// The boss's side of one offer in NR mode: M_FILE with offset -1, the
// point's M_GET, then M_FILE from that offset and the data up to `cut`
// (closing the line there) or to the end. Returns the offset asked for.
uint64_t nr_offer(BossPeer& p, const std::string& wire, const std::string& content,
                  size_t cut = std::string::npos) {
    std::string head = wire + " " + std::to_string(content.size()) + " 1700000000";
    p.send_cmd(M_FILE, head + " -1");
    BFrame f;
    if (!p.wait_cmd(M_GET, &f) || f.data.rfind(head + " ", 0) != 0) return UINT64_MAX;
    uint64_t off = std::stoull(f.data.substr(head.size() + 1));
    p.send_cmd(M_FILE, head + " " + std::to_string(off));
    size_t end = cut < content.size() ? cut : content.size();
    for (size_t at = off; at < end; at += 4096)
        p.send_data(content.substr(at, std::min<size_t>(4096, end - at)));
    if (cut < content.size()) p.close_now();
    return off;
}

}  // namespace

// A file cut twice arrives whole over three sessions; each session after a
// cut carries only what is missing, and the partial with its record is gone
// once the file is complete.
TEST_F(SessionTest, ResumeCarriesOnlyTheRestAcrossCuts) {
    std::string content = pattern(50000);
    std::string in = dir.file("in") + "/";
    struct {
        size_t cut;      // where the line goes dead (npos: not at all)
        uint64_t asked;  // the offset of the point's M_GET
        unsigned code;
    } steps[] = {{30000, 0, 2u}, {41000, 30000, 2u}, {std::string::npos, 41000, 0u}};
    for (const auto& st : steps) {
        uint64_t asked = UINT64_MAX;
        Transfer t;
        EXPECT_EQ(run([&](BossPeer& p) {
                      p.login();
                      asked = nr_offer(p, "big.bin", content, st.cut);
                      if (st.cut == std::string::npos) t.run(p);
                  }),
                  st.code)
            << log;
        EXPECT_EQ(asked, st.asked) << log;
        if (st.cut != std::string::npos) {
            EXPECT_TRUE(logged("Incomplete file kept for resuming: big.bin (" +
                               std::to_string(st.cut) + " bytes)"))
                << log;
            EXPECT_EQ(read_file(in + "big.bin.wpt"), content.substr(0, st.cut));
            EXPECT_EQ(read_file(in + "big.bin.wpn"), "big.bin 50000 1700000000\n");
            EXPECT_FALSE(file_exists(in + "big.bin"));
        }
        if (st.asked > 0) {
            EXPECT_TRUE(
                logged("Part of the file held - requesting the rest (M_GET): big.bin "
                       "from byte " +
                       std::to_string(st.asked)))
                << log;
        }
    }
    EXPECT_EQ(read_file(in + "big.bin"), content);
    EXPECT_EQ(dir_names(dir.file("in")), std::set<std::string>{"big.bin"});
    EXPECT_EQ(cmds(M_GOT), std::vector<std::string>{"big.bin 50000 1700000000"});
}

// A partial is used only for the same offer with offset -1 and nr = yes;
// anything else starts from 0 and replaces it, so one name never holds two.
TEST_F(SessionTest, ResumeOnlyForTheSameOffer) {
    std::string content = pattern(9000);
    std::string in = dir.file("in") + "/";
    struct {
        const char* what;
        const char* record;  // "" = no record beside the partial
        const char* offer;   // the boss's M_FILE (data follows from 0 after M_GET)
        const char* cfg;
        const char* get;  // the point's M_GET, "" = none
    } cases[] = {
        {"another size", "big.bin 9001 1700000000\n", "big.bin 9000 1700000000 -1", "",
         "big.bin 9000 1700000000 0"},
        {"another time", "big.bin 9000 1600000000\n", "big.bin 9000 1700000000 -1", "",
         "big.bin 9000 1700000000 0"},
        {"another wire name", "big\\x20.bin 9000 1700000000\n", "big.bin 9000 1700000000 -1", "",
         "big.bin 9000 1700000000 0"},
        {"no record (killed run)", "", "big.bin 9000 1700000000 -1", "",
         "big.bin 9000 1700000000 0"},
        {"offer from 0 (no NR)", "big.bin 9000 1700000000\n", "big.bin 9000 1700000000 0", "", ""},
        {"nr = no", "big.bin 9000 1700000000\n", "big.bin 9000 1700000000 -1", "nr = no\n",
         "big.bin 9000 1700000000 0"},
        {"offset we did not ask for", "big.bin 9000 1700000000\n", "big.bin 9000 1700000000 4000",
         "", "big.bin 9000 1700000000 0"},
    };
    for (const auto& c : cases) {
        configure(c.cfg);
        for (auto& n : dir_names(dir.file("in"))) std::filesystem::remove(in + n);
        write_file(in + "big.bin.wpt", std::string(4000, 'X'));
        if (c.record[0] != '\0') write_file(in + "big.bin.wpn", c.record);
        Transfer t;
        EXPECT_EQ(run([&](BossPeer& p) {
                      p.login();
                      p.send_cmd(M_FILE, c.offer);
                      if (c.get[0] != '\0') p.wait_cmd(M_GET);
                      p.send_file("big.bin", content);
                      t.run(p);
                  }),
                  0u)
            << c.what << log;
        std::vector<std::string> gets = cmds(M_GET);
        EXPECT_EQ(gets, c.get[0] ? std::vector<std::string>{c.get} : std::vector<std::string>{})
            << c.what;
        EXPECT_EQ(read_file(in + "big.bin"), content) << c.what;
        EXPECT_EQ(dir_names(dir.file("in")), std::set<std::string>{"big.bin"}) << c.what;
    }
}

// Any failure but a cut line discards the part received, and so do nr = no
// and partial_keep_days = 0.
TEST_F(SessionTest, OnlyACutLineKeepsThePart) {
    struct {
        const char* cfg;
        uint8_t last;  // what the boss does after 3000 bytes: M_ERR, or 0 to hang up
        unsigned code;
    } cases[] = {{"", M_ERR, 3u},
                 {"nr = no\n", 0, 2u},
                 {"", M_BSY, 4u},
                 // Kept for its session only.
                 {"partial_keep_days = 0\n", 0, 2u}};
    for (const auto& c : cases) {
        configure(c.cfg);
        EXPECT_EQ(run([&](BossPeer& p) {
                      p.login();
                      p.send_cmd(M_FILE, "big.bin 9000 1700000000 0");
                      p.send_data(std::string(3000, 'x'));
                      if (c.last != 0) p.send_cmd(c.last, "gone");
                      p.wait_cmd(M_EOB);  // all of ours read: the close is no reset
                      p.close_now();
                  }),
                  c.code)
            << c.cfg << log;
        EXPECT_TRUE(dir_names(dir.file("in")).empty()) << c.cfg;
        EXPECT_TRUE(logged("Incomplete file discarded: big.bin")) << c.cfg;
    }
}

// Partials older than partial_keep_days go at the start of the next session,
// and so do records whose partial is gone; younger ones stay.
TEST_F(SessionTest, OldPartialsAreRemovedByTheNextPoll) {
    std::string in = dir.file("in") + "/";
    auto age = [&](const std::string& path, int64_t days) {
        struct timeval tv[2];
        tv[0].tv_sec = tv[1].tv_sec = time(nullptr) - days * 86400 - 60;
        tv[0].tv_usec = tv[1].tv_usec = 0;
        utimes(path.c_str(), tv);
    };
    struct {
        const char* cfg;
        std::set<std::string> left;
    } cases[] = {
        {"", {"new.bin.wpt", "new.bin.wpn", "x.pkt"}},
        {"partial_keep_days = 3\n", {"x.pkt"}},
        {"partial_keep_days = 10\n",
         {"new.bin.wpt", "new.bin.wpn", "old.bin.wpt", "old.bin.wpn", "x.pkt"}},
        {"partial_keep_days = junk\n", {"new.bin.wpt", "new.bin.wpn", "x.pkt"}},
    };
    for (const auto& c : cases) {
        configure(c.cfg);
        for (auto& n : dir_names(dir.file("in"))) std::filesystem::remove(in + n);
        for (const char* n :
             {"old.bin.wpt", "old.bin.wpn", "new.bin.wpt", "new.bin.wpn", "gone.bin.wpn", "x.pkt"})
            write_file(in + n, "x");
        age(in + "old.bin.wpt", 8);
        age(in + "new.bin.wpt", 4);
        age(in + "x.pkt", 30);
        Transfer t;
        EXPECT_EQ(run([&](BossPeer& p) {
                      p.login();
                      t.run(p);
                  }),
                  0u);
        EXPECT_EQ(dir_names(dir.file("in")), c.left) << c.cfg;
    }
    EXPECT_TRUE(logged("Old incomplete file removed: " + in + "old.bin.wpt")) << log;
}

// A partial written a moment ago can carry a last-write time a second ahead
// of the clock (file systems stamp finer than the clock's whole seconds); it
// was taken for an old one and removed, so the next session started the file
// again from 0.
TEST_F(SessionTest, APartialStampedAheadOfTheClockIsKept) {
    std::string in = dir.file("in") + "/";
    for (int64_t ahead : {1, 3600}) {
        for (const char* n : {"big.bin.wpt", "big.bin.wpn"}) write_file(in + n, "x");
        struct timeval tv[2];
        tv[0].tv_sec = tv[1].tv_sec = time(nullptr) + ahead;
        tv[0].tv_usec = tv[1].tv_usec = 0;
        utimes((in + "big.bin.wpt").c_str(), tv);
        Transfer t;
        EXPECT_EQ(run([&](BossPeer& p) {
                      p.login();
                      t.run(p);
                  }),
                  0u);
        EXPECT_EQ(dir_names(dir.file("in")), (std::set<std::string>{"big.bin.wpt", "big.bin.wpn"}))
            << ahead;
        EXPECT_FALSE(logged("Old incomplete file removed")) << log;
    }
}

// Sending to a boss that asked for NR: each file is offered with offset -1
// and goes from the offset its M_GET names; an offset past the end sends the
// whole file, and a boss that never answers gets the whole file after the
// wait, in the same session.
TEST_F(SessionTest, OffersWithOffsetMinusOneToABossThatAskedForNR) {
    setenv("WRENPOST_NET_TIMEOUT", "1500", 1);
    std::string content = pattern(10000);
    struct {
        const char* what;
        const char* get;    // the boss's answer to the -1 offer; "" = none
        const char* offer;  // the point's second M_FILE
        size_t from;
    } cases[] = {
        {"resume", "a.bin 10000 %t 6000", "a.bin 10000 %t 6000", 6000},
        {"from 0", "a.bin 10000 %t 0", "a.bin 10000 %t 0", 0},
        {"past the end", "a.bin 10000 %t 10001", "a.bin 10000 %t 0", 0},
        {"no answer", "", "a.bin 10000 %t 0", 0},
    };
    for (const auto& c : cases) {
        std::string a = file("a.bin", content);
        std::string t = std::to_string(pf_stat(a.c_str()).mtime);
        auto fill = [&](std::string v) {
            size_t k = v.find("%t");
            return v.replace(k, 2, t);
        };
        write_file(flo(), "^" + a + "\n");
        std::vector<std::string> files;
        std::string got;
        EXPECT_EQ(run([&](BossPeer& p) {
                      p.login("2:240/5776@fidonet", "OPT NR CRAM-MD5-0123abcd");
                      BFrame f;
                      p.wait_cmd(M_FILE, &f);
                      files.push_back(f.data);
                      if (c.get[0] != '\0') p.send_cmd(M_GET, fill(c.get));
                      p.wait_cmd(M_FILE, &f);
                      files.push_back(f.data);
                      while (got.size() < content.size() - c.from && p.recv(f))
                          if (!f.cmd) got += f.data;
                      p.send_cmd(M_GOT, "a.bin 10000 " + t);
                      p.send_cmd(M_EOB, "");
                      p.drain();
                  }),
                  0u)
            << c.what << log;
        ASSERT_EQ(files.size(), 2u) << c.what;
        EXPECT_EQ(files[0], "a.bin 10000 " + t + " -1") << c.what;
        EXPECT_EQ(files[1], fill(c.offer)) << c.what;
        EXPECT_EQ(got, content.substr(c.from)) << c.what;
        EXPECT_EQ(logged("No M_GET from the remote - sending this and every further file whole: "
                         "a.bin"),
                  c.get[0] == '\0')
            << c.what;
        EXPECT_FALSE(file_exists(a)) << c.what;
    }
}

// A boss that asked for NR and leaves one offer with offset -1 unanswered
// costs that wait once: the session's later files are offered from 0 at
// once (it used to cost the wait for every file, which with many files used
// up the whole session limit).
TEST_F(SessionTest, ABossThatNeverAnswersNrOffersIsWaitedForOnce) {
    setenv("WRENPOST_NET_TIMEOUT", "1500", 1);
    std::vector<std::string> names = {"a.bin", "b.bin", "c.bin"};
    std::string lines;
    for (const std::string& n : names) lines += "^" + file(n, pattern(5000)) + "\n";
    write_file(flo(), lines);
    std::vector<std::string> offers;
    EXPECT_EQ(run([&](BossPeer& p) {
                  p.login("2:240/5776@fidonet", "OPT NR");
                  // Never an M_GET: takes each file as it comes, answers it
                  // when it is whole.
                  BFrame f;
                  std::string cur;
                  size_t left = 0;
                  size_t done = 0;
                  while (done < names.size() && p.recv(f)) {
                      if (f.cmd && f.code == M_FILE) {
                          offers.push_back(f.data);
                          cur = f.data.substr(0, f.data.find(' '));
                          left = f.data.substr(f.data.rfind(' ') + 1) == "-1" ? 0 : 5000;
                      } else if (!f.cmd && left > 0) {
                          left -= std::min(left, f.data.size());
                          if (left == 0) {
                              p.send_cmd(M_GOT, cur + " 5000 0");
                              ++done;
                          }
                      }
                  }
                  p.send_cmd(M_EOB, "");
                  p.drain();
              }),
              0u)
        << log;
    std::vector<std::string> how;
    for (const std::string& o : offers)
        how.push_back(o.substr(0, o.find(' ')) + " " + o.substr(o.rfind(' ') + 1));
    EXPECT_EQ(how, (std::vector<std::string>{"a.bin -1", "a.bin 0", "b.bin 0", "c.bin 0"})) << log;
    EXPECT_TRUE(
        logged("No M_GET from the remote - sending this and every further file whole: "
               "a.bin"))
        << log;
    for (const std::string& n : names) EXPECT_FALSE(file_exists(dir.file("files") + "/" + n));
}

// ---- Polls as child processes ------------------------------------------------------

namespace {

// A `wrenpost poll` child process against a scripted boss on a loopback
// listener; its output goes to a file.
class ChildPoll {
  public:
    ChildPoll() {
        lfd_ = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a = {};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        if (bind(lfd_, reinterpret_cast<sockaddr*>(&a), len) == 0 && listen(lfd_, 1) == 0 &&
            getsockname(lfd_, reinterpret_cast<sockaddr*>(&a), &len) == 0)
            port_ = ntohs(a.sin_port);
    }
    ~ChildPoll() {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        if (boss_.joinable()) boss_.join();
        close(lfd_);
    }
    int port() const { return port_; }
    // Starts the boss's script (on the first connection) and the poll.
    void start(const std::string& cfg, const std::string& out,
               const std::function<void(BossPeer&)>& script) {
        out_ = out;
        write_file(out, "");  // nothing of an earlier child is read as this one's
        boss_ = std::thread([this, script] {
            int fd = accept(lfd_, nullptr, nullptr);
            if (fd < 0) return;
            BossPeer p(fd);
            script(p);
            p.close_now();
        });
        pid_ = fork();
        if (pid_ == 0) {
            int o = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            dup2(o, 1);
            dup2(o, 2);
            // Waits of its own never end the poll in these tests.
            setenv("WRENPOST_NET_TIMEOUT", "120000", 1);
            execl(WP_BINARY, WP_BINARY, "-lang", "en", "-c", cfg.c_str(), "poll",
                  static_cast<char*>(nullptr));
            _exit(127);
        }
    }
    std::string output() const { return read_file(out_); }
    // Waits until the output holds `text`; false after `ms`.
    bool wait_output(const std::string& text, int ms = 30000) const {
        for (int t = 0; t < ms; t += 20) {
            if (output().find(text) != std::string::npos) return true;
            usleep(20000);
        }
        return false;
    }
    // The exit code, -100 - N when signal N ended it, -2 when still running
    // after `ms`.
    int wait_exit(int ms = 30000) {
        for (int t = 0; t < ms; t += 20) {
            int st = 0;
            if (waitpid(pid_, &st, WNOHANG) == pid_) {
                pid_ = -1;
                return WIFEXITED(st) ? WEXITSTATUS(st) : -100 - WTERMSIG(st);
            }
            usleep(20000);
        }
        return -2;
    }
    void signal(int sig) { kill(pid_, sig); }
    void join_boss() {
        if (boss_.joinable()) boss_.join();
    }

  private:
    int lfd_ = -1;
    int port_ = 0;
    pid_t pid_ = -1;
    std::string out_;
    std::thread boss_;
};

// A configuration for a child poll into the tests' inbound.
std::string child_cfg(TempDir& dir, int port, const std::string& extra) {
    std::string cfg = dir.file("child.cfg");
    write_file(
        cfg, "address = 2:240/5776.7\nboss_host = 127.0.0.1\nboss_port = " + std::to_string(port) +
                 "\nboss_address = 2:240/5776\npassword = secret\ninbound = " + dir.file("in") +
                 "\noutbound = " + dir.file("out") + "\n" + extra);
    return cfg;
}

// The boss's side of a file it sends only in part: M_FILE from 0 and `part`
// bytes of data, then an M_GET for a file the point does not have, which
// the point logs (with its arguments "marker.bin 1 0 0") once it has handled
// every frame before it.
void send_part(BossPeer& p, const std::string& wire, const std::string& content, size_t part) {
    p.send_cmd(M_FILE, wire + " " + std::to_string(content.size()) + " 1700000000 0");
    for (size_t at = 0; at < part; at += 4096)
        p.send_data(content.substr(at, std::min<size_t>(4096, part - at)));
    p.send_cmd(M_GET, "marker.bin 1 0 0");
}

}  // namespace

// Ctrl+C or SIGTERM during a poll: the poll ends soon even while the boss is
// silent, keeps the part of the file it was receiving with its record, as a
// cut line does, says so and ends with 7; the next session resumes the file.
// (The poll used to die at once and leave the part without its record, so the
// next session started the file from zero.)
TEST_F(SessionTest, AStoppedPollKeepsThePartAndTheNextResumes) {
    std::string content = pattern(50000);
    std::string in = dir.file("in") + "/";
    for (int sig : {SIGTERM, SIGINT}) {
        for (auto& n : dir_names(dir.file("in"))) std::filesystem::remove(in + n);
        ChildPoll c;
        ASSERT_NE(c.port(), 0);
        c.start(child_cfg(dir, c.port(), "outmode = plain\n"), dir.file("child.out"),
                [&](BossPeer& p) {
                    if (!p.login()) return;
                    send_part(p, "big.bin", content, 20000);
                    p.drain();  // silent from here on, until the point closes
                });
        ASSERT_TRUE(c.wait_output("marker.bin 1 0 0")) << c.output();
        c.signal(sig);
        // Seen within a slice of the wait: far sooner than the frame
        // time-out (120 s), which is all the bound says.
        EXPECT_EQ(c.wait_exit(), 7) << sig << c.output();
        c.join_boss();
        std::string out = c.output();
        EXPECT_NE(out.find("Incomplete file kept for resuming: big.bin (20000 bytes)"),
                  std::string::npos)
            << out;
        EXPECT_NE(out.find("Poll stopped (Ctrl+C/signal)"), std::string::npos) << out;
        EXPECT_NE(out.find("End, exit code 7"), std::string::npos) << out;
        EXPECT_EQ(read_file(in + "big.bin.wpt"), content.substr(0, 20000)) << sig;
        EXPECT_EQ(read_file(in + "big.bin.wpn"), "big.bin 50000 1700000000\n") << sig;

        // The next session asks for the rest only.
        uint64_t asked = UINT64_MAX;
        Transfer t;
        EXPECT_EQ(run([&](BossPeer& p) {
                      p.login();
                      asked = nr_offer(p, "big.bin", content);
                      t.run(p);
                  }),
                  0u)
            << log;
        EXPECT_EQ(asked, 20000u) << log;
        EXPECT_EQ(read_file(in + "big.bin"), content);
        EXPECT_EQ(dir_names(dir.file("in")), std::set<std::string>{"big.bin"});
    }
}

// Two polls sharing one inbound: a poll with partial_keep_days = 0 starts
// while the other receives a file. The file being received is not removed
// (its receiver holds its byte lock) and arrives whole; a part nobody holds
// is removed, however young. (The prune used to delete the file being
// received, and the receiving poll failed with 5.)
TEST_F(SessionTest, APruneLeavesTheFileAnotherPollReceives) {
    std::string content = pattern(9000);
    std::string in = dir.file("in") + "/";
    write_file(in + "left.bin.wpt", "x");
    write_file(in + "left.bin.wpn", "left.bin 9 1700000000\n");
    std::atomic<bool> go_on{false};
    ChildPoll c;
    ASSERT_NE(c.port(), 0);
    Transfer tb;
    c.start(child_cfg(dir, c.port(), "outmode = plain\n"), dir.file("child.out"), [&](BossPeer& p) {
        if (!p.login()) return;
        send_part(p, "big.bin", content, 3000);
        while (!go_on) usleep(10000);
        for (size_t at = 3000; at < content.size(); at += 4096)
            p.send_data(content.substr(at, std::min<size_t>(4096, content.size() - at)));
        tb.run(p);
    });
    // The boss goes on however this test ends.
    struct GoOn {
        std::atomic<bool>& flag;
        ~GoOn() { flag = true; }
    } guard{go_on};
    ASSERT_TRUE(c.wait_output("marker.bin 1 0 0")) << c.output();
    // The other poll, with partial_keep_days = 0.
    configure("partial_keep_days = 0\noutmode = plain\n");
    Transfer t;
    EXPECT_EQ(run([&](BossPeer& p) {
                  p.login();
                  t.run(p);
              }),
              0u)
        << log;
    EXPECT_TRUE(logged("Old incomplete file removed: " + in + "left.bin.wpt")) << log;
    EXPECT_FALSE(logged("big.bin")) << log;
    go_on = true;
    EXPECT_EQ(c.wait_exit(), 0) << c.output();
    c.join_boss();
    EXPECT_EQ(read_file(in + "big.bin"), content);
    EXPECT_EQ(dir_names(dir.file("in")), std::set<std::string>{"big.bin"});
}
