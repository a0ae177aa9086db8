// The field's G/C count and GC skew: the integer arithmetic at its edges
// (the masked pass is checked against a byte-at-a-time count by the
// operations fuzz target, and against numpy by test_counts.py).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/src/lib/window_yields.h"

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

}  // namespace
}  // namespace seqtally::core
