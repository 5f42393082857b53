// binkp/1.0 framing.
//
// A frame is a 2-byte big-endian header (bit 15 set: command frame; bits
// 0-14: body length, 0..FRAME_MAX) and the body. A command body is the
// command byte and its argument text, without a terminator on the wire.
// One frame is built at a time in tx_frame and read at a time into rx_frame.
#pragma once

#include <cstddef>
#include <cstdint>

#include "mailer/net.h"

constexpr size_t FRAME_MAX = 32767;
// The file sender's data block: the largest frame binkp allows (every
// receiver takes it), so a file costs one read and one send per 32 KB.
constexpr size_t TX_CHUNK = FRAME_MAX;

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
// Reads one frame (header, then body). 0, or -1 when the connection broke or
// the frame was not whole within the time-out (counted from the call).
int wp_recv_frame(Frames& f);
