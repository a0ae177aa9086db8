// The BED reader's refusals, bedtools' shares, and batches read in file
// order handed back in BED order, whatever the batch size. The forms BED
// lines take: the bed fuzz target; the outputs byte for byte against
// bedtools and samtools themselves: tests/test_intervals.py.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "core/src/lib/bed.h"
#include "core/src/lib/composition.h"
#include "core/src/lib/intervals.h"
#include "fuzz/memory_file.h"

namespace seqtally::core {
namespace {

// Each refusal's words (the bed fuzz target checks every refusal's line
// against a plain reading of the same rules).
TEST(Bed, RefusesWhatBedtoolsMisreadsNamingTheLine) {
    struct Case {
        const char* text;
        std::uint64_t line;
        const char* words;  // the start of the problem's text
    };
    const Case table[] = {
        {"c\t1\n", 1, "fewer than 3 columns"},
        {"#x\n\nc\t1\t2\n   \n", 4, "fewer than 3 columns"},
        {"c\tx\t2\n", 1, "the start is not a whole number: 'x'"},
        {"c\t1\t+2\n", 1, "the end is not a whole number: '+2'"},
        {"c\t\t2\n", 1, "the start is empty"},
        {"c\t1\t2 \n", 1, "the end is not a whole number: '2 '"},
        {"c\t0\t9223372036854775808\n", 1, "the end is too large"},
        {"c\t5\t4\n", 1, "the start (5) is after the end (4)"},
        {"c\t1\t2\nc\t1\t2\tn\n", 2, "4 columns where the first interval has 3"},
        {"c\t1\t2\tn\rm\n", 1, "a carriage return inside the line"},
    };
    for (const Case& c : table) {
        auto parsed = parse_bed(c.text);
        ASSERT_FALSE(parsed.ok()) << c.text;
        EXPECT_EQ(parsed.error().line, c.line) << c.text;
        EXPECT_EQ(parsed.error().text.rfind(c.words, 0), 0u) << c.text << ": " << parsed.error().text;
    }
}

TEST(Composition, SharesPrintAsBedtoolsSinglePrecisionDivision) {
    for (const std::uint64_t whole : {1u, 3u, 7u, 999u, 1000u, 65537u, 16777217u, 1234567891u}) {
        for (const std::uint64_t part : {std::uint64_t{0}, std::uint64_t{1}, whole / 3, whole / 2, whole - 1, whole}) {
            char ours[32];
            const std::string text(ours, format_share(part, whole, ours));
            char theirs[64];
            std::snprintf(theirs, sizeof theirs, "%f", static_cast<float>(part) / static_cast<float>(whole));
            EXPECT_EQ(text, theirs) << part << "/" << whole;
        }
    }
    // Where single and double precision print differently.
    char text[32];
    EXPECT_EQ(std::string(text, format_share(92, 139, text)), "0.661870");
    EXPECT_EQ(std::string(text, format_share(150, 151, text)), "0.993378");
}

// A FASTA file, read at random by this thread and the helper's.
class Reference : public ::testing::Test {
  protected:
    void SetUp() override {
        // Two records, lines of 7 bases (the second's last line shorter).
        const std::string text = ">a\nACGTacg\nTNNNNgg\nCCATGCA\n>b\nGGGAAAT\nTTCCx\n";
        auto opened = RandomAccess::open(fuzz::memory_file(text), "", false);
        auto again = RandomAccess::open(fuzz::memory_file(text), "", false);
        ASSERT_TRUE(opened.ok() && again.ok());
        access_.emplace(std::move(opened).value());
        helper_.emplace(std::move(again).value());
    }

    Contigs contigs_{{{"a", 21, {3, 7, 8}}, {"b", 12, {30, 7, 8}}}};
    std::optional<RandomAccess> access_;
    std::optional<RandomAccess> helper_;
};

TEST_F(Reference, BatchesOfAnySizeGiveTheBedOrder) {
    std::vector<Interval> intervals;
    std::vector<std::string> expected;
    const std::string a = "ACGTacgTNNNNggCCATGCA";
    // Backwards, overlapping, some reverse complemented; enough of them
    // for the helper's thread to take part.
    for (int round = 0; round < 8; ++round) {
        for (std::uint64_t start = 20; start <= 20; start -= 2) {
            const std::uint64_t end = std::min<std::uint64_t>(21, start + 5 + start % 3);
            intervals.push_back({0, start, end, (start + round) % 4 == 0});
        }
    }
    for (const Interval& interval : intervals) {
        std::string bases = a.substr(interval.start, interval.end - interval.start);
        if (interval.reverse) reverse_complement(bases);
        expected.push_back(bases);
    }
    for (const std::uint64_t budget : {1u, 7u, 1000u, 100000u}) {
        BatchFetch fetch(*access_, contigs_, intervals, budget, true, budget > 7 ? &*helper_ : nullptr);
        std::vector<std::string> got;
        std::vector<int> seen(intervals.size());
        for (;;) {
            auto more = fetch.next([&](std::size_t i, std::string_view) { ++seen[i]; }, {});
            ASSERT_TRUE(more.ok());
            if (!more.value()) break;
            for (std::size_t i = fetch.first(); i < fetch.last(); ++i) got.emplace_back(fetch.bases(i));
        }
        EXPECT_EQ(got, expected) << budget;
        EXPECT_EQ(seen, std::vector<int>(intervals.size(), 1)) << budget;
    }
}

// The helper's half is read whole even when this thread's half is done long
// before it: a helper told to stop then would leave intervals unread (their
// counts zero, their bases empty) and the batch reported as complete.
TEST_F(Reference, TheHelpersHalfIsReadWholeHoweverFarBehindItIs) {
    const std::vector<Interval> intervals(600, Interval{0, 2, 9, false});
    const std::thread::id caller = std::this_thread::get_id();
    std::vector<std::atomic<int>> seen(intervals.size());
    std::atomic<bool> slept = false;
    BatchFetch fetch(*access_, contigs_, intervals, 0, false, &*helper_);
    auto more = fetch.next(
        [&](std::size_t i, std::string_view bases) {
            if (std::this_thread::get_id() != caller && !slept.exchange(true)) {
                std::this_thread::sleep_for(std::chrono::milliseconds(200));
            }
            if (bases == "GTacgTN") ++seen[i];
        },
        {});
    ASSERT_TRUE(more.ok());
    EXPECT_TRUE(slept);
    EXPECT_EQ(std::count_if(seen.begin(), seen.end(), [](const std::atomic<int>& n) { return n == 1; }), 600);
}

}  // namespace
}  // namespace seqtally::core
