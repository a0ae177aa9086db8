#include "core/src/lib/interval_output.h"

#include <charconv>

#include "core/src/lib/composition.h"

namespace seqtally::core {
namespace {

// samtools faidx's line width.
constexpr std::size_t kFaidxLine = 60;

void append_number(std::string& out, std::uint64_t value) {
    char digits[24];
    out.append(digits, std::to_chars(digits, digits + sizeof digits, value).ptr);
}

// The readable intervals of a BED file and, for each, its BED interval;
// the others as notes.
struct Placed {
    std::vector<Interval> intervals;
    std::vector<const BedInterval*> lines;
    std::vector<IntervalNote> notes;
};

Placed place_all(const Contigs& contigs, const BedIntervals& bed, bool strand) {
    Placed placed;
    placed.intervals.reserve(bed.intervals.size());
    placed.lines.reserve(bed.intervals.size());
    for (const BedInterval& line : bed.intervals) {
        Interval interval;
        const IntervalFault fault =
            place_interval(contigs, line.chrom, line.start, line.end, strand && line.strand == "-", interval);
        if (fault != IntervalFault::None) {
            placed.notes.push_back({line.line, fault, fault_text(fault, contigs, line.chrom, line.start, line.end)});
            continue;
        }
        placed.intervals.push_back(interval);
        placed.lines.push_back(&line);
    }
    return placed;
}

Status<IntervalFailure> written(Status<IoError> status) {
    if (!status) return Err{IntervalFailure{IntervalFailure::Side::Write, std::move(status).error()}};
    return Ok{};
}

// Every batch read, then each of its intervals handed to `emit` in order.
template <class Emit>
Status<IntervalFailure> in_batches(IntervalContext& context, std::span<const Interval> intervals, bool keep,
                                   const std::function<void(std::size_t, std::string_view)>& visit, Emit&& emit) {
    BatchFetch fetch(context.access, context.contigs, intervals, kBatchBases, keep, context.helper);
    for (;;) {
        auto more = fetch.next(visit, context.checkpoint);
        if (!more) return Err{IntervalFailure{IntervalFailure::Side::Read, std::move(more).error()}};
        if (!more.value()) return Ok{};
        for (std::size_t i = fetch.first(); i < fetch.last(); ++i) {
            if (auto done = emit(i, fetch); !done) return done;
        }
    }
}

}  // namespace

Result<std::vector<IntervalNote>, IntervalFailure> write_getfasta(IntervalContext& context,
                                                                  const BedIntervals& bed,
                                                                  const GetfastaOptions& options) {
    Placed placed = place_all(context.contigs, bed, options.strand);
    std::string line;
    auto done = in_batches(context, placed.intervals, true, {}, [&](std::size_t i, const BatchFetch& fetch) {
        const BedInterval& interval = *placed.lines[i];
        line.clear();
        if (!options.tab) line += '>';
        if (options.header != HeaderForm::Position) line += interval.name;
        if (options.header == HeaderForm::NameAndPosition) line += "::";
        if (options.header != HeaderForm::Name) {
            line += interval.chrom;
            line += ':';
            append_number(line, interval.start);
            line += '-';
            append_number(line, interval.end);
        }
        if (options.strand) {
            line += '(';
            line += interval.strand;
            line += ')';
        }
        line += options.tab ? '\t' : '\n';
        const std::string_view bases = fetch.bases(i);
        if (bases.size() >= OutputStream::kCapacity) {
            if (auto head = written(context.out.write_all(line)); !head) return head;
            line.clear();
            if (auto body = written(context.out.write_all(bases)); !body) return body;
        } else {
            line += bases;
        }
        line += '\n';
        return written(context.out.write_all(line));
    });
    if (!done) return Err{std::move(done).error()};
    return std::move(placed.notes);
}

Result<std::vector<IntervalNote>, IntervalFailure> write_nuc(IntervalContext& context, const BedIntervals& bed,
                                                             const NucOptions& options) {
    Placed placed = place_all(context.contigs, bed, options.strand);
    std::string line;
    if (!bed.intervals.empty()) {
        // bedtools numbers the columns after the BED file's own.
        std::uint64_t column = 1;
        line += '#';
        for (; column <= bed.columns; ++column) {
            append_number(line, column);
            line += "_usercol\t";
        }
        for (const char* name : {"pct_at", "pct_gc", "num_A", "num_C", "num_G", "num_T", "num_N", "num_oth"}) {
            append_number(line, column++);
            (line += '_') += name;
            line += '\t';
        }
        append_number(line, column++);
        line += "_seq_len";
        if (options.seq) {
            line += '\t';
            append_number(line, column++);
            line += "_seq";
        }
        if (!options.pattern.empty()) {
            line += '\t';
            append_number(line, column++);
            line += "_user_patt_count";
        }
        line += '\n';
        if (auto header = written(context.out.write_all(line)); !header) return Err{std::move(header).error()};
    }

    // Counted as they are read (on both threads); without the sequences to
    // print, one batch of all the intervals keeps only their counts.
    struct Counts {
        Composition composition;
        std::uint64_t pattern = 0;
    };
    std::vector<Counts> counts(placed.intervals.size());
    const auto visit = [&](std::size_t i, std::string_view bases) {
        counts[i].composition = compose(bases);
        if (!options.pattern.empty()) counts[i].pattern = count_pattern(bases, options.pattern, options.ignore_case);
    };
    auto done = in_batches(context, placed.intervals, options.seq, visit, [&](std::size_t i, const BatchFetch& fetch) {
        const BedInterval& interval = *placed.lines[i];
        const Interval& where = placed.intervals[i];
        const Counts& found = counts[i];
        const Composition& c = found.composition;
        const std::uint64_t length = where.end - where.start;
        line.clear();
        line += interval.chrom;
        line += '\t';
        append_number(line, interval.start);
        line += '\t';
        append_number(line, interval.end);
        line += interval.rest;
        char share[32];
        line += '\t';
        line.append(share, format_share(c.a + c.t, length, share));
        line += '\t';
        line.append(share, format_share(c.c + c.g, length, share));
        for (const std::uint64_t value : {c.a, c.c, c.g, c.t, c.n, c.other, length}) {
            line += '\t';
            append_number(line, value);
        }
        if (options.seq) {
            line += '\t';
            line += fetch.bases(i);
        }
        if (!options.pattern.empty()) {
            line += '\t';
            append_number(line, found.pattern);
        }
        line += '\n';
        return written(context.out.write_all(line));
    });
    if (!done) return Err{std::move(done).error()};
    return std::move(placed.notes);
}

Status<IntervalFailure> write_faidx(IntervalContext& context, std::span<const Interval> intervals,
                                    std::span<const std::string_view> headers) {
    std::string lines;
    return in_batches(context, intervals, true, {}, [&](std::size_t i, const BatchFetch& fetch) {
        lines.clear();
        ((lines += '>') += headers[i]);
        if (intervals[i].reverse) lines += "/rc";
        lines += '\n';
        const std::string_view bases = fetch.bases(i);
        for (std::size_t at = 0; at < bases.size(); at += kFaidxLine) {
            lines += bases.substr(at, kFaidxLine);
            lines += '\n';
            if (lines.size() >= OutputStream::kCapacity) {
                if (auto part = written(context.out.write_all(lines)); !part) return part;
                lines.clear();
            }
        }
        return written(context.out.write_all(lines));
    });
}

}  // namespace seqtally::core
