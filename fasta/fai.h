#pragma once
// Reads a FASTA index (.fai) as samtools faidx writes it: one line per
// record, its name and four numbers, tab-separated. Lines that samtools
// would misread, and numbers that cannot place a record's bases in any
// file, are refused with their line number.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "common/result.h"

namespace seqtally {

// Where the bases of one record sit: a base at position p (0-based) is the
// byte offset + p / line_bases * line_bytes + p % line_bases.
struct RecordPlace {
    std::uint64_t offset = 0;
    std::uint64_t line_bases = 0;
    std::uint64_t line_bytes = 0;
    bool operator==(const RecordPlace&) const = default;
};

struct FaiEntry {
    std::string name;
    std::uint64_t length = 0;
    RecordPlace place;
    bool operator==(const FaiEntry&) const = default;
};

struct FaiProblem {
    std::uint64_t line = 0;  // from 1
    std::string text;
};

// The records in file order. A line is "NAME\tLENGTH\tOFFSET\tLINE_BASES\t
// LINE_BYTES", numbers in plain decimal, ended by LF or CRLF (the last may
// end without); fields after the fifth (a FASTQ index's quality offset) are
// ignored. A record with bases needs line_bases of 1 or more; line_bytes is
// never below line_bases; a record's last byte lies below 2^63 (a file
// offset). Of two records with one name the first is kept, as samtools does.
Result<std::vector<FaiEntry>, FaiProblem> parse_fai(std::string_view text);

}  // namespace seqtally
