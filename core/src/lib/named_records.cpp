#include "named_records.h"

namespace seqtally::core {

NamedRecords::NamedRecords(std::unique_ptr<ByteSource> source, NameRule rule, NameNeeds needs,
                           SecondCore* second_core)
    : reader_(std::move(source)), rule_(rule), needs_(needs), second_core_(second_core) {}

Result<std::optional<NamedRecord>, RecordError> NamedRecords::next(const fasta::Reader::PartialRecord& partial) {
    auto next = reader_.next_record(partial);
    if (!next) {
        RecordError error(RecordError::Kind::Read, number_ + 1, reader_.header_line());
        error.read = std::move(next).error();
        return Err{std::move(error)};
    }
    if (!next.value()) return std::optional<NamedRecord>();
    ++number_;
    current_.emplace(*next.value());
    auto name = name_of(*current_);
    if (!name) {
        RecordError error(RecordError::Kind::NotUtf8, number_, reader_.header_line());
        error.utf8 = name.error();
        return Err{std::move(error)};
    }
    if (needs_.present && name.value().empty()) {
        return Err{RecordError(RecordError::Kind::Unnamed, number_, reader_.header_line())};
    }
    if (needs_.distinct) {
        const auto [at, added] = seen_.try_emplace(std::string(name.value()), number_);
        if (!added) {
            RecordError error(RecordError::Kind::Duplicate, number_, reader_.header_line());
            error.first = at->second;
            error.name = at->first;
            return Err{std::move(error)};
        }
    }
    return std::optional<NamedRecord>(NamedRecord{*current_, name.value(), number_});
}

}  // namespace seqtally::core
