#pragma once
// Every entry point from Python runs inside call_frame(): it turns a
// PythonError into the Python exception it describes and an InternalFailure
// (or exhausted memory) into a report on standard error followed by
// PanicException. No C++ exception ever leaves the frame.
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "common/failure.h"
#include "capi/py_ref.h"

namespace seqtally::py {

// A Python exception on its way to the frame: either built here from a type
// and a message, or fetched from CPython after a failed API call.
class PythonError {
  public:
    static PythonError built(PyObject* type, std::string message) {
        PythonError error;
        error.type_ = type;
        error.message_ = std::move(message);
        return error;
    }
    static PythonError fetched(PyRef exception) {
        PythonError error;
        error.fetched_ = std::move(exception);
        return error;
    }

    // Exactly TypeError, not a subclass: only those get an argument prefix.
    bool is_exact_type_error() const noexcept;
    // Sets the error indicator.
    void raise() &&;
    // Rewrites the error as conversion of parameter `param` failing.
    PythonError for_argument(const char* param) &&;

  private:
    PythonError() = default;

    PyObject* type_ = nullptr;  // borrowed: a static exception type
    std::string message_;
    PyRef fetched_;
};

// Takes the pending exception from CPython after a failed call. A
// PanicException that Python code handed back resumes as an internal
// failure; anything else is thrown as a PythonError.
[[noreturn]] void throw_fetched_error();

// For a call that must return a new object and returned NULL: the pending
// exception is printed and the call ends with "Python API call failed".
[[noreturn]] void throw_api_call_failed();

// The UTF-8 text of a str object: the one conversion from Python text to
// ours. Null, with the Python error set, when it has none (a lone surrogate).
std::optional<std::string_view> utf8_of(PyObject* text) noexcept;
// render(object), PyObject_Str or PyObject_Repr, as UTF-8 text; null, with
// the Python error set, when either step fails.
std::optional<std::string> rendered(PyObject* object, PyObject* (*render)(PyObject*));

// The type's __qualname__, or "<failed to extract type name>".
std::string type_qualname(PyObject* object);
// TypeError "'{type}' object cannot be converted to '{target}'".
PythonError conversion_error(PyObject* object, const char* target);

// Raises PanicException for a failure after reporting it on standard error.
void raise_panic(const InternalFailure& failure) noexcept;

template <class Body>
auto call_frame(Body&& body, decltype(body()) error_value) noexcept -> decltype(body()) {
    try {
        return body();
    } catch (PythonError& error) {
        std::move(error).raise();
    } catch (const InternalFailure& failure) {
        raise_panic(failure);
    } catch (const std::bad_alloc&) {
        raise_panic(InternalFailure("memory allocation failed"));
    } catch (const std::exception& unexpected) {
        raise_panic(InternalFailure(unexpected.what()));
    } catch (...) {
        raise_panic(InternalFailure("unknown native failure"));
    }
    return error_value;
}

}  // namespace seqtally::py
