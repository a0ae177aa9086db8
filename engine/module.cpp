// seqtally_tools._engine: the core bound for the library. Unlike the
// seqtally module, a call releases the interpreter lock while it works,
// reads any descriptor and gzip by content, and reports failures as a
// structured exception; it never writes to descriptor 2. The contract is
// python/seqtally_tools/_engine.pyi; each entry lives in the file of its
// operation.
#include "capi/py_ref.h"
#include "engine/checksum.h"
#include "engine/failures.h"
#include "engine/index.h"
#include "engine/intervals.h"
#include "engine/progress.h"
#include "engine/random_access.h"
#include "engine/sources.h"
#include "engine/stats.h"
#include "engine/tracks.h"
#include "engine/unlocked.h"

namespace seqtally::engine {
namespace {

template <PyObject* (*entry)(PyObject*, PyObject*, PyObject*)>
constexpr PyCFunction keywords_entry() {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(entry));
}

PyMethodDef methods[] = {
    {"checksum", keywords_entry<checksum>(), METH_VARARGS | METH_KEYWORDS,
     "checksum(source, record_type, progress=None, on_record=None): per record (name, length, sha512t24u, md5)."},
    {"gc_values", keywords_entry<gc_values>(), METH_VARARGS | METH_KEYWORDS,
     "gc_values(source, window, omit_tail, progress=None, on_record=None, count='upper', min_acgt=0.25, "
     "distinct=False): (per record WindowValues(name, length, values, lowercase), chrom.sizes text)."},
    {"write_track", keywords_entry<write_track>(), METH_VARARGS | METH_KEYWORDS,
     "write_track(source, output, form, window, omit_tail, gzip_level=None, sizes=None, track_line=False, "
     "progress=None, on_record=None, count='upper', min_acgt=0.25): a wiggle or bedGraph track; "
     "(bases, lowercase)."},
    {"sequence_stats", keywords_entry<sequence_stats>(), METH_VARARGS | METH_KEYWORDS,
     "sequence_stats(source, min_gap=1, gaps=None, masked=None, exclude_bed=None, progress=None, on_record=None): "
     "(names, columns), every record's counts; N runs and lowercase runs as BED."},
    {"index", keywords_entry<index>(), METH_VARARGS | METH_KEYWORDS,
     "index(source, digests=True, progress=None, on_record=None, distinct=True, folder=None): Indexed(compression, "
     "entries, gzi, fai, sizes, gzip_member_at) in one read."},
    {"read_fai", read_fai, METH_O,
     "read_fai(text): the records of a .fai file, FaiEntry(name, length, offset, line_bases, line_bytes) each."},
    {"gz_named", gz_named, METH_O,
     "gz_named(path): whether the name asks for gzip (its last named component ends in .gz after something)."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "_engine", "The native engine of seqtally_tools.", -1, methods,
                          nullptr, nullptr, nullptr, nullptr};

bool add_type(PyObject* module, const char* name, PyObject* type) {
    return type != nullptr && PyModule_AddObjectRef(module, name, type) == 0;
}

}  // namespace
}  // namespace seqtally::engine

PyMODINIT_FUNC PyInit__engine() {
    using namespace seqtally::engine;
    using seqtally::py::PyRef;
    PyRef module(PyModule_Create(&module_def));
    if (!module) return nullptr;
    PyRef threading(PyImport_ImportModule("threading"));
    if (!threading) return nullptr;
    PyRef main_thread(PyObject_CallMethod(threading.get(), "main_thread", nullptr));
    if (!main_thread) return nullptr;
    PyRef ident(PyObject_GetAttrString(main_thread.get(), "ident"));
    if (!ident) return nullptr;
    set_main_thread(PyLong_AsUnsignedLong(ident.get()));
    if (PyErr_Occurred()) return nullptr;
    if (!add_type(module.get(), "Failure", make_failure_type()) ||
        !add_type(module.get(), "Progress", make_progress_type()) ||
        !add_type(module.get(), "RandomAccess", make_random_access_type()) ||
        !add_type(module.get(), "IntervalReader", make_interval_reader_type()) || !add_index_types(module.get()) ||
        !add_fai_entry_type(module.get()) || !add_window_values_type(module.get()) || !add_bed_note_type(module.get()) ||
        PyModule_AddIntConstant(module.get(), "MAX_WINDOW", kMaxWindow) < 0) {
        return nullptr;
    }
    return module.release();
}
