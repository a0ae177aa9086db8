#pragma once
// A byte source over bytes of its own that returns pseudo-random small
// chunks (or chunks of one fixed size), so that every fill boundary of the
// reader gets exercised. The unit tests use it too.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <span>
#include <string>
#include <string_view>

#include "fasta/byte_source.h"

namespace seqtally::fuzz {

class ChunkSource final : public ByteSource {
  public:
    ChunkSource(std::span<const std::uint8_t> data, std::uint32_t seed)
        : data_(reinterpret_cast<const char*>(data.data()), data.size()), state_(seed | 1) {}
    // Every read delivers `chunk` bytes, or what is left.
    static ChunkSource fixed(std::string data, std::size_t chunk) {
        ChunkSource source({}, 1);
        source.data_ = std::move(data);
        source.fixed_chunk_ = chunk;
        return source;
    }

    Result<std::size_t, IoError> read(std::span<std::uint8_t> into) override {
        // xorshift: chunk sizes of 1 to 64 bytes, sometimes everything asked for.
        state_ ^= state_ << 13;
        state_ ^= state_ >> 17;
        state_ ^= state_ << 5;
        std::size_t chunk = fixed_chunk_ != 0 ? fixed_chunk_ : (state_ & 0x100) ? into.size() : 1 + (state_ & 63);
        chunk = std::min({chunk, into.size(), data_.size() - pos_});
        if (chunk > 0) std::memcpy(into.data(), data_.data() + pos_, chunk);
        pos_ += chunk;
        return chunk;
    }

  private:
    std::string data_;
    std::size_t fixed_chunk_ = 0;
    std::size_t pos_ = 0;
    std::uint32_t state_;
};

}  // namespace seqtally::fuzz
