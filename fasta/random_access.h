#pragma once
// Reads bases at given positions of an indexed FASTA file: plain, or BGZF
// with its block index (.gzi). Only the bytes asked for are read, and for
// BGZF only the blocks that hold them, each checked against its CRC-32 and
// size, and against the index around it: where its neighbours in the index
// begin and how much they hold. The bytes read must be laid out as the .fai
// says (bases where it places bases, line ends between lines): an index that
// does not fit the file is an error, never other bases. What cannot be told
// without reading the whole file is in fuzz/README.md. Not for concurrent
// use: the caller serialises calls.
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "common/file.h"
#include "common/io_error.h"
#include "common/result.h"
#include "fasta/fai.h"

namespace seqtally {

// What a file's first bytes say of reading it at random: plain text, a BGZF
// block (read by its .gzi), or gzip that is not BGZF, which cannot be read
// so. Only the first member is looked at: a file that is BGZF up to some
// member is found out by the index pass, which reads every member.
enum class Layout : std::uint8_t { Plain, Bgzf, Gzip };
Result<Layout, IoError> layout_of(const File& file);

class RandomAccess {
  public:
    // `gzi`: the BGZF index's bytes, for a BGZF file; empty for a plain one.
    // A malformed index is an InvalidInput error (AccessFault::IndexMalformed).
    static Result<RandomAccess, IoError> open(File file, std::string_view gzi, bool bgzf);
    RandomAccess(RandomAccess&&) noexcept;
    RandomAccess& operator=(RandomAccess&&) noexcept;
    ~RandomAccess();

    // The bases [begin, end) of the record (nothing when end <= begin),
    // line ends left out, appended to `out`. Every error carries its
    // AccessFault: InvalidInput when the index is to blame, UnexpectedEof
    // when the file ends before the bases, InvalidData for a damaged block.
    // On an error `out` may hold some of the bases.
    Status<IoError> fetch(const RecordPlace& place, std::uint64_t begin, std::uint64_t end, std::string& out);

  private:
    struct Blocks;
    class BaseCopier;
    RandomAccess(File file, std::unique_ptr<Blocks> blocks);
    Status<IoError> read_plain(std::uint64_t offset, std::uint64_t size, BaseCopier& copier);
    Status<IoError> read_bgzf(std::uint64_t offset, std::uint64_t size, BaseCopier& copier);

    File file_;
    std::unique_ptr<Blocks> blocks_;  // null for a plain file
};

}  // namespace seqtally
