#include "src/call_frame.h"

#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>

#include "common/progress.h"

namespace seqtally::py {
namespace {

constexpr char kPanicDoc[] =
    "The exception raised when the native code of this module, called from Python, fails "
    "without recovering.\n"
    "\n"
    "Like SystemExit, this exception is derived from BaseException so that\n"
    "it will typically propagate all the way through the stack and cause the\n"
    "Python interpreter to exit.";

PyObject* panic_type = nullptr;  // created on first need, kept for the process

// Returns the PanicException type, creating it once; NULL with an exception
// set when it cannot be created.
PyObject* panic_exception_type() noexcept {
    if (panic_type == nullptr) {
        panic_type = PyErr_NewExceptionWithDoc("pyo3_runtime.PanicException", kPanicDoc, PyExc_BaseException,
                                               nullptr);
    }
    return panic_type;
}

std::string thread_name() {
    return ::syscall(SYS_gettid) == ::getpid() ? "main" : "<unnamed>";
}

void report_failure(const std::string& message, const SourceLocation& where) noexcept {
    static std::atomic<bool> hinted{false};
    try {
        std::string report = "thread '" + thread_name() + "' panicked at " + where.file_name + ":" +
                             std::to_string(where.line) + ":\n" +
                             message + "\n";
        if (!hinted.exchange(true)) {
            report += "note: the PanicException raised next carries the Python call trace; "
                      "traceback.print_exc() prints it where the exception is caught\n";
        }
        write_stderr_ignoring_errors(report);
    } catch (...) {
        write_stderr_ignoring_errors("thread panicked while reporting a failure\n");
    }
}

[[noreturn]] void abort_at_boundary() noexcept {
    report_failure("uncaught panic at ffi boundary", SourceLocation::current());
    std::abort();
}

}  // namespace

std::optional<std::string_view> utf8_of(PyObject* text) noexcept {
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(text, &size);
    if (utf8 == nullptr) return std::nullopt;
    return std::string_view(utf8, static_cast<std::size_t>(size));
}

std::optional<std::string> rendered(PyObject* object, PyObject* (*render)(PyObject*)) {
    PyRef text(render(object));
    if (!text) return std::nullopt;
    auto utf8 = utf8_of(text.get());
    if (!utf8) return std::nullopt;
    return std::string(*utf8);
}

bool PythonError::is_exact_type_error() const noexcept {
    if (fetched_) return Py_IS_TYPE(fetched_.get(), reinterpret_cast<PyTypeObject*>(PyExc_TypeError));
    return type_ == PyExc_TypeError;
}

void PythonError::raise() && {
    if (fetched_) {
        PyErr_SetRaisedException(fetched_.release());
        return;
    }
    PyRef value(PyUnicode_FromStringAndSize(message_.data(), static_cast<Py_ssize_t>(message_.size())));
    if (value) PyErr_SetObject(type_, value.get());
}

PythonError PythonError::for_argument(const char* param) && {
    if (!is_exact_type_error()) return std::move(*this);
    const std::string prefix = std::string("argument '") + param + "': ";
    if (!fetched_) return built(PyExc_TypeError, prefix + message_);
    std::string text;
    if (auto shown = rendered(fetched_.get(), PyObject_Str)) {
        text = std::move(*shown);
    } else {
        PyErr_WriteUnraisable(fetched_.get());
        PyRef name(PyType_GetName(Py_TYPE(fetched_.get())));
        if (auto type_name = name ? utf8_of(name.get()) : std::nullopt) {
            text = "<unprintable " + std::string(*type_name) + " object>";
        } else {
            PyErr_Clear();
            text = "<unprintable object>";
        }
    }
    const std::string message = prefix + text;
    PyRef value(PyUnicode_FromStringAndSize(message.data(), static_cast<Py_ssize_t>(message.size())));
    PyRef replacement(value ? PyObject_CallOneArg(PyExc_TypeError, value.get()) : nullptr);
    if (!replacement) throw_fetched_error();
    // The cause carries over; the replaced exception itself is dropped.
    PyException_SetCause(replacement.get(), PyException_GetCause(fetched_.get()));
    return fetched(std::move(replacement));
}

void throw_fetched_error() {
    PyRef exception(PyErr_GetRaisedException());
    if (!exception) throw PythonError::built(PyExc_SystemError, "attempted to fetch exception but none was set");
    PyObject* panic = panic_exception_type();
    if (panic == nullptr) {
        PyErr_Clear();
    } else if (PyObject_TypeCheck(exception.get(), reinterpret_cast<PyTypeObject*>(panic))) {
        std::optional<std::string> shown = rendered(exception.get(), PyObject_Str);
        if (!shown) PyErr_Clear();
        std::string message = shown ? std::move(*shown) : "Unwrapped panic from Python code";
        write_stderr_ignoring_errors(
            "--- PyO3 is resuming a panic after fetching a PanicException from Python. ---\n"
            "Python stack trace below:\n");
        PyErr_SetRaisedException(exception.release());
        PyErr_PrintEx(0);
        throw std::move(InternalFailure(std::move(message)).mark_reported());
    }
    throw PythonError::fetched(std::move(exception));
}

void throw_api_call_failed() {
    if (PyErr_Occurred()) PyErr_Print();
    throw InternalFailure("Python API call failed");
}

std::string type_qualname(PyObject* object) {
    PyRef name(PyType_GetQualName(Py_TYPE(object)));
    if (name && PyUnicode_Check(name.get())) {
        if (auto text = utf8_of(name.get())) return std::string(*text);
    }
    PyErr_Clear();
    return "<failed to extract type name>";
}

PythonError conversion_error(PyObject* object, const char* target) {
    // Appended piece by piece: GCC 12 misreports -Wrestrict on "'" + std::string.
    std::string message = "'";
    message += type_qualname(object);
    message += "' object cannot be converted to '";
    message += target;
    message += '\'';
    return PythonError::built(PyExc_TypeError, std::move(message));
}

void raise_panic(const InternalFailure& failure) noexcept {
    if (!failure.already_reported()) report_failure(failure.message(), failure.where());
    PyObject* type = panic_exception_type();
    if (type == nullptr) abort_at_boundary();
    const std::string& message = failure.message();
    PyRef text(PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace"));
    PyRef args(text ? PyTuple_Pack(1, text.get()) : nullptr);
    if (!args) abort_at_boundary();
    PyErr_SetObject(type, args.get());
}

}  // namespace seqtally::py
