#include "input_buffer.h"

#include <algorithm>
#include <cstring>

namespace seqtally {

Result<std::size_t, IoError> InputBuffer::fill_if_empty() {
    if (pos_ < filled_) return filled_ - pos_;
    auto got = source_->read(std::span(bytes_->data(), kCapacity));
    if (!got) return got;
    pos_ = 0;
    filled_ = got.value();
    from_source_ += filled_;
    return filled_;
}

void InputBuffer::put_back(std::span<const std::uint8_t> bytes) noexcept {
    if (pos_ >= bytes.size()) {
        pos_ -= bytes.size();
    } else {
        // They came before this fill: the unread bytes move up to make room.
        std::memmove(bytes_->data() + bytes.size(), bytes_->data() + pos_, filled_ - pos_);
        filled_ = filled_ - pos_ + bytes.size();
        pos_ = 0;
    }
    std::memcpy(bytes_->data() + pos_, bytes.data(), bytes.size());
}

Result<std::size_t, IoError> InputBuffer::read(std::span<std::uint8_t> into) {
    if (pos_ == filled_ && into.size() >= kCapacity) {
        auto got = source_->read(into);
        if (got) from_source_ += got.value();
        return got;
    }
    auto filled = fill_if_empty();
    if (!filled) return filled;
    const std::size_t count = std::min(into.size(), filled.value());
    std::memcpy(into.data(), bytes_->data() + pos_, count);
    pos_ += count;
    return count;
}

}  // namespace seqtally
