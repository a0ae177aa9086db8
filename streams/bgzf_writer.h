#pragma once
// Writes BGZF as bgzip frames it: gzip members of at most kBlockInput bytes
// of input each, with the BC extra field giving the member's size, then the
// 28-byte empty member that marks the end. Blocks are compressed on the
// caller's thread and on helper threads, and written in order by the caller,
// so that every failure of the file reaches the caller's write, flush or
// release.
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <thread>
#include <vector>

#include "streams/sink.h"

namespace seqtally {

struct BgzfBlock {                      // one data block of the written file
    std::uint64_t compressed_offset;    // where its gzip header starts in the file
    std::uint64_t uncompressed_offset;  // where its data starts in the inflated stream
};

// Whether blocks are deflated by libdeflate (else zlib, same framing, slower).
bool has_libdeflate() noexcept;

class BgzfWriter final : public Sink {
  public:
    static constexpr std::size_t kBlockInput = 0xff00;  // bgzip's block: incompressible input still fits
    static constexpr std::size_t kMaxBlock = 0x10000;   // BSIZE is the block's size - 1, in 16 bits
    static constexpr std::size_t kEofBlockSize = 28;
    // Blocks in flight per compressing thread (the caller's included): one
    // compressing, one filled or waiting to be written. Each costs one input
    // and one output buffer, 128 KiB.
    static constexpr std::size_t kSlotsPerThread = 2;

    // Our default: bgzip's -l 5, one step faster than bgzip's own default
    // (-l 6, libdeflate's level 7), which on the bench genome took 2.5 times
    // as long for a copy 0.4% smaller.
    static constexpr int kDefaultLevel = 5;
    // bgzip's and tabix's own default, which tabix writes its index with.
    static constexpr int kBgzipDefaultLevel = 6;

    // level: 0-9 as bgzip's -l, the same bytes as bgzip's with libdeflate
    // (-1: kDefaultLevel); threads: compression threads beside the caller's
    // (0: none; callers pass every_core()).
    BgzfWriter(File file, int level, unsigned threads);
    // Helpers beside the caller, one per other hardware thread. Compression
    // dominates a BGZF output (tens of MB/s a core at the default level,
    // against hundreds for the read and what the read computes), so every
    // core compresses; the call's second core, which reads ahead, waits on a
    // full queue nearly all the while and costs no core of its own.
    static unsigned every_core() noexcept;
    // Without release(): stops the helpers (each finishes at most the block
    // it holds) and closes the file, which then lacks its last blocks.
    ~BgzfWriter() override;
    BgzfWriter(const BgzfWriter&) = delete;
    BgzfWriter& operator=(const BgzfWriter&) = delete;

    Result<std::size_t, IoError> write(std::span<const std::uint8_t>) override;
    Status<IoError> flush() override;     // may end the current block early
    Status<IoError> release() override;   // last block, bgzip's 28-byte EOF block, close
    std::uint64_t accepted() const noexcept { return accepted_; }  // uncompressed bytes taken so far
    // After release(): every data block in file order (not the EOF block).
    const std::vector<BgzfBlock>& blocks() const noexcept { return blocks_; }
    // Compressed bytes of the data blocks written so far; after release(),
    // where the EOF block starts.
    std::uint64_t written() const noexcept { return file_offset_; }
    // Bytes this writer holds for blocks in flight, whatever the input's size.
    std::size_t buffer_bytes() const noexcept { return slots_.size() * (kBlockInput + kMaxBlock); }

    class Compressor;

  private:
    struct Slot {
        std::unique_ptr<std::uint8_t[]> input;
        std::unique_ptr<std::uint8_t[]> output;
        std::size_t input_size = 0;
        std::size_t output_size = 0;
        bool compressed = false;  // under the mutex
    };

    Slot& slot_of(std::uint64_t block) noexcept { return slots_[block % slots_.size()]; }
    // The block being filled goes to the compressing threads.
    Status<IoError> end_block();
    // With the lock held: compresses the oldest block no thread has taken.
    void compress_next(std::unique_lock<std::mutex>& lock, Compressor& compressor) noexcept;
    // Writes the compressed blocks that are next in order, and until `needed`
    // blocks are written, helps compress them or waits.
    Status<IoError> write_until(std::uint64_t needed);
    Status<IoError> write_block(const Slot& slot);
    void work(Compressor& compressor) noexcept;
    void stop_helpers() noexcept;

    File file_;
    std::vector<Slot> slots_;
    std::vector<std::unique_ptr<Compressor>> compressors_;  // [0] the caller's
    std::vector<std::thread> helpers_;

    std::mutex mutex_;
    std::condition_variable changed_;
    std::uint64_t handed_off_ = 0;  // blocks given to the compressing threads
    std::uint64_t taken_ = 0;       // blocks some thread has started compressing
    bool stop_ = false;

    // The caller's alone.
    std::uint64_t written_blocks_ = 0;
    std::uint64_t file_offset_ = 0;
    std::uint64_t uncompressed_written_ = 0;
    std::uint64_t accepted_ = 0;
    std::optional<IoError> failure_;
    bool released_ = false;
    std::vector<BgzfBlock> blocks_;
};

}  // namespace seqtally
