// Layout of a ZIP archive as far as the bundles use it, shared by the bundle
// reader (tosser/unzip.cc) and the stored-ZIP writer of the export
// (scanner/pktwrite.cc). All numbers are little-endian; offsets are from the
// start of each record. Constants only: no functions, no state.
//
// An archive is local headers each followed by its name, extra field and
// data, then the central directory (one record per entry, each followed by
// name, extra field and comment), then the end record and its comment.
#pragma once

#include <cstdint>

// ---- Record signatures -------------------------------------------------------
constexpr uint32_t ZIP_SIG_LOCAL = 0x04034B50;
constexpr uint32_t ZIP_SIG_CENTRAL = 0x02014B50;
constexpr uint32_t ZIP_SIG_END = 0x06054B50;
// The ZIP64 end locator, which sits right before the end record.
constexpr uint32_t ZIP_SIG_Z64_LOCATOR = 0x07064B50;
constexpr uint32_t ZIP_Z64_LOCATOR_SIZE = 20;

// ---- Local header: ZL_SIZE bytes, then name and extra field ------------------
constexpr uint32_t ZL_SIZE = 30;
constexpr uint32_t ZL_SIG = 0;
constexpr uint32_t ZL_VERSION = 4;  // version needed to extract
constexpr uint32_t ZL_FLAGS = 6;
constexpr uint32_t ZL_METHOD = 8;
constexpr uint32_t ZL_TIME = 10;  // DOS time
constexpr uint32_t ZL_DATE = 12;  // DOS date
constexpr uint32_t ZL_CRC = 14;
constexpr uint32_t ZL_CSIZE = 18;
constexpr uint32_t ZL_USIZE = 22;
constexpr uint32_t ZL_NAMELEN = 26;
constexpr uint32_t ZL_EXTRALEN = 28;

// ---- Central-directory record: ZC_SIZE bytes, then name, extra, comment ------
constexpr uint32_t ZC_SIZE = 46;
constexpr uint32_t ZC_SIG = 0;
constexpr uint32_t ZC_MADE_BY = 4;
constexpr uint32_t ZC_VERSION = 6;  // version needed to extract
constexpr uint32_t ZC_FLAGS = 8;
constexpr uint32_t ZC_METHOD = 10;
constexpr uint32_t ZC_TIME = 12;
constexpr uint32_t ZC_DATE = 14;
constexpr uint32_t ZC_CRC = 16;
constexpr uint32_t ZC_CSIZE = 20;
constexpr uint32_t ZC_USIZE = 24;
constexpr uint32_t ZC_NAMELEN = 28;
constexpr uint32_t ZC_EXTRALEN = 30;
constexpr uint32_t ZC_COMMENTLEN = 32;
constexpr uint32_t ZC_DISK_START = 34;
constexpr uint32_t ZC_INT_ATTR = 36;
constexpr uint32_t ZC_EXT_ATTR = 38;
constexpr uint32_t ZC_LOCAL_OFFSET = 42;

// ---- End record: ZE_SIZE bytes, then the comment -----------------------------
constexpr uint32_t ZE_SIZE = 22;
constexpr uint32_t ZE_SIG = 0;
constexpr uint32_t ZE_DISK = 4;
constexpr uint32_t ZE_CD_DISK = 6;
constexpr uint32_t ZE_DISK_ENTRIES = 8;
constexpr uint32_t ZE_TOTAL_ENTRIES = 10;
constexpr uint32_t ZE_CD_SIZE = 12;
constexpr uint32_t ZE_CD_OFFSET = 16;
constexpr uint32_t ZE_COMMENTLEN = 20;

// ---- Field values --------------------------------------------------------------
constexpr uint16_t ZIP_METHOD_STORED = 0;
constexpr uint16_t ZIP_METHOD_DEFLATED = 8;
// General-purpose flags of an entry the reader refuses: encrypted, strong
// encryption, masked local header.
constexpr uint16_t ZIP_FLAGS_ENCRYPTED = 0x2041;
// A 32-bit field with this value stands for a ZIP64 one.
constexpr uint32_t ZIP_NO32 = 0xFFFFFFFF;
constexpr uint16_t ZIP_NO16 = 0xFFFF;
// The extra-field item id of ZIP64 sizes.
constexpr uint16_t ZIP_EXTRA_Z64 = 1;
// Versions the stored writer declares: 1.0 needed, made by 2.0 (MS-DOS).
constexpr uint16_t ZIP_VERSION_STORED = 10;
constexpr uint16_t ZIP_MADE_BY = 20;
// MS-DOS "archive" attribute, the external attributes of a written entry.
constexpr uint32_t ZIP_ATTR_ARCHIVE = 0x00000020;
