#pragma once
// The one loop that hands bytes to a writer which may take only some of them
// per call (a file, a pipe, a compressor): pipes and zlib routinely take part
// of a large write, and a remainder dropped there would go unnoticed.
#include <cstddef>
#include <cstdint>
#include <span>

#include "io_error.h"
#include "result.h"

namespace seqtally {

// Hands bytes[written..] to `write_some` until it has taken them all.
// `written` records progress, so that a caller resumes after a failure
// instead of repeating bytes. A call that takes nothing ends the loop with
// the WriteZero error `zero`: the writer would never take the rest.
template <class WriteSome>
Status<IoError> write_all(WriteSome&& write_some, std::span<const std::uint8_t> bytes, std::size_t& written,
                          const IoError& zero) {
    while (written < bytes.size()) {
        auto took = write_some(bytes.subspan(written));
        if (!took) return Err{std::move(took).error()};
        if (took.value() == 0) return Err{zero};
        written += took.value();
    }
    return Ok{};
}

}  // namespace seqtally
