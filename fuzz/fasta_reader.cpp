// The FASTA reader over arbitrary bytes, read in random small chunks with a
// small, growing buffer, against the plain whole-input rules; with odd
// seeds, records are also looked at while they are gathered (fills of a few
// bytes that stop short of a full buffer), and each part so far must be the
// start of the record that follows.
#include <cstdlib>

#include "fasta/reader.h"
#include "fuzz/chunk_source.h"
#include "fuzz/reference_fasta.h"

using namespace seqtally;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2) return 0;
    const std::uint32_t seed = data[0];
    const std::size_t capacity = data[1] < 128 ? 2 + data[1] : fasta::kInitialCapacity;
    const std::span<const std::uint8_t> input(data + 2, size - 2);
    const auto expected = fuzz::reference_split(
        std::string_view(reinterpret_cast<const char*>(input.data()), input.size()));

    fasta::Reader reader(std::make_unique<fuzz::ChunkSource>(input, seed), capacity, 1 + seed % 7);
    std::size_t index = 0;
    fasta::Reader::PartialRecord partial;
    if (seed & 1) {
        partial = [&](const fasta::RecordView& part) {
            if (index >= expected.records.size()) std::abort();
            const auto& want = expected.records[index];
            if (part.header() != want.header) std::abort();
            std::size_t line = 0;
            for (const auto got : part.sequence_lines()) {
                if (line >= want.lines.size() || got != want.lines[line++]) std::abort();
            }
        };
    }
    for (;;) {
        auto next = reader.next_record(partial);
        if (!next) {
            if (!expected.invalid_start || index != 0) std::abort();
            const auto& error = next.error();
            if (error.kind != fasta::Error::Kind::InvalidStart || error.line != expected.invalid_start->first ||
                error.found != expected.invalid_start->second) {
                std::abort();
            }
            return 0;
        }
        if (!next.value()) break;
        if (index >= expected.records.size()) std::abort();
        const auto& record = *next.value();
        const auto& want = expected.records[index++];
        if (record.header() != want.header) std::abort();
        std::size_t line = 0;
        for (const auto got : record.sequence_lines()) {
            if (line >= want.lines.size() || got != want.lines[line++]) std::abort();
        }
        if (line != want.lines.size()) std::abort();
        auto identifier = record.identifier();
        if (identifier && identifier.value() != std::string_view(want.header).substr(0, want.header.find(' '))) {
            std::abort();
        }
    }
    if (expected.invalid_start || index != expected.records.size()) std::abort();
    return 0;
}
