#pragma once
// What an assembly is made of, counted in one read: per record its length,
// its bases by kind, its soft-masked letters, CpG pairs and N gaps, and on
// the way, when asked, its N runs and lowercase runs as BED lines. Nothing
// is held per base: the counts come from one bit mask per kind per 64
// bytes (base_marks.h), runs from the mask's edges.
#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "common/io_error.h"
#include "common/result.h"
#include "core/src/lib/bed.h"
#include "core/src/lib/named_records.h"
#include "streams/sink.h"

namespace seqtally::core {

// A record's numbers, in this order in StatsColumns.
enum class StatsColumn : std::uint8_t {
    Length,
    A,  // each base in either case
    C,
    G,
    T,
    N,
    Iupac,      // R Y S W K M B D H V in either case
    Other,      // every other byte of the sequence lines
    Lowercase,  // a-z
    Cpg,        // C then G, either case, across line ends too
    UpperGc,    // the bytes G and C: the seqtally module's count
    Gaps,       // maximal runs of N/n at least min_gap long
    GapLength,
    Excluded,  // bases other than N/n inside the excluded intervals
};
inline constexpr std::size_t kStatsColumns = 14;

// Every record's numbers, a column each (so that a binding hands each
// column over as one buffer).
struct StatsColumns {
    std::vector<std::string> names;
    std::array<std::vector<std::uint64_t>, kStatsColumns> columns;
};

// Intervals to leave out of the effective size, by record name, as the BED
// file gave them.
using ExcludedIntervals = std::unordered_map<std::string_view, std::vector<BedInterval>>;

struct StatsRequest {
    std::uint64_t min_gap = 1;
    std::unique_ptr<Sink> gaps;    // BED3 of N runs at least min_gap long; null: not written
    std::unique_ptr<Sink> masked;  // BED3 of lowercase runs; null: not written
    const ExcludedIntervals* excluded = nullptr;
};

struct StatsError {
    enum class Stage : std::uint8_t { Record, Write, Excluded };
    enum class Output : std::uint8_t { Gaps, Masked };
    Stage stage = Stage::Record;
    std::optional<RecordError> record;  // Record
    Output output = Output::Gaps;       // Write
    IoError io = IoError::of_kind(ErrorKind::Other);
    BedProblem bed;  // Excluded: an interval on no record, or past its end
};

// Reads every record. The BED outputs are released (flushed, closed) when
// all went well; on failure they are dropped quietly, for the caller to
// remove.
Result<StatsColumns, StatsError> sequence_stats(NamedRecords& records, StatsRequest request, RecordEvents& events);

}  // namespace seqtally::core
