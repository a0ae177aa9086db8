#pragma once
// G/C as genome browsers and the field's tools count it, beside the module's
// count: G and C in either case over A, C, G and T in either case (N and
// every other byte outside the denominator), and GC skew (G - C) / (G + C).
// A window may have no value. Values are small integers, so that text and
// numbers come from one arithmetic: tenths of a percent for the G/C count,
// ten-thousandths for skew.
#include <cstdint>
#include <functional>
#include <span>
#include <string_view>
#include <vector>

#include "core/src/lib/decimal_counter.h"
#include "fasta/record_view.h"
#include "streams/output_stream.h"

namespace seqtally::core {

enum class CountMode : std::uint8_t { Acgt, Skew };

// A window without a value: too few A/C/G/T bases, or no G or C for skew.
inline constexpr std::int16_t kNoValue = INT16_MIN;

// The share of A/C/G/T a window needs for a value, in millionths of its
// bases (0.25 by default), and the value's scale.
struct CountRule {
    CountMode mode = CountMode::Acgt;
    std::uint32_t min_acgt_millionths = 250'000;
};

// Tenths of a percent of G/C among A/C/G/T, rounded half up: (2000 gc + acgt)
// / (2 acgt), as UCSC's tools round parts per thousand. kNoValue when acgt is
// 0 or acgt * 1,000,000 < min_acgt_millionths * bases (a window of exactly
// the share has a value). gc <= acgt <= bases.
std::int16_t acgt_tenths(std::uint64_t gc, std::uint64_t acgt, std::uint64_t bases,
                         std::uint32_t min_acgt_millionths) noexcept;

// (g - c) / (g + c) in ten-thousandths, rounded half away from zero (so a
// skew and its mirror image differ only in sign); kNoValue when g + c is 0.
std::int16_t skew_ten_thousandths(std::uint64_t g, std::uint64_t c) noexcept;

// A value's text, trailing zeros of the fraction dropped: tenths "52.5",
// "50", "0", "100"; ten-thousandths "-0.3333", "0.5", "1". At most 7 bytes.
// Not for kNoValue.
char* format_count_value(CountMode mode, std::int16_t value, char* at) noexcept;

// The values of a record's windows by a CountRule, in one pass over its
// lines, with the number of lowercase letters (a-z) counted on the way.
class CountPass {
  public:
    // window >= 1.
    CountPass(std::uint64_t window, CountRule rule);

    struct Totals {
        std::uint64_t length = 0;
        std::uint64_t lowercase = 0;
    };
    // Appends one value per window of the record (the last, shorter window
    // too unless omit_tail). `drain`, when given, is handed the values every
    // 64 Ki full windows, after which `values` is emptied: text tracks then
    // need no memory in proportion to the record. `checkpoint` as for
    // WindowValues::append.
    Totals append(const fasta::RecordView& record, bool omit_tail, std::vector<std::int16_t>& values,
                  const std::function<void()>& checkpoint = {},
                  const std::function<void(std::span<const std::int16_t>)>& drain = {}) const;

    std::uint64_t window() const noexcept { return window_; }
    CountRule rule() const noexcept { return rule_; }

  private:
    std::uint64_t window_;
    CountRule rule_;
    // Values of full windows by their two counts, for small windows.
    std::vector<std::int16_t> full_window_value_;
};

// A record's windows as text lines, leaving out windows without a value:
// a variableStep wiggle section ("position<TAB>value", 1-based, after its
// declaration line) or bedGraph ("name<TAB>start<TAB>end<TAB>value",
// 0-based, half-open, the last window clipped at the record's end). Values
// come in pieces, in order. Throws WriteFailure.
class CountLines {
  public:
    enum class Form : std::uint8_t { Wiggle, BedGraph };
    CountLines(Form form, std::uint64_t window, CountMode mode, OutputStream& out);
    // The next record's lines follow (for wiggle, after its declaration line).
    void begin(std::string_view name);
    // `length`: the record's length when known (the last piece), else none.
    void write(std::span<const std::int16_t> values, std::uint64_t length = UINT64_MAX);

    // A value's text, copied as one word and cut to its size.
    struct ValueText {
        char bytes[7];
        std::uint8_t size;
    };

  private:
    template <Form kForm>
    char* lines(std::span<const std::int16_t> values, std::uint64_t length, char* at);

    Form form_;
    std::string_view name_;
    std::uint64_t window_;
    OutputStream& out_;
    // By value; skew's start at -10000.
    std::vector<ValueText> text_;
    std::int32_t text_offset_;
    std::uint64_t next_start_ = 0;  // 0-based start of the next window
    // Positions as text: wiggle's 1-based start, bedGraph's start and end.
    DecimalCounter first_;
    DecimalCounter end_;
    std::vector<char> batch_;
};

}  // namespace seqtally::core
