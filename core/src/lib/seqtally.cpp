#include "seqtally.h"

#include <memory>
#include <optional>

#include "common/failure.h"
#include "common/progress.h"
#include "common/quoted.h"
#include "core/src/lib/window_pass.h"
#include "fasta/gzip_member_reader.h"
#include "fasta/reader.h"
#include "streams/gzip_member_writer.h"

namespace seqtally::core {
namespace {

IoError same_file(const char* what) { return IoError::custom(ErrorKind::InvalidInput, what); }

}  // namespace

std::uint64_t write_gc_section(std::string_view identifier, const fasta::RecordView& record,
                               std::int32_t window_size, bool omit_tail, OutputStream& out) {
    return WindowPass(window_size, omit_tail).section(identifier, record, out);
}

void write_gc_to_file(std::string input, std::string output, std::uint32_t compression_level,
                      std::int32_t window_size, bool omit_tail, std::string chrom_sizes_path,
                      bool write_chrom_sizes, bool verbose) {
    // Declaration order is release order in reverse: on any failure the
    // chrom sizes stream goes first, then the track, then the reader.
    auto opened = File::open_read(input);
    if (!opened) fail(kUnwrapFailed, opened.error().text());
    const auto input_identity = opened.value().identity();
    std::unique_ptr<ByteSource> source;
    if (has_gz_extension(input)) {
        source = std::make_unique<GzipMemberReader>(std::move(opened).value());
    } else {
        source = std::make_unique<FileSource>(std::move(opened).value());
    }
    fasta::Reader reader(std::move(source));

    // Creating truncates: an output that is the input file itself would
    // destroy the input before it is read and pass as a success.
    if (input_identity && identity_of(output) == input_identity) {
        fail("creation failed", same_file("output file is the input file").text());
    }
    auto created = File::create(output);
    if (!created) fail("creation failed", created.error().text());
    const auto output_identity = created.value().identity();
    std::unique_ptr<Sink> sink;
    if (has_gz_extension(output)) {
        sink = std::make_unique<GzipMemberWriter>(std::move(created).value(), compression_level);
    } else {
        sink = std::make_unique<FileSink>(std::move(created).value());
    }
    std::optional<OutputStream> wig;
    wig.emplace(std::move(sink));

    std::optional<OutputStream> chrom_sizes;
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
        chrom_sizes.emplace(std::make_unique<FileSink>(std::move(sizes_file).value()));
    }

    write_or_fail(*wig, "track type=wiggle_0\n");
    WindowPass pass(window_size, omit_tail);
    std::int64_t regions = 0;
    for (;;) {
        auto next = reader.next_record();
        if (!next) fail("Error reading record", next.error().text());
        if (!next.value()) break;
        const fasta::RecordView& record = *next.value();
        auto identifier = record.identifier();
        if (!identifier) fail(kUnwrapFailed, identifier.error().text());
        const std::string_view id = identifier.value();
        if (verbose) write_processing_region(id);
        const std::uint64_t length = pass.section(id, record, *wig);
        if (chrom_sizes) {
            std::string line(id);
            line += '\t';
            line += std::to_string(length);
            line += '\n';
            write_or_fail(*chrom_sizes, line);
        }
        ++regions;
        if (verbose) write_progress("done\n");
    }

    if (auto flushed = wig->flush(); !flushed) fail("Could not close wig output file", flushed.error().text());
    if (chrom_sizes) {
        if (auto flushed = chrom_sizes->flush(); !flushed) {
            fail("Could not close chrom sizes stream", flushed.error().text());
        }
    }
    if (verbose) write_progress("==> Found and processed " + std::to_string(regions) + " regions.\n");
    // Finishing the gzip member and closing the files can still fail (a full
    // disk, a network file system); on this path that must not pass as success.
    if (chrom_sizes) {
        auto released = chrom_sizes->release();
        chrom_sizes.reset();
        if (!released) fail("Could not close chrom sizes stream", released.error().text());
    }
    auto released = wig->release();
    wig.reset();
    if (!released) fail("Could not close wig output file", released.error().text());
}

}  // namespace seqtally::core
