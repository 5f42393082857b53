// Outbound placement: the finished packets of one boss into the outbound.
//
// Each file is written under a temporary name (final name + ".wp$") and
// renamed when complete, without replacing anything, so other readers of
// the outbound never see a partial packet or bundle. In BSO mode each loose
// packet and bundle is announced in the boss's flow file ("^" loose packet,
// deleted after sending; "#" bundle, truncated after sending); the netmail
// packet becomes base + ".out" while no such file waits.
//
// REQUIRES: in BSO mode the caller holds the boss's busy lock (outbound/bso.h).
// Results: 0 success, 1 failure (logged as "ERROR: file not writable: ...").
#pragma once

#include <initializer_list>
#include <string>

#include "scanner/scan_state.h"

// Appends the packet terminator (two zero bytes); returns the new length.
uint64_t finish(Buf& pkt);
// The name of a new packet in dir from the clock value `now`: strictly
// increasing within the process (st.uniq_last), skipping existing names.
// Sets path (dir + name) and name ("xxxxxxxx.pkt").
void uniq_pkt(ScanState& st, uint32_t now, std::string& path, std::string& name);
// A piece of a file's contents.
struct Piece {
    const uint8_t* data;
    uint64_t len;
};
// Creates path (replacing an older file), writes all pieces in order; a
// partial file is deleted on failure.
int write_new(const char* path, std::initializer_list<Piece> pieces);
// write_new under path + ".wp$", then renames to path without replacing.
int place_file(ScanState& st, const char* path, std::initializer_list<Piece> pieces);
inline int place_file(ScanState& st, const char* path, const uint8_t* data, uint64_t len) {
    return place_file(st, path, {Piece{data, len}});
}
// Appends prefix + full path + CR LF to base + ".flo" (after a CR LF when the
// last line lacks its line end).
int flo_add(ScanState& st, char prefix, const char* path);
int out_loose(ScanState& st, Buf& pkt, uint64_t count);
int out_netmail(ScanState& st);
int out_echo(ScanState& st);
// The first eight characters of a bundle name ("00000007" for a point .7
// under its boss); out needs 9 bytes.
void bundle_digits(char* out, const ftn_addr& own, const ftn_addr& boss);

// Removes the scratch files that an export killed while writing left in an
// output directory: "*.wp$" files not written to for an hour (the messages in
// them were never marked sent and go out again). The caller holds the JAM lock
// file, so no other export of this installation writes there meanwhile.
// Returns the number removed.
int sweep_scratch(const char* dir);
