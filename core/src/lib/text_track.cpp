#include "text_track.h"

#include <string>
#include <type_traits>

#include "core/src/lib/base_marks.h"
#include "core/src/lib/bedgraph_lines.h"
#include "core/src/lib/decimal_counter.h"
#include "core/src/lib/line_batch.h"
#include "core/src/lib/wiggle_lines.h"

namespace seqtally::core {
namespace {

// Where each track hands its lines to the stream (see Batching). A line's
// room holds at most 20 digits of a position followed by a text copied
// whole, or a DecimalCounter::write, which stores up to kWriteSize bytes.
constexpr std::size_t kMaxPositionDigits = 20;  // 2^64 - 1
constexpr Batching kModuleWiggle{64, false, false, true};
constexpr Batching kPercentBedGraph{3 * 21 + 4, true, false, false};
constexpr Batching kCountLines{2 * DecimalCounter::kWriteSize + 16, true, true, false};
static_assert(kModuleWiggle.line_room >= DecimalCounter::kWriteSize &&
              kModuleWiggle.line_room >= kMaxPositionDigits + sizeof(GcPercent::Text));
static_assert(kPercentBedGraph.line_room >= 2 + kMaxPositionDigits + DecimalCounter::kWriteSize &&
              kPercentBedGraph.line_room >= 2 + 2 * kMaxPositionDigits + sizeof(GcPercent::Text));
static_assert(kCountLines.line_room >= 2 + kMaxPositionDigits + DecimalCounter::kWriteSize &&
              kCountLines.line_room >= 2 + 2 * kMaxPositionDigits + sizeof(FieldCount::Text));

}  // namespace

class TextTrack::Sections {
  public:
    virtual ~Sections() = default;
    virtual Totals section(std::string_view name, const fasta::RecordView& record, bool count_lowercase,
                           const std::function<void()>* checkpoint) = 0;
};

namespace {

template <class Yield, template <class> class Lines>
class SectionsOf final : public TextTrack::Sections {
  public:
    template <class... Format>
    SectionsOf(const Yield& yield, std::uint64_t window, bool omit_tail, Format&&... format)
        : texts_(yield, window), window_(window), omit_tail_(omit_tail), lines_(texts_, format...) {}

    TextTrack::Totals section(std::string_view name, const fasta::RecordView& record, bool count_lowercase,
                              const std::function<void()>* checkpoint) override {
        lines_.begin(name);
        if constexpr (std::is_same_v<Yield, GcPercent>) {
            if (count_lowercase) return pass<UpperGcAndLowercase>(record, checkpoint);
            return pass<UpperGc>(record, checkpoint);
        } else {
            if (texts_.yield().rule.mode == CountMode::Skew) return pass<GCLowercase>(record, checkpoint);
            return pass<GcAtLowercase>(record, checkpoint);
        }
    }

  private:
    template <class Marks>
    TextTrack::Totals pass(const fasta::RecordView& record, const std::function<void()>* checkpoint) {
        const PassEnd<Yield::kCounts> end = window_pass<Marks>(record, window_, lines_, checkpoint);
        lines_.end(end, omit_tail_);
        return {end.length, end.lowercase};
    }

    WindowTexts<Yield> texts_;
    std::uint64_t window_;
    bool omit_tail_;
    Lines<Yield> lines_;
};

// `span`: what a wiggle track's declaration lines say.
template <class Yield>
std::unique_ptr<TextTrack::Sections> sections_of(const Yield& yield, TrackForm form, std::uint64_t window,
                                                 std::string_view span, bool omit_tail, const Batching& batching,
                                                 OutputStream& out) {
    if (form == TrackForm::Wiggle) {
        return std::make_unique<SectionsOf<Yield, WiggleLines>>(yield, window, omit_tail, span, batching, out);
    }
    return std::make_unique<SectionsOf<Yield, BedGraphLines>>(yield, window, omit_tail, batching, out);
}

}  // namespace

TextTrack::TextTrack(TrackForm form, std::uint64_t window, const std::optional<CountRule>& count, bool omit_tail,
                     OutputStream& out) {
    const std::string span = std::to_string(window);
    if (count) {
        sections_ = sections_of(FieldCount{*count}, form, window, span, omit_tail, kCountLines, out);
    } else {
        sections_ = sections_of(GcPercent{}, form, window, span, omit_tail,
                                form == TrackForm::Wiggle ? kModuleWiggle : kPercentBedGraph, out);
    }
}

TextTrack TextTrack::module_wiggle(std::int32_t window, bool omit_tail, OutputStream& out) {
    // A window of 0 or fewer bases never completes: every record then forms
    // a single partial window, as if windows had 2^64 - 1 bases.
    const std::uint64_t bases = window > 0 ? static_cast<std::uint64_t>(window) : UINT64_MAX;
    return TextTrack(
        sections_of(GcPercent{}, TrackForm::Wiggle, bases, std::to_string(window), omit_tail, kModuleWiggle, out));
}

TextTrack::TextTrack(std::unique_ptr<Sections> sections) : sections_(std::move(sections)) {}
TextTrack::~TextTrack() = default;
TextTrack::TextTrack(TextTrack&&) noexcept = default;
TextTrack& TextTrack::operator=(TextTrack&&) noexcept = default;

TextTrack::Totals TextTrack::section(std::string_view name, const fasta::RecordView& record, bool count_lowercase,
                                     const std::function<void()>* checkpoint) {
    return sections_->section(name, record, count_lowercase, checkpoint);
}

}  // namespace seqtally::core
