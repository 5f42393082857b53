// Feeds arbitrary bytes as a nodelist ZIP archive (BASE.Znn) to its reader.
// The property checked: an entry read holds exactly the CRC-32 its
// directory states (the reader compares it) and a name NAME.nnn; a refused
// archive gives nothing.
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <string>

#include "app/nlzip.h"
#include "platform/platform.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static std::string path = "/tmp/wp_nlzip_fuzz." + std::to_string(getpid()) + ".z01";
    pf_file h = pf_open(path.c_str(), PfAccess::ReadWrite, PfCreate::CreateAlways);
    if (h == PF_INVALID) return 0;
    pf_write(h, data, size);
    pf_close(h);
    std::string name, text;
    if (nl_unzip_file(path, name, text)) {
        if (name.size() < 5 || name[name.size() - 4] != '.') abort();
        if (text.size() > (64u << 20)) abort();
    }
    pf_delete(path.c_str());
    return 0;
}
