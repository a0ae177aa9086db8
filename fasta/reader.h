#pragma once
// Splits a FASTA byte stream into records without copying them: each record
// is handed out as a view into the reader's buffer. fuzz/reference_fasta.h
// states the same rules over the whole input at once; the fasta_reader fuzz
// target holds this reader to it under every fill pattern.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "fasta/buffer.h"
#include "fasta/byte_source.h"
#include "fasta/error.h"
#include "fasta/record_view.h"

namespace seqtally::fasta {

inline constexpr std::size_t kInitialCapacity = 65536;
// While a record is gathered for a PartialRecord, each refill reads this
// much: its parts arrive in steps, not in one read of a buffer as large as
// the largest record so far.
inline constexpr std::size_t kPartialFill = 1u << 20;

class Reader {
  public:
    explicit Reader(std::unique_ptr<ByteSource> source, std::size_t capacity = kInitialCapacity,
                    std::size_t partial_fill = kPartialFill);

    // Called while a long record is gathered, before each refill it needs,
    // with the record so far: its header and the lines complete so far
    // (valid during the call). May throw to end the read.
    using PartialRecord = std::function<void(const RecordView&)>;

    // A record, std::nullopt at the end of input, or an error. The view is
    // valid until the next call.
    Result<std::optional<RecordView>, Error> next_record(const PartialRecord& partial = {});

    // Where the current record's header line sits in the whole input.
    std::uint64_t header_line() const noexcept { return line_; }
    std::uint64_t header_offset() const noexcept { return offset_; }
    std::size_t capacity() const noexcept { return buffer_.capacity(); }

  private:
    enum class Search { Incomplete, Complete };

    // Reads until the buffer is full, the input ends or `at_most` bytes came.
    Result<std::size_t, Error> fill_buf(std::size_t at_most = SIZE_MAX);
    Result<bool, Error> init();
    Search search();
    Status<Error> next_complete(const PartialRecord& partial);
    RecordView view() const noexcept;

    Buffer buffer_;
    std::vector<std::size_t> line_ends_;
    std::size_t start_ = 0;
    std::size_t search_from_ = 0;
    std::uint64_t line_ = 0;  // 0 until the first record has been looked for
    std::uint64_t offset_ = 0;
    bool finished_ = false;
    bool source_ended_ = false;  // a read gave 0
    std::size_t partial_fill_;
    std::unique_ptr<ByteSource> source_;
};

}  // namespace seqtally::fasta
