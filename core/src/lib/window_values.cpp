#include "window_values.h"

#include "core/src/lib/base_marks.h"
#include "core/src/lib/window_pass.h"

namespace seqtally::core {
namespace {

template <class Yield>
std::vector<typename Yield::Value> full_window_values(const Yield& yield, std::uint64_t window) {
    std::vector<typename Yield::Value> table;
    if (window > Yield::kMaxTabulatedWindow) return table;
    table.resize(count_key(std::array<std::uint64_t, Yield::kCounts>{window}, window) + 1);
    for_each_full_window<Yield::kCounts>(
        window, [&](const auto& counts) { table[count_key(counts, window)] = yield.value(counts, window); });
    return table;
}

// What the pass hands full windows to: their values, appended.
template <class Yield>
class ValueList {
  public:
    using Value = typename Yield::Value;
    static constexpr bool kCheckpoints = true;  // nothing is written until the call's end
    ValueList(const Yield& yield, std::uint64_t window, const std::vector<Value>& table, std::vector<Value>& values)
        : yield_(yield), window_(window), table_(table), values_(values) {}

    struct Cursor {
        std::vector<Value>* values;
        const Value* table;  // null when computed per window
        const Yield* yield;
        std::uint64_t window;
        [[gnu::always_inline]] void full(const std::array<std::uint64_t, Yield::kCounts>& counts) {
            values->push_back(table != nullptr ? table[count_key(counts, window)] : yield->value(counts, window));
        }
    };
    Cursor cursor() noexcept { return {&values_, table_.empty() ? nullptr : table_.data(), &yield_, window_}; }
    void settle(const Cursor&) noexcept {}

    template <class Marks>
    WindowValues::Totals append(const fasta::RecordView& record, bool omit_tail,
                                const std::function<void()>* checkpoint) {
        const PassEnd<Yield::kCounts> end = window_pass<Marks>(record, window_, *this, checkpoint);
        if (end.has_tail(omit_tail)) values_.push_back(yield_.value(end.counts, end.tail));
        return {end.length, end.lowercase};
    }

  private:
    const Yield& yield_;
    std::uint64_t window_;
    const std::vector<Value>& table_;
    std::vector<Value>& values_;
};

}  // namespace

WindowValues::WindowValues(std::uint64_t window, const std::optional<CountRule>& count) : window_(window) {
    if (count) {
        count_ = FieldCount{*count};
        full_window_count_ = full_window_values(*count_, window);
    } else {
        full_window_percent_ = full_window_values(GcPercent{}, window);
    }
}

WindowValues::Totals WindowValues::append(const fasta::RecordView& record, bool omit_tail,
                                          std::vector<std::uint8_t>& percents, std::vector<std::int16_t>& counts,
                                          const std::function<void()>* checkpoint, bool count_lowercase) const {
    if (count_) {
        ValueList<FieldCount> list(*count_, window_, full_window_count_, counts);
        if (count_->rule.mode == CountMode::Skew) return list.append<GCLowercase>(record, omit_tail, checkpoint);
        return list.append<GcAtLowercase>(record, omit_tail, checkpoint);
    }
    const GcPercent percent;
    ValueList<GcPercent> list(percent, window_, full_window_percent_, percents);
    if (count_lowercase) return list.append<UpperGcAndLowercase>(record, omit_tail, checkpoint);
    return list.append<UpperGc>(record, omit_tail, checkpoint);
}

}  // namespace seqtally::core
