#pragma once
// The one writer of bedGraph text: "name<TAB>start<TAB>end<TAB>value" per
// window, 0-based and half-open, the last window clipped at the record's
// end, leaving out windows without a value. The window pass hands it full
// windows through its cursor.
#include <charconv>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "core/src/lib/decimal_counter.h"
#include "core/src/lib/text_lines.h"

namespace seqtally::core {

template <class Yield>
class BedGraphLines final : public TextLines<Yield, BedGraphLines<Yield>> {
    using Base = TextLines<Yield, BedGraphLines<Yield>>;
    friend Base;

  public:
    using Text = typename Yield::Text;

    // `window` >= 1. The room of a line in the batch must hold the name, two
    // positions written DecimalCounter::kWriteSize bytes at a time, a text
    // copied whole, and separators.
    BedGraphLines(const WindowTexts<Yield>& texts, const Batching& batching, OutputStream& out)
        : Base(texts, batching, out), start_(0, texts.window()), end_(texts.window(), texts.window()) {}

    void begin(std::string_view name) {
        name_ = name;
        this->begin_lines(name);
        start_ = DecimalCounter(0, this->texts_.window());
        end_ = DecimalCounter(this->texts_.window(), this->texts_.window());
    }

  private:
    [[gnu::always_inline]] char* line(char* at, const Text& text) {
        at = name_tab(at);
        at = start_.write(at);
        *at++ = '\t';
        return copy_value_text(end_.write(at), text);
    }
    [[gnu::always_inline]] void advance() {
        start_.advance();
        end_.advance();
    }
    char* tail_line(char* at, std::uint64_t length, std::uint64_t tail_bases, const Text& text) {
        at = name_tab(at);
        at = std::to_chars(at, at + 20, length - tail_bases).ptr;
        *at++ = '\t';
        return copy_value_text(std::to_chars(at, at + 20, length).ptr, text);
    }
    char* name_tab(char* at) const noexcept {
        std::memcpy(at, name_.data(), name_.size());
        at += name_.size();
        *at++ = '\t';
        return at;
    }

    std::string_view name_;
    DecimalCounter start_;
    DecimalCounter end_;
};

}  // namespace seqtally::core
