// The commands of an IntervalReader: bedtools getfasta and nuc over a BED
// file, samtools faidx over regions, their output written to a descriptor as
// the core makes it, with the interpreter lock released.
#include <string>
#include <string_view>
#include <vector>

#include "core/src/lib/interval_output.h"
#include "engine/interval_reader.h"
#include "engine/progress.h"
#include "engine/results.h"
#include "streams/output_stream.h"

namespace seqtally::engine {
namespace {

// The notes' words for a fault, as Failure.fault says them.
const char* fault_name(core::IntervalFault fault) {
    switch (fault) {
        case core::IntervalFault::Empty: return "empty";
        case core::IntervalFault::UnknownContig: return "unknown-contig";
        case core::IntervalFault::PastEnd: return "past-end";
        case core::IntervalFault::None: break;
    }
    return "none";
}

Problem failure_problem(const core::IntervalFailure& failure) {
    return failure.side == core::IntervalFailure::Side::Read ? access_problem(failure.error)
                                                             : write_problem(failure.error, Which::Output);
}

PyStructSequence_Field bed_note_fields[] = {
    {"line", "the interval's BED line"},
    {"fault", "\"empty\", \"unknown-contig\" or \"past-end\""},
    {"text", "why, in plain words"},
    {nullptr, nullptr},
};
PyStructSequence_Desc bed_note_desc = {"seqtally_tools._engine.BedNote", "A BED interval left out of the output.",
                                       bed_note_fields, 3};
NamedRecord bed_note_type;

PyObject* notes_list(const std::vector<core::IntervalNote>& notes) {
    py::PyRef list(PyList_New(static_cast<Py_ssize_t>(notes.size())));
    if (!list) throw PythonRaised{};
    for (std::size_t i = 0; i < notes.size(); ++i) {
        py::PyRef note = bed_note_type.make({number(notes[i].line), ascii_text(fault_name(notes[i].fault)),
                                             utf8_text(notes[i].text)});
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), note.release());
    }
    return list.release();
}

// A BED command of bedtools: the BED read and parsed, the output written as
// the intervals are read, all with the interpreter lock released.
template <class Write>
PyObject* bed_command(PyObject* self, PyObject* bed, PyObject* output, PyObject* progress_arg, Write&& write) {
    return frame([&]() -> PyObject* {
        ProgressObject* progress = progress_of(progress_arg);
        const Place bed_place = place_of(bed, "bed", 0);
        const Place output_place = place_of(output, "output", 1);
        IntervalReaderObject::State& state = state_of(self);
        std::vector<core::IntervalNote> notes;
        {
            Unlocked unlocked(progress, nullptr);
            const std::string text = bed_text(bed_place);
            const core::BedIntervals intervals = parsed_bed(text);
            std::lock_guard lock(state.mutex);
            OutputStream out(std::make_unique<FileSink>(open_output_file(output_place, Which::Output)));
            core::IntervalContext context{state.access, state.contigs, out, [&] { unlocked.checkpoint(); },
                                          state.helper_or_null()};
            auto done = write(context, intervals);
            if (!done) throw failure_problem(done.error());
            if (auto released = out.release(); !released) throw write_problem(released.error(), Which::Output);
            notes = std::move(done).value();
        }
        return notes_list(notes);
    });
}

}  // namespace

bool add_bed_note_type(PyObject* module) { return bed_note_type.add_to(module, bed_note_desc); }

PyObject* interval_reader_getfasta(PyObject* self, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"bed", "output", "strand", "header", "tab", "progress", nullptr};
    PyObject* bed = nullptr;
    PyObject* output = nullptr;
    int strand = 0, tab = 0;
    const char* header = "position";
    PyObject* progress = Py_None;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOpsp|O:getfasta", const_cast<char**>(keywords), &bed, &output,
                                     &strand, &header, &tab, &progress)) {
        return nullptr;
    }
    const std::string_view form(header);
    core::GetfastaOptions options{strand != 0, core::HeaderForm::Position, tab != 0};
    if (form == "name") {
        options.header = core::HeaderForm::NameAndPosition;
    } else if (form == "name_only") {
        options.header = core::HeaderForm::Name;
    } else if (form != "position") {
        PyErr_SetString(PyExc_ValueError, "header must be 'position', 'name' or 'name_only'");
        return nullptr;
    }
    return bed_command(self, bed, output, progress, [&](core::IntervalContext& context, const core::BedIntervals& intervals) {
        return core::write_getfasta(context, intervals, options);
    });
}

PyObject* interval_reader_nuc(PyObject* self, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"bed", "output", "strand", "seq", "pattern", "ignore_case", "progress", nullptr};
    PyObject* bed = nullptr;
    PyObject* output = nullptr;
    int strand = 0, seq = 0, ignore_case = 0;
    const char* pattern = "";
    Py_ssize_t pattern_size = 0;
    PyObject* progress = Py_None;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOpps#p|O:nuc", const_cast<char**>(keywords), &bed, &output,
                                     &strand, &seq, &pattern, &pattern_size, &ignore_case, &progress)) {
        return nullptr;
    }
    const std::string_view pattern_text(pattern, static_cast<std::size_t>(pattern_size));
    return bed_command(self, bed, output, progress, [&](core::IntervalContext& context, const core::BedIntervals& intervals) {
        // Made here, inside the frame: the pattern's copy may fail to allocate.
        const core::NucOptions options{strand != 0, seq != 0, std::string(pattern_text), ignore_case != 0};
        return core::write_nuc(context, intervals, options);
    });
}

PyObject* interval_reader_faidx(PyObject* self, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"contigs", "starts", "ends", "reverse", "headers", "output", "progress", nullptr};
    PyObject* arrays[4] = {};
    PyObject* headers = nullptr;
    PyObject* output = nullptr;
    PyObject* progress_arg = Py_None;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOOOO!O|O:faidx", const_cast<char**>(keywords), &arrays[0],
                                     &arrays[1], &arrays[2], &arrays[3], &PyList_Type, &headers, &output,
                                     &progress_arg)) {
        return nullptr;
    }
    return frame([&]() -> PyObject* {
        IntervalReaderObject::State& state = state_of(self);
        const std::vector<core::Interval> intervals = intervals_of(state.contigs, arrays);
        if (static_cast<std::size_t>(PyList_GET_SIZE(headers)) != intervals.size()) {
            PyErr_SetString(PyExc_ValueError, "one header per interval");
            throw PythonRaised{};
        }
        std::vector<std::string> texts;
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(headers); ++i) {
            py::PyRef encoded(PyUnicode_AsEncodedString(PyList_GET_ITEM(headers, i), "utf-8", "surrogateescape"));
            if (!encoded) throw PythonRaised{};
            texts.emplace_back(PyBytes_AS_STRING(encoded.get()), static_cast<std::size_t>(PyBytes_GET_SIZE(encoded.get())));
        }
        const std::vector<std::string_view> views(texts.begin(), texts.end());
        ProgressObject* progress = progress_of(progress_arg);
        const Place output_place = place_of(output, "output", 1);
        {
            Unlocked unlocked(progress, nullptr);
            std::lock_guard lock(state.mutex);
            OutputStream out(std::make_unique<FileSink>(open_output_file(output_place, Which::Output)));
            core::IntervalContext context{state.access, state.contigs, out, [&] { unlocked.checkpoint(); },
                                          state.helper_or_null()};
            if (auto done = core::write_faidx(context, intervals, views); !done) throw failure_problem(done.error());
            if (auto released = out.release(); !released) throw write_problem(released.error(), Which::Output);
        }
        // The lock is back: no call of the C API runs without it.
        return Py_NewRef(Py_None);
    });
}

}  // namespace seqtally::engine
