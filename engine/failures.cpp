#include "engine/failures.h"

namespace seqtally::engine {
namespace {

PyObject* failure_type = nullptr;

const char* kind_text(Kind kind) noexcept {
    switch (kind) {
        case Kind::Format: return "format";
        case Kind::Encoding: return "encoding";
        case Kind::Gzip: return "gzip";
        case Kind::Index: return "index";
        case Kind::Os: return "os";
        case Kind::Cancelled: return "cancelled";
        case Kind::Interval: return "interval";
        case Kind::Internal: return "internal";
    }
    return "os";
}

const char* which_text(Which which) noexcept {
    switch (which) {
        case Which::Input: return "input";
        case Which::Output: return "output";
        case Which::Sizes: return "sizes";
        case Which::Bed: return "bed";
        case Which::Index: return "index";
    }
    return "input";
}

const char* fault_text(Fault fault) noexcept {
    switch (fault) {
        case Fault::None: return nullptr;
        case Fault::NotFasta: return "not-fasta";
        case Fault::Unsupported: return "unsupported";
        case Fault::NotUtf8: return "not-utf8";
        case Fault::Unnamed: return "unnamed";
        case Fault::Duplicate: return "duplicate";
        case Fault::Truncated: return "truncated";
        case Fault::BadHeader: return "bad-header";
        case Fault::BadData: return "bad-data";
        case Fault::TrailingData: return "trailing-data";
        case Fault::Checksum: return "checksum";
        case Fault::IndexStale: return "index-stale";
        case Fault::IndexMalformed: return "index-malformed";
        case Fault::IndexMismatch: return "index-mismatch";
        case Fault::IndexMissing: return "index-missing";
        case Fault::Cancelled: return "cancelled";
        case Fault::NotBed: return "not-bed";
        case Fault::UnknownContig: return "unknown-contig";
        case Fault::PastEnd: return "past-end";
        case Fault::StartAfterEnd: return "start-after-end";
    }
    return nullptr;
}

// The gzip reader's errors, in words for a person.
Problem gzip_problem(const IoError& error) {
    const auto problem = [](const char* words, Fault fault) { return Problem(Kind::Gzip, Which::Input, words, fault); };
    // A stream cut inside its compressed data is truncated too, but its
    // inflater says only that the data is damaged.
    if (error.kind() == ErrorKind::UnexpectedEof) {
        return problem("truncated gzip stream: the file ends inside a member (or a few bytes follow the last member)",
                       Fault::Truncated);
    }
    switch (error.gzip_fault().value_or(GzipFault::BadData)) {
        case GzipFault::ChecksumMismatch:
            return problem("damaged gzip stream: a member's CRC-32 or length does not match its data",
                           Fault::Checksum);
        case GzipFault::BadHeader: return problem("damaged gzip stream: invalid member header", Fault::BadHeader);
        case GzipFault::TrailingGarbage:
            return problem("damaged gzip stream: data after the last member that is not a gzip member",
                           Fault::TrailingData);
        case GzipFault::HeaderFieldTooLong:
            return problem("damaged gzip stream: a member's name or comment is over 65,535 bytes", Fault::BadHeader);
        case GzipFault::Truncated:
        case GzipFault::BadData: break;
    }
    return problem("damaged gzip stream: invalid compressed data", Fault::BadData);
}

// The byte a line starts with, as a person reads it.
std::string shown_byte(std::uint8_t byte) {
    if (byte >= 0x21 && byte < 0x7F) return std::string("'") + static_cast<char>(byte) + "'";
    static constexpr char kHex[] = "0123456789abcdef";
    return std::string("byte 0x") + kHex[byte >> 4] + kHex[byte & 15];
}

// Sets `name` to a new reference; false with a Python error set.
bool set_field(PyObject* object, const char* name, py::PyRef value) {
    return value && PyObject_SetAttrString(object, name, value.get()) == 0;
}

py::PyRef number_or_none(std::optional<std::uint64_t> value) {
    return py::PyRef(value ? PyLong_FromUnsignedLongLong(*value) : Py_NewRef(Py_None));
}

}  // namespace

Problem os_problem(int code, Which which) {
    Problem problem(Kind::Os, which, os_error_message(code));
    problem.error_number = code;
    return problem;
}

Problem read_problem(const IoError& error) {
    if (const int code = error.raw_os_error()) return os_problem(code, Which::Input);
    if (error.kind() == ErrorKind::Unsupported) {
        Problem problem(Kind::Format, Which::Input, error.display(), Fault::Unsupported);
        problem.line = 1;
        return problem;
    }
    return gzip_problem(error);
}

Problem write_problem(const IoError& error, Which which) {
    if (const int code = error.raw_os_error()) return os_problem(code, which);
    return Problem(Kind::Os, which, error.display());
}

Problem record_problem(const core::RecordError& error) {
    using core::RecordError;
    const std::string number = std::to_string(error.record);
    switch (error.kind) {
        case RecordError::Kind::Read: {
            if (error.read.kind == fasta::Error::Kind::Io) return read_problem(error.read.io_error);
            Problem problem(Kind::Format, Which::Input,
                            "line " + std::to_string(error.read.line) + " starts with " + shown_byte(error.read.found) +
                                ", not '>'",
                            Fault::NotFasta);
            problem.line = error.read.line;
            problem.byte = error.read.found;
            return problem;
        }
        case RecordError::Kind::NotUtf8: {
            Problem problem(Kind::Encoding, Which::Input, "the name of record " + number + " is not UTF-8",
                            Fault::NotUtf8);
            problem.line = error.line;
            problem.record = error.record;
            return problem;
        }
        case RecordError::Kind::Unnamed: {
            Problem problem(Kind::Format, Which::Input, "record " + number + " has no name", Fault::Unnamed);
            problem.line = error.line;
            problem.record = error.record;
            return problem;
        }
        case RecordError::Kind::Duplicate: break;
    }
    Problem problem(Kind::Format, Which::Input,
                    "records " + std::to_string(error.first) + " and " + number + " are both named '" + error.name + "'",
                    Fault::Duplicate);
    problem.line = error.line;
    problem.record = error.record;
    problem.first = error.first;
    return problem;
}

// A file shorter than its index says, or an index that does not fit it, is
// the index's fault (made for another version of the file); a damaged BGZF
// block is the file's.
Problem access_problem(const IoError& error) {
    if (const int code = error.raw_os_error()) return os_problem(code, Which::Input);
    const AccessFault otherwise =
        error.kind() == ErrorKind::UnexpectedEof ? AccessFault::FileTooShort : AccessFault::BlockDamaged;
    switch (error.access_fault().value_or(otherwise)) {
        case AccessFault::FileTooShort:
            return Problem(Kind::Index, Which::Input,
                           "the file ends before the bases its index places there: is the index older than the file?",
                           Fault::IndexStale);
        case AccessFault::IndexMalformed:
            return Problem(Kind::Index, Which::Input, error.display(), Fault::IndexMalformed);
        case AccessFault::IndexMismatch: return Problem(Kind::Index, Which::Input, error.display(), Fault::IndexMismatch);
        case AccessFault::BlockChecksum: return Problem(Kind::Gzip, Which::Input, error.display(), Fault::Checksum);
        case AccessFault::BlockDamaged: break;
    }
    return Problem(Kind::Gzip, Which::Input, error.display(), Fault::BadData);
}

PyObject* make_failure_type() {
    if (failure_type == nullptr) {
        failure_type = PyErr_NewExceptionWithDoc("seqtally_tools._engine.Failure",
                                                 "A failed call of the engine: kind, fault, which, message, errno, "
                                                 "line, byte, record and first tell what and where.",
                                                 PyExc_Exception, nullptr);
    }
    return failure_type;
}

void raise_problem(const Problem& problem) noexcept {
    py::PyRef message(PyUnicode_DecodeUTF8(problem.message.data(), static_cast<Py_ssize_t>(problem.message.size()),
                                           "replace"));
    if (!message) return;
    py::PyRef error(PyObject_CallOneArg(failure_type, message.get()));
    if (!error) return;
    PyObject* const object = error.get();
    const bool set =
        set_field(object, "kind", py::PyRef(PyUnicode_FromString(kind_text(problem.kind)))) &&
        set_field(object, "which", py::PyRef(PyUnicode_FromString(which_text(problem.which)))) &&
        set_field(object, "message", py::PyRef(Py_NewRef(message.get()))) &&
        set_field(object, "fault",
                  py::PyRef(problem.fault != Fault::None ? PyUnicode_FromString(fault_text(problem.fault))
                                                         : Py_NewRef(Py_None))) &&
        set_field(object, "errno",
                  py::PyRef(problem.error_number != 0 ? PyLong_FromLong(problem.error_number) : Py_NewRef(Py_None))) &&
        set_field(object, "line", number_or_none(problem.line)) &&
        set_field(object, "byte", number_or_none(problem.byte)) &&
        set_field(object, "record", number_or_none(problem.record)) &&
        set_field(object, "first", number_or_none(problem.first));
    if (set) PyErr_SetObject(failure_type, object);
}

void raise_internal(const char* message) noexcept {
    try {
        raise_problem(Problem(Kind::Internal, Which::Input, message));
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    }
}

}  // namespace seqtally::engine
