#include "gzip_member_reader.h"

#include <new>

#ifdef SEQTALLY_HAVE_ISAL
#include <isa-l/crc.h>
#include <isa-l/igzip_lib.h>
#endif

#include "common/failure.h"

namespace seqtally {
namespace {

constexpr std::uint8_t kFlagHeaderCrc = 0x02;
constexpr std::uint8_t kFlagExtra = 0x04;
constexpr std::uint8_t kFlagName = 0x08;
constexpr std::uint8_t kFlagComment = 0x10;
constexpr std::uint8_t kFlagsReserved = 0xE0;
constexpr std::size_t kMaxHeaderText = 65535;

IoError invalid_header() { return IoError::custom(ErrorKind::InvalidInput, "invalid gzip header"); }
IoError checksum_mismatch() {
    return IoError::custom(ErrorKind::InvalidInput, "corrupt gzip stream does not have a matching checksum");
}

std::uint32_t little_endian32(const std::uint8_t* bytes) noexcept {
    return std::uint32_t{bytes[0]} | std::uint32_t{bytes[1]} << 8 | std::uint32_t{bytes[2]} << 16 |
           std::uint32_t{bytes[3]} << 24;
}

}  // namespace

#ifdef SEQTALLY_HAVE_ISAL
struct GzipMemberReader::IsalState {
    inflate_state state;
};
bool has_isal() noexcept { return true; }
#else
struct GzipMemberReader::IsalState {};
bool has_isal() noexcept { return false; }
#endif

GzipMemberReader::GzipMemberReader(File file)
    : GzipMemberReader(std::make_unique<FileSource>(std::move(file)), Inflater::Zlib) {}

GzipMemberReader::GzipMemberReader(std::unique_ptr<ByteSource> source, Inflater inflater)
    : input_(std::move(source)) {
#ifdef SEQTALLY_HAVE_ISAL
    if (inflater == Inflater::Isal) {
        isal_ = std::make_unique<IsalState>();
        isal_inflate_init(&isal_->state);
        isal_->state.crc_flag = ISAL_DEFLATE;
    }
#else
    (void)inflater;
#endif
    if (!isal_) {
        const int status = inflateInit2(&stream_, -15);
        if (status == Z_MEM_ERROR) throw std::bad_alloc();
        if (status != Z_OK) throw InternalFailure("could not start the gzip decoder");
        stream_ready_ = true;
    }
    crc_ = static_cast<std::uint32_t>(crc32(0L, Z_NULL, 0));
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

GzipMemberReader::~GzipMemberReader() {
    if (stream_ready_) inflateEnd(&stream_);
}

// Fixed-size fields: a read of 0 bytes before the field is complete means the
// file ended inside a header or trailer.
Status<IoError> GzipMemberReader::read_exact(std::span<std::uint8_t> into,
                                             std::optional<std::uint32_t>& header_crc) {
    std::size_t got = 0;
    while (got < into.size()) {
        auto read = input_.read(into.subspan(got));
        if (!read) return Err{std::move(read).error()};
        if (read.value() == 0) return Err{IoError::of_kind(ErrorKind::UnexpectedEof)};
        got += read.value();
    }
    if (header_crc) *header_crc = static_cast<std::uint32_t>(crc32_z(*header_crc, into.data(), into.size()));
    return Ok{};
}

Status<IoError> GzipMemberReader::skip_zero_terminated(std::optional<std::uint32_t>& header_crc) {
    for (std::size_t length = 0;; ++length) {
        std::uint8_t byte = 0;
        if (auto read = read_exact(std::span(&byte, 1), header_crc); !read) return read;
        if (byte == 0) return Ok{};
        if (length == kMaxHeaderText) {
            return Err{IoError::custom(ErrorKind::InvalidInput, "gzip header field too long")};
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
    if (fixed[0] != 0x1F || fixed[1] != 0x8B || fixed[2] != 8 || (fixed[3] & kFlagsReserved) != 0) {
        return Err{invalid_header()};
    }
    const std::uint8_t flags = fixed[3];
    if (flags & kFlagHeaderCrc) header_crc = static_cast<std::uint32_t>(crc32_z(crc32(0L, Z_NULL, 0), fixed, 10));
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

std::uint32_t GzipMemberReader::crc_of(std::uint32_t crc, std::span<const std::uint8_t> bytes) const noexcept {
#ifdef SEQTALLY_HAVE_ISAL
    if (isal_) return crc32_gzip_refl(crc, const_cast<std::uint8_t*>(bytes.data()), bytes.size());
#endif
    return static_cast<std::uint32_t>(crc32_z(crc, bytes.data(), bytes.size()));
}

bool GzipMemberReader::restart_inflate() noexcept {
#ifdef SEQTALLY_HAVE_ISAL
    if (isal_) {
        isal_inflate_reset(&isal_->state);
        isal_->state.crc_flag = ISAL_DEFLATE;
        return true;
    }
#endif
    return inflateReset(&stream_) == Z_OK;
}

Result<std::size_t, IoError> GzipMemberReader::decode_isal([[maybe_unused]] std::span<std::uint8_t> into) {
#ifdef SEQTALLY_HAVE_ISAL
    if (stream_ended_) return std::size_t{0};
    inflate_state& state = isal_->state;
    for (;;) {
        auto filled = input_.fill_if_empty();
        if (!filled) return filled;
        const bool at_eof = filled.value() == 0;
        const auto available = input_.available();
        state.next_in = const_cast<std::uint8_t*>(available.data());
        state.avail_in = static_cast<std::uint32_t>(available.size());
        const auto room = static_cast<std::uint32_t>(std::min<std::size_t>(into.size(), UINT32_MAX));
        state.next_out = into.data();
        state.avail_out = room;
        const int status = isal_inflate(&state);
        // At the end of a member ISA-L hands back the whole bytes it had
        // taken beyond it: the trailer is read from where it stopped.
        const std::size_t consumed = available.size() - state.avail_in;
        const std::size_t produced = room - state.avail_out;
        input_.consume(consumed);
        if (status < 0) return Err{corrupt_deflate()};
        if (state.block_state == ISAL_BLOCK_FINISH) {
            stream_ended_ = true;
            // ISA-L keeps what it loaded past the final block in its bit
            // buffer: the rest of the last byte, then whole bytes that
            // belong to the trailer.
            const auto bits = static_cast<std::uint32_t>(state.read_in_length);
            std::uint64_t word = bits % 8 == 0 ? state.read_in : state.read_in >> (bits % 8);
            std::uint8_t unused[InputBuffer::kPutBack];
            const std::size_t count = std::min<std::size_t>(bits / 8, sizeof unused);
            for (std::size_t i = 0; i < count; ++i, word >>= 8) unused[i] = static_cast<std::uint8_t>(word);
            input_.put_back(std::span(unused, count));
            state.read_in = 0;
            state.read_in_length = 0;
        } else if (at_eof && produced == 0 && consumed == 0) {
            // The file ended inside the compressed data.
            return Err{corrupt_deflate()};
        }
        if (produced == 0 && !stream_ended_ && !at_eof && !into.empty()) continue;
        return produced;
    }
#else
    return Err{corrupt_deflate()};
#endif
}

Result<std::size_t, IoError> GzipMemberReader::decode(std::span<std::uint8_t> into) {
    if (isal_) return decode_isal(into);
    if (stream_ended_) return std::size_t{0};
    for (;;) {
        auto filled = input_.fill_if_empty();
        if (!filled) return filled;
        // An empty buffer after a refill is the end of the file: only the
        // finishing flush can tell a complete stream from a truncated one.
        const bool at_eof = filled.value() == 0;
        const auto available = input_.available();
        stream_.next_in = const_cast<Bytef*>(available.data());
        stream_.avail_in = static_cast<uInt>(available.size());
        // zlib counts in 32 bits; a buffer for a record over 4 GiB is filled
        // 4 GiB at a time.
        const auto room = static_cast<uInt>(std::min<std::size_t>(into.size(), UINT32_MAX));
        stream_.next_out = into.data();
        stream_.avail_out = room;
        const int status = inflate(&stream_, at_eof ? Z_FINISH : Z_NO_FLUSH);
        const std::size_t consumed = available.size() - stream_.avail_in;
        const std::size_t produced = room - stream_.avail_out;
        input_.consume(consumed);
        if (status == Z_STREAM_END) {
            stream_ended_ = true;
        } else if (status != Z_OK && !(status == Z_BUF_ERROR && (produced > 0 || consumed > 0))) {
            return Err{corrupt_deflate()};
        }
        if (produced == 0 && !stream_ended_ && !at_eof && !into.empty()) continue;
        return produced;
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
                    crc_ = crc_of(crc_, into.first(decoded.value()));
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
                if (!restart_inflate()) return Err{corrupt_deflate()};
                stream_ended_ = false;
                crc_ = static_cast<std::uint32_t>(crc32(0L, Z_NULL, 0));
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
