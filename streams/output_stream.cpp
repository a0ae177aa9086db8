#include "output_stream.h"

#include <cstring>

namespace seqtally {

OutputStream::~OutputStream() {
    if (sink_) (void)release();
}

Status<IoError> OutputStream::flush_buffer() {
    std::size_t written = 0;
    Status<IoError> status = Ok{};
    while (written < held_) {
        auto took = sink_->write(std::span(buffer_.data() + written, held_ - written));
        if (!took) {
            status = Err{std::move(took).error()};
            break;
        }
        if (took.value() == 0) {
            status = Err{IoError::simple_message(ErrorKind::WriteZero, "failed to write the buffered data")};
            break;
        }
        written += took.value();
    }
    // What the sink took leaves the buffer; the rest moves to its front.
    std::memmove(buffer_.data(), buffer_.data() + written, held_ - written);
    held_ -= written;
    return status;
}

Status<IoError> OutputStream::write_all(std::span<const std::uint8_t> bytes) {
    const std::size_t free = kCapacity - held_;
    if (bytes.size() < free) {
        std::memcpy(buffer_.data() + held_, bytes.data(), bytes.size());
        held_ += bytes.size();
        return Ok{};
    }
    if (bytes.size() > free) {
        if (auto flushed = flush_buffer(); !flushed) return flushed;
    }
    if (bytes.size() >= kCapacity) {
        while (!bytes.empty()) {
            auto took = sink_->write(bytes);
            if (!took) return Err{std::move(took).error()};
            if (took.value() == 0) {
                return Err{IoError::simple_message(ErrorKind::WriteZero, "failed to write whole buffer")};
            }
            bytes = bytes.subspan(took.value());
        }
        return Ok{};
    }
    std::memcpy(buffer_.data() + held_, bytes.data(), bytes.size());
    held_ += bytes.size();
    return Ok{};
}

Status<IoError> OutputStream::flush() {
    if (auto flushed = flush_buffer(); !flushed) return flushed;
    return sink_->flush();
}

Status<IoError> OutputStream::release() {
    auto flushed = flush_buffer();
    auto released = sink_->release();
    sink_.reset();
    if (!flushed) return flushed;
    return released;
}

}  // namespace seqtally
