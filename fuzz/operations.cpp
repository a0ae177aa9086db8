// The core of both operations over arbitrary FASTA: digests against
// OpenSSL over the joined, capitalised sequence (and the two-thread digester
// against the one-thread one, and the uppercased bases it hands a store's
// folder), and the window pass with every yield (the module's percents, the
// field's G/C count and skew) and every output (values, wiggle and bedGraph
// text) against a byte-at-a-time count of the same windows.
#include <openssl/evp.h>

#include <algorithm>
#include <cstdlib>
#include <deque>
#include <optional>
#include <string>
#include <vector>

#include "core/src/lib/checksum.h"
#include "core/src/lib/digest.h"
#include "core/src/lib/seqtally.h"
#include "core/src/lib/text_track.h"
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

// A text track over every record of an input, as in a call, and what the
// reference expects of it.
struct CheckedTrack {
    core::TrackForm form;
    std::optional<core::CountRule> rule;  // none: the module's count
    std::string written;
    std::string expected;
    std::optional<OutputStream> out;
    std::optional<core::TextTrack> track;
    CheckedTrack(core::TrackForm form_, std::uint64_t window, const std::optional<core::CountRule>& rule_,
                 bool omit_tail)
        : form(form_), rule(rule_) {
        out.emplace(std::make_unique<fuzz::StringSink>(written));
        track.emplace(form, window, rule, omit_tail, *out);
    }
    bool matches() {
        track.reset();
        out.reset();
        return written == expected;
    }
};

std::int16_t count_value(const core::CountRule& rule, const fuzz::CountedWindow& w) {
    return rule.mode == core::CountMode::Skew
               ? core::skew_ten_thousandths(w.g, w.c)
               : core::acgt_tenths(w.g + w.c, w.g + w.c + w.at, static_cast<std::uint64_t>(w.bases),
                                   rule.min_acgt_millionths);
}

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
    std::vector<std::uint8_t> all_values;  // every record's, appended in turn as in a call
    // The field's counts, with a share of A/C/G/T from the input.
    const core::CountRule count_rules[] = {{core::CountMode::Acgt, 1'000'000u * data[2] / 255},
                                           {core::CountMode::Skew, 0}};
    std::vector<core::WindowValues> count_passes;
    std::deque<CheckedTrack> tracks;  // every text track but the module's own section
    if (window >= 1) {
        value_pass.emplace(static_cast<std::uint64_t>(window), std::nullopt);
        tracks.emplace_back(core::TrackForm::BedGraph, window, std::nullopt, omit_tail);
        for (const core::CountRule& rule : count_rules) {
            count_passes.emplace_back(static_cast<std::uint64_t>(window), rule);
            for (const auto form : {core::TrackForm::Wiggle, core::TrackForm::BedGraph}) {
                tracks.emplace_back(form, window, rule, omit_tail);
            }
        }
    }
    // Long records are digested in part while they are gathered, at every
    // refill (of a few bytes) of the small reader buffer.
    const fasta::Reader::PartialRecord partial = [&](const fasta::RecordView& record) {
        two_core.process_partial(record);
    };
    for (;;) {
        auto next = reader.next_record(partial);
        if (!next || !next.value()) break;
        const auto& record = *next.value();
        std::string sequence;
        for (const auto line : record.sequence_lines()) sequence += line;
        if (value_pass) {
            std::uint64_t lowercase = 0;
            const auto counts = fuzz::counted_windows(sequence, window, omit_tail, &lowercase);
            const std::size_t before = all_values.size();
            // Each pass fills only the values of its own count.
            std::vector<std::uint8_t> no_percents;
            std::vector<std::int16_t> no_counts;
            const auto totals = value_pass->append(record, omit_tail, all_values, no_counts, nullptr, true);
            if (totals.length != sequence.size() || totals.lowercase != lowercase || !no_counts.empty()) std::abort();
            const std::span<const std::uint8_t> appended(all_values.data() + before, all_values.size() - before);
            const auto expected = fuzz::expected_values(sequence, window, omit_tail);
            if (!std::equal(appended.begin(), appended.end(), expected.begin(), expected.end())) std::abort();
            for (const core::WindowValues& pass : count_passes) {
                const core::CountRule& rule = count_rules[&pass - count_passes.data()];
                std::vector<std::int16_t> values;
                const auto count_totals = pass.append(record, omit_tail, no_percents, values);
                if (count_totals.length != sequence.size() || count_totals.lowercase != lowercase) std::abort();
                if (values.size() != counts.size() || !no_percents.empty()) std::abort();
                for (std::size_t i = 0; i < counts.size(); ++i) {
                    if (values[i] != count_value(rule, counts[i])) std::abort();
                }
            }
            for (CheckedTrack& checked : tracks) {
                const fuzz::WindowText text = [&](const fuzz::CountedWindow& w) {
                    if (!checked.rule) return fuzz::percent_text(w);
                    const std::int16_t value = count_value(*checked.rule, w);
                    if (value == core::kNoValue) return std::string();
                    char digits[16];
                    return std::string(digits, core::format_count_value(checked.rule->mode, value, digits));
                };
                const auto section = checked.track->section(record.header(), record, true);
                if (section.length != sequence.size() || section.lowercase != lowercase) std::abort();
                checked.expected += checked.form == core::TrackForm::Wiggle
                                        ? fuzz::expected_section(record.header(), sequence, window, omit_tail, text)
                                        : fuzz::expected_bedgraph(record.header(), sequence, window, omit_tail, text);
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
    for (CheckedTrack& checked : tracks) {
        if (!checked.matches()) std::abort();
    }
    return 0;
}
