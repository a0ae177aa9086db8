// A fuzz target's driver for compilers without libFuzzer (zig's clang, the
// wheel's compiler): runs every file of the folders given, then a fixed
// number of variations of each (bytes flipped, inserted, deleted, the input
// cut short), all from a fixed seed, so that a run is the same every time.
// A target reports a fault by aborting, as under libFuzzer.
//
//   replay_TARGET [--variations N] FOLDER...
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);
extern "C" __attribute__((weak)) int LLVMFuzzerInitialize(int* argc, char*** argv);

namespace {

using Bytes = std::vector<std::uint8_t>;

void run(const Bytes& input) {
    LLVMFuzzerTestOneInput(input.data(), input.size());
}

Bytes varied(Bytes input, std::mt19937_64& random) {
    const int changes = 1 + static_cast<int>(random() % 4);
    for (int change = 0; change < changes; ++change) {
        const std::size_t at = input.empty() ? 0 : random() % input.size();
        switch (random() % 4) {
        case 0:
            if (!input.empty()) input[at] ^= static_cast<std::uint8_t>(1u << (random() % 8));
            break;
        case 1:
            input.insert(input.begin() + static_cast<std::ptrdiff_t>(at), static_cast<std::uint8_t>(random()));
            break;
        case 2:
            if (!input.empty()) input.erase(input.begin() + static_cast<std::ptrdiff_t>(at));
            break;
        default:
            input.resize(at);
        }
    }
    return input;
}

}  // namespace

int main(int argc, char** argv) {
    if (LLVMFuzzerInitialize) LLVMFuzzerInitialize(&argc, &argv);
    long variations = 0;
    std::vector<std::filesystem::path> seeds;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--variations") == 0 && i + 1 < argc) {
            variations = std::strtol(argv[++i], nullptr, 10);
            continue;
        }
        for (const auto& entry : std::filesystem::directory_iterator(argv[i])) {
            if (entry.is_regular_file()) seeds.push_back(entry.path());
        }
    }
    std::sort(seeds.begin(), seeds.end());
    std::mt19937_64 random(1);
    long runs = 0;
    for (const auto& seed : seeds) {
        std::ifstream file(seed, std::ios::binary);
        const Bytes input{std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
        run(input);
        ++runs;
        for (long variation = 0; variation < variations; ++variation, ++runs) run(varied(input, random));
    }
    std::printf("%s: %zu seeds, %ld runs, no fault\n", std::filesystem::path(argv[0]).filename().c_str(), seeds.size(),
                runs);
    return seeds.empty() ? 1 : 0;
}
