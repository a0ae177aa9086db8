// The BED reader over arbitrary bytes against a plain reading of the same
// rules, line by line with whole strings: the same intervals, or a refusal
// at the same line.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "core/src/lib/bed.h"

using namespace seqtally;

namespace {

struct Plain {
    std::uint64_t line, start, end;
    std::string chrom, name, strand, rest;
};

std::vector<std::string> split(const std::string& text, char at) {
    std::vector<std::string> parts(1);
    for (const char c : text) {
        if (c == at) {
            parts.emplace_back();
        } else {
            parts.back() += c;
        }
    }
    return parts;
}

// A plain decimal below 2^63, or -1.
long long plain_number(const std::string& field) {
    if (field.empty() || field.find_first_not_of("0123456789") != std::string::npos) return -1;
    const std::string digits = field.substr(std::min(field.find_first_not_of('0'), field.size() - 1));
    const std::string largest = "9223372036854775807";
    if (digits.size() > largest.size() || (digits.size() == largest.size() && digits > largest)) return -1;
    return std::stoll(digits);
}

// The intervals, or the line of the refusal (as a negative number).
std::vector<Plain> plain_bed(const std::string& text, long long& refused) {
    std::vector<Plain> found;
    std::vector<std::string> lines = split(text, '\n');
    if (!text.empty() && text.back() == '\n') lines.pop_back();
    std::size_t columns = 0;
    refused = 0;
    for (std::size_t i = 0; i < lines.size() && text.size() > 0; ++i) {
        std::string line = lines[i];
        const auto number = static_cast<long long>(i + 1);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.find('\r') != std::string::npos) return refused = number, found;
        if (line.empty() || line[0] == '#') continue;
        const std::string word = line.substr(0, line.find_first_of(" \t"));
        if (word == "track" || word == "browser") continue;
        if (line.back() == '\t') line.pop_back();
        const std::vector<std::string> fields = split(line, '\t');
        if (fields.size() < 3) return refused = number, found;
        if (columns == 0) columns = fields.size();
        const long long start = plain_number(fields[1]);
        const long long end = plain_number(fields[2]);
        if (fields.size() != columns || start < 0 || end < 0 || start > end) return refused = number, found;
        std::string rest;
        for (std::size_t f = 3; f < fields.size(); ++f) rest += "\t" + fields[f];
        found.push_back({static_cast<std::uint64_t>(number), static_cast<std::uint64_t>(start),
                         static_cast<std::uint64_t>(end), fields[0], fields.size() > 3 ? fields[3] : "",
                         fields.size() > 5 ? fields[5] : "", rest});
    }
    return found;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    long long refused = 0;
    const std::vector<Plain> expected = plain_bed(text, refused);
    auto parsed = core::parse_bed(text);
    if (refused != 0) {
        if (parsed.ok() || parsed.error().line != static_cast<std::uint64_t>(refused)) std::abort();
        return 0;
    }
    if (!parsed.ok() || parsed.value().intervals.size() != expected.size()) std::abort();
    for (std::size_t i = 0; i < expected.size(); ++i) {
        const core::BedInterval& got = parsed.value().intervals[i];
        const Plain& want = expected[i];
        if (got.line != want.line || got.start != want.start || got.end != want.end || got.chrom != want.chrom ||
            got.name != want.name || got.strand != want.strand || got.rest != want.rest) {
            std::abort();
        }
    }
    return 0;
}
