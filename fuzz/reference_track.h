#pragma once
// The tracks of one record, counted a byte at a time: the reference that the
// window pass, the window values, wiggle and bedGraph text and the field's
// counts are checked against by the fuzz target and the tests.
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace seqtally::fuzz {

struct CountedWindow {
    std::int64_t gc = 0;  // G and C in uppercase: the tracks' count
    std::uint64_t g = 0, c = 0, at = 0;  // G, C and A/T in either case: the field's counts
    std::int64_t bases = 0;
    // Single precision and truncated, as the tracks define it.
    std::int32_t percent() const {
        return static_cast<std::int32_t>(static_cast<float>(gc) / static_cast<float>(bases) * 100.0f);
    }
};

// Every window in order, the last shorter one too unless omit_tail; a window
// below 1 never fills, so the whole sequence is one short window.
// `lowercase`, when given, gets the number of letters a-z.
inline std::vector<CountedWindow> counted_windows(const std::string& sequence, std::int64_t window, bool omit_tail,
                                                  std::uint64_t* lowercase = nullptr) {
    std::vector<CountedWindow> windows;
    CountedWindow open;
    for (const char byte : sequence) {
        const bool lower = byte >= 'a' && byte <= 'z';
        const char upper = lower ? static_cast<char>(byte - 32) : byte;
        if (lowercase) *lowercase += lower;
        open.gc += byte == 'G' || byte == 'C';
        open.g += upper == 'G';
        open.c += upper == 'C';
        open.at += upper == 'A' || upper == 'T';
        if (++open.bases == window) {
            windows.push_back(open);
            open = {};
        }
    }
    if (!omit_tail && open.bases > 0) windows.push_back(open);
    return windows;
}

// A window's value as text, or "" for a window without one (its line is
// left out). The module's count by default.
using WindowText = std::function<std::string(const CountedWindow&)>;
inline std::string percent_text(const CountedWindow& counted) { return std::to_string(counted.percent()); }

// "position<TAB>value" lines, 1-based; a window below 1 declares no step.
inline std::string expected_wiggle_lines(const std::string& sequence, std::int64_t window, bool omit_tail,
                                         const WindowText& text = percent_text) {
    std::string out;
    std::int64_t position = 1;
    for (const CountedWindow& counted : counted_windows(sequence, window, omit_tail)) {
        const std::string value = text(counted);
        if (!value.empty()) out += std::to_string(position) + "\t" + value + "\n";
        position += window;
    }
    return out;
}

inline std::string expected_section(std::string_view id, const std::string& sequence, std::int64_t window,
                                    bool omit_tail, const WindowText& text = percent_text) {
    return "variableStep chrom=" + std::string(id) + " span=" + std::to_string(window) + "\n" +
           expected_wiggle_lines(sequence, window, omit_tail, text);
}

inline std::vector<std::uint8_t> expected_values(const std::string& sequence, std::int64_t window, bool omit_tail) {
    std::vector<std::uint8_t> values;
    for (const CountedWindow& counted : counted_windows(sequence, window, omit_tail)) {
        values.push_back(static_cast<std::uint8_t>(counted.percent()));
    }
    return values;
}

// Intervals follow from the bases each window really holds, not from the
// window size, so a clipped last window is checked rather than assumed.
inline std::string expected_bedgraph(std::string_view name, const std::string& sequence, std::int64_t window,
                                     bool omit_tail, const WindowText& text = percent_text) {
    std::string out;
    std::int64_t start = 0;
    for (const CountedWindow& counted : counted_windows(sequence, window, omit_tail)) {
        const std::string value = text(counted);
        if (!value.empty()) {
            out += std::string(name) + "\t" + std::to_string(start) + "\t" + std::to_string(start + counted.bases) +
                   "\t" + value + "\n";
        }
        start += counted.bases;
    }
    return out;
}

}  // namespace seqtally::fuzz
