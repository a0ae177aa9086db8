#pragma once
// The quoted form in which progress messages and error texts show a text.
#include <cstdint>
#include <string>
#include <string_view>

namespace seqtally {

enum class QuoteStyle {
    Text,  // identifiers and error messages: a single quote stays as it is
    Path,  // paths: a single quote is escaped too
};

// Appends `text` (UTF-8) to `out` between double quotes, with the escapes of
// the quoted form.
void append_quoted(std::string& out, std::string_view text, QuoteStyle style);
std::string quoted(std::string_view text, QuoteStyle style);

// Whether the quoted form writes this code point (above U+007F) as \u{...}:
// not printable, or a grapheme extender, by the Unicode version of the table.
bool needs_unicode_escape(char32_t code_point) noexcept;
const char* unicode_table_version() noexcept;

}  // namespace seqtally
