#include "core/src/lib/bed.h"

#include <cstring>

namespace seqtally::core {
namespace {

constexpr std::uint64_t kLargest = (std::uint64_t{1} << 63) - 1;

// A field as a message shows it: printable ASCII as it is, other bytes as
// \xNN (a BED file may hold any bytes), long fields cut.
std::string shown(std::string_view field) {
    constexpr std::size_t kMost = 40;
    std::string out = "'";
    for (std::size_t i = 0; i < field.size() && i < kMost; ++i) {
        const auto byte = static_cast<unsigned char>(field[i]);
        if (byte >= 0x20 && byte < 0x7F && byte != '\\') {
            out += static_cast<char>(byte);
        } else {
            static constexpr char kHex[] = "0123456789abcdef";
            out += "\\x";
            out += kHex[byte >> 4];
            out += kHex[byte & 15];
        }
    }
    if (field.size() > kMost) out += "...";
    return out + "'";
}

bool is_header(std::string_view line) noexcept {
    if (line.front() == '#') return true;
    const std::string_view word = line.substr(0, line.find_first_of(" \t"));
    return word == "track" || word == "browser";
}

// Digits only, as bedtools takes them (no sign, no spaces, no exponent).
Result<std::uint64_t, std::string> number(std::string_view field, const char* what) {
    if (field.empty()) return Err{std::string("the ") + what + " is empty"};
    std::uint64_t value = 0;
    for (const char c : field) {
        if (c < '0' || c > '9') return Err{std::string("the ") + what + " is not a whole number: " + shown(field)};
        if (value > (kLargest - static_cast<std::uint64_t>(c - '0')) / 10) {
            return Err{std::string("the ") + what + " is too large: " + shown(field)};
        }
        value = value * 10 + static_cast<std::uint64_t>(c - '0');
    }
    return value;
}

}  // namespace

Result<BedIntervals, BedProblem> parse_bed(std::string_view text) {
    BedIntervals found;
    std::uint64_t number_of_line = 0;
    const auto problem = [&](std::string words) { return Err{BedProblem{number_of_line, std::move(words)}}; };
    std::size_t at = 0;
    while (at < text.size()) {
        const void* newline = std::memchr(text.data() + at, '\n', text.size() - at);
        const std::size_t stop = newline ? static_cast<std::size_t>(static_cast<const char*>(newline) - text.data())
                                         : text.size();
        std::string_view line = text.substr(at, stop - at);
        at = stop + 1;
        ++number_of_line;
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        if (line.find('\r') != std::string_view::npos) {
            return problem("a carriage return inside the line (a line may end in CRLF, nothing else may hold one)");
        }
        if (line.empty() || is_header(line)) continue;
        if (line.back() == '\t') line.remove_suffix(1);

        std::string_view fields[6];
        std::size_t columns = 0;
        std::size_t rest_at = line.size();
        for (std::size_t from = 0;;) {
            const std::size_t tab = line.find('\t', from);
            const std::size_t to = tab == std::string_view::npos ? line.size() : tab;
            if (columns < 6) fields[columns] = line.substr(from, to - from);
            if (++columns == 3) rest_at = to;
            if (tab == std::string_view::npos) break;
            from = tab + 1;
        }
        if (columns < 3) return problem("fewer than 3 columns: BED columns are separated by tabs");
        if (found.columns == 0) found.columns = columns;
        if (columns != found.columns) {
            return problem(std::to_string(columns) + " columns where the first interval has " +
                           std::to_string(found.columns) + ": every BED line needs the same number");
        }
        auto start = number(fields[1], "start");
        if (!start) return problem(std::move(start).error());
        auto end = number(fields[2], "end");
        if (!end) return problem(std::move(end).error());
        if (start.value() > end.value()) {
            return problem("the start (" + std::to_string(start.value()) + ") is after the end (" +
                           std::to_string(end.value()) + ")");
        }
        found.intervals.push_back(BedInterval{number_of_line, start.value(), end.value(), fields[0],
                                              columns > 3 ? fields[3] : std::string_view{},
                                              columns > 5 ? fields[5] : std::string_view{}, line.substr(rest_at)});
    }
    return found;
}

}  // namespace seqtally::core
