#include "io_error.h"

#include <cerrno>
#include <cstring>

#include "quoted.h"

namespace seqtally {

std::string_view kind_name(ErrorKind kind) noexcept {
    switch (kind) {
        case ErrorKind::NotFound: return "NotFound";
        case ErrorKind::PermissionDenied: return "PermissionDenied";
        case ErrorKind::ConnectionRefused: return "ConnectionRefused";
        case ErrorKind::ConnectionReset: return "ConnectionReset";
        case ErrorKind::HostUnreachable: return "HostUnreachable";
        case ErrorKind::NetworkUnreachable: return "NetworkUnreachable";
        case ErrorKind::ConnectionAborted: return "ConnectionAborted";
        case ErrorKind::NotConnected: return "NotConnected";
        case ErrorKind::AddrInUse: return "AddrInUse";
        case ErrorKind::AddrNotAvailable: return "AddrNotAvailable";
        case ErrorKind::NetworkDown: return "NetworkDown";
        case ErrorKind::BrokenPipe: return "BrokenPipe";
        case ErrorKind::AlreadyExists: return "AlreadyExists";
        case ErrorKind::WouldBlock: return "WouldBlock";
        case ErrorKind::NotADirectory: return "NotADirectory";
        case ErrorKind::IsADirectory: return "IsADirectory";
        case ErrorKind::DirectoryNotEmpty: return "DirectoryNotEmpty";
        case ErrorKind::ReadOnlyFilesystem: return "ReadOnlyFilesystem";
        case ErrorKind::FilesystemLoop: return "FilesystemLoop";
        case ErrorKind::StaleNetworkFileHandle: return "StaleNetworkFileHandle";
        case ErrorKind::InvalidInput: return "InvalidInput";
        case ErrorKind::InvalidData: return "InvalidData";
        case ErrorKind::TimedOut: return "TimedOut";
        case ErrorKind::WriteZero: return "WriteZero";
        case ErrorKind::StorageFull: return "StorageFull";
        case ErrorKind::NotSeekable: return "NotSeekable";
        case ErrorKind::FilesystemQuotaExceeded: return "FilesystemQuotaExceeded";
        case ErrorKind::FileTooLarge: return "FileTooLarge";
        case ErrorKind::ResourceBusy: return "ResourceBusy";
        case ErrorKind::ExecutableFileBusy: return "ExecutableFileBusy";
        case ErrorKind::Deadlock: return "Deadlock";
        case ErrorKind::CrossesDevices: return "CrossesDevices";
        case ErrorKind::TooManyLinks: return "TooManyLinks";
        case ErrorKind::InvalidFilename: return "InvalidFilename";
        case ErrorKind::ArgumentListTooLong: return "ArgumentListTooLong";
        case ErrorKind::Interrupted: return "Interrupted";
        case ErrorKind::Unsupported: return "Unsupported";
        case ErrorKind::UnexpectedEof: return "UnexpectedEof";
        case ErrorKind::OutOfMemory: return "OutOfMemory";
        case ErrorKind::Other: return "Other";
        case ErrorKind::Uncategorized: return "Uncategorized";
        case ErrorKind::StopRequested: return "StopRequested";
        case ErrorKind::CheckpointFailed: return "CheckpointFailed";
    }
    return "Uncategorized";
}

ErrorKind kind_of_errno(int code) noexcept {
    switch (code) {
        case EPERM:
        case EACCES: return ErrorKind::PermissionDenied;
        case ENOENT: return ErrorKind::NotFound;
        case EINTR: return ErrorKind::Interrupted;
        case E2BIG: return ErrorKind::ArgumentListTooLong;
        case EDEADLK: return ErrorKind::Deadlock;
        case ENOMEM: return ErrorKind::OutOfMemory;
        case EBUSY: return ErrorKind::ResourceBusy;
        case EEXIST: return ErrorKind::AlreadyExists;
        case EXDEV: return ErrorKind::CrossesDevices;
        case ENOTDIR: return ErrorKind::NotADirectory;
        case EISDIR: return ErrorKind::IsADirectory;
        case EINVAL: return ErrorKind::InvalidInput;
        case ETXTBSY: return ErrorKind::ExecutableFileBusy;
        case EFBIG: return ErrorKind::FileTooLarge;
        case ENOSPC: return ErrorKind::StorageFull;
        case ESPIPE: return ErrorKind::NotSeekable;
        case EROFS: return ErrorKind::ReadOnlyFilesystem;
        case EMLINK: return ErrorKind::TooManyLinks;
        case EPIPE: return ErrorKind::BrokenPipe;
        case EAGAIN: return ErrorKind::WouldBlock;
        case EADDRINUSE: return ErrorKind::AddrInUse;
        case EADDRNOTAVAIL: return ErrorKind::AddrNotAvailable;
        case ENETDOWN: return ErrorKind::NetworkDown;
        case ENETUNREACH: return ErrorKind::NetworkUnreachable;
        case ECONNABORTED: return ErrorKind::ConnectionAborted;
        case ECONNRESET: return ErrorKind::ConnectionReset;
        case ENOTCONN: return ErrorKind::NotConnected;
        case ETIMEDOUT: return ErrorKind::TimedOut;
        case ECONNREFUSED: return ErrorKind::ConnectionRefused;
        case ELOOP: return ErrorKind::FilesystemLoop;
        case ENAMETOOLONG: return ErrorKind::InvalidFilename;
        case EHOSTUNREACH: return ErrorKind::HostUnreachable;
        case ENOTEMPTY: return ErrorKind::DirectoryNotEmpty;
        case EDQUOT: return ErrorKind::FilesystemQuotaExceeded;
        case ESTALE: return ErrorKind::StaleNetworkFileHandle;
        case ENOSYS: return ErrorKind::Unsupported;
        default: return ErrorKind::Uncategorized;
    }
}

std::string os_error_message(int code) {
    char scratch[256];
    // The GNU strerror_r may return a static string instead of filling scratch.
    const char* text = strerror_r(code, scratch, sizeof scratch);
    return std::string(text);
}

void append_debug_string(std::string& out, std::string_view text) {
    append_quoted(out, text, QuoteStyle::Text);
}

std::string IoError::text() const {
    const std::string_view kind = kind_name(kind_);
    std::string out;
    switch (repr_) {
        case Repr::Os:
            out = "Os { code: " + std::to_string(code_) + ", kind: ";
            out += kind;
            out += ", message: ";
            append_debug_string(out, os_error_message(code_));
            break;
        case Repr::Custom:
            out = "Custom { kind: ";
            out += kind;
            out += ", error: ";
            append_debug_string(out, custom_);
            break;
        case Repr::Fixed:
            out = "Error { kind: ";
            out += kind;
            out += ", message: ";
            append_debug_string(out, fixed_);
            break;
        case Repr::KindOnly:
            out = "Kind(";
            out += kind;
            out += ")";
            return out;
    }
    out += " }";
    return out;
}

std::string IoError::display() const {
    switch (repr_) {
        case Repr::Os: return os_error_message(code_) + " (os error " + std::to_string(code_) + ")";
        case Repr::Custom: return custom_;
        case Repr::Fixed: return fixed_;
        case Repr::KindOnly: break;
    }
    return std::string(kind_name(kind_));
}

std::string_view fault_name(GzipFault fault) noexcept {
    switch (fault) {
        case GzipFault::Truncated: return "truncated";
        case GzipFault::BadHeader: return "bad_header";
        case GzipFault::HeaderFieldTooLong: return "header_field_too_long";
        case GzipFault::BadData: return "bad_data";
        case GzipFault::ChecksumMismatch: return "checksum_mismatch";
        case GzipFault::TrailingGarbage: return "trailing_garbage";
    }
    return "unknown";
}

std::string_view fault_name(AccessFault fault) noexcept {
    switch (fault) {
        case AccessFault::FileTooShort: return "file_too_short";
        case AccessFault::IndexMalformed: return "index_malformed";
        case AccessFault::IndexMismatch: return "index_mismatch";
        case AccessFault::BlockDamaged: return "block_damaged";
        case AccessFault::BlockChecksum: return "block_checksum";
    }
    return "unknown";
}

IoError corrupt_deflate() { return IoError::custom(ErrorKind::InvalidInput, "corrupt deflate stream"); }

}  // namespace seqtally
