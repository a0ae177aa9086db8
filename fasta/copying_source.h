#pragma once
// A source whose bytes also go to a sink as they are read, in the order
// read: a copy of the decoded input made by the same read (index's BGZF
// copy). A failure of the sink is kept for the caller to word as the
// output's; the read fails too, so that the pass ends there.
#include <memory>
#include <optional>
#include <utility>

#include "common/write_all.h"
#include "fasta/byte_source.h"
#include "streams/sink.h"

namespace seqtally {

class CopyingSource final : public ByteSource {
  public:
    CopyingSource(std::unique_ptr<ByteSource> source, Sink& copy) : source_(std::move(source)), copy_(copy) {}

    Result<std::size_t, IoError> read(std::span<std::uint8_t> into) override {
        if (failure_) return Err{*failure_};
        auto got = source_->read(into);
        if (!got || got.value() == 0) return got;
        std::size_t written = 0;
        auto copied = write_all([this](std::span<const std::uint8_t> rest) { return copy_.write(rest); },
                                into.first(got.value()), written, IoError::of_kind(ErrorKind::WriteZero));
        if (!copied) {
            failure_ = std::move(copied).error();
            return Err{*failure_};
        }
        return got;
    }

    const std::optional<IoError>& failure() const noexcept { return failure_; }

  private:
    std::unique_ptr<ByteSource> source_;
    Sink& copy_;
    std::optional<IoError> failure_;
};

}  // namespace seqtally
