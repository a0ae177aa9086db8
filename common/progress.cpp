#include "progress.h"

#include <unistd.h>

#include <cerrno>

#include "failure.h"
#include "io_error.h"
#include "quoted.h"

namespace seqtally {
namespace {

// Returns 0 on success, else the errno of the failed write.
int write_fully(std::string_view message) noexcept {
    while (!message.empty()) {
        const ssize_t written = ::write(STDERR_FILENO, message.data(), message.size());
        if (written < 0) {
            if (errno == EINTR) continue;
            return errno;
        }
        if (written == 0) return -1;
        message.remove_prefix(static_cast<std::size_t>(written));
    }
    return 0;
}

}  // namespace

void write_progress(std::string_view message) {
    const int error = write_fully(message);
    if (error == 0 || error == EBADF) return;
    if (error < 0) throw InternalFailure("failed printing to stderr: failed to write whole buffer");
    throw InternalFailure("failed printing to stderr: " + IoError::os(error).display());
}

void write_processing_region(std::string_view identifier) {
    std::string message = "==> Processing region ";
    append_quoted(message, identifier, QuoteStyle::Text);
    message += " ... ";
    write_progress(message);
}

void write_stderr_ignoring_errors(std::string_view message) noexcept { (void)write_fully(message); }

}  // namespace seqtally
