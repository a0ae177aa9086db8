#pragma once
// Raw DEFLATE (RFC 1951) inflation and the gzip CRC-32, by zlib or by ISA-L:
// the one place that knows either library. The gzip member reader streams
// through it; random access inflates whole BGZF blocks with it. Whether the
// build has ISA-L is decided by CMake (SEQTALLY_ISAL), and asked here only.
#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

#include "common/result.h"

namespace seqtally {

// Which library inflates. Both give the same bytes and fail on the same
// input; ISA-L (where the build has it) is several times faster.
enum class InflateLibrary { Zlib, Isal };

// Whether this build has ISA-L.
bool has_isal() noexcept;

// Why inflating failed: the data is not DEFLATE, or it ends before its
// final block does.
enum class InflateFailure { BadData, Truncated };

class Inflater {
  public:
    // At most this many bytes come back from a stream's end (see Step).
    static constexpr std::size_t kMaxOverread = 8;

    // InflateLibrary::Isal is zlib in a build without ISA-L. Throws
    // std::bad_alloc when zlib cannot get its memory.
    explicit Inflater(InflateLibrary library);
    ~Inflater();
    Inflater(const Inflater&) = delete;
    Inflater& operator=(const Inflater&) = delete;

    // The library that actually inflates.
    InflateLibrary library() const noexcept;

    struct Step {
        std::size_t consumed = 0;  // bytes of `in` taken
        std::size_t produced = 0;  // bytes written to the front of `out`
        bool ended = false;        // the stream's final block is complete
        // With `ended`: bytes that were taken (in this or an earlier step)
        // beyond the stream's end. They belong to whatever follows it and
        // must be read again from there.
        std::array<std::uint8_t, kMaxOverread> overread{};
        std::size_t overread_size = 0;
    };
    // One step of a stream, started after construction or reset(): as much
    // of `in` as fits into `out`. `last_input`: nothing follows `in`, so a
    // stream that is not complete by its end is truncated. No step follows
    // one that ended, until reset().
    Result<Step, InflateFailure> step(std::span<const std::uint8_t> in, std::span<std::uint8_t> out,
                                      bool last_input);
    // Ready for a new stream; false if the library could not restart.
    [[nodiscard]] bool reset() noexcept;

    // A whole stream that must end within `in` and decode into at most
    // out.size() bytes: its decoded size. A stream that needs more room is
    // BadData. Leaves no stream open: step() needs reset() after it.
    Result<std::size_t, InflateFailure> inflate_whole(std::span<const std::uint8_t> in, std::span<std::uint8_t> out);

    // The CRC-32 of gzip (RFC 1952) of `bytes`, continuing from `crc` (0 to
    // start), by the same library.
    std::uint32_t crc32(std::uint32_t crc, std::span<const std::uint8_t> bytes) const noexcept;

  private:
    struct Zlib;
    struct Isal;  // opaque: ISA-L's header stays in inflater.cpp
    std::unique_ptr<Zlib> zlib_;
    std::unique_ptr<Isal> isal_;
};

}  // namespace seqtally
