// The module's entry point, its definition and the registration of its functions.
#include <atomic>
#include <string>

#include "common/failure.h"
#include "src/call_frame.h"
#include "src/functions.h"

namespace seqtally::py {
namespace {

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT,
    "seqtally",
    "Python module with a native implementation of FASTA sequence checksums and windowed G/C content tracks.",
    0,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

std::atomic<bool> initialised{false};

// Kept for the life of the process: the function objects point at them.
PyMethodDef method_definitions[] = {
    {"checksum", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(checksum_fastcall)),
     METH_FASTCALL | METH_KEYWORDS, "checksum(file, verbose=None)\n--\n\n"},
    {"write_seqtally_to_file",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(write_seqtally_to_file_fastcall)),
     METH_FASTCALL | METH_KEYWORDS,
     "write_seqtally_to_file(input, output, compression_level, window_size, omit_tail, chrom_sizes_path, "
     "write_chrom_sizes, verbose)\n--\n\n"},
};

PyObject* all_list(PyObject* module) {
    PyRef owned(PyObject_GetAttrString(module, "__all__"));
    if (!owned) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw_fetched_error();
        PyErr_Clear();
        owned.reset(PyList_New(0));
        if (!owned || PyObject_SetAttrString(module, "__all__", owned.get()) < 0) throw_fetched_error();
    } else if (!PyList_Check(owned.get())) {
        throw conversion_error(owned.get(), "PyList");
    }
    return owned.release();
}

void add_function(PyObject* module, PyMethodDef& definition) {
    const char* module_name = PyModule_GetName(module);
    if (module_name == nullptr) throw_fetched_error();
    PyRef name_text(PyUnicode_FromString(module_name));
    if (!name_text) throw_fetched_error();
    PyRef function(PyCMethod_New(&definition, module, name_text.get(), nullptr));
    if (!function) throw_fetched_error();
    PyRef name(PyObject_GetAttrString(function.get(), "__name__"));
    if (!name) throw_fetched_error();
    if (!PyUnicode_Check(name.get())) throw conversion_error(name.get(), "PyString");
    PyRef all(all_list(module));
    if (PyList_Append(all.get(), name.get()) < 0) {
        PyErr_Clear();
        throw InternalFailure("could not append __name__ to __all__");
    }
    if (PyObject_SetAttr(module, name.get(), function.get()) < 0) throw_fetched_error();
}

// The module-init function: registers the functions on a new module.
void seqtally(PyObject* module) {
    for (PyMethodDef& definition : method_definitions) add_function(module, definition);
}

}  // namespace
}  // namespace seqtally::py

PyMODINIT_FUNC PyInit_seqtally() {
    using namespace seqtally::py;
    return call_frame(
        []() -> PyObject* {
            PyRef module(PyModule_Create2(&module_definition, 1013));
            if (!module) throw_fetched_error();
            // Set before the functions are registered, and never cleared: a
            // second initialisation fails even after a failed first one.
            if (initialised.exchange(true)) {
                throw PythonError::built(PyExc_ImportError,
                                         "PyO3 modules may only be initialized once per interpreter process");
            }
            seqtally::py::seqtally(module.get());
            return module.release();
        },
        nullptr);
}
