#include "core/src/lib/tabix_index.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "core/src/lib/bin_table.h"

namespace seqtally::core {

namespace {

constexpr int kMinShift = 14;      // 16 KiB windows, both forms
constexpr int kTbiLevels = 5;      // .tbi: positions up to 2^29
constexpr int kCsiLevels = 6;      // tabix -C: (31 - 14 + 2) / 3, positions up to 2^32
constexpr std::uint64_t kNoOffset = ~std::uint64_t{0};
// A bin whose chunks span less than this many compressed bytes is merged
// into its parent: reading it costs about as much as the parent's blocks.
constexpr std::uint64_t kMinMarkerDistance = 0x10000;

// tabix -p bed: preset UCSC (0-based, half-open), columns 1, 2, 3, '#'
// comments, no lines skipped.
constexpr std::int32_t kBedConf[6] = {0x10000, 1, 2, 3, '#', 0};

constexpr std::uint32_t bin_first(int level) { return ((1u << (3 * level)) - 1) / 7; }

std::uint32_t bin_of(std::uint64_t begin, std::uint64_t end, int levels) {
    --end;
    std::uint32_t first = bin_first(levels);
    for (int shift = kMinShift, level = levels; level > 0; --level, shift += 3) {
        if (begin >> shift == end >> shift) return first + static_cast<std::uint32_t>(begin >> shift);
        first -= 1u << (3 * (level - 1));
    }
    return 0;
}

// The first 16 KiB window a bin covers.
std::uint64_t bin_window(std::uint32_t bin, int levels) {
    int level = 0;
    for (std::uint32_t b = bin; b != 0; b = (b - 1) >> 3) ++level;
    return std::uint64_t{bin - bin_first(level)} << (3 * (levels - level));
}

void put_u32(std::string& out, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<char>(value >> (8 * i)));
}
void put_u64(std::string& out, std::uint64_t value) {
    for (int i = 0; i < 8; ++i) out.push_back(static_cast<char>(value >> (8 * i)));
}

class VirtualOffsets {
  public:
    VirtualOffsets(std::span<const BgzfBlock> blocks, std::uint64_t eof_block) : blocks_(blocks), eof_(eof_block) {}
    // A line that ends where a block ends is reported by htslib's reader at
    // the start of the next block, (next, 0), never (this, 0xff00); the
    // end of the data is the start of the EOF block.
    std::uint64_t operator()(std::uint64_t offset) const {
        auto next = std::upper_bound(blocks_.begin(), blocks_.end(), offset,
                                     [](std::uint64_t o, const BgzfBlock& b) { return o < b.uncompressed_offset; });
        if (next == blocks_.begin()) return offset;  // no data at all
        const BgzfBlock& block = *(next - 1);
        if (next == blocks_.end() && offset >= end_) return eof_ << 16;
        return block.compressed_offset << 16 | (offset - block.uncompressed_offset);
    }
    void set_end(std::uint64_t end) noexcept { end_ = end; }

  private:
    std::span<const BgzfBlock> blocks_;
    std::uint64_t eof_;
    std::uint64_t end_ = kNoOffset;
};

}  // namespace

// htslib's hts_idx_t for one form, pushed the same lines in the same order:
// the chunks, when bins change, and the per-reference pseudo-bin follow its
// hts_idx_push and hts_idx_finish step by step.
class BinningIndex {
  public:
    explicit BinningIndex(int levels)
        : levels_(levels), bins_(bin_first(levels + 1)), meta_bin_(bins_ + 1),
          max_position_(std::uint64_t{1} << (kMinShift + 3 * levels)) {}

    bool fits(std::uint64_t end) const noexcept { return end <= max_position_; }

    // False when `begin` comes before the line above on the same reference.
    bool push(std::uint32_t tid, std::uint64_t begin, std::uint64_t end, std::uint64_t line_start,
              std::uint64_t line_end) {
        if (!started_) {
            started_ = true;
            save_off_ = off_beg_ = off_end_ = line_start;
        }
        last_off_ = line_start;
        if (static_cast<std::int64_t>(tid) != last_tid_) {
            last_tid_ = tid;
            last_bin_ = BinTable::kNone;
            references_.resize(tid + 1);
        } else if (last_begin_ > begin) {
            return false;
        }
        add_to_linear(references_[tid].linear, begin, end, last_off_);
        const std::uint32_t bin = bin_of(begin, end, levels_);
        if (last_bin_ != bin) {
            if (save_bin_ != BinTable::kNone)
                references_[save_tid_].bins.put(save_bin_).chunks.push_back({save_off_, last_off_});
            if (last_bin_ == BinTable::kNone && save_bin_ != BinTable::kNone) {
                off_end_ = last_off_;
                close_reference(off_end_);
                off_beg_ = off_end_;
            }
            save_off_ = last_off_;
            save_bin_ = last_bin_ = bin;
            save_tid_ = tid;
        }
        ++mapped_;
        last_off_ = line_end;
        last_begin_ = begin;
        return true;
    }

    void finish(std::uint64_t data_end, const VirtualOffsets& virtual_offset) {
        if (save_tid_ >= 0) {
            references_[save_tid_].bins.put(save_bin_).chunks.push_back({save_off_, data_end});
            close_reference(data_end);
        }
        for (Reference& reference : references_) {
            make_virtual(reference, virtual_offset);
            fill_linear(reference);
            merge_bins(reference.bins);
        }
    }

    // Everything after the header: the references' bins (and for a .tbi
    // their linear index), then the count of lines without a position.
    void write(std::string& out, bool csi) const {
        put_u32(out, static_cast<std::uint32_t>(references_.size()));
        if (!csi) out += header_;
        for (const Reference& reference : references_) {
            const BinTable& bins = reference.bins;
            put_u32(out, bins.size());
            for (std::uint32_t slot = 0; slot < bins.slots(); ++slot) {
                if (!bins.live(slot)) continue;
                const Bin& bin = bins.at(slot);
                put_u32(out, bins.key(slot));
                if (csi) put_u64(out, bin.linear_offset);
                put_u32(out, static_cast<std::uint32_t>(bin.chunks.size()));
                for (const Chunk& chunk : bin.chunks) {
                    put_u64(out, chunk.begin);
                    put_u64(out, chunk.end);
                }
            }
            if (!csi) {
                put_u32(out, static_cast<std::uint32_t>(reference.linear.size()));
                for (const std::uint64_t offset : reference.linear) put_u64(out, offset);
            }
        }
        put_u64(out, 0);  // lines without a position: none in a track
    }

    void set_header(std::string header) { header_ = std::move(header); }

  private:
    struct Reference {
        BinTable bins;
        std::vector<std::uint64_t> linear;  // first line's offset per 16 KiB window
    };

    // The pseudo-bin: where the reference's lines begin and end, then how
    // many there are. Two puts, as htslib makes them: the table may grow
    // at either.
    void close_reference(std::uint64_t end) {
        BinTable& bins = references_[save_tid_].bins;
        bins.put(meta_bin_).chunks.push_back({off_beg_, end});
        bins.put(meta_bin_).chunks.push_back({mapped_, 0});
        mapped_ = 0;
    }

    static void add_to_linear(std::vector<std::uint64_t>& linear, std::uint64_t begin, std::uint64_t end,
                              std::uint64_t offset) {
        const std::uint64_t first = begin >> kMinShift, last = (end - 1) >> kMinShift;
        if (linear.size() < last + 1) linear.resize(last + 1, kNoOffset);
        for (std::uint64_t window = first; window <= last; ++window)
            if (linear[window] == kNoOffset) linear[window] = offset;
    }

    void make_virtual(Reference& reference, const VirtualOffsets& virtual_offset) const {
        BinTable& bins = reference.bins;
        for (std::uint32_t slot = 0; slot < bins.slots(); ++slot) {
            if (!bins.live(slot)) continue;
            std::vector<Chunk>& chunks = bins.at(slot).chunks;
            // The pseudo-bin's second pair is a count, not offsets.
            const std::size_t count = bins.key(slot) == meta_bin_ ? 1 : chunks.size();
            for (std::size_t i = 0; i < count; ++i) chunks[i] = {virtual_offset(chunks[i].begin), virtual_offset(chunks[i].end)};
        }
        for (std::uint64_t& offset : reference.linear)
            if (offset != kNoOffset) offset = virtual_offset(offset);
    }

    // A window no line starts in takes the offset of the next line (tabix
    // 1.16 fills them so, not from the line before); each bin's offset is
    // that of its first window.
    void fill_linear(Reference& reference) const {
        std::vector<std::uint64_t>& linear = reference.linear;
        BinTable& bins = reference.bins;
        const std::uint32_t meta = bins.find(meta_bin_);
        const std::uint64_t start = meta == BinTable::kNone ? 0 : bins.at(meta).chunks[0].begin;
        for (std::size_t window = linear.size(); window-- > 0;)
            if (linear[window] == kNoOffset) linear[window] = window + 1 < linear.size() ? linear[window + 1] : start;
        for (std::uint32_t slot = 0; slot < bins.slots(); ++slot) {
            if (!bins.live(slot)) continue;
            const std::uint32_t key = bins.key(slot);
            std::uint64_t offset = 0;
            if (key < bins_) {
                const std::uint64_t first = bin_window(key, levels_);
                offset = first < linear.size() ? linear[first] : 0;
            }
            bins.at(slot).linear_offset = offset;
        }
    }

    // htslib's compress_binning: level by level from the leaves, a bin
    // whose chunks lie within 64 KiB of compressed data joins its parent
    // (when the parent exists); then chunks that start in the block where
    // the previous one ends are joined.
    void merge_bins(BinTable& bins) const {
        const auto by_begin = [](const Chunk& a, const Chunk& b) { return a.begin < b.begin; };
        for (int level = levels_; level > 0; --level) {
            const std::uint32_t start = bin_first(level);
            for (std::uint32_t slot = 0; slot < bins.slots(); ++slot) {
                if (!bins.live(slot) || bins.key(slot) >= bins_ || bins.key(slot) < start) continue;
                std::vector<Chunk>& chunks = bins.at(slot).chunks;
                if (level < levels_ && chunks.size() > 1) std::sort(chunks.begin(), chunks.end(), by_begin);
                if ((chunks.back().end >> 16) - (chunks.front().begin >> 16) >= kMinMarkerDistance) continue;
                const std::uint32_t parent = bins.find((bins.key(slot) - 1) >> 3);
                if (parent == BinTable::kNone) continue;
                std::vector<Chunk>& into = bins.at(parent).chunks;
                into.insert(into.end(), chunks.begin(), chunks.end());
                bins.erase(slot);
            }
        }
        if (const std::uint32_t root = bins.find(0); root != BinTable::kNone)
            std::sort(bins.at(root).chunks.begin(), bins.at(root).chunks.end(), by_begin);
        for (std::uint32_t slot = 0; slot < bins.slots(); ++slot) {
            if (!bins.live(slot) || bins.key(slot) >= bins_) continue;
            std::vector<Chunk>& chunks = bins.at(slot).chunks;
            std::size_t kept = 0;
            for (std::size_t i = 1; i < chunks.size(); ++i) {
                if (chunks[kept].end >> 16 >= chunks[i].begin >> 16)
                    chunks[kept].end = std::max(chunks[kept].end, chunks[i].end);
                else
                    chunks[++kept] = chunks[i];
            }
            chunks.resize(kept + 1);
        }
    }

    int levels_;
    std::uint32_t bins_;
    std::uint32_t meta_bin_;
    std::uint64_t max_position_;
    std::vector<Reference> references_;
    std::string header_;

    bool started_ = false;
    std::int64_t last_tid_ = -1, save_tid_ = -1;
    std::uint32_t last_bin_ = BinTable::kNone, save_bin_ = BinTable::kNone;
    std::uint64_t last_begin_ = 0;
    std::uint64_t last_off_ = 0, save_off_ = 0, off_beg_ = 0, off_end_ = 0;
    std::uint64_t mapped_ = 0;
};

TabixIndex::TabixIndex()
    : tbi_(std::make_unique<BinningIndex>(kTbiLevels)), csi_(std::make_unique<BinningIndex>(kCsiLevels)) {}

TabixIndex::~TabixIndex() = default;

TabixForm TabixIndex::form() const noexcept { return tbi_ ? TabixForm::Tbi : TabixForm::Csi; }

std::string_view tabix_extension(TabixForm form) noexcept { return form == TabixForm::Tbi ? "tbi" : "csi"; }

Status<TabixProblem> TabixIndex::add(std::string_view name, std::uint64_t begin, std::uint64_t end,
                                     std::uint64_t line_start, std::uint64_t line_end) {
    ++lines_;
    const auto problem = [&](TabixProblem::Kind kind) {
        return Err{TabixProblem{kind, std::string(name), lines_}};
    };
    if (references_ == 0 || name != current_) {
        if (!seen_.emplace(name).second) return problem(TabixProblem::Kind::RepeatedName);
        current_.assign(name);
        names_.append(name);
        names_.push_back('\0');
        ++references_;
    }
    // Both forms are built until a line shows which one tabix would write.
    if (end <= begin) return problem(TabixProblem::Kind::Unparsable);
    if (tbi_ && !tbi_->fits(end)) tbi_.reset();
    if (!csi_->fits(end)) return problem(TabixProblem::Kind::TooLong);
    const std::uint32_t tid = references_ - 1;
    if (!csi_->push(tid, begin, end, line_start, line_end)) return problem(TabixProblem::Kind::Unsorted);
    if (tbi_) tbi_->push(tid, begin, end, line_start, line_end);
    return Ok{};
}

namespace {

// A position as tabix reads it: decimal digits (the track writes nothing
// else), then the end of the field.
bool read_position(std::string_view& rest, std::uint64_t& value) {
    value = 0;
    std::size_t i = 0;
    for (; i < rest.size() && rest[i] >= '0' && rest[i] <= '9'; ++i)
        value = value * 10 + static_cast<std::uint64_t>(rest[i] - '0');
    if (i == 0 || i > 19 || (i < rest.size() && rest[i] != '\t')) return false;
    rest.remove_prefix(i < rest.size() ? i + 1 : i);
    return true;
}

}  // namespace

Status<TabixProblem> TabixIndex::scan_line(std::string_view line, std::uint64_t line_start) {
    if (!line.empty() && line.front() == '#') {
        ++lines_;
        return Ok{};
    }
    const std::size_t tab = line.find('\t');
    const std::string_view name = line.substr(0, tab);
    std::string_view rest = tab == std::string_view::npos ? std::string_view{} : line.substr(tab + 1);
    std::uint64_t begin = 0, end = 0;
    if (!read_position(rest, begin) || !read_position(rest, end)) {
        ++lines_;
        return Err{TabixProblem{TabixProblem::Kind::Unparsable, std::string(name), lines_}};
    }
    return add(name, begin, end, line_start, line_start + line.size() + 1);
}

Status<TabixProblem> TabixIndex::scan(std::span<const std::uint8_t> bytes) {
    std::string_view text(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    if (!partial_.empty()) {
        const std::size_t newline = text.find('\n');
        if (newline == std::string_view::npos) {
            partial_.append(text);
            return Ok{};
        }
        partial_.append(text.substr(0, newline));
        text.remove_prefix(newline + 1);
        auto added = scan_line(partial_, scanned_);
        scanned_ += partial_.size() + 1;
        partial_.clear();
        if (!added) return added;
    }
    while (!text.empty()) {
        const void* found = std::memchr(text.data(), '\n', text.size());
        if (found == nullptr) {
            partial_.assign(text);
            break;
        }
        const std::size_t length = static_cast<std::size_t>(static_cast<const char*>(found) - text.data());
        auto added = scan_line(text.substr(0, length), scanned_);
        if (!added) return added;
        scanned_ += length + 1;
        text.remove_prefix(length + 1);
    }
    return Ok{};
}

Result<std::string, TabixProblem> TabixIndex::finish(std::span<const BgzfBlock> blocks, std::uint64_t eof_block) {
    std::uint64_t data_end = scanned_;
    if (!partial_.empty()) {  // a last line without its newline still counts, as tabix reads it
        auto added = scan_line(partial_, scanned_);
        if (!added) return Err{std::move(added.error())};
        data_end += partial_.size();
        partial_.clear();
    }
    VirtualOffsets virtual_offset(blocks, eof_block);
    virtual_offset.set_end(data_end);
    const bool csi = !tbi_;
    BinningIndex& index = csi ? *csi_ : *tbi_;
    index.finish(data_end, virtual_offset);

    std::string header;
    for (const std::int32_t value : kBedConf) put_u32(header, static_cast<std::uint32_t>(value));
    put_u32(header, static_cast<std::uint32_t>(names_.size()));
    header += names_;
    std::string out = csi ? "CSI\1" : "TBI\1";
    if (csi) {
        put_u32(out, kMinShift);
        put_u32(out, kCsiLevels);
        put_u32(out, static_cast<std::uint32_t>(header.size()));
        out += header;
    } else {
        index.set_header(std::move(header));
    }
    index.write(out, csi);
    return out;
}

}  // namespace seqtally::core
