#include "quoted.h"

#include <algorithm>
#include <iterator>

namespace seqtally {
namespace {

struct CodePointRange {
    char32_t first;
    char32_t last;
};

#include "unicode_escapes.inc"

void append_unicode_escape(std::string& out, char32_t code_point) {
    static constexpr char kHex[] = "0123456789abcdef";
    char digits[8];
    int count = 0;
    do {
        digits[count++] = kHex[code_point & 0xF];
        code_point >>= 4;
    } while (code_point != 0);
    out += "\\u{";
    while (count > 0) out += digits[--count];
    out += '}';
}

// Decodes one UTF-8 sequence starting at text[i]. The texts quoted here are
// already known to be UTF-8; a stray byte is still shown, as its own escape,
// rather than trusted.
char32_t decode_at(std::string_view text, std::size_t& i) {
    const auto lead = static_cast<unsigned char>(text[i]);
    const int extra = (lead & 0xE0) == 0xC0 ? 1 : (lead & 0xF0) == 0xE0 ? 2 : (lead & 0xF8) == 0xF0 ? 3 : 0;
    if (extra == 0 || i + extra >= text.size()) {
        ++i;
        return lead;
    }
    char32_t value = lead & (0x3F >> extra);
    for (int k = 1; k <= extra; ++k) {
        const auto next = static_cast<unsigned char>(text[i + k]);
        if ((next & 0xC0) != 0x80) {
            ++i;
            return lead;
        }
        value = (value << 6) | (next & 0x3F);
    }
    i += static_cast<std::size_t>(extra) + 1;
    return value;
}

}  // namespace

bool needs_unicode_escape(char32_t code_point) noexcept {
    const auto* end = std::end(kEscapedRanges);
    const auto* it = std::upper_bound(std::begin(kEscapedRanges), end, code_point,
                                      [](char32_t cp, const CodePointRange& r) { return cp < r.first; });
    if (it == std::begin(kEscapedRanges)) return false;
    return code_point <= std::prev(it)->last;
}

const char* unicode_table_version() noexcept { return kUnicodeVersion; }

void append_quoted(std::string& out, std::string_view text, QuoteStyle style) {
    out += '"';
    std::size_t i = 0;
    while (i < text.size()) {
        const std::size_t begin = i;
        const char32_t cp = decode_at(text, i);
        switch (cp) {
            case 0: out += "\\0"; continue;
            case '\t': out += "\\t"; continue;
            case '\r': out += "\\r"; continue;
            case '\n': out += "\\n"; continue;
            case '\\': out += "\\\\"; continue;
            case '"': out += "\\\""; continue;
            case '\'':
                out += style == QuoteStyle::Path ? "\\'" : "'";
                continue;
            default: break;
        }
        const bool single_byte = i - begin == 1;
        if (cp < 0x20 || cp == 0x7F || (cp >= 0x80 && (single_byte || needs_unicode_escape(cp)))) {
            append_unicode_escape(out, cp);
        } else {
            out.append(text.substr(begin, i - begin));
        }
    }
    out += '"';
}

std::string quoted(std::string_view text, QuoteStyle style) {
    std::string out;
    out.reserve(text.size() + 2);
    append_quoted(out, text, style);
    return out;
}

}  // namespace seqtally
