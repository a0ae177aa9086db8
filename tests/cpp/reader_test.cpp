// What Python cannot see of the FASTA reader: buffer growth, header
// positions across refills, and long records gathered in parts. (Line and
// record ends at every place of a fill, in buffers that consumed records
// leave: the fasta_reader fuzz target, against the plain rules.)
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "fasta/reader.h"
#include "fuzz/chunk_source.h"
#include "fuzz/reference_fasta.h"

namespace seqtally::fasta {
namespace {

std::vector<fuzz::ReferenceRecord> read_all(Reader& reader, const Reader::PartialRecord& partial = {}) {
    std::vector<fuzz::ReferenceRecord> records;
    for (;;) {
        auto next = reader.next_record(partial);
        EXPECT_TRUE(next.ok());
        if (!next.ok() || !next.value()) return records;
        fuzz::ReferenceRecord record{std::string(next.value()->header()), {}};
        for (auto line : next.value()->sequence_lines()) record.lines.emplace_back(line);
        records.push_back(std::move(record));
    }
}

Reader reader_over(std::string data, std::size_t chunk, std::size_t capacity = kInitialCapacity) {
    return Reader(std::make_unique<fuzz::ChunkSource>(fuzz::ChunkSource::fixed(std::move(data), chunk)), capacity);
}

TEST(Reader, GrowsByDoublingThenByEightMebibytes) {
    const std::string line(200000, 'G');
    auto reader = reader_over(">big\n" + line + "\n", 1 << 20);
    auto records = read_all(reader);
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].lines, std::vector<std::string>{line});
    EXPECT_EQ(reader.capacity(), 262144u);

    const std::string huge(20u << 20, 'A');
    auto big_reader = reader_over(">h\n" + huge, 1 << 20);
    auto big = read_all(big_reader);
    ASSERT_EQ(big.size(), 1u);
    EXPECT_EQ(big[0].lines[0].size(), huge.size());
    // 64 KiB doubles to 8 MiB, then grows to 16 and 24 MiB.
    EXPECT_EQ(big_reader.capacity(), 25165824u);
}

TEST(Reader, HeaderPositionsAcrossRefills) {
    auto reader = reader_over(std::string(100, '\n') + ">a\nAC\nGT\n>b\nT\n", 1, 16);
    ASSERT_TRUE(reader.next_record().ok());
    EXPECT_EQ(reader.header_line(), 101u);
    EXPECT_EQ(reader.header_offset(), 100u);
    ASSERT_TRUE(reader.next_record().ok());
    EXPECT_EQ(reader.header_line(), 104u);
    EXPECT_EQ(reader.header_offset(), 109u);
}

// The digest passes take a long record in parts: each refill then reads a
// part's worth, which leaves the grown buffer part-full. Only the source's
// end may end the record, or it and every record after it are lost.
TEST(Reader, PartFullRefillsOfALongRecordDoNotEndIt) {
    std::string text = ">long\n";
    for (int i = 0; i < 50000; ++i) text += std::string(60, 'C') + "\n";
    text += ">next\nA\n";
    auto source = std::make_unique<fuzz::ChunkSource>(fuzz::ChunkSource::fixed(std::move(text), 1 << 16));
    Reader reader(std::move(source), kInitialCapacity, 1 << 18);
    std::size_t parts = 0;
    auto records = read_all(reader, [&](const RecordView&) { ++parts; });
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0].lines, std::vector<std::string>(50000, std::string(60, 'C')));
    EXPECT_EQ(records[1].lines, std::vector<std::string>{"A"});
    EXPECT_GT(parts, 1u);
}

}  // namespace
}  // namespace seqtally::fasta
