#pragma once
// An owned POSIX file descriptor. Reads and writes repeat themselves when a
// signal interrupts them, so no caller ever sees EINTR.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

#include "io_error.h"
#include "result.h"

namespace seqtally {

// Which regular file a descriptor or path refers to, whatever the name used.
// Devices and pipes have none: /dev/null may well be both input and output.
struct FileIdentity {
    std::uint64_t device;
    std::uint64_t inode;
    bool operator==(const FileIdentity&) const = default;
};

// The identity of an existing file; none when the path names nothing yet.
std::optional<FileIdentity> identity_of(std::string_view path);

// One write(2) to `fd`, repeated when a signal interrupts it: the number of
// bytes taken, which may be fewer than given.
Result<std::size_t, IoError> write_some(int fd, std::span<const std::uint8_t> bytes) noexcept;

// Whether the path's extension (of its last component, a leading dot not
// counting) is exactly "gz": the rule that makes an input or output gzip.
bool has_gz_extension(std::string_view path) noexcept;

class File {
  public:
    // Read only: no creation, no truncation.
    static Result<File, IoError> open_read(std::string_view path);
    // Write only, created when missing and truncated when present, 0666
    // before the umask.
    static Result<File, IoError> create(std::string_view path);

    // Takes ownership of an open descriptor (a pipe, a memfd in tests).
    static File adopt(int fd) noexcept { return File(fd); }

    File(File&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
    File& operator=(File&& other) noexcept;
    File(const File&) = delete;
    File& operator=(const File&) = delete;
    ~File() { close_ignoring_errors(); }

    // One read(2): 0 at end of file.
    Result<std::size_t, IoError> read(std::span<std::uint8_t> into);
    // One write(2): the number of bytes taken, which may be fewer than given.
    Result<std::size_t, IoError> write(std::span<const std::uint8_t> bytes);
    // Closes now and reports the outcome; the file is closed either way.
    Status<IoError> close();
    void close_ignoring_errors() noexcept;

    int fd() const noexcept { return fd_; }
    std::optional<FileIdentity> identity() const noexcept;

  private:
    explicit File(int fd) noexcept : fd_(fd) {}
    static Result<File, IoError> open_with(std::string_view path, int flags);

    int fd_ = -1;
};

}  // namespace seqtally
