#pragma once
// A buffered writer over a sink, with an 8,192-byte buffer that writes of
// that size or more bypass.
#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string_view>

#include "streams/sink.h"

namespace seqtally {

class OutputStream {
  public:
    static constexpr std::size_t kCapacity = 8192;

    explicit OutputStream(std::unique_ptr<Sink> sink) : sink_(std::move(sink)) {}
    OutputStream(const OutputStream&) = delete;
    OutputStream& operator=(const OutputStream&) = delete;
    // Releases the stream if release() was not called, ignoring failures.
    ~OutputStream();

    Status<IoError> write_all(std::span<const std::uint8_t> bytes);
    Status<IoError> write_all(std::string_view text) {
        return write_all(std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
    }
    // Everything written so far goes down to the sink, and the sink flushes.
    Status<IoError> flush();
    // Writes out the buffer, then releases the sink (finishing a gzip member
    // and closing the file). Returns the first failure; the stream is
    // released either way and must not be used again.
    Status<IoError> release();

    std::size_t buffered() const noexcept { return held_; }

  private:
    auto sink_write() {
        return [this](std::span<const std::uint8_t> bytes) { return sink_->write(bytes); };
    }
    Status<IoError> flush_buffer();

    std::unique_ptr<Sink> sink_;
    std::size_t held_ = 0;
    std::array<std::uint8_t, kCapacity> buffer_;
};

}  // namespace seqtally
