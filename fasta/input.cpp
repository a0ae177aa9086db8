#include "input.h"

#include <poll.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <new>
#include <thread>

#include "fasta/gzip_member_reader.h"

namespace seqtally {
namespace {

constexpr std::size_t kHeadSize = 6;

// A source whose first read gives its error: the reader reports it like any
// failed read, in order, after the records before it.
class ErrorSource final : public ByteSource {
  public:
    explicit ErrorSource(IoError error) : error_(std::move(error)) {}
    Result<std::size_t, IoError> read(std::span<std::uint8_t>) override { return Err{error_}; }

  private:
    IoError error_;
};

// Up to kHeadSize bytes, fewer only at the end of the input; put back.
Result<std::vector<std::uint8_t>, IoError> peek_head(DescriptorSource& raw) {
    std::vector<std::uint8_t> head(kHeadSize);
    std::size_t got = 0;
    while (got < head.size()) {
        auto read = raw.read(std::span(head).subspan(got));
        if (!read) return Err{std::move(read).error()};
        if (read.value() == 0) break;
        got += read.value();
    }
    head.resize(got);
    raw.put_back(head);
    return head;
}

const char* unsupported_text(Compression compression) noexcept {
    switch (compression) {
        case Compression::Bzip2: return "compressed with bzip2, which is not read here: only plain and gzip FASTA are";
        case Compression::Xz: return "compressed with xz, which is not read here: only plain and gzip FASTA are";
        case Compression::Zstd: return "compressed with zstd, which is not read here: only plain and gzip FASTA are";
        case Compression::None:
        case Compression::Gzip: break;
    }
    return "";
}

// The plain bytes of a raw input, by what its first bytes say.
std::unique_ptr<ByteSource> decoded(std::unique_ptr<DescriptorSource> raw, std::vector<GzipMember>* members) {
    auto head = peek_head(*raw);
    if (!head) return std::make_unique<ErrorSource>(std::move(head).error());
    const Compression compression = compression_of(head.value());
    switch (compression) {
        case Compression::None: return raw;
        case Compression::Gzip: {
            auto reader = std::make_unique<GzipMemberReader>(std::move(raw), InflateLibrary::Isal);
            reader->log_members(members);
            return reader;
        }
        case Compression::Bzip2:
        case Compression::Xz:
        case Compression::Zstd: break;
    }
    return std::make_unique<ErrorSource>(IoError::custom(ErrorKind::Unsupported, unsupported_text(compression)));
}

// The decoded input, produced by a thread of its own a few blocks ahead of
// the reader: inflating on one core while the reader's caller computes on
// the other. A read error reaches the reader after every block before it.
class ReadAhead final : public ByteSource {
  public:
    ReadAhead(std::unique_ptr<DescriptorSource> raw, std::function<void()> checkpoint,
              std::vector<GzipMember>* members)
        : checkpoint_(std::move(checkpoint)), hand_over_early_(raw->may_block()) {
        raw->stop_when(&stop_);
        thread_ = std::thread(
            [this, members, source = std::move(raw)]() mutable { produce(std::move(source), members); });
    }
    ~ReadAhead() override {
        {
            std::lock_guard lock(mutex_);
            stop_ = true;
        }
        changed_.notify_all();
        thread_.join();
    }
    ReadAhead(const ReadAhead&) = delete;
    ReadAhead& operator=(const ReadAhead&) = delete;

    Result<std::size_t, IoError> read(std::span<std::uint8_t> into) override {
        if (current_used_ == current_.size) {
            if (auto next = next_block(); !next) return Err{std::move(next).error()};
            if (current_.size == 0) return std::size_t{0};
        }
        const std::size_t count = std::min(into.size(), current_.size - current_used_);
        std::memcpy(into.data(), current_.bytes.get() + current_used_, count);
        current_used_ += count;
        return count;
    }

  private:
    static constexpr std::size_t kBlockSize = 1 << 20;
    static constexpr std::size_t kDepth = 8;

    struct Block {
        std::unique_ptr<std::uint8_t[]> bytes;
        std::size_t size = 0;
    };

    Status<IoError> next_block() {
        std::unique_lock lock(mutex_);
        if (current_.bytes) spare_.push_back(std::move(current_.bytes));
        current_ = Block{};
        current_used_ = 0;
        changed_.notify_all();
        while (full_.empty() && !finished_) {
            if (changed_.wait_for(lock, std::chrono::milliseconds(kWaitSliceMs)) == std::cv_status::timeout &&
                checkpoint_) {
                lock.unlock();
                checkpoint_();
                lock.lock();
            }
        }
        if (!full_.empty()) {
            current_ = std::move(full_.front());
            full_.pop_front();
            changed_.notify_all();
            return Ok{};
        }
        if (out_of_memory_) throw std::bad_alloc();
        if (error_) return Err{*error_};
        return Ok{};
    }

    void produce(std::unique_ptr<DescriptorSource> raw, std::vector<GzipMember>* members) noexcept {
        try {
            auto source = decoded(std::move(raw), members);
            for (;;) {
                Block block;
                {
                    std::unique_lock lock(mutex_);
                    changed_.wait(lock, [&] { return stop_ || full_.size() < kDepth; });
                    if (stop_) return;
                    if (!spare_.empty()) {
                        block.bytes = std::move(spare_.back());
                        spare_.pop_back();
                    }
                }
                if (!block.bytes) block.bytes = std::make_unique_for_overwrite<std::uint8_t[]>(kBlockSize);
                std::optional<IoError> error;
                bool ended = false;
                while (block.size < kBlockSize) {
                    auto got = source->read(std::span(block.bytes.get() + block.size, kBlockSize - block.size));
                    if (!got) {
                        error = std::move(got).error();
                        break;
                    }
                    if (got.value() == 0) {
                        ended = true;
                        break;
                    }
                    block.size += got.value();
                    // A pipe's writer may pause for as long as it likes:
                    // what has come is the reader's at once.
                    if (hand_over_early_) break;
                }
                std::lock_guard lock(mutex_);
                if (block.size > 0) full_.push_back(std::move(block));
                if (error || ended) {
                    error_ = std::move(error);
                    finished_ = true;
                }
                changed_.notify_all();
                if (finished_) return;
            }
        } catch (...) {
            // Only allocation can throw here.
            std::lock_guard lock(mutex_);
            out_of_memory_ = true;
            finished_ = true;
            changed_.notify_all();
        }
    }

    std::function<void()> checkpoint_;
    const bool hand_over_early_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<Block> full_;
    std::vector<std::unique_ptr<std::uint8_t[]>> spare_;
    bool finished_ = false;
    bool out_of_memory_ = false;
    std::optional<IoError> error_;
    std::atomic<bool> stop_{false};
    Block current_;
    std::size_t current_used_ = 0;
    std::thread thread_;  // last: it starts once everything it uses exists
};

// Hands out at most kCheckpointBytes per read, and calls the checkpoint
// after every kCheckpointBytes handed out.
class CheckpointedSource final : public ByteSource {
  public:
    CheckpointedSource(std::unique_ptr<ByteSource> inner, std::function<void()> checkpoint)
        : inner_(std::move(inner)), checkpoint_(std::move(checkpoint)) {}
    Result<std::size_t, IoError> read(std::span<std::uint8_t> into) override {
        if (since_checkpoint_ >= kCheckpointBytes) {
            since_checkpoint_ = 0;
            if (checkpoint_) checkpoint_();
        }
        auto got = inner_->read(into.first(std::min(into.size(), kCheckpointBytes)));
        if (got) since_checkpoint_ += got.value();
        return got;
    }

  private:
    std::unique_ptr<ByteSource> inner_;
    std::function<void()> checkpoint_;
    std::size_t since_checkpoint_ = 0;
};

}  // namespace

Compression compression_of(std::span<const std::uint8_t> head) noexcept {
    const auto starts = [&](std::initializer_list<std::uint8_t> magic) {
        return head.size() >= magic.size() && std::equal(magic.begin(), magic.end(), head.begin());
    };
    if (starts({0x1F, 0x8B})) return Compression::Gzip;
    if (starts({'B', 'Z', 'h'})) return Compression::Bzip2;
    if (starts({0xFD, '7', 'z', 'X', 'Z', 0x00})) return Compression::Xz;
    if (starts({0x28, 0xB5, 0x2F, 0xFD})) return Compression::Zstd;
    return Compression::None;
}

DescriptorSource::DescriptorSource(File file, std::atomic<std::uint64_t>* bytes_read)
    : file_(std::move(file)), bytes_read_(bytes_read) {
    struct stat info {};
    if (::fstat(file_.fd(), &info) == 0) {
        may_block_ = !S_ISREG(info.st_mode) && !S_ISBLK(info.st_mode);
        if (S_ISREG(info.st_mode)) regular_size_ = static_cast<std::uint64_t>(info.st_size);
    }
}

void DescriptorSource::put_back(std::span<const std::uint8_t> bytes) {
    head_.assign(bytes.begin(), bytes.end());
    head_used_ = 0;
}

Result<std::size_t, IoError> DescriptorSource::read(std::span<std::uint8_t> into) {
    if (head_used_ < head_.size()) {
        const std::size_t count = std::min(into.size(), head_.size() - head_used_);
        std::memcpy(into.data(), head_.data() + head_used_, count);
        head_used_ += count;
        return count;
    }
    if (may_block_ && stop_ != nullptr) {
        for (;;) {
            if (stop_->load(std::memory_order_relaxed)) return Err{IoError::of_kind(ErrorKind::StopRequested)};
            pollfd ready{file_.fd(), POLLIN, 0};
            const int status = ::poll(&ready, 1, kWaitSliceMs);
            if (status > 0) break;  // readable, or hung up or failed: the read says which
            if (status < 0 && errno != EINTR) return Err{IoError::os(errno)};
        }
    }
    auto got = file_.read(into);
    if (got && bytes_read_ != nullptr) bytes_read_->fetch_add(got.value(), std::memory_order_relaxed);
    return got;
}

std::unique_ptr<ByteSource> open_input(File file, InputOptions options) {
    auto raw = std::make_unique<DescriptorSource>(std::move(file), options.bytes_read);
    std::unique_ptr<ByteSource> source;
    if (const auto size = raw->regular_size()) {
        // A regular file's first bytes never keep the caller waiting.
        auto head = peek_head(*raw);
        if (!head) {
            source = std::make_unique<ErrorSource>(std::move(head).error());
        } else if (compression_of(head.value()) != Compression::Gzip || *size <= options.inline_limit) {
            source = decoded(std::move(raw), options.members);
        }
    }
    if (!source) source = std::make_unique<ReadAhead>(std::move(raw), options.checkpoint, options.members);
    return std::make_unique<CheckpointedSource>(std::move(source), std::move(options.checkpoint));
}

}  // namespace seqtally
