#include "inflater.h"

#include <zlib.h>

#include <algorithm>
#include <climits>
#include <new>

#ifdef SEQTALLY_HAVE_ISAL
#include <isa-l/crc.h>
#include <isa-l/igzip_lib.h>
#endif

#include "common/failure.h"

namespace seqtally {
namespace {

// Both libraries count in 32 bits: longer spans are taken 4 GiB at a time.
std::uint32_t clamp32(std::size_t size) noexcept {
    return static_cast<std::uint32_t>(std::min<std::size_t>(size, UINT32_MAX));
}

}  // namespace

struct Inflater::Zlib {
    z_stream stream{};
    Zlib() {
        const int status = inflateInit2(&stream, -15);
        if (status == Z_MEM_ERROR) throw std::bad_alloc();
        if (status != Z_OK) throw InternalFailure("could not start the gzip decoder");
    }
    ~Zlib() { inflateEnd(&stream); }
    Zlib(const Zlib&) = delete;
    Zlib& operator=(const Zlib&) = delete;
};

#ifdef SEQTALLY_HAVE_ISAL
struct Inflater::Isal {
    inflate_state state;
    Isal() { start(); }
    void start() noexcept {
        isal_inflate_init(&state);
        state.crc_flag = ISAL_DEFLATE;
    }
};
bool has_isal() noexcept { return true; }
#else
struct Inflater::Isal {};
bool has_isal() noexcept { return false; }
#endif

Inflater::Inflater(InflateLibrary library) {
#ifdef SEQTALLY_HAVE_ISAL
    if (library == InflateLibrary::Isal) {
        isal_ = std::make_unique<Isal>();
        return;
    }
#else
    (void)library;
#endif
    zlib_ = std::make_unique<Zlib>();
}

Inflater::~Inflater() = default;

InflateLibrary Inflater::library() const noexcept { return isal_ ? InflateLibrary::Isal : InflateLibrary::Zlib; }

Result<Inflater::Step, InflateFailure> Inflater::step(std::span<const std::uint8_t> in, std::span<std::uint8_t> out,
                                                     bool last_input) {
    Step step;
    const std::uint32_t given = clamp32(in.size());
    const std::uint32_t room = clamp32(out.size());
#ifdef SEQTALLY_HAVE_ISAL
    if (isal_) {
        inflate_state& state = isal_->state;
        state.next_in = const_cast<std::uint8_t*>(in.data());
        state.avail_in = given;
        state.next_out = out.data();
        state.avail_out = room;
        const int status = isal_inflate(&state);
        step.consumed = given - state.avail_in;
        step.produced = room - state.avail_out;
        if (status < 0) return Err{InflateFailure::BadData};
        if (state.block_state == ISAL_BLOCK_FINISH) {
            step.ended = true;
            // ISA-L keeps what it loaded past the final block in its bit
            // buffer: the rest of the last byte, then whole bytes that
            // belong to what follows.
            const auto bits = static_cast<std::uint32_t>(state.read_in_length);
            std::uint64_t word = bits % 8 == 0 ? state.read_in : state.read_in >> (bits % 8);
            step.overread_size = std::min<std::size_t>(bits / 8, kMaxOverread);
            for (std::size_t i = 0; i < step.overread_size; ++i, word >>= 8) {
                step.overread[i] = static_cast<std::uint8_t>(word);
            }
            state.read_in = 0;
            state.read_in_length = 0;
        } else if (last_input && step.produced == 0 && step.consumed == 0) {
            return Err{InflateFailure::Truncated};
        }
        return step;
    }
#endif
    z_stream& stream = zlib_->stream;
    stream.next_in = const_cast<Bytef*>(in.data());
    stream.avail_in = given;
    stream.next_out = out.data();
    stream.avail_out = room;
    // Only the finishing flush can tell a complete stream from a truncated one.
    const int status = inflate(&stream, last_input ? Z_FINISH : Z_NO_FLUSH);
    step.consumed = given - stream.avail_in;
    step.produced = room - stream.avail_out;
    if (status == Z_STREAM_END) {
        step.ended = true;
    } else if (status == Z_BUF_ERROR && step.produced == 0 && step.consumed == 0) {
        return Err{last_input ? InflateFailure::Truncated : InflateFailure::BadData};
    } else if (status != Z_OK && status != Z_BUF_ERROR) {
        return Err{InflateFailure::BadData};
    }
    return step;
}

bool Inflater::reset() noexcept {
#ifdef SEQTALLY_HAVE_ISAL
    if (isal_) {
        isal_inflate_reset(&isal_->state);
        isal_->state.crc_flag = ISAL_DEFLATE;
        return true;
    }
#endif
    return inflateReset(&zlib_->stream) == Z_OK;
}

Result<std::size_t, InflateFailure> Inflater::inflate_whole(std::span<const std::uint8_t> in,
                                                            std::span<std::uint8_t> out) {
    const std::uint32_t room = clamp32(out.size());
#ifdef SEQTALLY_HAVE_ISAL
    if (isal_) {
        inflate_state& state = isal_->state;
        isal_->start();
        state.next_in = const_cast<std::uint8_t*>(in.data());
        state.avail_in = clamp32(in.size());
        state.next_out = out.data();
        state.avail_out = room;
        const int status = isal_inflate_stateless(&state);
        if (status == ISAL_END_INPUT) return Err{InflateFailure::Truncated};
        if (status != ISAL_DECOMP_OK) return Err{InflateFailure::BadData};
        return std::size_t{room - state.avail_out};
    }
#endif
    z_stream& stream = zlib_->stream;
    if (inflateReset(&stream) != Z_OK) return Err{InflateFailure::BadData};
    stream.next_in = const_cast<Bytef*>(in.data());
    stream.avail_in = clamp32(in.size());
    stream.next_out = out.data();
    stream.avail_out = room;
    const int status = inflate(&stream, Z_FINISH);
    if (status == Z_STREAM_END) return std::size_t{room - stream.avail_out};
    // All input taken and no end: the stream ends before its final block.
    if (status == Z_BUF_ERROR && stream.avail_in == 0) return Err{InflateFailure::Truncated};
    return Err{InflateFailure::BadData};
}

std::uint32_t Inflater::crc32(std::uint32_t crc, std::span<const std::uint8_t> bytes) const noexcept {
#ifdef SEQTALLY_HAVE_ISAL
    if (isal_) return crc32_gzip_refl(crc, bytes.data(), bytes.size());
#endif
    // zlib takes a null buffer (an empty vector's) as a request for the
    // initial value, 0: that would restart a header's CRC after an empty field.
    if (bytes.empty()) return crc;
    return static_cast<std::uint32_t>(crc32_z(crc, bytes.data(), bytes.size()));
}

}  // namespace seqtally
