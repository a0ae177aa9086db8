#pragma once
#include "capi/py_ref.h"

namespace seqtally::engine {

// The IntervalReader type: many intervals of an indexed plain or BGZF FASTA file.
PyObject* make_interval_reader_type();

}  // namespace seqtally::engine
