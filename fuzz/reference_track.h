#pragma once
// The track section of one record, counted a byte at a time: the reference
// that the window pass is checked against by the fuzz target and the tests.
#include <cstdint>
#include <string>
#include <string_view>

namespace seqtally::fuzz {

inline std::string expected_section(std::string_view id, const std::string& sequence, std::int32_t window,
                                    bool omit_tail) {
    std::string out = "variableStep chrom=" + std::string(id) + " span=" + std::to_string(window) + "\n";
    std::int64_t bases = 0, gc = 0, index = 0;
    const auto line = [&](std::int64_t position) {
        const float percent = static_cast<float>(gc) / static_cast<float>(bases) * 100.0f;
        out += std::to_string(position) + "\t" + std::to_string(static_cast<std::int32_t>(percent)) + "\n";
    };
    for (const char byte : sequence) {
        gc += byte == 'G' || byte == 'C';
        if (++bases == window) {
            line(index * window + 1);
            ++index;
            bases = gc = 0;
        }
    }
    if (!omit_tail && bases > 0) line(index * window + 1);
    return out;
}

}  // namespace seqtally::fuzz
