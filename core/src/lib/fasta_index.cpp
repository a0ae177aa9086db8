#include "fasta_index.h"

#include <functional>

#include "core/src/lib/digest.h"

namespace seqtally::core {
namespace {

// Whether every byte is "!" to "~". No early exit: the loop vectorises,
// and lines are short.
bool all_printable(std::string_view text) noexcept {
    unsigned outside = 0;
    for (const char c : text) outside |= static_cast<unsigned char>(c - 0x21) > 0x5D;
    return outside == 0;
}

std::string count_text(std::uint64_t count, const char* what) {
    return std::to_string(count) + " " + what + (count == 1 ? "" : "s");
}

}  // namespace

Result<std::optional<LineLayout>, LayoutProblem> fai_layout(const fasta::RecordView& record,
                                                            std::uint64_t header_offset, std::uint64_t header_line) {
    const std::string_view data = record.data();
    const std::size_t lines = record.line_count();
    struct Line {
        std::uint64_t bases;
        std::uint64_t bytes;  // with its line end; one is counted where the input ends without
    };
    const auto line_at = [&](std::size_t i) {
        const std::size_t from = record.line_end(i - 1) + 1;
        std::string_view raw = data.substr(from, record.line_end(i) - from);
        const std::uint64_t bytes = raw.size() + 1;
        if (!raw.empty() && raw.back() == '\r') raw.remove_suffix(1);
        return std::pair{raw, Line{raw.size(), bytes}};
    };
    std::size_t last = 0;  // the last line that holds bases
    for (std::size_t i = lines - 1; i >= 1; --i) {
        if (line_at(i).second.bases > 0) {
            last = i;
            break;
        }
    }
    if (last == 0) return std::optional<LineLayout>();
    LineLayout layout;
    layout.offset = header_offset + record.line_end(0) + 1;
    const Line first = line_at(1).second;
    layout.line_bases = first.bases;
    layout.line_bytes = first.bytes;
    for (std::size_t i = 1; i <= last; ++i) {
        const auto [text, line] = line_at(i);
        const std::uint64_t number = header_line + i;
        if (line.bases == 0) {
            return Err{LayoutProblem{number, "line " + std::to_string(number) +
                                                 " is empty, and sequence follows it: a FASTA index needs the "
                                                 "lines of a record without gaps"}};
        }
        if (!all_printable(text)) {
            return Err{LayoutProblem{number, "line " + std::to_string(number) +
                                                 " holds a space, a control character or a byte above 0x7E; "
                                                 "samtools does not count those as bases, so its index would "
                                                 "disagree with the record's length"}};
        }
        const bool fits = i == last ? line.bases <= first.bases && line.bytes <= first.bytes
                                    : line.bases == first.bases && line.bytes == first.bytes;
        if (!fits) {
            return Err{LayoutProblem{
                number, "line " + std::to_string(number) + " has " + count_text(line.bases, "base") + " in " +
                            count_text(line.bytes, "byte") + " with its line end, where the record's first line has " +
                            std::to_string(first.bases) + " in " + std::to_string(first.bytes) +
                            ": a FASTA index needs every line of a record but the last to be as long as the "
                            "first, and the last no longer"}};
        }
        layout.length += line.bases;
    }
    return std::optional<LineLayout>(layout);
}

bool sam_reads_otherwise(const fasta::RecordView& record, bool lines_checked) noexcept {
    const std::string_view header = record.header();
    if (!header.empty() && (header[0] == ' ' || header[0] == '\t')) return true;
    if (lines_checked) return false;
    for (std::string_view line : record.sequence_lines()) {
        if (!all_printable(line)) return true;
    }
    return false;
}

SamValues sam_values(const fasta::RecordView& record) {
    SamValues values;
    const std::string_view header = record.header();
    values.name = std::string(header.substr(0, header.find_first_of(" \t\n\v\f\r")));
    Digest md5(Digest::Algorithm::Md5);
    std::string kept;
    for (const std::string_view line : record.sequence_lines()) {
        kept.clear();
        for (const char c : line) {
            const auto byte = static_cast<unsigned char>(c);
            if (byte - 0x21u < 0x5Eu) kept.push_back(static_cast<char>(byte >= 'a' && byte <= 'z' ? byte - 32 : byte));
        }
        values.length += kept.size();
        md5.update(std::span(reinterpret_cast<const std::uint8_t*>(kept.data()), kept.size()));
    }
    lower_hex_into(md5.finish().first(16), values.md5.data());
    return values;
}

Result<std::deque<IndexEntry>, IndexError> index_records(NamedRecords& records, bool digests, RecordEvents& events,
                                                         SequenceFolder* folder) {
    std::deque<IndexEntry> entries;
    TwoCoreDigester digester(TwoCoreDigester::kLongRecord, records.second_core());
    const std::function<void()> checkpoint = [&] { events.checkpoint(); };
    // A long record is digested (and copied into the folder) while it is
    // still being read, so its folder file begins with its first part.
    bool begun = false;
    std::optional<IoError> folder_failed;
    const auto begin_record = [&] {
        if (folder == nullptr || begun || folder_failed) return;
        if (auto began = folder->begin(); !began) {
            folder_failed = std::move(began).error();
        } else {
            begun = true;
        }
    };
    fasta::Reader::PartialRecord partial;
    if (digests || folder != nullptr) {
        partial = [&](const fasta::RecordView& record) {
            begin_record();
            if (!folder_failed) digester.process_partial(record, checkpoint, folder);
        };
    }
    for (;;) {
        auto next = records.next(partial);
        if (!next) return Err{IndexError{std::move(next).error()}};
        if (!next.value()) return entries;
        const NamedRecord& named = *next.value();
        begin_record();
        if (folder_failed) return Err{IndexError{std::nullopt, std::move(*folder_failed)}};
        IndexEntry& entry = entries.emplace_back();
        auto layout = fai_layout(named.record, records.header_offset(), records.header_line());
        if (layout) {
            entry.layout = layout.value();
        } else {
            entry.problem = std::move(layout).error();
        }
        // The layout check has looked at every byte of sound lines already.
        if (sam_reads_otherwise(named.record, !entry.problem.has_value())) entry.sam = sam_values(named.record);
        if (digests || folder != nullptr) {
            entry.digest = digester.process_named(named.record, named.name, checkpoint, folder);
        } else {
            entry.digest.id = std::string(named.name);
            for (const std::string_view line : named.record.sequence_lines()) entry.digest.length += line.size();
        }
        if (folder != nullptr) {
            begun = false;
            if (auto done = folder->finish(text_of(entry.digest.md5)); !done) {
                return Err{IndexError{std::nullopt, std::move(done).error()}};
            }
        }
        events.record_done(entry.digest.id, entry.digest.length);
    }
}

void append_fai_line(std::string& out, std::string_view name, const LineLayout& layout) {
    out += name;
    for (const std::uint64_t value : {layout.length, layout.offset, layout.line_bases, layout.line_bytes}) {
        out += '\t';
        out += std::to_string(value);
    }
    out += '\n';
}

std::string gzi_bytes(std::span<const GzipMember> members) {
    std::string bytes(8, '\0');
    const auto put = [&bytes](std::uint64_t value) {
        for (int i = 0; i < 8; ++i) bytes.push_back(static_cast<char>(value >> (8 * i)));
    };
    std::uint64_t count = 0;
    bool first = true;
    for (const GzipMember& member : members) {
        if (member.uncompressed_size == 0) continue;
        if (first) {
            first = false;
            continue;
        }
        put(member.compressed_offset);
        put(member.uncompressed_offset);
        ++count;
    }
    for (int i = 0; i < 8; ++i) bytes[static_cast<std::size_t>(i)] = static_cast<char>(count >> (8 * i));
    return bytes;
}

}  // namespace seqtally::core
