#include "core/src/lib/sequence_stats.h"

#include <algorithm>
#include <charconv>
#include <functional>
#include <unordered_set>
#include <utility>

#include "core/src/lib/stats_walk.h"
#include "streams/output_stream.h"

namespace seqtally::core {
namespace {

using stats_walk::Counts;
using stats_walk::OnRun;
using stats_walk::RecordWalk;

// A record's excluded intervals, merged, and the N bases inside them, taken
// from the N runs as they come (in order).
class Exclusion {
  public:
    explicit Exclusion(const std::vector<BedInterval>* intervals) {
        if (intervals == nullptr) return;
        std::vector<std::pair<std::uint64_t, std::uint64_t>> sorted;
        sorted.reserve(intervals->size());
        for (const BedInterval& interval : *intervals) {
            if (interval.end > interval.start) sorted.emplace_back(interval.start, interval.end);
        }
        std::sort(sorted.begin(), sorted.end());
        for (const auto& [start, end] : sorted) {
            if (!merged_.empty() && start <= merged_.back().second) {
                merged_.back().second = std::max(merged_.back().second, end);
            } else {
                merged_.emplace_back(start, end);
            }
        }
    }

    void n_run(std::uint64_t start, std::uint64_t end) noexcept {
        while (next_ < merged_.size() && merged_[next_].second <= start) ++next_;
        for (std::size_t k = next_; k < merged_.size() && merged_[k].first < end; ++k) {
            n_inside_ += std::min(end, merged_[k].second) - std::max(start, merged_[k].first);
        }
    }

    std::uint64_t excluded() const noexcept {
        std::uint64_t covered = 0;
        for (const auto& [start, end] : merged_) covered += end - start;
        return covered - n_inside_;
    }

  private:
    std::vector<std::pair<std::uint64_t, std::uint64_t>> merged_;
    std::size_t next_ = 0;
    std::uint64_t n_inside_ = 0;
};

// A BED3 output: lines written through its stream; the first failure kept.
class BedRuns {
  public:
    explicit BedRuns(std::unique_ptr<Sink> sink) {
        if (sink) stream_.emplace(std::move(sink));
    }
    bool wanted() const noexcept { return stream_.has_value(); }
    const std::optional<IoError>& failure() const noexcept { return failure_; }

    void line(std::string_view name, std::uint64_t start, std::uint64_t end) {
        if (failure_) return;
        text_.assign(name);
        char digits[48];
        digits[0] = '\t';
        char* at = std::to_chars(digits + 1, digits + 24, start).ptr;
        *at++ = '\t';
        at = std::to_chars(at, digits + 47, end).ptr;
        *at++ = '\n';
        text_.append(digits, at);
        if (auto written = stream_->write_all(text_); !written) failure_ = std::move(written).error();
    }

    // Flushes and closes, keeping the first failure.
    void release() {
        if (!stream_) return;
        auto released = stream_->release();
        if (!released && !failure_) failure_ = std::move(released).error();
        stream_.reset();
    }

  private:
    std::optional<OutputStream> stream_;
    std::optional<IoError> failure_;
    std::string text_;
};

// The record being read: its walk, its gaps and its excluded intervals,
// from its first part on.
struct RecordState {
    const std::vector<BedInterval>* intervals;
    Exclusion exclusion;
    std::uint64_t gap_count = 0;
    std::uint64_t gap_length = 0;
    std::string_view name;  // valid during each call that walks lines
    RecordWalk walk;
    explicit RecordState(const std::vector<BedInterval>* intervals_) : intervals(intervals_), exclusion(intervals_) {}
};

}  // namespace

Result<StatsColumns, StatsError> sequence_stats(NamedRecords& records, StatsRequest request, RecordEvents& events) {
    StatsColumns found;
    BedRuns gaps(std::move(request.gaps));
    BedRuns masked(std::move(request.masked));
    std::unordered_set<std::string_view> named;  // excluded contigs seen
    std::optional<StatsError> stopped;
    const std::function<void()> checkpoint = [&events] { events.checkpoint(); };
    const auto write_failed = [&]() -> bool {
        const std::pair<BedRuns*, StatsError::Output> outputs[] = {{&gaps, StatsError::Output::Gaps},
                                                                   {&masked, StatsError::Output::Masked}};
        for (const auto& [runs, output] : outputs) {
            if (runs->failure()) {
                stopped.emplace();
                stopped->stage = StatsError::Stage::Write;
                stopped->output = output;
                stopped->io = *runs->failure();
                return true;
            }
        }
        return false;
    };
    const auto excluded_problem = [&](std::uint64_t line, std::string text) {
        stopped.emplace();
        stopped->stage = StatsError::Stage::Excluded;
        stopped->bed = BedProblem{line, std::move(text)};
    };

    std::optional<RecordState> current;
    const auto state_of = [&](std::string_view name) -> RecordState& {
        if (!current) {
            const std::vector<BedInterval>* intervals = nullptr;
            if (request.excluded != nullptr) {
                if (const auto at = request.excluded->find(name); at != request.excluded->end()) {
                    intervals = &at->second;
                    named.insert(at->first);
                }
            }
            current.emplace(intervals);
        }
        current->name = name;
        return *current;
    };
    const OnRun on_run = [&](bool is_n, std::uint64_t start, std::uint64_t end) {
        RecordState& state = *current;
        if (!is_n) {
            masked.line(state.name, start, end);
            return;
        }
        state.exclusion.n_run(start, end);
        if (end - start < request.min_gap) return;
        ++state.gap_count;
        state.gap_length += end - start;
        if (gaps.wanted()) gaps.line(state.name, start, end);
    };
    const auto walk_lines = [&](RecordState& state, const fasta::SequenceLines& lines) {
        if (popcnt_pass()) {
            stats_walk::walk_popcnt(state.walk, lines, masked.wanted(), on_run, checkpoint);
        } else {
            stats_walk::walk_portable(state.walk, lines, masked.wanted(), on_run, checkpoint);
        }
    };
    const fasta::Reader::PartialRecord partial = [&](const fasta::RecordView& part) {
        if (stopped) return;
        // A name that cannot be had fails the record when it is complete.
        const auto name = records.name_of(part);
        if (name) walk_lines(state_of(name.value()), part.sequence_lines());
    };

    auto all = for_each_record(
        records,
        [&](const NamedRecord& record) {
            if (stopped) return;
            events.checkpoint();
            RecordState& state = state_of(record.name);
            walk_lines(state, record.record.sequence_lines());
            Counts counts = state.walk.finish(on_run);
            const std::vector<BedInterval>* intervals = state.intervals;
            const std::uint64_t gap_count = state.gap_count;
            const std::uint64_t gap_length = state.gap_length;
            const std::uint64_t excluded = state.exclusion.excluded();
            current.reset();
            if (write_failed()) return;
            const std::uint64_t length = counts[static_cast<std::size_t>(StatsColumn::Length)];
            if (intervals != nullptr) {
                for (const BedInterval& interval : *intervals) {
                    if (interval.end > length) {
                        return excluded_problem(interval.line, "the interval ends at " +
                                                                   std::to_string(interval.end) + ", past the end of " +
                                                                   std::string(record.name) + " (" +
                                                                   std::to_string(length) + " bases)");
                    }
                }
            }
            counts[static_cast<std::size_t>(StatsColumn::Gaps)] = gap_count;
            counts[static_cast<std::size_t>(StatsColumn::GapLength)] = gap_length;
            counts[static_cast<std::size_t>(StatsColumn::Excluded)] = excluded;
            found.names.emplace_back(record.name);
            for (std::size_t k = 0; k < kStatsColumns; ++k) found.columns[k].push_back(counts[k]);
            events.record_done(record.name, length);
        },
        partial);
    if (!all) {
        StatsError error;
        error.record = std::move(all).error();
        return Err{std::move(error)};
    }
    if (!stopped && request.excluded != nullptr) {
        // The first line (in the file) on a contig the input does not have.
        const BedInterval* first = nullptr;
        for (const auto& [name, intervals] : *request.excluded) {
            if (named.contains(name)) continue;
            for (const BedInterval& interval : intervals) {
                if (first == nullptr || interval.line < first->line) first = &interval;
            }
        }
        if (first != nullptr) {
            excluded_problem(first->line, "no record of the input is named " + std::string(first->chrom));
        }
    }
    if (stopped) return Err{std::move(*stopped)};
    gaps.release();
    masked.release();
    if (write_failed()) return Err{std::move(*stopped)};
    return found;
}

}  // namespace seqtally::core
