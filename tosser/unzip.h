// ZIP bundle reader: recognises archive formats by their signature and
// unpacks the packets of a ZIP bundle, all or nothing.
//
// Bundles come from the network, so zip_extract checks the whole archive
// (end record, central directory, every local header and data range, names,
// sizes) before it writes a single file; it writes only entries named
// "*.pkt" with safe names, verifies length and CRC-32 of each, and on any
// failure deletes every file it wrote and names one reason. Only the methods
// stored (0) and deflate (8) are read; ZIP64, multi-part and encrypted
// archives are refused.
//
// Not thread-safe with respect to the log; otherwise all state is in the
// ZipResult the caller passes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

constexpr uint64_t ZX_MAX_FILE = 268435456;   // largest bundle file (256 MiB)
constexpr uint32_t ZX_MAX_ENT = 256;          // most central-directory entries
constexpr uint32_t ZX_MAX_ENTRY = 67108864;   // largest uncompressed entry (64 MiB)
constexpr uint64_t ZX_MAX_TOTAL = 268435456;  // largest sum of uncompressed sizes
constexpr size_t ZX_NAMELEN = 64;             // name slot; names up to 62 bytes pass

// Kinds of bundle by their first bytes.
constexpr int BK_EMPTY = 0;
constexpr int BK_ZIP = 1;
constexpr int BK_ARJ = 2;
constexpr int BK_LHA = 3;
constexpr int BK_ARC = 4;
constexpr int BK_ZOO = 5;
constexpr int BK_RAR = 6;
constexpr int BK_GZIP = 7;
constexpr int BK_UNKNOWN = 8;

// The kind of an archive from its first n bytes (16 are enough).
int bundle_kind(const uint8_t* p, size_t n);
// The log name of a kind that is not unpacked (catalogue text); empty for
// BK_EMPTY and BK_ZIP.
const char* bundle_kind_name(int kind);

// True when an entry name may become a file in the temporary directory:
// 1 to 62 bytes of A-Z, a-z, 0-9, "_", "-", ".", not beginning with "." and
// without two "." in a row.
bool name_ok(const char* name, size_t len);

struct ZipResult {
    int zx_count = 0;                   // packets extracted
    std::vector<std::string> zx_names;  // their names, in archive order
    int zx_skipped = 0;                 // entries passed over (not *.pkt)
    const char* zx_err = "";            // reason of a failure (catalogue text)
    std::string zx_entry;               // entry concerned, printable, <= 63 chars; may be empty
};

// Unpacks the packets of the ZIP bundle at `path` into `dir` (which must
// exist). Logs every skipped entry. Returns 0 on success, 1 on failure with
// r.zx_err (and r.zx_entry when an entry was concerned) set, r.zx_count 0 and
// no file of this call left in `dir`. An existing file of the same name in
// `dir` is a write error, never overwritten.
int zip_extract(const char* path, const char* dir, ZipResult& r);

// The same on a bundle already in memory; used by zip_extract and by tests.
int zip_extract_mem(const uint8_t* zip, size_t size, const char* dir, ZipResult& r);
