#include "core/src/lib/intervals.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <thread>

namespace seqtally::core {
namespace {

constexpr std::array<char, 256> complement_table() {
    std::array<char, 256> table{};
    for (int i = 0; i < 256; ++i) table[static_cast<std::size_t>(i)] = static_cast<char>(i);
    constexpr const char* kPairs[] = {"AT", "CG", "RY", "KM", "BV", "DH"};
    for (const char* pair : kPairs) {
        for (const int lower : {0, 0x20}) {
            const auto a = static_cast<unsigned char>(pair[0] | lower);
            const auto b = static_cast<unsigned char>(pair[1] | lower);
            table[a] = static_cast<char>(b);
            table[b] = static_cast<char>(a);
        }
    }
    table['U'] = 'A';
    table['u'] = 'a';
    return table;
}

constexpr std::array<char, 256> kComplement = complement_table();

}  // namespace

Contigs::Contigs(std::vector<Contig> contigs) : contigs_(std::move(contigs)) {
    by_name_.reserve(contigs_.size());
    for (std::size_t i = 0; i < contigs_.size(); ++i) {
        by_name_.try_emplace(contigs_[i].name, static_cast<std::uint32_t>(i));
    }
}

std::optional<std::uint32_t> Contigs::find(std::string_view name) const {
    const auto found = by_name_.find(name);
    if (found == by_name_.end()) return std::nullopt;
    return found->second;
}

IntervalFault place_interval(const Contigs& contigs, std::string_view chrom, std::uint64_t start,
                             std::uint64_t end, bool reverse, Interval& placed) {
    const auto contig = contigs.find(chrom);
    if (!contig) return IntervalFault::UnknownContig;
    if (end > contigs[*contig].length) return IntervalFault::PastEnd;
    placed = Interval{*contig, start, end, reverse};
    return start == end ? IntervalFault::Empty : IntervalFault::None;
}

std::string fault_text(IntervalFault fault, const Contigs& contigs, std::string_view chrom, std::uint64_t start,
                       std::uint64_t end) {
    const std::string where =
        std::string(chrom) + ":" + std::to_string(start) + "-" + std::to_string(end);
    switch (fault) {
        case IntervalFault::None:
            return where;
        case IntervalFault::Empty:
            return where + " is empty (start = end): nothing printed, as bedtools does";
        case IntervalFault::UnknownContig:
            return where + ": the FASTA file has no sequence named " + std::string(chrom);
        case IntervalFault::PastEnd: {
            const Contig& contig = contigs[*contigs.find(chrom)];
            return where + " ends after the end of " + contig.name + " (" + std::to_string(contig.length) +
                   " bases)";
        }
    }
    return where;
}

// One pass from both ends. (std::reverse and then a table loop is three
// times slower: GCC gathers the table's bytes into vectors through memory.)
void reverse_complement(std::span<char> bases) noexcept {
    if (bases.empty()) return;
    char* low = bases.data();
    char* high = low + bases.size() - 1;
    for (; low < high; ++low, --high) {
        const char from_low = kComplement[static_cast<unsigned char>(*low)];
        *low = kComplement[static_cast<unsigned char>(*high)];
        *high = from_low;
    }
    if (low == high) *low = kComplement[static_cast<unsigned char>(*low)];
}

BatchFetch::BatchFetch(RandomAccess& access, const Contigs& contigs, std::span<const Interval> intervals,
                       std::uint64_t batch_bases, bool keep, RandomAccess* helper)
    : access_(access), helper_(helper), contigs_(contigs), intervals_(intervals), batch_bases_(batch_bases),
      keep_(keep) {}

Status<IoError> BatchFetch::read_run(RandomAccess& access, std::span<const std::uint32_t> order, int side,
                                     const std::function<void(std::size_t, std::string_view)>& visit,
                                     const std::function<bool()>& go_on) {
    std::string& arena = arenas_[side];
    std::size_t since_check = 0;
    for (const std::uint32_t index : order) {
        if (++since_check == 256) {
            since_check = 0;
            if (!go_on()) return Ok{};
        }
        const Interval& interval = intervals_[index];
        if (!keep_) arena.clear();
        const std::size_t from = arena.size();
        if (interval.end > interval.start) {
            if (auto read = access.fetch(contigs_[interval.contig].place, interval.start, interval.end, arena); !read) {
                return read;
            }
        }
        const std::span<char> bases(arena.data() + from, arena.size() - from);
        if (interval.reverse) reverse_complement(bases);
        if (keep_) spans_[index - first_] = {side, from, bases.size()};
        if (visit) visit(index, std::string_view(bases.data(), bases.size()));
    }
    return Ok{};
}

Result<bool, IoError> BatchFetch::next(const std::function<void(std::size_t, std::string_view)>& visit,
                                       const std::function<void()>& checkpoint) {
    first_ = last_;
    if (first_ == intervals_.size()) return false;
    std::uint64_t held = 0;
    do {
        held += intervals_[last_].end - intervals_[last_].start;
        ++last_;
    } while (last_ < intervals_.size() &&
             (!keep_ || held + (intervals_[last_].end - intervals_[last_].start) <= batch_bases_));

    order_.resize(last_ - first_);
    for (std::size_t i = 0; i < order_.size(); ++i) order_[i] = static_cast<std::uint32_t>(first_ + i);
    const auto place_of = [this](std::uint32_t index) {
        const Interval& interval = intervals_[index];
        return std::pair{contigs_[interval.contig].place.offset, interval.start};
    };
    std::sort(order_.begin(), order_.end(),
              [&](std::uint32_t a, std::uint32_t b) { return place_of(a) < place_of(b); });

    for (std::string& arena : arenas_) arena.clear();
    if (keep_) spans_.assign(last_ - first_, {0, 0, 0});
    // The later half of the file's order goes to the helper's thread, so
    // that inflating BGZF blocks (most of the work from BGZF) runs on two
    // cores; each side reads blocks in order, once each.
    const std::size_t split = helper_ != nullptr && order_.size() >= kHelperFrom ? order_.size() / 2 : order_.size();
    const std::span<const std::uint32_t> mine(order_.data(), split);
    const std::span<const std::uint32_t> theirs(order_.data() + split, order_.size() - split);
    if (keep_) {
        arenas_[0].reserve(held / 2 + 1);
        arenas_[1].reserve(theirs.empty() ? 0 : held / 2 + 1);
    }
    Status<IoError> helped = Ok{};
    std::atomic<bool> stop = false;
    {
        // Joined before anything leaves: a checkpoint that throws, or a
        // failed read on this side, stops the helper first.
        struct Helper {
            std::atomic<bool>& stop;
            std::thread thread;
            ~Helper() {
                stop = true;
                if (thread.joinable()) thread.join();
            }
        } helper{stop, {}};
        if (!theirs.empty()) {
            helper.thread = std::thread([&] {
                helped = read_run(*helper_, theirs, 1, visit, [&] { return !stop.load(std::memory_order_relaxed); });
            });
        }
        auto read = read_run(access_, mine, 0, visit, [&] {
            if (checkpoint) checkpoint();
            return true;
        });
        if (!read) return Err{std::move(read).error()};
        // The helper's half is as much of the batch as this one: waited
        // for, never stopped, however far behind it is.
        if (helper.thread.joinable()) helper.thread.join();
    }
    if (!helped) return Err{std::move(helped).error()};
    return true;
}

}  // namespace seqtally::core
