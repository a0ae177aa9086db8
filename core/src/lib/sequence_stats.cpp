#include "core/src/lib/sequence_stats.h"

#include <algorithm>
#include <charconv>
#include <functional>
#include <unordered_set>
#include <utility>

#include "core/src/lib/base_marks.h"
#include "streams/output_stream.h"

namespace seqtally::core {
namespace {

inline constexpr bool is_iupac(char byte) noexcept {
    switch (byte | 0x20) {
        case 'r': case 'y': case 's': case 'w': case 'k': case 'm': case 'b': case 'd': case 'h': case 'v':
            return true;
        default:
            return false;
    }
}

// The five bases in either case, the other IUPAC codes, lowercase letters.
struct StatsMarks {
    enum : std::size_t { A, C, G, T, N, Iupac, Lower, kMarks };
#if defined(__SSE2__)
    static std::array<unsigned, kMarks> block(const char* bytes) noexcept {
        const __m128i chunk = load_block(bytes);
        const __m128i folded = either_case(chunk);
        const __m128i a = is_byte(folded, 'a');
        const __m128i c = is_byte(folded, 'c');
        const __m128i g = is_byte(folded, 'g');
        const __m128i t = is_byte(folded, 't');
        const __m128i n = is_byte(folded, 'n');
        unsigned iupac = 0;
        // Nearly every block of an assembly is all A, C, G, T and N: the ten
        // other codes are looked for only where something else is.
        if (bits_of(_mm_or_si128(_mm_or_si128(_mm_or_si128(a, c), _mm_or_si128(g, t)), n)) != 0xFFFF) {
            __m128i codes = is_byte(folded, 'r');
            for (const char code : {'y', 's', 'w', 'k', 'm', 'b', 'd', 'h', 'v'}) {
                codes = _mm_or_si128(codes, is_byte(folded, code));
            }
            iupac = bits_of(codes);
        }
        return {bits_of(a), bits_of(c), bits_of(g), bits_of(t), bits_of(n), iupac, bits_of(lowercase_bytes(chunk))};
    }
#endif
    static std::array<bool, kMarks> byte(char byte) noexcept {
        const char folded = static_cast<char>(byte | 0x20);
        return {folded == 'a', folded == 'c', folded == 'g', folded == 't',
                folded == 'n', is_iupac(byte),  is_lowercase(byte)};
    }
};

inline std::uint64_t ones(std::uint64_t word) noexcept { return static_cast<std::uint64_t>(__builtin_popcountll(word)); }

// A kind of byte followed through a record: whether the byte before the
// current 64 is one, and where its run started.
struct Runs {
    bool open = false;
    std::uint64_t start = 0;
};

// ended(start, end) for every run of marked bytes that ends inside this
// piece of `size` bytes at record position `at`. The edges of runs are the
// bits where the mask differs from itself shifted by one byte; an assembly
// has few, so they are walked one by one.
template <class Ended>
[[gnu::always_inline]] inline void follow(std::uint64_t mask, std::size_t size, std::uint64_t at, Runs& runs,
                                          Ended&& ended) {
    const std::uint64_t valid = size == 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << size) - 1;
    std::uint64_t edges = (mask ^ ((mask << 1) | std::uint64_t{runs.open})) & valid;
    while (edges != 0) {
        const auto i = static_cast<unsigned>(__builtin_ctzll(edges));
        edges &= edges - 1;
        if ((mask >> i) & 1) {
            runs.start = at + i;
        } else {
            ended(runs.start, at + i);
        }
    }
    runs.open = ((mask >> (size - 1)) & 1) != 0;
}

// A long record calls back every MiB or so (a record may be one line of
// 200 MiB).
constexpr std::uint64_t kCheckpointBases = 1 << 20;

using Counts = std::array<std::uint64_t, kStatsColumns>;

// One record's walk. `n_run` and `lower_run` take every maximal run.
template <class NRun, class LowerRun>
[[gnu::always_inline]] inline Counts walk(const fasta::SequenceLines& lines, bool lower_runs, NRun&& n_run,
                                         LowerRun&& lower_run, const std::function<void()>& checkpoint) {
    using M = StatsMarks;
    std::array<std::uint64_t, M::kMarks> marked{};
    std::uint64_t length = 0;
    std::uint64_t upper_gc = 0;
    std::uint64_t cpg = 0;
    std::uint64_t c_before = 0;  // whether the byte before this piece is C/c
    Runs ns;
    Runs lowers;
    std::uint64_t next_checkpoint = kCheckpointBases;
    for (const std::string_view line : lines) {
        const char* bytes = line.data();
        std::size_t left = line.size();
        while (left > 0) {
            if (length >= next_checkpoint) [[unlikely]] {
                next_checkpoint = length + kCheckpointBases;
                checkpoint();
            }
            const std::size_t size = left < 64 ? left : 64;
            const std::array<std::uint64_t, M::kMarks> masks = run_masks<M>(bytes, size);
            for (std::size_t k = 0; k < M::kMarks; ++k) marked[k] += ones(masks[k]);
            const std::uint64_t c = masks[M::C];
            const std::uint64_t g = masks[M::G];
            upper_gc += ones((g | c) & ~masks[M::Lower]);
            cpg += ones(((c << 1) | c_before) & g);
            c_before = c >> (size - 1);
            if ((masks[M::N] | std::uint64_t{ns.open}) != 0) follow(masks[M::N], size, length, ns, n_run);
            if (lower_runs && (masks[M::Lower] | std::uint64_t{lowers.open}) != 0) {
                follow(masks[M::Lower], size, length, lowers, lower_run);
            }
            length += size;
            bytes += size;
            left -= size;
        }
    }
    if (ns.open) n_run(ns.start, length);
    if (lowers.open && lower_runs) lower_run(lowers.start, length);
    Counts counts{};
    using C = StatsColumn;
    const auto at = [&](StatsColumn column) -> std::uint64_t& { return counts[static_cast<std::size_t>(column)]; };
    at(C::Length) = length;
    at(C::A) = marked[M::A];
    at(C::C) = marked[M::C];
    at(C::G) = marked[M::G];
    at(C::T) = marked[M::T];
    at(C::N) = marked[M::N];
    at(C::Iupac) = marked[M::Iupac];
    at(C::Other) = length - marked[M::A] - marked[M::C] - marked[M::G] - marked[M::T] - marked[M::N] -
                   marked[M::Iupac];
    at(C::Lowercase) = marked[M::Lower];
    at(C::Cpg) = cpg;
    at(C::UpperGc) = upper_gc;
    return counts;
}

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

template <class F>
__attribute__((target("popcnt"))) Counts walk_popcnt(const fasta::SequenceLines& lines, bool lower_runs, F& n_run,
                                                     F& lower_run, const std::function<void()>& checkpoint) {
    return walk(lines, lower_runs, n_run, lower_run, checkpoint);
}
template <class F>
Counts walk_portable(const fasta::SequenceLines& lines, bool lower_runs, F& n_run, F& lower_run,
                     const std::function<void()>& checkpoint) {
    return walk(lines, lower_runs, n_run, lower_run, checkpoint);
}

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

    auto all = for_each_record(records, [&](const NamedRecord& record) {
        if (stopped) return;
        events.checkpoint();
        const std::vector<BedInterval>* intervals = nullptr;
        if (request.excluded != nullptr) {
            if (const auto at = request.excluded->find(record.name); at != request.excluded->end()) {
                intervals = &at->second;
                named.insert(at->first);
            }
        }
        Exclusion exclusion(intervals);
        std::uint64_t gap_count = 0;
        std::uint64_t gap_length = 0;
        // One callable type for both kinds of run, so that the walk is built
        // once per popcnt choice.
        const std::function<void(bool, std::uint64_t, std::uint64_t)> on_run = [&](bool is_n, std::uint64_t start,
                                                                                     std::uint64_t end) {
            if (!is_n) {
                masked.line(record.name, start, end);
                return;
            }
            exclusion.n_run(start, end);
            if (end - start < request.min_gap) return;
            ++gap_count;
            gap_length += end - start;
            if (gaps.wanted()) gaps.line(record.name, start, end);
        };
        struct Run {
            const std::function<void(bool, std::uint64_t, std::uint64_t)>* on_run;
            bool is_n;
            void operator()(std::uint64_t start, std::uint64_t end) const { (*on_run)(is_n, start, end); }
        };
        Run n_run{&on_run, true};
        Run lower_run{&on_run, false};
        const fasta::SequenceLines lines = record.record.sequence_lines();
        Counts counts = popcnt_pass() ? walk_popcnt(lines, masked.wanted(), n_run, lower_run, checkpoint)
                                      : walk_portable(lines, masked.wanted(), n_run, lower_run, checkpoint);
        if (write_failed()) return;
        const std::uint64_t length = counts[static_cast<std::size_t>(StatsColumn::Length)];
        if (intervals != nullptr) {
            for (const BedInterval& interval : *intervals) {
                if (interval.end > length) {
                    return excluded_problem(interval.line, "the interval ends at " + std::to_string(interval.end) +
                                                               ", past the end of " + std::string(record.name) +
                                                               " (" + std::to_string(length) + " bases)");
                }
            }
        }
        counts[static_cast<std::size_t>(StatsColumn::Gaps)] = gap_count;
        counts[static_cast<std::size_t>(StatsColumn::GapLength)] = gap_length;
        counts[static_cast<std::size_t>(StatsColumn::Excluded)] = exclusion.excluded();
        found.names.emplace_back(record.name);
        for (std::size_t k = 0; k < kStatsColumns; ++k) found.columns[k].push_back(counts[k]);
        events.record_done(record.name, length);
    });
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
