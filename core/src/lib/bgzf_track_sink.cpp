#include "core/src/lib/bgzf_track_sink.h"

#include <string>

#include "common/write_all.h"

namespace seqtally::core {
namespace {

IoError index_error(const TabixProblem& problem) {
    const std::string line = "line " + std::to_string(problem.line) + " of the track";
    std::string why;
    switch (problem.kind) {
        case TabixProblem::Kind::RepeatedName:
            why = "record " + problem.name + " comes again (" + line + "): tabix needs each name's lines together";
            break;
        case TabixProblem::Kind::Unsorted:
            why = line + " begins before the line above it";
            break;
        case TabixProblem::Kind::TooLong:
            why = "record " + problem.name + " reaches past 2^32 bases (" + line +
                  "), more than a tabix index holds; write the track plain (.bedGraph)";
            break;
        case TabixProblem::Kind::Unparsable:
            why = line + " is not name, begin and end: tabix could not read it";
            break;
    }
    return IoError::custom(ErrorKind::InvalidData, "cannot index the track: " + why);
}

}  // namespace

BgzfTrackSink::BgzfTrackSink(File track, std::optional<File> index, int level, Outcome& outcome)
    : writer_(std::move(track), level, BgzfWriter::every_core()), index_file_(std::move(index)), outcome_(outcome) {
    if (index_file_) index_ = std::make_unique<TabixIndex>();
}

Result<std::size_t, IoError> BgzfTrackSink::write(std::span<const std::uint8_t> bytes) {
    auto taken = writer_.write(bytes);
    // Only what the writer took: the rest comes again.
    if (taken && index_) {
        if (auto scanned = index_->scan(bytes.first(taken.value())); !scanned) return Err{index_error(scanned.error())};
    }
    return taken;
}

Status<IoError> BgzfTrackSink::release() {
    if (auto released = writer_.release(); !released) return released;
    if (!index_) return Ok{};
    auto built = index_->finish(writer_.blocks(), writer_.written());
    if (!built) return Err{index_error(built.error())};
    // tabix writes its index as bgzip would, at bgzip's default level, on
    // one thread: the index is small, and the same blocks make the same bytes.
    BgzfWriter index_writer(std::move(*index_file_), BgzfWriter::kBgzipDefaultLevel, 0);
    index_file_.reset();
    const std::string& bytes = built.value();
    std::size_t written = 0;
    auto wrote = write_all([&](std::span<const std::uint8_t> rest) { return index_writer.write(rest); },
                           std::span(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()), written,
                           IoError::of_kind(ErrorKind::WriteZero));
    if (wrote) wrote = index_writer.release();
    if (!wrote) {
        outcome_.index_failed = true;
        return wrote;
    }
    outcome_.form = index_->form();
    return Ok{};
}

}  // namespace seqtally::core
