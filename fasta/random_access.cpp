#include "random_access.h"

#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <limits>
#include <optional>
#include <vector>

#include "fasta/inflater.h"
#include "fasta/input.h"

namespace seqtally {
namespace {

constexpr std::size_t kMaxBlock = 65536;
constexpr std::size_t kBlockHeader = 18;
constexpr std::size_t kBlockTrailer = 8;
// Recently inflated blocks kept: neighbouring fetches (a region list sorted
// by position, a long region read in pieces) inflate each block once.
constexpr std::size_t kCachedBlocks = 8;
// A damaged .fai may claim any length: room is made for at most this much
// at once, and the rest as the bases arrive.
constexpr std::uint64_t kReserveLimit = 1 << 24;

// A damaged block is InvalidData; an index that does not fit the file is
// InvalidInput; a file shorter than its index says is UnexpectedEof.
IoError damaged(AccessFault fault, const std::string& what) {
    return IoError::custom(ErrorKind::InvalidData, what).with(fault);
}
IoError bad_index(AccessFault fault, const std::string& what) {
    return IoError::custom(ErrorKind::InvalidInput, what).with(fault);
}
IoError too_short() { return IoError::of_kind(ErrorKind::UnexpectedEof).with(AccessFault::FileTooShort); }
IoError gzi_mismatch(std::uint64_t offset) {
    return bad_index(AccessFault::IndexMismatch, "the .gzi index does not match the BGZF file (at the block at byte " +
                                                     std::to_string(offset) + ")");
}

std::uint64_t little_endian(const std::uint8_t* bytes, int count) noexcept {
    std::uint64_t value = 0;
    for (int i = count - 1; i >= 0; --i) value = value << 8 | bytes[i];
    return value;
}

// `header`: kBlockHeader bytes. gzip with FEXTRA, whose first subfield is
// BGZF's BC with the block's size less one.
bool is_bgzf_header(const std::uint8_t* header) noexcept {
    return header[0] == 0x1F && header[1] == 0x8B && header[2] == 8 && (header[3] & 4) != 0 &&
           little_endian(header + 10, 2) == 6 && header[12] == 'B' && header[13] == 'C' &&
           little_endian(header + 14, 2) == 2;
}

// pread(2) of up to `size` bytes, fewer only where the file ends: how many.
Result<std::size_t, IoError> read_up_to(int fd, std::uint64_t offset, std::uint8_t* into, std::size_t size) {
    std::size_t got = 0;
    while (got < size) {
        if (offset > static_cast<std::uint64_t>(std::numeric_limits<off_t>::max())) break;
        const ssize_t count = ::pread(fd, into + got, size - got, static_cast<off_t>(offset));
        if (count < 0) {
            if (errno == EINTR) continue;
            return Err{IoError::os(errno)};
        }
        if (count == 0) break;
        got += static_cast<std::size_t>(count);
        offset += static_cast<std::uint64_t>(count);
    }
    return got;
}

// pread(2) of exactly `size` bytes, or an error (UnexpectedEof when the file
// is shorter).
Status<IoError> read_at(int fd, std::uint64_t offset, std::uint8_t* into, std::size_t size) {
    auto read = read_up_to(fd, offset, into, size);
    if (!read) return Err{std::move(read).error()};
    if (read.value() < size) return Err{too_short()};
    return Ok{};
}

// Whether a byte is "!" to "~": what samtools counts as a base.
bool is_base(std::uint8_t c) noexcept { return static_cast<std::uint8_t>(c - 0x21) < 0x5E; }

}  // namespace

// Appends the bytes of a record's span that the .fai calls bases, checking
// that they are bases and that the bytes between them are line ends: a line
// end (or the next record's header) where bases should be, or bases where a
// line should end, say that the .fai was made for another file.
class RandomAccess::BaseCopier {
  public:
    BaseCopier(const RecordPlace& place, std::uint64_t first_column, std::uint64_t first_byte, std::string& out)
        : place_(place), column_(first_column), at_(first_byte), out_(out) {}

    Status<IoError> take(const std::uint8_t* bytes, std::size_t size) {
        while (size > 0) {
            const bool bases = column_ < place_.line_bases;
            const std::uint64_t left = (bases ? place_.line_bases : place_.line_bytes) - column_;
            const auto run = static_cast<std::size_t>(std::min<std::uint64_t>(left, size));
            // One pass with no early exit: it vectorises.
            unsigned wrong = 0;
            for (std::size_t i = 0; i < run; ++i) wrong |= is_base(bytes[i]) != bases;
            if (bases && column_ == 0 && bytes[0] == '>') wrong = 1;
            if (wrong != 0) {
                return Err{bad_index(AccessFault::IndexMismatch,
                                     "the bytes from " + std::to_string(at_) + " on are not laid out as the .fai " +
                                         "index says (" + (bases ? "no base" : "no line end") +
                                         " where it places one): is the index older than the file?")};
            }
            if (bases) out_.append(reinterpret_cast<const char*>(bytes), run);
            column_ = column_ + run == place_.line_bytes ? 0 : column_ + run;
            at_ += run;
            bytes += run;
            size -= run;
        }
        return Ok{};
    }

  private:
    const RecordPlace& place_;
    std::uint64_t column_;  // of the next byte in its line
    std::uint64_t at_;      // its offset, in the decoded file
    std::string& out_;
};

struct RandomAccess::Blocks {
    struct Start {
        std::uint64_t compressed;
        std::uint64_t uncompressed;
    };
    struct Cached {
        std::size_t start = SIZE_MAX;  // index into starts
        std::size_t size = 0;
        std::array<std::uint8_t, kMaxBlock> bytes;
    };
    // A block that holds data: where it starts, its whole size and the
    // length its trailer gives.
    struct Found {
        std::uint64_t offset;
        std::size_t size;
        std::uint32_t length;
    };

    int fd = -1;
    std::vector<Start> starts;  // from (0, 0) on, both offsets rising
    std::vector<bool> link_checked;  // per start: its block and the way to the next start were checked
    std::vector<std::unique_ptr<Cached>> cache;  // most recent first
    // The block last read whole, at `compressed_block.offset` (none before
    // the first read): its checks and inflation take no further reads.
    std::array<std::uint8_t, kMaxBlock> compressed;
    std::optional<Found> compressed_block;
    Inflater inflater{InflateLibrary::Isal};

    // The block that starts at `offset`, read whole into `compressed`: its
    // size, from its header, and the length its trailer gives. One read:
    // a block is at most kMaxBlock bytes.
    Result<Found, IoError> block_at(std::uint64_t offset) {
        if (compressed_block && compressed_block->offset == offset) return *compressed_block;
        compressed_block.reset();
        auto read = read_up_to(fd, offset, compressed.data(), compressed.size());
        if (!read) return Err{std::move(read).error()};
        if (read.value() < kBlockHeader) return Err{too_short()};
        const std::uint8_t* header = compressed.data();
        if (!is_bgzf_header(header)) {
            return Err{damaged(AccessFault::BlockDamaged,
                               "not a BGZF block at byte " + std::to_string(offset) +
                                   " (the file or its .gzi index is damaged, or the file is not BGZF)")};
        }
        const std::size_t size = little_endian(header + 16, 2) + 1;
        if (size < kBlockHeader + kBlockTrailer) {
            return Err{damaged(AccessFault::BlockDamaged, "damaged BGZF block at byte " + std::to_string(offset))};
        }
        if (read.value() < size) return Err{too_short()};
        compressed_block = Found{offset, size, static_cast<std::uint32_t>(little_endian(header + size - 4, 4))};
        return *compressed_block;
    }

    // The first block from `offset` on that holds data: BGZF allows empty
    // blocks anywhere (a file of two concatenated ones has the first one's
    // end-of-file block in the middle), and a .gzi does not list them.
    Result<Found, IoError> data_block_from(std::uint64_t offset) {
        for (;;) {
            auto found = block_at(offset);
            if (!found || found.value().length > 0) return found;
            offset += found.value().size;
        }
    }

    // Start i's data block holds exactly the bytes up to start i + 1, and
    // only empty blocks lie between its end and where start i + 1 says the
    // next one begins. Checked on both sides of every block read, this
    // catches an entry moved to another block, which the block's own checks
    // may not see (bgzip's blocks all hold the same number of bytes).
    Status<IoError> check_link(std::size_t i) {
        if (i + 1 >= starts.size() || link_checked[i]) return Ok{};
        const Start& from = starts[i];
        const Start& to = starts[i + 1];
        auto found = data_block_from(from.compressed);
        if (!found) return Err{std::move(found).error()};
        if (found.value().length != to.uncompressed - from.uncompressed) return Err{gzi_mismatch(found.value().offset)};
        std::uint64_t at = found.value().offset + found.value().size;
        while (at < to.compressed) {
            auto between = block_at(at);
            if (!between) return Err{std::move(between).error()};
            if (between.value().length > 0) return Err{gzi_mismatch(at)};
            at += between.value().size;
        }
        if (at != to.compressed) return Err{gzi_mismatch(found.value().offset)};
        link_checked[i] = true;
        return Ok{};
    }

    // The data of start i, inflated and checked.
    Result<const Cached*, IoError> block(std::size_t i) {
        for (std::size_t c = 0; c < cache.size(); ++c) {
            if (cache[c]->start == i) {
                std::rotate(cache.begin(), cache.begin() + static_cast<std::ptrdiff_t>(c),
                            cache.begin() + static_cast<std::ptrdiff_t>(c) + 1);
                return cache.front().get();
            }
        }
        auto found = data_block_from(starts[i].compressed);
        if (!found) return Err{std::move(found).error()};
        const auto [offset, size, stored] = found.value();
        if (cache.size() < kCachedBlocks) cache.push_back(std::make_unique<Cached>());
        std::rotate(cache.begin(), cache.end() - 1, cache.end());
        Cached& slot = *cache.front();
        slot.start = SIZE_MAX;
        auto inflated = inflater.inflate_whole(
            std::span<const std::uint8_t>(compressed.data() + kBlockHeader, size - kBlockHeader - kBlockTrailer),
            slot.bytes);
        if (!inflated) {
            return Err{damaged(AccessFault::BlockDamaged, "damaged BGZF block at byte " + std::to_string(offset))};
        }
        const std::uint8_t* trailer = compressed.data() + size - kBlockTrailer;
        if (stored != inflated.value() ||
            little_endian(trailer, 4) != inflater.crc32(0, std::span(slot.bytes.data(), inflated.value()))) {
            return Err{damaged(AccessFault::BlockChecksum,
                               "BGZF block at byte " + std::to_string(offset) + " does not match its checksum")};
        }
        if (auto next = check_link(i); !next) return Err{std::move(next).error()};
        if (i > 0) {
            if (auto before = check_link(i - 1); !before) return Err{std::move(before).error()};
        }
        slot.start = i;
        slot.size = inflated.value();
        return &slot;
    }
};

Result<Layout, IoError> layout_of(const File& file) {
    std::array<std::uint8_t, kBlockHeader> head{};
    auto read = read_up_to(file.fd(), 0, head.data(), head.size());
    if (!read) return Err{std::move(read).error()};
    if (compression_of(std::span<const std::uint8_t>(head.data(), read.value())) != Compression::Gzip) {
        return Layout::Plain;
    }
    return read.value() == kBlockHeader && is_bgzf_header(head.data()) ? Layout::Bgzf : Layout::Gzip;
}

Result<RandomAccess, IoError> RandomAccess::open(File file, std::string_view gzi, bool bgzf) {
    if (!bgzf) return RandomAccess(std::move(file), nullptr);
    auto blocks = std::make_unique<Blocks>();
    blocks->fd = file.fd();
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(gzi.data());
    const IoError malformed = bad_index(AccessFault::IndexMalformed, "malformed .gzi index");
    if (gzi.size() < 8 || (gzi.size() - 8) % 16 != 0 || little_endian(bytes, 8) != (gzi.size() - 8) / 16) {
        return Err{malformed};
    }
    blocks->starts.push_back({0, 0});
    for (std::size_t at = 8; at < gzi.size(); at += 16) {
        const Blocks::Start start{little_endian(bytes + at, 8), little_endian(bytes + at + 8, 8)};
        const Blocks::Start& before = blocks->starts.back();
        if (start.compressed <= before.compressed || start.uncompressed <= before.uncompressed ||
            start.uncompressed - before.uncompressed > kMaxBlock) {
            return Err{malformed};
        }
        blocks->starts.push_back(start);
    }
    blocks->link_checked.assign(blocks->starts.size(), false);
    return RandomAccess(std::move(file), std::move(blocks));
}

RandomAccess::RandomAccess(File file, std::unique_ptr<Blocks> blocks)
    : file_(std::move(file)), blocks_(std::move(blocks)) {}
RandomAccess::RandomAccess(RandomAccess&&) noexcept = default;
RandomAccess& RandomAccess::operator=(RandomAccess&&) noexcept = default;
RandomAccess::~RandomAccess() = default;

Status<IoError> RandomAccess::fetch(const RecordPlace& place, std::uint64_t begin, std::uint64_t end,
                                    std::string& out) {
    if (end <= begin) return Ok{};
    if (place.line_bases == 0 || place.line_bytes < place.line_bases) {
        return Err{bad_index(AccessFault::IndexMalformed, "a .fai line places bases on lines that cannot hold them")};
    }
    // Where a base lies in the decoded file; nothing past what a file can hold.
    const auto byte_of = [&place](std::uint64_t base, std::uint64_t& byte) {
        return !__builtin_mul_overflow(base / place.line_bases, place.line_bytes, &byte) &&
               !__builtin_add_overflow(byte, place.offset, &byte) &&
               !__builtin_add_overflow(byte, base % place.line_bases, &byte) &&
               byte < static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());
    };
    std::uint64_t from = 0;
    std::uint64_t last = 0;
    if (!byte_of(begin, from) || !byte_of(end - 1, last)) return Err{too_short()};
    out.reserve(out.size() + std::min(end - begin, kReserveLimit));
    BaseCopier copier(place, begin % place.line_bases, from, out);
    return blocks_ ? read_bgzf(from, last + 1 - from, copier) : read_plain(from, last + 1 - from, copier);
}

Status<IoError> RandomAccess::read_plain(std::uint64_t offset, std::uint64_t size, BaseCopier& copier) {
    std::array<std::uint8_t, 65536> chunk;
    while (size > 0) {
        const std::size_t take = static_cast<std::size_t>(std::min<std::uint64_t>(size, chunk.size()));
        if (auto read = read_at(file_.fd(), offset, chunk.data(), take); !read) return read;
        if (auto copied = copier.take(chunk.data(), take); !copied) return copied;
        offset += take;
        size -= take;
    }
    return Ok{};
}

Status<IoError> RandomAccess::read_bgzf(std::uint64_t offset, std::uint64_t size, BaseCopier& copier) {
    const auto& starts = blocks_->starts;
    auto at = std::upper_bound(starts.begin(), starts.end(), offset,
                               [](std::uint64_t value, const Blocks::Start& start) { return value < start.uncompressed; });
    for (std::size_t index = static_cast<std::size_t>(at - starts.begin()) - 1; size > 0; ++index) {
        if (index >= starts.size()) return Err{too_short()};
        auto block = blocks_->block(index);
        if (!block) return Err{std::move(block).error()};
        const std::uint64_t within = offset - starts[index].uncompressed;
        // Every start but the last was checked to hold exactly the bytes up
        // to the next: only the last block can end before the bases do.
        if (within >= block.value()->size) return Err{too_short()};
        const std::size_t take = static_cast<std::size_t>(std::min<std::uint64_t>(size, block.value()->size - within));
        if (auto copied = copier.take(block.value()->bytes.data() + within, take); !copied) return copied;
        offset += take;
        size -= take;
    }
    return Ok{};
}

}  // namespace seqtally
