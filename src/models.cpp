#include "src/models.h"

#include <new>

#include "common/failure.h"
#include "src/arguments.h"
#include "src/call_frame.h"

namespace seqtally::py {
namespace {

struct ChecksumResultObject {
    PyObject_HEAD
    PyChecksumResult record;
};

PyObject* result_type = nullptr;  // created on first need, kept for the process

std::string repr_of(PyObject* object) {
    if (auto text = rendered(object, PyObject_Repr)) return std::move(*text);
    PyErr_Clear();
    return "<unprintable>";
}

// PyErr { type: <class 'MemoryError'>, value: MemoryError(), traceback: None }
std::string describe_pending_error() {
    PyRef exception(PyErr_GetRaisedException());
    if (!exception) return "PyErr { type: <class 'SystemError'>, value: SystemError('attempted to fetch exception "
                           "but none was set'), traceback: None }";
    PyRef traceback(PyException_GetTraceback(exception.get()));
    std::string out = "PyErr { type: " + repr_of(reinterpret_cast<PyObject*>(Py_TYPE(exception.get()))) +
                      ", value: " + repr_of(exception.get()) + ", traceback: ";
    out += traceback ? "Some(" + repr_of(traceback.get()) + ")" : std::string("None");
    out += " }";
    return out;
}

ChecksumResultObject* checked(PyObject* self);

template <std::string PyChecksumResult::*Field>
PyObject* get_text(PyObject* self, void*) {
    return call_frame(
        [&]() -> PyObject* {
            const std::string& text = checked(self)->record.*Field;
            PyObject* value = PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
            if (value == nullptr) throw_api_call_failed();
            return value;
        },
        nullptr);
}

template <std::string PyChecksumResult::*Field>
int set_text(PyObject* self, PyObject* value, void*) {
    return call_frame(
        [&]() -> int {
            if (value == nullptr) throw PythonError::built(PyExc_AttributeError, "can't delete attribute");
            std::string text = text_of(value);
            checked(self)->record.*Field = std::move(text);
            return 0;
        },
        -1);
}

PyObject* get_length(PyObject* self, void*) {
    return call_frame(
        [&]() -> PyObject* {
            PyObject* value = PyLong_FromUnsignedLongLong(checked(self)->record.length);
            if (value == nullptr) throw_api_call_failed();
            return value;
        },
        nullptr);
}

int set_length(PyObject* self, PyObject* value, void*) {
    return call_frame(
        [&]() -> int {
            if (value == nullptr) throw PythonError::built(PyExc_AttributeError, "can't delete attribute");
            PyRef index(PyNumber_Index(value));
            if (!index) throw_fetched_error();
            const unsigned long long length = PyLong_AsUnsignedLongLong(index.get());
            if (length == static_cast<unsigned long long>(-1) && PyErr_Occurred()) throw_fetched_error();
            checked(self)->record.length = length;
            return 0;
        },
        -1);
}

PyObject* result_repr(PyObject* self) {
    return call_frame(
        [&]() -> PyObject* {
            const std::string text = "<ChecksumResult for " + checked(self)->record.id + ">";
            PyObject* value = PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
            if (value == nullptr) throw_fetched_error();
            return value;
        },
        nullptr);
}

PyObject* no_constructor_defined(PyTypeObject*, PyObject*, PyObject*) {
    return call_frame(
        []() -> PyObject* { throw PythonError::built(PyExc_TypeError, "No constructor defined"); }, nullptr);
}

void result_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    reinterpret_cast<ChecksumResultObject*>(self)->record.~PyChecksumResult();
    type->tp_free(self);
    // Instances of a heap type hold a reference to it.
    Py_DECREF(type);
}

PyGetSetDef result_getset[] = {
    {"id", get_text<&PyChecksumResult::id>, set_text<&PyChecksumResult::id>, nullptr, nullptr},
    {"length", get_length, set_length, nullptr, nullptr},
    {"sha512", get_text<&PyChecksumResult::sha512>, set_text<&PyChecksumResult::sha512>, nullptr, nullptr},
    {"md5", get_text<&PyChecksumResult::md5>, set_text<&PyChecksumResult::md5>, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot result_slots[] = {
    {Py_tp_base, &PyBaseObject_Type},
    {Py_tp_dealloc, reinterpret_cast<void*>(result_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(result_repr)},
    {Py_tp_getset, result_getset},
    {Py_tp_new, reinterpret_cast<void*>(no_constructor_defined)},
    {0, nullptr},
};

// The dotted name gives the class a __module__ ("seqtally") while __name__
// and __qualname__ stay "ChecksumResult"; a bare name would make CPython
// warn each time the type is created.
PyType_Spec result_spec = {
    "seqtally.ChecksumResult",
    static_cast<int>(sizeof(ChecksumResultObject)),
    0,
    Py_TPFLAGS_DEFAULT,
    result_slots,
};

PyTypeObject* checksum_result_type() {
    if (result_type == nullptr) {
        PyObject* type = PyType_FromSpec(&result_spec);
        if (type == nullptr) {
            PyRef cause(PyErr_GetRaisedException());
            PyErr_SetString(PyExc_RuntimeError, "An error occurred while initializing class ChecksumResult");
            PyRef error(PyErr_GetRaisedException());
            PyException_SetCause(error.get(), cause.release());
            PyErr_SetRaisedException(error.release());
            PyErr_PrintEx(0);
            throw InternalFailure("failed to create type object for ChecksumResult");
        }
        result_type = type;
    }
    return reinterpret_cast<PyTypeObject*>(result_type);
}

ChecksumResultObject* checked(PyObject* self) {
    if (!PyObject_TypeCheck(self, checksum_result_type())) throw conversion_error(self, "ChecksumResult");
    return reinterpret_cast<ChecksumResultObject*>(self);
}

}  // namespace

PyRef make_checksum_result(PyChecksumResult&& record) {
    PyTypeObject* type = checksum_result_type();
    PyRef object(type->tp_alloc(type, 0));
    if (!object) fail(kUnwrapFailed, describe_pending_error());
    new (&reinterpret_cast<ChecksumResultObject*>(object.get())->record) PyChecksumResult(std::move(record));
    return object;
}

}  // namespace seqtally::py
