#pragma once
// What the wiggle and bedGraph writers share: the cursor the window pass
// hands full windows to, which turns each into its value's text and leaves
// out windows without a value, and the end of a record. `Format` (the
// writer itself) gives line(at, text) for a full window's line,
// tail_line(at, length, tail_bases, text) for the last, shorter window's,
// and advance() for the positions of the next window.
#include <array>
#include <cstdint>

#include "core/src/lib/line_batch.h"
#include "core/src/lib/window_pass.h"

namespace seqtally::core {

template <class Yield, class Format>
class TextLines {
  public:
    using Text = typename Yield::Text;
    static constexpr std::size_t kCounts = Yield::kCounts;
    // A line for every window fills a batch, and so reaches the stream's
    // checkpoint, often enough; the field's counts may leave out every
    // window of a long stretch of N.
    static constexpr bool kCheckpoints = Yield::kMayLackValue;

    TextLines(const WindowTexts<Yield>& texts, const Batching& batching, OutputStream& out)
        : texts_(texts), batch_(batching, out) {}

    struct Cursor {
        Format* lines;
        char* at;
        const char* last_line_start;
        const Text* full_window_texts;  // null when computed per window
        std::uint64_t window;
        std::uint64_t until_write;

        [[gnu::always_inline]] void full(const std::array<std::uint64_t, kCounts>& counts) {
            if (full_window_texts != nullptr) [[likely]] {
                window_text(full_window_texts[count_key(counts, window)]);
            } else {
                window_text(lines->texts_.of(lines->texts_.yield().value(counts, window)));
            }
        }
        // The next full window, by its value's text.
        [[gnu::always_inline]] void window_text(const Text& text) {
            if (!Yield::kMayLackValue || text.size != 0) {
                if (at > last_line_start) [[unlikely]] at = lines->batch_.drain(at);
                at = lines->line(at, text);
            }
            lines->advance();
            if constexpr (Yield::kWindowsPerWrite != 0) {
                if (--until_write == 0) [[unlikely]] {
                    at = lines->batch_.drain(at);
                    until_write = Yield::kWindowsPerWrite;
                }
            }
        }
    };
    Cursor cursor() noexcept {
        return {static_cast<Format*>(this), at_, batch_.last_line_start(), texts_.full_window_texts(), texts_.window(),
                Yield::kWindowsPerWrite};
    }
    void settle(const Cursor& cursor) noexcept { at_ = cursor.at; }

    // The record's last, shorter window, unless omitted; then the rest of
    // its lines go to the stream.
    void end(const PassEnd<kCounts>& pass, bool omit_tail) {
        const Yield& yield = texts_.yield();
        finish(pass.length, pass.tail,
               pass.has_tail(omit_tail) ? texts_.of(yield.value(pass.counts, pass.tail)) : Text{});
    }
    // The same by the last window's text (size 0: no line) in a record of
    // `length` bases.
    void finish(std::uint64_t length, std::uint64_t tail_bases, const Text& tail_text) {
        if (batch_.batching().tail_apart) at_ = batch_.drain(at_);
        if (tail_text.size != 0) {
            if (at_ > batch_.last_line_start()) at_ = batch_.drain(at_);
            at_ = static_cast<Format*>(this)->tail_line(at_, length, tail_bases, tail_text);
        }
        at_ = batch_.drain(at_);
    }

  protected:
    // The batch is sized for the record's lines.
    void begin_lines(std::string_view name) {
        batch_.begin(name);
        at_ = batch_.start();
    }

    const WindowTexts<Yield>& texts_;
    LineBatch batch_;
    char* at_ = nullptr;
};

}  // namespace seqtally::core
