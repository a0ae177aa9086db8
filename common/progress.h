#pragma once
// Progress messages go straight to file descriptor 2, unbuffered, one write
// per message, bypassing Python's sys.stderr.
#include <string_view>

namespace seqtally {

// Writes the whole message. Closed standard error (EBADF) drops it silently;
// any other failure throws InternalFailure("failed printing to stderr: ...").
void write_progress(std::string_view message);

// "==> Processing region \"id\" ... ": the per-record message of both operations.
void write_processing_region(std::string_view identifier);

// The same write for failure reports, which must never fail in turn.
void write_stderr_ignoring_errors(std::string_view message) noexcept;

}  // namespace seqtally
