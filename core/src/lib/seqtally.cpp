#include "seqtally.h"

#include <memory>
#include <optional>

#include "common/failure.h"
#include "common/progress.h"
#include "common/quoted.h"
#include "core/src/lib/track_writer.h"
#include "core/src/lib/text_track.h"
#include "fasta/gzip_member_reader.h"

namespace seqtally::core {
namespace {

IoError same_file(const char* what) { return IoError::custom(ErrorKind::InvalidInput, what); }

}  // namespace

std::uint64_t write_gc_section(std::string_view identifier, const fasta::RecordView& record,
                               std::int32_t window_size, bool omit_tail, OutputStream& out) {
    return TextTrack::module_wiggle(window_size, omit_tail, out).section(identifier, record).length;
}

namespace {

// The module's words for what the track writer reports.
class ModuleTrackEvents final : public TrackEvents {
  public:
    explicit ModuleTrackEvents(bool verbose) : verbose_(verbose) {}
    void record_started(std::string_view name) override {
        if (verbose_) write_processing_region(name);
    }
    void record_done(std::string_view, std::uint64_t) override {
        if (verbose_) write_progress("done\n");
    }
    void flushed(std::uint64_t records) override {
        if (verbose_) write_progress("==> Found and processed " + std::to_string(records) + " regions.\n");
    }

  private:
    bool verbose_;
};

[[noreturn]] void fail_track(const TrackError& error) {
    if (error.stage == TrackError::Stage::Record) {
        const RecordError& record = *error.record;
        if (record.kind == RecordError::Kind::Read) fail("Error reading record", record.read.text());
        fail(kUnwrapFailed, record.utf8.text());
    }
    if (error.stage == TrackError::Stage::Write) throw WriteFailure(error.io, SourceLocation::current());
    fail(error.output == TrackError::Output::Sizes ? "Could not close chrom sizes stream"
                                                   : "Could not close wig output file",
         error.io.text());
}

}  // namespace

void write_gc_to_file(std::string input, std::string output, std::uint32_t compression_level,
                      std::int32_t window_size, bool omit_tail, std::string chrom_sizes_path,
                      bool write_chrom_sizes, bool verbose) {
    auto opened = File::open_read(input);
    if (!opened) fail(kUnwrapFailed, opened.error().text());
    const auto input_identity = opened.value().identity();
    std::unique_ptr<ByteSource> source;
    if (has_gz_extension(input)) {
        source = std::make_unique<GzipMemberReader>(std::move(opened).value());
    } else {
        source = std::make_unique<FileSource>(std::move(opened).value());
    }
    NamedRecords records(std::move(source), NameRule::Header);

    // Creating truncates: an output that is the input file itself would
    // destroy the input before it is read and pass as a success.
    if (input_identity && identity_of(output) == input_identity) {
        fail("creation failed", same_file("output file is the input file").text());
    }
    auto created = File::create(output);
    if (!created) fail("creation failed", created.error().text());
    const auto output_identity = created.value().identity();
    std::unique_ptr<Sink> wig = track_sink(std::move(created).value(), has_gz_extension(output)
                                                                          ? std::optional(compression_level)
                                                                          : std::nullopt);

    std::optional<File> chrom_sizes;
    if (write_chrom_sizes) {
        if (verbose) {
            std::string message = "==> Will write chrom.sizes file to ";
            append_quoted(message, chrom_sizes_path, QuoteStyle::Path);
            message += '\n';
            write_progress(message);
        }
        const auto sizes_identity = identity_of(chrom_sizes_path);
        if (sizes_identity && (sizes_identity == input_identity || sizes_identity == output_identity)) {
            fail("Creation failed", same_file("chrom.sizes file is the input or the output file").text());
        }
        auto sizes_file = File::create(chrom_sizes_path);
        if (!sizes_file) fail("Creation failed", sizes_file.error().text());
        chrom_sizes.emplace(std::move(sizes_file).value());
    }

    TrackRequest request;
    request.wiggle_window = window_size;
    request.omit_tail = omit_tail;
    ModuleTrackEvents events(verbose);
    auto written = write_track(records, std::move(wig), std::move(chrom_sizes), request, events);
    if (!written) fail_track(written.error());
}

}  // namespace seqtally::core
