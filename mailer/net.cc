#include "mailer/net.h"

#include "core/strutil.h"

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
    if (n.s != PF_NOSOCK) pf_sock_timeouts(n.s, ms);
}

int net_connect(Net& n, const char* host, const char* port) {
    n.s = pf_tcp_connect(host, port);
    if (n.s == PF_NOSOCK) return 2;
    set_timeouts(n, net_timeout_ms());
    return 0;
}

void net_attach(Net& n, pf_sock s) {
    n.s = s;
    set_timeouts(n, net_timeout_ms());
}

int net_send_all(Net& n, const void* buf, size_t len) {
    const char* p = static_cast<const char*>(buf);
    while (len > 0) {
        int64_t r = pf_sock_send(n.s, p, len);
        if (r <= 0) return -1;
        p += r;
        len -= static_cast<size_t>(r);
    }
    return 0;
}

int net_recv_exact(Net& n, void* buf, size_t len) {
    char* p = static_cast<char*>(buf);
    while (len > 0) {
        int64_t r = pf_sock_recv(n.s, p, len);
        if (r <= 0) return -1;
        p += r;
        len -= static_cast<size_t>(r);
    }
    return 0;
}

int net_poll(Net& n) {
    return pf_sock_readable(n.s);
}

void net_close(Net& n) {
    if (n.s != PF_NOSOCK) {
        uint32_t t = net_timeout_ms();
        set_timeouts(n, t < NET_DRAIN_MS ? t : NET_DRAIN_MS);
        pf_sock_shutdown_send(n.s);
        char buf[512];
        while (pf_sock_recv(n.s, buf, sizeof buf) > 0) {
        }
        pf_sock_close(n.s);
        n.s = PF_NOSOCK;
    }
    pf_net_cleanup();
    n.started = false;
}
