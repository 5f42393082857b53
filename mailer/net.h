// One outgoing TCP connection to the boss.
//
// Blocking sends and receives bounded by deadlines, a readability test that
// does not wait, and an orderly close that lets the peer finish. A peer that
// trickles bytes cannot stretch a wait: each net_send_all and net_recv_exact
// call must be done within the time-out as a whole (not per byte), and never
// past the connection's deadline (Net::until, the whole-session limit).
// The time-out is Net::timeout_ms; its default is NET_TIMEOUT_MS unless the
// environment variable WRENPOST_NET_TIMEOUT gives another value in
// milliseconds (tests use it to provoke time-outs quickly); net_timeout_ms()
// is the one place that reads it.
//
// Stop requests (pf_stop_requested: Ctrl+C, SIGTERM) end every wait for the
// peer within NET_SLICE_MS: a receive or net_wait then fails with
// Net::stopped set. A send in progress is not cut; it ends by its time-out.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/platform.h"

constexpr uint32_t NET_TIMEOUT_MS = 120000;
constexpr uint32_t NET_DRAIN_MS = 5000;
// The longest single wait on the socket: a stop request is seen this soon.
constexpr uint32_t NET_SLICE_MS = 250;

struct Net {
    pf_sock s = PF_NOSOCK;
    bool started = false;     // the socket library is running
    uint32_t timeout_ms = 0;  // per call; 0 = net_timeout_ms()
    uint64_t until = 0;       // pf_ticks_ms() deadline of everything; 0 = none
    uint32_t armed_ms = 0;    // the socket's time-outs as last set; 0 = unknown
    bool stopped = false;     // a wait ended because a stop was requested
};

// The receive and send time-out for a session.
uint32_t net_timeout_ms();

// Starts the socket library: 0, or the system's error.
int net_init(Net& n);
// Resolves and connects (addresses in the resolver's order); sets both
// time-outs. 0 on success, 2 (EXIT_NET) on failure.
int net_connect(Net& n, const char* host, const char* port);
// Takes over an already connected socket (tests and fuzzing) and sets the
// time-outs as net_connect does.
void net_attach(Net& n, pf_sock s);
void set_timeouts(Net& n, uint32_t ms);
// 0 when all n bytes went out, -1 when a send failed or they were not all
// out within the time-out (or by n.until).
int net_send_all(Net& n, const void* buf, size_t len);
// The deadline of a wait that starts now: now + the time-out, but not past
// n.until.
uint64_t net_deadline(const Net& n);
// 0 when exactly len bytes arrived by `deadline` (pf_ticks_ms), -1 when the
// peer closed, on an error, when the deadline passed or a stop was requested
// (n.stopped).
int net_recv_until(Net& n, void* buf, size_t len, uint64_t deadline);
// net_recv_until(n, buf, len, net_deadline(n)).
int net_recv_exact(Net& n, void* buf, size_t len);
// Whether n.until is set and has passed.
bool net_expired(const Net& n);
// 1 when a receive will not block, 0 when nothing is waiting, < 0 on error.
int net_poll(Net& n);
// The same, waiting up to ms milliseconds for something to arrive; -1 (with
// n.stopped) when a stop was requested meanwhile.
int net_wait(Net& n, uint32_t ms);
// Orderly close: shut down our sending side, read and drop what still comes
// until the peer closes, an error occurs or NET_DRAIN_MS (the time-out when
// shorter) have passed in all, but never past n.until (a session that used up
// its limit closes at once) and not at all after a stop request; then close
// the socket. Always stops the socket library.
void net_close(Net& n);
