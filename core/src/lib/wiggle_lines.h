#pragma once
// The one writer of wiggle text: a record's "variableStep" section, one
// "position<TAB>value" line per window (1-based), leaving out windows without
// a value. The window pass hands it full windows through its cursor.
#include <charconv>
#include <cstdint>
#include <string>
#include <string_view>

#include "core/src/lib/decimal_counter.h"
#include "core/src/lib/text_lines.h"

namespace seqtally::core {

template <class Yield>
class WiggleLines final : public TextLines<Yield, WiggleLines<Yield>> {
    using Base = TextLines<Yield, WiggleLines<Yield>>;
    friend Base;

  public:
    using Text = typename Yield::Text;

    // `window` >= 1, or 2^64 - 1 for one window per record; `span` is what
    // the declaration lines say. The room of a line in the batch must hold
    // the position's DecimalCounter::write (kWriteSize bytes, stored past
    // its digits), or its digits and a text copied whole.
    WiggleLines(const WindowTexts<Yield>& texts, std::string_view span, const Batching& batching, OutputStream& out)
        : Base(texts, batching, out), span_(span), position_(1, 1) {}

    // The record's declaration line; its lines follow.
    void begin(std::string_view name) {
        std::string header = "variableStep chrom=";
        header += name;
        header += " span=";
        header += span_;
        header += '\n';
        write_or_fail(this->batch_.out(), header);
        this->begin_lines(name);
        const std::uint64_t window = this->texts_.window();
        position_ = DecimalCounter(1, window != UINT64_MAX ? window : 1);
    }

  private:
    [[gnu::always_inline]] char* line(char* at, const Text& text) {
        return copy_value_text(position_.write(at), text);
    }
    [[gnu::always_inline]] void advance() { position_.advance(); }
    char* tail_line(char* at, std::uint64_t length, std::uint64_t tail_bases, const Text& text) {
        // It starts right after the last full window.
        return copy_value_text(std::to_chars(at, at + 20, length - tail_bases + 1).ptr, text);
    }

    std::string span_;
    DecimalCounter position_;
};

}  // namespace seqtally::core
