#pragma once
// The library's gzip track: BGZF, compressed on every core, still one valid
// gzip stream to every reader; with an index file, a bedGraph track's tabix
// index built from the same bytes as they go by and written when the track
// is complete. The module keeps its one plain gzip member (track_sink).
#include <memory>
#include <optional>

#include "common/file.h"
#include "core/src/lib/tabix_index.h"
#include "streams/bgzf_writer.h"

namespace seqtally::core {

class BgzfTrackSink final : public Sink {
  public:
    struct Outcome {
        std::optional<TabixForm> form;  // once released: a .tbi or a .csi
        bool index_failed = false;      // the failure was the index file's
    };
    // level: 0-9; `index`: where the index goes (nothing without it).
    BgzfTrackSink(File track, std::optional<File> index, int level, Outcome& outcome);

    Result<std::size_t, IoError> write(std::span<const std::uint8_t> bytes) override;
    Status<IoError> flush() override { return writer_.flush(); }
    // The track first, then its index: an index is only ever made of a
    // complete track.
    Status<IoError> release() override;

  private:
    BgzfWriter writer_;
    std::optional<File> index_file_;
    std::unique_ptr<TabixIndex> index_;
    Outcome& outcome_;
};

}  // namespace seqtally::core
