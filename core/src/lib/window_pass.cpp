#include "window_pass.h"

#include <bit>
#include <charconv>
#include <cstddef>
#include <cstring>

#include "core/src/lib/decimal_counter.h"
#include "core/src/lib/gc_mask.h"
#include "core/src/lib/window_values.h"

namespace seqtally::core {
namespace {

char* append_decimal(char* at, std::int64_t value) noexcept {
    return std::to_chars(at, at + 20, value).ptr;
}

// "\tvalue\n" of a window; returns its size, at most 13.
std::size_t format_value(char (&text)[16], std::int64_t gc_bases, std::int64_t window_bases) noexcept {
    // One arithmetic for text and values alike (single precision, truncated).
    const int value = gc_percent(static_cast<std::uint64_t>(gc_bases), static_cast<std::uint64_t>(window_bases));
    text[0] = '\t';
    char* end = std::to_chars(text + 1, text + 15, value).ptr;
    *end++ = '\n';
    return static_cast<std::size_t>(end - text);
}

}  // namespace

void write_gc(std::int64_t gc_bases, std::int64_t window_bases, std::int64_t position, OutputStream& out) {
    char value[16];
    const std::size_t value_size = format_value(value, gc_bases, window_bases);
    char line[48];
    char* end = append_decimal(line, position);
    std::memcpy(end, value, value_size);
    write_or_fail(out, std::string_view(line, static_cast<std::size_t>(end - line) + value_size));
}

WindowPass::WindowPass(std::int32_t window_size, bool omit_tail)
    : window_size_(window_size), omit_tail_(omit_tail), batch_(kBatchSize) {
    if (window_size <= 0 || window_size > kMaxTabulatedWindow) return;
    // Every full window has one of window_size + 1 G/C counts, so its
    // "\tvalue\n" text is looked up rather than computed per window.
    full_window_text_.resize(static_cast<std::size_t>(window_size) + 1);
    for (std::int32_t gc = 0; gc <= window_size; ++gc) {
        char value[16];
        const std::size_t size = format_value(value, gc, window_size);
        ValueText& text = full_window_text_[static_cast<std::size_t>(gc)];
        std::memcpy(text.bytes, value, sizeof text.bytes);  // values run 0..100: at most 5 bytes
        text.size = static_cast<std::uint8_t>(size);
    }
}

namespace {

// The room a data line may take in a batch. The line is stored with
// fixed-size copies that run past its end: the position's DecimalCounter::
// write (kWriteSize bytes) and then, after at most 20 digits, either the
// 8-byte ValueText copy or a computed value of at most 13 bytes. The
// static_assert ties the three together: widening one of them without the
// others would write past the batch.
constexpr std::size_t kLineRoom = 64;
constexpr std::size_t kMaxPositionDigits = 20;  // 2^64 - 1
constexpr std::size_t kMaxComputedValue = 13;   // "\t", a sign and ten digits, "\n"
static_assert(kLineRoom >= DecimalCounter::kWriteSize &&
              kLineRoom >= kMaxPositionDigits + sizeof(WindowPass::ValueText) &&
              kLineRoom >= kMaxPositionDigits + kMaxComputedValue);

// Data lines are formatted into a batch of their own and handed over a batch
// at a time: batches of 8,192 bytes or more bypass the stream's buffer, and
// large writes cost the kernel far less per byte than 8 KiB ones (with a
// window of 5 bases the track is twice the size of the input).
class LineWriter {
  public:
    LineWriter(OutputStream& out, std::span<char> batch)
        : out_(out), start_(batch.data()), last_line_start_(batch.data() + batch.size() - kLineRoom) {}
    char* start() const noexcept { return start_; }
    // A line may start at or before this point.
    const char* last_line_start() const noexcept { return last_line_start_; }
    // Hands over the lines before `end`; the next line goes to start().
    char* drain(const char* end) {
        write_or_fail(out_, std::string_view(start_, static_cast<std::size_t>(end - start_)));
        return start_;
    }

  private:
    OutputStream& out_;
    char* const start_;
    const char* const last_line_start_;
};

// What a section's window pass starts from, and where it leaves the record:
// its length and the window still open at its end.
struct PassState {
    std::uint64_t window;  // bases per window; 2^64 - 1 when windows never complete
    std::span<const WindowPass::ValueText> full_window_text;
    LineWriter lines;
    std::uint64_t needed = 0;  // bases still missing from the open window
    std::uint64_t gc_in_window = 0;
    std::uint64_t length = 0;
    std::uint64_t lowercase = 0;
};

// The lowest `n` bits, 1 <= n <= 64.
inline std::uint64_t low_bits(std::uint64_t word, std::uint64_t n) noexcept {
    return word & (~std::uint64_t{0} >> (64 - n));
}

// Copies the text whole, size byte included (the next line overwrites it).
inline char* copy_value_text(char* at, const WindowPass::ValueText& text) noexcept {
    static_assert(sizeof(WindowPass::ValueText) == 8 && offsetof(WindowPass::ValueText, size) == 7);
    if constexpr (std::endian::native == std::endian::little) {
        // One load and one store; the size is the word's top byte.
        std::uint64_t word = 0;
        std::memcpy(&word, &text, 8);
        std::memcpy(at, &word, 8);
        return at + (word >> 56);
    } else {
        std::memcpy(at, text.bytes, sizeof text.bytes);
        return at + text.size;
    }
}

template <bool kCountLowercase>
[[gnu::always_inline]] inline void pass_lines(PassState& state, const fasta::SequenceLines& sequence_lines) {
    // Everything the per-window loop changes lives in locals that nothing
    // points to, so that it stays in registers while line bytes are stored
    // (char stores may alias anything else).
    const std::uint64_t window = state.window;
    const std::uint64_t window_mask = window < 64 ? low_bits(~std::uint64_t{0}, window) : 0;
    std::uint64_t needed = window;
    std::uint64_t gc_in_window = 0;
    std::uint64_t length = 0;
    std::uint64_t lowercase = 0;
    DecimalCounter position(1, window != UINT64_MAX ? window : 1);
    char* at = state.lines.start();
    const char* const last_line_start = state.lines.last_line_start();
    // Null when values are computed per window: an empty span's data() need not be.
    const WindowPass::ValueText* const value_text =
        state.full_window_text.empty() ? nullptr : state.full_window_text.data();
    for (const std::string_view line : sequence_lines) {
        const char* bytes = line.data();
        std::size_t left = line.size();
        length += left;
        // The line goes in runs of up to 64 bytes: one G/C bit mask per run,
        // and one popcount per piece of the run inside one window.
        while (left > 0) {
            const std::size_t run = left < 64 ? left : 64;
            std::uint64_t mask = 0;
            if constexpr (kCountLowercase) {
                const auto [gc, lower] = run_masks<UpperGcAndLowercase>(bytes, run);
                mask = gc;
                lowercase += static_cast<std::uint64_t>(__builtin_popcountll(lower));
            } else {
                mask = gc_mask(bytes, run);
            }
            std::size_t rest = run;
            const auto end_window = [&] {
                if (at > last_line_start) [[unlikely]] at = state.lines.drain(at);
                at = position.write(at);
                if (value_text != nullptr) [[likely]] {
                    at = copy_value_text(at, value_text[gc_in_window]);
                } else {
                    char value[16];
                    const std::size_t size =
                        format_value(value, static_cast<std::int64_t>(gc_in_window), static_cast<std::int64_t>(window));
                    std::memcpy(at, value, size);
                    at += size;
                }
                position.advance();
            };
            if (rest >= needed) {
                // The window that was already open ends first...
                gc_in_window += static_cast<std::uint64_t>(__builtin_popcountll(low_bits(mask, needed)));
                // needed == 64 only for a whole run, which leaves nothing to shift.
                mask = needed < 64 ? mask >> needed : 0;
                rest -= needed;
                end_window();
                // ...then whole windows, which fit in the rest of a run only
                // when they are shorter than 64 bases.
                while (rest >= window) {
                    gc_in_window = static_cast<std::uint64_t>(__builtin_popcountll(mask & window_mask));
                    mask >>= window;
                    rest -= window;
                    end_window();
                }
                needed = window;
                gc_in_window = 0;
            }
            if (rest > 0) {
                gc_in_window += static_cast<std::uint64_t>(__builtin_popcountll(low_bits(mask, rest)));
                needed -= rest;
            }
            bytes += run;
            left -= run;
        }
    }
    state.lines.drain(at);
    state.needed = needed;
    state.gc_in_window = gc_in_window;
    state.length = length;
    state.lowercase = lowercase;
}

// The same pass built twice, for CPUs with and without the popcnt
// instruction; the choice is made once per process.
template <bool kCountLowercase = false>
__attribute__((target("popcnt"))) void pass_lines_popcnt(PassState& state, const fasta::SequenceLines& lines) {
    pass_lines<kCountLowercase>(state, lines);
}
template <bool kCountLowercase = false>
void pass_lines_portable(PassState& state, const fasta::SequenceLines& lines) {
    pass_lines<kCountLowercase>(state, lines);
}

}  // namespace

std::uint64_t WindowPass::section(std::string_view identifier, const fasta::RecordView& record, OutputStream& out,
                                  std::uint64_t* lowercase) {
    std::string header = "variableStep chrom=";
    header += identifier;
    header += " span=";
    header += std::to_string(window_size_);
    header += '\n';
    write_or_fail(out, header);

    // A window of 0 or fewer bases never completes: every record then forms
    // a single partial window, as if windows had 2^64 - 1 bases.
    const std::uint64_t window = window_size_ > 0 ? static_cast<std::uint64_t>(window_size_) : UINT64_MAX;
    PassState state{window, full_window_text_, LineWriter(out, batch_)};
    const bool has_popcnt = popcnt_pass();
    if (lowercase != nullptr) {
        if (has_popcnt) {
            pass_lines_popcnt<true>(state, record.sequence_lines());
        } else {
            pass_lines_portable<true>(state, record.sequence_lines());
        }
        *lowercase += state.lowercase;
    } else if (has_popcnt) {
        pass_lines_popcnt(state, record.sequence_lines());
    } else {
        pass_lines_portable(state, record.sequence_lines());
    }
    const std::uint64_t bases_in_window = window - state.needed;
    if (!omit_tail_ && bases_in_window > 0) {
        // The partial window starts right after the last full one.
        write_gc(static_cast<std::int64_t>(state.gc_in_window), static_cast<std::int64_t>(bases_in_window),
                 static_cast<std::int64_t>(state.length - bases_in_window + 1), out);
    }
    return state.length;
}

}  // namespace seqtally::core
