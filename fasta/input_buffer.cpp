#include "input_buffer.h"

#include <algorithm>
#include <cstring>

namespace seqtally {

Result<std::size_t, IoError> InputBuffer::fill_if_empty() {
    if (pos_ < filled_) return filled_ - pos_;
    auto got = source_->read(std::span(*bytes_));
    if (!got) return got;
    pos_ = 0;
    filled_ = got.value();
    return filled_;
}

Result<std::size_t, IoError> InputBuffer::read(std::span<std::uint8_t> into) {
    if (pos_ == filled_ && into.size() >= kCapacity) return source_->read(into);
    auto filled = fill_if_empty();
    if (!filled) return filled;
    const std::size_t count = std::min(into.size(), filled.value());
    std::memcpy(into.data(), bytes_->data() + pos_, count);
    pos_ += count;
    return count;
}

}  // namespace seqtally
