// Runs the fuzz target's checks without libFuzzer: every file named on the command line, and
// every file in the folders named, in name order. Exits non-zero when a folder or file cannot
// be read; a failed check aborts, as under the fuzzer.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <system_error>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace {

std::size_t replayed = 0;

bool Replay(const std::filesystem::path& path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        std::fprintf(stderr, "cannot read %s\n", path.string().c_str());
        return false;
    }
    const std::vector<char> chars((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::vector<std::uint8_t> bytes(chars.size());
    std::transform(chars.begin(), chars.end(), bytes.begin(), [](char c) { return static_cast<std::uint8_t>(c); });
    std::fprintf(stderr, "replaying %s (%zu bytes)\n", path.string().c_str(), bytes.size());
    LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
    ++replayed;
    return true;
}

}  // namespace

int main(int argc, char** argv)
{
    bool ok = true;
    for (int i = 1; i < argc; ++i) {
        const std::filesystem::path path(argv[i]);
        std::error_code error;
        if (!std::filesystem::is_directory(path, error)) {
            ok = Replay(path) && ok;
            continue;
        }
        std::vector<std::filesystem::path> files;
        for (const auto& entry : std::filesystem::directory_iterator(path, error)) {
            if (entry.is_regular_file())
                files.push_back(entry.path());
        }
        if (error) {
            std::fprintf(stderr, "cannot list %s: %s\n", path.string().c_str(), error.message().c_str());
            ok = false;
            continue;
        }
        std::sort(files.begin(), files.end());
        for (const auto& file : files)
            ok = Replay(file) && ok;
    }
    std::fprintf(stderr, "%zu inputs replayed\n", replayed);
    return ok ? 0 : 1;
}
