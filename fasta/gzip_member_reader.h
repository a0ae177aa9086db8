#pragma once
// Decodes a file of one or more gzip members (RFC 1952) as one byte stream.
// zlib does the raw inflate and CRC-32; the member framing is ours, so that
// the accepted input and the errors are exactly those listed below. The
// gzip_reader fuzz target checks it against zlib's own gzip decoding.
#include <zlib.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "fasta/byte_source.h"
#include "fasta/input_buffer.h"

namespace seqtally {

// Which library inflates the DEFLATE data. The framing, the CRC-32 and
// ISIZE checks and every error are the same for both; ISA-L (where the
// build found it) inflates several times faster than zlib.
enum class Inflater { Zlib, Isal };

// Where one member of a gzip file starts, in the file and in the decoded
// stream, and what it holds: what a BGZF index (.gzi) is made of.
struct GzipMember {
    std::uint64_t compressed_offset = 0;
    std::uint64_t uncompressed_offset = 0;
    std::uint64_t uncompressed_size = 0;
    bool bgzf = false;  // its header has the BGZF extra field ("BC")
};

// Whether this build has ISA-L.
bool has_isal() noexcept;

class GzipMemberReader final : public ByteSource {
  public:
    // Parses the first member header at once; a failure there is returned by
    // the first read, not by the constructor.
    explicit GzipMemberReader(File file);
    // The compressed stream from any source (a descriptor polled so that it
    // can be stopped, with its first bytes already read to tell its kind).
    // Inflater::Isal falls back to zlib in a build without ISA-L.
    GzipMemberReader(std::unique_ptr<ByteSource> source, Inflater inflater);
    ~GzipMemberReader() override;
    GzipMemberReader(const GzipMemberReader&) = delete;
    GzipMemberReader& operator=(const GzipMemberReader&) = delete;

    Result<std::size_t, IoError> read(std::span<std::uint8_t> into) override;

    // Every member from the next one on is added to `log` (which must
    // outlive the reader), the last one complete once read() returned 0.
    // The first member's header was read by the constructor: it is logged
    // here. Call before the first read.
    void log_members(std::vector<GzipMember>* log);

  private:
    enum class State { Header, Body, Trailer, Failed, End };

    Status<IoError> parse_header();
    Status<IoError> read_exact(std::span<std::uint8_t> into, std::optional<std::uint32_t>& header_crc);
    Status<IoError> skip_zero_terminated(std::optional<std::uint32_t>& header_crc);
    Result<std::size_t, IoError> decode(std::span<std::uint8_t> into);
    Result<std::size_t, IoError> decode_isal(std::span<std::uint8_t> into);
    std::uint32_t crc_of(std::uint32_t crc, std::span<const std::uint8_t> bytes) const noexcept;
    bool restart_inflate() noexcept;
    Status<IoError> check_trailer();

    InputBuffer input_;
    z_stream stream_{};
    // ISA-L's state, when it inflates (opaque here: its header stays out of
    // every file but ours; the members that own it are defined beside it).
    struct IsalState;
    std::unique_ptr<IsalState> isal_;
    bool stream_ready_ = false;
    bool stream_ended_ = false;
    std::uint32_t crc_ = 0;
    std::uint32_t size_ = 0;  // modulo 2^32, as ISIZE
    std::uint64_t decoded_ = 0;       // bytes of all members so far
    std::uint64_t member_start_ = 0;  // decoded_ where this member began
    GzipMember current_;
    std::vector<GzipMember>* log_ = nullptr;
    State state_ = State::Header;
    std::optional<IoError> failure_;
};

}  // namespace seqtally
