#pragma once
// The identifier, length and digests of one FASTA record.
#include <cstdint>
#include <string>

#include "common/result.h"
#include "common/utf8.h"
#include "fasta/record_view.h"

namespace seqtally::core {

struct SequenceDigest {
    std::string id;
    std::uint64_t length = 0;
    std::string sha512;  // first 24 bytes, base64url without padding
    std::string md5;     // lowercase hex
};

// Digests the record's sequence lines, joined and with a-z in capitals,
// straight from the reader's buffer. Writes the per-record progress message
// when verbose. Fails only when the identifier is not UTF-8.
Result<SequenceDigest, Utf8Error> process_sequence(const fasta::RecordView& record, bool verbose);

}  // namespace seqtally::core
