#pragma once
#include <cstdint>
#include <string>

#include "common/io_error.h"

namespace seqtally::fasta {

// What the reader reports: a failed read of its source, or input whose first
// non-blank line is not a header.
struct Error {
    enum class Kind { Io, InvalidStart };

    static Error io(IoError error) { return Error{Kind::Io, std::move(error), 0, 0}; }
    static Error invalid_start(std::uint64_t line, std::uint8_t found) {
        return Error{Kind::InvalidStart, IoError::of_kind(ErrorKind::Other), line, found};
    }

    Kind kind;
    IoError io_error;    // Io only
    std::uint64_t line;  // InvalidStart only: 1-based line number
    std::uint8_t found;  // InvalidStart only: first byte of that line

    // Io(Os { .. }) or InvalidStart { line: 3, found: 65 }
    std::string text() const {
        if (kind == Kind::Io) return "Io(" + io_error.text() + ")";
        return "InvalidStart { line: " + std::to_string(line) + ", found: " + std::to_string(found) + " }";
    }
};

}  // namespace seqtally::fasta
