// index: one read of an input gives what a reference needs: every record's
// .fai layout (or why it has none), digests and SAM values, the .fai and
// chrom.sizes text, and for BGZF input the .gzi.
#include "engine/index.h"

#include <deque>
#include <optional>
#include <string>
#include <vector>

#include "core/src/lib/fasta_index.h"
#include "core/src/lib/sequence_folder.h"
#include "core/src/lib/track_writer.h"
#include "engine/results.h"
#include "engine/unlocked.h"

namespace seqtally::engine {
namespace {

// What one read tells of an input's compression: random access needs BGZF,
// every member with its block size in the header.
const char* compression_name(const std::vector<GzipMember>& members) {
    if (members.empty()) return "plain";
    for (const GzipMember& member : members) {
        if (!member.bgzf) return "gzip";
    }
    return "bgzf";
}

py::PyRef entry_of(const core::IndexEntry& entry, bool digests) {
    const core::LineLayout layout = entry.layout.value_or(core::LineLayout{});
    py::PyRef problem = entry.problem ? tuple_of({number(entry.problem->line), utf8_text(entry.problem->text)})
                                      : none();
    py::PyRef sam = none();
    if (entry.sam) {
        py::PyRef name(PyUnicode_DecodeUTF8(entry.sam->name.data(), static_cast<Py_ssize_t>(entry.sam->name.size()),
                                            "replace"));
        if (!name) throw PythonRaised{};
        sam = tuple_of({std::move(name), number(entry.sam->length), ascii_text(core::text_of(entry.sam->md5))});
    }
    return tuple_of({utf8_text(entry.digest.id), number(entry.digest.length), number(layout.offset),
                     number(layout.line_bases), number(layout.line_bytes),
                     digests ? ascii_text(core::text_of(entry.digest.sha512)) : none(),
                     digests ? ascii_text(core::text_of(entry.digest.md5)) : none(), std::move(problem),
                     std::move(sam)});
}

}  // namespace

PyObject* index(PyObject*, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"source", "digests", "progress", "on_record", "distinct", "folder", nullptr};
    PyObject* source = nullptr;
    int digests = 1;
    PyObject* progress = Py_None;
    PyObject* on_record = Py_None;
    int distinct = 1;
    PyObject* folder_arg = Py_None;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|pOOpO:index", const_cast<char**>(keywords), &source, &digests,
                                     &progress, &on_record, &distinct, &folder_arg)) {
        return nullptr;
    }
    return frame([&]() -> PyObject* {
        std::optional<core::SequenceFolder> folder;
        if (folder_arg != Py_None) {
            const Place place = place_of(folder_arg, "folder", -1);
            if (!place.named) {
                PyErr_SetString(PyExc_TypeError, "folder must be a path");
                throw PythonRaised{};
            }
            folder.emplace(place.path);
        }
        Reading reading(source, progress, on_record);
        std::vector<GzipMember> members;
        std::deque<core::IndexEntry> entries = reading.run(
            {.present = true, .distinct = distinct != 0},
            [&](core::NamedRecords& records, Unlocked& unlocked) -> Result<std::deque<core::IndexEntry>,
                                                                          core::RecordError> {
                auto indexed = core::index_records(records, digests != 0, unlocked, folder ? &*folder : nullptr);
                if (indexed) return std::move(indexed).value();
                if (indexed.error().record) return Err{*std::move(indexed).error().record};
                throw write_problem(indexed.error().folder, Which::Output);
            },
            &members);
        const char* compression = compression_name(members);
        std::string fai;
        std::string sizes;
        for (const core::IndexEntry& entry : entries) {
            // A record without sequence has no .fai line, as samtools has it.
            if (entry.layout) core::append_fai_line(fai, entry.digest.id, *entry.layout);
            core::append_chrom_sizes_line(sizes, entry.digest.id, entry.digest.length);
        }
        py::PyRef gzi = std::string_view(compression) == "bgzf" ? bytes_of(core::gzi_bytes(members)) : none();
        py::PyRef list(PyList_New(static_cast<Py_ssize_t>(entries.size())));
        if (!list) throw PythonRaised{};
        for (Py_ssize_t at = 0; !entries.empty(); ++at) {
            PyList_SET_ITEM(list.get(), at, entry_of(entries.front(), digests != 0).release());
            entries.pop_front();
        }
        return tuple_of({ascii_text(compression), std::move(list), std::move(gzi), bytes_of(fai), bytes_of(sizes)})
            .release();
    });
}

}  // namespace seqtally::engine
