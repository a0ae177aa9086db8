#pragma once
// The compressed bytes behind the gzip reader, read in 256 KiB chunks: each
// inflate call ends when its input runs out, and ISA-L keeps a copy of the
// last 32 KiB of output at every return, which on 32 KiB chunks (about 100
// KiB of output) cost a tenth of the inflating.
#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

#include "fasta/byte_source.h"

namespace seqtally {

class InputBuffer {
  public:
    static constexpr std::size_t kCapacity = 262144;
    // At most this many bytes go back at once (an inflater that read past
    // the end of a member hands them back).
    static constexpr std::size_t kPutBack = 8;

    explicit InputBuffer(File file) : InputBuffer(std::make_unique<FileSource>(std::move(file))) {}
    explicit InputBuffer(std::unique_ptr<ByteSource> source)
        : source_(std::move(source)),
          bytes_(std::make_unique_for_overwrite<std::array<std::uint8_t, kCapacity + kPutBack>>()) {}

    // The unread bytes; empty when a refill is due.
    std::span<const std::uint8_t> available() const noexcept { return {bytes_->data() + pos_, filled_ - pos_}; }
    void consume(std::size_t count) noexcept { pos_ += count; }
    // The bytes just before the unread ones again, at most kPutBack.
    void put_back(std::span<const std::uint8_t> bytes) noexcept;
    // Refills when empty; returns the number of unread bytes (0 at end of file).
    Result<std::size_t, IoError> fill_if_empty();
    // Up to into.size() bytes; 0 at end of file. A large read into an empty
    // buffer goes straight to the caller's span.
    Result<std::size_t, IoError> read(std::span<std::uint8_t> into);
    // Bytes of the source consumed so far: where the next unread byte sits
    // in the compressed file (a BGZF index names blocks by it).
    std::uint64_t consumed() const noexcept { return from_source_ - (filled_ - pos_); }

  private:
    std::unique_ptr<ByteSource> source_;
    // Left unwritten at creation: only [pos_, filled_) is ever read, and a
    // small file should not pay for faulting in 256 KiB of zeros.
    std::unique_ptr<std::array<std::uint8_t, kCapacity + kPutBack>> bytes_;
    std::size_t pos_ = 0;
    std::size_t filled_ = 0;
    std::uint64_t from_source_ = 0;
};

}  // namespace seqtally
