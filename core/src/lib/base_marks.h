#pragma once
// The marks the window pass counts: for a run of up to 64 bytes, one word per
// mark with bit i set when byte i carries it, from one load of each 16 bytes.
// A run's piece inside one window is then counted with a shift and a
// popcount. Each mark set says how many of its marks are counts and whether
// the last one marks lowercase letters (a-z), counted on the way.
#include <array>
#include <cstddef>
#include <cstdint>

#include <cpuid.h>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace seqtally::core {

// Whether the window pass takes its popcnt build, decided once per
// process; a SEQTALLY_PORTABLE_WINDOW_PASS build always tests the other.
inline bool popcnt_pass() noexcept {
#ifdef SEQTALLY_PORTABLE_WINDOW_PASS
    return false;
#else
    // CPUID itself (leaf 1, ECX bit 23), not __builtin_cpu_supports: the
    // compiler-rt of zig, the wheel's compiler, answers no for every feature.
    static const bool has_popcnt = [] {
        unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
        return __get_cpuid(1, &eax, &ebx, &ecx, &edx) != 0 && (ecx & bit_POPCNT) != 0;
    }();
    return has_popcnt;
#endif
}

// Several marks per byte from one load of each 16 bytes. `Marks` gives, for
// N marks, `block` (16 bytes to N 16-bit masks, SSE2) and `byte` (one byte
// to N bits). Only the run's own bytes are read: a tail shorter than 16
// bytes comes from a block that overlaps the one before it.
template <class Marks, std::size_t N = Marks::kMarks>
inline std::array<std::uint64_t, N> run_masks(const char* bytes, std::size_t size) noexcept {
    std::array<std::uint64_t, N> masks{};
#if defined(__SSE2__)
    if (size >= 16) {
        std::size_t i = 0;
        for (; i + 16 <= size; i += 16) {
            const std::array<unsigned, N> block = Marks::block(bytes + i);
            for (std::size_t k = 0; k < N; ++k) masks[k] |= std::uint64_t{block[k]} << i;
        }
        if (i < size) {
            const std::array<unsigned, N> block = Marks::block(bytes + size - 16);
            for (std::size_t k = 0; k < N; ++k) masks[k] |= std::uint64_t{block[k] >> (16 - (size - i))} << i;
        }
        return masks;
    }
#endif
    for (std::size_t i = 0; i < size; ++i) {
        const std::array<bool, N> bits = Marks::byte(bytes[i]);
        for (std::size_t k = 0; k < N; ++k) masks[k] |= std::uint64_t{bits[k]} << i;
    }
    return masks;
}

inline constexpr bool is_lowercase(char byte) noexcept { return static_cast<std::uint8_t>(byte - 'a') < 26; }

#if defined(__SSE2__)
// 'a' to 'z' moved to the bottom of the signed range: one compare finds them.
inline __m128i lowercase_bytes(__m128i chunk) noexcept {
    return _mm_cmplt_epi8(_mm_add_epi8(chunk, _mm_set1_epi8(static_cast<char>(0x80 - 'a'))),
                          _mm_set1_epi8(static_cast<char>(-128 + 26)));
}
inline __m128i load_block(const char* bytes) noexcept {
    return _mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes));
}
inline __m128i either_case(__m128i chunk) noexcept {
    // OR 0x20 maps only 'A' and 'a' to 'a' (and so for C, G, T): exact for bases.
    return _mm_or_si128(chunk, _mm_set1_epi8(0x20));
}
inline unsigned bits_of(__m128i flags) noexcept { return static_cast<unsigned>(_mm_movemask_epi8(flags)); }
inline __m128i is_byte(__m128i chunk, char byte) noexcept { return _mm_cmpeq_epi8(chunk, _mm_set1_epi8(byte)); }
inline unsigned upper_gc_bits(__m128i chunk) noexcept {
    return bits_of(_mm_or_si128(is_byte(chunk, 'G'), is_byte(chunk, 'C')));
}
#endif

// The module's count: 'G' and 'C' in uppercase only.
inline constexpr bool is_upper_gc(char byte) noexcept { return (byte == 'G') | (byte == 'C'); }

struct UpperGc {
    static constexpr std::size_t kMarks = 1;
    static constexpr std::size_t kCounts = 1;
    static constexpr bool kLowercase = false;
#if defined(__SSE2__)
    static std::array<unsigned, 1> block(const char* bytes) noexcept { return {upper_gc_bits(load_block(bytes))}; }
#endif
    static std::array<bool, 1> byte(char byte) noexcept { return {is_upper_gc(byte)}; }
};

// The module's G/C (uppercase only) and lowercase letters, for the default
// count when the caller wants to know how much of the input is soft-masked.
struct UpperGcAndLowercase {
    static constexpr std::size_t kMarks = 2;
    static constexpr std::size_t kCounts = 1;
    static constexpr bool kLowercase = true;
#if defined(__SSE2__)
    static std::array<unsigned, 2> block(const char* bytes) noexcept {
        const __m128i chunk = load_block(bytes);
        return {upper_gc_bits(chunk), bits_of(lowercase_bytes(chunk))};
    }
#endif
    static std::array<bool, 2> byte(char byte) noexcept { return {is_upper_gc(byte), is_lowercase(byte)}; }
};

// G/C and A/T in either case, and lowercase letters.
struct GcAtLowercase {
    static constexpr std::size_t kMarks = 3;
    static constexpr std::size_t kCounts = 2;
    static constexpr bool kLowercase = true;
#if defined(__SSE2__)
    static std::array<unsigned, 3> block(const char* bytes) noexcept {
        const __m128i chunk = load_block(bytes);
        const __m128i folded = either_case(chunk);
        return {bits_of(_mm_or_si128(is_byte(folded, 'g'), is_byte(folded, 'c'))),
                bits_of(_mm_or_si128(is_byte(folded, 'a'), is_byte(folded, 't'))), bits_of(lowercase_bytes(chunk))};
    }
#endif
    static std::array<bool, 3> byte(char byte) noexcept {
        const char folded = static_cast<char>(byte | 0x20);
        return {folded == 'g' || folded == 'c', folded == 'a' || folded == 't', is_lowercase(byte)};
    }
};

// G and C apart, each in either case, and lowercase letters.
struct GCLowercase {
    static constexpr std::size_t kMarks = 3;
    static constexpr std::size_t kCounts = 2;
    static constexpr bool kLowercase = true;
#if defined(__SSE2__)
    static std::array<unsigned, 3> block(const char* bytes) noexcept {
        const __m128i chunk = load_block(bytes);
        const __m128i folded = either_case(chunk);
        return {bits_of(is_byte(folded, 'g')), bits_of(is_byte(folded, 'c')), bits_of(lowercase_bytes(chunk))};
    }
#endif
    static std::array<bool, 3> byte(char byte) noexcept {
        const char folded = static_cast<char>(byte | 0x20);
        return {folded == 'g', folded == 'c', is_lowercase(byte)};
    }
};

}  // namespace seqtally::core
