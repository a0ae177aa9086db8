#include "utf8.h"

#include <cstring>

namespace seqtally {

std::string Utf8Error::text() const {
    std::string out = "Utf8Error { valid_up_to: " + std::to_string(valid_up_to) + ", error_len: ";
    out += error_len ? "Some(" + std::to_string(*error_len) + ")" : std::string("None");
    out += " }";
    return out;
}

std::optional<Utf8Error> check_utf8(std::string_view text) noexcept {
    const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
    const std::size_t size = text.size();
    std::size_t i = 0;
    while (i < size) {
        // Identifiers are nearly always ASCII: skip eight bytes at a time while
        // no byte has its high bit set.
        while (i + 8 <= size) {
            std::uint64_t word;
            std::memcpy(&word, bytes + i, 8);
            if (word & 0x8080808080808080ull) break;
            i += 8;
        }
        if (i >= size) break;
        const unsigned char lead = bytes[i];
        if (lead < 0x80) {
            ++i;
            continue;
        }
        // Second-byte bounds exclude overlong forms (E0, F0), surrogates (ED)
        // and code points above U+10FFFF (F4).
        int width;
        unsigned char low = 0x80, high = 0xBF;
        if (lead >= 0xC2 && lead <= 0xDF) {
            width = 2;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            width = 3;
            if (lead == 0xE0) low = 0xA0;
            if (lead == 0xED) high = 0x9F;
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            width = 4;
            if (lead == 0xF0) low = 0x90;
            if (lead == 0xF4) high = 0x8F;
        } else {
            return Utf8Error{i, 1};
        }
        for (int k = 1; k < width; ++k) {
            if (i + k >= size) return Utf8Error{i, std::nullopt};
            const unsigned char next = bytes[i + k];
            const bool fits = k == 1 ? (next >= low && next <= high) : (next >= 0x80 && next <= 0xBF);
            if (!fits) return Utf8Error{i, static_cast<std::uint8_t>(k)};
        }
        i += static_cast<std::size_t>(width);
    }
    return std::nullopt;
}

}  // namespace seqtally
