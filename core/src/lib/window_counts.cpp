#include "window_counts.h"

#include <algorithm>
#include <charconv>
#include <cstring>

#include "core/src/lib/gc_mask.h"
#include "core/src/lib/window_pass.h"

namespace seqtally::core {
namespace {

// Products of counts and scales stay exact for any record length.
using Wide = unsigned __int128;

inline std::uint64_t low_bits(std::uint64_t word, std::uint64_t n) noexcept {
    return word & (~std::uint64_t{0} >> (64 - n));
}

inline std::uint64_t ones(std::uint64_t word) noexcept {
    return static_cast<std::uint64_t>(__builtin_popcountll(word));
}

// Full windows up to this size take their value from a table by their two
// counts ((window + 1)^2 values, 32 KiB at most): a division per window
// costs as much as the rest of its work.
constexpr std::uint64_t kMaxTabulatedWindow = 127;
constexpr std::uint64_t kCheckpointBases = 1 << 20;
constexpr std::size_t kDrainWindows = 1 << 16;

// The two counts a value is made of: G/C and A/T for the G/C count, G and C
// for skew.
std::int16_t value_of(const CountRule& rule, std::uint64_t first, std::uint64_t second,
                      std::uint64_t bases) noexcept {
    if (rule.mode == CountMode::Skew) return skew_ten_thousandths(first, second);
    return acgt_tenths(first, first + second, bases, rule.min_acgt_millionths);
}

struct Open {
    std::uint64_t needed;  // bases still missing from the open window
    std::uint64_t first = 0;
    std::uint64_t second = 0;
    CountPass::Totals totals{};
};

template <class Marks>
[[gnu::always_inline]] inline Open pass(const fasta::SequenceLines& lines, std::uint64_t window,
                                        const CountRule& rule, std::span<const std::int16_t> table,
                                        std::vector<std::int16_t>& values, const std::function<void()>& checkpoint,
                                        const std::function<void(std::span<const std::int16_t>)>& drain) {
    Open open{window};
    std::uint64_t lowercase = 0;
    std::uint64_t length = 0;
    std::uint64_t next_checkpoint = kCheckpointBases;
    const auto end_window = [&] {
        values.push_back(table.empty() ? value_of(rule, open.first, open.second, window)
                                       : table[open.first * (window + 1) + open.second]);
        open.first = open.second = 0;
        open.needed = window;
        if (drain && values.size() >= kDrainWindows) [[unlikely]] {
            drain(values);
            values.clear();
        }
    };
    for (const std::string_view line : lines) {
        const char* bytes = line.data();
        std::size_t left = line.size();
        while (left > 0) {
            // Between runs, not lines: a record may be one line of 200 MiB.
            if (length >= next_checkpoint && checkpoint) [[unlikely]] {
                next_checkpoint = length + kCheckpointBases;
                checkpoint();
            }
            const std::size_t run = std::min<std::size_t>(left, 64);
            length += run;
            auto [first, second, lower] = run_masks<Marks>(bytes, run);
            lowercase += ones(lower);
            std::uint64_t rest = run;
            while (rest >= open.needed) {
                open.first += ones(low_bits(first, open.needed));
                open.second += ones(low_bits(second, open.needed));
                first = open.needed < 64 ? first >> open.needed : 0;
                second = open.needed < 64 ? second >> open.needed : 0;
                rest -= open.needed;
                end_window();
            }
            if (rest > 0) {
                open.first += ones(low_bits(first, rest));
                open.second += ones(low_bits(second, rest));
                open.needed -= rest;
            }
            bytes += run;
            left -= run;
        }
    }
    open.totals = {length, lowercase};
    return open;
}

template <class Marks>
__attribute__((target("popcnt"))) Open pass_popcnt(const fasta::SequenceLines& lines, std::uint64_t window,
                                                   const CountRule& rule, std::span<const std::int16_t> table,
                                                   std::vector<std::int16_t>& values,
                                                   const std::function<void()>& checkpoint,
                                                   const std::function<void(std::span<const std::int16_t>)>& drain) {
    return pass<Marks>(lines, window, rule, table, values, checkpoint, drain);
}
template <class Marks>
Open pass_portable(const fasta::SequenceLines& lines, std::uint64_t window, const CountRule& rule,
                   std::span<const std::int16_t> table, std::vector<std::int16_t>& values,
                   const std::function<void()>& checkpoint,
                   const std::function<void(std::span<const std::int16_t>)>& drain) {
    return pass<Marks>(lines, window, rule, table, values, checkpoint, drain);
}

}  // namespace

std::int16_t acgt_tenths(std::uint64_t gc, std::uint64_t acgt, std::uint64_t bases,
                         std::uint32_t min_acgt_millionths) noexcept {
    if (acgt == 0 || Wide{acgt} * 1'000'000 < Wide{min_acgt_millionths} * bases) return kNoValue;
    return static_cast<std::int16_t>((Wide{gc} * 2000 + acgt) / (Wide{acgt} * 2));
}

std::int16_t skew_ten_thousandths(std::uint64_t g, std::uint64_t c) noexcept {
    if (g == 0 && c == 0) return kNoValue;
    const Wide sum = Wide{g} + c;
    const Wide difference = g >= c ? Wide{g - c} : Wide{c - g};
    const auto size = static_cast<std::int16_t>((difference * 20'000 + sum) / (sum * 2));
    return g >= c ? size : static_cast<std::int16_t>(-size);
}

char* format_count_value(CountMode mode, std::int16_t value, char* at) noexcept {
    unsigned size = static_cast<unsigned>(value < 0 ? -value : value);
    if (value < 0) *at++ = '-';
    const unsigned scale = mode == CountMode::Acgt ? 10 : 10'000;
    at = std::to_chars(at, at + 5, size / scale).ptr;
    unsigned fraction = size % scale;
    if (fraction == 0) return at;
    *at++ = '.';
    for (unsigned digit = scale / 10; fraction != 0; digit /= 10) {
        *at++ = static_cast<char>('0' + fraction / digit);
        fraction %= digit;
    }
    return at;
}

CountPass::CountPass(std::uint64_t window, CountRule rule) : window_(window), rule_(rule) {
    if (window > kMaxTabulatedWindow) return;
    full_window_value_.resize((window + 1) * (window + 1));
    for (std::uint64_t first = 0; first <= window; ++first) {
        for (std::uint64_t second = 0; first + second <= window; ++second) {
            full_window_value_[first * (window + 1) + second] = value_of(rule, first, second, window);
        }
    }
}

CountPass::Totals CountPass::append(const fasta::RecordView& record, bool omit_tail,
                                    std::vector<std::int16_t>& values, const std::function<void()>& checkpoint,
                                    const std::function<void(std::span<const std::int16_t>)>& drain) const {
    const bool has_popcnt = popcnt_pass();
    const fasta::SequenceLines lines = record.sequence_lines();
    Open open{window_};
    if (rule_.mode == CountMode::Skew) {
        open = has_popcnt
                   ? pass_popcnt<GCLowercase>(lines, window_, rule_, full_window_value_, values, checkpoint, drain)
                   : pass_portable<GCLowercase>(lines, window_, rule_, full_window_value_, values, checkpoint, drain);
    } else {
        open = has_popcnt
                   ? pass_popcnt<GcAtLowercase>(lines, window_, rule_, full_window_value_, values, checkpoint, drain)
                   : pass_portable<GcAtLowercase>(lines, window_, rule_, full_window_value_, values, checkpoint,
                                                  drain);
    }
    const std::uint64_t tail = window_ - open.needed;
    if (!omit_tail && tail > 0) values.push_back(value_of(rule_, open.first, open.second, tail));
    return open.totals;
}

CountLines::CountLines(Form form, std::uint64_t window, CountMode mode, OutputStream& out)
    : form_(form),
      window_(window),
      out_(out),
      text_offset_(mode == CountMode::Skew ? 10'000 : 0),
      first_(0, window),
      end_(window, window) {
    static_assert(sizeof(ValueText) == 8);
    // Values are few (1001 or 20001): their text is made once.
    text_.resize(mode == CountMode::Skew ? 20'001 : 1'001);
    for (std::size_t i = 0; i < text_.size(); ++i) {
        ValueText& text = text_[i];
        const auto value = static_cast<std::int16_t>(static_cast<std::int32_t>(i) - text_offset_);
        const char* end = format_count_value(mode, value, text.bytes);
        text.size = static_cast<std::uint8_t>(end - text.bytes);
    }
}

namespace {
// The room a line may take in the batch: the name, two positions written
// DecimalCounter::kWriteSize bytes at a time, a value copied as 8 bytes,
// and separators.
std::size_t line_room(std::string_view name) noexcept { return name.size() + 2 * DecimalCounter::kWriteSize + 16; }
}  // namespace

void CountLines::begin(std::string_view name) {
    name_ = name;
    next_start_ = 0;
    first_ = DecimalCounter(form_ == Form::Wiggle ? 1 : 0, window_);
    end_ = DecimalCounter(window_, window_);
    batch_.resize(std::max<std::size_t>({batch_.size(), 65536, 2 * line_room(name)}));
    if (form_ == Form::Wiggle) {
        std::string header = "variableStep chrom=";
        header += name;
        header += " span=";
        header += std::to_string(window_);
        header += '\n';
        write_or_fail(out_, header);
    }
}

template <CountLines::Form kForm>
char* CountLines::lines(std::span<const std::int16_t> values, std::uint64_t length, char* at) {
    const char* const last_start = batch_.data() + batch_.size() - line_room(name_);
    std::uint64_t start = next_start_;
    for (const std::int16_t value : values) {
        if (value != kNoValue) {
            if (at > last_start) [[unlikely]] {
                write_or_fail(out_, std::string_view(batch_.data(), static_cast<std::size_t>(at - batch_.data())));
                at = batch_.data();
            }
            if constexpr (kForm == Form::BedGraph) {
                std::memcpy(at, name_.data(), name_.size());
                at += name_.size();
                *at++ = '\t';
                at = first_.write(at);
                *at++ = '\t';
                // Only a record's last window may end early.
                at = start + window_ > length ? std::to_chars(at, at + 20, length).ptr : end_.write(at);
            } else {
                at = first_.write(at);
            }
            *at++ = '\t';
            const ValueText& text = text_[static_cast<std::size_t>(value + text_offset_)];
            std::memcpy(at, &text, 8);
            at += text.size;
            *at++ = '\n';
        }
        first_.advance();
        if constexpr (kForm == Form::BedGraph) end_.advance();
        start += window_;
    }
    next_start_ = start;
    return at;
}

void CountLines::write(std::span<const std::int16_t> values, std::uint64_t length) {
    char* at = form_ == Form::Wiggle ? lines<Form::Wiggle>(values, length, batch_.data())
                                     : lines<Form::BedGraph>(values, length, batch_.data());
    write_or_fail(out_, std::string_view(batch_.data(), static_cast<std::size_t>(at - batch_.data())));
}

}  // namespace seqtally::core
