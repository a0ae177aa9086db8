#pragma once
// The window pass: one walk over a record's lines that counts the marks of
// consecutive windows and hands each full window's counts to what the
// caller makes of them (a value, a wiggle or a bedGraph line). The line goes
// in runs of up to 64 bytes: one bit mask per mark per run, and one popcount
// per piece of the run inside one window. Its output is checked against the
// byte-at-a-time reference in fuzz/reference_track.h.
//
// `Out` gives cursor(), whose full(counts) takes each full window in turn,
// settle(cursor) once the record's lines are done, and kCheckpoints: whether
// the pass calls back on the way (a check per run that an output writing
// to a checkpointed stream at least every batch can do without). The cursor is a
// local of the walk holding the per-window state in values that nothing
// points to, so that it stays in registers while line bytes are stored
// (char stores may alias anything else).
#include <array>
#include <cstdint>
#include <functional>
#include <string_view>

#include "core/src/lib/base_marks.h"
#include "fasta/record_view.h"

namespace seqtally::core {

// Where a pass leaves the record: its length, its lowercase letters when
// the marks count them, and the window still open at its end.
template <std::size_t kCounts>
struct PassEnd {
    std::uint64_t length = 0;
    std::uint64_t lowercase = 0;
    std::uint64_t tail = 0;  // bases of the open window
    std::array<std::uint64_t, kCounts> counts{};

    // Whether the open window is one more window of the record: the last,
    // shorter one, unless omitted.
    bool has_tail(bool omit_tail) const noexcept { return !omit_tail && tail > 0; }
};

namespace window_pass_detail {

// The lowest `n` bits, 1 <= n <= 64.
inline std::uint64_t low_bits(std::uint64_t word, std::uint64_t n) noexcept {
    return word & (~std::uint64_t{0} >> (64 - n));
}
inline std::uint64_t ones(std::uint64_t word) noexcept {
    return static_cast<std::uint64_t>(__builtin_popcountll(word));
}

// A long record calls back between runs, not lines: a record may be one
// line of 200 MiB.
constexpr std::uint64_t kCheckpointBases = 1 << 20;

template <class Marks, class Out>
[[gnu::always_inline]] inline PassEnd<Marks::kCounts> walk(const fasta::SequenceLines& lines, std::uint64_t window,
                                                           Out& out, const std::function<void()>* checkpoint) {
    constexpr std::size_t kCounts = Marks::kCounts;
    const std::uint64_t window_mask = window < 64 ? low_bits(~std::uint64_t{0}, window) : 0;
    std::uint64_t needed = window;  // bases still missing from the open window
    std::array<std::uint64_t, kCounts> open{};
    std::uint64_t length = 0;
    std::uint64_t lowercase = 0;
    std::uint64_t next_checkpoint = checkpoint != nullptr ? kCheckpointBases : UINT64_MAX;
    auto cursor = out.cursor();
    for (const std::string_view line : lines) {
        const char* bytes = line.data();
        std::size_t left = line.size();
        while (left > 0) {
            if constexpr (Out::kCheckpoints) {
                if (length >= next_checkpoint) [[unlikely]] {
                    next_checkpoint = length + kCheckpointBases;
                    (*checkpoint)();
                }
            }
            const std::size_t run = left < 64 ? left : 64;
            length += run;
            std::array<std::uint64_t, Marks::kMarks> masks = run_masks<Marks>(bytes, run);
            if constexpr (Marks::kLowercase) lowercase += ones(masks[kCounts]);
            std::size_t rest = run;
            if (rest >= needed) {
                // The window that was already open ends first...
                for (std::size_t k = 0; k < kCounts; ++k) {
                    open[k] += ones(low_bits(masks[k], needed));
                    // needed == 64 only for a whole run, which leaves nothing to shift.
                    masks[k] = needed < 64 ? masks[k] >> needed : 0;
                }
                rest -= needed;
                cursor.full(open);
                // ...then whole windows, which fit in the rest of a run only
                // when they are shorter than 64 bases.
                while (rest >= window) {
                    for (std::size_t k = 0; k < kCounts; ++k) {
                        open[k] = ones(masks[k] & window_mask);
                        masks[k] >>= window;
                    }
                    rest -= window;
                    cursor.full(open);
                }
                needed = window;
                open = {};
            }
            if (rest > 0) {
                for (std::size_t k = 0; k < kCounts; ++k) open[k] += ones(low_bits(masks[k], rest));
                needed -= rest;
            }
            bytes += run;
            left -= run;
        }
    }
    out.settle(cursor);
    return {length, lowercase, window - needed, open};
}

// The same walk built twice, for CPUs with and without the popcnt
// instruction.
template <class Marks, class Out>
__attribute__((target("popcnt"))) PassEnd<Marks::kCounts> walk_popcnt(const fasta::SequenceLines& lines,
                                                                      std::uint64_t window, Out& out,
                                                                      const std::function<void()>* checkpoint) {
    return walk<Marks>(lines, window, out, checkpoint);
}
template <class Marks, class Out>
PassEnd<Marks::kCounts> walk_portable(const fasta::SequenceLines& lines, std::uint64_t window, Out& out,
                                      const std::function<void()>* checkpoint) {
    return walk<Marks>(lines, window, out, checkpoint);
}

}  // namespace window_pass_detail

// Walks the record's windows of `window` bases (2^64 - 1: one window that
// never completes) with the marks of `Marks`. `checkpoint`, when given and
// Out::kCheckpoints, is called every MiB or so of a long record and may
// throw to end the pass.
template <class Marks, class Out>
PassEnd<Marks::kCounts> window_pass(const fasta::RecordView& record, std::uint64_t window, Out& out,
                                    const std::function<void()>* checkpoint) {
    const fasta::SequenceLines lines = record.sequence_lines();
    if (popcnt_pass()) return window_pass_detail::walk_popcnt<Marks>(lines, window, out, checkpoint);
    return window_pass_detail::walk_portable<Marks>(lines, window, out, checkpoint);
}

}  // namespace seqtally::core
