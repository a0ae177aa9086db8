#pragma once
// UTF-8 validation with the position and length of the first fault.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace seqtally {

struct Utf8Error {
    std::size_t valid_up_to = 0;
    // Length of the invalid sequence; none when the text ends inside a
    // sequence that was valid so far.
    std::optional<std::uint8_t> error_len;

    // Utf8Error { valid_up_to: 2, error_len: Some(1) }
    std::string text() const;
};

// RFC 3629: no overlong forms, no surrogates, nothing above U+10FFFF.
std::optional<Utf8Error> check_utf8(std::string_view bytes) noexcept;

}  // namespace seqtally
