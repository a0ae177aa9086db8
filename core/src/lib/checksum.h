#pragma once
// The identifier, length and digests of one FASTA record.
#include <array>
#include <deque>
#include <functional>
#include <memory>
#include <span>
#include <mutex>
#include <vector>
#include <cstdint>
#include <string>
#include <string_view>

#include "common/result.h"
#include "common/second_core.h"
#include "common/utf8.h"
#include "core/src/lib/digest.h"
#include "core/src/lib/named_records.h"
#include "fasta/record_view.h"

namespace seqtally::core {

// Both digest texts have 32 characters. They are held in place rather than
// as heap strings: a million short records wait for their Python objects
// until the file is read, and two heap blocks each would add a third to the
// memory the call touches.
using DigestText = std::array<char, 32>;

inline std::string_view text_of(const DigestText& text) noexcept { return {text.data(), text.size()}; }

struct SequenceDigest {
    std::string id;
    std::uint64_t length = 0;
    DigestText sha512;  // first 24 bytes, base64url without padding
    DigestText md5;     // lowercase hex
};

// Receives each record's sequence, joined and uppercased, in the blocks the
// digests are fed from (a store fills its folder from them in the same
// read). append may not throw: a sink keeps its own failure.
class UppercaseSink {
  public:
    virtual ~UppercaseSink() = default;
    virtual void append(std::span<const std::uint8_t> bytes) noexcept = 0;
};

// The operations fuzz target checks every record against one-shot OpenSSL
// digests of the joined, capitalised sequence.
// Digests records one after another. The two digest contexts and the block
// that feeds them are made once per call and reused for every record: for
// short records, setting up a context costs as much as the hashing.
class SequenceDigester {
  public:
    // Digests the record's sequence lines, joined and with a-z in capitals,
    // straight from the reader's buffer. Writes the per-record progress
    // message when verbose. Fails only when the identifier is not UTF-8.
    Result<SequenceDigest, Utf8Error> process_sequence(const fasta::RecordView& record, bool verbose);
    // The same digests under a name the caller chose; the uppercased bases
    // also go to `copy` when given.
    SequenceDigest process_named(const fasta::RecordView& record, std::string_view id,
                                 UppercaseSink* copy = nullptr);

  private:
    void add_line(std::string_view line);
    void drain();

    Digest sha512_{Digest::Algorithm::Sha512};
    Digest md5_{Digest::Algorithm::Md5};
    std::size_t used_ = 0;
    UppercaseSink* copy_ = nullptr;  // for the record being digested
    // Uppercased lines are gathered here before they are fed to the digests:
    // feeding a 60-byte line at a time costs as much in call overhead as
    // hashing it. Digests depend only on the byte order, not on how the bytes
    // are split into calls. 16 KiB stays in the L1 cache between the two
    // digest passes.
    std::array<std::uint8_t, 16384> block_;
};

// The same digests, with MD5 computed on the call's second core for long
// records: SHA-512 and MD5 are independent, so on two cores a long record
// takes the time of the slower one rather than of both. Short records (a
// handover per record would cost more than it saves) go through a
// SequenceDigester. While the caller would wait for the MD5 of a block, it
// computes it itself.
class TwoCoreDigester : private SecondCore::Task {
  public:
    static constexpr std::size_t kLongRecord = 1 << 20;

    // Records whose sequence lines span at least `long_record` bytes are
    // long. `second_core`: the thread shared with the call's input (it must
    // outlive the digester); null: one of the digester's own, started with
    // the first long record.
    explicit TwoCoreDigester(std::size_t long_record = kLongRecord, SecondCore* second_core = nullptr)
        : long_record_(long_record), core_(second_core) {}
    ~TwoCoreDigester();
    TwoCoreDigester(const TwoCoreDigester&) = delete;
    TwoCoreDigester& operator=(const TwoCoreDigester&) = delete;

    // As SequenceDigester::process_sequence, without progress messages.
    // `checkpoint`, when given, is called between blocks of a long record
    // and while it waits, and may throw to end the call; the digester is
    // then done with (the second core may still hold part of that record).
    Result<SequenceDigest, Utf8Error> process_sequence(const fasta::RecordView& record,
                                                       const std::function<void()>& checkpoint = {});
    // The same digests under a name the caller chose; the uppercased bases
    // also go to `copy` when given (the same sink for every part of a record).
    SequenceDigest process_named(const fasta::RecordView& record, std::string_view id,
                                 const std::function<void()>& checkpoint = {}, UppercaseSink* copy = nullptr);
    // The lines of a record gathered so far (fasta::Reader::PartialRecord),
    // digested before the record's end when they are long already: the
    // call for the whole record then digests only the lines after them.
    // gzip input arrives at the rate it is inflated, and the record's first
    // part is digested meanwhile instead of after its last line.
    void process_partial(const fasta::RecordView& partial, const std::function<void()>& checkpoint = {},
                         UppercaseSink* copy = nullptr);

  private:
    static constexpr std::size_t kBlockSize = 256 << 10;
    static constexpr std::size_t kBlocks = 8;
    struct Block {
        std::unique_ptr<std::uint8_t[]> bytes = std::make_unique_for_overwrite<std::uint8_t[]>(kBlockSize);
        std::size_t size = 0;
    };

    bool ready() const noexcept override { return !for_md5_.empty(); }
    void step(std::unique_lock<std::mutex>& lock) noexcept override;
    void start_long(const std::function<void()>& checkpoint, UppercaseSink* copy);
    void digest_lines(const fasta::SequenceLines& lines, const std::function<void()>& checkpoint);
    void hand_over(std::size_t block);
    std::size_t free_block(const std::function<void()>& checkpoint);
    void finish_md5(DigestText& md5, const std::function<void()>& checkpoint);

    std::size_t long_record_;
    UppercaseSink* copy_ = nullptr;  // for the long record under way
    SequenceDigester short_records_;
    std::unique_ptr<SecondCore> own_core_;  // before everything its thread uses
    SecondCore* core_;                      // attached once blocks_ exist
    Digest sha512_{Digest::Algorithm::Sha512};
    // The long record under way: digested ahead of its end (process_partial),
    // its lines digested so far, their bases, the block being filled.
    bool ahead_ = false;
    std::size_t lines_done_ = 0;
    std::uint64_t length_ = 0;
    std::size_t block_ = 0;
    // Guarded by the core's mutex, or held by the thread that steps MD5:
    Digest md5_{Digest::Algorithm::Md5};
    std::vector<Block> blocks_;
    std::deque<std::size_t> for_md5_;  // block numbers in order; kBlocks: the record's end
    std::vector<bool> busy_ = std::vector<bool>(kBlocks, false);
    bool md5_done_ = false;
    bool failed_ = false;  // a digest step failed
    DigestText md5_text_{};
};

// Every record's name, length and digests, in input order, on two cores as
// TwoCoreDigester gives them.
Result<std::deque<SequenceDigest>, RecordError> digest_records(NamedRecords& records, RecordEvents& events);

}  // namespace seqtally::core
