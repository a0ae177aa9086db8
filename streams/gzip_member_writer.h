#pragma once
// Writes one gzip member (RFC 1952) into a file: our own 10-byte header and
// 8-byte trailer around zlib's raw DEFLATE.
#include <zlib.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

#include "streams/sink.h"

namespace seqtally {

class GzipMemberWriter final : public Sink {
  public:
    static constexpr std::size_t kStagingCapacity = 32768;

    // `level` as the caller gives it: 0 stored, 1-9, 10-255 strongest, 256 and
    // above as 1. The header's XFL byte is derived from the number itself.
    GzipMemberWriter(File file, std::uint32_t level);
    ~GzipMemberWriter() override;
    GzipMemberWriter(const GzipMemberWriter&) = delete;
    GzipMemberWriter& operator=(const GzipMemberWriter&) = delete;

    Result<std::size_t, IoError> write(std::span<const std::uint8_t> bytes) override;
    // A sync flush: everything accepted so far becomes decodable from the
    // file, but the member stays open.
    Status<IoError> flush() override;
    // Final block and trailer, then the file is closed.
    Status<IoError> release() override;

    static int zlib_level(std::uint32_t level) noexcept;
    static std::uint8_t xfl_byte(std::uint32_t level) noexcept;

  private:
    Status<IoError> write_header();
    Status<IoError> drain_staging();
    Status<IoError> deflate_into_staging(int flush, bool& produced);
    Status<IoError> finish_member();

    File file_;
    z_stream stream_{};
    bool stream_ready_ = false;
    bool released_ = false;
    std::array<std::uint8_t, 10> header_{};
    std::size_t header_written_ = 0;
    std::uint32_t crc_ = 0;
    std::uint32_t size_ = 0;  // modulo 2^32, as ISIZE
    std::size_t staged_ = 0;
    std::unique_ptr<std::array<std::uint8_t, kStagingCapacity>> staging_;
};

}  // namespace seqtally
