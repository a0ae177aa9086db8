// RandomAccess: the bases of a plain FASTA file, or of a BGZF one given its
// .gzi, by .fai values. Calls on one object are serialised by a mutex, so
// that threads may share it; long fetches run without the interpreter lock.
#include "engine/random_access.h"

#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <string>
#include <string_view>

#include "engine/failures.h"
#include "engine/results.h"
#include "fasta/fai.h"
#include "engine/sources.h"
#include "fasta/random_access.h"

namespace seqtally::engine {
namespace {

// Fetches of at least this many bases run with the interpreter lock
// released; below it, releasing costs more than the read.
constexpr std::uint64_t kUnlockedFetch = 1 << 16;

struct State {
    std::mutex mutex;
    std::optional<RandomAccess> reader;
    bool bgzf = false;  // what its first bytes are
};

struct RandomAccessObject {
    PyObject_HEAD
    std::unique_ptr<State> state;  // constructed by new, destroyed by dealloc
};

RandomAccessObject* self_of(PyObject* self) { return reinterpret_cast<RandomAccessObject*>(self); }

PyObject* random_access_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"path", "gzi", nullptr};
    PyObject* path = nullptr;
    PyObject* gzi_arg = Py_None;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|O:RandomAccess", const_cast<char**>(keywords), &path,
                                     &gzi_arg)) {
        return nullptr;
    }
    py::PyRef self(type->tp_alloc(type, 0));
    if (!self) return nullptr;
    new (&self_of(self.get())->state) std::unique_ptr<State>();
    return frame([&]() -> PyObject* {
        std::string_view gzi;
        if (gzi_arg != Py_None) {
            char* data = nullptr;
            Py_ssize_t size = 0;
            if (PyBytes_AsStringAndSize(gzi_arg, &data, &size) < 0) throw PythonRaised{};
            gzi = std::string_view(data, static_cast<std::size_t>(size));
        }
        auto state = std::make_unique<State>();
        File file = open_input_file(place_of(path, "path", -1));
        auto layout = layout_of(file);
        if (!layout) throw access_problem(layout.error());
        if (layout.value() == Layout::Gzip) {
            throw Problem(Kind::Format, Which::Input, "gzip but not BGZF: it cannot be read at random",
                          Fault::Unsupported);
        }
        // A plain file is read as one whatever index lies beside it, as
        // samtools reads it.
        state->bgzf = layout.value() == Layout::Bgzf;
        if (state->bgzf && gzi_arg == Py_None) {
            throw Problem(Kind::Index, Which::Input, "a BGZF file is read at random by its .gzi index: none was given",
                          Fault::IndexMissing);
        }
        auto opened = RandomAccess::open(std::move(file), gzi, state->bgzf);
        if (!opened) throw access_problem(opened.error());
        state->reader.emplace(std::move(opened).value());
        self_of(self.get())->state = std::move(state);
        return self.release();
    });
}

void random_access_dealloc(PyObject* self) {
    self_of(self)->state.~unique_ptr<State>();
    PyTypeObject* type = Py_TYPE(self);
    type->tp_free(self);
    Py_DecRef(reinterpret_cast<PyObject*>(type));
}

PyObject* random_access_fetch(PyObject* self, PyObject* const* args, Py_ssize_t count) {
    if (count != 5) {
        PyErr_SetString(PyExc_TypeError, "fetch(offset, line_bases, line_bytes, begin, end) takes 5 arguments");
        return nullptr;
    }
    std::uint64_t numbers[5];
    for (Py_ssize_t i = 0; i < 5; ++i) {
        numbers[i] = PyLong_AsUnsignedLongLong(args[i]);
        if (numbers[i] == static_cast<std::uint64_t>(-1) && PyErr_Occurred()) return nullptr;
    }
    const RecordPlace place{numbers[0], numbers[1], numbers[2]};
    const std::uint64_t begin = numbers[3];
    const std::uint64_t end = numbers[4];
    State* state = self_of(self)->state.get();
    if (state == nullptr || !state->reader) {
        PyErr_SetString(PyExc_ValueError, "I/O operation on closed file");
        return nullptr;
    }
    if (end <= begin) return PyUnicode_New(0, 127);
    return frame([&]() -> PyObject* {
        std::string bases;
        Status<IoError> read = Ok{};
        const auto run = [&] {
            std::lock_guard lock(state->mutex);
            read = state->reader->fetch(place, begin, end, bases);
        };
        if (end - begin >= kUnlockedFetch) {
            struct Released {
                PyThreadState* state = PyEval_SaveThread();
                ~Released() { PyEval_RestoreThread(state); }
            } released;
            run();
        } else {
            run();
        }
        if (!read) throw access_problem(read.error());
        return PyUnicode_DecodeLatin1(bases.data(), static_cast<Py_ssize_t>(bases.size()), nullptr);
    });
}

PyObject* random_access_close(PyObject* self, PyObject*) {
    // A mutex's lock may throw std::system_error.
    return frame([&]() -> PyObject* {
        if (State* state = self_of(self)->state.get()) {
            std::lock_guard lock(state->mutex);
            state->reader.reset();
        }
        return Py_NewRef(Py_None);
    });
}

PyObject* random_access_bgzf(PyObject* self, void*) {
    const State* state = self_of(self)->state.get();
    return PyBool_FromLong(state != nullptr && state->bgzf);
}

PyGetSetDef random_access_getset[] = {
    {"bgzf", random_access_bgzf, nullptr, "Whether the file is BGZF (read by its .gzi), not plain.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef random_access_methods[] = {
    {"fetch", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(random_access_fetch)), METH_FASTCALL,
     "fetch(offset, line_bases, line_bytes, begin, end): the bases [begin, end) of the record placed so."},
    {"close", random_access_close, METH_NOARGS, "Closes the file; later fetches raise ValueError."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot random_access_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(random_access_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(random_access_dealloc)},
    {Py_tp_methods, random_access_methods},
    {Py_tp_getset, random_access_getset},
    {Py_tp_doc, const_cast<char*>("Random access to the bases of a plain or BGZF FASTA file.")},
    {0, nullptr},
};

PyType_Spec random_access_spec = {"seqtally_tools._engine.RandomAccess", sizeof(RandomAccessObject), 0,
                                  Py_TPFLAGS_DEFAULT, random_access_slots};

PyObject* random_access_type = nullptr;

PyStructSequence_Field fai_entry_fields[] = {
    {"name", "the record's name"},
    {"length", "bases"},
    {"offset", "where its bases start (in the decoded stream)"},
    {"line_bases", "bases a line"},
    {"line_bytes", "bytes a line, its end included"},
    {nullptr, nullptr},
};
PyStructSequence_Desc fai_entry_desc = {"seqtally_tools._engine.FaiEntry", "One line of a .fai file.",
                                        fai_entry_fields, 5};
NamedRecord fai_entry_type;

}  // namespace

PyObject* read_fai(PyObject*, PyObject* text) {
    return frame([&]() -> PyObject* {
        char* data = nullptr;
        Py_ssize_t size = 0;
        if (PyBytes_AsStringAndSize(text, &data, &size) < 0) throw PythonRaised{};
        auto parsed = parse_fai(std::string_view(data, static_cast<std::size_t>(size)));
        if (!parsed) {
            Problem problem(Kind::Index, Which::Input, parsed.error().text, Fault::IndexMalformed);
            problem.line = parsed.error().line;
            throw problem;
        }
        py::PyRef list(PyList_New(static_cast<Py_ssize_t>(parsed.value().size())));
        if (!list) throw PythonRaised{};
        Py_ssize_t at = 0;
        for (const FaiEntry& entry : parsed.value()) {
            py::PyRef name(PyUnicode_DecodeUTF8(entry.name.data(), static_cast<Py_ssize_t>(entry.name.size()),
                                                "replace"));
            if (!name) throw PythonRaised{};
            PyList_SET_ITEM(list.get(), at++,
                            fai_entry_type.make({std::move(name), number(entry.length), number(entry.place.offset),
                                                 number(entry.place.line_bases), number(entry.place.line_bytes)})
                                .release());
        }
        return list.release();
    });
}

bool add_fai_entry_type(PyObject* module) { return fai_entry_type.add_to(module, fai_entry_desc); }

PyObject* make_random_access_type() {
    if (random_access_type == nullptr) random_access_type = PyType_FromSpec(&random_access_spec);
    return random_access_type;
}

}  // namespace seqtally::engine
