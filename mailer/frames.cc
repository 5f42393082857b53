#include "mailer/frames.h"

#include "core/strutil.h"

namespace {

void put_header(uint8_t* p, bool cmd, size_t len) {
    p[0] = static_cast<uint8_t>(((len >> 8) & 0x7f) | (cmd ? 0x80 : 0));
    p[1] = static_cast<uint8_t>(len & 0xff);
}

}  // namespace

int wp_send_cmd(Frames& f, uint8_t code, const char* text) {
    size_t n = str_len(text);
    if (n > FRAME_MAX - 1) n = FRAME_MAX - 1;
    put_header(f.tx_frame, true, n + 1);
    f.tx_frame[2] = code;
    mem_copy(f.tx_frame + 3, text, n);
    return net_send_all(f.net, f.tx_frame, n + 3);
}

int wp_send_data(Frames& f, size_t n) {
    if (n > FRAME_MAX) return -1;
    put_header(f.tx_frame, false, n);
    return net_send_all(f.net, f.tx_frame, n + 2);
}

int wp_send_batch(Frames& f, size_t count, size_t last_len) {
    if (count == 0 || count > TX_BATCH || last_len == 0 || last_len > TX_CHUNK) return -1;
    for (size_t j = 0; j + 1 < count; ++j) put_header(f.tx_batch + j * TX_SLOT, false, TX_CHUNK);
    put_header(f.tx_batch + (count - 1) * TX_SLOT, false, last_len);
    return net_send_all(f.net, f.tx_batch, (count - 1) * TX_SLOT + 2 + last_len);
}

int wp_recv_frame(Frames& f) {
    // The whole frame, header and body, within one time-out.
    uint64_t deadline = net_deadline(f.net);
    uint8_t h[2];
    if (net_recv_until(f.net, h, 2, deadline) != 0) return -1;
    f.rx_iscmd = (h[0] & 0x80) != 0;
    f.rx_len = (static_cast<size_t>(h[0] & 0x7f) << 8) | h[1];
    if (f.rx_len > 0 && net_recv_until(f.net, f.rx_frame, f.rx_len, deadline) != 0) return -1;
    f.rx_frame[f.rx_len] = 0;
    return 0;
}
