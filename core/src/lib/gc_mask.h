#pragma once
// Marks the bytes 'G' and 'C' (uppercase only) of a run of up to 64 bytes as
// the bits of one word, 16 bytes per step: the window pass then counts any
// piece of the run with a shift and a popcount.
#include <cstddef>
#include <cstdint>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace seqtally::core {

#if defined(__SSE2__)
inline unsigned block_gc_mask(const char* bytes) noexcept {
    const __m128i chunk = _mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes));
    const __m128i is_gc =
        _mm_or_si128(_mm_cmpeq_epi8(chunk, _mm_set1_epi8('G')), _mm_cmpeq_epi8(chunk, _mm_set1_epi8('C')));
    return static_cast<unsigned>(_mm_movemask_epi8(is_gc));
}
#endif

// Bit i is set when byte i of the run is 'G' or 'C'; `size` <= 64. Only the
// run's own bytes are read: a tail shorter than 16 bytes comes from a block
// that overlaps the one before it.
inline std::uint64_t gc_mask(const char* bytes, std::size_t size) noexcept {
    std::uint64_t mask = 0;
#if defined(__SSE2__)
    if (size >= 16) {
        std::size_t i = 0;
        for (; i + 16 <= size; i += 16) mask |= std::uint64_t{block_gc_mask(bytes + i)} << i;
        if (i < size) {
            const std::uint64_t last = block_gc_mask(bytes + size - 16);
            mask |= (last >> (16 - (size - i))) << i;
        }
        return mask;
    }
#endif
    for (std::size_t i = 0; i < size; ++i) {
        mask |= static_cast<std::uint64_t>((bytes[i] == 'G') | (bytes[i] == 'C')) << i;
    }
    return mask;
}

}  // namespace seqtally::core
