#include "mailer/net.h"

#include "core/strutil.h"

namespace {

uint32_t per_call(const Net& n) {
    return n.timeout_ms != 0 ? n.timeout_ms : net_timeout_ms();
}

// Bounds the next socket call by the time left until `deadline`; false when
// none is left.
bool arm(Net& n, uint64_t deadline) {
    uint64_t now = pf_ticks_ms();
    if (now >= deadline) return false;
    uint64_t left64 = deadline - now;
    uint32_t left = left64 > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(left64);
    // The socket's time-out counts from the start of each call, so one set
    // a moment ago overshoots the deadline by the time gone since. Setting
    // it anew on every call costs two system calls per data frame; an
    // overshoot of 1/16 of the time-out, at most a second, is allowed.
    uint32_t slack = n.armed_ms / 16 < 1000 ? n.armed_ms / 16 : 1000;
    if (n.armed_ms != 0 && left <= n.armed_ms && n.armed_ms - left <= slack) return true;
    set_timeouts(n, left);
    return true;
}

}  // namespace

uint32_t net_timeout_ms() {
    const char* v = pf_getenv("WRENPOST_NET_TIMEOUT");
    if (v == nullptr || v[0] < '0' || v[0] > '9') return NET_TIMEOUT_MS;
    uint64_t ms = parse_u64(v);
    if (ms == 0 || ms > NET_TIMEOUT_MS) return NET_TIMEOUT_MS;
    return static_cast<uint32_t>(ms);
}

int net_init(Net& n) {
    int r = pf_net_startup();
    if (r == 0) n.started = true;
    return r;
}

void set_timeouts(Net& n, uint32_t ms) {
    if (n.s != PF_NOSOCK && pf_sock_timeouts(n.s, ms) == 0) {
        n.armed_ms = ms;
        return;
    }
    n.armed_ms = 0;
}

int net_connect(Net& n, const char* host, const char* port) {
    n.s = pf_tcp_connect(host, port);
    if (n.s == PF_NOSOCK) return 2;
    set_timeouts(n, per_call(n));
    return 0;
}

void net_attach(Net& n, pf_sock s) {
    n.s = s;
    set_timeouts(n, per_call(n));
}

uint64_t net_deadline(const Net& n) {
    uint64_t d = pf_ticks_ms() + per_call(n);
    return n.until != 0 && n.until < d ? n.until : d;
}

bool net_expired(const Net& n) {
    return n.until != 0 && pf_ticks_ms() >= n.until;
}

int net_send_all(Net& n, const void* buf, size_t len) {
    uint64_t deadline = net_deadline(n);
    const char* p = static_cast<const char*>(buf);
    while (len > 0) {
        if (!arm(n, deadline)) return -1;
        int64_t r = pf_sock_send(n.s, p, len);
        if (r <= 0) return -1;
        p += r;
        len -= static_cast<size_t>(r);
    }
    return 0;
}

int net_recv_until(Net& n, void* buf, size_t len, uint64_t deadline) {
    char* p = static_cast<char*>(buf);
    while (len > 0) {
        // Waits in slices, so that a stop request is seen while the peer is
        // silent; the receive itself then never waits.
        int ready = 0;
        while (ready == 0) {
            if (pf_stop_requested()) {
                n.stopped = true;
                return -1;
            }
            uint64_t now = pf_ticks_ms();
            if (now >= deadline) return -1;
            uint64_t left = deadline - now;
            ready = pf_sock_wait_readable(
                n.s, left < NET_SLICE_MS ? static_cast<uint32_t>(left) : NET_SLICE_MS);
            if (ready < 0) return -1;
        }
        // Readable: the receive takes what is there (or learns of the end).
        if (!arm(n, deadline)) return -1;
        int64_t r = pf_sock_recv(n.s, p, len);
        if (r <= 0) return -1;
        p += r;
        len -= static_cast<size_t>(r);
    }
    return 0;
}

int net_recv_exact(Net& n, void* buf, size_t len) {
    return net_recv_until(n, buf, len, net_deadline(n));
}

int net_poll(Net& n) {
    return net_wait(n, 0);
}

int net_wait(Net& n, uint32_t ms) {
    uint64_t deadline = pf_ticks_ms() + ms;
    for (;;) {
        if (ms > 0 && pf_stop_requested()) {
            n.stopped = true;
            return -1;
        }
        uint64_t now = pf_ticks_ms();
        uint64_t left = deadline > now ? deadline - now : 0;
        uint32_t slice = left < NET_SLICE_MS ? static_cast<uint32_t>(left) : NET_SLICE_MS;
        int r = pf_sock_wait_readable(n.s, slice);
        if (r != 0 || left <= slice) return r;
    }
}

void net_close(Net& n) {
    if (n.s != PF_NOSOCK) {
        // Bounded as a whole: a peer that keeps trickling bytes cannot hold
        // the close open, nor past the session's limit; a stop ends it now.
        uint32_t t = per_call(n);
        uint64_t deadline = pf_ticks_ms() + (t < NET_DRAIN_MS ? t : NET_DRAIN_MS);
        if (n.until != 0 && n.until < deadline) deadline = n.until;
        pf_sock_shutdown_send(n.s);
        char buf[512];
        while (!pf_stop_requested() && arm(n, deadline) && pf_sock_recv(n.s, buf, sizeof buf) > 0) {
        }
        pf_sock_close(n.s);
        n.s = PF_NOSOCK;
        n.armed_ms = 0;
    }
    pf_net_cleanup();
    n.started = false;
}
