#pragma once
// The reader's byte buffer: valid data lies between a read and an end
// position. realloc lets a growing multi-gigabyte record move by remapping
// pages instead of copying them.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <span>

namespace seqtally::fasta {

class Buffer {
  public:
    static Buffer with_capacity(std::size_t capacity);

    std::span<const std::uint8_t> buf() const noexcept { return {data_.get() + pos_, end_ - pos_}; }
    std::size_t capacity() const noexcept { return capacity_; }
    std::size_t len() const noexcept { return end_ - pos_; }
    // Free space behind the valid data.
    std::span<std::uint8_t> free_space() noexcept { return {data_.get() + end_, capacity_ - end_}; }
    void commit(std::size_t appended) noexcept { end_ += appended; }

    void consume(std::size_t count) noexcept;
    void make_room() noexcept;
    // Grows so that at least `free` bytes follow the valid data; the new
    // capacity is the old one plus exactly what was missing. Throws
    // AllocationFailure when memory runs out.
    void reserve(std::size_t free);

  private:
    struct FreeDeleter {
        void operator()(std::uint8_t* bytes) const noexcept { std::free(bytes); }
    };

    std::unique_ptr<std::uint8_t, FreeDeleter> data_;
    std::size_t capacity_ = 0;
    std::size_t pos_ = 0;
    std::size_t end_ = 0;
};

}  // namespace seqtally::fasta
