#pragma once
// What bedtools getfasta and nuc print for the intervals of a BED file, and
// what samtools faidx prints for regions, byte for byte, written as the
// intervals are read. An interval that cannot be read (an unknown contig,
// past its contig's end) is left out and said, with its line, in the notes
// the call returns; the others are still written. An empty interval is
// left out as bedtools leaves it out, and noted too.
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "common/result.h"
#include "core/src/lib/bed.h"
#include "core/src/lib/intervals.h"
#include "streams/output_stream.h"

namespace seqtally::core {

// Bases held at once by the calls that print sequences: beyond one
// interval, the memory they take does not grow with the input.
inline constexpr std::uint64_t kBatchBases = std::uint64_t{32} << 20;

struct IntervalNote {
    std::uint64_t line = 0;  // the BED line
    IntervalFault fault = IntervalFault::None;
    std::string text;
};

// getfasta's headers: chrom:start-end, -name's name::chrom:start-end, or
// -nameOnly's name.
enum class HeaderForm : std::uint8_t { Position, NameAndPosition, Name };

struct GetfastaOptions {
    bool strand = false;  // -s: reverse complement on "-", the strand in the header
    HeaderForm header = HeaderForm::Position;
    bool tab = false;  // -tab: header TAB bases, no '>'
};

struct NucOptions {
    bool strand = false;  // -s
    bool seq = false;     // -seq
    std::string pattern;  // -pattern, when not empty
    bool ignore_case = false;  // -C
};

struct IntervalContext {
    RandomAccess& access;
    const Contigs& contigs;
    OutputStream& out;
    std::function<void()> checkpoint;  // between intervals; may throw
    RandomAccess* helper = nullptr;    // a second reader of the file, for a second thread
};

Result<std::vector<IntervalNote>, IntervalFailure> write_getfasta(IntervalContext& context,
                                                                  const BedIntervals& bed,
                                                                  const GetfastaOptions& options);

Result<std::vector<IntervalNote>, IntervalFailure> write_nuc(IntervalContext& context, const BedIntervals& bed,
                                                             const NucOptions& options);

// samtools faidx: per interval its header line (">" + the header, "/rc"
// after it when reverse complemented) and its bases, 60 a line.
Status<IntervalFailure> write_faidx(IntervalContext& context, std::span<const Interval> intervals,
                                    std::span<const std::string_view> headers);

}  // namespace seqtally::core
