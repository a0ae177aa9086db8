#pragma once
// Counts the bytes 'G' and 'C' (uppercase only) in a run. This is the inner
// loop of the window pass, so it runs 16 bytes per step: two byte compares
// give 0xFF per G/C byte, subtracting that mask adds 1 to a per-lane byte
// counter, and the counters are summed (psadbw) before any lane can pass 255.
#include <cstddef>
#include <cstdint>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace seqtally::core {

inline std::size_t count_gc(const char* bytes, std::size_t size) noexcept {
    std::size_t count = 0;
    std::size_t i = 0;
#if defined(__SSE2__)
    const __m128i g = _mm_set1_epi8('G');
    const __m128i c = _mm_set1_epi8('C');
    while (size - i >= 16) {
        // At most 255 steps per batch, so no byte lane overflows.
        const std::size_t steps = (size - i) / 16 < 255 ? (size - i) / 16 : 255;
        __m128i lanes = _mm_setzero_si128();
        for (std::size_t step = 0; step < steps; ++step, i += 16) {
            const __m128i chunk = _mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes + i));
            const __m128i is_gc = _mm_or_si128(_mm_cmpeq_epi8(chunk, g), _mm_cmpeq_epi8(chunk, c));
            lanes = _mm_sub_epi8(lanes, is_gc);
        }
        const __m128i sums = _mm_sad_epu8(lanes, _mm_setzero_si128());
        count += static_cast<std::size_t>(_mm_cvtsi128_si64(sums)) +
                 static_cast<std::size_t>(_mm_cvtsi128_si64(_mm_unpackhi_epi64(sums, sums)));
    }
#endif
    for (; i < size; ++i) count += (bytes[i] == 'G') | (bytes[i] == 'C');
    return count;
}

}  // namespace seqtally::core
