// The field's G/C count and GC skew: the integer arithmetic at its edges,
// and the masked pass against a count made a byte at a time.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/src/lib/window_counts.h"
#include "core/src/lib/window_pass.h"
#include "core/src/lib/window_values.h"
#include "fuzz/reference_track.h"
#include "fuzz/string_sink.h"
#include "tests/cpp/wrapped_record.h"

namespace seqtally::core {
namespace {

std::string text_of(CountMode mode, std::int16_t value) {
    if (value == kNoValue) return "none";
    char text[16];
    return std::string(text, format_count_value(mode, value, text));
}

TEST(CountValues, AcgtRoundsHalfUpAndHoldsTheThresholdExactly) {
    struct Case {
        std::uint64_t gc, acgt, bases;
        std::uint32_t min_millionths;
        const char* text;
    };
    constexpr std::uint64_t kBig = std::uint64_t{1} << 50;
    const Case table[] = {
        {21, 40, 40, 250'000, "52.5"},       // 525.5 per mille, whole tenths only: down
        {1, 16, 16, 250'000, "6.3"},         // 62.5 per mille exactly: half up
        {1, 3, 3, 250'000, "33.3"},          {2, 3, 3, 250'000, "66.7"},
        {1, 2, 2, 250'000, "50"},            {0, 7, 7, 250'000, "0"},
        {7, 7, 7, 250'000, "100"},           {0, 25, 100, 250'000, "0"},  // exactly at the mark
        {0, 24, 100, 250'000, "none"},       {3, 25, 101, 250'000, "none"},  // 24.75% of a clipped window
        {0, 0, 100, 0, "none"},              {0, 1, 100, 0, "0"},  // nothing to divide by, even at 0
        {99, 99, 100, 1'000'000, "none"},    {100, 100, 100, 1'000'000, "100"},
        {1, 1, 3, 333'333, "100"},           {1, 1, 3, 333'334, "none"},  // millionths honoured
        {kBig / 2, kBig, kBig, 250'000, "50"},  // products past 64 bits
    };
    for (const Case& row : table) {
        EXPECT_EQ(text_of(CountMode::Acgt, acgt_tenths(row.gc, row.acgt, row.bases, row.min_millionths)), row.text)
            << row.gc << "/" << row.acgt << " of " << row.bases;
    }
}

TEST(CountValues, SkewRoundsHalfAwayFromZeroToFourDecimals) {
    struct Case {
        std::uint64_t g, c;
        const char* text;
    };
    const Case table[] = {
        {1, 0, "1"},          {0, 1, "-1"},           {0, 0, "none"},        {1, 1, "0"},
        {2, 1, "0.3333"},     {1, 2, "-0.3333"},      {3, 1, "0.5"},         {5, 3, "0.25"},
        {20'001, 19'999, "0.0001"},  {19'999, 20'001, "-0.0001"},  // half a ten-thousandth: away from zero
        {20'003, 19'997, "0.0002"},  {19'997, 20'003, "-0.0002"},  // one and a half
        {400'001, 399'999, "0"},     // a quarter: down, and never "-0"
        {399'999, 400'001, "0"},
    };
    for (const Case& row : table) {
        EXPECT_EQ(text_of(CountMode::Skew, skew_ten_thousandths(row.g, row.c)), row.text) << row.g << " " << row.c;
    }
    EXPECT_EQ(text_of(CountMode::Skew, 10), "0.001");
    EXPECT_EQ(text_of(CountMode::Acgt, 5), "0.5");
}

// The definitions applied to counts made a byte at a time.
std::vector<std::int16_t> expected_values(const std::vector<fuzz::BaseCounts>& windows, const CountRule& rule) {
    std::vector<std::int16_t> values;
    for (const fuzz::BaseCounts& w : windows) {
        values.push_back(rule.mode == CountMode::Skew
                             ? skew_ten_thousandths(w.g, w.c)
                             : acgt_tenths(w.g + w.c, w.g + w.c + w.at, w.bases, rule.min_acgt_millionths));
    }
    return values;
}

// Windows at, below and above a 64-base run and the largest tabulated
// window; lines that cut runs everywhere; more windows than one piece of
// drained values.
TEST(CountPass, IsTheByteAtATimeCount) {
    std::string sequence(140'001, 'A');
    std::uint32_t state = 11;
    for (std::size_t i = 0; i < sequence.size(); ++i) {
        state = state * 1103515245 + 12345;
        // Stretches of N and of lowercase come and go, so windows with and
        // without a value both occur.
        const char* alphabet = (i / 500) % 3 == 0 ? "NNNNNNNgcat" : (i / 700) % 2 ? "acgtnGC" : "ACGTGCRN-*";
        sequence[i] = alphabet[(state >> 16) % std::char_traits<char>::length(alphabet)];
    }
    for (const std::size_t line_length : {1, 61, 64, 65, 4099, 140'001}) {
        const testing::WrappedRecord wrapped(sequence, line_length);
        const fasta::RecordView& record = wrapped.record();
        for (const std::uint64_t window : {1, 7, 63, 64, 65, 100, 127, 128, 1000}) {
            for (const CountRule rule : {CountRule{CountMode::Acgt, 250'000}, CountRule{CountMode::Acgt, 600'000},
                                         CountRule{CountMode::Skew, 0}}) {
                for (const bool omit_tail : {false, true}) {
                    std::uint64_t lowercase = 0;
                    const auto expected = expected_values(fuzz::base_counts(sequence, window, omit_tail, lowercase), rule);
                    std::vector<std::int16_t> values, drained;
                    const auto drain = [&](std::span<const std::int16_t> piece) {
                        drained.insert(drained.end(), piece.begin(), piece.end());
                    };
                    const CountPass::Totals totals = CountPass(window, rule).append(record, omit_tail, values, {}, drain);
                    drained.insert(drained.end(), values.begin(), values.end());
                    EXPECT_EQ(totals.length, sequence.size());
                    EXPECT_EQ(totals.lowercase, lowercase);
                    EXPECT_TRUE(drained == expected)
                        << "line " << line_length << " window " << window << " min " << rule.min_acgt_millionths
                        << " omit_tail " << omit_tail;
                }
            }
            // The module's count, asked for lowercase letters, counts them too.
            std::uint64_t lowercase = 0, expected_lowercase = 0;
            fuzz::base_counts(sequence, window, false, expected_lowercase);
            std::vector<std::uint8_t> bytes;
            WindowValues(window).append(record, false, bytes, {}, &lowercase);
            std::string wiggle;
            OutputStream out(std::make_unique<fuzz::StringSink>(wiggle));
            WindowPass(static_cast<std::int32_t>(window), false).section("r", record, out, &lowercase);
            EXPECT_EQ(lowercase, 2 * expected_lowercase);
        }
    }
}

}  // namespace
}  // namespace seqtally::core
