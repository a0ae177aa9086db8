#pragma once
// Decodes a file of one or more gzip members (RFC 1952) as one byte stream.
// The Inflater does the raw inflate and CRC-32; the member framing is ours,
// so that the accepted input and the errors are exactly those listed below,
// each marked with its GzipFault. The gzip_reader fuzz target checks it
// against zlib's own gzip decoding.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "fasta/byte_source.h"
#include "fasta/inflater.h"
#include "fasta/input_buffer.h"

namespace seqtally {

// Where one member of a gzip file starts, in the file and in the decoded
// stream, and what it holds: what a BGZF index (.gzi) is made of.
struct GzipMember {
    std::uint64_t compressed_offset = 0;
    std::uint64_t uncompressed_offset = 0;
    std::uint64_t uncompressed_size = 0;
    bool bgzf = false;  // its header has the BGZF extra field ("BC")
};

class GzipMemberReader final : public ByteSource {
  public:
    // Parses the first member header at once; a failure there is returned by
    // the first read, not by the constructor.
    explicit GzipMemberReader(File file);
    // The compressed stream from any source (a descriptor polled so that it
    // can be stopped, with its first bytes already read to tell its kind).
    // The framing, the CRC-32 and ISIZE checks and every error are the same
    // whichever library inflates.
    GzipMemberReader(std::unique_ptr<ByteSource> source, InflateLibrary library);
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
    Status<IoError> check_trailer();

    InputBuffer input_;
    Inflater inflater_;
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
