#pragma once
// What a FASTA index (.fai) says of a record, and the BGZF index (.gzi) of
// a file: the two files samtools faidx writes, byte for byte.
#include <cstdint>
#include <deque>
#include <optional>
#include <span>
#include <string>

#include "common/result.h"
#include "core/src/lib/checksum.h"
#include "core/src/lib/named_records.h"
#include "core/src/lib/sequence_folder.h"
#include "fasta/gzip_member_reader.h"
#include "fasta/record_view.h"

namespace seqtally::core {

// One .fai line without its name: a base at position p (0-based) sits at
// offset + p / line_bases * line_bytes + p % line_bases.
struct LineLayout {
    std::uint64_t length = 0;
    std::uint64_t offset = 0;  // of the first base, in the decoded input
    std::uint64_t line_bases = 0;
    std::uint64_t line_bytes = 0;
};

// Why a record cannot be addressed by line arithmetic.
struct LayoutProblem {
    std::uint64_t line = 0;  // in the whole input, from 1
    std::string text;
};

// The layout of a record whose header starts at `header_offset` on line
// `header_line`, or std::nullopt for a record without sequence (samtools
// leaves those out of the index). Every line but the last must hold as
// many bytes as the first, the last no more; empty lines only at the end;
// only printable bases (samtools counts nothing else, so its length would
// differ from the record's).
Result<std::optional<LineLayout>, LayoutProblem> fai_layout(const fasta::RecordView& record,
                                                            std::uint64_t header_offset, std::uint64_t header_line);

// Whether samtools dict (and Picard) would give the record another name,
// length or MD5 than seqtally: its header starts with a space or a tab, or
// a sequence line holds a byte other than "!" to "~" before its line end.
// `lines_checked`: fai_layout found the record's lines sound, which says
// the second already.
bool sam_reads_otherwise(const fasta::RecordView& record, bool lines_checked) noexcept;

// What samtools dict and Picard write for a record where they read it
// otherwise than seqtally: SN is the header up to its first whitespace (no
// leading spaces skipped), LN and M5 count only the bytes "!" to "~" of the
// sequence lines, uppercased.
struct SamValues {
    std::string name;
    std::uint64_t length = 0;
    DigestText md5{};
};
SamValues sam_values(const fasta::RecordView& record);

// One record as the index pass finds it: its digests (or only its name and
// length without `digests`), its .fai layout or why it has none, and its
// SAM values where samtools reads it otherwise.
struct IndexEntry {
    SequenceDigest digest;
    std::optional<LineLayout> layout;
    std::optional<LayoutProblem> problem;
    std::optional<SamValues> sam;
};

// Why the index pass ended early: a record could not be read or named
// (`record`), or else the store's folder could not be written (`folder`).
struct IndexError {
    std::optional<RecordError> record;
    IoError folder = IoError::of_kind(ErrorKind::Other);
};

// Every record of the input in one read (names present; distinct where the
// NamedRecords ask it: an index cannot hold two records of one name). With
// a `folder`, each record's uppercased bases also go there, from the blocks
// its digests are made of (digests are then always made).
Result<std::deque<IndexEntry>, IndexError> index_records(NamedRecords& records, bool digests, RecordEvents& events,
                                                         SequenceFolder* folder = nullptr);

// "name<TAB>length<TAB>offset<TAB>line_bases<TAB>line_bytes\n", as samtools faidx writes it.
void append_fai_line(std::string& out, std::string_view name, const LineLayout& layout);

// The .gzi of a BGZF file from its members: a little-endian count, then
// (compressed, uncompressed) offset pairs of every member that holds data,
// but the first.
std::string gzi_bytes(std::span<const GzipMember> members);

}  // namespace seqtally::core
