#pragma once
// Windowed G/C content of FASTA records, written as a wiggle track.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "fasta/record_view.h"
#include "streams/output_stream.h"

namespace seqtally::core {

// One section through a TextTrack of its own.
// Appends the record's "variableStep" section and returns its length in
// bases. Positions and counters are 64-bit, so records longer than 2^31
// bases get correct positions.
std::uint64_t write_gc_section(std::string_view identifier, const fasta::RecordView& record,
                               std::int32_t window_size, bool omit_tail, OutputStream& out);

// Reads `input` (gzip when its extension is "gz") and writes the track to
// `output` (gzip likewise) and, when asked, the chrom.sizes file. Every
// failure throws InternalFailure with its message.
void write_gc_to_file(std::string input, std::string output, std::uint32_t compression_level,
                      std::int32_t window_size, bool omit_tail, std::string chrom_sizes_path,
                      bool write_chrom_sizes, bool verbose);

}  // namespace seqtally::core
