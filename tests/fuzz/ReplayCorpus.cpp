// Runs a fuzz target once over every file of the folders (or the files) named on the command
// line, without libFuzzer: a crash or a sanitizer report fails the run. An empty corpus fails
// too, so that a misnamed folder is noticed.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* pData, std::size_t nSize);

namespace {
void Replay(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    const std::vector<char> bytes{std::istreambuf_iterator<char>(in), {}};
    // A copy of its own, so that a read beyond the input is caught by the sanitizers.
    std::vector<std::uint8_t> input(bytes.begin(), bytes.end());
    LLVMFuzzerTestOneInput(input.data(), input.size());
}
}  // namespace

int main(int argc, char** argv) {
    int nInputs = 0;
    for (int i = 1; i < argc; ++i) {
        std::vector<std::filesystem::path> paths;
        if (std::filesystem::is_directory(argv[i])) {
            for (const auto& entry : std::filesystem::directory_iterator(argv[i]))
                if (entry.is_regular_file()) paths.push_back(entry.path());
        } else {
            paths.emplace_back(argv[i]);
        }
        for (const auto& path : paths) {
            Replay(path);
            ++nInputs;
        }
    }
    std::printf("%d inputs replayed\n", nInputs);
    return nInputs > 0 ? 0 : 1;
}
