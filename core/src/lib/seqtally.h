#pragma once
// Windowed G/C content of FASTA records, written as a wiggle track.
#include <cstdint>
#include <string>

namespace seqtally::core {

// Reads `input` (gzip when its extension is "gz") and writes the track to
// `output` (gzip likewise) and, when asked, the chrom.sizes file. Every
// failure throws InternalFailure with its message.
void write_gc_to_file(std::string input, std::string output, std::uint32_t compression_level,
                      std::int32_t window_size, bool omit_tail, std::string chrom_sizes_path,
                      bool write_chrom_sizes, bool verbose);

}  // namespace seqtally::core
