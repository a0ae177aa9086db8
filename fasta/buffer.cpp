#include "buffer.h"

#include <cstring>
#include <string>

#include "common/failure.h"

namespace seqtally::fasta {
namespace {

[[noreturn]] void allocation_failed(std::size_t size) {
    throw AllocationFailure(size);
}

}  // namespace

Buffer Buffer::with_capacity(std::size_t capacity) {
    Buffer buffer;
    buffer.data_.reset(static_cast<std::uint8_t*>(std::malloc(capacity == 0 ? 1 : capacity)));
    if (!buffer.data_) allocation_failed(capacity);
    buffer.capacity_ = capacity;
    return buffer;
}

void Buffer::consume(std::size_t count) noexcept {
    pos_ += count < len() ? count : len();
    if (pos_ == end_) pos_ = end_ = 0;
}

void Buffer::make_room() noexcept {
    if (pos_ == 0) return;
    std::memmove(data_.get(), data_.get() + pos_, len());
    end_ -= pos_;
    pos_ = 0;
}

void Buffer::reserve(std::size_t free) {
    const std::size_t available = capacity_ - end_;
    if (available >= free) return;
    const std::size_t missing = free - available;
    if (capacity_ > SIZE_MAX - missing) allocation_failed(SIZE_MAX);
    const std::size_t grown = capacity_ + missing;
    void* moved = std::realloc(data_.get(), grown);
    if (moved == nullptr) allocation_failed(grown);
    (void)data_.release();
    data_.reset(static_cast<std::uint8_t*>(moved));
    capacity_ = grown;
}

}  // namespace seqtally::fasta
