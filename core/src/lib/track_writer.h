#pragma once
// The one writer of a G/C track and its chrom.sizes file, for the module
// and the library alike: which sink the track gets (a plain file or one gzip
// member), the formats, the order in which the outputs are finished and
// released, and what a failure says of which output. Callers open the files
// and word the failures.
#include <cstdint>
#include <deque>
#include <memory>
#include <vector>
#include <optional>
#include <string>
#include <string_view>

#include "common/file.h"
#include "common/io_error.h"
#include "common/result.h"
#include "core/src/lib/named_records.h"
#include "core/src/lib/text_track.h"
#include "core/src/lib/window_yields.h"
#include "streams/sink.h"

namespace seqtally::core {

struct TrackRequest {
    TrackForm form = TrackForm::Wiggle;
    // The module's wiggle pass takes any window (0 or less: one window per
    // record); bedGraph and the counts need `window` >= 1.
    std::int32_t wiggle_window = 0;
    std::uint64_t window = 0;
    bool omit_tail = false;
    bool track_line = false;  // bedGraph: "track type=bedGraph" first
    std::optional<CountRule> count;  // none: the module's count
    bool count_lowercase = false;
};

// What the writer tells its caller on the way, beside RecordEvents (whose
// checkpoint also comes before each write of the track). Any of them may
// throw to end the write: the outputs are then released quietly and the
// exception goes on as it is.
class TrackEvents : public RecordEvents {
  public:
    virtual void record_started(std::string_view /*name*/) {}
    // Both outputs are flushed; neither is released yet.
    virtual void flushed(std::uint64_t /*records*/) {}
};

struct TrackTotals {
    std::uint64_t records = 0;
    std::uint64_t bases = 0;
    std::uint64_t lowercase = 0;  // with count_lowercase
};

struct TrackError {
    enum class Stage : std::uint8_t {
        Record,  // a record could not be read or named: `record`
        Write,   // writing an output failed
        Close,   // flushing, finishing the gzip member or closing failed
    };
    enum class Output : std::uint8_t { Track, Sizes };
    Stage stage;
    Output output = Output::Track;
    std::optional<RecordError> record;
    IoError io = IoError::of_kind(ErrorKind::Other);
};

// The track's sink: the file itself, or one gzip member at `gzip_level`
// written into it. Made as soon as the file is, so that a failure before the
// first record still leaves a complete (empty) gzip member.
std::unique_ptr<Sink> track_sink(File file, std::optional<std::uint32_t> gzip_level);

// Reads every record and writes the track to `track` and, when given, the
// chrom.sizes lines to `sizes`. On failure the sizes go first, then the
// track; the caller's reader goes after both.
Result<TrackTotals, TrackError> write_track(NamedRecords& records, std::unique_ptr<Sink> track,
                                            std::optional<File> sizes, const TrackRequest& request,
                                            TrackEvents& events);

// The values of every record's windows, for a bigWig track: the module's
// count one byte per window (0 to 100), a CountRule's one int16 per window
// (kNoValue where none). Each record's vectors are no larger than they need.
struct RecordWindows {
    std::string name;
    std::uint64_t length = 0;
    std::uint64_t lowercase = 0;
    std::vector<std::uint8_t> values;
    std::vector<std::int16_t> counts;
};
Result<std::deque<RecordWindows>, RecordError> window_values(NamedRecords& records, std::uint64_t window,
                                                             bool omit_tail, const std::optional<CountRule>& count,
                                                             RecordEvents& events);

// "name<TAB>length\n": the one place a chrom.sizes line is made.
void append_chrom_sizes_line(std::string& out, std::string_view name, std::uint64_t length);

}  // namespace seqtally::core
