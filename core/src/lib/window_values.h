#pragma once
// The values of a record's windows as numbers rather than text, for bigWig
// tracks (handed to Python): the module's count one byte per window (0 to
// 100), a CountRule's one int16 per window (kNoValue where none). Each
// value is the one the text tracks print for that window.
#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

#include "core/src/lib/window_yields.h"
#include "fasta/record_view.h"

namespace seqtally::core {

class WindowValues {
  public:
    // window >= 1; no count: the module's.
    WindowValues(std::uint64_t window, const std::optional<CountRule>& count);

    struct Totals {
        std::uint64_t length = 0;
        std::uint64_t lowercase = 0;  // with count_lowercase, or a CountRule
    };
    // Appends one value per window of the record (the last, shorter window
    // too unless omit_tail): the module's count to `percents`, a CountRule's
    // to `counts`. `checkpoint`, when given, is called every MiB or so of a
    // long record and may throw to end the call.
    Totals append(const fasta::RecordView& record, bool omit_tail, std::vector<std::uint8_t>& percents,
                  std::vector<std::int16_t>& counts, const std::function<void()>* checkpoint = nullptr,
                  bool count_lowercase = false) const;
    std::uint64_t window() const noexcept { return window_; }

  private:
    std::uint64_t window_;
    std::optional<FieldCount> count_;
    // Values of full windows by their counts, for small windows.
    std::vector<std::uint8_t> full_window_percent_;
    std::vector<std::int16_t> full_window_count_;
};

}  // namespace seqtally::core
