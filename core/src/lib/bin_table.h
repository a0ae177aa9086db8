#pragma once
// The bins of one reference of a tabix index, kept in an open-addressing
// table that grows, probes, deletes and rehashes exactly as htslib's (klib's
// khash with integer keys). tabix writes a reference's bins in the order of
// their slots, so the index file's bytes depend on that order: which bins
// were inserted when, and which were deleted by the final merge. Nothing
// here may be "simplified" without changing the files written.
#include <cstdint>
#include <utility>
#include <vector>

namespace seqtally::core {

struct Chunk {
    std::uint64_t begin;
    std::uint64_t end;
};

struct Bin {
    std::vector<Chunk> chunks;
    std::uint64_t linear_offset = 0;  // CSI's per-bin offset
};

class BinTable {
  public:
    static constexpr std::uint32_t kNone = 0xffffffffu;

    // The bin of `key`, inserted empty when absent (khash's kh_put).
    Bin& put(std::uint32_t key) {
        if (occupied_ >= upper_bound_) resize(buckets_ > (size_ << 1) ? buckets_ - 1 : buckets_ + 1);
        const std::uint32_t mask = buckets_ - 1;
        std::uint32_t slot = buckets_, site = buckets_, i = key & mask;
        if (empty(i)) {
            slot = i;
        } else {
            const std::uint32_t last = i;
            std::uint32_t step = 0;
            while (!empty(i) && (deleted(i) || keys_[i] != key)) {
                if (deleted(i)) site = i;
                i = (i + ++step) & mask;
                if (i == last) {
                    slot = site;
                    break;
                }
            }
            if (slot == buckets_) slot = empty(i) && site != buckets_ ? site : i;
        }
        if (empty(slot) || deleted(slot)) {
            if (empty(slot)) ++occupied_;
            keys_[slot] = key;
            flags_[slot] = 0;
            values_[slot] = Bin{};
            ++size_;
        }
        return values_[slot];
    }

    // The slot of `key`, or kNone (kh_get).
    std::uint32_t find(std::uint32_t key) const {
        if (buckets_ == 0) return kNone;
        const std::uint32_t mask = buckets_ - 1;
        std::uint32_t i = key & mask, step = 0;
        const std::uint32_t last = i;
        while (!empty(i) && (deleted(i) || keys_[i] != key)) {
            i = (i + ++step) & mask;
            if (i == last) return kNone;
        }
        return either(i) ? kNone : i;
    }

    // Marks the slot deleted; nothing moves until the next growth.
    void erase(std::uint32_t slot) {
        if (slot < buckets_ && !either(slot)) {
            flags_[slot] |= kDeleted;
            values_[slot] = Bin{};
            --size_;
        }
    }

    std::uint32_t slots() const noexcept { return buckets_; }
    std::uint32_t size() const noexcept { return size_; }
    bool live(std::uint32_t slot) const noexcept { return !either(slot); }
    std::uint32_t key(std::uint32_t slot) const noexcept { return keys_[slot]; }
    Bin& at(std::uint32_t slot) noexcept { return values_[slot]; }
    const Bin& at(std::uint32_t slot) const noexcept { return values_[slot]; }

  private:
    static constexpr std::uint8_t kDeleted = 1;
    static constexpr std::uint8_t kEmpty = 2;

    bool empty(std::uint32_t i) const noexcept { return (flags_[i] & kEmpty) != 0; }
    bool deleted(std::uint32_t i) const noexcept { return (flags_[i] & kDeleted) != 0; }
    bool either(std::uint32_t i) const noexcept { return (flags_[i] & (kEmpty | kDeleted)) != 0; }
    static std::uint32_t bound(std::uint32_t buckets) noexcept {
        return static_cast<std::uint32_t>(buckets * 0.77 + 0.5);
    }

    // Rehashes in place: every live key is moved to its first free slot of
    // the new table, kicking out a key not yet moved that sits there, which
    // then goes the same way. The kick-outs decide the final slot order.
    void resize(std::uint32_t wanted) {
        std::uint32_t buckets = 4;
        while (buckets < wanted) buckets <<= 1;
        if (size_ >= bound(buckets)) return;
        std::vector<std::uint8_t> flags(buckets, kEmpty);
        if (buckets_ < buckets) {
            keys_.resize(buckets);
            values_.resize(buckets);
        }
        const std::uint32_t mask = buckets - 1;
        for (std::uint32_t j = 0; j != buckets_; ++j) {
            if (either(j)) continue;
            std::uint32_t key = keys_[j];
            Bin value = std::move(values_[j]);
            flags_[j] |= kDeleted;
            for (;;) {
                std::uint32_t i = key & mask, step = 0;
                while ((flags[i] & kEmpty) == 0) i = (i + ++step) & mask;
                flags[i] &= static_cast<std::uint8_t>(~kEmpty);
                if (i < buckets_ && !either(i)) {
                    std::swap(key, keys_[i]);
                    std::swap(value, values_[i]);
                    flags_[i] |= kDeleted;
                } else {
                    keys_[i] = key;
                    values_[i] = std::move(value);
                    break;
                }
            }
        }
        if (buckets_ > buckets) {
            keys_.resize(buckets);
            values_.resize(buckets);
        }
        flags_ = std::move(flags);
        buckets_ = buckets;
        occupied_ = size_;
        upper_bound_ = bound(buckets);
    }

    std::vector<std::uint32_t> keys_;
    std::vector<Bin> values_;
    std::vector<std::uint8_t> flags_;
    std::uint32_t buckets_ = 0, size_ = 0, occupied_ = 0, upper_bound_ = 0;
};

}  // namespace seqtally::core
