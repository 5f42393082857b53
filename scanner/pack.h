// Message packing: one new local JAM message into the packed-message form of
// a type-2 packet, appended to the current boss's netmail or echomail packet
// (with the AREA line, INTL/FMPT/TOPT, kludges, tear and origin lines,
// SEEN-BY, PATH or the Via line), and recorded for marking as sent.
//
// Works on the current message, base and boss of a ScanState; the export run
// sets them before each call.
#pragma once

#include <cstddef>
#include <cstdint>

#include "scanner/scan_state.h"

constexpr uint32_t PACK_MAX_TEXT = 16777216;  // longest text exported (16 MiB)

// The first subfield of the current message with this id: its data and
// length, or nullptr and 0. A subfield running past the range ends the search.
const uint8_t* sf_get(const ScanState& st, uint16_t id, uint32_t* len);
// Bit 0: a line begins with " * Origin: "; bit 1: a line is a tear line
// ("---" followed by a blank, a CR or the end). Lines end with CR.
int has_origin(const uint8_t* text, size_t len);
// Packs the current message. True when appended and recorded, false when
// skipped (reason logged, error counted).
bool pack_msg(ScanState& st);
