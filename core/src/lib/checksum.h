#pragma once
// The identifier, length and digests of one FASTA record.
#include <array>
#include <cstdint>
#include <string>
#include <string_view>

#include "common/result.h"
#include "common/utf8.h"
#include "core/src/lib/digest.h"
#include "fasta/record_view.h"

namespace seqtally::core {

// Both digest texts have 32 characters. They are held in place rather than
// as heap strings: a million short records wait for their Python objects
// until the file is read, and two heap blocks each would add a third to the
// memory the call touches.
using DigestText = std::array<char, 32>;

inline std::string_view text_of(const DigestText& text) noexcept { return {text.data(), text.size()}; }

struct SequenceDigest {
    std::string id;
    std::uint64_t length = 0;
    DigestText sha512;  // first 24 bytes, base64url without padding
    DigestText md5;     // lowercase hex
};

// The operations fuzz target checks every record against one-shot OpenSSL
// digests of the joined, capitalised sequence.
// Digests records one after another. The two digest contexts and the block
// that feeds them are made once per call and reused for every record: for
// short records, setting up a context costs as much as the hashing.
class SequenceDigester {
  public:
    // Digests the record's sequence lines, joined and with a-z in capitals,
    // straight from the reader's buffer. Writes the per-record progress
    // message when verbose. Fails only when the identifier is not UTF-8.
    Result<SequenceDigest, Utf8Error> process_sequence(const fasta::RecordView& record, bool verbose);

  private:
    void add_line(std::string_view line);
    void drain();

    Digest sha512_{Digest::Algorithm::Sha512};
    Digest md5_{Digest::Algorithm::Md5};
    std::size_t used_ = 0;
    // Uppercased lines are gathered here before they are fed to the digests:
    // feeding a 60-byte line at a time costs as much in call overhead as
    // hashing it. Digests depend only on the byte order, not on how the bytes
    // are split into calls. 16 KiB stays in the L1 cache between the two
    // digest passes.
    std::array<std::uint8_t, 16384> block_;
};

}  // namespace seqtally::core
