// ZIP bundle reader. Format notes:
// - The end record (22 bytes + comment) is found by searching backwards; it
//   must end exactly at the end of the file, so trailing bytes make the
//   archive unreadable rather than silently misread.
// - Sizes, CRC and method come from the central directory only. Local
//   headers are checked for position, signature, method, flags, name and
//   extra layout, but their sizes and CRC may be zero (data descriptors).
// - All offsets are compared as 64-bit values, so no 32-bit field of a
//   hostile archive can wrap around a bound.
#include "tosser/unzip.h"

#include <memory>
#include <new>

#include "core/bytes.h"
#include "core/fileio.h"
#include "core/log.h"
#include "core/strutil.h"
#include "core/zip_format.h"
#include "jam/crc32.h"
#include "platform/platform.h"
#include "tosser/inflate.h"
#include "tosser/messages.h"

namespace {

// One central-directory entry that passed every check.
struct Entry {
    uint64_t data;  // offset of the entry's data in the bundle
    uint32_t csize;
    uint32_t usize;
    uint32_t crc;
    uint16_t method;
    bool skip;  // not a packet
    std::string name;
};

// Walks an extra field as (id, size) items: 0 well-formed, 1 an item of id 1
// (ZIP64), 2 malformed.
int walk_extra(const uint8_t* p, uint32_t len) {
    uint32_t pos = 0;
    while (len - pos >= 4) {
        uint16_t id = get_le16(p + pos);
        uint16_t size = get_le16(p + pos + 2);
        if (id == ZIP_EXTRA_Z64) return 1;
        if (size > len - pos - 4) return 2;
        pos += 4 + size;
    }
    return pos == len ? 0 : 2;
}

bool is_pkt_name(const std::string& n) {
    if (n.size() < 5) return false;
    const char* e = n.c_str() + n.size() - 4;
    return e[0] == '.' && (e[1] | 0x20) == 'p' && (e[2] | 0x20) == 'k' && (e[3] | 0x20) == 't';
}

void set_entry(ZipResult& r, const uint8_t* name, size_t len) {
    r.zx_entry.clear();
    for (size_t i = 0; i < len && i < ZX_NAMELEN - 1; ++i) {
        uint8_t c = name[i];
        r.zx_entry.push_back(c >= 0x20 && c <= 0x7E ? static_cast<char>(c) : '?');
    }
}

// Pass 1: every check of the archive structure. Fills `ents`; 0 or 1 with
// r.zx_err set.
int check_archive(const uint8_t* z, uint64_t size, std::vector<Entry>& ents, ZipResult& r) {
    // End record, searched backwards; it must end exactly at the end.
    int64_t end = -1;
    if (size >= ZE_SIZE) {
        int64_t from = static_cast<int64_t>(size - ZE_SIZE);
        int64_t to = from - 65535 < 0 ? 0 : from - 65535;
        for (int64_t pos = from; pos >= to; --pos) {
            const uint8_t* p = z + pos;
            if (get_le32(p) == ZIP_SIG_END &&
                static_cast<uint64_t>(pos) + ZE_SIZE + get_le16(p + ZE_COMMENTLEN) == size) {
                end = pos;
                break;
            }
        }
    }
    if (end < 0) {
        r.zx_err = e_eocd;
        return 1;
    }
    const uint8_t* e = z + end;
    uint16_t disk = get_le16(e + ZE_DISK), cd_disk = get_le16(e + ZE_CD_DISK);
    uint16_t n_disk = get_le16(e + ZE_DISK_ENTRIES), n_total = get_le16(e + ZE_TOTAL_ENTRIES);
    uint32_t cd_size = get_le32(e + ZE_CD_SIZE), cd_off = get_le32(e + ZE_CD_OFFSET);
    if ((end >= ZIP_Z64_LOCATOR_SIZE &&
         get_le32(z + end - ZIP_Z64_LOCATOR_SIZE) == ZIP_SIG_Z64_LOCATOR) ||
        n_disk == ZIP_NO16 || n_total == ZIP_NO16 || cd_size == ZIP_NO32 || cd_off == ZIP_NO32) {
        r.zx_err = e_zip64;
        return 1;
    }
    if (disk != 0 || cd_disk != 0 || n_disk != n_total) {
        r.zx_err = e_multi;
        return 1;
    }
    if (n_total > ZX_MAX_ENT) {
        r.zx_err = e_many;
        return 1;
    }
    const uint64_t cd_end = static_cast<uint64_t>(cd_off) + cd_size;
    if (cd_end > static_cast<uint64_t>(end)) {
        r.zx_err = e_cd;
        return 1;
    }

    uint64_t pos = cd_off;
    uint64_t total = 0;
    for (uint32_t i = 0; i < n_total; ++i) {
        r.zx_entry.clear();
        if (cd_end - pos < ZC_SIZE || get_le32(z + pos) != ZIP_SIG_CENTRAL) {
            r.zx_err = e_cd;
            return 1;
        }
        const uint8_t* c = z + pos;
        uint16_t flags = get_le16(c + ZC_FLAGS), method = get_le16(c + ZC_METHOD);
        uint32_t crc = get_le32(c + ZC_CRC), csize = get_le32(c + ZC_CSIZE);
        uint32_t usize = get_le32(c + ZC_USIZE);
        uint16_t nlen = get_le16(c + ZC_NAMELEN), xlen = get_le16(c + ZC_EXTRALEN);
        uint16_t clen = get_le16(c + ZC_COMMENTLEN);
        uint16_t disk_start = get_le16(c + ZC_DISK_START);
        uint32_t loff = get_le32(c + ZC_LOCAL_OFFSET);
        if (cd_end - pos - ZC_SIZE < static_cast<uint64_t>(nlen) + xlen + clen) {
            r.zx_err = e_cd;
            return 1;
        }
        const uint8_t* name = c + ZC_SIZE;
        set_entry(r, name, nlen);
        int x = walk_extra(name + nlen, xlen);
        if (x != 0) {
            r.zx_err = x == 1 ? e_zip64 : e_cd;
            return 1;
        }
        if (flags & ZIP_FLAGS_ENCRYPTED) {
            r.zx_err = e_enc;
            return 1;
        }
        if (method != ZIP_METHOD_STORED && method != ZIP_METHOD_DEFLATED) {
            r.zx_err = e_method;
            return 1;
        }
        if (csize == ZIP_NO32 || usize == ZIP_NO32 || loff == ZIP_NO32) {
            r.zx_err = e_zip64;
            return 1;
        }
        if (disk_start != 0) {
            r.zx_err = e_multi;
            return 1;
        }
        total += usize;
        if (usize > ZX_MAX_ENTRY || total > ZX_MAX_TOTAL) {
            r.zx_err = e_size;
            return 1;
        }
        if (method == ZIP_METHOD_STORED && csize != usize) {
            r.zx_err = e_stored;
            return 1;
        }
        if (!name_ok(reinterpret_cast<const char*>(name), nlen)) {
            r.zx_err = unzip_e_name;
            return 1;
        }

        // The local header and the data behind it, all before the directory.
        if (static_cast<uint64_t>(loff) + ZL_SIZE > cd_off) {
            r.zx_err = unzip_e_range;
            return 1;
        }
        const uint8_t* l = z + loff;
        if (get_le32(l) != ZIP_SIG_LOCAL || get_le16(l + ZL_METHOD) != method) {
            r.zx_err = e_local;
            return 1;
        }
        if (get_le16(l + ZL_FLAGS) & ZIP_FLAGS_ENCRYPTED) {
            r.zx_err = e_enc;
            return 1;
        }
        uint16_t lnlen = get_le16(l + ZL_NAMELEN), lxlen = get_le16(l + ZL_EXTRALEN);
        if (lnlen != nlen) {
            r.zx_err = e_local;
            return 1;
        }
        uint64_t data = static_cast<uint64_t>(loff) + ZL_SIZE + lnlen + lxlen;
        if (data > cd_off) {
            r.zx_err = unzip_e_range;
            return 1;
        }
        x = walk_extra(l + ZL_SIZE + lnlen, lxlen);
        if (x != 0) {
            r.zx_err = x == 1 ? e_zip64 : e_local;
            return 1;
        }
        if (get_le32(l + ZL_CSIZE) == ZIP_NO32 || get_le32(l + ZL_USIZE) == ZIP_NO32) {
            r.zx_err = e_zip64;
            return 1;
        }
        if (data + csize > cd_off) {
            r.zx_err = unzip_e_range;
            return 1;
        }
        for (uint16_t k = 0; k < nlen; ++k) {
            if (l[ZL_SIZE + k] != name[k]) {
                r.zx_err = e_local;
                return 1;
            }
        }

        Entry en{data,
                 csize,
                 usize,
                 crc,
                 method,
                 false,
                 std::string(reinterpret_cast<const char*>(name), nlen)};
        if (is_pkt_name(en.name)) {
            for (const Entry& prev : ents) {
                if (!prev.skip && str_icmp(prev.name.c_str(), en.name.c_str()) == 0) {
                    r.zx_err = e_dup;
                    return 1;
                }
            }
        } else {
            en.skip = true;
            r.zx_skipped++;
            log_msg2(unzip_m_skip, en.name.c_str());
        }
        ents.push_back(std::move(en));
        pos += ZC_SIZE + static_cast<uint64_t>(nlen) + xlen + clen;
    }
    r.zx_entry.clear();
    return 0;
}

// Pass 2: unpack, verify and write one packet. `written` receives the path as
// soon as the file exists.
int write_entry(const uint8_t* z, const Entry& en, const char* dir,
                std::vector<std::string>& written, ZipResult& r) {
    std::unique_ptr<uint8_t[]> buf(new (std::nothrow) uint8_t[en.usize + 1]);
    if (!buf) {
        r.zx_err = e_mem;
        return 1;
    }
    if (en.method == ZIP_METHOD_STORED) {
        if (en.usize > 0) mem_copy(buf.get(), z + en.data, en.usize);
    } else {
        int64_t n = inflate(z + en.data, en.csize, buf.get(), en.usize);
        if (n < 0) {
            r.zx_err = e_inflate;
            return 1;
        }
        if (static_cast<uint64_t>(n) != en.usize) {
            r.zx_err = e_len;
            return 1;
        }
    }
    if (~crc_update(buf.get(), en.usize, 0xFFFFFFFFu) != en.crc) {
        r.zx_err = e_crc;
        return 1;
    }
    char path[WP_PATH_MAX];
    path_join(path, dir, en.name.c_str());
    pf_file h = pf_open(path, PfAccess::ReadWrite, PfCreate::CreateNew);
    if (h == PF_INVALID) {
        r.zx_err = unzip_e_write;
        return 1;
    }
    written.push_back(path);
    int w = pf_write(h, buf.get(), en.usize);
    pf_close(h);
    if (w != 0) {
        r.zx_err = unzip_e_write;
        return 1;
    }
    return 0;
}

}  // namespace

int bundle_kind(const uint8_t* p, size_t n) {
    if (n == 0) return BK_EMPTY;
    if (n >= 4) {
        uint32_t w = get_le32(p);
        if (w == ZIP_SIG_LOCAL || w == ZIP_SIG_END) return BK_ZIP;
        if (w == 0x204F4F5A) return BK_ZOO;
        if (w == 0x21726152) return BK_RAR;
    }
    if (n >= 7 && p[2] == '-' && p[3] == 'l' && p[6] == '-') return BK_LHA;
    if (n >= 2) {
        uint16_t w = get_le16(p);
        if (w == 0xEA60) return BK_ARJ;
        if (w == 0x8B1F) return BK_GZIP;
        if (p[0] == 0x1A && p[1] >= 1 && p[1] <= 20) return BK_ARC;
    }
    return BK_UNKNOWN;
}

const char* bundle_kind_name(int kind) {
    switch (kind) {
        case BK_ARJ:
            return bk_m_arj;
        case BK_LHA:
            return bk_m_lha;
        case BK_ARC:
            return bk_m_arc;
        case BK_ZOO:
            return bk_m_zoo;
        case BK_RAR:
            return bk_m_rar;
        case BK_GZIP:
            return bk_m_gzip;
        case BK_UNKNOWN:
            return k_unk;
        default:
            return "";
    }
}

bool name_ok(const char* name, size_t len) {
    if (len < 1 || len > ZX_NAMELEN - 2 || name[0] == '.') return false;
    for (size_t i = 0; i < len; ++i) {
        char c = name[i];
        bool ok = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                  c == '_' || c == '-' || c == '.';
        if (!ok) return false;
        if (c == '.' && i > 0 && name[i - 1] == '.') return false;
    }
    return true;
}

int zip_extract_mem(const uint8_t* zip, size_t size, const char* dir, ZipResult& r) {
    r.zx_count = 0;
    r.zx_names.clear();
    r.zx_skipped = 0;
    r.zx_err = "";
    r.zx_entry.clear();
    std::vector<Entry> ents;
    ents.reserve(ZX_MAX_ENT);
    if (check_archive(zip, size, ents, r) != 0) return 1;

    std::vector<std::string> written;
    for (const Entry& en : ents) {
        if (en.skip) continue;
        set_entry(r, reinterpret_cast<const uint8_t*>(en.name.data()), en.name.size());
        if (write_entry(zip, en, dir, written, r) != 0) {
            for (const std::string& p : written) pf_delete(p.c_str());
            r.zx_count = 0;
            r.zx_names.clear();
            return 1;
        }
        r.zx_names.push_back(en.name);
        r.zx_count++;
    }
    r.zx_entry.clear();
    return 0;
}

int zip_extract(const char* path, const char* dir, ZipResult& r) {
    r.zx_count = 0;
    r.zx_names.clear();
    r.zx_skipped = 0;
    r.zx_entry.clear();
    UniqueFile h(pf_open(path, PfAccess::Read, PfCreate::OpenExisting));
    if (!h) {
        r.zx_err = e_open;
        return 1;
    }
    int64_t size = pf_size(h.get());
    if (size < 0) {
        r.zx_err = e_open;
        return 1;
    }
    if (static_cast<uint64_t>(size) > ZX_MAX_FILE) {
        r.zx_err = e_big;
        return 1;
    }
    std::unique_ptr<uint8_t[]> buf(new (std::nothrow) uint8_t[static_cast<size_t>(size) + 1]);
    if (!buf) {
        r.zx_err = e_mem;
        return 1;
    }
    size_t got = 0;
    while (got < static_cast<size_t>(size)) {
        int64_t n = pf_read(h.get(), buf.get() + got, static_cast<size_t>(size) - got);
        if (n <= 0) break;
        got += static_cast<size_t>(n);
    }
    h.reset();
    if (got != static_cast<size_t>(size)) {
        r.zx_err = e_open;
        return 1;
    }
    return zip_extract_mem(buf.get(), got, dir, r);
}
