// G/C tracks: the values of every window (for bigWig, which Python writes)
// and wiggle or bedGraph text, written by the core's one track writer.
#include "engine/tracks.h"

#include <cmath>
#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <string_view>

#include "core/src/lib/bgzf_track_sink.h"
#include "core/src/lib/track_writer.h"
#include "engine/results.h"
#include "engine/unlocked.h"

namespace seqtally::engine {
namespace {

PyStructSequence_Field window_values_fields[] = {
    {"name", "the record's name"},
    {"length", "its bases"},
    {"values", "one value per window, as count asks"},
    {"lowercase", "its letters a-z"},
    {nullptr, nullptr},
};
PyStructSequence_Desc window_values_desc = {"seqtally_tools._engine.WindowValues",
                                            "One record's window values, from gc_values.", window_values_fields, 4};
NamedRecord window_values_type;

// The library checks its callers' arguments; this refuses only what the
// core cannot take at all, so that a wrong call of this private module
// fails instead of dividing by zero.
void require(bool holds, const char* argument) {
    if (!holds) {
        PyErr_Format(PyExc_ValueError, "seqtally engine: invalid %s", argument);
        throw PythonRaised{};
    }
}

// Bases per window as the passes take them, refused past the one limit.
std::uint64_t window_of(long long window) {
    if (window > kMaxWindow) {
        PyErr_Format(PyExc_OverflowError, "window must be at most %lld, not %lld", kMaxWindow, window);
        throw PythonRaised{};
    }
    require(window >= 1, "window");
    return static_cast<std::uint64_t>(window);
}

// None for the module's count (uppercase G and C over every base), else the
// rule of "acgt" or "skew", the share taken to the nearest millionth so that
// it is compared in integers.
std::optional<core::CountRule> count_of(std::string_view count, double min_acgt) {
    require(min_acgt >= 0.0 && min_acgt <= 1.0, "min_acgt");
    const auto millionths = static_cast<std::uint32_t>(std::llround(min_acgt * 1e6));
    if (count == "acgt") return core::CountRule{core::CountMode::Acgt, millionths};
    if (count == "skew") return core::CountRule{core::CountMode::Skew, millionths};
    require(count == "upper", "count");
    return std::nullopt;
}

// The library's words are not the track writer's business: its failures
// become Problems here, naming the output that failed.
[[noreturn]] void throw_track_error(const core::TrackError& error, bool index_failed = false) {
    if (error.stage == core::TrackError::Stage::Record) throw record_problem(*error.record);
    if (index_failed) throw write_problem(error.io, Which::Index);
    throw write_problem(error.io, error.output == core::TrackError::Output::Sizes ? Which::Sizes : Which::Output);
}

class LibraryTrackEvents final : public core::TrackEvents {
  public:
    explicit LibraryTrackEvents(Unlocked& unlocked) : unlocked_(unlocked) {}
    void checkpoint() override { unlocked_.checkpoint(); }
    void record_done(std::string_view name, std::uint64_t length) override { unlocked_.record_done(name, length); }

  private:
    Unlocked& unlocked_;
};

}  // namespace

PyObject* gc_values(PyObject*, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"source", "window", "omit_tail", "progress", "on_record",
                                     "count",  "min_acgt", "distinct", nullptr};
    PyObject* source = nullptr;
    long long window = 0;
    int omit_tail = 0;
    PyObject* progress = Py_None;
    PyObject* on_record = Py_None;
    const char* count = "upper";
    double min_acgt = 0.25;
    int distinct = 0;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OLp|OOsdp:gc_values", const_cast<char**>(keywords), &source,
                                     &window, &omit_tail, &progress, &on_record, &count, &min_acgt, &distinct)) {
        return nullptr;
    }
    return frame([&]() -> PyObject* {
        const std::uint64_t bases_per_window = window_of(window);
        const std::optional<core::CountRule> rule = count_of(count, min_acgt);
        Reading reading(source, progress, on_record);
        std::deque<core::RecordWindows> all = reading.run(
            {.present = true, .distinct = distinct != 0},
            [&](core::NamedRecords& records, Unlocked& unlocked) {
                return core::window_values(records, bases_per_window, omit_tail != 0, rule, unlocked);
            });
        std::string sizes;
        for (const core::RecordWindows& windows : all) core::append_chrom_sizes_line(sizes, windows.name, windows.length);
        py::PyRef list(PyList_New(static_cast<Py_ssize_t>(all.size())));
        if (!list) throw PythonRaised{};
        // Each record's values are freed as soon as Python holds a copy.
        for (Py_ssize_t at = 0; !all.empty(); ++at) {
            const core::RecordWindows& windows = all.front();
            const std::string_view values =
                rule ? std::string_view(reinterpret_cast<const char*>(windows.counts.data()),
                                        windows.counts.size() * sizeof(std::int16_t))
                     : std::string_view(reinterpret_cast<const char*>(windows.values.data()), windows.values.size());
            PyList_SET_ITEM(list.get(), at,
                            window_values_type.make({utf8_text(windows.name), number(windows.length),
                                                     bytes_of(values), number(windows.lowercase)})
                                .release());
            all.pop_front();
        }
        return tuple_of({std::move(list), bytes_of(sizes)}).release();
    });
}

PyObject* write_track(PyObject*, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"source",     "output", "form",       "window",   "omit_tail",
                                     "gzip_level", "sizes",  "track_line", "progress", "on_record",
                                     "count",      "min_acgt", "index",      nullptr};
    PyObject* source = nullptr;
    PyObject* output = nullptr;
    const char* form = nullptr;
    long long window = 0;
    int omit_tail = 0;
    PyObject* level = Py_None;
    PyObject* sizes = Py_None;
    int track_line = 0;
    PyObject* progress = Py_None;
    PyObject* on_record = Py_None;
    const char* count = "upper";
    double min_acgt = 0.25;
    PyObject* index = Py_None;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOsLp|OOpOOsdO:write_track", const_cast<char**>(keywords),
                                     &source, &output, &form, &window, &omit_tail, &level, &sizes, &track_line,
                                     &progress, &on_record, &count, &min_acgt, &index)) {
        return nullptr;
    }
    return frame([&]() -> PyObject* {
        core::TrackRequest request;
        const std::string_view shape(form);
        require(shape == "wig" || shape == "bedgraph", "form");
        request.form = shape == "wig" ? core::TrackForm::Wiggle : core::TrackForm::BedGraph;
        request.count = count_of(count, min_acgt);
        request.window = window_of(window);
        request.wiggle_window = static_cast<std::int32_t>(request.window);
        request.omit_tail = omit_tail != 0;
        request.track_line = track_line != 0;
        request.count_lowercase = true;
        std::optional<int> gzip_level;
        if (level != Py_None) {
            const long value = PyLong_AsLong(level);
            if (value == -1 && PyErr_Occurred()) throw PythonRaised{};
            require(value >= -1 && value <= 9, "gzip_level");
            gzip_level = static_cast<int>(value);
        }
        Reading reading(source, progress, on_record);
        const Place output_place = place_of(output, "output", 1);
        std::optional<Place> sizes_place;
        if (sizes != Py_None) sizes_place = place_of(sizes, "sizes", 1);
        std::optional<Place> index_place;
        if (index != Py_None) {
            require(gzip_level && request.form == core::TrackForm::BedGraph && !request.track_line, "index");
            index_place = place_of(index, "index", 1);
        }
        core::BgzfTrackSink::Outcome outcome;
        // tabix refuses a name whose lines come again after another's.
        const core::TrackTotals totals = reading.run(
            {.present = true, .distinct = index_place.has_value()}, [&](core::NamedRecords& records, Unlocked& unlocked) {
                // The library's gzip is BGZF, compressed on every core.
                std::unique_ptr<Sink> track;
                File track_file = open_output_file(output_place, Which::Output);
                if (gzip_level) {
                    std::optional<File> index_file;
                    if (index_place) index_file.emplace(open_output_file(*index_place, Which::Index));
                    track = std::make_unique<core::BgzfTrackSink>(std::move(track_file), std::move(index_file),
                                                                  *gzip_level, outcome);
                } else {
                    track = core::track_sink(std::move(track_file), std::nullopt);
                }
                std::optional<File> sizes_file;
                if (sizes_place) sizes_file.emplace(open_output_file(*sizes_place, Which::Sizes));
                LibraryTrackEvents events(unlocked);
                auto written = core::write_track(records, std::move(track), std::move(sizes_file), request, events);
                if (!written) throw_track_error(written.error(), outcome.index_failed);
                return Result<core::TrackTotals, core::RecordError>(written.value());
            });
        py::PyRef form_name = outcome.form ? utf8_text(core::tabix_extension(*outcome.form)) : none();
        return tuple_of({number(totals.bases), number(totals.lowercase), std::move(form_name)}).release();
    });
}

bool add_window_values_type(PyObject* module) { return window_values_type.add_to(module, window_values_desc); }

}  // namespace seqtally::engine
