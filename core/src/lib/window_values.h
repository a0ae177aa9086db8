#pragma once
// The G/C values of a record's windows as numbers rather than wiggle text:
// for bigWig tracks (handed to Python as one byte per window) and bedGraph
// text. Each value is the one the wiggle track prints for that window.
#include <cstdint>
#include <functional>
#include <span>
#include <string_view>
#include <vector>

#include "fasta/record_view.h"
#include "streams/output_stream.h"

namespace seqtally::core {

// The percentage of `gc` among `bases`, in single precision and truncated
// (53 of 100 gives 52), as the wiggle track computes it; 0 < bases.
std::uint8_t gc_percent(std::uint64_t gc, std::uint64_t bases) noexcept;

class WindowValues {
  public:
    // window >= 1.
    explicit WindowValues(std::uint64_t window);
    // Appends one value per window of the record (the last, shorter window
    // too unless omit_tail) and returns the record's length in bases.
    // `checkpoint`, when given, is called every MiB or so of a long record
    // and may throw to end the call. `lowercase`, when given, is increased
    // by the record's lowercase letters (a-z), counted in the same pass.
    std::uint64_t append(const fasta::RecordView& record, bool omit_tail, std::vector<std::uint8_t>& values,
                         const std::function<void()>& checkpoint = {}, std::uint64_t* lowercase = nullptr) const;
    std::uint64_t window() const noexcept { return window_; }

  private:
    static constexpr std::uint64_t kMaxTabulatedWindow = 1 << 16;
    std::uint64_t window_;
    std::vector<std::uint8_t> full_window_value_;  // by G/C count, when window <= kMaxTabulatedWindow
};

// "name<TAB>start<TAB>end<TAB>value\n" per value: window i covers
// [i * window, min((i + 1) * window, length)), 0-based. Throws WriteFailure.
void write_bedgraph_section(std::string_view name, std::uint64_t length, std::uint64_t window,
                            std::span<const std::uint8_t> values, OutputStream& out);

}  // namespace seqtally::core
