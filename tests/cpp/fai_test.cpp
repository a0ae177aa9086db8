// The .fai parser's edges, one table: what samtools faidx writes and reads
// (line ends, extra fields, repeated names), and what no file can hold.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fasta/fai.h"

namespace seqtally {
namespace {

// "name length offset line_bases line_bytes" per entry, or "line N" for a refusal.
std::vector<std::string> parsed(const std::string& text) {
    auto entries = parse_fai(text);
    if (!entries) return {"line " + std::to_string(entries.error().line)};
    std::vector<std::string> out;
    for (const FaiEntry& e : entries.value()) {
        out.push_back(e.name + " " + std::to_string(e.length) + " " + std::to_string(e.place.offset) + " " +
                      std::to_string(e.place.line_bases) + " " + std::to_string(e.place.line_bytes));
    }
    return out;
}

TEST(ParseFai, SamtoolsLinesAndImpossibleValues) {
    using V = std::vector<std::string>;
    const struct {
        std::string text;
        V expected;
    } cases[] = {
        {"", {}},
        {"chr1\t11\t6\t8\t9\nchr2\t4\t26\t4\t5\n", {"chr1 11 6 8 9", "chr2 4 26 4 5"}},
        // CRLF, and no line end at the end.
        {"a\t11\t3\t8\t10\r\nb\t4\t24\t4\t6", {"a 11 3 8 10", "b 4 24 4 6"}},
        // A FASTQ index's quality offset, and anything after it, is ignored.
        {"r\t4\t3\t4\t5\t11\tmore\n", {"r 4 3 4 5"}},
        // The first of two records of one name wins, as in samtools.
        {"a\t4\t3\t4\t5\na\t9\t50\t9\t10\nb\t1\t70\t1\t2\n", {"a 4 3 4 5", "b 1 70 1 2"}},
        // A record without bases needs no line length; names are taken whole.
        {"empty\t0\t9\t0\t0\nname with space\t2\t20\t2\t3\n", {"empty 0 9 0 0", "name with space 2 20 2 3"}},
        {"\t5\t2\t5\t6\n", {" 5 2 5 6"}},
        // The last base's byte just fits below 2^63.
        {"big\t2\t9223372036854775805\t1\t1\n", {"big 2 9223372036854775805 1 1"}},
        {"big\t2\t9223372036854775806\t1\t1\n", {"line 1"}},
        {"a\t4\t3\t4\n", {"line 1"}},
        {"a\t4\t3\t4\t5\n\nb\t4\t3\t4\t5\n", {"line 2"}},
        {"a 4 3 4 5\n", {"line 1"}},
        {"a\t4\t3\t4\t5\nb\t+4\t3\t4\t5\n", {"line 2"}},
        {"a\t-4\t3\t4\t5\n", {"line 1"}},
        {"a\t4x\t3\t4\t5\n", {"line 1"}},
        {"a\t4\t3\t4\t\n", {"line 1"}},
        {"a\t4\t3\t4\t 5\n", {"line 1"}},
        {"a\t18446744073709551616\t3\t4\t5\n", {"line 1"}},
        {"a\t18446744073709551615\t0\t1\t1\n", {"line 1"}},
        {"a\t10\t3\t8\t7\n", {"line 1"}},
        {"a\t10\t3\t0\t1\n", {"line 1"}},
        {"a\t3\t3\t8\t9\nb\t5\t0\t0\t0\n", {"line 2"}},
    };
    for (const auto& c : cases) EXPECT_EQ(parsed(c.text), c.expected) << c.text;
    auto refused = parse_fai("a\t10\t3\t8\t7\n");
    ASSERT_FALSE(refused);
    EXPECT_EQ(refused.error().text, "line 1 is not a FASTA index line: its lines would hold fewer bytes than bases");
}

}  // namespace
}  // namespace seqtally
