#include "bgzf_writer.h"

#ifdef SEQTALLY_HAVE_LIBDEFLATE
#include <libdeflate.h>
#else
#include <zlib.h>
#endif

#include <algorithm>
#include <cstring>
#include <new>
#include <system_error>

#include "common/failure.h"
#include "common/write_all.h"

namespace seqtally {
namespace {

constexpr std::size_t kHeaderSize = 18;  // gzip header with the 6-byte BC extra field
constexpr std::size_t kFooterSize = 8;   // CRC-32, ISIZE
constexpr std::uint8_t kHeader[16] = {0x1f, 0x8b, 8, 4, 0, 0, 0, 0, 0, 0xff, 6, 0, 'B', 'C', 2, 0};
constexpr std::uint8_t kEofBlock[BgzfWriter::kEofBlockSize] = {
    0x1f, 0x8b, 8, 4, 0, 0, 0, 0, 0, 0xff, 6, 0, 'B', 'C', 2, 0, 0x1b, 0, 3, 0, 0, 0, 0, 0, 0, 0, 0, 0};

void put_le(std::uint8_t* at, std::uint32_t value, int bytes) noexcept {
    for (int i = 0; i < bytes; ++i) at[i] = static_cast<std::uint8_t>(value >> (8 * i));
}

#ifdef SEQTALLY_HAVE_LIBDEFLATE
// bgzip's -l 0-9 as the libdeflate levels it compresses with: measured block
// for block against Debian's bgzip (its default is its -l 6).
constexpr int kLibdeflateLevel[10] = {0, 1, 2, 3, 5, 6, 7, 8, 10, 12};
#endif

}  // namespace

bool has_libdeflate() noexcept {
#ifdef SEQTALLY_HAVE_LIBDEFLATE
    return true;
#else
    return false;
#endif
}

// One thread's deflate state, reused for every block that thread compresses.
class BgzfWriter::Compressor {
  public:
    explicit Compressor(int level) {
        const int bgzip_level = level < 0 ? kDefaultLevel : std::min(level, 9);
        stored_ = bgzip_level == 0;
#ifdef SEQTALLY_HAVE_LIBDEFLATE
        compressor_ = libdeflate_alloc_compressor(kLibdeflateLevel[bgzip_level]);
        if (compressor_ == nullptr) throw std::bad_alloc();
#else
        const int status = deflateInit2(&stream_, bgzip_level, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY);
        if (status == Z_MEM_ERROR) throw std::bad_alloc();
        if (status != Z_OK) throw InternalFailure("could not start the BGZF compressor");
#endif
    }
    ~Compressor() {
#ifdef SEQTALLY_HAVE_LIBDEFLATE
        libdeflate_free_compressor(compressor_);
#else
        deflateEnd(&stream_);
#endif
    }
    Compressor(const Compressor&) = delete;
    Compressor& operator=(const Compressor&) = delete;

    // Raw DEFLATE of `in` into `out`: its size, or 0 when it does not fit.
    std::size_t deflate(std::span<const std::uint8_t> in, std::span<std::uint8_t> out) noexcept {
#ifdef SEQTALLY_HAVE_LIBDEFLATE
        return libdeflate_deflate_compress(compressor_, in.data(), in.size(), out.data(), out.size());
#else
        if (deflateReset(&stream_) != Z_OK) return 0;
        stream_.next_in = const_cast<Bytef*>(in.data());
        stream_.avail_in = static_cast<uInt>(in.size());
        stream_.next_out = out.data();
        stream_.avail_out = static_cast<uInt>(out.size());
        if (::deflate(&stream_, Z_FINISH) != Z_STREAM_END) return 0;
        return out.size() - stream_.avail_out;
#endif
    }

    static std::uint32_t crc32(std::span<const std::uint8_t> in) noexcept {
#ifdef SEQTALLY_HAVE_LIBDEFLATE
        return libdeflate_crc32(0, in.data(), in.size());
#else
        return static_cast<std::uint32_t>(crc32_z(0, in.data(), in.size()));
#endif
    }

    // The whole block, header to ISIZE, into `out` (kMaxBlock bytes): its size.
    std::size_t block(std::span<const std::uint8_t> in, std::uint8_t* out) noexcept {
        std::size_t deflated =
            stored_ ? 0 : deflate(in, std::span(out + kHeaderSize, kMaxBlock - kHeaderSize - kFooterSize));
        if (deflated == 0) {
            // Level 0, and what deflate cannot fit, go as one stored block
            // (BFINAL, type 00, LEN, NLEN), as bgzip writes them: kBlockInput
            // leaves room for it. zlib would split it in two.
            out[kHeaderSize] = 1;
            put_le(out + kHeaderSize + 1, static_cast<std::uint32_t>(in.size()), 2);
            put_le(out + kHeaderSize + 3, static_cast<std::uint32_t>(~in.size()), 2);
            std::memcpy(out + kHeaderSize + 5, in.data(), in.size());
            deflated = in.size() + 5;
        }
        const std::size_t size = kHeaderSize + deflated + kFooterSize;
        std::memcpy(out, kHeader, sizeof kHeader);
        put_le(out + 16, static_cast<std::uint32_t>(size - 1), 2);
        put_le(out + size - 8, crc32(in), 4);
        put_le(out + size - 4, static_cast<std::uint32_t>(in.size()), 4);
        return size;
    }

  private:
    bool stored_ = false;
#ifdef SEQTALLY_HAVE_LIBDEFLATE
    libdeflate_compressor* compressor_ = nullptr;
#else
    z_stream stream_{};
#endif
};

unsigned BgzfWriter::every_core() noexcept {
    const unsigned threads = std::thread::hardware_concurrency();
    return threads > 1 ? threads - 1 : 0;
}

BgzfWriter::BgzfWriter(File file, int level, unsigned threads) : file_(std::move(file)) {
    slots_.resize(kSlotsPerThread * (std::size_t{threads} + 1));
    for (Slot& slot : slots_) {
        slot.input = std::make_unique<std::uint8_t[]>(kBlockInput);
        slot.output = std::make_unique<std::uint8_t[]>(kMaxBlock);
    }
    for (unsigned i = 0; i <= threads; ++i) compressors_.push_back(std::make_unique<Compressor>(level));
    helpers_.reserve(threads);
    try {
        for (unsigned i = 1; i <= threads; ++i) {
            helpers_.emplace_back([this, &compressor = *compressors_[i]] { work(compressor); });
        }
    } catch (const std::system_error&) {
        // A thread the system refuses leaves its share to the others: the
        // blocks are the same, only later.
    } catch (...) {
        stop_helpers();  // never a running thread in a writer that was not made
        throw;
    }
}

BgzfWriter::~BgzfWriter() { stop_helpers(); }

void BgzfWriter::stop_helpers() noexcept {
    {
        std::lock_guard lock(mutex_);
        stop_ = true;
    }
    changed_.notify_all();
    for (std::thread& helper : helpers_) helper.join();
    helpers_.clear();
}

void BgzfWriter::work(Compressor& compressor) noexcept {
    std::unique_lock lock(mutex_);
    for (;;) {
        changed_.wait(lock, [this] { return stop_ || taken_ < handed_off_; });
        if (stop_) return;
        compress_next(lock, compressor);
    }
}

void BgzfWriter::compress_next(std::unique_lock<std::mutex>& lock, Compressor& compressor) noexcept {
    Slot& slot = slot_of(taken_++);
    lock.unlock();
    slot.output_size = compressor.block(std::span(slot.input.get(), slot.input_size), slot.output.get());
    lock.lock();
    slot.compressed = true;
    changed_.notify_all();
}

Status<IoError> BgzfWriter::write_block(const Slot& slot) {
    blocks_.push_back({file_offset_, uncompressed_written_});
    std::size_t written = 0;
    auto status = write_all([this](std::span<const std::uint8_t> rest) { return file_.write(rest); },
                            std::span(slot.output.get(), slot.output_size), written,
                            IoError::of_kind(ErrorKind::WriteZero));
    file_offset_ += written;
    uncompressed_written_ += slot.input_size;
    return status;
}

Status<IoError> BgzfWriter::write_until(std::uint64_t needed) {
    std::unique_lock lock(mutex_);
    while (written_blocks_ < handed_off_) {
        Slot& oldest = slot_of(written_blocks_);
        if (!oldest.compressed) {
            if (written_blocks_ >= needed) break;
            // Rather than wait for a helper, the caller compresses the next
            // block nobody has taken.
            if (taken_ < handed_off_) {
                compress_next(lock, *compressors_.front());
            } else {
                changed_.wait(lock);
            }
            continue;
        }
        lock.unlock();
        auto written = write_block(oldest);
        lock.lock();
        ++written_blocks_;
        if (!written) {
            failure_ = written.error();
            return written;
        }
    }
    return Ok{};
}

Status<IoError> BgzfWriter::end_block() {
    {
        std::lock_guard lock(mutex_);
        slot_of(handed_off_).compressed = false;
        ++handed_off_;
    }
    changed_.notify_all();
    // The block filled next needs its slot back: at most slots_.size() blocks
    // are ever in flight.
    const std::uint64_t needed = handed_off_ + 1 > slots_.size() ? handed_off_ + 1 - slots_.size() : 0;
    return write_until(needed);
}

Result<std::size_t, IoError> BgzfWriter::write(std::span<const std::uint8_t> bytes) {
    if (failure_) return Err{*failure_};
    if (released_) return Err{IoError::simple_message(ErrorKind::Other, "the BGZF file is already complete")};
    std::size_t taken = 0;
    while (taken < bytes.size()) {
        Slot& slot = slot_of(handed_off_);
        const std::size_t part = std::min(bytes.size() - taken, kBlockInput - slot.input_size);
        std::memcpy(slot.input.get() + slot.input_size, bytes.data() + taken, part);
        slot.input_size += part;
        taken += part;
        accepted_ += part;
        if (slot.input_size == kBlockInput) {
            if (auto ended = end_block(); !ended) return Err{std::move(ended).error()};
            slot_of(handed_off_).input_size = 0;
        }
    }
    return taken;
}

Status<IoError> BgzfWriter::flush() {
    if (failure_) return Err{*failure_};
    if (released_) return Ok{};
    if (slot_of(handed_off_).input_size > 0) {
        if (auto ended = end_block(); !ended) return ended;
        slot_of(handed_off_).input_size = 0;
    }
    return write_until(handed_off_);
}

Status<IoError> BgzfWriter::release() {
    if (released_) return failure_ ? Status<IoError>{Err{*failure_}} : Status<IoError>{Ok{}};
    auto finished = flush();
    released_ = true;
    if (finished) {
        std::size_t written = 0;
        finished = write_all([this](std::span<const std::uint8_t> rest) { return file_.write(rest); },
                             std::span(kEofBlock), written, IoError::of_kind(ErrorKind::WriteZero));
        if (!finished) failure_ = finished.error();
    }
    stop_helpers();
    auto closed = file_.close();
    if (!finished) return finished;
    if (!closed) failure_ = closed.error();
    return closed;
}

}  // namespace seqtally
