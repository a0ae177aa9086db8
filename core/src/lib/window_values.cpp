#include "window_values.h"

#include <algorithm>
#include <charconv>
#include <cstring>

#include "core/src/lib/gc_mask.h"
#include "core/src/lib/window_pass.h"

namespace seqtally::core {
namespace {

struct Open {
    std::uint64_t needed;  // bases still missing from the open window
    std::uint64_t gc = 0;
    std::uint64_t length = 0;
    std::uint64_t lowercase = 0;
};

inline std::uint64_t low_bits(std::uint64_t word, std::uint64_t n) noexcept {
    return word & (~std::uint64_t{0} >> (64 - n));
}

// Runs of up to 64 bases become one G/C bit mask each; every window's piece
// of a run is one popcount.
constexpr std::uint64_t kCheckpointBases = 1 << 20;

template <bool kCountLowercase>
[[gnu::always_inline]] inline Open pass(const fasta::SequenceLines& lines, std::uint64_t window,
                                        std::span<const std::uint8_t> table, std::vector<std::uint8_t>& values,
                                        const std::function<void()>& checkpoint) {
    Open open{window};
    std::uint64_t next_checkpoint = kCheckpointBases;
    for (const std::string_view line : lines) {
        const char* bytes = line.data();
        std::size_t left = line.size();
        while (left > 0) {
            // Between runs, not lines: a record may be one line of 200 MiB.
            if (open.length >= next_checkpoint && checkpoint) [[unlikely]] {
                next_checkpoint = open.length + kCheckpointBases;
                checkpoint();
            }
            const std::size_t run = std::min<std::size_t>(left, 64);
            open.length += run;
            std::uint64_t mask = 0;
            if constexpr (kCountLowercase) {
                const auto [gc, lower] = run_masks<UpperGcAndLowercase>(bytes, run);
                mask = gc;
                open.lowercase += static_cast<std::uint64_t>(__builtin_popcountll(lower));
            } else {
                mask = gc_mask(bytes, run);
            }
            std::uint64_t rest = run;
            while (rest >= open.needed) {
                open.gc += static_cast<std::uint64_t>(__builtin_popcountll(low_bits(mask, open.needed)));
                mask = open.needed < 64 ? mask >> open.needed : 0;
                rest -= open.needed;
                values.push_back(table.empty() ? gc_percent(open.gc, window) : table[open.gc]);
                open.gc = 0;
                open.needed = window;
            }
            if (rest > 0) {
                open.gc += static_cast<std::uint64_t>(__builtin_popcountll(low_bits(mask, rest)));
                open.needed -= rest;
            }
            bytes += run;
            left -= run;
        }
    }
    return open;
}

template <bool kCountLowercase>
__attribute__((target("popcnt"))) Open pass_popcnt(const fasta::SequenceLines& lines, std::uint64_t window,
                                                   std::span<const std::uint8_t> table,
                                                   std::vector<std::uint8_t>& values,
                                                   const std::function<void()>& checkpoint) {
    return pass<kCountLowercase>(lines, window, table, values, checkpoint);
}
template <bool kCountLowercase>
Open pass_portable(const fasta::SequenceLines& lines, std::uint64_t window, std::span<const std::uint8_t> table,
                   std::vector<std::uint8_t>& values, const std::function<void()>& checkpoint) {
    return pass<kCountLowercase>(lines, window, table, values, checkpoint);
}

}  // namespace

// Single precision on purpose: the track's values are defined by this
// arithmetic, which differs from exact or double results (53/100 -> 52).
std::uint8_t gc_percent(std::uint64_t gc, std::uint64_t bases) noexcept {
    const float fraction = static_cast<float>(static_cast<std::int64_t>(gc)) /
                           static_cast<float>(static_cast<std::int64_t>(bases));
    return static_cast<std::uint8_t>(static_cast<std::int32_t>(fraction * 100.0f));
}

WindowValues::WindowValues(std::uint64_t window) : window_(window) {
    if (window > kMaxTabulatedWindow) return;
    full_window_value_.resize(window + 1);
    for (std::uint64_t gc = 0; gc <= window; ++gc) full_window_value_[gc] = gc_percent(gc, window);
}

std::uint64_t WindowValues::append(const fasta::RecordView& record, bool omit_tail, std::vector<std::uint8_t>& values,
                                   const std::function<void()>& checkpoint, std::uint64_t* lowercase) const {
    const bool has_popcnt = popcnt_pass();
    const fasta::SequenceLines lines = record.sequence_lines();
    Open open{window_};
    if (lowercase != nullptr) {
        open = has_popcnt ? pass_popcnt<true>(lines, window_, full_window_value_, values, checkpoint)
                          : pass_portable<true>(lines, window_, full_window_value_, values, checkpoint);
        *lowercase += open.lowercase;
    } else {
        open = has_popcnt ? pass_popcnt<false>(lines, window_, full_window_value_, values, checkpoint)
                          : pass_portable<false>(lines, window_, full_window_value_, values, checkpoint);
    }
    const std::uint64_t tail = window_ - open.needed;
    if (!omit_tail && tail > 0) values.push_back(gc_percent(open.gc, tail));
    return open.length;
}

void write_bedgraph_section(std::string_view name, std::uint64_t length, std::uint64_t window,
                            std::span<const std::uint8_t> values, OutputStream& out) {
    // Lines are formatted into a batch and handed over 64 KiB at a time.
    constexpr std::size_t kBatch = 65536;
    const std::size_t line_room = name.size() + 3 * 21 + 4;
    std::vector<char> batch(std::max(kBatch, 2 * line_room));
    char* at = batch.data();
    const char* const last_start = batch.data() + batch.size() - line_room;
    std::uint64_t start = 0;
    for (const std::uint8_t value : values) {
        if (at > last_start) {
            write_or_fail(out, std::string_view(batch.data(), static_cast<std::size_t>(at - batch.data())));
            at = batch.data();
        }
        const std::uint64_t end = std::min(start + window, length);
        std::memcpy(at, name.data(), name.size());
        at += name.size();
        *at++ = '\t';
        at = std::to_chars(at, at + 20, start).ptr;
        *at++ = '\t';
        at = std::to_chars(at, at + 20, end).ptr;
        *at++ = '\t';
        at = std::to_chars(at, at + 3, value).ptr;
        *at++ = '\n';
        start = end;
    }
    write_or_fail(out, std::string_view(batch.data(), static_cast<std::size_t>(at - batch.data())));
}

}  // namespace seqtally::core
