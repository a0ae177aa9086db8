#include "checksum.h"

#include <array>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "common/progress.h"
#include "common/failure.h"
#include "core/src/lib/digest.h"

namespace seqtally::core {
namespace {

// Bytes 'a'..'z' become 'A'..'Z'; everything else, bytes from 0x80 up
// included, passes unchanged.
inline std::uint8_t uppercase(std::uint8_t byte) noexcept {
    const bool lower = static_cast<std::uint8_t>(byte - 'a') < 26;
    return static_cast<std::uint8_t>(byte - (lower ? 0x20 : 0));
}

#if defined(__SSE2__)
inline __m128i uppercase16(__m128i bytes) noexcept {
    // Signed compares: bytes from 0x80 up are negative and never lowercase.
    const __m128i lower = _mm_and_si128(_mm_cmpgt_epi8(bytes, _mm_set1_epi8('a' - 1)),
                                        _mm_cmplt_epi8(bytes, _mm_set1_epi8('z' + 1)));
    return _mm_sub_epi8(bytes, _mm_and_si128(lower, _mm_set1_epi8(0x20)));
}
#endif

// Lines are mostly 60 to 80 bytes: a vector loop with a byte-by-byte tail
// would spend as long on the tail as on the rest. The last 16 bytes are
// redone instead, from a block that overlaps the one before.
void uppercase_into(std::uint8_t* out, const char* in, std::size_t size) noexcept {
#if defined(__SSE2__)
    if (size >= 16) {
        std::size_t i = 0;
        for (; i + 16 <= size; i += 16) {
            const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + i));
            _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i), uppercase16(bytes));
        }
        if (i < size) {
            const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + size - 16));
            _mm_storeu_si128(reinterpret_cast<__m128i*>(out + size - 16), uppercase16(bytes));
        }
        return;
    }
#endif
    for (std::size_t i = 0; i < size; ++i) out[i] = uppercase(static_cast<std::uint8_t>(in[i]));
}

}  // namespace

void SequenceDigester::add_line(std::string_view line) {
    while (!line.empty()) {
        const std::size_t take = std::min(line.size(), block_.size() - used_);
        uppercase_into(block_.data() + used_, line.data(), take);
        used_ += take;
        line.remove_prefix(take);
        if (used_ == block_.size()) drain();
    }
}

void SequenceDigester::drain() {
    const std::span<const std::uint8_t> bytes(block_.data(), used_);
    if (copy_ != nullptr) copy_->append(bytes);
    sha512_.update(bytes);
    md5_.update(bytes);
    used_ = 0;
}

Result<SequenceDigest, Utf8Error> SequenceDigester::process_sequence(const fasta::RecordView& record, bool verbose) {
    auto identifier = record.identifier();
    if (!identifier) return Err{identifier.error()};
    const std::string_view id = identifier.value();
    if (verbose) write_processing_region(id);
    return process_named(record, id);
}

SequenceDigest SequenceDigester::process_named(const fasta::RecordView& record, std::string_view id,
                                               UppercaseSink* copy) {
    copy_ = copy;
    sha512_.restart();
    md5_.restart();
    used_ = 0;
    std::uint64_t length = 0;
    for (const std::string_view line : record.sequence_lines()) {
        add_line(line);
        length += line.size();
    }
    drain();
    SequenceDigest digest;
    digest.id = std::string(id);
    digest.length = length;
    static_assert(base64url_unpadded_size(24) == std::tuple_size_v<DigestText>);
    static_assert(2 * 16 == std::tuple_size_v<DigestText>);
    base64url_unpadded_into(sha512_.finish().first(24), digest.sha512.data());
    lower_hex_into(md5_.finish().first(16), digest.md5.data());
    return digest;
}

TwoCoreDigester::~TwoCoreDigester() {
    if (!blocks_.empty()) core_->detach(*this);
}

void TwoCoreDigester::step(std::unique_lock<std::mutex>& lock) noexcept {
    const std::size_t block = for_md5_.front();
    for_md5_.pop_front();
    lock.unlock();
    bool failed = false;
    try {
        if (block == kBlocks) {
            lower_hex_into(md5_.finish().first(16), md5_text_.data());
            md5_.restart();
        } else {
            md5_.update(std::span(blocks_[block].bytes.get(), blocks_[block].size));
        }
    } catch (...) {
        failed = true;
    }
    lock.lock();
    failed_ = failed_ || failed;
    if (block == kBlocks) {
        md5_done_ = true;
    } else {
        busy_[block] = false;
    }
}

std::size_t TwoCoreDigester::free_block(const std::function<void()>& checkpoint) {
    std::unique_lock lock(core_->mutex());
    std::size_t block = kBlocks;
    core_->wait_until(
        lock,
        [&] {
            for (block = 0; block < kBlocks && busy_[block]; ++block) {
            }
            return block < kBlocks;
        },
        checkpoint);
    busy_[block] = true;
    blocks_[block].size = 0;
    return block;
}

void TwoCoreDigester::hand_over(std::size_t block) {
    {
        std::lock_guard lock(core_->mutex());
        for_md5_.push_back(block);
        core_->changed();
    }
    // The block is only read from here on, by both digests (and the copy) at once.
    const std::span<const std::uint8_t> bytes(blocks_[block].bytes.get(), blocks_[block].size);
    sha512_.update(bytes);
    if (copy_ != nullptr) copy_->append(bytes);
}

void TwoCoreDigester::finish_md5(DigestText& md5, const std::function<void()>& checkpoint) {
    std::unique_lock lock(core_->mutex());
    for_md5_.push_back(kBlocks);
    core_->changed();
    core_->wait_until(lock, [&] { return md5_done_; }, checkpoint);
    md5_done_ = false;
    if (failed_) throw InternalFailure("the MD5 digest failed on its thread");
    md5 = md5_text_;
}

Result<SequenceDigest, Utf8Error> TwoCoreDigester::process_sequence(const fasta::RecordView& record,
                                                                    const std::function<void()>& checkpoint) {
    auto identifier = record.identifier();
    if (!identifier) {
        // Digested ahead in part: what was digested must not run on into the next record.
        if (ahead_) {
            hand_over(block_);
            DigestText unused;
            finish_md5(unused, checkpoint);
            ahead_ = false;
        }
        return Err{identifier.error()};
    }
    return process_named(record, identifier.value(), checkpoint);
}

void TwoCoreDigester::start_long(const std::function<void()>& checkpoint, UppercaseSink* copy) {
    copy_ = copy;
    if (blocks_.empty()) {
        if (core_ == nullptr) core_ = (own_core_ = std::make_unique<SecondCore>()).get();
        blocks_.resize(kBlocks);
        core_->attach(*this);
    }
    sha512_.restart();
    length_ = 0;
    lines_done_ = 0;
    block_ = free_block(checkpoint);
    ahead_ = true;
}

void TwoCoreDigester::digest_lines(const fasta::SequenceLines& lines, const std::function<void()>& checkpoint) {
    for (auto next = lines.from(lines_done_); next != lines.end(); ++next) {
        std::string_view line = *next;
        length_ += line.size();
        while (!line.empty()) {
            Block& into = blocks_[block_];
            const std::size_t take = std::min(line.size(), kBlockSize - into.size);
            uppercase_into(into.bytes.get() + into.size, line.data(), take);
            into.size += take;
            line.remove_prefix(take);
            if (into.size == kBlockSize) {
                hand_over(block_);
                if (checkpoint) checkpoint();
                block_ = free_block(checkpoint);
            }
        }
        ++lines_done_;
    }
}

void TwoCoreDigester::process_partial(const fasta::RecordView& partial, const std::function<void()>& checkpoint,
                                      UppercaseSink* copy) {
    const fasta::SequenceLines lines = partial.sequence_lines();
    if (!ahead_) {
        if (lines.byte_span() < long_record_) return;
        start_long(checkpoint, copy);
    }
    digest_lines(lines, checkpoint);
}

SequenceDigest TwoCoreDigester::process_named(const fasta::RecordView& record, std::string_view id,
                                              const std::function<void()>& checkpoint, UppercaseSink* copy) {
    const fasta::SequenceLines lines = record.sequence_lines();
    if (!ahead_) {
        if (lines.byte_span() < long_record_) return short_records_.process_named(record, id, copy);
        start_long(checkpoint, copy);
    }
    digest_lines(lines, checkpoint);
    ahead_ = false;
    hand_over(block_);
    SequenceDigest digest;
    digest.id = std::string(id);
    digest.length = length_;
    base64url_unpadded_into(sha512_.finish().first(24), digest.sha512.data());
    finish_md5(digest.md5, checkpoint);
    copy_ = nullptr;
    return digest;
}

Result<std::deque<SequenceDigest>, RecordError> digest_records(NamedRecords& records, RecordEvents& events) {
    std::deque<SequenceDigest> digests;
    TwoCoreDigester digester(TwoCoreDigester::kLongRecord, records.second_core());
    const std::function<void()> checkpoint = [&] { events.checkpoint(); };
    auto read = for_each_record(
        records,
        [&](const NamedRecord& named) {
            SequenceDigest& digest =
                digests.emplace_back(digester.process_named(named.record, named.name, checkpoint));
            events.record_done(digest.id, digest.length);
        },
        [&](const fasta::RecordView& partial) { digester.process_partial(partial, checkpoint); });
    if (!read) return Err{std::move(read).error()};
    return digests;
}

}  // namespace seqtally::core
