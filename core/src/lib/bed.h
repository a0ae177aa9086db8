#pragma once
// BED intervals as bedtools reads them: tab-separated lines of at least three
// columns (chrom, start, end; 0-based, half-open), BED3 up to BED12 and
// beyond, every data line with the same number of columns. Blank lines,
// comments (#...) and UCSC's `track` and `browser` lines are skipped
// wherever they stand. A line may end in LF or CRLF.
//
// Where bedtools reads a line wrongly, the line is refused instead (naming
// it): a number it cannot hold (bedtools aborts), a carriage return
// elsewhere than before the line end (bedtools keeps it in the field, so
// that a strand "-\r" silently stops being reverse complemented). And a
// line whose first field merely starts with "track" or "browser" (a
// contig "track1") is data here, where bedtools drops it silently.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "common/result.h"

namespace seqtally::core {

struct BedInterval {
    std::uint64_t line = 0;  // from 1
    std::uint64_t start = 0;
    std::uint64_t end = 0;
    std::string_view chrom;
    std::string_view name;    // column 4; empty when the line has fewer
    std::string_view strand;  // column 6; empty when the line has fewer
    // The columns after the end, from the tab before the fourth on (empty
    // for BED3), as bedtools nuc prints them back: verbatim, less one
    // trailing tab (bedtools' tokenizer drops a last empty field).
    std::string_view rest;
};

struct BedProblem {
    std::uint64_t line = 0;
    std::string text;  // what is wrong, without the line number
};

// The intervals of a BED text, which they point into: `text` must outlive
// them and stay where it is.
struct BedIntervals {
    std::vector<BedInterval> intervals;
    std::size_t columns = 0;  // of every data line; 0 when there is none
};

// All the intervals, or the first line that is not BED: a line of fewer
// than three columns, a start or end that is not a plain decimal number
// (digits only, below 2^63), a start after its end, a number of columns
// unlike the first data line's, a stray carriage return.
Result<BedIntervals, BedProblem> parse_bed(std::string_view text);

}  // namespace seqtally::core
