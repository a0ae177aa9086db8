// Window values must be the wiggle track's values, window for window, and
// bedGraph intervals must cover exactly the bases each window holds.
#include <gtest/gtest.h>

#include <charconv>
#include <string>
#include <vector>

#include "core/src/lib/window_pass.h"
#include "core/src/lib/window_values.h"
#include "fuzz/reference_track.h"
#include "fuzz/string_sink.h"
#include "tests/cpp/wrapped_record.h"

namespace seqtally::core {
namespace {

// The value column of a wiggle section's data lines.
std::vector<std::uint8_t> values_of_wiggle(const std::string& section) {
    std::vector<std::uint8_t> values;
    for (std::size_t at = section.find('\n') + 1; at < section.size();) {
        const std::size_t tab = section.find('\t', at), end = section.find('\n', tab);
        int value = -1;
        std::from_chars(section.data() + tab + 1, section.data() + end, value);
        values.push_back(static_cast<std::uint8_t>(value));
        at = end + 1;
    }
    return values;
}

// Windows at, below and above a 64-base run, both sides of the largest
// window whose values come from a table, and a length that leaves tails of
// one base (7, 100) and of many. Lines cut the 64-base runs everywhere.
TEST(WindowValues, AreTheWiggleTracksValues) {
    // G/C density steps from none to all every 333 bases; lowercase g/c and
    // other letters never count.
    std::string sequence(140'001, 'A');
    std::uint32_t state = 7;
    for (std::size_t i = 0; i < sequence.size(); ++i) {
        state = state * 1103515245 + 12345;
        const std::uint32_t tenths = (i / 333) % 11, draw = (state >> 16) % 20;
        sequence[i] = draw < 2 * tenths ? "GC"[draw % 2] : "ATgcNSat"[draw % 8];
    }
    for (const std::size_t line_length : {1, 61, 64, 65, 4099, 140'001}) {
        const testing::WrappedRecord wrapped(sequence, line_length);
        const fasta::RecordView& record = wrapped.record();
        for (const std::int32_t window : {1, 7, 63, 64, 65, 100, 65536, 65537}) {
            for (const bool omit_tail : {false, true}) {
                std::string wiggle;
                {
                    OutputStream out(std::make_unique<fuzz::StringSink>(wiggle));
                    WindowPass(window, omit_tail).section("r", record, out);
                }
                std::vector<std::uint8_t> values = {255};  // appended to, never replaced
                EXPECT_EQ(WindowValues(static_cast<std::uint64_t>(window)).append(record, omit_tail, values),
                          sequence.size());
                std::vector<std::uint8_t> expected = values_of_wiggle(wiggle);
                expected.insert(expected.begin(), 255);
                EXPECT_TRUE(values == expected)
                    << "line " << line_length << " window " << window << " omit_tail " << omit_tail << ": "
                    << values.size() << " values, want " << expected.size();
            }
        }
    }
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
