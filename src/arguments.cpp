#include "src/arguments.h"

#include <string_view>
#include <vector>

#include "src/call_frame.h"

namespace seqtally::py {
namespace {

// 'a'; 'a' and 'b'; 'a', 'b', and 'c'
std::string name_list(std::span<const char* const> names) {
    std::string out;
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (i > 0) out += names.size() == 2 ? " and " : (i + 1 == names.size() ? ", and " : ", ");
        out += '\'';
        out += names[i];
        out += '\'';
    }
    return out;
}

[[noreturn]] void too_many_positional(const FunctionDescription& function, Py_ssize_t nargs) {
    const std::size_t total = function.parameters.size();
    std::string message = std::string(function.func_name) + "() takes ";
    if (function.required < total) message += "from " + std::to_string(function.required) + " to ";
    message += std::to_string(total) + " positional arguments but " + std::to_string(nargs) +
               (nargs == 1 ? " was" : " were") + " given";
    throw PythonError::built(PyExc_TypeError, std::move(message));
}

[[noreturn]] void missing_required(const FunctionDescription& function, std::span<PyObject*> slots) {
    std::vector<const char*> missing;
    for (std::size_t i = 0; i < function.required; ++i) {
        if (slots[i] == nullptr) missing.push_back(function.parameters[i]);
    }
    throw PythonError::built(PyExc_TypeError, std::string(function.func_name) + "() missing " +
                                                  std::to_string(missing.size()) + " required positional " +
                                                  (missing.size() == 1 ? "argument" : "arguments") + ": " +
                                                  name_list(missing));
}

std::string_view utf8_view(PyObject* text) {
    auto utf8 = utf8_of(text);
    if (!utf8) throw_fetched_error();
    return *utf8;
}

long index_value(PyObject* object) {
    PyRef index(PyNumber_Index(object));
    if (!index) throw_fetched_error();
    const long value = PyLong_AsLong(index.get());
    if (value == -1 && PyErr_Occurred()) throw_fetched_error();
    return value;
}

PythonError out_of_range() {
    return PythonError::built(PyExc_OverflowError, "out of range integral type conversion attempted");
}

template <class Convert>
auto with_argument_name(const char* param, Convert&& convert) -> decltype(convert()) {
    try {
        return convert();
    } catch (PythonError& error) {
        throw std::move(error).for_argument(param);
    }
}

}  // namespace

void extract_arguments_fastcall(const FunctionDescription& function, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames, std::span<PyObject*> slots) {
    const std::size_t total = function.parameters.size();
    if (static_cast<std::size_t>(nargs) > total) too_many_positional(function, nargs);
    for (Py_ssize_t i = 0; i < nargs; ++i) slots[static_cast<std::size_t>(i)] = args[i];

    const Py_ssize_t keyword_count = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t k = 0; k < keyword_count; ++k) {
        PyObject* name = PyTuple_GET_ITEM(kwnames, k);
        const std::string_view keyword = utf8_view(name);
        std::size_t slot = 0;
        while (slot < total && keyword != function.parameters[slot]) ++slot;
        if (slot == total) {
            throw PythonError::built(PyExc_TypeError, std::string(function.func_name) +
                                                          "() got an unexpected keyword argument '" +
                                                          std::string(keyword) + "'");
        }
        if (slots[slot] != nullptr) {
            throw PythonError::built(PyExc_TypeError, std::string(function.func_name) +
                                                          "() got multiple values for argument '" +
                                                          std::string(keyword) + "'");
        }
        slots[slot] = args[nargs + k];
    }

    if (static_cast<std::size_t>(nargs) < function.required) {
        for (std::size_t i = static_cast<std::size_t>(nargs); i < function.required; ++i) {
            if (slots[i] == nullptr) missing_required(function, slots);
        }
    }
}

std::string text_of(PyObject* object) {
    if (!PyUnicode_Check(object)) throw conversion_error(object, "PyString");
    return std::string(utf8_view(object));
}

std::string extract_text(PyObject* object, const char* param) {
    return with_argument_name(param, [&] { return text_of(object); });
}

bool extract_bool(PyObject* object, const char* param) {
    return with_argument_name(param, [&] {
        if (!PyBool_Check(object)) throw conversion_error(object, "PyBool");
        return object == Py_True;
    });
}

std::uint32_t extract_u32(PyObject* object, const char* param) {
    return with_argument_name(param, [&] {
        const long value = index_value(object);
        if (value < 0 || value > 0xFFFFFFFFL) throw out_of_range();
        return static_cast<std::uint32_t>(value);
    });
}

std::int32_t extract_i32(PyObject* object, const char* param) {
    return with_argument_name(param, [&] {
        const long value = index_value(object);
        if (value < INT32_MIN || value > INT32_MAX) throw out_of_range();
        return static_cast<std::int32_t>(value);
    });
}

}  // namespace seqtally::py
