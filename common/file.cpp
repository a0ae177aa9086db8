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

namespace {

// `stat_status` is what stat or fstat returned for `info`.
std::optional<FileIdentity> identity_from(int stat_status, const struct stat& info) noexcept {
    if (stat_status != 0 || !S_ISREG(info.st_mode)) return std::nullopt;
    return FileIdentity{static_cast<std::uint64_t>(info.st_dev), static_cast<std::uint64_t>(info.st_ino)};
}

}  // namespace

std::optional<FileIdentity> identity_of(std::string_view path) {
    if (path.find('\0') != std::string_view::npos) return std::nullopt;
    struct stat info;
    return identity_from(::stat(std::string(path).c_str(), &info), info);
}

std::optional<FileIdentity> File::identity() const noexcept {
    if (fd_ < 0) return std::nullopt;
    struct stat info;
    return identity_from(::fstat(fd_, &info), info);
}

bool has_gz_extension(std::string_view path) noexcept {
    // The last component that names something: empty components (repeated
    // or trailing '/') and "." components do not count.
    std::string_view last;
    std::size_t from = 0;
    while (from <= path.size()) {
        std::size_t slash = path.find('/', from);
        if (slash == std::string_view::npos) slash = path.size();
        const std::string_view component = path.substr(from, slash - from);
        if (!component.empty() && component != ".") last = component;
        from = slash + 1;
    }
    if (last.empty() || last == "..") return false;
    const std::size_t dot = last.rfind('.');
    if (dot == std::string_view::npos || dot == 0) return false;
    return last.substr(dot + 1) == "gz";
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

Result<std::size_t, IoError> File::write(std::span<const std::uint8_t> bytes) { return write_some(fd_, bytes); }

Result<std::size_t, IoError> write_some(int fd, std::span<const std::uint8_t> bytes) noexcept {
    for (;;) {
        const ssize_t put = ::write(fd, bytes.data(), bytes.size());
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
