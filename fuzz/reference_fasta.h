#pragma once
// The FASTA record rules written the plain way, over the whole input at once:
// the fuzz targets check the streaming reader against it.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace seqtally::fuzz {

struct ReferenceRecord {
    std::string header;
    std::vector<std::string> lines;
};

struct ReferenceResult {
    std::vector<ReferenceRecord> records;
    std::optional<std::pair<std::uint64_t, std::uint8_t>> invalid_start;  // line, first byte
};

inline std::string strip_cr(std::string_view line) {
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    return std::string(line);
}

inline ReferenceResult reference_split(std::string_view input) {
    std::vector<std::string_view> lines;
    std::size_t from = 0;
    while (from <= input.size()) {
        const std::size_t newline = input.find('\n', from);
        if (newline == std::string_view::npos) {
            // A final piece after the last '\n' is a line only if it holds bytes.
            if (from < input.size()) lines.push_back(input.substr(from));
            break;
        }
        lines.push_back(input.substr(from, newline - from));
        from = newline + 1;
    }
    ReferenceResult result;
    std::size_t i = 0;
    while (i < lines.size() && (lines[i].empty() || lines[i] == "\r")) ++i;
    if (i == lines.size()) return result;
    if (lines[i][0] != '>') {
        result.invalid_start = {{i + 1, static_cast<std::uint8_t>(lines[i][0])}};
        return result;
    }
    for (; i < lines.size(); ++i) {
        if (!lines[i].empty() && lines[i][0] == '>') {
            result.records.push_back({strip_cr(lines[i].substr(1)), {}});
        } else {
            result.records.back().lines.push_back(strip_cr(lines[i]));
        }
    }
    return result;
}

}  // namespace seqtally::fuzz
