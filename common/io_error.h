#pragma once
// The error value of every file operation and byte source, with the text
// forms that failure messages are built from.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "common/fault.h"

namespace seqtally {

enum class ErrorKind : std::uint8_t {
    NotFound,
    PermissionDenied,
    ConnectionRefused,
    ConnectionReset,
    HostUnreachable,
    NetworkUnreachable,
    ConnectionAborted,
    NotConnected,
    AddrInUse,
    AddrNotAvailable,
    NetworkDown,
    BrokenPipe,
    AlreadyExists,
    WouldBlock,
    NotADirectory,
    IsADirectory,
    DirectoryNotEmpty,
    ReadOnlyFilesystem,
    FilesystemLoop,
    StaleNetworkFileHandle,
    InvalidInput,
    InvalidData,
    TimedOut,
    WriteZero,
    StorageFull,
    NotSeekable,
    FilesystemQuotaExceeded,
    FileTooLarge,
    ResourceBusy,
    ExecutableFileBusy,
    Deadlock,
    CrossesDevices,
    TooManyLinks,
    InvalidFilename,
    ArgumentListTooLong,
    Interrupted,
    Unsupported,
    UnexpectedEof,
    OutOfMemory,
    Other,
    Uncategorized,
    // Never from the system: a source asked to stop (its reader went away)
    // and a write refused because a checkpoint ended the call. Both are
    // distinct from Interrupted, which is EINTR.
    StopRequested,
    CheckpointFailed,
};

std::string_view kind_name(ErrorKind kind) noexcept;
ErrorKind kind_of_errno(int code) noexcept;

// The system's text for an error number, as strerror gives it.
std::string os_error_message(int code);

class IoError {
  public:
    static IoError os(int code) { return IoError(kind_of_errno(code), Repr::Os, code, nullptr, {}); }
    // A fixed message of the system; the text must outlive the error.
    static IoError simple_message(ErrorKind kind, const char* message) {
        return IoError(kind, Repr::Fixed, 0, message, {});
    }
    static IoError custom(ErrorKind kind, std::string message) {
        return IoError(kind, Repr::Custom, 0, nullptr, std::move(message));
    }
    static IoError of_kind(ErrorKind kind) { return IoError(kind, Repr::KindOnly, 0, nullptr, {}); }

    // The same error, marked with the rule its input broke; its kind and
    // text forms stay as they are.
    IoError with(GzipFault fault) && {
        gzip_fault_ = fault;
        return std::move(*this);
    }
    IoError with(AccessFault fault) && {
        access_fault_ = fault;
        return std::move(*this);
    }

    ErrorKind kind() const noexcept { return kind_; }
    std::optional<GzipFault> gzip_fault() const noexcept { return gzip_fault_; }
    std::optional<AccessFault> access_fault() const noexcept { return access_fault_; }
    // The OS error number, or 0 when the error has none.
    int raw_os_error() const noexcept { return repr_ == Repr::Os ? code_ : 0; }

    // Os { code: 2, kind: NotFound, message: "No such file or directory" },
    // Custom { kind: .., error: ".." }, Error { kind: .., message: ".." },
    // Kind(UnexpectedEof).
    std::string text() const;
    // "No such file or directory (os error 2)" and the like.
    std::string display() const;

  private:
    // A tagged struct rather than std::variant: GCC 12 reports false
    // maybe-uninitialized warnings for a variant holding a std::string.
    enum class Repr : std::uint8_t { KindOnly, Os, Fixed, Custom };

    IoError(ErrorKind kind, Repr repr, int code, const char* fixed, std::string custom)
        : kind_(kind), repr_(repr), code_(code), fixed_(fixed), custom_(std::move(custom)) {}

    ErrorKind kind_;
    Repr repr_;
    int code_;
    const char* fixed_;
    std::string custom_;
    std::optional<GzipFault> gzip_fault_;
    std::optional<AccessFault> access_fault_;
};

// Appends `text` in double quotes, with double quotes and backslashes (and
// control characters) escaped, as the error text forms show their messages.
void append_debug_string(std::string& out, std::string_view text);

// What zlib's reports of a damaged or misused stream become, for the reader
// and the writer alike.
IoError corrupt_deflate();

}  // namespace seqtally
