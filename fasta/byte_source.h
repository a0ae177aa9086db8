#pragma once
#include <cstddef>
#include <cstdint>
#include <span>

#include "common/file.h"
#include "common/io_error.h"
#include "common/result.h"

namespace seqtally {

// What the FASTA reader reads from: up to into.size() bytes per call, 0 only
// at the end of the input (or for an empty span).
class ByteSource {
  public:
    virtual ~ByteSource() = default;
    virtual Result<std::size_t, IoError> read(std::span<std::uint8_t> into) = 0;
};

// A plain file: each read is one read(2) of the file, which closes with the source.
class FileSource final : public ByteSource {
  public:
    explicit FileSource(File file) : file_(std::move(file)) {}
    Result<std::size_t, IoError> read(std::span<std::uint8_t> into) override { return file_.read(into); }

  private:
    File file_;
};

}  // namespace seqtally
