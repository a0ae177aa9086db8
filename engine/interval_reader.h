#pragma once
// What the IntervalReader type and its commands share: the object, its
// state, and the BED text read and checked.
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "capi/py_ref.h"
#include "core/src/lib/bed.h"
#include "core/src/lib/intervals.h"
#include "engine/failures.h"
#include "engine/sources.h"
#include "engine/unlocked.h"
#include "fasta/random_access.h"

namespace seqtally::engine {

// Many intervals of one file, through a RandomAccess of its own: its calls
// take their mutex only after releasing the interpreter lock, so that a
// checkpoint taking the lock back never waits on a thread that holds the
// lock and wants the mutex.
struct IntervalReaderObject {
    PyObject_HEAD
    struct State {
        State(RandomAccess opened, core::Contigs named) : access(std::move(opened)), contigs(std::move(named)) {}
        RandomAccess* helper_or_null() { return helper ? &*helper : nullptr; }
        std::mutex mutex;
        RandomAccess access;
        // A second reader for a second thread, on machines with two cores.
        std::optional<RandomAccess> helper;
        core::Contigs contigs;
    };
    std::unique_ptr<State> state;  // constructed by new, destroyed by dealloc
};

IntervalReaderObject::State& state_of(PyObject* self);
Problem interval_problem(Fault fault, std::string text, std::uint64_t index);
// The whole BED text of a source, and its intervals (Failure kind "format",
// which "bed", for a line that is not BED).
std::string bed_text(const Place& place);
core::BedIntervals parsed_bed(const std::string& text);
// The intervals of four arrays (contig numbers, starts, ends, reverse), each
// checked against its contig.
std::vector<core::Interval> intervals_of(const core::Contigs& contigs, PyObject* const* args);

// The commands: bedtools getfasta and nuc, samtools faidx.
PyObject* interval_reader_getfasta(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* interval_reader_nuc(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* interval_reader_faidx(PyObject* self, PyObject* args, PyObject* kwargs);

}  // namespace seqtally::engine
