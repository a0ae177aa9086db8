// The tabix index built from a track's bytes against tabix's own for the
// same BGZF file: bgzip compresses the text, its blocks are read off the
// gzip headers, and the inflated .tbi or .csi must be tabix's byte for byte.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "core/src/lib/tabix_index.h"
#include "fuzz/zlib_reference.h"

namespace seqtally::core {
namespace {

std::string read_file(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(file), {}};
}

std::uint32_t le(const std::string& bytes, std::size_t at, int size) {
    std::uint32_t value = 0;
    for (int i = size - 1; i >= 0; --i) value = value << 8 | static_cast<std::uint8_t>(bytes[at + i]);
    return value;
}

std::string inflated(const std::string& gz) {
    return fuzz::zlib_decode(std::span(reinterpret_cast<const std::uint8_t*>(gz.data()), gz.size())).output;
}

struct Case {
    const char* name;
    std::string text;
};

// Lines "name begin end value" with values of varying width, so that lines
// end anywhere in a block.
void add_windows(std::string& text, const std::string& name, std::uint64_t from, std::uint64_t to,
                 std::uint64_t window, std::uint64_t step, std::uint32_t& seed) {
    for (std::uint64_t begin = from; begin < to; begin += step) {
        seed = seed * 1103515245u + 12345u;
        const std::uint64_t end = std::min(begin + window, to);
        text += name + '\t' + std::to_string(begin) + '\t' + std::to_string(end) + '\t' +
                std::to_string((seed >> 8) % (seed % 7 == 0 ? 100000 : 101)) + '\n';
    }
}

std::vector<Case> cases() {
    std::vector<Case> out;
    std::uint32_t seed = 7;
    {
        std::string text;
        for (int record = 0; record < 40; ++record) {
            const std::uint64_t length = 1 + (record * 7919u % 13) * 300000u + record * 37u;
            add_windows(text, "chr" + std::to_string(record), 0, length, 100, 100, seed);
        }
        out.push_back({"many_records", text});
    }
    {
        std::string text = "#comment\n";
        add_windows(text, "a", 0, 3, 5, 5, seed);  // one line, one record
        add_windows(text, "b", 0, 40'000'000, 70'000, 70'000, seed);
        add_windows(text, "c", 0, 40'000'000, 5'000'000, 5'000'000, seed);
        out.push_back({"wide_windows_and_a_comment", text});
    }
    {
        // The line before the block's first byte ends exactly where bgzip
        // cuts: padded with a value of the right width. A line per 16 KiB
        // window, so that the next line's offset is in the index.
        std::string text;
        add_windows(text, "x", 0, 100'000'000, 16384, 16384, seed);
        const std::size_t cut = 0xff00;
        std::size_t line_end = text.find('\n', cut - 60) + 1;
        const std::size_t line_begin = text.rfind('\n', line_end - 2) + 1;
        const std::size_t pad = cut - line_end;
        std::string padding(pad, '0');
        padding.front() = '.';
        text.insert(line_end - 1, padding);
        line_end = text.find('\n', line_begin) + 1;
        EXPECT_EQ(line_end, cut);
        out.push_back({"line_ends_at_a_block_boundary", text});
    }
    {
        // Past 2^29: sparse lines of a record over 2^31 bases, after one of
        // a .tbi's size; only the .csi can hold them.
        std::string text;
        add_windows(text, "small", 0, 2'000'000, 1000, 1000, seed);
        add_windows(text, "huge", 0, 3'000'000'000, 1000, 997'001, seed);
        add_windows(text, "huge", 3'000'000'000, 3'000'500'000, 1000, 1000, seed);
        out.push_back({"past_2_29", text});
    }
    {
        std::string text;  // windows of no line between lines
        add_windows(text, "sparse", 0, 500'000'000, 1000, 997'001, seed);
        add_windows(text, "dense", 0, 2'000'000, 1000, 1000, seed);
        out.push_back({"sparse_lines", text});
    }
    {
        std::string text;
        add_windows(text, "edge", 536'000'000, 536'870'912, 10'000, 10'000, seed);  // ends at 2^29: still a .tbi
        out.push_back({"ends_at_2_29", text});
    }
    return out;
}

TEST(TabixIndex, InflatedIndexIsTabixsForTheSameFile) {
    if (std::system("tabix --version >/dev/null 2>&1 && bgzip --version >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "no tabix";
    char folder[] = "/tmp/tabix-test-XXXXXX";
    ASSERT_NE(::mkdtemp(folder), nullptr);
    for (const Case& c : cases()) {
        SCOPED_TRACE(c.name);
        const std::string path = std::string(folder) + "/" + c.name + ".bedGraph";
        std::ofstream(path, std::ios::binary) << c.text;
        ASSERT_EQ(std::system(("bgzip -f " + path).c_str()), 0);
        const std::string gz = read_file(path + ".gz");
        // The block table, from each block's BSIZE and ISIZE.
        std::vector<BgzfBlock> blocks;
        std::uint64_t compressed = 0, uncompressed = 0;
        while (compressed < gz.size()) {
            const std::uint32_t size = le(gz, compressed + 16, 2) + 1;
            const std::uint32_t data = le(gz, compressed + size - 4, 4);
            if (data == 0) break;  // the EOF block
            blocks.push_back({compressed, uncompressed});
            compressed += size;
            uncompressed += data;
        }
        ASSERT_EQ(uncompressed, c.text.size());
        TabixIndex index;
        // In pieces that cut lines anywhere, as a track's writes do.
        for (std::size_t at = 0; at < c.text.size(); at += 4999) {
            const std::string_view piece = std::string_view(c.text).substr(at, 4999);
            ASSERT_TRUE(index.scan(std::span(reinterpret_cast<const std::uint8_t*>(piece.data()), piece.size())));
        }
        const bool csi = index.form() == TabixForm::Csi;
        EXPECT_EQ(csi, std::string(c.name) == "past_2_29");
        auto ours = index.finish(blocks, compressed);
        ASSERT_TRUE(ours);
        ASSERT_EQ(std::system(("tabix -f -p bed " + std::string(csi ? "-C " : "") + path + ".gz").c_str()), 0);
        const std::string theirs = inflated(read_file(path + ".gz." + std::string(tabix_extension(index.form()))));
        EXPECT_TRUE(ours.value() == theirs) << ours.value().size() << " bytes against tabix's " << theirs.size();
    }
    std::system(("rm -rf " + std::string(folder)).c_str());
}

// What tabix refuses is refused, with the reference and line.
TEST(TabixIndex, RefusesWhatTabixCannotIndex) {
    struct Refusal {
        std::string text;
        TabixProblem::Kind kind;
        std::uint64_t line;
    };
    const std::vector<Refusal> refusals = {
        {"a\t0\t5\t1\nb\t0\t5\t1\na\t5\t9\t1\n", TabixProblem::Kind::RepeatedName, 3},
        {"a\t10\t15\t1\na\t5\t9\t1\n", TabixProblem::Kind::Unsorted, 2},
        {"a\t0\t5\t1\ntrack type=bedGraph\n", TabixProblem::Kind::Unparsable, 2},
        {"a\t0\t4294967297\t1\n", TabixProblem::Kind::TooLong, 1},
    };
    for (const Refusal& r : refusals) {
        TabixIndex index;
        auto scanned = index.scan(std::span(reinterpret_cast<const std::uint8_t*>(r.text.data()), r.text.size()));
        ASSERT_FALSE(scanned) << r.text;
        EXPECT_EQ(scanned.error().kind, r.kind) << r.text;
        EXPECT_EQ(scanned.error().line, r.line) << r.text;
    }
}

}  // namespace
}  // namespace seqtally::core
