#include "sequence_folder.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "common/write_all.h"

namespace seqtally::core {
namespace {

Status<IoError> made_folder(const std::string& path) {
    if (::mkdir(path.c_str(), 0777) == 0 || errno == EEXIST) return Ok{};
    return Err{IoError::os(errno)};
}

}  // namespace

SequenceFolder::~SequenceFolder() { discard(); }

void SequenceFolder::discard() noexcept {
    if (temporary_.empty()) return;
    file_.close_ignoring_errors();
    ::unlink(temporary_.c_str());
    temporary_.clear();
}

Status<IoError> SequenceFolder::begin() {
    discard();
    failed_.reset();
    for (;;) {
        std::string name = root_ + "/" + std::string(kTemporaryPrefix) + "XXXXXX";
        const int fd = ::mkostemp(name.data(), O_CLOEXEC);
        if (fd < 0) return Err{IoError::os(errno)};
        File file = File::adopt(fd);
        // Readable by a server or samtools running as someone else: the
        // bases are no secret of this process.
        struct stat info;
        if (::fchmod(fd, 0644) != 0 || ::flock(fd, LOCK_EX) != 0 || ::fstat(fd, &info) != 0) {
            const int code = errno;
            ::unlink(name.c_str());
            return Err{IoError::os(code)};
        }
        // A cleaner took the lock between mkostemp and flock and removed
        // the file: the name is free again, another is made.
        if (info.st_nlink == 0) continue;
        file_ = std::move(file);
        temporary_ = std::move(name);
        return Ok{};
    }
}

void SequenceFolder::append(std::span<const std::uint8_t> bytes) noexcept {
    if (failed_ || temporary_.empty()) return;
    std::size_t written = 0;
    auto done = write_all([&](std::span<const std::uint8_t> rest) { return file_.write(rest); }, bytes, written,
                          IoError::of_kind(ErrorKind::WriteZero));
    if (!done) failed_ = std::move(done).error();
}

Status<IoError> SequenceFolder::finish(std::string_view md5) {
    if (failed_) {
        discard();
        return Err{*failed_};
    }
    const std::string first = root_ + "/" + std::string(md5.substr(0, 2));
    const std::string second = first + "/" + std::string(md5.substr(2, 2));
    // htslib's %2s/%2s/%s: what the two folders consumed is not repeated.
    const std::string final_name = second + "/" + std::string(md5.substr(4));
    // Linked while the lock is held, so no cleaner removes the file first;
    // link, not rename: it fails on a name that exists instead of replacing
    // it, so two adds of one sequence never race over its file.
    int status = ::link(temporary_.c_str(), final_name.c_str());
    if (status != 0 && errno == ENOENT) {
        if (auto made = made_folder(first); !made) return made;
        if (auto made = made_folder(second); !made) return made;
        status = ::link(temporary_.c_str(), final_name.c_str());
    }
    const int code = errno;
    if (status != 0 && code != EEXIST) return Err{IoError::os(code)};
    auto closed = file_.close();
    if (!closed && status == 0) ::unlink(final_name.c_str());  // ours, and perhaps incomplete
    discard();
    return closed;
}

}  // namespace seqtally::core
