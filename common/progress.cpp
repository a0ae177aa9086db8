#include "progress.h"

#include <unistd.h>

#include <cerrno>

#include "failure.h"
#include "file.h"
#include "io_error.h"
#include "quoted.h"
#include "write_all.h"

namespace seqtally {
namespace {

Status<IoError> write_fully(std::string_view message) noexcept {
    std::size_t written = 0;
    return write_all([](std::span<const std::uint8_t> rest) { return write_some(STDERR_FILENO, rest); },
                     std::span(reinterpret_cast<const std::uint8_t*>(message.data()), message.size()), written,
                     IoError::simple_message(ErrorKind::WriteZero, "failed to write whole buffer"));
}

}  // namespace

void write_progress(std::string_view message) {
    auto written = write_fully(message);
    // No standard error at all (closed descriptor 2) is not a failure of the call.
    if (written || written.error().raw_os_error() == EBADF) return;
    throw InternalFailure("failed printing to stderr: " + written.error().display());
}

void write_processing_region(std::string_view identifier) {
    std::string message = "==> Processing region ";
    append_quoted(message, identifier, QuoteStyle::Text);
    message += " ... ";
    write_progress(message);
}

void write_stderr_ignoring_errors(std::string_view message) noexcept { (void)write_fully(message); }

}  // namespace seqtally
