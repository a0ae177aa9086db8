#pragma once
// Python values from the core's results, each a new reference with one
// owner; a failure to make one is PythonRaised.
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <string_view>

#include "capi/py_ref.h"

namespace seqtally::engine {

py::PyRef utf8_text(std::string_view text);
py::PyRef ascii_text(std::string_view text);
py::PyRef bytes_of(std::string_view bytes);
py::PyRef number(std::uint64_t value);
py::PyRef number_or_none(std::optional<std::uint64_t> value);
py::PyRef none();
// A tuple of the items, each made already.
py::PyRef tuple_of(std::initializer_list<py::PyRef> items);

// A record type of the library's: a tuple subtype with nothing of its own,
// whose records are made as tuple.__new__ makes them, without a call to the
// type (a million records cost a million Python-level calls otherwise).
class RecordType {
  public:
    explicit RecordType(PyObject* type);  // TypeError (PythonRaised) for anything else
    // A record of the fields, which it takes; each must be made already.
    py::PyRef make(std::initializer_list<py::PyRef> fields) const;

  private:
    PyTypeObject* type_;
};

// A record type of the engine's own: a struct sequence, whose fields are read
// by name (it is still a tuple underneath, and pickles by its module's name).
// Made by the module's init and added to the module under its short name.
class NamedRecord {
  public:
    // `desc` lives as long as the process; false with a Python error set.
    bool add_to(PyObject* module, PyStructSequence_Desc& desc);
    // A record of the fields, in the description's order, each made already.
    py::PyRef make(std::initializer_list<py::PyRef> fields) const;

  private:
    PyTypeObject* type_ = nullptr;
};

}  // namespace seqtally::engine
