// IntervalReader: many intervals of one indexed FASTA file, read by the
// core in file order with the interpreter lock released: BED files read and
// checked, bases and composition as native-endian rows. Its commands, which
// write bedtools' and samtools' output, are in bed_commands.cpp.
#include "engine/intervals.h"

#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "core/src/lib/composition.h"
#include "engine/interval_reader.h"

namespace seqtally::engine {
namespace {

// A buffer argument as a span of T (native-endian), the interval arrays.
template <class T>
class Array {
  public:
    Array(PyObject* object, const char* what) {
        if (PyObject_GetBuffer(object, &view_, PyBUF_SIMPLE) < 0) throw PythonRaised{};
        if (view_.len % static_cast<Py_ssize_t>(sizeof(T)) != 0) {
            PyBuffer_Release(&view_);
            PyErr_Format(PyExc_ValueError, "%s: not a whole number of %zu-byte items", what, sizeof(T));
            throw PythonRaised{};
        }
    }
    ~Array() { PyBuffer_Release(&view_); }
    Array(const Array&) = delete;
    Array& operator=(const Array&) = delete;
    std::size_t size() const noexcept { return static_cast<std::size_t>(view_.len) / sizeof(T); }
    T operator[](std::size_t i) const noexcept {
        T value;
        std::memcpy(&value, static_cast<const char*>(view_.buf) + i * sizeof(T), sizeof(T));
        return value;
    }

  private:
    Py_buffer view_{};
};

}  // namespace

IntervalReaderObject::State& state_of(PyObject* self) { return *reinterpret_cast<IntervalReaderObject*>(self)->state; }

Problem interval_problem(Fault fault, std::string text, std::uint64_t index) {
    Problem problem(Kind::Interval, Which::Input, std::move(text), fault);
    problem.record = index;
    return problem;
}

// The whole BED text of a source.
std::string bed_text(const Place& place) {
    File file = [&] {
        try {
            return open_input_file(place);
        } catch (Problem& problem) {
            problem.which = Which::Bed;
            throw;
        }
    }();
    std::string text;
    for (;;) {
        const std::size_t at = text.size();
        text.resize(at + (1 << 20));
        auto got = file.read(std::span(reinterpret_cast<std::uint8_t*>(text.data() + at), 1 << 20));
        if (!got) throw os_problem(got.error().raw_os_error(), Which::Bed);
        text.resize(at + got.value());
        if (got.value() == 0) return text;
    }
}

core::BedIntervals parsed_bed(const std::string& text) {
    auto parsed = core::parse_bed(text);
    if (!parsed) {
        Problem problem(Kind::Format, Which::Bed, "line " + std::to_string(parsed.error().line) + ": " +
                        parsed.error().text, Fault::NotBed);
        problem.line = parsed.error().line;
        throw problem;
    }
    return std::move(parsed).value();
}

// The intervals of the four arrays, each checked against its contig.
std::vector<core::Interval> intervals_of(const core::Contigs& contigs, PyObject* const* args) {
    const Array<std::uint32_t> numbers(args[0], "contigs");
    const Array<std::uint64_t> starts(args[1], "starts");
    const Array<std::uint64_t> ends(args[2], "ends");
    const Array<std::uint8_t> reverse(args[3], "reverse");
    if (starts.size() != numbers.size() || ends.size() != numbers.size() || reverse.size() != numbers.size()) {
        PyErr_SetString(PyExc_ValueError, "contigs, starts, ends and reverse differ in length");
        throw PythonRaised{};
    }
    std::vector<core::Interval> intervals(numbers.size());
    for (std::size_t i = 0; i < intervals.size(); ++i) {
        if (numbers[i] >= contigs.size()) {
            PyErr_Format(PyExc_IndexError, "interval %zu: no contig number %u", i, numbers[i]);
            throw PythonRaised{};
        }
        const core::Contig& contig = contigs[numbers[i]];
        const core::Interval interval{numbers[i], starts[i], ends[i], reverse[i] != 0};
        if (interval.start > interval.end) {
            throw interval_problem(Fault::StartAfterEnd, "the start (" + std::to_string(interval.start) +
                                   ") is after the end (" + std::to_string(interval.end) + ")", i);
        }
        if (interval.end > contig.length) {
            throw interval_problem(Fault::PastEnd,
                                   core::fault_text(core::IntervalFault::PastEnd, contigs, contig.name, interval.start,
                                                    interval.end), i);
        }
        intervals[i] = interval;
    }
    return intervals;
}

namespace {

Fault fault_of(core::IntervalFault fault) {
    switch (fault) {
        case core::IntervalFault::UnknownContig: return Fault::UnknownContig;
        case core::IntervalFault::PastEnd: return Fault::PastEnd;
        case core::IntervalFault::Empty:
        case core::IntervalFault::None: break;
    }
    return Fault::None;
}

// Every interval's bases shown to `visit` (in file order), with the
// interpreter lock released and the reader's mutex held.
void visit_all(IntervalReaderObject::State& state, const std::vector<core::Interval>& intervals,
               const std::function<void(std::size_t, std::string_view)>& visit, Unlocked& unlocked) {
    core::BatchFetch fetch(state.access, state.contigs, intervals, 0, false, state.helper_or_null());
    auto read = fetch.next(visit, [&] { unlocked.checkpoint(); });
    if (!read) throw access_problem(read.error());
}

IntervalReaderObject* self_of(PyObject* self) { return reinterpret_cast<IntervalReaderObject*>(self); }

PyObject* interval_reader_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"path", "gzi", "contigs", nullptr};
    PyObject* path = nullptr;
    PyObject* gzi_arg = Py_None;
    PyObject* list = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOO!:IntervalReader", const_cast<char**>(keywords), &path,
                                     &gzi_arg, &PyList_Type, &list)) {
        return nullptr;
    }
    py::PyRef self(type->tp_alloc(type, 0));
    if (!self) return nullptr;
    new (&self_of(self.get())->state) std::unique_ptr<IntervalReaderObject::State>();
    return frame([&]() -> PyObject* {
        std::vector<core::Contig> contigs;
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list); ++i) {
            const char* name = nullptr;
            Py_ssize_t size = 0;
            unsigned long long length = 0, offset = 0, line_bases = 0, line_bytes = 0;
            if (!PyArg_ParseTuple(PyList_GET_ITEM(list, i), "s#KKKK", &name, &size, &length, &offset, &line_bases,
                                  &line_bytes)) {
                throw PythonRaised{};
            }
            if (line_bases == 0 || line_bytes < line_bases) {
                PyErr_SetString(PyExc_ValueError, "line_bases must be 1 or more, and line_bytes at least line_bases");
                throw PythonRaised{};
            }
            contigs.push_back(
                {std::string(name, static_cast<std::size_t>(size)), length, {offset, line_bases, line_bytes}});
        }
        std::string_view gzi;
        if (gzi_arg != Py_None) {
            char* data = nullptr;
            Py_ssize_t size = 0;
            if (PyBytes_AsStringAndSize(gzi_arg, &data, &size) < 0) throw PythonRaised{};
            gzi = std::string_view(data, static_cast<std::size_t>(size));
        }
        const Place place = place_of(path, "path", -1);
        auto opened = RandomAccess::open(open_input_file(place), gzi, gzi_arg != Py_None);
        if (!opened) throw access_problem(opened.error());
        auto state = std::make_unique<IntervalReaderObject::State>(std::move(opened).value(),
                                                                   core::Contigs(std::move(contigs)));
        if (std::thread::hardware_concurrency() >= 2) {
            auto helper = RandomAccess::open(open_input_file(place), gzi, gzi_arg != Py_None);
            if (!helper) throw access_problem(helper.error());
            state->helper.emplace(std::move(helper).value());
        }
        self_of(self.get())->state = std::move(state);
        return self.release();
    });
}

void interval_reader_dealloc(PyObject* self) {
    self_of(self)->state.~unique_ptr<IntervalReaderObject::State>();
    PyTypeObject* type = Py_TYPE(self);
    type->tp_free(self);
    Py_DecRef(reinterpret_cast<PyObject*>(type));
}

PyObject* interval_reader_read_bed(PyObject* self, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"source", "strand", nullptr};
    PyObject* source = nullptr;
    int strand = 0;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "Op:read_bed", const_cast<char**>(keywords), &source, &strand)) {
        return nullptr;
    }
    return frame([&]() -> PyObject* {
        const Place place = place_of(source, "source", 0);
        std::vector<std::uint32_t> numbers;
        std::vector<std::uint64_t> starts, ends, lines;
        std::vector<std::uint8_t> reverse;
        {
            Unlocked unlocked(nullptr, nullptr);
            const std::string text = bed_text(place);
            const core::BedIntervals bed = parsed_bed(text);
            IntervalReaderObject::State& state = state_of(self);
            for (std::size_t i = 0; i < bed.intervals.size(); ++i) {
                const core::BedInterval& line = bed.intervals[i];
                core::Interval interval;
                const core::IntervalFault fault = core::place_interval(state.contigs, line.chrom, line.start,
                                                                       line.end, strand && line.strand == "-",
                                                                       interval);
                if (fault == core::IntervalFault::UnknownContig || fault == core::IntervalFault::PastEnd) {
                    Problem problem = interval_problem(
                        fault_of(fault), core::fault_text(fault, state.contigs, line.chrom, line.start, line.end), i);
                    problem.line = line.line;
                    throw problem;
                }
                numbers.push_back(interval.contig);
                starts.push_back(interval.start);
                ends.push_back(interval.end);
                reverse.push_back(interval.reverse);
                lines.push_back(line.line);
            }
        }
        const auto bytes_of = [](const auto& values) {
            return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(values.data()),
                                             static_cast<Py_ssize_t>(values.size() * sizeof(values[0])));
        };
        return Py_BuildValue("(NNNNN)", bytes_of(numbers), bytes_of(starts), bytes_of(ends), bytes_of(reverse),
                             bytes_of(lines));
    });
}

PyObject* interval_reader_fetch_many(PyObject* self, PyObject* const* args, Py_ssize_t count) {
    if (count != 4) {
        PyErr_SetString(PyExc_TypeError, "fetch_many(contigs, starts, ends, reverse) takes 4 arguments");
        return nullptr;
    }
    return frame([&]() -> PyObject* {
        IntervalReaderObject::State& state = state_of(self);
        const std::vector<core::Interval> intervals = intervals_of(state.contigs, args);
        std::vector<std::int64_t> offsets(intervals.size() + 1, 0);
        for (std::size_t i = 0; i < intervals.size(); ++i) {
            offsets[i + 1] = offsets[i] + static_cast<std::int64_t>(intervals[i].end - intervals[i].start);
        }
        py::PyRef bases(PyByteArray_FromStringAndSize(nullptr, offsets.back()));
        if (!bases) throw PythonRaised{};
        char* into = PyByteArray_AS_STRING(bases.get());
        {
            Unlocked unlocked(nullptr, nullptr);
            std::lock_guard lock(state.mutex);
            visit_all(state, intervals, [&](std::size_t i, std::string_view found) {
                // A file that holds fewer bases than its index says is
                // refused by the reader; never more than asked.
                std::memcpy(into + offsets[i], found.data(),
                            std::min<std::size_t>(found.size(), static_cast<std::size_t>(offsets[i + 1] - offsets[i])));
            }, unlocked);
        }
        py::PyRef table(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(offsets.data()),
                                              static_cast<Py_ssize_t>(offsets.size() * sizeof(std::int64_t))));
        if (!table) throw PythonRaised{};
        return PyTuple_Pack(2, bases.get(), table.get());
    });
}

PyObject* interval_reader_composition(PyObject* self, PyObject* const* args, Py_ssize_t count) {
    if (count != 6) {
        PyErr_SetString(PyExc_TypeError,
                        "composition(contigs, starts, ends, reverse, pattern, ignore_case) takes 6 arguments");
        return nullptr;
    }
    return frame([&]() -> PyObject* {
        IntervalReaderObject::State& state = state_of(self);
        const std::vector<core::Interval> intervals = intervals_of(state.contigs, args);
        Py_ssize_t size = 0;
        const char* text = PyUnicode_AsUTF8AndSize(args[4], &size);
        if (text == nullptr) throw PythonRaised{};
        const std::string pattern(text, static_cast<std::size_t>(size));
        const int ignore_case = PyObject_IsTrue(args[5]);
        if (ignore_case < 0) throw PythonRaised{};
        std::vector<std::int64_t> rows(intervals.size() * 8, 0);
        {
            Unlocked unlocked(nullptr, nullptr);
            std::lock_guard lock(state.mutex);
            visit_all(state, intervals, [&](std::size_t i, std::string_view bases) {
                const core::Composition c = core::compose(bases);
                std::int64_t* row = rows.data() + i * 8;
                const std::uint64_t values[] = {c.a, c.c, c.g, c.t, c.n, c.other, intervals[i].end - intervals[i].start,
                                                pattern.empty() ? 0 : core::count_pattern(bases, pattern, ignore_case != 0)};
                for (int k = 0; k < 8; ++k) row[k] = static_cast<std::int64_t>(values[k]);
            }, unlocked);
        }
        return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(rows.data()),
                                         static_cast<Py_ssize_t>(rows.size() * sizeof(std::int64_t)));
    });
}

PyMethodDef interval_reader_methods[] = {
    {"read_bed", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(interval_reader_read_bed)),
     METH_VARARGS | METH_KEYWORDS, "read_bed(source, strand): the BED intervals as arrays."},
    {"fetch_many", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(interval_reader_fetch_many)),
     METH_FASTCALL, "fetch_many(contigs, starts, ends, reverse): (bases, offsets)."},
    {"composition", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(interval_reader_composition)),
     METH_FASTCALL, "composition(contigs, starts, ends, reverse, pattern, ignore_case): eight int64 per interval."},
    {"getfasta", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(interval_reader_getfasta)),
     METH_VARARGS | METH_KEYWORDS, "getfasta(bed, output, strand, header, tab, progress=None): bedtools getfasta."},
    {"nuc", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(interval_reader_nuc)),
     METH_VARARGS | METH_KEYWORDS, "nuc(bed, output, strand, seq, pattern, ignore_case, progress=None): bedtools nuc."},
    {"faidx", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(interval_reader_faidx)),
     METH_VARARGS | METH_KEYWORDS, "faidx(contigs, starts, ends, reverse, headers, output, progress=None)."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot interval_reader_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(interval_reader_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(interval_reader_dealloc)},
    {Py_tp_methods, interval_reader_methods},
    {Py_tp_doc, const_cast<char*>("Many intervals of a plain or BGZF FASTA file.")},
    {0, nullptr},
};

PyType_Spec interval_reader_spec = {"seqtally_tools._engine.IntervalReader", sizeof(IntervalReaderObject), 0,
                                    Py_TPFLAGS_DEFAULT, interval_reader_slots};

PyObject* interval_reader_type = nullptr;

}  // namespace

PyObject* make_interval_reader_type() {
    if (interval_reader_type == nullptr) interval_reader_type = PyType_FromSpec(&interval_reader_spec);
    return interval_reader_type;
}

}  // namespace seqtally::engine
