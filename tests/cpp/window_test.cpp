// The window pass on its edges: runs that end exactly at line and window
// ends (and so the G/C bit masks at every length), decimal positions.
#include <gtest/gtest.h>

#include <fstream>

#include <string>
#include <vector>

#include "core/src/lib/base_marks.h"
#include "core/src/lib/decimal_counter.h"
#include "core/src/lib/seqtally.h"
#include "fasta/reader.h"
#include "fuzz/chunk_source.h"
#include "fuzz/reference_track.h"
#include "fuzz/string_sink.h"

namespace seqtally::core {
namespace {

std::string section_of(const std::string& fasta, std::int32_t window, bool omit_tail) {
    fasta::Reader reader(std::make_unique<fuzz::ChunkSource>(
        std::span(reinterpret_cast<const std::uint8_t*>(fasta.data()), fasta.size()), 7));
    auto next = reader.next_record();
    std::string written;
    {
        OutputStream out(std::make_unique<fuzz::StringSink>(written));
        write_gc_section("r", *next.value(), window, omit_tail, out);
    }
    return written;
}

TEST(DecimalCounter, CarriesAcrossDigitsUpToTheLargestPositions) {
    const std::pair<std::uint64_t, std::uint64_t> table[] = {
        {1, 1}, {1, 5}, {1, 100}, {1, 65536}, {9'999'999'999'999'999'990ull, 7}, {99'999'990, 3},
        {0, 100'000'000}, {5, 300'000'007}, {1, 99'999'999},
        {2'147'483'600, 99}, {0, 10}, {1, 2'147'483'647},
        // Steps just below and at the four-digit group: a carry on nearly
        // every step, or none at all, and new digits reached by a jump.
        {9'999, 1}, {1, 9'999}, {3, 9'998}, {1, 10'000}, {1, 10'001}, {99'999'999, 1}, {9'990, 9'999},
    };
    for (const auto& [start, step] : table) {
        DecimalCounter counter(start, step);
        std::uint64_t value = start;
        for (int i = 0; i < 5000 && value <= UINT64_MAX - step; ++i) {
            char text[DecimalCounter::kWriteSize];
            ASSERT_EQ(std::string(text, counter.write(text)), std::to_string(value)) << start << " + " << step;
            counter.advance();
            value += step;
        }
    }
}

// The popcnt build is taken wherever the kernel says the CPU has popcnt,
// whichever compiler and runtime built us: the portable pass gives the same
// bytes, so only this tells a dispatch that never takes it (as
// __builtin_cpu_supports under zig's compiler-rt, the wheel's).
TEST(WindowPass, TakesThePopcntBuildWhereTheCpuHasIt) {
    std::ifstream cpuinfo("/proc/cpuinfo");
    std::string line;
    while (std::getline(cpuinfo, line) && line.rfind("flags", 0) != 0) {}
    ASSERT_FALSE(line.empty()) << "no flags line in /proc/cpuinfo";
    [[maybe_unused]] const bool popcnt = (line + " ").find(" popcnt ") != std::string::npos;
#ifdef SEQTALLY_PORTABLE_WINDOW_PASS
    EXPECT_FALSE(seqtally::core::popcnt_pass());
#else
    EXPECT_EQ(seqtally::core::popcnt_pass(), popcnt);
#endif
}

// The window pass reads lines in runs of up to 64 bytes; runs end at line
// ends, window ends and the 64-byte mark in any combination. Lines are
// formatted into a 64 KiB batch handed to the stream whenever a line might
// not fit: with small windows over a long record, a section spans many
// batches. Each section is checked against a byte-at-a-time count.
TEST(WindowPass, MatchesAByteAtATimeCountForEveryRunSplit) {
    const struct {
        int size;
        std::vector<std::size_t> line_lengths;
        std::vector<std::int32_t> windows;
    } cases[] = {
        {700, {1, 5, 15, 16, 17, 60, 63, 64, 65, 129, 700}, {-3, 0, 1, 2, 5, 63, 64, 65, 100, 128, 699, 700, 701, 70000}},
        {100'003, {61}, {1, 3, 7}},
    };
    for (const auto& c : cases) {
        std::string sequence;
        for (int i = 0; i < c.size; ++i) sequence += "GCATgcSNCGGGCCA"[(i * 13 + i / 11) % 15];
        for (const std::size_t line_length : c.line_lengths) {
            std::string fasta = ">r\n";
            for (std::size_t at = 0; at < sequence.size(); at += line_length) {
                fasta += sequence.substr(at, line_length) + "\n";
            }
            for (const std::int32_t window : c.windows) {
                for (const bool omit_tail : {false, true}) {
                    // Not EXPECT_EQ: GoogleTest's line-by-line diff of two sections of a
                    // few hundred kilobytes takes more memory than the machine has.
                    EXPECT_TRUE(section_of(fasta, window, omit_tail) ==
                                fuzz::expected_section("r", sequence, window, omit_tail))
                        << c.size << " " << line_length << " " << window << " " << omit_tail;
                }
            }
        }
    }
}

}  // namespace
}  // namespace seqtally::core
