#include "window_yields.h"

#include <charconv>

namespace seqtally::core {
namespace {

// Products of counts and scales stay exact for any record length.
using Wide = unsigned __int128;

}  // namespace

// Single precision on purpose: the track's values are defined by this
// arithmetic, which differs from exact or double results (53/100 -> 52).
std::uint8_t gc_percent(std::uint64_t gc, std::uint64_t bases) noexcept {
    const float fraction = static_cast<float>(static_cast<std::int64_t>(gc)) /
                           static_cast<float>(static_cast<std::int64_t>(bases));
    return static_cast<std::uint8_t>(static_cast<std::int32_t>(fraction * 100.0f));
}

char* GcPercent::format(Value value, char* at) const noexcept { return std::to_chars(at, at + 3, value).ptr; }

std::int16_t acgt_tenths(std::uint64_t gc, std::uint64_t acgt, std::uint64_t bases,
                         std::uint32_t min_acgt_millionths) noexcept {
    if (acgt == 0 || Wide{acgt} * 1'000'000 < Wide{min_acgt_millionths} * bases) return kNoValue;
    return static_cast<std::int16_t>((Wide{gc} * 2000 + acgt) / (Wide{acgt} * 2));
}

std::int16_t skew_ten_thousandths(std::uint64_t g, std::uint64_t c) noexcept {
    if (g == 0 && c == 0) return kNoValue;
    const Wide sum = Wide{g} + c;
    const Wide difference = g >= c ? Wide{g - c} : Wide{c - g};
    const auto size = static_cast<std::int16_t>((difference * 20'000 + sum) / (sum * 2));
    return g >= c ? size : static_cast<std::int16_t>(-size);
}

char* format_count_value(CountMode mode, std::int16_t value, char* at) noexcept {
    unsigned size = static_cast<unsigned>(value < 0 ? -value : value);
    if (value < 0) *at++ = '-';
    const unsigned scale = mode == CountMode::Acgt ? 10 : 10'000;
    at = std::to_chars(at, at + 5, size / scale).ptr;
    unsigned fraction = size % scale;
    if (fraction == 0) return at;
    *at++ = '.';
    for (unsigned digit = scale / 10; fraction != 0; digit /= 10) {
        *at++ = static_cast<char>('0' + fraction / digit);
        fraction %= digit;
    }
    return at;
}

}  // namespace seqtally::core
