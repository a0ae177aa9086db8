// The stats pass over every byte value (the masks' case folding and
// lowercase test on bytes above 0x7F too), pieces of every length, lines
// of every width and records long enough to be walked in parts, against a
// count made a byte at a time.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <utility>
#include <vector>

#include "core/src/lib/sequence_stats.h"
#include "fuzz/chunk_source.h"
#include "fuzz/string_sink.h"

namespace seqtally::core {
namespace {

using Row = std::array<std::uint64_t, kStatsColumns>;

struct Expected {
    std::vector<Row> rows;
    std::string gaps;
    std::string masked;
};

void add_runs(std::string& bed, const std::string& name, const std::string& sequence, bool (*in_run)(char),
              std::uint64_t min_length, Row* counted) {
    for (std::size_t at = 0; at < sequence.size();) {
        if (!in_run(sequence[at])) {
            ++at;
            continue;
        }
        std::size_t end = at;
        while (end < sequence.size() && in_run(sequence[end])) ++end;
        if (end - at >= min_length) {
            bed.append(name).append("\t").append(std::to_string(at)).append("\t").append(std::to_string(end));
            bed.append("\n");
            if (counted != nullptr) {
                ++(*counted)[static_cast<std::size_t>(StatsColumn::Gaps)];
                (*counted)[static_cast<std::size_t>(StatsColumn::GapLength)] += end - at;
            }
        }
        at = end;
    }
}

Expected counted(const std::vector<std::pair<std::string, std::string>>& records, std::uint64_t min_gap) {
    Expected expected;
    const std::string iupac = "RYSWKMBDHVryswkmbdhv";
    for (const auto& [name, sequence] : records) {
        Row row{};
        const auto add = [&](StatsColumn column) { ++row[static_cast<std::size_t>(column)]; };
        for (std::size_t i = 0; i < sequence.size(); ++i) {
            const char byte = sequence[i];
            add(StatsColumn::Length);
            switch (byte) {
                case 'A': case 'a': add(StatsColumn::A); break;
                case 'C': case 'c': add(StatsColumn::C); break;
                case 'G': case 'g': add(StatsColumn::G); break;
                case 'T': case 't': add(StatsColumn::T); break;
                case 'N': case 'n': add(StatsColumn::N); break;
                default: add(iupac.find(byte) != std::string::npos ? StatsColumn::Iupac : StatsColumn::Other);
            }
            if (byte >= 'a' && byte <= 'z') add(StatsColumn::Lowercase);
            if (byte == 'G' || byte == 'C') add(StatsColumn::UpperGc);
            if (i > 0 && (sequence[i - 1] | 0x20) == 'c' && (byte | 0x20) == 'g') add(StatsColumn::Cpg);
        }
        add_runs(expected.gaps, name, sequence, [](char b) { return b == 'N' || b == 'n'; }, min_gap, &row);
        add_runs(expected.masked, name, sequence, [](char b) { return b >= 'a' && b <= 'z'; }, 1, nullptr);
        expected.rows.push_back(row);
    }
    return expected;
}

TEST(SequenceStats, EveryByteAndEveryEdgeAgreesWithAByteAtATimeCount) {
    std::mt19937 rng(37);
    const std::string common = "ACGTNacgtnNNNNNNccggRy";
    for (int round = 0; round < 8; ++round) {
        std::vector<std::pair<std::string, std::string>> records;
        std::string fasta;
        for (int r = 0; r < 12; ++r) {
            // Mostly bases in runs, any byte now and then (but a line end or '>').
            const std::size_t length = r == 5 ? 150'000 + rng() % 70'000 : rng() % 300;
            std::string sequence;
            while (sequence.size() < length) {
                char byte = static_cast<char>(rng() % 8 == 0 ? rng() % 256 : common[rng() % common.size()]);
                if (byte == '\n' || byte == '\r' || byte == '>') byte = 'n';
                sequence.append(1 + rng() % (rng() % 4 == 0 ? 90 : 3), byte);
            }
            sequence.resize(length);
            const std::string name = std::string("r").append(std::to_string(r));
            const std::size_t width = 1 + rng() % 100;
            const char* line_end = rng() % 3 == 0 ? "\r\n" : "\n";
            fasta.append(">").append(name).append(" words\n");
            for (std::size_t at = 0; at < sequence.size(); at += width) {
                fasta.append(sequence, at, width).append(line_end);
            }
            records.emplace_back(name, std::move(sequence));
        }
        const std::uint64_t min_gap = 1 + round % 3;
        const Expected expected = counted(records, min_gap);

        NamedRecords named(std::make_unique<fuzz::ChunkSource>(
                               std::span(reinterpret_cast<const std::uint8_t*>(fasta.data()), fasta.size()), round),
                           NameRule::Word);
        std::string gaps;
        std::string masked;
        StatsRequest request;
        request.min_gap = min_gap;
        request.gaps = std::make_unique<fuzz::StringSink>(gaps);
        request.masked = std::make_unique<fuzz::StringSink>(masked);
        RecordEvents events;
        auto found = sequence_stats(named, std::move(request), events);
        ASSERT_TRUE(found) << "round " << round;
        ASSERT_EQ(found.value().names.size(), records.size());
        for (std::size_t r = 0; r < records.size(); ++r) {
            for (std::size_t k = 0; k < kStatsColumns; ++k) {
                EXPECT_EQ(found.value().columns[k][r], expected.rows[r][k]) << "round " << round << " record " << r
                                                                            << " column " << k;
            }
        }
        EXPECT_EQ(gaps, expected.gaps) << "round " << round;
        EXPECT_EQ(masked, expected.masked) << "round " << round;
    }
}

}  // namespace
}  // namespace seqtally::core
