// The core of both operations over arbitrary FASTA: digests against
// OpenSSL over the joined, capitalised sequence, and the window pass against
// a byte-at-a-time count of the same windows.
#include <openssl/evp.h>

#include <cstdlib>
#include <string>

#include "core/src/lib/checksum.h"
#include "core/src/lib/digest.h"
#include "core/src/lib/seqtally.h"
#include "fasta/reader.h"
#include "fuzz/chunk_source.h"
#include "fuzz/reference_track.h"
#include "fuzz/string_sink.h"

using namespace seqtally;

namespace {

std::string one_shot(const char* algorithm, const std::string& bytes) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int size = 0;
    EVP_Digest(bytes.data(), bytes.size(), digest, &size, EVP_get_digestbyname(algorithm), nullptr);
    return std::string(reinterpret_cast<char*>(digest), size);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 3) return 0;
    const auto window = static_cast<std::int32_t>(static_cast<std::int8_t>(data[0]));
    const bool omit_tail = data[1] & 1;
    const std::span<const std::uint8_t> input(data + 3, size - 3);
    fasta::Reader reader(std::make_unique<fuzz::ChunkSource>(input, data[2]), 2 + (data[1] >> 1));
    core::SequenceDigester digester;  // one for all records, as in a call
    for (;;) {
        auto next = reader.next_record();
        if (!next || !next.value()) return 0;
        const auto& record = *next.value();
        std::string sequence;
        for (const auto line : record.sequence_lines()) sequence += line;
        auto digest = digester.process_sequence(record, false);
        if (!digest) continue;
        std::string upper = sequence;
        for (char& byte : upper) byte = (byte >= 'a' && byte <= 'z') ? static_cast<char>(byte - 32) : byte;
        const auto& values = digest.value();
        const std::string sha = one_shot("SHA512", upper), md5 = one_shot("MD5", upper);
        if (values.length != upper.size() ||
            core::text_of(values.sha512) != core::base64url_unpadded(std::span(reinterpret_cast<const std::uint8_t*>(sha.data()), 24)) ||
            core::text_of(values.md5) != core::lower_hex(std::span(reinterpret_cast<const std::uint8_t*>(md5.data()), 16))) {
            std::abort();
        }
        std::string written;
        {
            OutputStream out(std::make_unique<fuzz::StringSink>(written));
            if (core::write_gc_section(values.id, record, window, omit_tail, out) != sequence.size()) std::abort();
        }
        if (written != fuzz::expected_section(values.id, sequence, window, omit_tail)) std::abort();
    }
}
