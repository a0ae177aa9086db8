#include "fai.h"

#include <array>
#include <limits>
#include <optional>
#include <unordered_set>

namespace seqtally {
namespace {

constexpr std::array<const char*, 4> kNumberNames = {"length", "offset", "line bases", "line bytes"};

// Plain decimal digits, as samtools writes them: no sign, no spaces.
std::optional<std::uint64_t> decimal(std::string_view field) noexcept {
    if (field.empty()) return std::nullopt;
    std::uint64_t value = 0;
    for (const char c : field) {
        if (c < '0' || c > '9') return std::nullopt;
        if (__builtin_mul_overflow(value, 10u, &value) ||
            __builtin_add_overflow(value, static_cast<unsigned>(c - '0'), &value)) {
            return std::nullopt;
        }
    }
    return value;
}

// The byte just past a record's last base, if it is a file offset.
std::optional<std::uint64_t> end_of(std::uint64_t length, const RecordPlace& place) noexcept {
    const std::uint64_t last = length - 1;
    std::uint64_t byte = 0;
    if (__builtin_mul_overflow(last / place.line_bases, place.line_bytes, &byte) ||
        __builtin_add_overflow(byte, place.offset, &byte) ||
        __builtin_add_overflow(byte, last % place.line_bases + 1, &byte) ||
        byte > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
        return std::nullopt;
    }
    return byte;
}

FaiProblem problem(std::uint64_t line, const std::string& what) {
    return FaiProblem{line, "line " + std::to_string(line) + " is not a FASTA index line: " + what};
}

}  // namespace

Result<std::vector<FaiEntry>, FaiProblem> parse_fai(std::string_view text) {
    std::vector<FaiEntry> entries;
    std::unordered_set<std::string_view> names;
    std::uint64_t number = 0;
    while (!text.empty()) {
        ++number;
        const std::size_t end = text.find('\n');
        std::string_view line = text.substr(0, end);
        text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);

        std::array<std::string_view, 5> fields;
        std::size_t count = 0;
        for (std::string_view rest = line; count < fields.size();) {
            const std::size_t tab = rest.find('\t');
            fields[count++] = rest.substr(0, tab);
            if (tab == std::string_view::npos) break;
            rest.remove_prefix(tab + 1);
        }
        if (count < fields.size()) {
            return Err{problem(number, "it has " + std::to_string(count) + (count == 1 ? " field" : " fields") +
                                           ", not 5 (name, length, offset, line bases, line bytes)")};
        }
        std::array<std::uint64_t, 4> values{};
        for (std::size_t i = 0; i < values.size(); ++i) {
            const auto value = decimal(fields[i + 1]);
            if (!value) return Err{problem(number, std::string("its ") + kNumberNames[i] + " is not a decimal number")};
            values[i] = *value;
        }
        FaiEntry entry{std::string(fields[0]), values[0], RecordPlace{values[1], values[2], values[3]}};
        if (entry.place.line_bytes < entry.place.line_bases) {
            return Err{problem(number, "its lines would hold fewer bytes than bases")};
        }
        if (entry.length > 0) {
            if (entry.place.line_bases == 0) return Err{problem(number, "it places bases on lines of none")};
            if (!end_of(entry.length, entry.place)) {
                return Err{problem(number, "its last base would lie beyond any file offset (2^63)")};
            }
        }
        if (!names.insert(fields[0]).second) continue;
        entries.push_back(std::move(entry));
    }
    return entries;
}

}  // namespace seqtally
