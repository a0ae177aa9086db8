#pragma once
// A sink that appends what it takes to a string, for checking written bytes.
// It may take at most `most` bytes per write, as a pipe or a compressor does.
#include <algorithm>
#include <cstdint>
#include <string>

#include "streams/sink.h"

namespace seqtally::fuzz {

class StringSink final : public Sink {
  public:
    explicit StringSink(std::string& out, std::size_t most = SIZE_MAX) : out_(out), most_(most) {}
    Result<std::size_t, IoError> write(std::span<const std::uint8_t> bytes) override {
        const std::size_t taken = std::min(bytes.size(), most_);
        out_.append(reinterpret_cast<const char*>(bytes.data()), taken);
        return taken;
    }
    Status<IoError> flush() override { return Ok{}; }
    Status<IoError> release() override { return Ok{}; }

  private:
    std::string& out_;
    std::size_t most_;
};

}  // namespace seqtally::fuzz
