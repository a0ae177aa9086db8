#pragma once
// A sink that appends everything to a string, for checking written bytes.
#include <string>

#include "streams/sink.h"

namespace seqtally::fuzz {

class StringSink final : public Sink {
  public:
    explicit StringSink(std::string& out) : out_(out) {}
    Result<std::size_t, IoError> write(std::span<const std::uint8_t> bytes) override {
        out_.append(reinterpret_cast<const char*>(bytes.data()), bytes.size());
        return bytes.size();
    }
    Status<IoError> flush() override { return Ok{}; }
    Status<IoError> release() override { return Ok{}; }

  private:
    std::string& out_;
};

}  // namespace seqtally::fuzz
