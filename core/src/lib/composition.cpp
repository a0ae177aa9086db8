#include "core/src/lib/composition.h"

#include <algorithm>
#include <charconv>
#include <string>

namespace seqtally::core {

Composition compose(std::string_view bases) noexcept {
    Composition found;
    const char* at = bases.data();
    std::size_t left = bases.size();
    while (left > 0) {
        // 32-bit counters over pieces that cannot overflow them: the loop
        // vectorises into byte compares, four times faster than 64-bit sums.
        const std::size_t piece = std::min<std::size_t>(left, std::size_t{1} << 20);
        std::uint32_t a = 0, c = 0, g = 0, t = 0, n = 0;
        for (std::size_t i = 0; i < piece; ++i) {
            // | 0x20 folds case; no other byte becomes one of these letters.
            const auto byte = static_cast<unsigned char>(static_cast<unsigned char>(at[i]) | 0x20);
            a += byte == 'a';
            c += byte == 'c';
            g += byte == 'g';
            // bedtools counts U (RNA's T) as T.
            t += (byte == 't') | (byte == 'u');
            n += byte == 'n';
        }
        found.a += a;
        found.c += c;
        found.g += g;
        found.t += t;
        found.n += n;
        at += piece;
        left -= piece;
    }
    found.other = bases.size() - found.a - found.c - found.g - found.t - found.n;
    return found;
}

std::uint64_t count_pattern(std::string_view bases, std::string_view pattern, bool ignore_case) {
    std::string folded_bases, folded_pattern;
    if (ignore_case) {
        const auto upper = [](std::string_view text) {
            std::string out(text);
            for (char& c : out) {
                if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 0x20);
            }
            return out;
        };
        folded_bases = upper(bases);
        folded_pattern = upper(pattern);
        bases = folded_bases;
        pattern = folded_pattern;
    }
    std::uint64_t count = 0;
    for (std::size_t found = bases.find(pattern); found != std::string_view::npos;
         found = bases.find(pattern, found + 1)) {
        ++count;
    }
    return count;
}

char* format_share(std::uint64_t part, std::uint64_t whole, char* at) noexcept {
    const float share = static_cast<float>(part) / static_cast<float>(whole);
    return std::to_chars(at, at + 24, static_cast<double>(share), std::chars_format::fixed, 6).ptr;
}

}  // namespace seqtally::core
