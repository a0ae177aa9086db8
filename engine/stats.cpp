// An assembly's statistics: every record's counts as columns, and its N and
// lowercase runs written as BED on the way.
#include "engine/stats.h"

#include <cstring>
#include <optional>
#include <string>

#include "core/src/lib/sequence_stats.h"
#include "core/src/lib/track_writer.h"
#include "engine/interval_reader.h"
#include "engine/results.h"
#include "engine/unlocked.h"

namespace seqtally::engine {
namespace {

// The two BED outputs are the call's output and its second output, which
// failures name as "output" and "sizes" (the library words both by path).
[[noreturn]] void throw_stats_error(const core::StatsError& error) {
    using Stage = core::StatsError::Stage;
    if (error.stage == Stage::Record) throw record_problem(*error.record);
    if (error.stage == Stage::Write) {
        throw write_problem(error.io, error.output == core::StatsError::Output::Gaps ? Which::Output : Which::Sizes);
    }
    const bool unknown = error.bed.text.starts_with("no record");
    Problem problem(Kind::Interval, Which::Bed, "line " + std::to_string(error.bed.line) + ": " + error.bed.text,
                    unknown ? Fault::UnknownContig : Fault::PastEnd);
    problem.line = error.bed.line;
    throw problem;
}

std::optional<Place> optional_place(PyObject* object, const char* what) {
    if (object == Py_None) return std::nullopt;
    return place_of(object, what, 1);
}

}  // namespace

PyObject* sequence_stats(PyObject*, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"source", "min_gap", "gaps", "masked", "exclude_bed", "progress", "on_record",
                                     nullptr};
    PyObject* source = nullptr;
    unsigned long long min_gap = 1;
    PyObject* gaps = Py_None;
    PyObject* masked = Py_None;
    PyObject* exclude_bed = Py_None;
    PyObject* progress = Py_None;
    PyObject* on_record = Py_None;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|KOOOOO:sequence_stats", const_cast<char**>(keywords), &source,
                                     &min_gap, &gaps, &masked, &exclude_bed, &progress, &on_record)) {
        return nullptr;
    }
    return frame([&]() -> PyObject* {
        Reading reading(source, progress, on_record);
        const std::optional<Place> gaps_place = optional_place(gaps, "gaps");
        const std::optional<Place> masked_place = optional_place(masked, "masked");
        const std::optional<Place> bed_place = exclude_bed == Py_None ? std::nullopt
                                                                       : std::optional(place_of(exclude_bed, "bed", 0));
        core::StatsColumns found = reading.run({}, [&](core::NamedRecords& records, Unlocked& unlocked) {
            // The BED text outlives the intervals that point into it.
            std::string bed;
            core::BedIntervals intervals;
            core::ExcludedIntervals excluded;
            core::StatsRequest request;
            request.min_gap = min_gap;
            if (bed_place) {
                bed = bed_text(*bed_place);
                intervals = parsed_bed(bed);
                for (const core::BedInterval& interval : intervals.intervals) {
                    excluded[interval.chrom].push_back(interval);
                }
                request.excluded = &excluded;
            }
            if (gaps_place) request.gaps = core::track_sink(open_output_file(*gaps_place, Which::Output), {});
            if (masked_place) request.masked = core::track_sink(open_output_file(*masked_place, Which::Sizes), {});
            auto counted = core::sequence_stats(records, std::move(request), unlocked);
            if (!counted) throw_stats_error(counted.error());
            return Result<core::StatsColumns, core::RecordError>(std::move(counted).value());
        });
        py::PyRef names(PyList_New(static_cast<Py_ssize_t>(found.names.size())));
        if (!names) throw PythonRaised{};
        for (std::size_t at = 0; at < found.names.size(); ++at) {
            PyList_SET_ITEM(names.get(), static_cast<Py_ssize_t>(at), utf8_text(found.names[at]).release());
        }
        const std::size_t count = found.names.size();
        std::string columns(core::kStatsColumns * count * sizeof(std::uint64_t), '\0');
        for (std::size_t k = 0; k < core::kStatsColumns; ++k) {
            if (count != 0) {
                std::memcpy(columns.data() + k * count * sizeof(std::uint64_t), found.columns[k].data(),
                            count * sizeof(std::uint64_t));
            }
        }
        return tuple_of({std::move(names), bytes_of(columns)}).release();
    });
}

}  // namespace seqtally::engine
