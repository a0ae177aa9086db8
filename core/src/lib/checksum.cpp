#include "checksum.h"

#include <array>
#include <cstring>

#include "common/progress.h"
#include "core/src/lib/digest.h"

namespace seqtally::core {
namespace {

// Bytes 'a'..'z' become 'A'..'Z'; everything else, bytes from 0x80 up
// included, passes unchanged. Branch-free so the compiler vectorises it.
void uppercase_into(std::uint8_t* out, const char* in, std::size_t size) noexcept {
    for (std::size_t i = 0; i < size; ++i) {
        const auto byte = static_cast<std::uint8_t>(in[i]);
        const bool lower = static_cast<std::uint8_t>(byte - 'a') < 26;
        out[i] = static_cast<std::uint8_t>(byte - (lower ? 0x20 : 0));
    }
}

// Capitalised lines are gathered into one bounded block before they are fed
// to the digests: feeding a 60-byte line at a time costs as much in call
// overhead as hashing it. Digests depend only on the byte order, not on how
// the bytes are split into calls, and the block never holds more than its
// fixed size however long the record or its lines are.
class DigestFeeder {
  public:
    void add_line(std::string_view line) {
        while (!line.empty()) {
            const std::size_t take = std::min(line.size(), block_.size() - used_);
            uppercase_into(block_.data() + used_, line.data(), take);
            used_ += take;
            line.remove_prefix(take);
            if (used_ == block_.size()) drain();
        }
    }
    void drain() {
        const std::span<const std::uint8_t> bytes(block_.data(), used_);
        sha512_.update(bytes);
        md5_.update(bytes);
        used_ = 0;
    }
    Digest& sha512() { return sha512_; }
    Digest& md5() { return md5_; }

  private:
    Digest sha512_{Digest::Algorithm::Sha512};
    Digest md5_{Digest::Algorithm::Md5};
    std::size_t used_ = 0;
    // 16 KiB stays in the L1 cache between the two digest passes.
    std::array<std::uint8_t, 16384> block_;
};

}  // namespace

Result<SequenceDigest, Utf8Error> process_sequence(const fasta::RecordView& record, bool verbose) {
    auto identifier = record.identifier();
    if (!identifier) return Err{identifier.error()};
    const std::string_view id = identifier.value();
    if (verbose) write_processing_region(id);
    DigestFeeder feeder;  // 16 KiB on the stack: no allocation per record
    std::uint64_t length = 0;
    for (const std::string_view line : record.sequence_lines()) {
        feeder.add_line(line);
        length += line.size();
    }
    feeder.drain();
    SequenceDigest digest;
    digest.id = std::string(id);
    digest.length = length;
    digest.sha512 = base64url_unpadded(feeder.sha512().finish().first(24));
    digest.md5 = lower_hex(feeder.md5().finish());
    return digest;
}

}  // namespace seqtally::core
