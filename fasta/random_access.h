#pragma once
// Reads bases at given positions of an indexed FASTA file: plain, or BGZF
// with its block index (.gzi). Only the bytes asked for are read, and for
// BGZF only the blocks that hold them, each checked against its CRC-32 and
// size. Not for concurrent use: the caller serialises calls.
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "common/file.h"
#include "common/io_error.h"
#include "common/result.h"

namespace seqtally {

// Where the bases of one record sit (the numbers of its .fai line).
struct RecordPlace {
    std::uint64_t offset = 0;
    std::uint64_t line_bases = 0;
    std::uint64_t line_bytes = 0;
};

class RandomAccess {
  public:
    // `gzi`: the BGZF index's bytes, for a BGZF file; empty for a plain one.
    // A malformed index is an InvalidData error.
    static Result<RandomAccess, IoError> open(File file, std::string_view gzi, bool bgzf);
    RandomAccess(RandomAccess&&) noexcept;
    RandomAccess& operator=(RandomAccess&&) noexcept;
    ~RandomAccess();

    // The bases [begin, end) of the record (begin < end, end at most its
    // length), line ends left out, appended to `out`.
    Status<IoError> fetch(const RecordPlace& place, std::uint64_t begin, std::uint64_t end, std::string& out);

  private:
    struct Blocks;
    RandomAccess(File file, std::unique_ptr<Blocks> blocks);
    Status<IoError> read_plain(std::uint64_t offset, std::uint64_t size, std::string& out);
    Status<IoError> read_bgzf(std::uint64_t offset, std::uint64_t size, std::string& out);

    File file_;
    std::unique_ptr<Blocks> blocks_;  // null for a plain file
};

}  // namespace seqtally
