#pragma once
#include "capi/py_ref.h"

namespace seqtally::engine {

// sequence_stats(source, min_gap=1, gaps=None, masked=None, exclude_bed=None, progress=None, on_record=None)
// -> (names, columns): columns one native uint64 buffer, column after
// column (core::StatsColumn's order), a value per record each.
PyObject* sequence_stats(PyObject* module, PyObject* args, PyObject* kwargs);

}  // namespace seqtally::engine
