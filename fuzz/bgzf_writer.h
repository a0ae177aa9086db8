#pragma once
// BGZF files made with zlib, block by block, with their .gzi as bgzip and
// samtools write it (every block that holds data but the first, the first
// implied at (0, 0)). The unit tests use it too.
#include <zlib.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "fuzz/zlib_reference.h"

namespace seqtally::fuzz {

class BgzfWriter {
  public:
    explicit BgzfWriter(int level = 6) {
        if (deflateInit2(&stream_, level, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY) != Z_OK) std::abort();
    }
    ~BgzfWriter() { deflateEnd(&stream_); }
    BgzfWriter(const BgzfWriter&) = delete;
    BgzfWriter& operator=(const BgzfWriter&) = delete;

    // One block of `data` (at most 64 KiB, less when it does not shrink);
    // an empty one is what bgzip ends a file with.
    void add_block(std::string_view data) {
        if (!data.empty() && data_blocks_++ > 0) {
            put(gzi_entries_, bgzf_.size(), 8);
            put(gzi_entries_, decoded_, 8);
        }
        decoded_ += data.size();
        // One stream for every block: a deflateInit2 a block would slow the fuzz target several times over.
        deflateReset(&stream_);
        const std::string deflated = deflate_all(stream_, data);
        const std::size_t size = 18 + deflated.size() + 8;
        if (size > 65536) std::abort();
        bgzf_ += std::string_view("\x1f\x8b\x08\x04\0\0\0\0\0\xff\x06\0BC\x02\0", 16);
        put(bgzf_, size - 1, 2);
        bgzf_ += deflated;
        put(bgzf_, crc32_z(0, reinterpret_cast<const Bytef*>(data.data()), data.size()), 4);
        put(bgzf_, data.size(), 4);
    }

    const std::string& bgzf() const noexcept { return bgzf_; }
    std::string gzi() const {
        std::string out;
        put(out, data_blocks_ > 0 ? data_blocks_ - 1 : 0, 8);
        return out + gzi_entries_;
    }

  private:
    static void put(std::string& out, std::uint64_t value, int bytes) {
        for (int i = 0; i < bytes; ++i) out.push_back(static_cast<char>(value >> (8 * i)));
    }

    z_stream stream_{};
    std::string bgzf_;
    std::string gzi_entries_;
    std::uint64_t decoded_ = 0;
    std::uint64_t data_blocks_ = 0;
};

}  // namespace seqtally::fuzz
