// Taking over a new area's messages from the bad area.
//
// The toss run files echomail of an unknown area into the bad area with an
// SF_KLUDGE subfield "AREA:" + tag. When it later creates that area, this
// moves those messages into the new base: each is appended there (same text,
// subfields without the marker, attribute, dates and CRCs; received and
// processed dates set to `now`) and then marked deleted in the bad base.
//
// REQUIRES: the caller holds the JAM lock file. Each write takes the .jhr
// byte lock of its base.
#pragma once

#include <cstdint>

// new_base and bad_base are targets as the toss names them: a path (JAM)
// or "msg:" + a *.MSG directory. JAM to JAM moves every subfield verbatim
// (unknown ones too, MSGIDcrc and REPLYcrc kept) and only sets the deleted
// bit in the bad base, raising its ModCounter once; any other pair moves
// each message in the neutral form (mbase/mbase.h) and removes it from the
// bad area.
//
// Returns the number of messages moved. Stops at the first failed append;
// messages moved before stay moved (deleted in the bad base, present in the
// new one).
int af_bad_move(const char* tag, const char* new_base, const char* bad_base, uint32_t now);
