#pragma once
#include "capi/py_ref.h"

namespace seqtally::engine {

// The RandomAccess type: bases of an indexed plain or BGZF FASTA file.
PyObject* make_random_access_type();
// read_fai(text): the records of a .fai file's bytes, as
// FaiEntry(name, length, offset, line_bases, line_bytes).
PyObject* read_fai(PyObject* module, PyObject* text);
// The FaiEntry type, added to the module; false with a Python error set.
bool add_fai_entry_type(PyObject* module);

}  // namespace seqtally::engine
