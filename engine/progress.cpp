#include "engine/progress.h"

#include <new>

#include "engine/failures.h"

namespace seqtally::engine {
namespace {

PyObject* progress_type = nullptr;

PyObject* progress_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {nullptr};
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, ":Progress", const_cast<char**>(keywords))) return nullptr;
    PyObject* self = type->tp_alloc(type, 0);
    if (self == nullptr) return nullptr;
    auto* progress = reinterpret_cast<ProgressObject*>(self);
    new (&progress->bytes_read) std::atomic<std::uint64_t>(0);
    new (&progress->cancelled) std::atomic<bool>(false);
    return self;
}

void progress_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    type->tp_free(self);
    Py_DecRef(reinterpret_cast<PyObject*>(type));
}

ProgressObject* self_of(PyObject* self) { return reinterpret_cast<ProgressObject*>(self); }

PyObject* progress_bytes_read(PyObject* self, void*) {
    return PyLong_FromUnsignedLongLong(self_of(self)->bytes_read.load());
}

PyObject* progress_cancelled(PyObject* self, void*) { return PyBool_FromLong(self_of(self)->cancelled.load()); }

PyObject* progress_cancel(PyObject* self, PyObject*) {
    self_of(self)->cancelled.store(true);
    Py_RETURN_NONE;
}

PyGetSetDef progress_getset[] = {
    {"bytes_read", progress_bytes_read, nullptr, "Bytes of input read so far, as stored.", nullptr},
    {"cancelled", progress_cancelled, nullptr, "Whether cancel() was called.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef progress_methods[] = {
    {"cancel", progress_cancel, METH_NOARGS, "Calls using this object end soon with Failure(kind='cancelled')."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot progress_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(progress_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(progress_dealloc)},
    {Py_tp_getset, progress_getset},
    {Py_tp_methods, progress_methods},
    {Py_tp_doc, const_cast<char*>("Bytes read by the calls given it, and a way to cancel them.")},
    {0, nullptr},
};

PyType_Spec progress_spec = {"seqtally_tools._engine.Progress", sizeof(ProgressObject), 0, Py_TPFLAGS_DEFAULT,
                             progress_slots};

}  // namespace

PyObject* make_progress_type() {
    if (progress_type == nullptr) progress_type = PyType_FromSpec(&progress_spec);
    return progress_type;
}

ProgressObject* progress_of(PyObject* object) {
    if (object == nullptr || object == Py_None) return nullptr;
    if (!PyObject_TypeCheck(object, reinterpret_cast<PyTypeObject*>(progress_type))) {
        PyErr_SetString(PyExc_TypeError, "progress must be a Progress or None");
        throw PythonRaised{};
    }
    return self_of(object);
}

}  // namespace seqtally::engine
