// Replays saved fuzz inputs through a fuzz target without libFuzzer, so the
// ordinary test run (any compiler, with or without sanitizers) keeps every
// corpus input and every saved crash input passing.
//
// Usage: <target>_replay PATH...
// Each PATH is a file or a folder; a folder's regular files are taken in
// name order (not recursively). Every input is read whole and handed once to
// LLVMFuzzerTestOneInput. The targets signal a broken property by aborting,
// so a bad input ends the program there; before each input its path is
// printed, so the failing one is the last line of the output. Exit code 0
// when every input ran, 2 when a path could not be read or no input was
// found at all (a corpus folder that went missing must not pass silently).
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <system_error>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace {

// Appends the inputs that `path` names to `out`; false when it names nothing
// readable.
bool collect(const std::filesystem::path& path, std::vector<std::filesystem::path>& out) {
    std::error_code ec;
    if (std::filesystem::is_regular_file(path, ec)) {
        out.push_back(path);
        return true;
    }
    if (!std::filesystem::is_directory(path, ec)) return false;
    std::vector<std::filesystem::path> files;
    for (const auto& e : std::filesystem::directory_iterator(path, ec))
        if (e.is_regular_file(ec)) files.push_back(e.path());
    if (ec) return false;
    std::sort(files.begin(), files.end());
    out.insert(out.end(), files.begin(), files.end());
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::filesystem::path> inputs;
    for (int i = 1; i < argc; ++i) {
        if (!collect(argv[i], inputs)) {
            std::fprintf(stderr, "cannot read %s\n", argv[i]);
            return 2;
        }
    }
    if (inputs.empty()) {
        std::fprintf(stderr, "no inputs\n");
        return 2;
    }
    for (const auto& p : inputs) {
        std::ifstream f(p, std::ios::binary);
        std::string data((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
        if (!f.good() && !f.eof()) {
            std::fprintf(stderr, "cannot read %s\n", p.string().c_str());
            return 2;
        }
        std::printf("%s\n", p.string().c_str());
        std::fflush(stdout);
        LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t*>(data.data()), data.size());
    }
    std::printf("%zu inputs replayed\n", inputs.size());
    return 0;
}
