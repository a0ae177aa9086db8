#include "random_access.h"

#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <new>

#ifdef SEQTALLY_HAVE_ISAL
#include <isa-l/crc.h>
#include <isa-l/igzip_lib.h>
#endif

namespace seqtally {
namespace {

constexpr std::size_t kMaxBlock = 65536;
// Recently inflated blocks kept: neighbouring fetches (a region list sorted
// by position, a long region read in pieces) inflate each block once.
constexpr std::size_t kCachedBlocks = 8;

// A damaged block is InvalidData; an index that does not fit the file is
// InvalidInput.
IoError invalid(const std::string& what) { return IoError::custom(ErrorKind::InvalidData, what); }
IoError bad_index(const std::string& what) { return IoError::custom(ErrorKind::InvalidInput, what); }

std::uint64_t little_endian(const std::uint8_t* bytes, int count) noexcept {
    std::uint64_t value = 0;
    for (int i = count - 1; i >= 0; --i) value = value << 8 | bytes[i];
    return value;
}

// pread(2) of exactly `size` bytes, or an error (UnexpectedEof when the file
// is shorter).
Status<IoError> read_at(int fd, std::uint64_t offset, std::uint8_t* into, std::size_t size) {
    while (size > 0) {
        const ssize_t got = ::pread(fd, into, size, static_cast<off_t>(offset));
        if (got < 0) {
            if (errno == EINTR) continue;
            return Err{IoError::os(errno)};
        }
        if (got == 0) return Err{IoError::of_kind(ErrorKind::UnexpectedEof)};
        into += got;
        size -= static_cast<std::size_t>(got);
        offset += static_cast<std::uint64_t>(got);
    }
    return Ok{};
}

bool printable(std::uint8_t c) noexcept { return static_cast<unsigned>(c) - 0x21u < 0x5Eu; }

void append_bases(std::string& out, const std::uint8_t* from, std::size_t size) {
    const std::size_t at = out.size();
    out.resize(at + size);
    char* to = out.data() + at;
    for (std::size_t i = 0; i < size; ++i) {
        *to = static_cast<char>(from[i]);
        to += printable(from[i]);
    }
    out.resize(static_cast<std::size_t>(to - out.data()));
}

}  // namespace

struct RandomAccess::Blocks {
    struct Start {
        std::uint64_t compressed;
        std::uint64_t uncompressed;
    };
    struct Cached {
        std::uint64_t compressed = UINT64_MAX;
        std::size_t size = 0;
        std::array<std::uint8_t, kMaxBlock> bytes;
    };
    std::vector<Start> starts;  // from (0, 0) on, uncompressed offsets rising
    std::vector<std::unique_ptr<Cached>> cache;  // most recent first
    std::array<std::uint8_t, kMaxBlock + 1> compressed;
    z_stream zlib{};
    bool zlib_ready = false;
#ifdef SEQTALLY_HAVE_ISAL
    inflate_state isal{};
#endif

    ~Blocks() {
        if (zlib_ready) inflateEnd(&zlib);
    }

    // The raw DEFLATE data into `out` (at most kMaxBlock bytes): its size.
    Result<std::size_t, IoError> inflate(std::span<const std::uint8_t> data, std::uint8_t* out) {
#ifdef SEQTALLY_HAVE_ISAL
        isal_inflate_init(&isal);
        isal.next_in = const_cast<std::uint8_t*>(data.data());
        isal.avail_in = static_cast<std::uint32_t>(data.size());
        isal.next_out = out;
        isal.avail_out = kMaxBlock;
        isal.crc_flag = ISAL_DEFLATE;
        if (isal_inflate_stateless(&isal) != ISAL_DECOMP_OK) return Err{invalid("damaged BGZF block")};
        return kMaxBlock - isal.avail_out;
#else
        if (!zlib_ready) {
            const int status = inflateInit2(&zlib, -15);
            if (status == Z_MEM_ERROR) throw std::bad_alloc();
            if (status != Z_OK) return Err{invalid("could not start the gzip decoder")};
            zlib_ready = true;
        } else {
            inflateReset(&zlib);
        }
        zlib.next_in = const_cast<Bytef*>(data.data());
        zlib.avail_in = static_cast<uInt>(data.size());
        zlib.next_out = out;
        zlib.avail_out = kMaxBlock;
        if (inflate(&zlib, Z_FINISH) != Z_STREAM_END) return Err{invalid("damaged BGZF block")};
        return kMaxBlock - zlib.avail_out;
#endif
    }

    static std::uint32_t crc_of(const std::uint8_t* bytes, std::size_t size) noexcept {
#ifdef SEQTALLY_HAVE_ISAL
        return crc32_gzip_refl(0, const_cast<std::uint8_t*>(bytes), size);
#else
        return static_cast<std::uint32_t>(crc32_z(crc32(0L, Z_NULL, 0), bytes, size));
#endif
    }

    // The block that starts at `offset` of the file, inflated and checked.
    Result<const Cached*, IoError> block_at(int fd, std::uint64_t offset) {
        for (std::size_t i = 0; i < cache.size(); ++i) {
            if (cache[i]->compressed == offset) {
                std::rotate(cache.begin(), cache.begin() + static_cast<std::ptrdiff_t>(i),
                            cache.begin() + static_cast<std::ptrdiff_t>(i) + 1);
                return cache.front().get();
            }
        }
        std::uint8_t* const header = compressed.data();
        if (auto read = read_at(fd, offset, header, 18); !read) return Err{std::move(read).error()};
        // gzip with FEXTRA, whose first subfield is BGZF's BC with the
        // block's size less one.
        if (header[0] != 0x1F || header[1] != 0x8B || header[2] != 8 || (header[3] & 4) == 0 ||
            little_endian(header + 10, 2) != 6 || header[12] != 'B' || header[13] != 'C' ||
            little_endian(header + 14, 2) != 2) {
            return Err{invalid("not a BGZF block at byte " + std::to_string(offset) +
                               " (the file or its .gzi index is damaged, or the file is not BGZF)")};
        }
        const std::size_t size = little_endian(header + 16, 2) + 1;
        if (size < 18 + 8) return Err{invalid("damaged BGZF block at byte " + std::to_string(offset))};
        if (auto read = read_at(fd, offset + 18, header + 18, size - 18); !read) return Err{std::move(read).error()};
        if (cache.size() < kCachedBlocks) cache.push_back(std::make_unique<Cached>());
        std::rotate(cache.begin(), cache.end() - 1, cache.end());
        Cached& slot = *cache.front();
        slot.compressed = UINT64_MAX;
        auto inflated = inflate(std::span<const std::uint8_t>(header + 18, size - 26), slot.bytes.data());
        if (!inflated) return Err{std::move(inflated).error()};
        const std::uint8_t* trailer = header + size - 8;
        if (little_endian(trailer + 4, 4) != inflated.value() ||
            little_endian(trailer, 4) != crc_of(slot.bytes.data(), inflated.value())) {
            return Err{invalid("BGZF block at byte " + std::to_string(offset) + " does not match its checksum")};
        }
        slot.compressed = offset;
        slot.size = inflated.value();
        return &slot;
    }
};

Result<RandomAccess, IoError> RandomAccess::open(File file, std::string_view gzi, bool bgzf) {
    if (!bgzf) return RandomAccess(std::move(file), nullptr);
    auto blocks = std::make_unique<Blocks>();
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(gzi.data());
    if (gzi.size() < 8 || (gzi.size() - 8) % 16 != 0 || little_endian(bytes, 8) != (gzi.size() - 8) / 16) {
        return Err{bad_index("malformed .gzi index")};
    }
    blocks->starts.push_back({0, 0});
    for (std::size_t at = 8; at < gzi.size(); at += 16) {
        const Blocks::Start start{little_endian(bytes + at, 8), little_endian(bytes + at + 8, 8)};
        const Blocks::Start& before = blocks->starts.back();
        if (start.compressed <= before.compressed || start.uncompressed <= before.uncompressed ||
            start.uncompressed - before.uncompressed > kMaxBlock) {
            return Err{bad_index("malformed .gzi index")};
        }
        blocks->starts.push_back(start);
    }
    return RandomAccess(std::move(file), std::move(blocks));
}

RandomAccess::RandomAccess(File file, std::unique_ptr<Blocks> blocks)
    : file_(std::move(file)), blocks_(std::move(blocks)) {}
RandomAccess::RandomAccess(RandomAccess&&) noexcept = default;
RandomAccess& RandomAccess::operator=(RandomAccess&&) noexcept = default;
RandomAccess::~RandomAccess() = default;

Status<IoError> RandomAccess::fetch(const RecordPlace& place, std::uint64_t begin, std::uint64_t end,
                                    std::string& out) {
    const auto byte_of = [&place](std::uint64_t base) {
        return place.offset + base / place.line_bases * place.line_bytes + base % place.line_bases;
    };
    const std::uint64_t from = byte_of(begin);
    const std::uint64_t size = byte_of(end - 1) + 1 - from;
    out.reserve(out.size() + (end - begin));
    return blocks_ ? read_bgzf(from, size, out) : read_plain(from, size, out);
}

Status<IoError> RandomAccess::read_plain(std::uint64_t offset, std::uint64_t size, std::string& out) {
    std::array<std::uint8_t, 65536> chunk;
    while (size > 0) {
        const std::size_t take = static_cast<std::size_t>(std::min<std::uint64_t>(size, chunk.size()));
        if (auto read = read_at(file_.fd(), offset, chunk.data(), take); !read) return read;
        append_bases(out, chunk.data(), take);
        offset += take;
        size -= take;
    }
    return Ok{};
}

Status<IoError> RandomAccess::read_bgzf(std::uint64_t offset, std::uint64_t size, std::string& out) {
    const auto& starts = blocks_->starts;
    auto at = std::upper_bound(starts.begin(), starts.end(), offset,
                               [](std::uint64_t value, const Blocks::Start& start) { return value < start.uncompressed; });
    std::size_t index = static_cast<std::size_t>(at - starts.begin()) - 1;
    while (size > 0) {
        if (index >= starts.size()) return Err{IoError::of_kind(ErrorKind::UnexpectedEof)};
        auto block = blocks_->block_at(file_.fd(), starts[index].compressed);
        if (!block) return Err{std::move(block).error()};
        const std::uint64_t within = offset - starts[index].uncompressed;
        const std::uint64_t expected =
            index + 1 < starts.size() ? starts[index + 1].uncompressed - starts[index].uncompressed : block.value()->size;
        if (block.value()->size != expected) return Err{bad_index("the .gzi index does not match the BGZF file")};
        if (within >= block.value()->size) {
            if (index + 1 < starts.size()) return Err{bad_index("the .gzi index does not match the BGZF file")};
            return Err{IoError::of_kind(ErrorKind::UnexpectedEof)};
        }
        const std::size_t take = static_cast<std::size_t>(std::min<std::uint64_t>(size, block.value()->size - within));
        append_bases(out, block.value()->bytes.data() + within, take);
        offset += take;
        size -= take;
        ++index;
    }
    return Ok{};
}

}  // namespace seqtally
