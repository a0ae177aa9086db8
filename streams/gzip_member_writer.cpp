#include "gzip_member_writer.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "common/failure.h"
#include "common/write_all.h"

namespace seqtally {
namespace {

Status<IoError> write_from(File& file, std::span<const std::uint8_t> bytes, std::size_t& written) {
    return write_all([&file](std::span<const std::uint8_t> rest) { return file.write(rest); }, bytes, written,
                     IoError::of_kind(ErrorKind::WriteZero));
}

}  // namespace

int GzipMemberWriter::zlib_level(std::uint32_t level) noexcept {
    if (level >= 256) return 1;
    if (level > 9) return 9;
    return static_cast<int>(level);
}

std::uint8_t GzipMemberWriter::xfl_byte(std::uint32_t level) noexcept {
    if (level >= 9) return 2;
    if (level <= 1) return 4;
    return 0;
}

GzipMemberWriter::GzipMemberWriter(File file, std::uint32_t level)
    : file_(std::move(file)), staging_(std::make_unique<std::array<std::uint8_t, kStagingCapacity>>()) {
    // ID1 ID2 CM FLG, MTIME 0, XFL, OS 255 (unknown).
    header_ = {0x1F, 0x8B, 8, 0, 0, 0, 0, 0, xfl_byte(level), 255};
    const int status = deflateInit2(&stream_, zlib_level(level), Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY);
    if (status == Z_MEM_ERROR) throw std::bad_alloc();
    if (status != Z_OK) throw InternalFailure("could not start the gzip compressor");
    stream_ready_ = true;
    crc_ = static_cast<std::uint32_t>(crc32(0L, Z_NULL, 0));
}

GzipMemberWriter::~GzipMemberWriter() {
    if (!released_) (void)release();
    if (stream_ready_) deflateEnd(&stream_);
}

Status<IoError> GzipMemberWriter::write_header() { return write_from(file_, header_, header_written_); }

Status<IoError> GzipMemberWriter::drain_staging() {
    std::size_t written = 0;
    auto status = write_from(file_, std::span(staging_->data(), staged_), written);
    // What the file took leaves the staging buffer; the rest moves to its front.
    std::memmove(staging_->data(), staging_->data() + written, staged_ - written);
    staged_ -= written;
    return status;
}

// Runs the compressor with no further input; `produced` tells whether it
// added compressed bytes to the staging buffer.
Status<IoError> GzipMemberWriter::deflate_into_staging(int flush, bool& produced) {
    stream_.next_in = Z_NULL;
    stream_.avail_in = 0;
    stream_.next_out = staging_->data() + staged_;
    stream_.avail_out = static_cast<uInt>(kStagingCapacity - staged_);
    const int status = deflate(&stream_, flush);
    const std::size_t added = kStagingCapacity - staged_ - stream_.avail_out;
    staged_ += added;
    produced = added > 0;
    if (status != Z_OK && status != Z_STREAM_END && status != Z_BUF_ERROR) return Err{corrupt_deflate()};
    return Ok{};
}

Result<std::size_t, IoError> GzipMemberWriter::write(std::span<const std::uint8_t> bytes) {
    if (auto header = write_header(); !header) return Err{std::move(header).error()};
    for (;;) {
        if (auto drained = drain_staging(); !drained) return Err{std::move(drained).error()};
        stream_.next_in = const_cast<Bytef*>(bytes.data());
        stream_.avail_in = static_cast<uInt>(std::min<std::size_t>(bytes.size(), UINT32_MAX));
        stream_.next_out = staging_->data() + staged_;
        stream_.avail_out = static_cast<uInt>(kStagingCapacity - staged_);
        const int status = deflate(&stream_, Z_NO_FLUSH);
        staged_ = kStagingCapacity - stream_.avail_out;
        const std::size_t taken = static_cast<std::size_t>(stream_.next_in - bytes.data());
        if (status != Z_OK && status != Z_BUF_ERROR) return Err{corrupt_deflate()};
        if (taken == 0 && !bytes.empty()) continue;
        crc_ = static_cast<std::uint32_t>(crc32_z(crc_, bytes.data(), taken));
        size_ += static_cast<std::uint32_t>(taken);
        return taken;
    }
}

Status<IoError> GzipMemberWriter::flush() {
    if (auto header = write_header(); !header) return header;
    bool produced = false;
    if (auto synced = deflate_into_staging(Z_SYNC_FLUSH, produced); !synced) return synced;
    do {
        if (auto drained = drain_staging(); !drained) return drained;
        if (auto ran = deflate_into_staging(Z_NO_FLUSH, produced); !ran) return ran;
    } while (produced);
    return Ok{};
}

Status<IoError> GzipMemberWriter::finish_member() {
    auto header = write_header();
    bool produced = false;
    do {
        if (auto drained = drain_staging(); !drained) return drained;
        if (auto ran = deflate_into_staging(Z_FINISH, produced); !ran) return ran;
    } while (produced);
    // Without a complete header the member is broken anyway: no trailer.
    if (!header) return header;
    const std::uint8_t trailer[8] = {
        static_cast<std::uint8_t>(crc_),        static_cast<std::uint8_t>(crc_ >> 8),
        static_cast<std::uint8_t>(crc_ >> 16),  static_cast<std::uint8_t>(crc_ >> 24),
        static_cast<std::uint8_t>(size_),       static_cast<std::uint8_t>(size_ >> 8),
        static_cast<std::uint8_t>(size_ >> 16), static_cast<std::uint8_t>(size_ >> 24),
    };
    std::size_t written = 0;
    return write_from(file_, trailer, written);
}

Status<IoError> GzipMemberWriter::release() {
    if (released_) return Ok{};
    released_ = true;
    auto finished = finish_member();
    auto closed = file_.close();
    if (!finished) return finished;
    return closed;
}

}  // namespace seqtally
