#include "output_stream.h"

#include <cstring>

#include "common/write_all.h"

namespace seqtally {

OutputStream::~OutputStream() {
    if (sink_) (void)release();
}

Status<IoError> OutputStream::flush_buffer() {
    std::size_t written = 0;
    auto status = seqtally::write_all(sink_write(), std::span<const std::uint8_t>(buffer_.data(), held_), written,
                            IoError::simple_message(ErrorKind::WriteZero, "failed to write the buffered data"));
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
        std::size_t written = 0;
        return seqtally::write_all(sink_write(), bytes, written,
                         IoError::simple_message(ErrorKind::WriteZero, "failed to write whole buffer"));
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
