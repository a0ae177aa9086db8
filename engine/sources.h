#pragma once
// Where a call reads and writes: a path as the file system takes it, "-"
// for a standard stream, a descriptor of the caller's, or an object with
// fileno(). The caller's descriptor stays theirs: the engine works on a
// duplicate, which it closes (and whose close it checks).
#include <string>

#include "capi/py_ref.h"
#include "common/file.h"
#include "engine/failures.h"

namespace seqtally::engine {

struct Place {
    bool named = false;  // by path, not by descriptor
    std::string path;
    int fd = -1;
};

// `what` names the argument in errors; `dash_fd` is the descriptor "-"
// stands for (0 or 1), or -1 when "-" is a path like any other. Raises
// (PythonRaised) on an argument of the wrong kind.
Place place_of(PyObject* object, const char* what, int dash_fd);

File open_input_file(const Place& place);

// gz_named(path): whether a name asks for gzip, by the seqtally module's rule
// (common/file.h's has_gz_extension), so that the library and the module
// never disagree on a name.
PyObject* gz_named(PyObject* module, PyObject* path);
File open_output_file(const Place& place, Which which);

}  // namespace seqtally::engine
