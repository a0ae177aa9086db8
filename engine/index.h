#pragma once
#include "capi/py_ref.h"

namespace seqtally::engine {

// index(source, digests=True, progress=None, on_record=None, distinct=True, folder=None,
// bgzip=None, level=-1) -> Indexed(compression, entries, gzi, fai, sizes, gzip_member_at),
// each entry an IndexEntry; with `bgzip`, a BGZF copy of the decoded input written there.
PyObject* index(PyObject* module, PyObject* args, PyObject* kwargs);
// The named record types index() returns, added to the module; false with a
// Python error set.
bool add_index_types(PyObject* module);

}  // namespace seqtally::engine
