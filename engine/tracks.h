#pragma once
#include <cstdint>

#include "capi/py_ref.h"

namespace seqtally::engine {

// The largest window of every track format, MAX_WINDOW to Python: the
// module's wiggle pass counts a window's bases in 32 bits, and a track's
// format should never decide whether its window is taken.
inline constexpr long long kMaxWindow = INT32_MAX;

// gc_values(source, window, omit_tail, progress=None, on_record=None, count="upper", min_acgt=0.25,
//           distinct=False)
// -> ([WindowValues(name, length, values, lowercase) per record], sizes)
PyObject* gc_values(PyObject* module, PyObject* args, PyObject* kwargs);
// The WindowValues type, added to the module; false with a Python error set.
bool add_window_values_type(PyObject* module);
// write_track(source, output, form, window, omit_tail, gzip_level=None, sizes=None, track_line=False,
//             progress=None, on_record=None, count="upper", min_acgt=0.25)
PyObject* write_track(PyObject* module, PyObject* args, PyObject* kwargs);

}  // namespace seqtally::engine
