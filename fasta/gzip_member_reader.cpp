#include "gzip_member_reader.h"

namespace seqtally {
namespace {

constexpr std::uint8_t kFlagHeaderCrc = 0x02;
constexpr std::uint8_t kFlagExtra = 0x04;
constexpr std::uint8_t kFlagName = 0x08;
constexpr std::uint8_t kFlagComment = 0x10;
constexpr std::uint8_t kFlagsReserved = 0xE0;
constexpr std::size_t kMaxHeaderText = 65535;

IoError invalid_header(GzipFault fault) {
    return IoError::custom(ErrorKind::InvalidInput, "invalid gzip header").with(fault);
}
IoError checksum_mismatch() {
    return IoError::custom(ErrorKind::InvalidInput, "corrupt gzip stream does not have a matching checksum")
        .with(GzipFault::ChecksumMismatch);
}
IoError truncated() { return IoError::of_kind(ErrorKind::UnexpectedEof).with(GzipFault::Truncated); }
IoError corrupt(InflateFailure failure) {
    return corrupt_deflate().with(failure == InflateFailure::Truncated ? GzipFault::Truncated : GzipFault::BadData);
}

std::uint32_t little_endian32(const std::uint8_t* bytes) noexcept {
    return std::uint32_t{bytes[0]} | std::uint32_t{bytes[1]} << 8 | std::uint32_t{bytes[2]} << 16 |
           std::uint32_t{bytes[3]} << 24;
}

}  // namespace

GzipMemberReader::GzipMemberReader(File file)
    : GzipMemberReader(std::make_unique<FileSource>(std::move(file)), InflateLibrary::Zlib) {}

GzipMemberReader::GzipMemberReader(std::unique_ptr<ByteSource> source, InflateLibrary library)
    : input_(std::move(source)), inflater_(library) {
    if (auto header = parse_header(); !header) {
        failure_ = std::move(header).error();
        state_ = State::Failed;
    } else {
        state_ = State::Body;
    }
}

void GzipMemberReader::log_members(std::vector<GzipMember>* log) {
    log_ = log;
    if (log_ != nullptr && state_ == State::Body) log_->push_back(current_);
}

GzipMemberReader::~GzipMemberReader() = default;

// Fixed-size fields: a read of 0 bytes before the field is complete means the
// file ended inside a header or trailer.
Status<IoError> GzipMemberReader::read_exact(std::span<std::uint8_t> into,
                                             std::optional<std::uint32_t>& header_crc) {
    std::size_t got = 0;
    while (got < into.size()) {
        auto read = input_.read(into.subspan(got));
        if (!read) return Err{std::move(read).error()};
        if (read.value() == 0) return Err{truncated()};
        got += read.value();
    }
    if (header_crc) *header_crc = inflater_.crc32(*header_crc, into);
    return Ok{};
}

Status<IoError> GzipMemberReader::skip_zero_terminated(std::optional<std::uint32_t>& header_crc) {
    for (std::size_t length = 0;; ++length) {
        std::uint8_t byte = 0;
        if (auto read = read_exact(std::span(&byte, 1), header_crc); !read) return read;
        if (byte == 0) return Ok{};
        if (length == kMaxHeaderText) {
            return Err{IoError::custom(ErrorKind::InvalidInput, "gzip header field too long")
                           .with(GzipFault::HeaderFieldTooLong)};
        }
    }
}

Status<IoError> GzipMemberReader::parse_header() {
    GzipMember& member = current_;
    member = GzipMember{input_.consumed(), decoded_, 0, false};
    member_start_ = decoded_;
    std::optional<std::uint32_t> header_crc;
    std::uint8_t fixed[10];
    if (auto read = read_exact(fixed, header_crc); !read) return read;
    // A member starts at offset 0 of the stream only if it is the first.
    if ((fixed[0] != 0x1F || fixed[1] != 0x8B) && member.compressed_offset > 0) {
        return Err{invalid_header(GzipFault::TrailingGarbage)};
    }
    if (fixed[0] != 0x1F || fixed[1] != 0x8B || fixed[2] != 8 || (fixed[3] & kFlagsReserved) != 0) {
        return Err{invalid_header(GzipFault::BadHeader)};
    }
    const std::uint8_t flags = fixed[3];
    if (flags & kFlagHeaderCrc) header_crc = inflater_.crc32(0, fixed);
    if (flags & kFlagExtra) {
        std::uint8_t length_bytes[2];
        if (auto read = read_exact(length_bytes, header_crc); !read) return read;
        const std::size_t length = std::size_t{length_bytes[0]} | std::size_t{length_bytes[1]} << 8;
        std::vector<std::uint8_t> extra(length);
        if (auto read = read_exact(extra, header_crc); !read) return read;
        // Subfields: two id bytes, a little-endian length, the data.
        for (std::size_t at = 0; at + 4 <= length;) {
            const std::size_t size = std::size_t{extra[at + 2]} | std::size_t{extra[at + 3]} << 8;
            if (extra[at] == 'B' && extra[at + 1] == 'C' && size == 2) member.bgzf = true;
            at += 4 + size;
        }
    }
    if (flags & kFlagName) {
        if (auto skipped = skip_zero_terminated(header_crc); !skipped) return skipped;
    }
    if (flags & kFlagComment) {
        if (auto skipped = skip_zero_terminated(header_crc); !skipped) return skipped;
    }
    if (flags & kFlagHeaderCrc) {
        const std::uint32_t expected = *header_crc & 0xFFFF;
        std::optional<std::uint32_t> no_crc;
        std::uint8_t stored[2];
        if (auto read = read_exact(stored, no_crc); !read) return read;
        if ((std::uint32_t{stored[0]} | std::uint32_t{stored[1]} << 8) != expected) return Err{checksum_mismatch()};
    }
    if (log_ != nullptr) log_->push_back(member);
    return Ok{};
}

Result<std::size_t, IoError> GzipMemberReader::decode(std::span<std::uint8_t> into) {
    if (stream_ended_) return std::size_t{0};
    for (;;) {
        auto filled = input_.fill_if_empty();
        if (!filled) return filled;
        // An empty buffer after a refill is the end of the file.
        const bool at_eof = filled.value() == 0;
        auto step = inflater_.step(input_.available(), into, at_eof);
        if (!step) return Err{corrupt(step.error())};
        const Inflater::Step& done = step.value();
        input_.consume(done.consumed);
        if (done.ended) {
            stream_ended_ = true;
            // ISA-L may have taken some of the trailer: it is read from
            // where the compressed data stopped.
            input_.put_back(std::span(done.overread.data(), done.overread_size));
        }
        if (done.produced == 0 && !stream_ended_ && !at_eof && !into.empty()) continue;
        return done.produced;
    }
}

Status<IoError> GzipMemberReader::check_trailer() {
    std::optional<std::uint32_t> no_crc;
    std::uint8_t trailer[8];
    if (auto read = read_exact(trailer, no_crc); !read) return read;
    if (little_endian32(trailer) != crc_ || little_endian32(trailer + 4) != size_) {
        state_ = State::End;
        return Err{checksum_mismatch()};
    }
    return Ok{};
}

Result<std::size_t, IoError> GzipMemberReader::read(std::span<std::uint8_t> into) {
    for (;;) {
        switch (state_) {
            case State::Header:
                if (auto header = parse_header(); !header) return Err{std::move(header).error()};
                state_ = State::Body;
                break;
            case State::Body: {
                if (into.empty()) return std::size_t{0};
                auto decoded = decode(into);
                if (!decoded) return decoded;
                if (decoded.value() > 0) {
                    crc_ = inflater_.crc32(crc_, into.first(decoded.value()));
                    size_ += static_cast<std::uint32_t>(decoded.value());
                    decoded_ += decoded.value();
                    if (log_ != nullptr && !log_->empty()) log_->back().uncompressed_size = decoded_ - member_start_;
                    return decoded;
                }
                state_ = State::Trailer;
                break;
            }
            case State::Trailer: {
                if (auto trailer = check_trailer(); !trailer) return Err{std::move(trailer).error()};
                auto more = input_.fill_if_empty();
                if (!more) return Err{std::move(more).error()};
                if (more.value() == 0) {
                    state_ = State::End;
                    break;
                }
                // Another member follows: decode it as a continuation of the stream.
                if (!inflater_.reset()) return Err{corrupt(InflateFailure::BadData)};
                stream_ended_ = false;
                crc_ = 0;
                size_ = 0;
                state_ = State::Header;
                break;
            }
            case State::Failed:
                state_ = State::End;
                return Err{std::move(*failure_)};
            case State::End:
                return std::size_t{0};
        }
    }
}

}  // namespace seqtally
