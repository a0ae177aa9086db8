#pragma once
#include "capi/py_ref.h"

namespace seqtally::engine {

// index(source, digests=True, progress=None, on_record=None, distinct=True, folder=None)
// -> Indexed(compression, entries, gzi, fai, sizes, gzip_member_at), each
// entry an IndexEntry.
PyObject* index(PyObject* module, PyObject* args, PyObject* kwargs);
// The named record types index() returns, added to the module; false with a
// Python error set.
bool add_index_types(PyObject* module);

}  // namespace seqtally::engine
