// binkp framing (the same in binkp/1.0 and 1.1).
//
// A frame is a 2-byte big-endian header (bit 15 set: command frame; bits
// 0-14: body length, 0..FRAME_MAX) and the body. A command body is the
// command byte and its argument text, without a terminator on the wire.
// Commands are built one at a time in tx_frame; a file's data frames are
// built several at a time in tx_batch and go out in one send. Frames are
// read one at a time into rx_frame.
#pragma once

#include <cstddef>
#include <cstdint>

#include "mailer/net.h"

constexpr size_t FRAME_MAX = 32767;
// The file sender's data block: the largest frame binkp allows (every
// receiver takes it), so a file costs one read and one send per 32 KB.
constexpr size_t TX_CHUNK = FRAME_MAX;
// At most this many data frames go out in one send (512 KB): one system
// call instead of one per frame, and the boss receives them in full-sized
// segments. A stop (M_GOT, M_SKIP, M_GET) is seen between two batches, so
// this much may be sent in vain.
constexpr size_t TX_BATCH = 16;
// One data frame in tx_batch: its header and TX_CHUNK bytes of body.
constexpr size_t TX_SLOT = 2 + TX_CHUNK;

enum BinkpCmd : uint8_t {
    M_NUL = 0,
    M_ADR = 1,
    M_PWD = 2,
    M_FILE = 3,
    M_OK = 4,
    M_EOB = 5,
    M_GOT = 6,
    M_ERR = 7,
    M_BSY = 8,
    M_GET = 9,
    M_SKIP = 10,
};

struct Frames {
    Net net;
    uint8_t tx_frame[2 + FRAME_MAX + 1];
    // Data frames back to back, frame j at j * TX_SLOT; see wp_batch_body.
    uint8_t tx_batch[TX_BATCH * TX_SLOT];
    // Body of the last received frame, NUL-terminated: a command's argument
    // is the string at rx_frame + 1.
    uint8_t rx_frame[FRAME_MAX + 1];
    bool rx_iscmd = false;
    size_t rx_len = 0;
};

// Sends a command frame; text is cut to FRAME_MAX - 1 bytes. 0 or -1.
int wp_send_cmd(Frames& f, uint8_t code, const char* text);
// Sends a data frame of n bytes (n <= FRAME_MAX) that the caller has placed
// at tx_frame + 2. 0 or -1.
int wp_send_data(Frames& f, size_t n);
// Where the body of data frame j (j < TX_BATCH) of the next batch goes.
inline uint8_t* wp_batch_body(Frames& f, size_t j) {
    return f.tx_batch + j * TX_SLOT + 2;
}
// Sends data frames 0 .. count-1 of tx_batch in one send, their bodies
// placed by the caller: each TX_CHUNK bytes long but the last, which has
// last_len bytes (1 <= last_len <= TX_CHUNK). Writes the headers. 1 <= count
// <= TX_BATCH. The whole batch must be out within one time-out (net.h). 0 or
// -1.
int wp_send_batch(Frames& f, size_t count, size_t last_len);
// Reads one frame (header, then body). 0, or -1 when the connection broke or
// the frame was not whole within the time-out (counted from the call).
int wp_recv_frame(Frames& f);
