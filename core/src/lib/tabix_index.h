#pragma once
// The tabix index of a bedGraph track, built from the track's bytes as they
// are written: byte for byte the index `tabix -p bed` builds for the BGZF
// file (`.tbi`), or `tabix -C -p bed` (`.csi`) once a line ends past 2^29,
// which a .tbi cannot hold. Memory grows with the bins and the 16 KiB
// windows of the track, not with its lines.
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <unordered_set>

#include "common/result.h"
#include "streams/bgzf_writer.h"

namespace seqtally::core {

enum class TabixForm : std::uint8_t { Tbi, Csi };

struct TabixProblem {
    enum class Kind : std::uint8_t {
        RepeatedName,  // a reference whose lines come after another's (tabix refuses it)
        Unsorted,      // a line begins before the one above it
        TooLong,       // a line ends past what a .csi of tabix's depth holds (2^32)
        Unparsable,    // not "name<TAB>begin<TAB>end..."
    };
    Kind kind;
    std::string name;   // the reference
    std::uint64_t line = 0;  // 1-based, in the track
};

class BinningIndex;

class TabixIndex {
  public:
    TabixIndex();
    ~TabixIndex();
    TabixIndex(const TabixIndex&) = delete;
    TabixIndex& operator=(const TabixIndex&) = delete;

    // The track's bytes in order, in pieces of any size. Lines starting with
    // '#' are skipped, as tabix skips them.
    Status<TabixProblem> scan(std::span<const std::uint8_t> bytes);

    // One data line, `line_start` and `line_end` being where it starts and
    // ends in the inflated track (what scan() calls for each line).
    Status<TabixProblem> add(std::string_view name, std::uint64_t begin, std::uint64_t end, std::uint64_t line_start,
                             std::uint64_t line_end);

    TabixForm form() const noexcept;

    // The index file, inflated: offsets made virtual by the track's data
    // blocks (file order) and `eof_block`, where its end-of-file block
    // starts: the offset tabix gives the end of the data.
    Result<std::string, TabixProblem> finish(std::span<const BgzfBlock> blocks, std::uint64_t eof_block);

  private:
    Status<TabixProblem> scan_line(std::string_view line, std::uint64_t line_start);

    std::unique_ptr<BinningIndex> tbi_;  // dropped once a line ends past 2^29
    std::unique_ptr<BinningIndex> csi_;
    std::string names_;  // each reference's name and a NUL, in order
    std::unordered_set<std::string> seen_;
    std::string current_;
    std::uint32_t references_ = 0;
    std::uint64_t scanned_ = 0;  // bytes of complete lines
    std::uint64_t lines_ = 0;
    std::string partial_;        // a line not yet ended
};

// "tbi" or "csi": what tabix names the index after.
std::string_view tabix_extension(TabixForm form) noexcept;

}  // namespace seqtally::core
