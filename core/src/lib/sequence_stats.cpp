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

// What a piece of a line is counted into: totals by kind, and the marks
// that runs and CpG pairs are read from, a bit per byte.
struct Tally {
    std::uint64_t a = 0, c = 0, g = 0, t = 0, n = 0, iupac = 0, lower = 0, lower_gc = 0;
};
struct PieceMarks {
    std::uint64_t c = 0, g = 0, n = 0, lower = 0;
};

inline void tally_byte(char byte, std::size_t i, Tally& tally, PieceMarks& marks) noexcept {
    const char folded = static_cast<char>(byte | 0x20);
    const bool c = folded == 'c', g = folded == 'g', n = folded == 'n', lower = is_lowercase(byte);
    tally.a += folded == 'a';
    tally.c += c;
    tally.g += g;
    tally.t += folded == 't';
    tally.n += n;
    tally.iupac += is_iupac(byte);
    tally.lower += lower;
    tally.lower_gc += lower & (c | g);
    marks.c |= std::uint64_t{c} << i;
    marks.g |= std::uint64_t{g} << i;
    marks.n |= std::uint64_t{n} << i;
    marks.lower |= std::uint64_t{lower} << i;
}

#if defined(__SSE2__)
// Counts kept in byte lanes, a compare's 0xFF (-1) subtracted per byte that
// matches: one instruction per kind per 16 bytes, where a bit mask and a
// popcount take four. A lane holds 255 before it must be added up.
struct Lanes {
    __m128i a = _mm_setzero_si128(), c = a, g = a, t = a, n = a, iupac = a, lower = a, lower_gc = a;
    unsigned blocks = 0;

    static std::uint64_t sum(__m128i lanes) noexcept {
        const __m128i halves = _mm_sad_epu8(lanes, _mm_setzero_si128());
        return static_cast<std::uint64_t>(_mm_cvtsi128_si64(halves)) +
               static_cast<std::uint64_t>(_mm_cvtsi128_si64(_mm_unpackhi_epi64(halves, halves)));
    }
    void drain(Tally& tally) noexcept {
        for (auto [lanes, total] : {std::pair{&a, &tally.a}, {&c, &tally.c}, {&g, &tally.g}, {&t, &tally.t},
                                    {&n, &tally.n}, {&iupac, &tally.iupac}, {&lower, &tally.lower},
                                    {&lower_gc, &tally.lower_gc}}) {
            *total += sum(*lanes);
            *lanes = _mm_setzero_si128();
        }
        blocks = 0;
    }

    // 16 bytes, of which the last `kept` count (the first ones of an
    // overlapping tail block were counted with the block before): the others
    // are zeroed, a byte of no kind. Their marks come back in the low bits.
    [[gnu::always_inline]] void block(const char* bytes, unsigned kept, bool lower_marks,
                                      std::array<unsigned, 4>& marks) noexcept {
        alignas(16) static constexpr std::uint8_t kKeep[32] = {
            0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,
            0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
        __m128i chunk = load_block(bytes);
        if (kept < 16) chunk = _mm_and_si128(chunk, _mm_loadu_si128(reinterpret_cast<const __m128i*>(kKeep + kept)));
        const __m128i folded = either_case(chunk);
        const __m128i is_a = is_byte(folded, 'a'), is_c = is_byte(folded, 'c'), is_g = is_byte(folded, 'g');
        const __m128i is_t = is_byte(folded, 't'), is_n = is_byte(folded, 'n');
        const __m128i is_lower = lowercase_bytes(chunk);
        a = _mm_sub_epi8(a, is_a);
        c = _mm_sub_epi8(c, is_c);
        g = _mm_sub_epi8(g, is_g);
        t = _mm_sub_epi8(t, is_t);
        n = _mm_sub_epi8(n, is_n);
        lower = _mm_sub_epi8(lower, is_lower);
        lower_gc = _mm_sub_epi8(lower_gc, _mm_and_si128(is_lower, _mm_or_si128(is_c, is_g)));
        const unsigned known = bits_of(_mm_or_si128(_mm_or_si128(_mm_or_si128(is_a, is_c), _mm_or_si128(is_g, is_t)), is_n));
        const unsigned all = kept < 16 ? 0xFFFFu & ~(0xFFFFu >> kept) : 0xFFFFu;
        // Nearly every block of an assembly is all A, C, G, T and N: the ten
        // other codes are looked for only where something else is.
        if (known != all) [[unlikely]] {
            __m128i codes = is_byte(folded, 'r');
            for (const char code : {'y', 's', 'w', 'k', 'm', 'b', 'd', 'h', 'v'}) {
                codes = _mm_or_si128(codes, is_byte(folded, code));
            }
            iupac = _mm_sub_epi8(iupac, codes);
        }
        const unsigned shift = 16 - kept;
        marks = {bits_of(is_c) >> shift, bits_of(is_g) >> shift, bits_of(is_n) >> shift,
                 lower_marks ? bits_of(is_lower) >> shift : 0u};
        ++blocks;
    }
};
#endif

// A piece of up to 64 bytes of one line: counted into `tally` (through
// `lanes` where they exist), its marks returned.
[[gnu::always_inline]] inline PieceMarks count_piece(const char* bytes, std::size_t size, bool lower_marks,
                                                    Tally& tally, [[maybe_unused]] void* lanes_or_null) {
    PieceMarks marks;
#if defined(__SSE2__)
    if (size >= 16) {
        Lanes& lanes = *static_cast<Lanes*>(lanes_or_null);
        if (lanes.blocks > 250) lanes.drain(tally);
        std::array<unsigned, 4> block{};
        std::size_t i = 0;
        const auto add = [&](std::size_t at) {
            marks.c |= std::uint64_t{block[0]} << at;
            marks.g |= std::uint64_t{block[1]} << at;
            marks.n |= std::uint64_t{block[2]} << at;
            marks.lower |= std::uint64_t{block[3]} << at;
        };
        for (; i + 16 <= size; i += 16) {
            lanes.block(bytes + i, 16, lower_marks, block);
            add(i);
        }
        if (i < size) {
            lanes.block(bytes + size - 16, static_cast<unsigned>(size - i), lower_marks, block);
            add(i);
        }
        return marks;
    }
#endif
    for (std::size_t i = 0; i < size; ++i) tally_byte(bytes[i], i, tally, marks);
    return marks;
}

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

// One record's walk, fed its lines as the reader finds them: a long record
// is counted a MiB at a time while its bytes are still in the cache (read
// again from memory after the whole record was gathered, they cost more
// than the counting). Runs go to on_run(is_n, start, end).
struct RecordWalk {
    Tally tally;
#if defined(__SSE2__)
    Lanes lanes;
#endif
    std::uint64_t length = 0;
    std::uint64_t cpg = 0;
    std::uint64_t c_before = 0;  // whether the byte before this piece is C/c
    Runs ns;
    Runs lowers;
    std::uint64_t next_checkpoint = kCheckpointBases;
    std::size_t lines_done = 0;

    Counts finish(const std::function<void(bool, std::uint64_t, std::uint64_t)>& on_run) {
#if defined(__SSE2__)
        lanes.drain(tally);
#endif
        if (ns.open) on_run(true, ns.start, length);
        if (lowers.open) on_run(false, lowers.start, length);
        Counts counts{};
        using C = StatsColumn;
        const auto at = [&](StatsColumn column) -> std::uint64_t& { return counts[static_cast<std::size_t>(column)]; };
        at(C::Length) = length;
        at(C::A) = tally.a;
        at(C::C) = tally.c;
        at(C::G) = tally.g;
        at(C::T) = tally.t;
        at(C::N) = tally.n;
        at(C::Iupac) = tally.iupac;
        at(C::Other) = length - tally.a - tally.c - tally.g - tally.t - tally.n - tally.iupac;
        at(C::Lowercase) = tally.lower;
        at(C::Cpg) = cpg;
        at(C::UpperGc) = tally.c + tally.g - tally.lower_gc;
        return counts;
    }
};

// The lines of `lines` not walked yet. The state is copied into locals and
// back, so that the loop keeps it in registers.
[[gnu::always_inline]] inline void walk(RecordWalk& walk, const fasta::SequenceLines& lines, bool lower_runs,
                                        const std::function<void(bool, std::uint64_t, std::uint64_t)>& on_run,
                                        const std::function<void()>& checkpoint) {
    Tally tally = walk.tally;
#if defined(__SSE2__)
    Lanes lanes = walk.lanes;
    void* lanes_or_null = &lanes;
#else
    void* lanes_or_null = nullptr;
#endif
    std::uint64_t length = walk.length;
    std::uint64_t cpg = walk.cpg;
    std::uint64_t c_before = walk.c_before;
    Runs ns = walk.ns;
    Runs lowers = walk.lowers;
    std::uint64_t next_checkpoint = walk.next_checkpoint;
    const auto n_run = [&](std::uint64_t start, std::uint64_t end) { on_run(true, start, end); };
    const auto lower_run = [&](std::uint64_t start, std::uint64_t end) { on_run(false, start, end); };
    for (auto line_at = lines.from(walk.lines_done); line_at != lines.end(); ++line_at) {
        const std::string_view line = *line_at;
        const char* bytes = line.data();
        std::size_t left = line.size();
        while (left > 0) {
            if (length >= next_checkpoint) [[unlikely]] {
                next_checkpoint = length + kCheckpointBases;
                checkpoint();
            }
            const std::size_t size = left < 64 ? left : 64;
            const PieceMarks marks = count_piece(bytes, size, lower_runs, tally, lanes_or_null);
            cpg += ones(((marks.c << 1) | c_before) & marks.g);
            c_before = marks.c >> (size - 1);
            if ((marks.n | std::uint64_t{ns.open}) != 0) follow(marks.n, size, length, ns, n_run);
            if (lower_runs && (marks.lower | std::uint64_t{lowers.open}) != 0) {
                follow(marks.lower, size, length, lowers, lower_run);
            }
            length += size;
            bytes += size;
            left -= size;
        }
    }
    walk.lines_done = lines.size();
    walk.tally = tally;
#if defined(__SSE2__)
    walk.lanes = lanes;
#endif
    walk.length = length;
    walk.cpg = cpg;
    walk.c_before = c_before;
    walk.ns = ns;
    walk.lowers = lowers;
    walk.next_checkpoint = next_checkpoint;
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

// The same walk built twice, for CPUs with and without popcnt.
using OnRun = std::function<void(bool, std::uint64_t, std::uint64_t)>;
__attribute__((target("popcnt"))) void walk_popcnt(RecordWalk& state, const fasta::SequenceLines& lines,
                                                   bool lower_runs, const OnRun& on_run,
                                                   const std::function<void()>& checkpoint) {
    walk(state, lines, lower_runs, on_run, checkpoint);
}
void walk_portable(RecordWalk& state, const fasta::SequenceLines& lines, bool lower_runs, const OnRun& on_run,
                   const std::function<void()>& checkpoint) {
    walk(state, lines, lower_runs, on_run, checkpoint);
}

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
            walk_popcnt(state.walk, lines, masked.wanted(), on_run, checkpoint);
        } else {
            walk_portable(state.walk, lines, masked.wanted(), on_run, checkpoint);
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
