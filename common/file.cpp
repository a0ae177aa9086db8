#include "file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>

namespace seqtally {

Result<File, IoError> File::open_with(std::string_view path, int flags) {
    // The kernel would silently cut the name at a NUL byte and open another file.
    if (path.find('\0') != std::string_view::npos) {
        return Err{IoError::simple_message(ErrorKind::InvalidInput,
                                           "file name contained an unexpected NUL byte")};
    }
    const std::string terminated(path);
    for (;;) {
        const int fd = ::open(terminated.c_str(), flags | O_CLOEXEC, 0666);
        if (fd >= 0) return File(fd);
        if (errno != EINTR) return Err{IoError::os(errno)};
    }
}

std::optional<FileIdentity> identity_of(std::string_view path) {
    if (path.find('\0') != std::string_view::npos) return std::nullopt;
    struct stat info;
    if (::stat(std::string(path).c_str(), &info) != 0 || !S_ISREG(info.st_mode)) return std::nullopt;
    return FileIdentity{static_cast<std::uint64_t>(info.st_dev), static_cast<std::uint64_t>(info.st_ino)};
}

std::optional<FileIdentity> File::identity() const noexcept {
    struct stat info;
    if (fd_ < 0 || ::fstat(fd_, &info) != 0 || !S_ISREG(info.st_mode)) return std::nullopt;
    return FileIdentity{static_cast<std::uint64_t>(info.st_dev), static_cast<std::uint64_t>(info.st_ino)};
}

Result<File, IoError> File::open_read(std::string_view path) { return open_with(path, O_RDONLY); }

Result<File, IoError> File::create(std::string_view path) {
    return open_with(path, O_WRONLY | O_CREAT | O_TRUNC);
}

File& File::operator=(File&& other) noexcept {
    if (this != &other) {
        close_ignoring_errors();
        fd_ = other.fd_;
        other.fd_ = -1;
    }
    return *this;
}

Result<std::size_t, IoError> File::read(std::span<std::uint8_t> into) {
    for (;;) {
        const ssize_t got = ::read(fd_, into.data(), into.size());
        if (got >= 0) return static_cast<std::size_t>(got);
        if (errno != EINTR) return Err{IoError::os(errno)};
    }
}

Result<std::size_t, IoError> File::write(std::span<const std::uint8_t> bytes) {
    for (;;) {
        const ssize_t put = ::write(fd_, bytes.data(), bytes.size());
        if (put >= 0) return static_cast<std::size_t>(put);
        if (errno != EINTR) return Err{IoError::os(errno)};
    }
}

Status<IoError> File::close() {
    if (fd_ < 0) return Ok{};
    const int fd = fd_;
    fd_ = -1;
    // On Linux the descriptor is gone even when close reports EINTR, so it is
    // never retried; the error still says the data may not have reached disk.
    if (::close(fd) != 0) return Err{IoError::os(errno)};
    return Ok{};
}

void File::close_ignoring_errors() noexcept {
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
    }
}

}  // namespace seqtally
