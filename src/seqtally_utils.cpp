// write_seqtally_to_file(...): binding of the eight arguments.
#include <array>

#include "core/src/lib/seqtally.h"
#include "src/arguments.h"
#include "src/call_frame.h"
#include "src/functions.h"

namespace seqtally::py {
namespace {

constexpr const char* kParameters[] = {"input",           "output",           "compression_level",
                                       "window_size",     "omit_tail",        "chrom_sizes_path",
                                       "write_chrom_sizes", "verbose"};
constexpr FunctionDescription kWriteSeqtally{"write_seqtally_to_file", kParameters, 8};

}  // namespace

PyObject* write_seqtally_to_file_fastcall(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call_frame(
        [&]() -> PyObject* {
            std::array<PyObject*, 8> slots{};
            extract_arguments_fastcall(kWriteSeqtally, args, nargs, kwnames, slots);
            // Converted in parameter order: the first bad argument is the one reported.
            std::string input = extract_text(slots[0], "input");
            std::string output = extract_text(slots[1], "output");
            const std::uint32_t compression_level = extract_u32(slots[2], "compression_level");
            const std::int32_t window_size = extract_i32(slots[3], "window_size");
            const bool omit_tail = extract_bool(slots[4], "omit_tail");
            std::string chrom_sizes_path = extract_text(slots[5], "chrom_sizes_path");
            const bool write_chrom_sizes = extract_bool(slots[6], "write_chrom_sizes");
            const bool verbose = extract_bool(slots[7], "verbose");
            core::write_gc_to_file(std::move(input), std::move(output), compression_level, window_size, omit_tail,
                                   std::move(chrom_sizes_path), write_chrom_sizes, verbose);
            Py_RETURN_NONE;
        },
        nullptr);
}

}  // namespace seqtally::py
