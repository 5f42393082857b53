#include "app/nlzip.h"

#include "core/bytes.h"
#include "core/fileio.h"
#include "core/zip_format.h"
#include "jam/crc32.h"
#include "nodelist/nodelist.h"
#include "tosser/inflate.h"

namespace {

bool numbered(const std::string& n) {
    size_t dot = n.rfind('.');
    if (dot == std::string::npos || dot == 0 || n.size() - dot != 4) return false;
    for (size_t i = dot + 1; i < n.size(); ++i)
        if (n[i] < '0' || n[i] > '9') return false;
    return n.find_first_of("/\\") == std::string::npos;
}

}  // namespace

bool nl_unzip_file(const std::string& path, std::string& name, std::string& text) {
    std::string z;
    if (f_read_whole(path.c_str(), z, NL_FILE_MAX) != 0 || z.size() < ZE_SIZE) return false;
    const auto* p = reinterpret_cast<const uint8_t*>(z.data());
    const size_t size = z.size();
    // The end record: searched backwards over a comment of up to 64 KiB.
    size_t end = size - ZE_SIZE + 1;
    bool found = false;
    for (size_t k = 0; k <= 65535 + 0u && end > 0; ++k) {
        --end;
        if (get_le32(p + end) == ZIP_SIG_END) {
            found = true;
            break;
        }
    }
    if (!found) return false;
    uint32_t cd_size = get_le32(p + end + ZE_CD_SIZE);
    uint32_t cd_off = get_le32(p + end + ZE_CD_OFFSET);
    if (cd_off > end || cd_size > end - cd_off) return false;
    for (size_t c = cd_off; c + ZC_SIZE <= cd_off + cd_size;) {
        if (get_le32(p + c + ZC_SIG) != ZIP_SIG_CENTRAL) return false;
        uint16_t nlen = get_le16(p + c + ZC_NAMELEN);
        size_t next =
            c + ZC_SIZE + nlen + get_le16(p + c + ZC_EXTRALEN) + get_le16(p + c + ZC_COMMENTLEN);
        if (next > cd_off + cd_size) return false;
        std::string n(reinterpret_cast<const char*>(p + c + ZC_SIZE), nlen);
        if (!numbered(n)) {
            c = next;
            continue;
        }
        uint16_t method = get_le16(p + c + ZC_METHOD);
        uint32_t crc = get_le32(p + c + ZC_CRC);
        uint32_t csize = get_le32(p + c + ZC_CSIZE);
        uint32_t usize = get_le32(p + c + ZC_USIZE);
        uint32_t loc = get_le32(p + c + ZC_LOCAL_OFFSET);
        if ((get_le16(p + c + ZC_FLAGS) & 1) != 0 || usize > NL_FILE_MAX) return false;
        if (loc > size || size - loc < ZL_SIZE || get_le32(p + loc + ZL_SIG) != ZIP_SIG_LOCAL)
            return false;
        size_t data =
            loc + ZL_SIZE + get_le16(p + loc + ZL_NAMELEN) + get_le16(p + loc + ZL_EXTRALEN);
        if (data > size || csize > size - data) return false;
        text.assign(usize, '\0');
        if (method == 0) {
            if (csize != usize) return false;
            text.assign(reinterpret_cast<const char*>(p + data), csize);
        } else if (method == 8) {
            int64_t got = inflate(p + data, csize, reinterpret_cast<uint8_t*>(&text[0]), usize);
            if (got != static_cast<int64_t>(usize)) return false;
        } else {
            return false;
        }
        if (~crc_update(text.data(), text.size(), 0xFFFFFFFF) != crc) return false;
        name = n;
        return true;
    }
    return false;
}
