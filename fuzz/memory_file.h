#pragma once
// Bytes in a regular file without a path (a memfd), for readers that take a
// descriptor. The unit tests use it too.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdlib>
#include <string_view>

#include "common/file.h"

namespace seqtally::fuzz {

// At offset 0, as a file just opened is.
inline File memory_file(std::string_view bytes) {
    const int fd = ::memfd_create("seqtally-test", MFD_CLOEXEC);
    if (fd < 0) std::abort();
    for (ssize_t wrote = 0; !bytes.empty(); bytes.remove_prefix(static_cast<std::size_t>(wrote))) {
        if ((wrote = ::write(fd, bytes.data(), bytes.size())) <= 0) std::abort();
    }
    ::lseek(fd, 0, SEEK_SET);
    return File::adopt(fd);
}

}  // namespace seqtally::fuzz
