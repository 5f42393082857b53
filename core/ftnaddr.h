// FidoNet addresses: the one address type every module uses (the packet
// reader, the outbound, the export, AreaFix, the editor) and its one text
// form. Pure functions on caller-owned buffers; no state.
#pragma once

#include <cstddef>
#include <cstdint>

// zone:net/node.point; point 0 is no point.
struct ftn_addr {
    uint32_t zone = 0, net = 0, node = 0, point = 0;
};

// Room for the longest text ftn_fmt writes: four 10-digit numbers, their
// three separators and the NUL.
constexpr size_t FTN_TEXT_MAX = 48;

// "zone:net/node", plus ".point" when point is not 0, terminated; numbers of
// any size. REQUIRES: buf has FTN_TEXT_MAX bytes. Returns the length.
size_t ftn_fmt(char* buf, const ftn_addr& a);

// "zone:net/node[.point]" as the configuration and the message subfields
// write it: optional leading blanks/tabs and an ignored "@domain" (or a
// blank, tab or CR) after the last number. Every number starts with a digit
// and is at most 65535. 1 on success, 0 on failure; the address is zeroed
// first. (The packet reader's laxer form for kludge lines is parse_addr in
// tosser/packet.h; the editor's for typed addresses is parse_ftn.)
int ftn_parse(const char* text, ftn_addr& a);
