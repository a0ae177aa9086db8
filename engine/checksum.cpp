// checksum: every record's name, length and digests, as records of the
// caller's tuple type.
#include "engine/checksum.h"

#include <deque>

#include "core/src/lib/checksum.h"
#include "engine/results.h"
#include "engine/unlocked.h"

namespace seqtally::engine {

PyObject* checksum(PyObject*, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"source", "record_type", "progress", "on_record", nullptr};
    PyObject* source = nullptr;
    PyObject* record_type = nullptr;
    PyObject* progress = Py_None;
    PyObject* on_record = Py_None;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO!|OO:checksum", const_cast<char**>(keywords), &source,
                                     &PyType_Type, &record_type, &progress, &on_record)) {
        return nullptr;
    }
    return frame([&]() -> PyObject* {
        const RecordType type(record_type);
        Reading reading(source, progress, on_record);
        std::deque<core::SequenceDigest> digests = reading.run(
            {}, [](core::NamedRecords& records, Unlocked& unlocked) { return core::digest_records(records, unlocked); });
        py::PyRef list(PyList_New(static_cast<Py_ssize_t>(digests.size())));
        if (!list) throw PythonRaised{};
        // Each record's values are freed as soon as Python holds them.
        for (Py_ssize_t at = 0; !digests.empty(); ++at) {
            const core::SequenceDigest& digest = digests.front();
            PyList_SET_ITEM(list.get(), at,
                            type.make({utf8_text(digest.id), py::PyRef(PyLong_FromUnsignedLongLong(digest.length)),
                                       ascii_text(core::text_of(digest.sha512)),
                                       ascii_text(core::text_of(digest.md5))})
                                .release());
            digests.pop_front();
        }
        return list.release();
    });
}

}  // namespace seqtally::engine
