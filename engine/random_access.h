#pragma once
#include "capi/py_ref.h"

namespace seqtally::engine {

// The RandomAccess type: bases of an indexed plain or BGZF FASTA file.
PyObject* make_random_access_type();

}  // namespace seqtally::engine
