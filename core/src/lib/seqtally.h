#pragma once
// Windowed G/C content of FASTA records, written as a wiggle track.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "fasta/record_view.h"
#include "streams/output_stream.h"

namespace seqtally::core {

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
    // bases. Throws "Write failed: ..." when the stream fails.
    std::uint64_t section(std::string_view identifier, const fasta::RecordView& record, OutputStream& out);

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

// One section through a WindowPass of its own.
// Appends the record's "variableStep" section and returns its length in
// bases. Positions and counters are 64-bit, so records longer than 2^31
// bases get correct positions.
std::uint64_t write_gc_section(std::string_view identifier, const fasta::RecordView& record,
                               std::int32_t window_size, bool omit_tail, OutputStream& out);

// Whether the path's extension (of its last component, a leading dot not
// counting) is exactly "gz".
bool has_gz_extension(std::string_view path) noexcept;

// Reads `input` (gzip when its extension is "gz") and writes the track to
// `output` (gzip likewise) and, when asked, the chrom.sizes file. Every
// failure throws InternalFailure with its message.
void write_gc_to_file(std::string input, std::string output, std::uint32_t compression_level,
                      std::int32_t window_size, bool omit_tail, std::string chrom_sizes_path,
                      bool write_chrom_sizes, bool verbose);

}  // namespace seqtally::core
