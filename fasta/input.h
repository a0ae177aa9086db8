#pragma once
// The library's input: any descriptor (a file, a pipe, a terminal), plain or
// gzip told by its first bytes, with the gzip stream inflated by the call's
// second core a bounded number of blocks ahead of the reader. Whoever runs
// the reader gets a checkpoint call every few MiB and while it waits for
// input; a checkpoint may throw to end the read, and the read-ahead is
// stopped (and a thread of its own joined) on the way out.
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "common/second_core.h"
#include "fasta/byte_source.h"
#include "fasta/gzip_member_reader.h"

namespace seqtally {

enum class Compression { None, Gzip, Bzip2, Xz, Zstd };

// What the first bytes say (up to 6 are looked at).
Compression compression_of(std::span<const std::uint8_t> head) noexcept;

struct InputOptions {
    // Bytes read from the descriptor (compressed ones for gzip), added as
    // they come; may be null.
    std::atomic<std::uint64_t>* bytes_read = nullptr;
    // Called on the reader's thread every kCheckpointBytes of input handed
    // out and every kWaitSlice of waiting; may throw. May be empty.
    std::function<void()> checkpoint;
    // Regular files up to this size are read on the reader's own thread:
    // starting a thread costs more than inflating a small file.
    std::uint64_t inline_limit = 1 << 20;
    // For gzip input, each member's place and size (see GzipMember); filled
    // by the thread that inflates, complete once the source is destroyed.
    std::vector<GzipMember>* members = nullptr;
    // The thread that reads ahead, shared with the call's other work (MD5);
    // null: one of the source's own. It must outlive the source.
    SecondCore* second_core = nullptr;
};

inline constexpr std::size_t kCheckpointBytes = 4 << 20;
inline constexpr int kWaitSliceMs = SecondCore::kWaitSlice.count();

// A descriptor read in slices of waiting that a stop flag can end: read(2)
// on a pipe can block for as long as its writer likes. Reads of regular
// files and block devices never wait, and go straight through.
class DescriptorSource final : public ByteSource {
  public:
    DescriptorSource(File file, std::atomic<std::uint64_t>* bytes_read);
    Result<std::size_t, IoError> read(std::span<std::uint8_t> into) override;
    // Bytes that the next reads give again, before the descriptor's own;
    // only once everything put back before has been read.
    void put_back(std::span<const std::uint8_t> bytes);
    // Set before any read that may wait; the flag outlives the source.
    void stop_when(const std::atomic<bool>* stop) noexcept { stop_ = stop; }
    bool may_block() const noexcept { return may_block_; }
    std::optional<std::uint64_t> regular_size() const noexcept { return regular_size_; }

  private:
    File file_;
    std::vector<std::uint8_t> head_;
    std::size_t head_used_ = 0;
    std::atomic<std::uint64_t>* bytes_read_;
    const std::atomic<bool>* stop_ = nullptr;
    bool may_block_ = true;
    std::optional<std::uint64_t> regular_size_;
};

// The decoded input: what fasta::Reader reads. Input compressed other than
// with gzip fails its first read with ErrorKind::Unsupported and a message
// naming the format.
std::unique_ptr<ByteSource> open_input(File file, InputOptions options);

}  // namespace seqtally
