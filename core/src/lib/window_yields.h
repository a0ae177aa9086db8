#pragma once
// What a window yields, from the counts the window pass takes of it: the
// module's whole percent of uppercase G/C, or the field's counts as genome
// browsers and the field's tools take them (G and C in either case over A,
// C, G and T in either case, N and every other byte outside the
// denominator; or GC skew (G - C) / (G + C)). Each yield has one arithmetic,
// so that wiggle, bedGraph and bigWig values of a window agree, and one text
// per value. A field count may have no value. Its values are small
// integers, so that text and numbers come from one arithmetic: tenths of a
// percent for the G/C count, ten-thousandths for skew.
#include <array>
#include <cstddef>
#include <cstdint>

namespace seqtally::core {

// The percentage of `gc` among `bases`, in single precision and truncated
// (53 of 100 gives 52), as the wiggle track computes it; 0 < bases.
std::uint8_t gc_percent(std::uint64_t gc, std::uint64_t bases) noexcept;

enum class CountMode : std::uint8_t { Acgt, Skew };

// A window without a value: too few A/C/G/T bases, or no G or C for skew.
inline constexpr std::int16_t kNoValue = INT16_MIN;

// The share of A/C/G/T a window needs for a value, in millionths of its
// bases (0.25 by default), and the value's scale.
struct CountRule {
    CountMode mode = CountMode::Acgt;
    std::uint32_t min_acgt_millionths = 250'000;
};

// Tenths of a percent of G/C among A/C/G/T, rounded half up: (2000 gc + acgt)
// / (2 acgt), as UCSC's tools round parts per thousand. kNoValue when acgt is
// 0 or acgt * 1,000,000 < min_acgt_millionths * bases (a window of exactly
// the share has a value). gc <= acgt <= bases.
std::int16_t acgt_tenths(std::uint64_t gc, std::uint64_t acgt, std::uint64_t bases,
                         std::uint32_t min_acgt_millionths) noexcept;

// (g - c) / (g + c) in ten-thousandths, rounded half away from zero (so a
// skew and its mirror image differ only in sign); kNoValue when g + c is 0.
std::int16_t skew_ten_thousandths(std::uint64_t g, std::uint64_t c) noexcept;

// A value's text, trailing zeros of the fraction dropped: tenths "52.5",
// "50", "0", "100"; ten-thousandths "-0.3333", "0.5", "1". At most 7 bytes.
// Not for kNoValue.
char* format_count_value(CountMode mode, std::int16_t value, char* at) noexcept;

// A value's text with the tab before it and the newline after it, copied
// as one word and cut to its size; size 0 for a window without a value.
template <std::size_t kBytes>
struct ValueText {
    char bytes[kBytes - 1];
    std::uint8_t size;
};

// The module's count: one count (uppercase G/C), values 0 to 100.
struct GcPercent {
    using Value = std::uint8_t;
    using Text = ValueText<8>;  // "\t100\n" at most
    static constexpr std::size_t kCounts = 1;
    static constexpr bool kMayLackValue = false;
    // Full windows up to this size take their value or text from a table
    // by G/C count: window + 1 entries.
    static constexpr std::uint64_t kMaxTabulatedWindow = 1 << 16;
    static constexpr std::uint64_t kWindowsPerWrite = 0;

    Value value(const std::array<std::uint64_t, 1>& counts, std::uint64_t bases) const noexcept {
        return gc_percent(counts[0], bases);
    }
    std::size_t values() const noexcept { return 101; }
    std::size_t index(Value value) const noexcept { return value; }
    Value value_at(std::size_t index) const noexcept { return static_cast<Value>(index); }
    char* format(Value value, char* at) const noexcept;
};

// The field's counts by a CountRule: two counts, G/C and A/T for the G/C
// count, G and C for skew.
struct FieldCount {
    using Value = std::int16_t;
    using Text = ValueText<16>;  // "\t-0.3333\n" at most
    static constexpr std::size_t kCounts = 2;
    static constexpr bool kMayLackValue = true;
    // By both counts: (window + 1)^2 entries, a division per window costing
    // as much as the rest of its work.
    static constexpr std::uint64_t kMaxTabulatedWindow = 127;
    // A text track of the field's counts is handed to the stream every so
    // many full windows too (a point of its bytes: see Batching).
    static constexpr std::uint64_t kWindowsPerWrite = 1 << 16;

    CountRule rule;

    Value value(const std::array<std::uint64_t, 2>& counts, std::uint64_t bases) const noexcept {
        if (rule.mode == CountMode::Skew) return skew_ten_thousandths(counts[0], counts[1]);
        return acgt_tenths(counts[0], counts[0] + counts[1], bases, rule.min_acgt_millionths);
    }
    // Values run 0 to 1000, or -10000 to 10000 for skew.
    std::size_t values() const noexcept { return rule.mode == CountMode::Skew ? 20'001 : 1'001; }
    std::size_t index(Value value) const noexcept {
        return static_cast<std::size_t>(value + (rule.mode == CountMode::Skew ? 10'000 : 0));
    }
    Value value_at(std::size_t index) const noexcept {
        return static_cast<Value>(static_cast<std::int32_t>(index) - (rule.mode == CountMode::Skew ? 10'000 : 0));
    }
    char* format(Value value, char* at) const noexcept { return format_count_value(rule.mode, value, at); }
};

// Calls `visit(counts)` for every full window's counts: each sum at most
// `window` (one count: 0 to window).
template <std::size_t kCounts, class Visit>
void for_each_full_window(std::uint64_t window, Visit&& visit) {
    std::array<std::uint64_t, kCounts> counts{};
    for (counts[0] = 0; counts[0] <= window; ++counts[0]) {
        if constexpr (kCounts == 1) {
            visit(counts);
        } else {
            static_assert(kCounts == 2);
            for (counts[1] = 0; counts[0] + counts[1] <= window; ++counts[1]) visit(counts);
        }
    }
}

// A full window's place in a table by its counts.
template <std::size_t kCounts>
inline std::uint64_t count_key(const std::array<std::uint64_t, kCounts>& counts, std::uint64_t window) noexcept {
    if constexpr (kCounts == 1) {
        return counts[0];
    } else {
        return counts[0] * (window + 1) + counts[1];
    }
}

}  // namespace seqtally::core
