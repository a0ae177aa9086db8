#pragma once
// One owner per new reference: PyRef releases it on every path.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <memory>

namespace seqtally::py {

struct DecRef {
    void operator()(PyObject* object) const noexcept { Py_DecRef(object); }
};
using PyRef = std::unique_ptr<PyObject, DecRef>;

}  // namespace seqtally::py
