#pragma once
// A text track's sections, record by record: wiggle or bedGraph lines of
// the module's count or of a CountRule's, made by the one window pass and
// the one writer of each format. What depends only on the window (the
// value texts, the full windows' table) is worked out once per track.
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string_view>

#include "core/src/lib/window_yields.h"
#include "fasta/record_view.h"
#include "streams/output_stream.h"

namespace seqtally::core {

enum class TrackForm : std::uint8_t { Wiggle, BedGraph };

class TextTrack {
  public:
    // `window` >= 1.
    TextTrack(TrackForm form, std::uint64_t window, const std::optional<CountRule>& count, bool omit_tail,
              OutputStream& out);
    // The module's wiggle track takes any window: below 1, each record is
    // one window that never completes, declared with the span as given.
    static TextTrack module_wiggle(std::int32_t window, bool omit_tail, OutputStream& out);
    ~TextTrack();
    TextTrack(TextTrack&&) noexcept;
    TextTrack& operator=(TextTrack&&) noexcept;

    struct Totals {
        std::uint64_t length = 0;
        std::uint64_t lowercase = 0;  // with count_lowercase, or a CountRule
    };
    // Appends the record's section (for wiggle, its declaration line first).
    // `checkpoint`, when given, is called every MiB or so of a long record
    // of a CountRule's track (whose lines may pause for long) and may throw
    // to end the call. Throws WriteFailure.
    Totals section(std::string_view name, const fasta::RecordView& record, bool count_lowercase = false,
                   const std::function<void()>* checkpoint = nullptr);

    class Sections;

  private:
    explicit TextTrack(std::unique_ptr<Sections> sections);
    std::unique_ptr<Sections> sections_;
};

}  // namespace seqtally::core
