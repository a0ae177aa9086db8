#pragma once
// Binding of vectorcall arguments to parameter names, and the conversions of
// each argument into a native value.
#include <cstdint>
#include <span>
#include <string>

#include "capi/py_ref.h"

namespace seqtally::py {

struct FunctionDescription {
    const char* func_name;
    std::span<const char* const> parameters;
    std::size_t required;  // a leading run of `parameters`
};

// Fills one borrowed slot per parameter (NULL when not given); throws a
// PythonError with the binding message on failure.
void extract_arguments_fastcall(const FunctionDescription& function, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames, std::span<PyObject*> slots);

// Conversions; failures are thrown with the parameter named where the rules
// say so.
std::string extract_text(PyObject* object, const char* param);
bool extract_bool(PyObject* object, const char* param);
std::uint32_t extract_u32(PyObject* object, const char* param);
std::int32_t extract_i32(PyObject* object, const char* param);

// The same conversions without any argument prefix, for attribute setters.
std::string text_of(PyObject* object);

}  // namespace seqtally::py
