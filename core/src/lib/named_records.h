#pragma once
// The records of an input with their names and numbers, and every reason
// one cannot be had as a value: the one place where a record gets its name.
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

#include "common/result.h"
#include "common/second_core.h"
#include "common/utf8.h"
#include "fasta/byte_source.h"
#include "fasta/error.h"
#include "fasta/reader.h"
#include "fasta/record_view.h"

namespace seqtally::core {

// How a record is named. The module's rule: the header up to its first
// space (RecordView::identifier). The library's: the header's first word
// (RecordView::first_word), as samtools faidx, Picard and the sequence
// collection tools read it.
enum class NameRule : std::uint8_t { Header, Word };

// What is asked of names beyond the rule: formats that name records
// (tracks, chrom.sizes, dictionaries) cannot take a record without one;
// an index or a bigWig track cannot take two records of one name.
struct NameNeeds {
    bool present = false;
    bool distinct = false;
};

struct RecordError {
    enum class Kind : std::uint8_t {
        Read,       // the reader failed: `read`
        NotUtf8,    // the name is not UTF-8: `utf8`
        Unnamed,    // the header has no first word
        Duplicate,  // a name an earlier record has: `first`, `name`
    };
    RecordError(Kind kind_, std::uint64_t record_, std::uint64_t line_) : kind(kind_), record(record_), line(line_) {}

    Kind kind;
    std::uint64_t record = 0;  // from 1
    std::uint64_t line = 0;    // of the header
    fasta::Error read = fasta::Error::io(IoError::of_kind(ErrorKind::Other));
    Utf8Error utf8;
    std::uint64_t first = 0;
    std::string name;
};

struct NamedRecord {
    const fasta::RecordView& record;
    std::string_view name;
    std::uint64_t number;  // from 1
};

// What a pass over records tells its caller on the way; either may throw
// to end the pass (the exception goes on as it is).
class RecordEvents {
  public:
    virtual ~RecordEvents() = default;
    // Between records, between pieces of a long record, before writes.
    virtual void checkpoint() {}
    virtual void record_done(std::string_view /*name*/, std::uint64_t /*length*/) {}
};

class NamedRecords {
  public:
    // `second_core`: the thread the source reads ahead on, if any, for a
    // pass to share (it outlives the records); null: none.
    NamedRecords(std::unique_ptr<ByteSource> source, NameRule rule, NameNeeds needs = {},
                 SecondCore* second_core = nullptr);

    // The next record, none at the end, or why there is none; the record
    // and its name are valid until the next call. `partial`: see
    // fasta::Reader::PartialRecord.
    Result<std::optional<NamedRecord>, RecordError> next(const fasta::Reader::PartialRecord& partial = {});

    SecondCore* second_core() const noexcept { return second_core_; }

    // A record's name by the rule, for a pass that walks a record while it
    // is gathered (a PartialRecord); what next() asks beyond it is not
    // checked here.
    Result<std::string_view, Utf8Error> name_of(const fasta::RecordView& record) const {
        return rule_ == NameRule::Header ? record.identifier() : record.first_word();
    }

    std::uint64_t header_offset() const noexcept { return reader_.header_offset(); }
    std::uint64_t header_line() const noexcept { return reader_.header_line(); }

  private:
    fasta::Reader reader_;
    NameRule rule_;
    NameNeeds needs_;
    SecondCore* second_core_;
    std::uint64_t number_ = 0;
    std::optional<fasta::RecordView> current_;
    std::unordered_map<std::string, std::uint64_t> seen_;  // with needs_.distinct
};

// f(record) for every record, in order: the first RecordError ends it.
template <class F>
Status<RecordError> for_each_record(NamedRecords& records, F&& f, const fasta::Reader::PartialRecord& partial = {}) {
    for (;;) {
        auto next = records.next(partial);
        if (!next) return Err{std::move(next).error()};
        if (!next.value()) return Ok{};
        f(*next.value());
    }
}

}  // namespace seqtally::core
