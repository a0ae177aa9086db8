#pragma once
// What the wiggle and bedGraph writers share: the batch their lines are
// formatted into, the points where it is handed to the stream, and the
// text of each window's value, looked up rather than formatted per window.
#include <algorithm>
#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>
#include <vector>

#include "common/failure.h"
#include "core/src/lib/window_yields.h"
#include "streams/output_stream.h"

namespace seqtally::core {

// Throws "Write failed: ..." when the stream fails.
inline void write_or_fail(OutputStream& out, std::string_view text, SourceLocation where = SourceLocation::current()) {
    if (auto written = out.write_all(text); !written) throw WriteFailure(std::move(written).error(), where);
}

// Where a section's lines are handed to the stream. A stored (level 0) gzip
// member ends a block where a write ends, so these points are part of a
// track's bytes: each track keeps its own (and a yield may add some, as
// kWindowsPerWrite).
struct Batching {
    std::size_t line_room;    // the room a line may take in the batch, past the name's size when name_in_room
    bool name_in_room;
    bool batch_grows;         // the batch keeps the largest size a record needed, record after record
    bool tail_apart;          // the last, shorter window's line is a write of its own

    std::size_t room(std::string_view name) const noexcept { return line_room + (name_in_room ? name.size() : 0); }
};

// Lines are formatted into a batch of their own and handed over a batch at
// a time: batches of 8,192 bytes or more bypass the stream's buffer, and
// large writes cost the kernel far less per byte than 8 KiB ones (with a
// window of 5 bases the track is twice the size of the input).
class LineBatch {
  public:
    static constexpr std::size_t kBatchSize = 65536;

    LineBatch(const Batching& batching, OutputStream& out) : batching_(batching), out_(out) {}

    // Sizes the batch for a record's lines.
    void begin(std::string_view name) {
        const std::size_t room = batching_.room(name);
        size_ = std::max({batching_.batch_grows ? size_ : 0, kBatchSize, 2 * room});
        if (bytes_.size() < size_) bytes_.resize(size_);
        last_line_start_ = bytes_.data() + size_ - room;
    }
    char* start() noexcept { return bytes_.data(); }
    // A line may start at or before this point.
    const char* last_line_start() const noexcept { return last_line_start_; }
    // Hands over the lines before `end`; the next line goes to start().
    char* drain(const char* end) {
        write_or_fail(out_, std::string_view(bytes_.data(), static_cast<std::size_t>(end - bytes_.data())));
        return bytes_.data();
    }
    const Batching& batching() const noexcept { return batching_; }
    OutputStream& out() noexcept { return out_; }

  private:
    Batching batching_;
    OutputStream& out_;
    std::vector<char> bytes_;
    std::size_t size_ = 0;
    const char* last_line_start_ = nullptr;
};

// Copies the text whole, size byte included (the next line overwrites it),
// and returns its end.
template <std::size_t kBytes>
inline char* copy_value_text(char* at, const ValueText<kBytes>& text) noexcept {
    static_assert(sizeof(ValueText<kBytes>) == kBytes && offsetof(ValueText<kBytes>, size) == kBytes - 1);
    if constexpr (kBytes == 8 && std::endian::native == std::endian::little) {
        // One load and one store; the size is the word's top byte.
        std::uint64_t word = 0;
        std::memcpy(&word, &text, 8);
        std::memcpy(at, &word, 8);
        return at + (word >> 56);
    } else {
        std::memcpy(at, &text, kBytes);
        return at + text.size;
    }
}

// The text of every value a yield has, and of every full window by its
// counts when windows are small enough: a full window then costs one
// lookup, whatever its value's arithmetic.
template <class Yield>
class WindowTexts {
  public:
    using Text = typename Yield::Text;

    WindowTexts(const Yield& yield, std::uint64_t window) : yield_(yield), window_(window) {
        by_value_.resize(yield.values());
        for (std::size_t i = 0; i < by_value_.size(); ++i) {
            Text& text = by_value_[i];
            text.bytes[0] = '\t';
            char* end = yield.format(yield.value_at(i), text.bytes + 1);
            *end++ = '\n';
            text.size = static_cast<std::uint8_t>(end - text.bytes);
        }
        if (window > Yield::kMaxTabulatedWindow) return;
        by_counts_.resize(count_key(std::array<std::uint64_t, Yield::kCounts>{window}, window) + 1);
        for_each_full_window<Yield::kCounts>(window, [&](const auto& counts) {
            by_counts_[count_key(counts, window)] = of(yield.value(counts, window));
        });
    }

    Text of(typename Yield::Value value) const noexcept {
        if constexpr (Yield::kMayLackValue) {
            if (value == kNoValue) return Text{};
        }
        return by_value_[yield_.index(value)];
    }
    // A full window's text; null when they are not tabulated.
    const Text* full_window_texts() const noexcept { return by_counts_.empty() ? nullptr : by_counts_.data(); }
    const Yield& yield() const noexcept { return yield_; }
    std::uint64_t window() const noexcept { return window_; }

  private:
    Yield yield_;
    std::uint64_t window_;
    std::vector<Text> by_value_;
    std::vector<Text> by_counts_;
};

}  // namespace seqtally::core
