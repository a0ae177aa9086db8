// The core of both operations over arbitrary FASTA: digests against
// OpenSSL over the joined, capitalised sequence (and the two-thread digester
// against the one-thread one, and the uppercased bases it hands a store's
// folder), and the window pass, the window values, their
// bedGraph text and the field's counts against a byte-at-a-time count of the
// same windows.
#include <openssl/evp.h>

#include <algorithm>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "core/src/lib/checksum.h"
#include "core/src/lib/digest.h"
#include "core/src/lib/seqtally.h"
#include "core/src/lib/window_counts.h"
#include "core/src/lib/window_values.h"
#include "fasta/reader.h"
#include "fuzz/chunk_source.h"
#include "fuzz/reference_track.h"
#include "fuzz/string_sink.h"

using namespace seqtally;

namespace {

// What a store's folder would receive from the digester.
struct CopiedBases final : core::UppercaseSink {
    std::string bytes;
    void append(std::span<const std::uint8_t> more) noexcept override {
        bytes.append(reinterpret_cast<const char*>(more.data()), more.size());
    }
};

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
    fasta::Reader reader(std::make_unique<fuzz::ChunkSource>(input, data[2]), 2 + (data[1] >> 1), 1 + data[2] % 5);
    core::SequenceDigester digester;  // one for all records, as in a call
    // A threshold this low sends most records down the two-thread path, the
    // shortest ones still down the other, within one digester.
    core::TwoCoreDigester two_core(1 + data[2] % 64);
    std::optional<core::WindowValues> value_pass;
    if (window >= 1) value_pass.emplace(static_cast<std::uint64_t>(window));
    std::vector<std::uint8_t> all_values;  // every record's, appended in turn as in a call
    // The field's counts, with a share of A/C/G/T from the input.
    const core::CountRule count_rules[] = {{core::CountMode::Acgt, 1'000'000u * data[2] / 255},
                                           {core::CountMode::Skew, 0}};
    // Long records are digested in part while they are gathered, at every
    // refill (of a few bytes) of the small reader buffer.
    const fasta::Reader::PartialRecord partial = [&](const fasta::RecordView& record) {
        two_core.process_partial(record);
    };
    for (;;) {
        auto next = reader.next_record(partial);
        if (!next || !next.value()) return 0;
        const auto& record = *next.value();
        std::string sequence;
        for (const auto line : record.sequence_lines()) sequence += line;
        if (value_pass) {
            const std::size_t before = all_values.size();
            if (value_pass->append(record, omit_tail, all_values) != sequence.size()) std::abort();
            const std::span<const std::uint8_t> appended(all_values.data() + before, all_values.size() - before);
            const auto expected = fuzz::expected_values(sequence, window, omit_tail);
            if (!std::equal(appended.begin(), appended.end(), expected.begin(), expected.end())) std::abort();
            std::string bedgraph;
            {
                OutputStream out(std::make_unique<fuzz::StringSink>(bedgraph));
                core::write_bedgraph_section(record.header(), sequence.size(), value_pass->window(), appended, out);
            }
            if (bedgraph != fuzz::expected_bedgraph(record.header(), sequence, window, omit_tail)) std::abort();
            std::uint64_t lowercase = 0;
            const auto counts = fuzz::counted_windows(sequence, window, omit_tail, &lowercase);
            for (const core::CountRule& rule : count_rules) {
                std::vector<std::int16_t> values;
                const auto totals = core::CountPass(value_pass->window(), rule).append(record, omit_tail, values);
                if (totals.length != sequence.size() || totals.lowercase != lowercase) std::abort();
                if (values.size() != counts.size()) std::abort();
                for (std::size_t i = 0; i < counts.size(); ++i) {
                    const fuzz::CountedWindow& w = counts[i];
                    const std::int16_t expected =
                        rule.mode == core::CountMode::Skew
                            ? core::skew_ten_thousandths(w.g, w.c)
                            : core::acgt_tenths(w.g + w.c, w.g + w.c + w.at, static_cast<std::uint64_t>(w.bases),
                                                rule.min_acgt_millionths);
                    if (values[i] != expected) std::abort();
                }
            }
        }
        auto digest = digester.process_sequence(record, false);
        auto two_core_digest = two_core.process_sequence(record);
        if (digest.ok() != two_core_digest.ok()) std::abort();
        if (!digest) continue;
        const auto& other = two_core_digest.value();
        if (other.id != digest.value().id || other.length != digest.value().length ||
            other.sha512 != digest.value().sha512 || other.md5 != digest.value().md5) {
            std::abort();
        }
        std::string upper = sequence;
        for (char& byte : upper) byte = (byte >= 'a' && byte <= 'z') ? static_cast<char>(byte - 32) : byte;
        const auto& values = digest.value();
        const std::string sha = one_shot("SHA512", upper), md5 = one_shot("MD5", upper);
        if (values.length != upper.size() ||
            core::text_of(values.sha512) != core::base64url_unpadded(std::span(reinterpret_cast<const std::uint8_t*>(sha.data()), 24)) ||
            core::text_of(values.md5) != core::lower_hex(std::span(reinterpret_cast<const std::uint8_t*>(md5.data()), 16))) {
            std::abort();
        }
        CopiedBases copy;
        if (two_core.process_named(record, values.id, {}, &copy).md5 != values.md5 || copy.bytes != upper) std::abort();
        std::string written;
        {
            OutputStream out(std::make_unique<fuzz::StringSink>(written));
            if (core::write_gc_section(values.id, record, window, omit_tail, out) != sequence.size()) std::abort();
        }
        if (written != fuzz::expected_section(values.id, sequence, window, omit_tail)) std::abort();
    }
}
