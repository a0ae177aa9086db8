#pragma once
// What ends a call of the engine, on its way to Python as `Failure`: the
// kind of fault, which of the call's files it concerns, the message in plain
// words and where in the input it was found. frame() is where every entry
// runs its body: no C++ exception reaches CPython.
#include <cstdint>
#include <exception>
#include <new>
#include <optional>
#include <string>

#include "capi/py_ref.h"
#include "common/failure.h"
#include "common/io_error.h"
#include "core/src/lib/named_records.h"

namespace seqtally::engine {

enum class Kind : std::uint8_t {
    Format,     // the input is not what it should be (FASTA, an index's fit)
    Encoding,   // a record's name is not UTF-8
    Gzip,       // a damaged or truncated gzip stream
    Index,      // an index (.fai, .gzi) that does not fit its file
    Os,         // an error of the system: errno
    Cancelled,  // Progress.cancel()
    Interval,   // an interval that cannot be read (an unknown contig, past its end)
    Internal,   // a fault of this code or of a library it calls, not of the input
};

// What exactly went wrong, for programs: Failure.fault. None for an error of
// the system (kind Os, with its errno).
enum class Fault : std::uint8_t {
    None,
    NotFasta,       // a line before the first record that is not a header
    Unsupported,    // bzip2, xz or zstd input
    NotUtf8,        // a name that is not UTF-8
    Unnamed,        // a record without a name where one is needed
    Duplicate,      // a name given twice where names must be distinct
    Truncated,      // the input ends inside a gzip member
    BadHeader,      // a gzip member's header
    BadData,        // compressed data that does not inflate
    TrailingData,   // bytes after the last gzip member that start no other
    Checksum,       // a gzip member's or BGZF block's CRC-32 or length
    IndexStale,     // the file ends before the bases its index places there
    IndexMalformed, // an index whose bytes are not an index
    IndexMismatch,  // an index that does not fit its file
    IndexMissing,   // a BGZF file read at random without its .gzi
    Cancelled,
    NotBed,         // a line of a BED file that is not BED
    UnknownContig,  // an interval on a contig the file does not hold
    PastEnd,        // an interval that ends after its contig
    StartAfterEnd,  // an interval whose start is after its end
};

// Which of a call's files a failure concerns.
enum class Which : std::uint8_t { Input, Output, Sizes, Bed, Index };

struct Problem {
    Problem(Kind kind_, Which which_, std::string message_, Fault fault_ = Fault::None)
        : kind(kind_), which(which_), message(std::move(message_)), fault(fault_) {}

    Kind kind;
    Which which;
    std::string message;
    Fault fault;
    int error_number = 0;
    std::optional<std::uint64_t> line;
    std::optional<std::uint64_t> byte;
    std::optional<std::uint64_t> record;
    std::optional<std::uint64_t> first;  // the earlier record of a name given twice
};

// A Python exception is set already (a callback raised, or a signal
// handler did): the frame hands it on.
struct PythonRaised {};

Problem os_problem(int code, Which which);
// Reading the input, by a reader or a source.
Problem read_problem(const IoError& error);
Problem write_problem(const IoError& error, Which which);
Problem record_problem(const core::RecordError& error);
// Reading bases at random: the file's fault or its index's.
Problem access_problem(const IoError& error);

// The exception type, made by the module's init.
PyObject* make_failure_type();
void raise_problem(const Problem& problem) noexcept;
// Failure of kind "internal" with the message.
void raise_internal(const char* message) noexcept;

template <class Body>
PyObject* frame(Body&& body) noexcept {
    try {
        return body();
    } catch (const Problem& problem) {
        raise_problem(problem);
    } catch (const PythonRaised&) {
        // Already set.
    } catch (const AllocationFailure&) {
        PyErr_NoMemory();
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& unexpected) {
        // InternalFailure among them: the setup of a digest, an inflater or
        // a deflater, the MD5 thread.
        raise_internal(unexpected.what());
    } catch (...) {
        raise_internal("unknown native failure");
    }
    return nullptr;
}

}  // namespace seqtally::engine
