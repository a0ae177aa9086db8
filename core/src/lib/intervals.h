#pragma once
// The bases of many intervals of one indexed FASTA file, in any order and
// overlapping: read a batch at a time in the order they lie in the file, so
// that each BGZF block is inflated once per batch however the intervals are
// ordered, and handed back in the caller's order.
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "common/io_error.h"
#include "common/result.h"
#include "fasta/fai.h"
#include "fasta/random_access.h"

namespace seqtally::core {

// A record as its .fai line places it.
using Contig = FaiEntry;

// The records of an indexed file by name (the first of a name wins, as
// samtools keeps it).
class Contigs {
  public:
    explicit Contigs(std::vector<Contig> contigs);
    Contigs(const Contigs&) = delete;  // the index points into the names
    Contigs& operator=(const Contigs&) = delete;
    Contigs(Contigs&&) noexcept = default;

    std::optional<std::uint32_t> find(std::string_view name) const;
    const Contig& operator[](std::uint32_t index) const noexcept { return contigs_[index]; }
    std::size_t size() const noexcept { return contigs_.size(); }

  private:
    std::vector<Contig> contigs_;
    std::unordered_map<std::string_view, std::uint32_t> by_name_;
};

struct Interval {
    std::uint32_t contig = 0;
    std::uint64_t start = 0;
    std::uint64_t end = 0;  // start <= end <= the contig's length
    bool reverse = false;   // reverse complemented
};

// Why an interval cannot be read (or, Empty, has nothing to read).
enum class IntervalFault : std::uint8_t { None, Empty, UnknownContig, PastEnd };

// The interval chrom:[start, end) of the contigs, or why there is none.
IntervalFault place_interval(const Contigs& contigs, std::string_view chrom, std::uint64_t start,
                             std::uint64_t end, bool reverse, Interval& placed);

// The fault in words, naming the interval as given.
std::string fault_text(IntervalFault fault, const Contigs& contigs, std::string_view chrom, std::uint64_t start,
                       std::uint64_t end);

// In place, as samtools faidx -i and bedtools -s complement: A/C/G/T/U and
// the IUPAC codes in either case (U to A), every other byte kept.
void reverse_complement(std::span<char> bases) noexcept;

// A failure reading the FASTA file, or writing out.
struct IntervalFailure {
    enum class Side : std::uint8_t { Read, Write } side;
    IoError error;
};

// Reads the intervals a batch at a time: consecutive intervals of at most
// `batch_bases` bases together (one at least), each batch in file order.
// With `keep`, a batch's bases stay until the next batch (bases()); without,
// every interval's bases go to the visitor only, and one batch holds all.
// With a `helper` (a second reader of the same file), the later half of
// each batch is read on a second thread.
class BatchFetch {
  public:
    BatchFetch(RandomAccess& access, const Contigs& contigs, std::span<const Interval> intervals,
               std::uint64_t batch_bases, bool keep, RandomAccess* helper = nullptr);

    // Reads the next batch, showing each interval's bases to `visit` (in file
    // order, reverse complemented where asked; with a helper, from two
    // threads at once, never for one interval twice); false when all were
    // read. `checkpoint` is called between intervals, on this thread only,
    // and may throw.
    Result<bool, IoError> next(const std::function<void(std::size_t, std::string_view)>& visit,
                               const std::function<void()>& checkpoint);

    // The batch just read: [first(), last()).
    std::size_t first() const noexcept { return first_; }
    std::size_t last() const noexcept { return last_; }
    // With keep: the bases of an interval of the batch just read.
    std::string_view bases(std::size_t index) const noexcept {
        const Span& span = spans_[index - first_];
        return std::string_view(arenas_[span.side]).substr(span.from, span.size);
    }

  private:
    // Batches smaller than this are not worth a thread.
    static constexpr std::size_t kHelperFrom = 64;
    struct Span {
        int side;
        std::size_t from;
        std::size_t size;
    };
    Status<IoError> read_run(RandomAccess& access, std::span<const std::uint32_t> order, int side,
                             const std::function<void(std::size_t, std::string_view)>& visit,
                             const std::function<bool()>& go_on);

    RandomAccess& access_;
    RandomAccess* helper_;
    const Contigs& contigs_;
    std::span<const Interval> intervals_;
    std::uint64_t batch_bases_;
    bool keep_;
    std::size_t first_ = 0;
    std::size_t last_ = 0;
    std::vector<std::uint32_t> order_;
    std::vector<Span> spans_;
    std::string arenas_[2];
};

}  // namespace seqtally::core
