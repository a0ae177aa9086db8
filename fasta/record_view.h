#pragma once
// One record inside the reader's buffer, valid until the reader's next
// next_record() call. Nothing is copied.
#include <algorithm>
#include <cstddef>
#include <iterator>
#include <span>
#include <string_view>

#include "common/result.h"
#include "common/utf8.h"

namespace seqtally::fasta {

namespace detail {
inline std::string_view strip_one_cr(std::string_view line) noexcept {
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    return line;
}
}  // namespace detail

// The record's lines after the header: line i runs from the byte after line
// end i-1 up to line end i.
class SequenceLines {
  public:
    class iterator {
      public:
        using value_type = std::string_view;
        using difference_type = std::ptrdiff_t;

        iterator() = default;
        iterator(const char* data, const std::size_t* end) : data_(data), end_(end) {}
        std::string_view operator*() const noexcept {
            const std::size_t from = end_[-1] + 1;
            return detail::strip_one_cr(std::string_view(data_ + from, *end_ - from));
        }
        iterator& operator++() noexcept {
            ++end_;
            return *this;
        }
        iterator operator++(int) noexcept {
            iterator before = *this;
            ++end_;
            return before;
        }
        bool operator==(const iterator& other) const noexcept { return end_ == other.end_; }

      private:
        const char* data_ = nullptr;
        const std::size_t* end_ = nullptr;
    };

    SequenceLines(const char* data, std::span<const std::size_t> line_ends) : data_(data), line_ends_(line_ends) {}
    iterator begin() const noexcept { return {data_, line_ends_.data() + 1}; }
    iterator end() const noexcept { return {data_, line_ends_.data() + line_ends_.size()}; }
    // Line `line` (0-based) and those after it.
    iterator from(std::size_t line) const noexcept { return {data_, line_ends_.data() + 1 + line}; }
    std::size_t size() const noexcept { return line_ends_.size() - 1; }
    // The bytes from the header's end to the last line's: the sequence with
    // its line ends, an upper bound of its length found without a scan.
    std::size_t byte_span() const noexcept { return line_ends_.back() - line_ends_.front(); }

  private:
    const char* data_;
    std::span<const std::size_t> line_ends_;  // at least one entry: the header's end
};

class RecordView {
  public:
    RecordView(std::string_view data, std::size_t start, std::span<const std::size_t> line_ends)
        : data_(data), start_(start), line_ends_(line_ends) {}

    // Without the leading '>' and without one trailing '\r'.
    std::string_view header() const noexcept {
        return detail::strip_one_cr(data_.substr(start_ + 1, line_ends_[0] - start_ - 1));
    }
    // The header up to its first space (0x20); tabs do not end it.
    Result<std::string_view, Utf8Error> identifier() const {
        std::string_view id = header();
        id = id.substr(0, id.find(' '));
        if (auto error = check_utf8(id)) return Err{*error};
        return id;
    }
    // The first word of the header: leading spaces and tabs skipped, then
    // up to the next space, tab, vertical tab, form feed or carriage return,
    // as samtools faidx and the sequence collection tools name a record.
    Result<std::string_view, Utf8Error> first_word() const {
        std::string_view word = header();
        word.remove_prefix(std::min(word.size(), word.find_first_not_of(" \t")));
        word = word.substr(0, word.find_first_of(" \t\v\f\r"));
        if (auto error = check_utf8(word)) return Err{*error};
        return word;
    }
    SequenceLines sequence_lines() const noexcept { return SequenceLines(data_.data(), line_ends_); }

    // The raw layout, for indexes that address bytes: the record's bytes
    // from its '>' on, and where each line ends in them (entry 0: the
    // header's; an entry at data().size() means the input ended there
    // without a newline).
    std::string_view data() const noexcept { return data_.substr(start_); }
    std::size_t line_end(std::size_t i) const noexcept { return line_ends_[i] - start_; }
    std::size_t line_count() const noexcept { return line_ends_.size(); }

  private:
    std::string_view data_;
    std::size_t start_;
    std::span<const std::size_t> line_ends_;
};

}  // namespace seqtally::fasta
