#pragma once
// The base composition of an interval as bedtools nuc reports it: A, C, G,
// T (and U, which bedtools counts as T) and N in either case, every other
// byte as "other", and the shares of A+T and G+C over the interval's whole
// length, N and other bytes included.
#include <cstdint>
#include <string_view>

namespace seqtally::core {

struct Composition {
    std::uint64_t a = 0;
    std::uint64_t c = 0;
    std::uint64_t g = 0;
    std::uint64_t t = 0;
    std::uint64_t n = 0;
    std::uint64_t other = 0;
};

Composition compose(std::string_view bases) noexcept;

// Occurrences of `pattern` in `bases`, overlapping ones too (AA is found
// three times in AAAA), as bedtools nuc -pattern counts them: case matters
// unless `ignore_case` (-C), which compares ASCII letters uppercased.
// `pattern` is not empty.
std::uint64_t count_pattern(std::string_view bases, std::string_view pattern, bool ignore_case);

// bedtools' share: (float) part / (float) whole in single precision, as it
// divides, printed with six decimals (printf's %f). Writes at most 24
// bytes; whole > 0.
char* format_share(std::uint64_t part, std::uint64_t whole, char* at) noexcept;

}  // namespace seqtally::core
