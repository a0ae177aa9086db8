#pragma once
#include "capi/py_ref.h"

namespace seqtally::engine {

// checksum(source, record_type, progress=None, on_record=None)
PyObject* checksum(PyObject* module, PyObject* args, PyObject* kwargs);

}  // namespace seqtally::engine
