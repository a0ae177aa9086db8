#pragma once
// A 64-bit count written as decimal text, advanced by a fixed step. Window
// positions rise by the window size from one line of the track to the next:
// the last eight digits come from a table of four-digit groups, so a step
// mostly costs an addition, a compare and one table load; the middle four
// digits change once per 10^4 of the count, the digits above them once per
// 10^8.
#include <array>
#include <charconv>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace seqtally::core {

namespace detail {
struct FourDigits {
    std::array<char, 4 * 10000> text{};
    constexpr FourDigits() {
        for (int i = 0; i < 10000; ++i) {
            text[4 * i] = static_cast<char>('0' + i / 1000);
            text[4 * i + 1] = static_cast<char>('0' + i / 100 % 10);
            text[4 * i + 2] = static_cast<char>('0' + i / 10 % 10);
            text[4 * i + 3] = static_cast<char>('0' + i % 10);
        }
    }
};
inline constexpr FourDigits kFourDigits{};
}  // namespace detail

class DecimalCounter {
  public:
    // The most that write() stores: it may store past the text's end.
    static constexpr std::size_t kWriteSize = 32;

    // `start` >= 0, `step` > 0; start + steps taken must stay below 2^64.
    DecimalCounter(std::uint64_t start, std::uint64_t step) noexcept
        : last4_(start % 10000),
          middle4_(start / 10000 % 10000),
          high_(start / kLowLimit),
          step_last4_(step % 10000),
          step_middle4_(step / 10000 % 10000),
          step_high_(step / kLowLimit) {
        if (high_ == 0) {
            grow_low_digits();
        } else {
            write_high();
        }
        settle();
    }

    // Stores the count's text at `out` and returns its end; up to kWriteSize
    // bytes are stored. The last eight digits go from a register straight to
    // `out`: storing them into the counter and loading them back as part of
    // one wider copy would stall on store forwarding.
    char* write(char* out) const noexcept {
        std::uint32_t lower = 0;
        std::memcpy(&lower, detail::kFourDigits.text.data() + 4 * last4_, 4);
        const std::uint64_t eight = middle_text_ | (std::uint64_t{lower} << 32);  // first digit in the lowest byte
        if (high_size_ == 0) {
            const std::uint64_t digits = eight >> low_shift_;
            std::memcpy(out, &digits, 8);
            return out + low_digits_;
        }
        std::memcpy(out, high_text_.data(), high_text_.size());
        out += high_size_;
        std::memcpy(out, &eight, 8);
        return out + 8;
    }

    // For a step below 10^4 most advances are one addition and one compare;
    // everything else (a carry out of the last four digits, a new digit) is
    // settled once it is due.
    void advance() noexcept {
        last4_ += step_last4_;
        if (last4_ >= last4_limit_) [[unlikely]] carry();
    }

  private:
    static constexpr std::uint64_t kLowLimit = 100'000'000;

    void carry() noexcept {
        std::uint32_t carry = 0;
        if (last4_ >= 10000) {
            last4_ -= 10000;
            carry = 1;
        }
        middle4_ += step_middle4_ + carry;
        if (middle4_ >= 10000 || step_high_ != 0) {
            carry = middle4_ >= 10000;
            middle4_ -= carry * 10000;
            high_ += step_high_ + carry;
            write_high();
        } else if (high_size_ == 0) {
            grow_low_digits();
        }
        settle();
    }

    // While the count is below 10^8 it gains a digit at each power of ten.
    void grow_low_digits() noexcept {
        const std::uint32_t low = middle4_ * 10000 + last4_;
        while (low >= threshold_) {
            ++low_digits_;
            threshold_ *= 10;
        }
    }

    // From 10^8 up: the digits above the last eight, which change once per
    // 10^8 of the count.
    void write_high() noexcept {
        high_size_ = static_cast<std::size_t>(
            std::to_chars(high_text_.data(), high_text_.data() + high_text_.size(), high_).ptr - high_text_.data());
    }

    // What advance() may skip until the last four digits reach last4_limit_.
    void settle() noexcept {
        std::uint32_t middle = 0;
        std::memcpy(&middle, detail::kFourDigits.text.data() + 4 * middle4_, 4);
        middle_text_ = middle;
        low_shift_ = 8 * (8 - static_cast<unsigned>(low_digits_));
        if (step_middle4_ != 0 || step_high_ != 0) {
            last4_limit_ = 0;  // every advance carries into the middle digits
        } else if (high_size_ == 0 && middle4_ == 0 && threshold_ < 10000) {
            last4_limit_ = threshold_;  // the next digit comes before the next carry
        } else {
            last4_limit_ = 10000;
        }
    }

    std::uint32_t last4_;
    std::uint32_t middle4_;
    std::uint64_t high_;
    std::uint32_t step_last4_;
    std::uint32_t step_middle4_;
    std::uint64_t step_high_;
    std::uint32_t last4_limit_ = 0;
    std::uint32_t threshold_ = 10;
    std::uint64_t middle_text_ = 0;  // the middle four digits' text
    unsigned low_shift_ = 0;
    std::size_t low_digits_ = 1;
    std::size_t high_size_ = 0;
    std::array<char, 16> high_text_{};  // at most 12 digits: 2^64 / 10^8
};

}  // namespace seqtally::core
