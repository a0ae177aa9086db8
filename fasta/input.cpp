#include "input.h"

#include <poll.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <deque>
#include <mutex>
#include <new>

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

// The decoded input, produced a few blocks ahead of the reader by the
// call's second core while the reader's caller computes on the first. When
// nothing is queued and no thread inflates, the reader inflates straight
// into its own buffer rather than wait (the caller helps only where a read
// never waits: not on a pipe). A read error reaches the reader after every
// block before it.
class ReadAhead final : public ByteSource, private SecondCore::Task {
  public:
    ReadAhead(std::unique_ptr<DescriptorSource> raw, std::function<void()> checkpoint,
              std::vector<GzipMember>* members, SecondCore* second_core)
        : Task(!raw->may_block()),
          own_core_(second_core != nullptr ? nullptr : std::make_unique<SecondCore>()),
          core_(second_core != nullptr ? *second_core : *own_core_),
          checkpoint_(std::move(checkpoint)),
          hand_over_early_(raw->may_block()),
          members_(members),
          raw_(std::move(raw)) {
        raw_->stop_when(&stop_);
        core_.attach(*this);
    }
    ~ReadAhead() override {
        {
            std::lock_guard lock(core_.mutex());
            stop_ = true;
        }
        core_.detach(*this);
    }
    ReadAhead(const ReadAhead&) = delete;
    ReadAhead& operator=(const ReadAhead&) = delete;

    Result<std::size_t, IoError> read(std::span<std::uint8_t> into) override {
        if (current_used_ == current_.size) {
            std::unique_lock lock(core_.mutex());
            if (current_.bytes) spare_.push_back(std::move(current_.bytes));
            current_ = Block{};
            current_used_ = 0;
            core_.changed();
            for (;;) {
                if (!full_.empty()) {
                    current_ = std::move(full_.front());
                    full_.pop_front();
                    core_.changed();
                    break;
                }
                if (finished_) {
                    if (out_of_memory_) throw std::bad_alloc();
                    if (error_) return Err{*error_};
                    return std::size_t{0};
                }
                if (helps_ && core_.claim(*this)) return read_here(into, lock);
                core_.wait_until(
                    lock, [&] { return !full_.empty() || finished_ || (helps_ && !core_.running(*this)); },
                    checkpoint_);
            }
        }
        const std::size_t count = std::min(into.size(), current_.size - current_used_);
        std::memcpy(into.data(), current_.bytes.get() + current_used_, count);
        current_used_ += count;
        return count;
    }

  private:
    static constexpr std::size_t kBlockSize = 256 << 10;
    static constexpr std::size_t kDepth = 32;
    // Blocks the reader's caller may add beyond kDepth while it waits for
    // something else (the MD5 of a record's end while the second core
    // digests it): inflating ahead then beats waiting idle.
    static constexpr std::size_t kCallerDepth = 8;

    struct Block {
        std::unique_ptr<std::uint8_t[]> bytes;
        std::size_t size = 0;
    };

    bool ready() const noexcept override { return !stop_ && !finished_ && full_.size() < kDepth; }
    bool ready_for_caller() const noexcept override {
        return !stop_ && !finished_ && full_.size() < kDepth + kCallerDepth;
    }

    // The first read of the stream tells its kind, which may wait for a
    // pipe's writer: it happens in a step, not in the constructor.
    ByteSource& source() {
        if (!source_) source_ = decoded(std::move(raw_), members_);
        return *source_;
    }

    // Called with the lock held and this task claimed; the queue is empty.
    Result<std::size_t, IoError> read_here(std::span<std::uint8_t> into, std::unique_lock<std::mutex>& lock) {
        std::optional<Result<std::size_t, IoError>> got;
        lock.unlock();
        try {
            got = source().read(into);
        } catch (...) {
            // Only allocation can throw here.
        }
        lock.lock();
        core_.release(*this);
        if (!got) {
            out_of_memory_ = finished_ = true;
            throw std::bad_alloc();
        }
        if (!*got) {
            error_ = got->error();
            finished_ = true;
        } else if (got->value() == 0 && !into.empty()) {
            finished_ = true;
        }
        return std::move(*got);
    }

    void step(std::unique_lock<std::mutex>& lock) noexcept override {
        Block block;
        if (!spare_.empty()) {
            block.bytes = std::move(spare_.back());
            spare_.pop_back();
        }
        lock.unlock();
        std::optional<IoError> error;
        bool ended = false;
        try {
            ByteSource& from = source();
            if (!block.bytes) block.bytes = std::make_unique_for_overwrite<std::uint8_t[]>(kBlockSize);
            while (block.size < kBlockSize) {
                auto got = from.read(std::span(block.bytes.get() + block.size, kBlockSize - block.size));
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
        } catch (...) {
            // Only allocation can throw here.
            lock.lock();
            out_of_memory_ = finished_ = true;
            return;
        }
        lock.lock();
        if (block.size > 0) {
            full_.push_back(std::move(block));
        } else if (block.bytes) {
            spare_.push_back(std::move(block.bytes));
        }
        if (error || ended) {
            error_ = std::move(error);
            finished_ = true;
        }
    }

    std::unique_ptr<SecondCore> own_core_;  // first: it outlives every step
    SecondCore& core_;
    std::function<void()> checkpoint_;
    const bool hand_over_early_;
    const bool helps_ = !hand_over_early_;
    std::vector<GzipMember>* members_;
    // Guarded by the core's mutex, or held by the thread that claimed the task:
    std::unique_ptr<DescriptorSource> raw_;
    std::unique_ptr<ByteSource> source_;
    std::deque<Block> full_;
    std::vector<std::unique_ptr<std::uint8_t[]>> spare_;
    bool finished_ = false;
    bool out_of_memory_ = false;
    std::optional<IoError> error_;
    std::atomic<bool> stop_{false};
    // The reader's own:
    Block current_;
    std::size_t current_used_ = 0;
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
    if (!source) {
        source = std::make_unique<ReadAhead>(std::move(raw), options.checkpoint, options.members, options.second_core);
    }
    return std::make_unique<CheckpointedSource>(std::move(source), std::move(options.checkpoint));
}

}  // namespace seqtally
