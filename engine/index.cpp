// index: one read of an input gives what a reference needs: every record's
// .fai layout (or why it has none), digests and SAM values, the .fai and
// chrom.sizes text, and for BGZF input the .gzi; asked, a BGZF copy of the
// decoded input written in the same read, and its .gzi.
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
#include "streams/bgzf_writer.h"

namespace seqtally::engine {
namespace {

PyStructSequence_Field entry_fields[] = {
    {"name", "the header's first word"},
    {"length", "bases"},
    {"offset", ".fai: where the bases start in the decoded stream (0 without sequence)"},
    {"line_bases", ".fai: bases a line (0 without sequence)"},
    {"line_bytes", ".fai: bytes a line, its end included (0 without sequence)"},
    {"sha512t24u", "None without digests"},
    {"md5", "None without digests"},
    {"problem", "LayoutProblem when its lines cannot be addressed by .fai values, else None"},
    {"sam", "SamValues where samtools dict reads the record otherwise, else None"},
    {nullptr, nullptr},
};
PyStructSequence_Desc entry_desc = {"seqtally_tools._engine.IndexEntry", "One record as the index pass found it.",
                                    entry_fields, 9};

PyStructSequence_Field problem_fields[] = {
    {"line", "the line, from 1"},
    {"text", "why, in plain words"},
    {nullptr, nullptr},
};
PyStructSequence_Desc problem_desc = {"seqtally_tools._engine.LayoutProblem",
                                      "Why a record's lines cannot be addressed by .fai values.", problem_fields, 2};

PyStructSequence_Field sam_fields[] = {
    {"name", "SN"},
    {"length", "LN"},
    {"md5", "M5"},
    {nullptr, nullptr},
};
PyStructSequence_Desc sam_desc = {"seqtally_tools._engine.SamValues", "A record as samtools dict reads it.",
                                  sam_fields, 3};

PyStructSequence_Field indexed_fields[] = {
    {"compression", "\"plain\", \"gzip\" or \"bgzf\" (every member a BGZF block)"},
    {"entries", "IndexEntry per record, in file order"},
    {"gzi", "the .gzi of BGZF input, or of the BGZF copy when one was written, else None"},
    {"fai", "the .fai text"},
    {"sizes", "the chrom.sizes text"},
    {"gzip_member_at", "where the first gzip member that is not a BGZF block starts, else None"},
    {nullptr, nullptr},
};
PyStructSequence_Desc indexed_desc = {"seqtally_tools._engine.Indexed", "What one read of an input gives an index.",
                                      indexed_fields, 6};

NamedRecord entry_type;
NamedRecord problem_type;
NamedRecord sam_type;
NamedRecord indexed_type;

// What one read tells of an input's compression: random access needs BGZF,
// every member with its block size in the header.
const GzipMember* first_gzip_member(const std::vector<GzipMember>& members) {
    for (const GzipMember& member : members) {
        if (!member.bgzf) return &member;
    }
    return nullptr;
}

py::PyRef entry_of(const core::IndexEntry& entry, bool digests) {
    const core::LineLayout layout = entry.layout.value_or(core::LineLayout{});
    py::PyRef problem = entry.problem ? problem_type.make({number(entry.problem->line),
                                                           utf8_text(entry.problem->text)})
                                      : none();
    py::PyRef sam = none();
    if (entry.sam) {
        py::PyRef name(PyUnicode_DecodeUTF8(entry.sam->name.data(), static_cast<Py_ssize_t>(entry.sam->name.size()),
                                            "replace"));
        if (!name) throw PythonRaised{};
        sam = sam_type.make({std::move(name), number(entry.sam->length), ascii_text(core::text_of(entry.sam->md5))});
    }
    return entry_type.make({utf8_text(entry.digest.id), number(entry.digest.length), number(layout.offset),
                            number(layout.line_bases), number(layout.line_bytes),
                            digests ? ascii_text(core::text_of(entry.digest.sha512)) : none(),
                            digests ? ascii_text(core::text_of(entry.digest.md5)) : none(), std::move(problem),
                            std::move(sam)});
}

// The copy's blocks as the members a reader of it would log.
std::vector<GzipMember> members_of(const BgzfWriter& writer) {
    std::vector<GzipMember> members;
    const std::vector<BgzfBlock>& blocks = writer.blocks();
    for (std::size_t at = 0; at < blocks.size(); ++at) {
        const std::uint64_t end = at + 1 < blocks.size() ? blocks[at + 1].uncompressed_offset : writer.accepted();
        members.push_back({blocks[at].compressed_offset, blocks[at].uncompressed_offset,
                           end - blocks[at].uncompressed_offset, true});
    }
    return members;
}

}  // namespace

PyObject* index(PyObject*, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"source",   "digests", "progress", "on_record", "distinct",
                                     "folder",   "bgzip",   "level",    nullptr};
    PyObject* source = nullptr;
    int digests = 1;
    PyObject* progress = Py_None;
    PyObject* on_record = Py_None;
    int distinct = 1;
    PyObject* folder_arg = Py_None;
    PyObject* bgzip_arg = Py_None;
    int level = -1;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|pOOpOOi:index", const_cast<char**>(keywords), &source,
                                     &digests, &progress, &on_record, &distinct, &folder_arg, &bgzip_arg, &level)) {
        return nullptr;
    }
    if (level < -1 || level > 9) {
        PyErr_SetString(PyExc_ValueError, "level must be -1 (the default, 5) or 0 to 9");
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
        std::optional<BgzfWriter> copy;
        if (bgzip_arg != Py_None) {
            const Place place = place_of(bgzip_arg, "bgzip", -1);
            if (!place.named) {
                PyErr_SetString(PyExc_TypeError, "bgzip must be a path");
                throw PythonRaised{};
            }
            auto created = File::create(place.path);
            if (!created) throw write_problem(created.error(), Which::Output);
            copy.emplace(std::move(created).value(), level, BgzfWriter::every_core());
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
            &members, copy ? &*copy : nullptr);
        std::optional<std::vector<GzipMember>> copy_members;
        if (copy) {
            if (auto released = copy->release(); !released) throw write_problem(released.error(), Which::Output);
            copy_members = members_of(*copy);
        }
        const GzipMember* gzip_member = first_gzip_member(members);
        const char* compression = members.empty() ? "plain" : gzip_member != nullptr ? "gzip" : "bgzf";
        std::string fai;
        std::string sizes;
        for (const core::IndexEntry& entry : entries) {
            // A record without sequence has no .fai line, as samtools has it.
            if (entry.layout) core::append_fai_line(fai, entry.digest.id, *entry.layout);
            core::append_chrom_sizes_line(sizes, entry.digest.id, entry.digest.length);
        }
        py::PyRef gzi = copy_members                                  ? bytes_of(core::gzi_bytes(*copy_members))
                        : std::string_view(compression) == "bgzf" ? bytes_of(core::gzi_bytes(members))
                                                                  : none();
        py::PyRef list(PyList_New(static_cast<Py_ssize_t>(entries.size())));
        if (!list) throw PythonRaised{};
        for (Py_ssize_t at = 0; !entries.empty(); ++at) {
            PyList_SET_ITEM(list.get(), at, entry_of(entries.front(), digests != 0).release());
            entries.pop_front();
        }
        return indexed_type
            .make({ascii_text(compression), std::move(list), std::move(gzi), bytes_of(fai), bytes_of(sizes),
                   gzip_member != nullptr ? number(gzip_member->compressed_offset) : none()})
            .release();
    });
}

bool add_index_types(PyObject* module) {
    return entry_type.add_to(module, entry_desc) && problem_type.add_to(module, problem_desc) &&
           sam_type.add_to(module, sam_desc) && indexed_type.add_to(module, indexed_desc);
}

}  // namespace seqtally::engine
