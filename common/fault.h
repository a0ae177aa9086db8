#pragma once
// Which rule of its input a decoder found broken, carried by IoError beside
// its text: the binding words a failure by these values, never by the text.
#include <cstdint>
#include <string_view>

namespace seqtally {

// The gzip member reader's failures.
enum class GzipFault : std::uint8_t {
    Truncated,           // the input ends inside a member, or a few bytes follow the last one
    BadHeader,           // a member header that is not gzip's (magic, method, reserved flags)
    HeaderFieldTooLong,  // a name or comment over 65,535 bytes
    BadData,             // compressed data that is not DEFLATE
    ChecksumMismatch,    // the header's CRC-16, or a trailer's CRC-32 or length
    TrailingGarbage,     // bytes after a complete member that do not start another
};

// Random access's failures: the index's fault (made for another version of
// the file, or damaged), or the file's.
enum class AccessFault : std::uint8_t {
    FileTooShort,     // the file ends before the bases its index places there
    IndexMalformed,   // the .gzi's bytes are not a BGZF index
    IndexMismatch,    // the .gzi or .fai does not fit the file's blocks or lines
    BlockDamaged,     // a BGZF block whose header or compressed data is broken
    BlockChecksum,    // a BGZF block whose data does not match its CRC-32 or length
};

// Whether the index, rather than the file, is to blame.
constexpr bool blames_index(AccessFault fault) noexcept {
    return fault == AccessFault::FileTooShort || fault == AccessFault::IndexMalformed ||
           fault == AccessFault::IndexMismatch;
}

// Lowercase names ("checksum_mismatch"), for bindings and test reports.
std::string_view fault_name(GzipFault fault) noexcept;
std::string_view fault_name(AccessFault fault) noexcept;

}  // namespace seqtally
