#pragma once
// Where an OutputStream sends its bytes: the output file itself or a gzip
// member writer that owns the file.
#include <cstddef>
#include <cstdint>
#include <span>

#include "common/file.h"
#include "common/io_error.h"
#include "common/result.h"

namespace seqtally {

class Sink {
  public:
    virtual ~Sink() = default;
    // Takes some of the bytes (possibly fewer than given) and says how many.
    virtual Result<std::size_t, IoError> write(std::span<const std::uint8_t> bytes) = 0;
    virtual Status<IoError> flush() = 0;
    // The end of the sink's life: finishes what it writes and closes the
    // file. Returns the first failure; the file is closed either way.
    virtual Status<IoError> release() = 0;
};

class FileSink final : public Sink {
  public:
    explicit FileSink(File file) : file_(std::move(file)) {}
    Result<std::size_t, IoError> write(std::span<const std::uint8_t> bytes) override { return file_.write(bytes); }
    Status<IoError> flush() override { return Ok{}; }
    Status<IoError> release() override { return file_.close(); }

  private:
    File file_;
};

}  // namespace seqtally
