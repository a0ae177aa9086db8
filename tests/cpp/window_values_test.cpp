// bedGraph intervals must cover exactly the bases each window holds, at the
// edges no fuzz input reaches: positions past 32 bits, names longer than a
// batch, sections over many batches. (Window values against the wiggle
// track's, window for window: the operations fuzz target, and on real
// genomes test_tracks.py.)
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/src/lib/bedgraph_lines.h"
#include "fuzz/reference_track.h"
#include "fuzz/string_sink.h"

namespace seqtally::core {
namespace {

// The writer driven by values rather than by the pass: window i covers
// [i * window, min((i + 1) * window, length)); a value past the full
// windows is the last, shorter one's.
void write_bedgraph_section(std::string_view name, std::uint64_t length, std::uint64_t window,
                            const std::vector<std::uint8_t>& values, OutputStream& out) {
    const WindowTexts<GcPercent> texts(GcPercent{}, window);
    BedGraphLines<GcPercent> lines(texts, Batching{67, true, false, false}, out);
    lines.begin(name);
    auto cursor = lines.cursor();
    const std::uint64_t full = length / window;
    for (std::size_t i = 0; i < values.size() && i < full; ++i) cursor.window_text(texts.of(values[i]));
    lines.settle(cursor);
    lines.finish(length, length - full * window, values.size() > full ? texts.of(values[full]) : GcPercent::Text{});
}

TEST(BedGraph, IntervalsAndValues) {
    struct Case {
        const char* label;
        std::string name;
        std::uint64_t length;
        std::uint64_t window;
        std::vector<std::uint8_t> values;
        std::string expected;
    };
    const auto counted = [](const char* label, std::string name, const std::string& sequence, std::uint64_t window,
                            bool omit_tail) {
        const auto size = static_cast<std::int64_t>(window);
        return Case{label,
                    name,
                    sequence.size(),
                    window,
                    fuzz::expected_values(sequence, size, omit_tail),
                    fuzz::expected_bedgraph(name, sequence, size, omit_tail)};
    };
    std::string sequence;
    for (int i = 0; i < 30'000; ++i) sequence += "GCATTGCAAGC"[(i * 7 + i / 5) % 11];
    const Case table[] = {
        {"clipped last window", "chr1", 10, 4, {50, 25, 0}, "chr1\t0\t4\t50\nchr1\t4\t8\t25\nchr1\t8\t10\t0\n"},
        {"tail omitted", "chr1", 10, 4, {50, 25}, "chr1\t0\t4\t50\nchr1\t4\t8\t25\n"},
        {"window longer than the record", "c", 3, 1'000'000, {66}, "c\t0\t3\t66\n"},
        {"no values", "c", 0, 5, {}, ""},
        {"positions past 32 bits", "r", 5'000'000'000'003, 2'000'000'000'000, {1, 2, 100},
         "r\t0\t2000000000000\t1\nr\t2000000000000\t4000000000000\t2\nr\t4000000000000\t5000000000003\t100\n"},
        counted("windows that fill the record", "x", sequence.substr(0, 700), 7, false),
        counted("many batches of short lines", "chrUn_1", sequence, 1, false),
        counted("a name longer than a batch", std::string(70'000, 'n'), sequence.substr(0, 50), 9, false),
        counted("a name of half a batch", std::string(32'750, 'h'), sequence.substr(0, 50), 9, true),
    };
    for (const Case& row : table) {
        std::string written;
        {
            OutputStream out(std::make_unique<fuzz::StringSink>(written, 10'000));
            write_bedgraph_section(row.name, row.length, row.window, row.values, out);
        }
        EXPECT_EQ(written.size(), row.expected.size()) << row.label;
        EXPECT_TRUE(written == row.expected) << row.label;
    }
}

}  // namespace
}  // namespace seqtally::core
