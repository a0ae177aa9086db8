#pragma once
// The window pass: the G/C percentage of consecutive windows of a record,
// written as the data lines of its "variableStep" section, and write_gc,
// which formats a single window's line the same way. Its fast path is
// checked against the byte-at-a-time reference in fuzz/reference_track.h.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "common/failure.h"
#include "fasta/record_view.h"
#include "streams/output_stream.h"

namespace seqtally::core {

// Throws "Write failed: ..." when the stream fails.
inline void write_or_fail(OutputStream& out, std::string_view text, SourceLocation where = SourceLocation::current()) {
    if (auto written = out.write_all(text); !written) throw WriteFailure(std::move(written).error(), where);
}

// Appends "position\tpercent\n". The percentage is computed in single
// precision and truncated, so 53 of 100 gives 52. Throws "Write failed: ..."
// when the stream fails. Requires 0 <= gc_bases <= window_bases, window_bases > 0.
void write_gc(std::int64_t gc_bases, std::int64_t window_bases, std::int64_t position, OutputStream& out);

// The window pass over records, with what depends only on the window size
// worked out once per call rather than once per record.
class WindowPass {
  public:
    WindowPass(std::int32_t window_size, bool omit_tail);
    // Appends the record's "variableStep" section and returns its length in
    // bases; `lowercase`, when given, is increased by the record's lowercase
    // letters (a-z), counted in the same pass. Throws "Write failed: ..."
    // when the stream fails.
    std::uint64_t section(std::string_view identifier, const fasta::RecordView& record, OutputStream& out,
                          std::uint64_t* lowercase = nullptr);

    struct ValueText {
        char bytes[7];  // "\t", up to three digits, "\n"; copied whole
        std::uint8_t size;
    };

  private:
    // Full windows up to this size take their value text from a table.
    static constexpr std::int32_t kMaxTabulatedWindow = 1 << 16;
    std::int32_t window_size_;
    bool omit_tail_;
    std::vector<ValueText> full_window_text_;
    static constexpr std::size_t kBatchSize = 65536;
    std::vector<char> batch_;
};

}  // namespace seqtally::core
