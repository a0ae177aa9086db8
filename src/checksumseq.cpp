// checksum(file, verbose=None): binding and the operation itself.
#include <array>
#include <deque>

#include "common/failure.h"
#include "core/src/lib/checksum.h"
#include "fasta/reader.h"
#include "src/arguments.h"
#include "src/call_frame.h"
#include "src/functions.h"
#include "src/models.h"

namespace seqtally::py {
namespace {

constexpr const char* kParameters[] = {"file", "verbose"};
constexpr FunctionDescription kChecksum{"checksum", kParameters, 1};

// The records wait in a deque: it grows without copying what it holds, and
// hands each block back as soon as its records have moved into Python
// objects, so the list never costs twice its size at once. The objects'
// digest strings are made only then, from the blocks just handed back.
using Records = std::deque<core::SequenceDigest>;

Records checksum_file(std::string file, bool verbose) {
    Records results;
    auto opened = File::open_read(file);
    file = std::string();
    if (!opened) fail(kUnwrapFailed, opened.error().text());
    // The reader, and with it the file, is gone before any Python object is made.
    fasta::Reader reader(std::make_unique<FileSource>(std::move(opened).value()));
    core::SequenceDigester digester;
    for (;;) {
        auto next = reader.next_record();
        if (!next) fail(kUnwrapFailed, next.error().text());
        if (!next.value()) break;
        auto digest = digester.process_sequence(*next.value(), verbose);
        if (!digest) fail(kUnwrapFailed, digest.error().text());
        results.push_back(std::move(digest.value()));
    }
    return results;
}

PyRef to_list(Records&& results) {
    const auto size = static_cast<Py_ssize_t>(results.size());
    PyRef list(PyList_New(size));
    if (!list) throw_api_call_failed();
    for (Py_ssize_t i = 0; i < size; ++i) {
        core::SequenceDigest& values = results.front();
        PyList_SET_ITEM(list.get(), i,
                        make_checksum_result(PyChecksumResult{std::move(values.id), values.length,
                                                              std::string(core::text_of(values.sha512)),
                                                              std::string(core::text_of(values.md5))})
                            .release());
        results.pop_front();
    }
    return list;
}

}  // namespace

PyObject* checksum_fastcall(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call_frame(
        [&]() -> PyObject* {
            std::array<PyObject*, 2> slots{};
            extract_arguments_fastcall(kChecksum, args, nargs, kwnames, slots);
            std::string file = extract_text(slots[0], "file");
            const bool verbose = slots[1] != nullptr && slots[1] != Py_None && extract_bool(slots[1], "verbose");
            return to_list(checksum_file(std::move(file), verbose)).release();
        },
        nullptr);
}

}  // namespace seqtally::py
