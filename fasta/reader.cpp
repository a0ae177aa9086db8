#include "reader.h"

#include <algorithm>
#include <cstring>
#include <string_view>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace seqtally::fasta {

namespace {

// 8 MiB: below it the buffer doubles, above it grows by this step, so a huge
// record costs at most 8 MiB of slack.
constexpr std::size_t kLinearGrowthStep = 8u << 20;

const std::uint8_t* find_newline(const std::uint8_t* from, const std::uint8_t* to) noexcept {
    return static_cast<const std::uint8_t*>(std::memchr(from, '\n', static_cast<std::size_t>(to - from)));
}

#if defined(__SSE2__)
// Bit i is set when from[i] is '\n'.
inline std::uint64_t newline_mask(const std::uint8_t* from) noexcept {
    const __m128i newline = _mm_set1_epi8('\n');
    std::uint64_t mask = 0;
    for (int i = 0; i < 4; ++i) {
        const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(from + 16 * i));
        mask |= std::uint64_t{static_cast<std::uint16_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(bytes, newline)))} << (16 * i);
    }
    return mask;
}
#endif

}  // namespace

Reader::Reader(std::unique_ptr<ByteSource> source, std::size_t capacity, std::size_t partial_fill)
    // Two bytes at least: a lone '\r' waiting for its '\n' must leave room to read it.
    : buffer_(Buffer::with_capacity(capacity < 2 ? 2 : capacity)),
      partial_fill_(partial_fill < 1 ? 1 : partial_fill),
      source_(std::move(source)) {
    line_ends_.reserve(1);
}

Result<std::size_t, Error> Reader::fill_buf(std::size_t at_most) {
    std::size_t total = 0;
    while (total < at_most) {
        const auto space = buffer_.free_space();
        if (space.empty()) return total;
        auto got = source_->read(space.first(std::min(space.size(), at_most - total)));
        if (!got) {
            if (got.error().kind() == ErrorKind::Interrupted) continue;
            return Err{Error::io(std::move(got).error())};
        }
        if (got.value() == 0) {
            source_ended_ = true;
            return total;
        }
        buffer_.commit(got.value());
        total += got.value();
    }
    return total;
}

// Finds the first header line, skipping empty lines and lines holding a lone
// '\r'. Returns false at the end of input.
Result<bool, Error> Reader::init() {
    auto filled = fill_buf();
    if (!filled) return Err{std::move(filled).error()};
    if (filled.value() == 0) {
        finished_ = true;
        return false;
    }
    std::uint64_t lines_skipped = 0;
    std::uint64_t bytes_skipped = 0;
    for (;;) {
        const auto data = buffer_.buf();
        const std::uint8_t* const begin = data.data();
        const std::uint8_t* const end = begin + data.size();
        const std::uint8_t* line = begin;
        while (line < end) {
            const std::uint8_t* newline = find_newline(line, end);
            const std::uint8_t* line_end = newline ? newline : end;
            const auto length = static_cast<std::size_t>(line_end - line);
            const bool blank = length == 0 || (length == 1 && line[0] == '\r');
            if (blank && newline) {
                ++lines_skipped;
                line = newline + 1;
                continue;
            }
            // An unfinished lone '\r' may still become a blank line.
            if (blank) break;
            line_ = lines_skipped + 1;
            if (line[0] != '>') {
                finished_ = true;
                return Err{Error::invalid_start(line_, line[0])};
            }
            start_ = static_cast<std::size_t>(line - begin);
            search_from_ = start_ + 1;
            offset_ = bytes_skipped + start_;
            return true;
        }
        const auto consumed = static_cast<std::size_t>(line - begin);
        bytes_skipped += consumed;
        buffer_.consume(consumed);
        buffer_.make_room();
        filled = fill_buf();
        if (!filled) return Err{std::move(filled).error()};
        if (filled.value() == 0) {
            finished_ = true;
            return false;
        }
    }
}

Reader::Search Reader::search() {
    const auto data = buffer_.buf();
    const std::uint8_t* const begin = data.data();
    const std::uint8_t* const end = begin + data.size();
    const std::uint8_t* from = begin + search_from_;
    enum class Next { Line, RecordStart, EndOfData };
    const auto line_end = [&](const std::uint8_t* newline) {
        const auto at = static_cast<std::size_t>(newline - begin);
        if (newline + 1 == end) {
            // What follows this '\n' is not known yet; it is found again after
            // the next fill.
            search_from_ = at;
            return Next::EndOfData;
        }
        line_ends_.push_back(at);
        if (newline[1] == '>') {
            search_from_ = at + 1;
            return Next::RecordStart;
        }
        return Next::Line;
    };
    Next next = Next::Line;
#if defined(__SSE2__)
    // Sequence lines are mostly 60 to 80 bytes, and a library search per
    // line spends as long on the call as on the bytes. Here each 64 bytes
    // give one bit per newline, and the line ends are read off the bits.
    for (; next == Next::Line && end - from >= 64; from += 64) {
        for (std::uint64_t newlines = newline_mask(from); newlines != 0; newlines &= newlines - 1) {
            next = line_end(from + __builtin_ctzll(newlines));
            if (next != Next::Line) break;
        }
    }
#endif
    while (next == Next::Line) {
        const std::uint8_t* newline = find_newline(from, end);
        if (newline == nullptr) {
            search_from_ = data.size();
            break;
        }
        next = line_end(newline);
        from = newline + 1;
    }
    if (next == Next::RecordStart) return Search::Complete;
    if (source_ended_) {
        finished_ = true;
        line_ends_.push_back(search_from_);
        return Search::Complete;
    }
    return Search::Incomplete;
}

Status<Error> Reader::next_complete(const PartialRecord& partial) {
    while (search() == Search::Incomplete) {
        if (partial && !line_ends_.empty()) partial(view());
        if (buffer_.free_space().empty()) {
            if (start_ > 0) {
                buffer_.consume(start_);
                buffer_.make_room();
                search_from_ -= start_;
                for (auto& line_end : line_ends_) line_end -= start_;
                start_ = 0;
            } else {
                const std::size_t capacity = buffer_.capacity();
                const std::size_t grown =
                    capacity < kLinearGrowthStep ? capacity * 2 : capacity + kLinearGrowthStep;
                buffer_.reserve(grown - buffer_.len());
            }
        }
        auto filled = fill_buf(partial ? partial_fill_ : SIZE_MAX);
        if (!filled) return Err{std::move(filled).error()};
    }
    return Ok{};
}

RecordView Reader::view() const noexcept {
    const auto data = buffer_.buf();
    return RecordView(std::string_view(reinterpret_cast<const char*>(data.data()), data.size()), start_,
                      line_ends_);
}

Result<std::optional<RecordView>, Error> Reader::next_record(const PartialRecord& partial) {
    if (finished_) return std::optional<RecordView>();
    if (line_ == 0) {
        auto found = init();
        if (!found) return Err{std::move(found).error()};
        if (!found.value()) return std::optional<RecordView>();
    } else if (!line_ends_.empty()) {
        line_ += line_ends_.size();
        offset_ += search_from_ - start_;
        start_ = search_from_;
        line_ends_.clear();
    }
    auto complete = next_complete(partial);
    if (!complete) return Err{std::move(complete).error()};
    return std::optional<RecordView>(view());
}

}  // namespace seqtally::fasta
