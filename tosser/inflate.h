// Deflate decoder (RFC 1951) for the entries of ZIP bundles.
//
// The decoder works from one memory block into another: the output buffer is
// its only window, so a distance may reach back only into what this call has
// produced. It allocates nothing and keeps no state between calls; the tables
// of the fixed codes are built once per process (thread-safe).
//
// Strict by design, because its input comes from the network: every
// violation of the format, every code that does not form a proper prefix
// code, every reference before the start of the output and every byte that
// would not fit into the output fails the call with its own reason. Bytes
// after the final block are ignored.
#pragma once

#include <cstddef>
#include <cstdint>

enum class InflateErr {
    Ok = 0,
    InputEnd,       // input exhausted before the final block ended
    BlockType3,     // reserved block type
    StoredLen,      // stored block: length is not the complement of its check word
    StoredOverrun,  // stored block longer than the input or output left
    TooManyCodes,   // more than 286 literal/length or 30 distance codes announced
    CodeLenCode,    // code-length code over-subscribed or incomplete
    RepeatFirst,    // repeat of the previous length (16) with no previous length
    RepeatPast,     // repeat running past the announced number of lengths
    NoEndOfBlock,   // no code for symbol 256
    LitLenCode,     // literal/length code over-subscribed or incomplete
    DistCode,       // distance code over-subscribed or incomplete
    BadCode,        // a bit sequence that is no code of an incomplete table
    BadLengthSym,   // length symbol 286 or 287
    BadDistSym,     // distance symbol 30 or 31
    DistTooFar,     // distance reaching before the start of the output
    OutputFull,     // literal or match would pass the output capacity
};

// Decodes the raw Deflate stream in[0..in_len) into out[0..out_cap).
// Returns the number of bytes produced (0..out_cap), or -1 on failure; the
// reason goes to *err when err is not null (InflateErr::Ok on success).
// On failure the contents of out are unspecified.
int64_t inflate(const uint8_t* in, size_t in_len, uint8_t* out, size_t out_cap,
                InflateErr* err = nullptr);

// Short English name of a reason, for tests and diagnostics.
const char* inflate_err_name(InflateErr e);
