#pragma once
// A content-addressed folder of sequences, htslib's REF_CACHE layout: the
// bases of each record, uppercased and without line ends, in
// ROOT/MD5[0:2]/MD5[2:4]/MD5[4:]. htslib expands REF_CACHE=ROOT/%2s/%2s/%s
// by consuming the MD5 (two characters, two more, then the remaining 28),
// so the file's own name is the last 28 hex digits, not all 32. Readers
// find a file by the library's folder.sequence_path, the same rule. The
// digester hands over the uppercased blocks it digests, so a store is
// filled in the same read, with no second pass over the bases.
//
// A record goes into a temporary file in ROOT (named kTemporaryPrefix and a
// random part), locked with flock while it is written, and is linked to its
// MD5 name when it ends: a file of that name is kept as it is (same name,
// same bases), the temporary one removed. A process killed meanwhile leaves
// its temporary file unlocked; whoever cleans the folder (the library's
// Store, before it adds) takes the lock and removes it, and a writer that
// finds its file unlinked under the lock starts another.
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "common/file.h"
#include "common/io_error.h"
#include "common/result.h"
#include "core/src/lib/checksum.h"

namespace seqtally::core {

inline constexpr std::string_view kTemporaryPrefix = ".seqtally-tmp-";

class SequenceFolder final : public UppercaseSink {
  public:
    explicit SequenceFolder(std::string root) : root_(std::move(root)) {}
    ~SequenceFolder() override;
    SequenceFolder(const SequenceFolder&) = delete;
    SequenceFolder& operator=(const SequenceFolder&) = delete;

    // A temporary file for the next record.
    Status<IoError> begin();
    // The first failure is kept and reported by finish(); later bytes go nowhere.
    void append(std::span<const std::uint8_t> bytes) noexcept override;
    // The record's file under its name (md5: 32 lowercase hex digits), in
    // the layout above.
    Status<IoError> finish(std::string_view md5);

    const std::string& root() const noexcept { return root_; }

  private:
    void discard() noexcept;

    std::string root_;
    std::string temporary_;  // empty between records
    File file_ = File::adopt(-1);
    std::optional<IoError> failed_;
};

}  // namespace seqtally::core
