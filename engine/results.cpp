#include "engine/results.h"

#include <string>
#include <vector>

#include "engine/failures.h"

namespace seqtally::engine {
namespace {

py::PyRef checked(PyObject* made) {
    if (made == nullptr) throw PythonRaised{};
    return py::PyRef(made);
}

}  // namespace

py::PyRef utf8_text(std::string_view text) {
    return checked(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "strict"));
}

py::PyRef ascii_text(std::string_view text) {
    return checked(PyUnicode_DecodeASCII(text.data(), static_cast<Py_ssize_t>(text.size()), "strict"));
}

py::PyRef bytes_of(std::string_view bytes) {
    return checked(PyBytes_FromStringAndSize(bytes.data(), static_cast<Py_ssize_t>(bytes.size())));
}

py::PyRef number(std::uint64_t value) { return checked(PyLong_FromUnsignedLongLong(value)); }

py::PyRef number_or_none(std::optional<std::uint64_t> value) { return value ? number(*value) : none(); }

py::PyRef none() { return py::PyRef(Py_NewRef(Py_None)); }

// An initializer_list's elements are const: each item goes in as a new
// reference of its own, and the list's owners let go of theirs.
py::PyRef tuple_of(std::initializer_list<py::PyRef> items) {
    py::PyRef tuple = checked(PyTuple_New(static_cast<Py_ssize_t>(items.size())));
    Py_ssize_t at = 0;
    for (const py::PyRef& item : items) PyTuple_SET_ITEM(tuple.get(), at++, Py_NewRef(item.get()));
    return tuple;
}

RecordType::RecordType(PyObject* type) : type_(reinterpret_cast<PyTypeObject*>(type)) {
    if (!PyType_IsSubtype(type_, &PyTuple_Type) || type_->tp_basicsize != PyTuple_Type.tp_basicsize ||
        type_->tp_dictoffset != 0) {
        PyErr_SetString(PyExc_TypeError, "record_type must be a tuple subtype without fields of its own");
        throw PythonRaised{};
    }
}

py::PyRef RecordType::make(std::initializer_list<py::PyRef> fields) const {
    py::PyRef record = checked(type_->tp_alloc(type_, static_cast<Py_ssize_t>(fields.size())));
    Py_ssize_t at = 0;
    for (const py::PyRef& field : fields) PyTuple_SET_ITEM(record.get(), at++, Py_NewRef(field.get()));
    return record;
}

bool NamedRecord::add_to(PyObject* module, PyStructSequence_Desc& desc) {
    if (type_ == nullptr) type_ = PyStructSequence_NewType(&desc);
    if (type_ == nullptr) return false;
    const std::string_view name(desc.name);
    const std::string short_name(name.substr(name.rfind('.') + 1));
    return PyModule_AddObjectRef(module, short_name.c_str(), reinterpret_cast<PyObject*>(type_)) == 0;
}

py::PyRef NamedRecord::make(std::initializer_list<py::PyRef> fields) const {
    py::PyRef record = checked(PyStructSequence_New(type_));
    Py_ssize_t at = 0;
    for (const py::PyRef& field : fields) PyStructSequence_SetItem(record.get(), at++, Py_NewRef(field.get()));
    return record;
}

}  // namespace seqtally::engine
