#pragma once
// The C entries of the module's two functions (vectorcall convention).
#include "capi/py_ref.h"

namespace seqtally::py {

PyObject* checksum_fastcall(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* write_seqtally_to_file_fastcall(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                                          PyObject* kwnames);

}  // namespace seqtally::py
