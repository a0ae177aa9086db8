#include "engine/sources.h"

#include <fcntl.h>

#include <cerrno>
#include <cstdint>

namespace seqtally::engine {
namespace {

File duplicate(int fd, Which which) {
    const int copy = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
    if (copy < 0) throw os_problem(errno, which);
    return File::adopt(copy);
}

}  // namespace

Place place_of(PyObject* object, const char* what, int dash_fd) {
    Place place;
    if (PyLong_Check(object)) {
        const long fd = PyLong_AsLong(object);
        if (fd == -1 && PyErr_Occurred()) throw PythonRaised{};
        if (fd > INT32_MAX) {
            PyErr_Format(PyExc_OverflowError, "%s: no such file descriptor", what);
            throw PythonRaised{};
        }
        if (fd < 0) {
            PyErr_Format(PyExc_ValueError, "%s: a file descriptor cannot be negative", what);
            throw PythonRaised{};
        }
        place.fd = static_cast<int>(fd);
        return place;
    }
    if (PyUnicode_Check(object) || PyBytes_Check(object) || PyObject_HasAttrString(object, "__fspath__")) {
        py::PyRef fspath(PyOS_FSPath(object));
        if (!fspath) throw PythonRaised{};
        py::PyRef encoded(PyUnicode_Check(fspath.get()) ? PyUnicode_EncodeFSDefault(fspath.get())
                                                         : Py_NewRef(fspath.get()));
        if (!encoded) throw PythonRaised{};
        char* data = nullptr;
        Py_ssize_t size = 0;
        if (PyBytes_AsStringAndSize(encoded.get(), &data, &size) < 0) throw PythonRaised{};
        place.path.assign(data, static_cast<std::size_t>(size));
        if (place.path.find('\0') != std::string::npos) {
            PyErr_Format(PyExc_ValueError, "%s: embedded null byte", what);
            throw PythonRaised{};
        }
        if (dash_fd >= 0 && place.path == "-") {
            place.path.clear();
            place.fd = dash_fd;
            return place;
        }
        place.named = true;
        return place;
    }
    if (PyObject_HasAttrString(object, "fileno")) {
        py::PyRef number(PyObject_CallMethod(object, "fileno", nullptr));
        if (!number) throw PythonRaised{};
        return place_of(number.get(), what, -1);
    }
    PyErr_Format(PyExc_TypeError, "%s must be a path, a file descriptor or a file object, not %.100s", what,
                 Py_TYPE(object)->tp_name);
    throw PythonRaised{};
}

File open_input_file(const Place& place) {
    if (!place.named) return duplicate(place.fd, Which::Input);
    auto opened = File::open_read(place.path);
    if (!opened) throw read_problem(opened.error());
    return std::move(opened).value();
}

File open_output_file(const Place& place, Which which) {
    if (!place.named) return duplicate(place.fd, which);
    auto created = File::create(place.path);
    if (!created) throw write_problem(created.error(), which);
    return std::move(created).value();
}

PyObject* gz_named(PyObject*, PyObject* path) {
    return frame([&]() -> PyObject* {
        const Place place = place_of(path, "path", -1);
        if (!place.named) {
            PyErr_SetString(PyExc_TypeError, "path must be a path, not a descriptor");
            throw PythonRaised{};
        }
        return PyBool_FromLong(has_gz_extension(place.path));
    });
}

}  // namespace seqtally::engine
