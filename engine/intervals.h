#pragma once
#include "capi/py_ref.h"

namespace seqtally::engine {

// The IntervalReader type: many intervals of an indexed plain or BGZF FASTA file.
PyObject* make_interval_reader_type();
// BedNote, the record of an interval its command left out; false with a
// Python error set.
bool add_bed_note_type(PyObject* module);

}  // namespace seqtally::engine
