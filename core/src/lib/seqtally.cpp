#include "seqtally.h"

#include <charconv>
#include <memory>
#include <optional>

#include "common/failure.h"
#include "common/progress.h"
#include "common/quoted.h"
#include "core/src/lib/gc_count.h"
#include "fasta/gzip_member_reader.h"
#include "fasta/reader.h"
#include "streams/gzip_member_writer.h"

namespace seqtally::core {
namespace {

[[noreturn]] void fail(const char* fixed_text, const std::string& description,
                       SourceLocation where = SourceLocation::current()) {
    std::string message = fixed_text;
    message += ": ";
    message += description;
    throw InternalFailure(std::move(message), where);
}

void write_or_fail(OutputStream& out, std::string_view text,
                   SourceLocation where = SourceLocation::current()) {
    if (auto written = out.write_all(text); !written) fail("Write failed", written.error().text(), where);
}

IoError same_file(const char* what) { return IoError::custom(ErrorKind::InvalidInput, what); }

char* append_decimal(char* at, std::int64_t value) noexcept {
    return std::to_chars(at, at + 20, value).ptr;
}

}  // namespace

void write_gc(std::int64_t gc_bases, std::int64_t window_bases, std::int64_t position, OutputStream& out) {
    // Single precision on purpose: the track's values are defined by this
    // arithmetic, which differs from exact or double results (53/100 -> 52).
    const float fraction = static_cast<float>(gc_bases) / static_cast<float>(window_bases);
    const float percent = fraction * 100.0f;
    const auto value = static_cast<std::int32_t>(percent);
    char line[48];
    char* end = append_decimal(line, position);
    *end++ = '\t';
    end = append_decimal(end, value);
    *end++ = '\n';
    write_or_fail(out, std::string_view(line, static_cast<std::size_t>(end - line)));
}

std::uint64_t write_gc_section(std::string_view identifier, const fasta::RecordView& record,
                               std::int32_t window_size, bool omit_tail, OutputStream& out) {
    std::string header = "variableStep chrom=";
    header += identifier;
    header += " span=";
    header += std::to_string(window_size);
    header += '\n';
    write_or_fail(out, header);

    std::int64_t window_index = 0;
    std::int64_t bases_in_window = 0;
    std::int64_t gc_in_window = 0;
    std::uint64_t length = 0;
    // A window of 0 or fewer bases never completes: every record then forms
    // a single partial window.
    const bool windows_complete = window_size > 0;
    for (const std::string_view line : record.sequence_lines()) {
        const char* bytes = line.data();
        std::size_t left = line.size();
        while (left > 0) {
            // Count up to the next window end in one run rather than testing
            // the window size after every byte.
            std::size_t take = left;
            if (windows_complete) {
                const auto to_window_end = static_cast<std::uint64_t>(window_size - bases_in_window);
                if (to_window_end < take) take = static_cast<std::size_t>(to_window_end);
            }
            gc_in_window += static_cast<std::int64_t>(count_gc(bytes, take));
            bases_in_window += static_cast<std::int64_t>(take);
            bytes += take;
            left -= take;
            if (windows_complete && bases_in_window == window_size) {
                write_gc(gc_in_window, bases_in_window, window_index * window_size + 1, out);
                ++window_index;
                bases_in_window = 0;
                gc_in_window = 0;
            }
        }
        length += line.size();
    }
    if (!omit_tail && bases_in_window > 0) {
        write_gc(gc_in_window, bases_in_window, window_index * window_size + 1, out);
    }
    return length;
}

bool has_gz_extension(std::string_view path) noexcept {
    // The last component that names something: empty components (repeated
    // or trailing '/') and "." components do not count.
    std::string_view last;
    std::size_t from = 0;
    while (from <= path.size()) {
        std::size_t slash = path.find('/', from);
        if (slash == std::string_view::npos) slash = path.size();
        const std::string_view component = path.substr(from, slash - from);
        if (!component.empty() && component != ".") last = component;
        from = slash + 1;
    }
    if (last.empty() || last == "..") return false;
    const std::size_t dot = last.rfind('.');
    if (dot == std::string_view::npos || dot == 0) return false;
    return last.substr(dot + 1) == "gz";
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
        const std::uint64_t length = write_gc_section(id, record, window_size, omit_tail, *wig);
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
