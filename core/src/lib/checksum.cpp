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

}  // namespace

void SequenceDigester::add_line(std::string_view line) {
    while (!line.empty()) {
        const std::size_t take = std::min(line.size(), block_.size() - used_);
        uppercase_into(block_.data() + used_, line.data(), take);
        used_ += take;
        line.remove_prefix(take);
        if (used_ == block_.size()) drain();
    }
}

void SequenceDigester::drain() {
    const std::span<const std::uint8_t> bytes(block_.data(), used_);
    sha512_.update(bytes);
    md5_.update(bytes);
    used_ = 0;
}

Result<SequenceDigest, Utf8Error> SequenceDigester::process_sequence(const fasta::RecordView& record, bool verbose) {
    auto identifier = record.identifier();
    if (!identifier) return Err{identifier.error()};
    const std::string_view id = identifier.value();
    if (verbose) write_processing_region(id);
    sha512_.restart();
    md5_.restart();
    used_ = 0;
    std::uint64_t length = 0;
    for (const std::string_view line : record.sequence_lines()) {
        add_line(line);
        length += line.size();
    }
    drain();
    SequenceDigest digest;
    digest.id = std::string(id);
    digest.length = length;
    digest.sha512 = base64url_unpadded(sha512_.finish().first(24));
    digest.md5 = lower_hex(md5_.finish());
    return digest;
}

}  // namespace seqtally::core
