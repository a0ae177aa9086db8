#pragma once
#include "capi/py_ref.h"

namespace seqtally::engine {

// index(source, digests=True, progress=None, on_record=None, distinct=True, folder=None)
PyObject* index(PyObject* module, PyObject* args, PyObject* kwargs);

}  // namespace seqtally::engine
