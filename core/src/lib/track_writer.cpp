#include "track_writer.h"

#include <exception>
#include <memory>
#include <vector>

#include "common/failure.h"
#include "core/src/lib/line_batch.h"
#include "core/src/lib/window_values.h"
#include "streams/gzip_member_writer.h"
#include "streams/output_stream.h"

namespace seqtally::core {
namespace {

// A record can take seconds to write, between two reads of input: the
// track's sink asks for a checkpoint before every write. What a checkpoint
// throws is kept, and that write and every later one fail instead: the
// stream may be writing from its destructor, where nothing may throw. The
// writer throws it again once the stream is out of the way.
class CheckpointSink final : public Sink {
  public:
    CheckpointSink(std::unique_ptr<Sink> inner, TrackEvents& events, std::exception_ptr& stopped)
        : inner_(std::move(inner)), events_(events), stopped_(stopped) {}
    Result<std::size_t, IoError> write(std::span<const std::uint8_t> bytes) override {
        if (!stopped_) {
            try {
                events_.checkpoint();
            } catch (...) {
                stopped_ = std::current_exception();
            }
        }
        if (stopped_) return Err{IoError::of_kind(ErrorKind::CheckpointFailed)};
        return inner_->write(bytes);
    }
    Status<IoError> flush() override { return inner_->flush(); }
    Status<IoError> release() override { return inner_->release(); }

  private:
    std::unique_ptr<Sink> inner_;
    TrackEvents& events_;
    std::exception_ptr& stopped_;
};

TrackError output_error(TrackError::Stage stage, TrackError::Output output, IoError io) {
    return TrackError{stage, output, std::nullopt, std::move(io)};
}

}  // namespace

Result<std::deque<RecordWindows>, RecordError> window_values(NamedRecords& records, std::uint64_t window,
                                                             bool omit_tail, const std::optional<CountRule>& count,
                                                             RecordEvents& events) {
    const WindowValues pass(window, count);
    const std::function<void()> checkpoint = [&] { events.checkpoint(); };
    std::deque<RecordWindows> all;
    auto read = for_each_record(records, [&](const NamedRecord& named) {
        RecordWindows& windows = all.emplace_back();
        windows.name = std::string(named.name);
        const WindowValues::Totals totals =
            pass.append(named.record, omit_tail, windows.values, windows.counts, &checkpoint, true);
        windows.length = totals.length;
        windows.lowercase = totals.lowercase;
        windows.values.shrink_to_fit();
        windows.counts.shrink_to_fit();
        events.record_done(windows.name, windows.length);
    });
    if (!read) return Err{std::move(read).error()};
    return all;
}

void append_chrom_sizes_line(std::string& out, std::string_view name, std::uint64_t length) {
    out += name;
    out += '\t';
    out += std::to_string(length);
    out += '\n';
}

std::unique_ptr<Sink> track_sink(File file, std::optional<std::uint32_t> gzip_level) {
    if (gzip_level) return std::make_unique<GzipMemberWriter>(std::move(file), *gzip_level);
    return std::make_unique<FileSink>(std::move(file));
}

Result<TrackTotals, TrackError> write_track(NamedRecords& records, std::unique_ptr<Sink> sink,
                                            std::optional<File> sizes_file, const TrackRequest& request,
                                            TrackEvents& events) {
    using Stage = TrackError::Stage;
    using Output = TrackError::Output;
    std::exception_ptr stopped;
    // Declaration order is release order in reverse: on a failure the
    // sizes go first, then the track.
    std::optional<OutputStream> track;
    track.emplace(std::make_unique<CheckpointSink>(std::move(sink), events, stopped));
    std::optional<OutputStream> sizes;
    if (sizes_file) sizes.emplace(std::make_unique<FileSink>(std::move(*sizes_file)));
    const auto rethrow_if_stopped = [&] {
        if (stopped) std::rethrow_exception(stopped);
    };
    const std::function<void()> checkpoint = [&] { events.checkpoint(); };

    TrackTotals totals;
    std::string line;
    try {
        if (request.form == TrackForm::Wiggle) {
            write_or_fail(*track, "track type=wiggle_0\n");
        } else if (request.track_line) {
            write_or_fail(*track, "track type=bedGraph\n");
        }
        TextTrack text = !request.count && request.form == TrackForm::Wiggle
                             ? TextTrack::module_wiggle(request.wiggle_window, request.omit_tail, *track)
                             : TextTrack(request.form, request.window, request.count, request.omit_tail, *track);
        for (;;) {
            auto next = records.next();
            if (!next) return Err{TrackError{Stage::Record, Output::Track, std::move(next).error()}};
            if (!next.value()) break;
            const NamedRecord& named = *next.value();
            events.record_started(named.name);
            const TextTrack::Totals section =
                text.section(named.name, named.record, request.count_lowercase, &checkpoint);
            if (request.count_lowercase) totals.lowercase += section.lowercase;
            const std::uint64_t length = section.length;
            totals.bases += length;
            ++totals.records;
            if (sizes) {
                line.clear();
                append_chrom_sizes_line(line, named.name, length);
                if (auto written = sizes->write_all(line); !written) {
                    return Err{output_error(Stage::Write, Output::Sizes, std::move(written).error())};
                }
            }
            events.record_done(named.name, length);
        }
    } catch (const WriteFailure& failure) {
        rethrow_if_stopped();
        return Err{output_error(Stage::Write, Output::Track, failure.error())};
    }
    if (auto flushed = track->flush(); !flushed) {
        rethrow_if_stopped();
        return Err{output_error(Stage::Close, Output::Track, std::move(flushed).error())};
    }
    if (sizes) {
        if (auto flushed = sizes->flush(); !flushed) {
            return Err{output_error(Stage::Close, Output::Sizes, std::move(flushed).error())};
        }
    }
    events.flushed(totals.records);
    // Finishing the gzip member and closing the files can still fail (a full
    // disk, a network file system); on this path that must not pass as success.
    if (sizes) {
        auto released = sizes->release();
        sizes.reset();
        if (!released) return Err{output_error(Stage::Close, Output::Sizes, std::move(released).error())};
    }
    auto released = track->release();
    track.reset();
    rethrow_if_stopped();
    if (!released) return Err{output_error(Stage::Close, Output::Track, std::move(released).error())};
    return totals;
}

}  // namespace seqtally::core
