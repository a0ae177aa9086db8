#pragma once
// Progress: bytes read by the calls given it, and a way to cancel them. The
// counter and the flag are atomics that the calls touch without the
// interpreter lock.
#include <atomic>
#include <cstdint>

#include "capi/py_ref.h"

namespace seqtally::engine {

struct ProgressObject {
    PyObject_HEAD
    std::atomic<std::uint64_t> bytes_read;
    std::atomic<bool> cancelled;
};

PyObject* make_progress_type();
// The Progress given as an argument: null for None (or nothing); TypeError
// (PythonRaised) for anything else.
ProgressObject* progress_of(PyObject* object);

}  // namespace seqtally::engine
