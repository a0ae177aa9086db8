// seqtally_tools._engine: the core bound for the library. Unlike the
// seqtally module, a call releases the interpreter lock while it works,
// reads any descriptor and gzip by content, and reports failures as a
// structured exception; it never writes to descriptor 2. The contract is
// python/seqtally_tools/_engine.pyi.
#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <deque>
#include <exception>
#include <functional>
#include <mutex>
#include <new>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "common/failure.h"
#include "core/src/lib/checksum.h"
#include "core/src/lib/composition.h"
#include "core/src/lib/fasta_index.h"
#include "core/src/lib/interval_output.h"
#include "core/src/lib/window_counts.h"
#include "core/src/lib/window_pass.h"
#include "core/src/lib/window_values.h"
#include "fasta/input.h"
#include "fasta/random_access.h"
#include "fasta/reader.h"
#include "src/py_ref.h"
#include "streams/gzip_member_writer.h"
#include "streams/output_stream.h"

namespace seqtally::engine {
namespace {

using py::PyRef;

PyObject* failure_type = nullptr;   // Failure
PyObject* progress_type = nullptr;  // Progress
PyObject* random_access_type = nullptr;  // RandomAccess
unsigned long main_thread_ident = 0;

// ------------------------------------------------------------ failures

// What ends a call, on its way to the frame.
struct Problem {
    Problem(const char* kind_, const char* which_, std::string message_, int error_number_ = 0)
        : kind(kind_), which(which_), message(std::move(message_)), error_number(error_number_) {}

    const char* kind;   // "format", "encoding", "gzip", "os", "cancelled"
    const char* which;  // "input", "output", "sizes"
    std::string message;
    int error_number = 0;
    std::optional<std::uint64_t> line;
    std::optional<std::uint64_t> byte;
    std::optional<std::uint64_t> record;
};

// A Python exception is already set (a callback raised, or a signal
// handler did): the frame hands it on.
struct PythonRaised {};

Problem os_problem(int code, const char* which) { return Problem{"os", which, os_error_message(code), code}; }

// The gzip reader's errors, in words for a person.
std::string gzip_words(const IoError& error) {
    if (error.kind() == ErrorKind::UnexpectedEof) {
        return "truncated gzip stream: the file ends inside a member (or a few bytes follow the last member)";
    }
    const std::string said = error.display();
    if (said == "corrupt gzip stream does not have a matching checksum") {
        return "damaged gzip stream: a member's CRC-32 or length does not match its data";
    }
    if (said == "corrupt deflate stream") return "damaged gzip stream: invalid compressed data";
    if (said == "invalid gzip header") return "damaged gzip stream: invalid member header (or data after the last member)";
    return "damaged gzip stream: " + said;
}

Problem read_problem(const IoError& error) {
    if (const int code = error.raw_os_error()) return os_problem(code, "input");
    if (error.kind() == ErrorKind::Unsupported) {
        Problem problem("format", "input", error.display());
        problem.line = 1;
        return problem;
    }
    return Problem{"gzip", "input", gzip_words(error)};
}

// RandomAccess's errors: a file shorter than its index says, or an index
// that does not fit it, is the index's fault (made for another version of
// the file); a damaged BGZF block is the file's.
Problem access_problem(const IoError& error) {
    if (const int code = error.raw_os_error()) return os_problem(code, "input");
    if (error.kind() == ErrorKind::UnexpectedEof) {
        return Problem{"format", "input",
                       "the file ends before the bases its index places there: is the index older than the file?"};
    }
    if (error.kind() == ErrorKind::InvalidInput) return Problem{"format", "input", error.display()};
    return Problem{"gzip", "input", error.display()};
}

Problem write_problem(const IoError& error, const char* which) {
    if (const int code = error.raw_os_error()) return os_problem(code, which);
    return Problem{"os", which, error.display()};
}

Problem reader_problem(const fasta::Error& error) {
    if (error.kind == fasta::Error::Kind::Io) return read_problem(error.io_error);
    std::string shown;
    if (error.found >= 0x21 && error.found < 0x7F) {
        shown = std::string("'") + static_cast<char>(error.found) + "'";
    } else {
        static constexpr char kHex[] = "0123456789abcdef";
        shown = std::string("byte 0x") + kHex[error.found >> 4] + kHex[error.found & 15];
    }
    Problem problem("format", "input", "line " + std::to_string(error.line) + " starts with " + shown + ", not '>'");
    problem.line = error.line;
    problem.byte = error.found;
    return problem;
}

Problem encoding_problem(std::uint64_t record, std::uint64_t line) {
    Problem problem("encoding", "input", "the name of record " + std::to_string(record) + " is not UTF-8");
    problem.line = line;
    problem.record = record;
    return problem;
}

bool set_attribute(PyObject* object, const char* name, PyObject* value) {
    if (value == nullptr) return false;
    const int status = PyObject_SetAttrString(object, name, value);
    Py_DecRef(value);
    return status == 0;
}

PyObject* number_or_none(std::optional<std::uint64_t> value) {
    if (value) return PyLong_FromUnsignedLongLong(*value);
    return Py_NewRef(Py_None);
}

void raise_problem(const Problem& problem) {
    PyRef message(PyUnicode_DecodeUTF8(problem.message.data(), static_cast<Py_ssize_t>(problem.message.size()),
                                       "replace"));
    if (!message) return;
    PyRef error(PyObject_CallOneArg(failure_type, message.get()));
    if (!error) return;
    const bool set = set_attribute(error.get(), "kind", PyUnicode_FromString(problem.kind)) &&
                     set_attribute(error.get(), "which", PyUnicode_FromString(problem.which)) &&
                     set_attribute(error.get(), "message", Py_NewRef(message.get())) &&
                     set_attribute(error.get(), "errno",
                                   problem.error_number != 0 ? PyLong_FromLong(problem.error_number)
                                                             : Py_NewRef(Py_None)) &&
                     set_attribute(error.get(), "line", number_or_none(problem.line)) &&
                     set_attribute(error.get(), "byte", number_or_none(problem.byte)) &&
                     set_attribute(error.get(), "record", number_or_none(problem.record));
    if (set) PyErr_SetObject(failure_type, error.get());
}

// Every entry runs its body here: no C++ exception reaches CPython.
template <class Body>
PyObject* frame(Body&& body) noexcept {
    try {
        return body();
    } catch (const Problem& problem) {
        raise_problem(problem);
    } catch (const PythonRaised&) {
        // Already set.
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& unexpected) {
        PyErr_Format(PyExc_RuntimeError, "seqtally engine: %s", unexpected.what());
    } catch (...) {
        PyErr_SetString(PyExc_RuntimeError, "seqtally engine: unknown native failure");
    }
    return nullptr;
}

// ------------------------------------------------------------ Progress

struct ProgressObject {
    PyObject_HEAD
    std::atomic<std::uint64_t> bytes_read;
    std::atomic<bool> cancelled;
};

PyObject* progress_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {nullptr};
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, ":Progress", const_cast<char**>(keywords))) return nullptr;
    PyObject* self = type->tp_alloc(type, 0);
    if (self == nullptr) return nullptr;
    auto* progress = reinterpret_cast<ProgressObject*>(self);
    new (&progress->bytes_read) std::atomic<std::uint64_t>(0);
    new (&progress->cancelled) std::atomic<bool>(false);
    return self;
}

void progress_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    type->tp_free(self);
    Py_DecRef(reinterpret_cast<PyObject*>(type));
}

PyObject* progress_bytes_read(PyObject* self, void*) {
    return PyLong_FromUnsignedLongLong(reinterpret_cast<ProgressObject*>(self)->bytes_read.load());
}

PyObject* progress_cancelled(PyObject* self, void*) {
    return PyBool_FromLong(reinterpret_cast<ProgressObject*>(self)->cancelled.load());
}

PyObject* progress_cancel(PyObject* self, PyObject*) {
    reinterpret_cast<ProgressObject*>(self)->cancelled.store(true);
    Py_RETURN_NONE;
}

PyGetSetDef progress_getset[] = {
    {"bytes_read", progress_bytes_read, nullptr, "Bytes of input read so far, as stored.", nullptr},
    {"cancelled", progress_cancelled, nullptr, "Whether cancel() was called.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef progress_methods[] = {
    {"cancel", progress_cancel, METH_NOARGS, "Calls using this object end soon with Failure(kind='cancelled')."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot progress_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(progress_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(progress_dealloc)},
    {Py_tp_getset, progress_getset},
    {Py_tp_methods, progress_methods},
    {Py_tp_doc, const_cast<char*>("Bytes read by the calls given it, and a way to cancel them.")},
    {0, nullptr},
};

PyType_Spec progress_spec = {"seqtally_tools._engine.Progress", sizeof(ProgressObject), 0, Py_TPFLAGS_DEFAULT,
                             progress_slots};

ProgressObject* progress_of(PyObject* object) {
    if (object == nullptr || object == Py_None) return nullptr;
    if (!PyObject_TypeCheck(object, reinterpret_cast<PyTypeObject*>(progress_type))) {
        PyErr_SetString(PyExc_TypeError, "progress must be a Progress or None");
        throw PythonRaised{};
    }
    return reinterpret_cast<ProgressObject*>(object);
}

PyObject* callback_of(PyObject* object) {
    if (object == nullptr || object == Py_None) return nullptr;
    if (!PyCallable_Check(object)) {
        PyErr_SetString(PyExc_TypeError, "on_record must be callable or None");
        throw PythonRaised{};
    }
    return object;
}

// ------------------------------------------------------------ files

// A path as the file system takes it, or a descriptor of the caller's.
struct Place {
    bool named = false;  // by path, not by descriptor
    std::string path;
    int fd = -1;
};

Place place_of(PyObject* object, const char* what, bool dash_is, int dash_fd) {
    Place place;
    if (PyLong_Check(object)) {
        const long fd = PyLong_AsLong(object);
        if (fd == -1 && PyErr_Occurred()) throw PythonRaised{};
        if (fd > INT32_MAX) {
            PyErr_Format(PyExc_OverflowError, "%s: no such file descriptor", what);
            throw PythonRaised{};
        }
        place.fd = static_cast<int>(fd);
        if (place.fd < 0) {
            PyErr_Format(PyExc_ValueError, "%s: a file descriptor cannot be negative", what);
            throw PythonRaised{};
        }
        return place;
    }
    if (PyUnicode_Check(object) || PyBytes_Check(object) || PyObject_HasAttrString(object, "__fspath__")) {
        PyRef fspath(PyOS_FSPath(object));
        if (!fspath) throw PythonRaised{};
        if (dash_is && PyUnicode_Check(fspath.get()) && PyUnicode_CompareWithASCIIString(fspath.get(), "-") == 0) {
            place.fd = dash_fd;
            return place;
        }
        PyRef encoded(PyUnicode_Check(fspath.get()) ? PyUnicode_EncodeFSDefault(fspath.get())
                                                     : Py_NewRef(fspath.get()));
        if (!encoded) throw PythonRaised{};
        char* data = nullptr;
        Py_ssize_t size = 0;
        if (PyBytes_AsStringAndSize(encoded.get(), &data, &size) < 0) throw PythonRaised{};
        place.named = true;
        place.path.assign(data, static_cast<std::size_t>(size));
        if (place.path.find('\0') != std::string::npos) {
            PyErr_Format(PyExc_ValueError, "%s: embedded null byte", what);
            throw PythonRaised{};
        }
        if (dash_is && place.path == "-") {
            place.named = false;
            place.fd = dash_fd;
        }
        return place;
    }
    if (PyObject_HasAttrString(object, "fileno")) {
        PyRef number(PyObject_CallMethod(object, "fileno", nullptr));
        if (!number) throw PythonRaised{};
        return place_of(number.get(), what, false, -1);
    }
    PyErr_Format(PyExc_TypeError, "%s must be a path, a file descriptor or a file object, not %.100s", what,
                 Py_TYPE(object)->tp_name);
    throw PythonRaised{};
}

// The caller's descriptor stays theirs: we read and write a duplicate, which
// we close (and whose close we check).
File duplicate(int fd, const char* which) {
    const int copy = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
    if (copy < 0) throw os_problem(errno, which);
    return File::adopt(copy);
}

File open_input_file(const Place& place) {
    if (!place.named) return duplicate(place.fd, "input");
    auto opened = File::open_read(place.path);
    if (!opened) throw read_problem(opened.error());
    return std::move(opened).value();
}

File open_output_file(const Place& place, const char* which) {
    if (!place.named) return duplicate(place.fd, which);
    auto created = File::create(place.path);
    if (!created) throw write_problem(created.error(), which);
    return std::move(created).value();
}

// ------------------------------------------------------------ the lock

// The interpreter lock released for the life of the object; locked() takes
// it back for a moment (callbacks, signal handlers).
class Unlocked {
  public:
    Unlocked(ProgressObject* progress, PyObject* on_record)
        : progress_(progress),
          on_record_(on_record),
          on_main_thread_(PyThread_get_thread_ident() == main_thread_ident),
          state_(PyEval_SaveThread()) {}
    ~Unlocked() { PyEval_RestoreThread(state_); }
    Unlocked(const Unlocked&) = delete;
    Unlocked& operator=(const Unlocked&) = delete;

    template <class F>
    void locked(F&& f) {
        PyEval_RestoreThread(state_);
        struct Release {
            PyThreadState*& state;
            ~Release() { state = PyEval_SaveThread(); }
        } release{state_};
        f();
    }

    // Signal handlers run only in the main thread, so only there is the lock
    // taken back, and not more often than every 20 ms: Ctrl-C ends the call
    // well within 0.2 s, while threads beside it keep the lock.
    void checkpoint() {
        if (progress_ != nullptr && progress_->cancelled.load(std::memory_order_relaxed)) {
            throw Problem{"cancelled", "input", "cancelled"};
        }
        if (!on_main_thread_) return;
        const auto now = std::chrono::steady_clock::now();
        if (now - last_signal_check_ < std::chrono::milliseconds(20)) return;
        last_signal_check_ = now;
        locked([] {
            if (PyErr_CheckSignals() < 0) throw PythonRaised{};
        });
    }

    std::atomic<std::uint64_t>* bytes_read() const noexcept {
        return progress_ != nullptr ? &progress_->bytes_read : nullptr;
    }

    void record_done(std::string_view id, std::uint64_t length) {
        if (on_record_ == nullptr) return;
        locked([&] {
            PyRef name(PyUnicode_DecodeUTF8(id.data(), static_cast<Py_ssize_t>(id.size()), "strict"));
            if (!name) throw PythonRaised{};
            PyRef size(PyLong_FromUnsignedLongLong(length));
            if (!size) throw PythonRaised{};
            PyRef result(PyObject_CallFunctionObjArgs(on_record_, name.get(), size.get(), nullptr));
            if (!result) throw PythonRaised{};
        });
    }

    InputOptions input_options() {
        InputOptions options;
        options.bytes_read = bytes_read();
        options.checkpoint = [this] { checkpoint(); };
        return options;
    }

  private:
    ProgressObject* progress_;
    PyObject* on_record_;
    bool on_main_thread_;
    std::chrono::steady_clock::time_point last_signal_check_{};
    PyThreadState* state_;
};

// A sink that lets the call be interrupted while it writes: a single long
// record can take seconds between two reads of input. The checkpoint itself
// decides how often it does anything costly. What it throws is kept and the
// write fails instead: the stream may be writing from its destructor, where
// nothing may throw. The caller rethrows it with rethrow_if_stopped().
class CheckpointSink final : public Sink {
  public:
    CheckpointSink(std::unique_ptr<Sink> inner, Unlocked& unlocked) : inner_(std::move(inner)), unlocked_(unlocked) {}
    Result<std::size_t, IoError> write(std::span<const std::uint8_t> bytes) override {
        if (!stopped_) {
            try {
                unlocked_.checkpoint();
            } catch (...) {
                stopped_ = std::current_exception();
            }
        }
        if (stopped_) return Err{IoError::of_kind(ErrorKind::Interrupted)};
        return inner_->write(bytes);
    }
    Status<IoError> flush() override { return inner_->flush(); }
    Status<IoError> release() override { return inner_->release(); }
    void rethrow_if_stopped() const {
        if (stopped_) std::rethrow_exception(stopped_);
    }

  private:
    std::unique_ptr<Sink> inner_;
    Unlocked& unlocked_;
    std::exception_ptr stopped_;
};

// How a record is named. The module's rule: the header up to its first
// space. The library's: the header's first word, as samtools faidx, Picard
// and the sequence collection tools read it; formats that name records
// (tracks, chrom.sizes) cannot take a record without one.
enum class NameRule { Module, Word };

NameRule name_rule_of(const char* text) {
    const std::string_view rule(text);
    if (rule == "module") return NameRule::Module;
    if (rule == "word") return NameRule::Word;
    PyErr_SetString(PyExc_ValueError, "names must be 'module' or 'word'");
    throw PythonRaised{};
}

// The records of an input, with the number of each and its failures as problems.
class Records {
  public:
    // `members`, when given, receives the members of gzip input (complete
    // once the Records are gone).
    Records(File file, Unlocked& unlocked, NameRule rule, bool need_names,
            std::vector<GzipMember>* members = nullptr)
        : reader_(open_input(std::move(file), input_options(unlocked, members))), rule_(rule), need_names_(need_names) {}

    std::uint64_t header_offset() const noexcept { return reader_.header_offset(); }
    std::uint64_t header_line() const noexcept { return reader_.header_line(); }

    // The next record and its name, or none at the end.
    std::optional<std::pair<fasta::RecordView, std::string_view>> next() {
        auto next = reader_.next_record();
        if (!next) throw reader_problem(next.error());
        if (!next.value()) return std::nullopt;
        ++number_;
        const fasta::RecordView record = *next.value();
        auto name = rule_ == NameRule::Module ? record.identifier() : record.first_word();
        if (!name) throw encoding_problem(number_, reader_.header_line());
        if (need_names_ && rule_ == NameRule::Word && name.value().empty()) {
            Problem problem("format", "input", "record " + std::to_string(number_) + " has no name");
            problem.line = reader_.header_line();
            problem.record = number_;
            throw problem;
        }
        return std::pair{record, name.value()};
    }

  private:
    static InputOptions input_options(Unlocked& unlocked, std::vector<GzipMember>* members) {
        InputOptions options = unlocked.input_options();
        options.members = members;
        return options;
    }

    fasta::Reader reader_;
    NameRule rule_;
    bool need_names_;
    std::uint64_t number_ = 0;
};

PyObject* ascii_text(std::string_view text) {
    return PyUnicode_DecodeASCII(text.data(), static_cast<Py_ssize_t>(text.size()), "strict");
}

// ------------------------------------------------------------ checksum

PyObject* checksum(PyObject*, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"source", "record_type", "progress", "on_record", "names", nullptr};
    PyObject* source = nullptr;
    PyObject* record_type = nullptr;
    PyObject* progress_arg = Py_None;
    PyObject* on_record_arg = Py_None;
    const char* names = "module";
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO!|OOs:checksum", const_cast<char**>(keywords), &source,
                                     &PyType_Type, &record_type, &progress_arg, &on_record_arg, &names)) {
        return nullptr;
    }
    return frame([&]() -> PyObject* {
        auto* type = reinterpret_cast<PyTypeObject*>(record_type);
        // Records are made as tuple.__new__ makes them, without a call to
        // the type: a million records cost a million Python-level calls
        // otherwise. That needs a tuple subtype with nothing of its own.
        if (!PyType_IsSubtype(type, &PyTuple_Type) || type->tp_basicsize != PyTuple_Type.tp_basicsize ||
            type->tp_dictoffset != 0) {
            PyErr_SetString(PyExc_TypeError, "record_type must be a tuple subtype without fields of its own");
            throw PythonRaised{};
        }
        ProgressObject* progress = progress_of(progress_arg);
        PyObject* on_record = callback_of(on_record_arg);
        const NameRule rule = name_rule_of(names);
        const Place place = place_of(source, "source", true, 0);
        std::deque<core::SequenceDigest> digests;
        {
            Unlocked unlocked(progress, on_record);
            Records records(open_input_file(place), unlocked, rule, false);
            core::TwoCoreDigester digester;
            const std::function<void()> checkpoint = [&] { unlocked.checkpoint(); };
            while (auto next = records.next()) {
                core::SequenceDigest digest = digester.process_named(next->first, next->second, checkpoint);
                unlocked.record_done(digest.id, digest.length);
                digests.push_back(std::move(digest));
            }
        }
        PyRef list(PyList_New(static_cast<Py_ssize_t>(digests.size())));
        if (!list) throw PythonRaised{};
        Py_ssize_t index = 0;
        while (!digests.empty()) {
            const core::SequenceDigest& digest = digests.front();
            PyObject* items[4] = {
                PyUnicode_DecodeUTF8(digest.id.data(), static_cast<Py_ssize_t>(digest.id.size()), "strict"),
                PyLong_FromUnsignedLongLong(digest.length), ascii_text(core::text_of(digest.sha512)),
                ascii_text(core::text_of(digest.md5))};
            PyObject* record = nullptr;
            if (items[0] && items[1] && items[2] && items[3]) record = type->tp_alloc(type, 4);
            if (record == nullptr) {
                for (PyObject* item : items) Py_XDECREF(item);
                throw PythonRaised{};
            }
            for (Py_ssize_t i = 0; i < 4; ++i) PyTuple_SET_ITEM(record, i, items[i]);
            PyList_SET_ITEM(list.get(), index++, record);
            digests.pop_front();
        }
        return list.release();
    });
}

// ------------------------------------------------------------ G/C windows

std::uint64_t window_of(long long window) {
    if (window < 1) {
        PyErr_SetString(PyExc_ValueError, "window must be 1 or more");
        throw PythonRaised{};
    }
    return static_cast<std::uint64_t>(window);
}

// The count a track is made by: none for the module's (uppercase G and C
// over every base), else the rule of "acgt" or "skew". min_acgt is taken to
// the nearest millionth, so that the threshold is compared in integers.
std::optional<core::CountRule> count_of(const char* text, double min_acgt) {
    if (!(min_acgt >= 0.0 && min_acgt <= 1.0)) {
        PyErr_SetString(PyExc_ValueError, "min_acgt must be from 0 to 1");
        throw PythonRaised{};
    }
    const std::string_view count(text);
    const auto millionths = static_cast<std::uint32_t>(std::llround(min_acgt * 1e6));
    if (count == "upper") return std::nullopt;
    if (count == "acgt") return core::CountRule{core::CountMode::Acgt, millionths};
    if (count == "skew") return core::CountRule{core::CountMode::Skew, millionths};
    PyErr_SetString(PyExc_ValueError, "count must be 'upper', 'acgt' or 'skew'");
    throw PythonRaised{};
}

PyObject* gc_values(PyObject*, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"source", "window", "omit_tail", "progress", "on_record",
                                     "names",  "count",  "min_acgt",  nullptr};
    PyObject* source = nullptr;
    long long window_arg = 0;
    int omit_tail = 0;
    PyObject* progress_arg = Py_None;
    PyObject* on_record_arg = Py_None;
    const char* names = "module";
    const char* count = "upper";
    double min_acgt = 0.25;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OLp|OOssd:gc_values", const_cast<char**>(keywords), &source,
                                     &window_arg, &omit_tail, &progress_arg, &on_record_arg, &names, &count,
                                     &min_acgt)) {
        return nullptr;
    }
    return frame([&]() -> PyObject* {
        const std::uint64_t window = window_of(window_arg);
        const std::optional<core::CountRule> rule = count_of(count, min_acgt);
        ProgressObject* progress = progress_of(progress_arg);
        PyObject* on_record = callback_of(on_record_arg);
        const NameRule name_rule = name_rule_of(names);
        const Place place = place_of(source, "source", true, 0);
        // One byte per window for the module's count (0 to 100, never
        // missing); for the others one int16 (kNoValue where none), which
        // holds tenths of a percent and ten-thousandths of skew exactly.
        struct Values {
            std::string id;
            std::uint64_t length = 0;
            std::uint64_t lowercase = 0;
            std::vector<std::uint8_t> values{};
            std::vector<std::int16_t> counts{};
        };
        std::deque<Values> all;
        {
            Unlocked unlocked(progress, on_record);
            Records records(open_input_file(place), unlocked, name_rule, true);
            std::optional<core::WindowValues> pass;
            std::optional<core::CountPass> count_pass;
            if (rule) {
                count_pass.emplace(window, *rule);
            } else {
                pass.emplace(window);
            }
            const std::function<void()> checkpoint = [&] { unlocked.checkpoint(); };
            while (auto next = records.next()) {
                Values& values = all.emplace_back(Values{std::string(next->second)});
                if (count_pass) {
                    const core::CountPass::Totals totals =
                        count_pass->append(next->first, omit_tail != 0, values.counts, checkpoint);
                    values.length = totals.length;
                    values.lowercase = totals.lowercase;
                    values.counts.shrink_to_fit();
                } else {
                    values.length =
                        pass->append(next->first, omit_tail != 0, values.values, checkpoint, &values.lowercase);
                    values.values.shrink_to_fit();
                }
                unlocked.record_done(values.id, values.length);
            }
        }
        PyRef list(PyList_New(static_cast<Py_ssize_t>(all.size())));
        if (!list) throw PythonRaised{};
        Py_ssize_t index = 0;
        // Each record's values are freed as soon as Python holds a copy.
        while (!all.empty()) {
            const Values& values = all.front();
            const std::string_view bytes =
                rule ? std::string_view(reinterpret_cast<const char*>(values.counts.data()),
                                        values.counts.size() * sizeof(std::int16_t))
                     : std::string_view(reinterpret_cast<const char*>(values.values.data()), values.values.size());
            PyObject* item = Py_BuildValue(
                "(s#Ky#K)", values.id.data(), static_cast<Py_ssize_t>(values.id.size()),
                static_cast<unsigned long long>(values.length), bytes.empty() ? "" : bytes.data(),
                static_cast<Py_ssize_t>(bytes.size()), static_cast<unsigned long long>(values.lowercase));
            if (item == nullptr) throw PythonRaised{};
            PyList_SET_ITEM(list.get(), index++, item);
            all.pop_front();
        }
        return list.release();
    });
}

// Writes `text` to a stream that is not the track (whose writes the window
// pass checks itself).
void write_to(OutputStream& out, std::string_view text, const char* which) {
    if (auto written = out.write_all(text); !written) throw write_problem(written.error(), which);
}

// The track and its sizes, written with the interpreter lock released; the
// bases read, and how many of them are lowercase letters. `count` none: the
// module's count.
core::CountPass::Totals write_track_unlocked(const Place& input_place, const Place& output_place,
                                             const std::optional<Place>& sizes_place, bool wiggle,
                                             std::int32_t wiggle_window, std::uint64_t window, bool omit_tail,
                                             std::optional<std::uint32_t> level, bool track_line, NameRule rule,
                                             const std::optional<core::CountRule>& count, Unlocked&& unlocked) {
    // Declaration order is release order in reverse: on a failure the
    // sizes go first, then the track, then the input.
    Records records(open_input_file(input_place), unlocked, rule, true);
    File track_file = open_output_file(output_place, "output");
    std::unique_ptr<Sink> sink;
    if (level) {
        sink = std::make_unique<GzipMemberWriter>(std::move(track_file), *level);
    } else {
        sink = std::make_unique<FileSink>(std::move(track_file));
    }
    auto checkpointed = std::make_unique<CheckpointSink>(std::move(sink), unlocked);
    const CheckpointSink& track_sink = *checkpointed;
    std::optional<OutputStream> track;
    track.emplace(std::move(checkpointed));
    std::optional<OutputStream> sizes;
    if (sizes_place) sizes.emplace(std::make_unique<FileSink>(open_output_file(*sizes_place, "sizes")));
    const std::function<void()> checkpoint = [&] { unlocked.checkpoint(); };

    std::optional<core::WindowPass> wiggle_pass;
    std::optional<core::WindowValues> value_pass;
    std::optional<core::CountPass> count_pass;
    std::vector<std::uint8_t> values;
    std::vector<std::int16_t> counts;
    std::optional<core::CountLines> lines;
    core::CountPass::Totals totals;
    try {
        if (wiggle) {
            core::write_or_fail(*track, "track type=wiggle_0\n");
        } else if (track_line) {
            core::write_or_fail(*track, "track type=bedGraph\n");
        }
        if (count) {
            count_pass.emplace(window, *count);
            lines.emplace(wiggle ? core::CountLines::Form::Wiggle : core::CountLines::Form::BedGraph, window,
                          count->mode, *track);
        } else if (wiggle) {
            wiggle_pass.emplace(wiggle_window, omit_tail);
        } else {
            value_pass.emplace(window);
        }
        while (auto next = records.next()) {
            const auto& [record, id] = *next;
            std::uint64_t length = 0;
            if (count_pass) {
                // Lines are written as values come, a piece at a time.
                lines->begin(id);
                counts.clear();
                const auto record_totals = count_pass->append(
                    record, omit_tail, counts, checkpoint,
                    [&](std::span<const std::int16_t> piece) { lines->write(piece); });
                length = record_totals.length;
                totals.lowercase += record_totals.lowercase;
                lines->write(counts, length);
            } else if (wiggle) {
                length = wiggle_pass->section(id, record, *track, &totals.lowercase);
            } else {
                values.clear();
                length = value_pass->append(record, omit_tail, values, checkpoint, &totals.lowercase);
                core::write_bedgraph_section(id, length, window, values, *track);
            }
            totals.length += length;
            if (sizes) {
                std::string line(id);
                line += '\t';
                line += std::to_string(length);
                line += '\n';
                write_to(*sizes, line, "sizes");
            }
            unlocked.record_done(id, length);
        }
    } catch (const WriteFailure& failure) {
        track_sink.rethrow_if_stopped();
        throw write_problem(failure.error(), "output");
    }
    if (auto flushed = track->flush(); !flushed) {
        track_sink.rethrow_if_stopped();
        throw write_problem(flushed.error(), "output");
    }
    if (sizes) {
        auto released = sizes->release();
        sizes.reset();
        if (!released) throw write_problem(released.error(), "sizes");
    }
    auto released = track->release();
    if (!released) {
        track_sink.rethrow_if_stopped();
        track.reset();
        throw write_problem(released.error(), "output");
    }
    track.reset();
    return totals;
}

PyObject* write_track(PyObject*, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"source",     "output", "form",       "window",   "omit_tail",
                                     "gzip_level", "sizes",  "track_line", "progress", "on_record",
                                     "names",      "count",  "min_acgt",   nullptr};
    PyObject* source = nullptr;
    PyObject* output = nullptr;
    const char* form = nullptr;
    long long window_arg = 0;
    int omit_tail = 0;
    PyObject* level_arg = Py_None;
    PyObject* sizes_arg = Py_None;
    int track_line = 0;
    PyObject* progress_arg = Py_None;
    PyObject* on_record_arg = Py_None;
    const char* names = "module";
    const char* count = "upper";
    double min_acgt = 0.25;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOsLp|OOpOOssd:write_track", const_cast<char**>(keywords),
                                     &source, &output, &form, &window_arg, &omit_tail, &level_arg, &sizes_arg,
                                     &track_line, &progress_arg, &on_record_arg, &names, &count, &min_acgt)) {
        return nullptr;
    }
    return frame([&]() -> PyObject* {
        const std::string_view shape(form);
        if (shape != "wig" && shape != "bedgraph") {
            PyErr_SetString(PyExc_ValueError, "form must be 'wig' or 'bedgraph'");
            throw PythonRaised{};
        }
        const bool wiggle = shape == "wig";
        // The wiggle track takes any window the module takes (0 or less: one
        // window per record); bedGraph intervals need a real one.
        if (window_arg < INT32_MIN || window_arg > INT32_MAX) {
            PyErr_SetString(PyExc_OverflowError, "window does not fit in 32 bits");
            throw PythonRaised{};
        }
        const std::optional<core::CountRule> rule = count_of(count, min_acgt);
        // The module's wiggle track alone takes windows below 1.
        const std::uint64_t window = wiggle && !rule ? 0 : window_of(window_arg);
        std::optional<std::uint32_t> level;
        if (level_arg != Py_None) {
            const long value = PyLong_AsLong(level_arg);
            if (value == -1 && PyErr_Occurred()) throw PythonRaised{};
            if (value < 0 || value > 9) {
                PyErr_SetString(PyExc_ValueError, "gzip_level must be from 0 to 9, or None");
                throw PythonRaised{};
            }
            level = static_cast<std::uint32_t>(value);
        }
        ProgressObject* progress = progress_of(progress_arg);
        PyObject* on_record = callback_of(on_record_arg);
        const NameRule name_rule = name_rule_of(names);
        const Place input_place = place_of(source, "source", true, 0);
        const Place output_place = place_of(output, "output", true, 1);
        std::optional<Place> sizes_place;
        if (sizes_arg != Py_None) sizes_place = place_of(sizes_arg, "sizes", true, 1);

        const core::CountPass::Totals totals =
            write_track_unlocked(input_place, output_place, sizes_place, wiggle, static_cast<std::int32_t>(window_arg),
                                 window, omit_tail != 0, level, track_line != 0, name_rule, rule,
                                 Unlocked(progress, on_record));
        return Py_BuildValue("(KK)", static_cast<unsigned long long>(totals.length),
                             static_cast<unsigned long long>(totals.lowercase));
    });
}

// ------------------------------------------------------------ index

// What one read tells of an input's compression: random access needs BGZF,
// every member with its block size in the header.
const char* compression_name(const std::vector<GzipMember>& members) {
    if (members.empty()) return "plain";
    for (const GzipMember& member : members) {
        if (!member.bgzf) return "gzip";
    }
    return "bgzf";
}

PyObject* index(PyObject*, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"source", "digests", "progress", "on_record", nullptr};
    PyObject* source = nullptr;
    int with_digests = 1;
    PyObject* progress_arg = Py_None;
    PyObject* on_record_arg = Py_None;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|pOO:index", const_cast<char**>(keywords), &source,
                                     &with_digests, &progress_arg, &on_record_arg)) {
        return nullptr;
    }
    return frame([&]() -> PyObject* {
        ProgressObject* progress = progress_of(progress_arg);
        PyObject* on_record = callback_of(on_record_arg);
        const Place place = place_of(source, "source", true, 0);
        struct Entry {
            core::SequenceDigest digest;
            std::optional<core::LineLayout> layout;
            std::optional<core::LayoutProblem> problem;
            bool sam_odd = false;
        };
        std::deque<Entry> entries;
        std::vector<GzipMember> members;
        {
            Unlocked unlocked(progress, on_record);
            Records records(open_input_file(place), unlocked, NameRule::Word, true, &members);
            core::TwoCoreDigester digester;
            const std::function<void()> checkpoint = [&] { unlocked.checkpoint(); };
            while (auto next = records.next()) {
                Entry& entry = entries.emplace_back();
                auto layout = core::fai_layout(next->first, records.header_offset(), records.header_line());
                if (layout) {
                    entry.layout = layout.value();
                } else {
                    entry.problem = std::move(layout).error();
                }
                entry.sam_odd = core::sam_reads_otherwise(next->first, !entry.problem.has_value());
                if (with_digests) {
                    entry.digest = digester.process_named(next->first, next->second, checkpoint);
                } else {
                    entry.digest.id = std::string(next->second);
                    for (std::string_view line : next->first.sequence_lines()) entry.digest.length += line.size();
                }
                unlocked.record_done(entry.digest.id, entry.digest.length);
            }
        }
        const char* compression = compression_name(members);
        PyRef gzi;
        if (std::string_view(compression) == "bgzf") {
            const std::string bytes = core::gzi_bytes(members);
            gzi = PyRef(PyBytes_FromStringAndSize(bytes.data(), static_cast<Py_ssize_t>(bytes.size())));
            if (!gzi) throw PythonRaised{};
        } else {
            gzi = PyRef(Py_NewRef(Py_None));
        }
        PyRef list(PyList_New(static_cast<Py_ssize_t>(entries.size())));
        if (!list) throw PythonRaised{};
        Py_ssize_t at = 0;
        while (!entries.empty()) {
            const Entry& entry = entries.front();
            const core::LineLayout layout = entry.layout.value_or(core::LineLayout{});
            PyRef problem;
            if (entry.problem) {
                problem = PyRef(Py_BuildValue("(Ks#)", static_cast<unsigned long long>(entry.problem->line),
                                              entry.problem->text.data(),
                                              static_cast<Py_ssize_t>(entry.problem->text.size())));
            } else {
                problem = PyRef(Py_NewRef(Py_None));
            }
            if (!problem) throw PythonRaised{};
            PyRef sha(with_digests ? ascii_text(core::text_of(entry.digest.sha512)) : Py_NewRef(Py_None));
            PyRef md5(with_digests ? ascii_text(core::text_of(entry.digest.md5)) : Py_NewRef(Py_None));
            if (!sha || !md5) throw PythonRaised{};
            PyObject* item = Py_BuildValue(
                "(s#KKKKOOON)", entry.digest.id.data(), static_cast<Py_ssize_t>(entry.digest.id.size()),
                static_cast<unsigned long long>(entry.digest.length), static_cast<unsigned long long>(layout.offset),
                static_cast<unsigned long long>(layout.line_bases), static_cast<unsigned long long>(layout.line_bytes),
                sha.get(), md5.get(), problem.get(), PyBool_FromLong(entry.sam_odd));
            if (item == nullptr) throw PythonRaised{};
            PyList_SET_ITEM(list.get(), at++, item);
            entries.pop_front();
        }
        return Py_BuildValue("(sOO)", compression, list.get(), gzi.get());
    });
}

// ------------------------------------------------------------ RandomAccess

// Fetches of at least this many bases run with the interpreter lock
// released; below it, releasing costs more than the read.
constexpr std::uint64_t kUnlockedFetch = 1 << 16;

struct RandomAccessObject {
    PyObject_HEAD
    // The reader and the mutex that serialises its users (a fetch may run
    // without the interpreter lock). Owned; freed by dealloc.
    struct State {
        std::mutex mutex;
        std::optional<RandomAccess> reader;
    };
    State* state;
};

PyObject* random_access_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"path", "gzi", nullptr};
    PyObject* path = nullptr;
    PyObject* gzi_arg = Py_None;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|O:RandomAccess", const_cast<char**>(keywords), &path,
                                     &gzi_arg)) {
        return nullptr;
    }
    PyRef self(type->tp_alloc(type, 0));
    if (!self) return nullptr;
    auto* object = reinterpret_cast<RandomAccessObject*>(self.get());
    object->state = nullptr;
    PyObject* done = frame([&]() -> PyObject* {
        std::string_view gzi;
        if (gzi_arg != Py_None) {
            char* data = nullptr;
            Py_ssize_t size = 0;
            if (PyBytes_AsStringAndSize(gzi_arg, &data, &size) < 0) throw PythonRaised{};
            gzi = std::string_view(data, static_cast<std::size_t>(size));
        }
        const Place place = place_of(path, "path", false, 0);
        auto state = std::make_unique<RandomAccessObject::State>();
        auto opened = RandomAccess::open(open_input_file(place), gzi, gzi_arg != Py_None);
        if (!opened) throw access_problem(opened.error());
        state->reader.emplace(std::move(opened).value());
        object->state = state.release();
        Py_RETURN_NONE;
    });
    if (done == nullptr) return nullptr;
    Py_DECREF(done);
    return self.release();
}

void random_access_dealloc(PyObject* self) {
    std::unique_ptr<RandomAccessObject::State> state(reinterpret_cast<RandomAccessObject*>(self)->state);
    state.reset();
    PyTypeObject* type = Py_TYPE(self);
    type->tp_free(self);
    Py_DecRef(reinterpret_cast<PyObject*>(type));
}

PyObject* random_access_fetch(PyObject* self, PyObject* const* args, Py_ssize_t count) {
    if (count != 5) {
        PyErr_SetString(PyExc_TypeError, "fetch(offset, line_bases, line_bytes, begin, end) takes 5 arguments");
        return nullptr;
    }
    std::uint64_t numbers[5];
    for (Py_ssize_t i = 0; i < 5; ++i) {
        numbers[i] = PyLong_AsUnsignedLongLong(args[i]);
        if (numbers[i] == static_cast<std::uint64_t>(-1) && PyErr_Occurred()) return nullptr;
    }
    const RecordPlace place{numbers[0], numbers[1], numbers[2]};
    const std::uint64_t begin = numbers[3];
    const std::uint64_t end = numbers[4];
    RandomAccessObject::State* state = reinterpret_cast<RandomAccessObject*>(self)->state;
    if (state == nullptr || !state->reader) {
        PyErr_SetString(PyExc_ValueError, "I/O operation on closed file");
        return nullptr;
    }
    if (end <= begin) return PyUnicode_New(0, 127);
    if (place.line_bases == 0 || place.line_bytes < place.line_bases) {
        PyErr_SetString(PyExc_ValueError, "line_bases must be 1 or more, and line_bytes at least line_bases");
        return nullptr;
    }
    return frame([&]() -> PyObject* {
        std::string bases;
        Status<IoError> read = Ok{};
        const auto run = [&] {
            std::lock_guard lock(state->mutex);
            read = state->reader->fetch(place, begin, end, bases);
        };
        if (end - begin >= kUnlockedFetch) {
            struct Released {
                PyThreadState* state = PyEval_SaveThread();
                ~Released() { PyEval_RestoreThread(state); }
            } released;
            run();
        } else {
            run();
        }
        if (!read) throw access_problem(read.error());
        return PyUnicode_DecodeLatin1(bases.data(), static_cast<Py_ssize_t>(bases.size()), nullptr);
    });
}

PyObject* random_access_close(PyObject* self, PyObject*) {
    auto* object = reinterpret_cast<RandomAccessObject*>(self);
    if (object->state != nullptr) {
        std::lock_guard lock(object->state->mutex);
        object->state->reader.reset();
    }
    Py_RETURN_NONE;
}

PyMethodDef random_access_methods[] = {
    {"fetch", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(random_access_fetch)), METH_FASTCALL,
     "fetch(offset, line_bases, line_bytes, begin, end): the bases [begin, end) of the record placed so."},
    {"close", random_access_close, METH_NOARGS, "Closes the file; later fetches raise ValueError."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot random_access_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(random_access_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(random_access_dealloc)},
    {Py_tp_methods, random_access_methods},
    {Py_tp_doc, const_cast<char*>("Random access to the bases of a plain or BGZF FASTA file.")},
    {0, nullptr},
};

PyType_Spec random_access_spec = {"seqtally_tools._engine.RandomAccess", sizeof(RandomAccessObject), 0,
                                  Py_TPFLAGS_DEFAULT, random_access_slots};

// ------------------------------------------------------------ IntervalReader

PyObject* interval_reader_type = nullptr;  // IntervalReader

// Many intervals of one file, through a RandomAccess of its own: its calls
// take their mutex only after releasing the interpreter lock, so that a
// checkpoint taking the lock back never waits on a thread that holds the
// lock and wants the mutex.
struct IntervalReaderObject {
    PyObject_HEAD
    struct State {
        State(RandomAccess opened, core::Contigs named) : access(std::move(opened)), contigs(std::move(named)) {}
        RandomAccess* helper_or_null() { return helper ? &*helper : nullptr; }
        std::mutex mutex;
        RandomAccess access;
        // A second reader for a second thread, on machines with two cores.
        std::optional<RandomAccess> helper;
        core::Contigs contigs;
    };
    State* state;  // owned; freed by dealloc
};

PyObject* interval_reader_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"path", "gzi", "contigs", nullptr};
    PyObject* path = nullptr;
    PyObject* gzi_arg = Py_None;
    PyObject* list = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOO!:IntervalReader", const_cast<char**>(keywords), &path,
                                     &gzi_arg, &PyList_Type, &list)) {
        return nullptr;
    }
    std::vector<core::Contig> contigs;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list); ++i) {
        const char* name = nullptr;
        Py_ssize_t size = 0;
        unsigned long long length = 0, offset = 0, line_bases = 0, line_bytes = 0;
        if (!PyArg_ParseTuple(PyList_GET_ITEM(list, i), "s#KKKK", &name, &size, &length, &offset, &line_bases,
                              &line_bytes)) {
            return nullptr;
        }
        if (line_bases == 0 || line_bytes < line_bases) {
            PyErr_SetString(PyExc_ValueError, "line_bases must be 1 or more, and line_bytes at least line_bases");
            return nullptr;
        }
        contigs.push_back({std::string(name, static_cast<std::size_t>(size)), length, {offset, line_bases, line_bytes}});
    }
    PyRef self(type->tp_alloc(type, 0));
    if (!self) return nullptr;
    auto* object = reinterpret_cast<IntervalReaderObject*>(self.get());
    object->state = nullptr;
    PyObject* done = frame([&]() -> PyObject* {
        std::string_view gzi;
        if (gzi_arg != Py_None) {
            char* data = nullptr;
            Py_ssize_t size = 0;
            if (PyBytes_AsStringAndSize(gzi_arg, &data, &size) < 0) throw PythonRaised{};
            gzi = std::string_view(data, static_cast<std::size_t>(size));
        }
        const Place place = place_of(path, "path", false, 0);
        auto opened = RandomAccess::open(open_input_file(place), gzi, gzi_arg != Py_None);
        if (!opened) throw access_problem(opened.error());
        auto state = std::make_unique<IntervalReaderObject::State>(std::move(opened).value(),
                                                                   core::Contigs(std::move(contigs)));
        if (std::thread::hardware_concurrency() >= 2) {
            auto helper = RandomAccess::open(open_input_file(place), gzi, gzi_arg != Py_None);
            if (!helper) throw access_problem(helper.error());
            state->helper.emplace(std::move(helper).value());
        }
        object->state = state.release();
        Py_RETURN_NONE;
    });
    if (done == nullptr) return nullptr;
    Py_DECREF(done);
    return self.release();
}

void interval_reader_dealloc(PyObject* self) {
    std::unique_ptr<IntervalReaderObject::State> state(reinterpret_cast<IntervalReaderObject*>(self)->state);
    state.reset();
    PyTypeObject* type = Py_TYPE(self);
    type->tp_free(self);
    Py_DecRef(reinterpret_cast<PyObject*>(type));
}

IntervalReaderObject::State& state_of(PyObject* self) { return *reinterpret_cast<IntervalReaderObject*>(self)->state; }

const char* fault_name(core::IntervalFault fault) {
    switch (fault) {
        case core::IntervalFault::Empty: return "empty";
        case core::IntervalFault::UnknownContig: return "unknown_contig";
        case core::IntervalFault::PastEnd: return "past_end";
        case core::IntervalFault::None: break;
    }
    return "none";
}

Problem interval_problem(core::IntervalFault fault, std::string text, std::uint64_t index) {
    Problem problem("interval", fault_name(fault), std::move(text));
    problem.record = index;
    return problem;
}

Problem failure_problem(const core::IntervalFailure& failure) {
    return failure.side == core::IntervalFailure::Side::Read ? access_problem(failure.error)
                                                             : write_problem(failure.error, "output");
}

// The whole BED text of a source, or its first malformed line.
std::string bed_text(const Place& place) {
    File file = !place.named ? duplicate(place.fd, "bed") : [&] {
        auto opened = File::open_read(place.path);
        if (!opened) throw os_problem(opened.error().raw_os_error(), "bed");
        return std::move(opened).value();
    }();
    std::string text;
    for (;;) {
        const std::size_t at = text.size();
        text.resize(at + (1 << 20));
        auto got = file.read(std::span(reinterpret_cast<std::uint8_t*>(text.data() + at), 1 << 20));
        if (!got) throw os_problem(got.error().raw_os_error(), "bed");
        text.resize(at + got.value());
        if (got.value() == 0) return text;
    }
}

core::BedIntervals parsed_bed(const std::string& text) {
    auto parsed = core::parse_bed(text);
    if (!parsed) {
        Problem problem("format", "bed", "line " + std::to_string(parsed.error().line) + ": " + parsed.error().text);
        problem.line = parsed.error().line;
        throw problem;
    }
    return std::move(parsed).value();
}

// A buffer argument as a span of T (native-endian), the interval arrays.
template <class T>
class Array {
  public:
    Array(PyObject* object, const char* what) {
        if (PyObject_GetBuffer(object, &view_, PyBUF_SIMPLE) < 0) throw PythonRaised{};
        if (view_.len % static_cast<Py_ssize_t>(sizeof(T)) != 0) {
            PyBuffer_Release(&view_);
            PyErr_Format(PyExc_ValueError, "%s: not a whole number of %zu-byte items", what, sizeof(T));
            throw PythonRaised{};
        }
    }
    ~Array() { PyBuffer_Release(&view_); }
    Array(const Array&) = delete;
    Array& operator=(const Array&) = delete;
    std::size_t size() const noexcept { return static_cast<std::size_t>(view_.len) / sizeof(T); }
    T operator[](std::size_t i) const noexcept {
        T value;
        std::memcpy(&value, static_cast<const char*>(view_.buf) + i * sizeof(T), sizeof(T));
        return value;
    }

  private:
    Py_buffer view_{};
};

// The intervals of the four arrays, each checked against its contig.
std::vector<core::Interval> intervals_of(const core::Contigs& contigs, PyObject* const* args) {
    const Array<std::uint32_t> numbers(args[0], "contigs");
    const Array<std::uint64_t> starts(args[1], "starts");
    const Array<std::uint64_t> ends(args[2], "ends");
    const Array<std::uint8_t> reverse(args[3], "reverse");
    if (starts.size() != numbers.size() || ends.size() != numbers.size() || reverse.size() != numbers.size()) {
        PyErr_SetString(PyExc_ValueError, "contigs, starts, ends and reverse differ in length");
        throw PythonRaised{};
    }
    std::vector<core::Interval> intervals(numbers.size());
    for (std::size_t i = 0; i < intervals.size(); ++i) {
        if (numbers[i] >= contigs.size()) {
            PyErr_Format(PyExc_IndexError, "interval %zu: no contig number %u", i, numbers[i]);
            throw PythonRaised{};
        }
        const core::Contig& contig = contigs[numbers[i]];
        const core::Interval interval{numbers[i], starts[i], ends[i], reverse[i] != 0};
        if (interval.start > interval.end) {
            Problem problem = interval_problem(core::IntervalFault::PastEnd, "the start (" + std::to_string(interval.start) +
                                               ") is after the end (" + std::to_string(interval.end) + ")", i);
            problem.which = "start_after_end";
            throw problem;
        }
        if (interval.end > contig.length) {
            throw interval_problem(core::IntervalFault::PastEnd,
                                   core::fault_text(core::IntervalFault::PastEnd, contigs, contig.name, interval.start,
                                                    interval.end), i);
        }
        intervals[i] = interval;
    }
    return intervals;
}

// Every interval's bases shown to `visit` (in file order), with the
// interpreter lock released and the reader's mutex held.
void visit_all(IntervalReaderObject::State& state, const std::vector<core::Interval>& intervals,
               const std::function<void(std::size_t, std::string_view)>& visit, Unlocked& unlocked) {
    core::BatchFetch fetch(state.access, state.contigs, intervals, 0, false, state.helper_or_null());
    auto read = fetch.next(visit, [&] { unlocked.checkpoint(); });
    if (!read) throw access_problem(read.error());
}

PyObject* interval_reader_read_bed(PyObject* self, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"source", "strand", nullptr};
    PyObject* source = nullptr;
    int strand = 0;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "Op:read_bed", const_cast<char**>(keywords), &source, &strand)) {
        return nullptr;
    }
    return frame([&]() -> PyObject* {
        const Place place = place_of(source, "source", true, 0);
        std::vector<std::uint32_t> numbers;
        std::vector<std::uint64_t> starts, ends, lines;
        std::vector<std::uint8_t> reverse;
        {
            Unlocked unlocked(nullptr, nullptr);
            const std::string text = bed_text(place);
            const core::BedIntervals bed = parsed_bed(text);
            IntervalReaderObject::State& state = state_of(self);
            for (std::size_t i = 0; i < bed.intervals.size(); ++i) {
                const core::BedInterval& line = bed.intervals[i];
                core::Interval interval;
                const core::IntervalFault fault = core::place_interval(state.contigs, line.chrom, line.start,
                                                                       line.end, strand && line.strand == "-",
                                                                       interval);
                if (fault == core::IntervalFault::UnknownContig || fault == core::IntervalFault::PastEnd) {
                    Problem problem = interval_problem(
                        fault, core::fault_text(fault, state.contigs, line.chrom, line.start, line.end), i);
                    problem.line = line.line;
                    throw problem;
                }
                numbers.push_back(interval.contig);
                starts.push_back(interval.start);
                ends.push_back(interval.end);
                reverse.push_back(interval.reverse);
                lines.push_back(line.line);
            }
        }
        const auto bytes_of = [](const auto& values) {
            return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(values.data()),
                                             static_cast<Py_ssize_t>(values.size() * sizeof(values[0])));
        };
        return Py_BuildValue("(NNNNN)", bytes_of(numbers), bytes_of(starts), bytes_of(ends), bytes_of(reverse),
                             bytes_of(lines));
    });
}

PyObject* interval_reader_fetch_many(PyObject* self, PyObject* const* args, Py_ssize_t count) {
    if (count != 4) {
        PyErr_SetString(PyExc_TypeError, "fetch_many(contigs, starts, ends, reverse) takes 4 arguments");
        return nullptr;
    }
    return frame([&]() -> PyObject* {
        IntervalReaderObject::State& state = state_of(self);
        const std::vector<core::Interval> intervals = intervals_of(state.contigs, args);
        std::vector<std::int64_t> offsets(intervals.size() + 1, 0);
        for (std::size_t i = 0; i < intervals.size(); ++i) {
            offsets[i + 1] = offsets[i] + static_cast<std::int64_t>(intervals[i].end - intervals[i].start);
        }
        PyRef bases(PyByteArray_FromStringAndSize(nullptr, offsets.back()));
        if (!bases) throw PythonRaised{};
        char* into = PyByteArray_AS_STRING(bases.get());
        {
            Unlocked unlocked(nullptr, nullptr);
            std::lock_guard lock(state.mutex);
            visit_all(state, intervals, [&](std::size_t i, std::string_view found) {
                // A file that holds fewer bases than its index says is
                // refused by the reader; never more than asked.
                std::memcpy(into + offsets[i], found.data(),
                            std::min<std::size_t>(found.size(), static_cast<std::size_t>(offsets[i + 1] - offsets[i])));
            }, unlocked);
        }
        PyRef table(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(offsets.data()),
                                              static_cast<Py_ssize_t>(offsets.size() * sizeof(std::int64_t))));
        if (!table) throw PythonRaised{};
        return PyTuple_Pack(2, bases.get(), table.get());
    });
}

PyObject* interval_reader_composition(PyObject* self, PyObject* const* args, Py_ssize_t count) {
    if (count != 6) {
        PyErr_SetString(PyExc_TypeError,
                        "composition(contigs, starts, ends, reverse, pattern, ignore_case) takes 6 arguments");
        return nullptr;
    }
    return frame([&]() -> PyObject* {
        IntervalReaderObject::State& state = state_of(self);
        const std::vector<core::Interval> intervals = intervals_of(state.contigs, args);
        Py_ssize_t size = 0;
        const char* text = PyUnicode_AsUTF8AndSize(args[4], &size);
        if (text == nullptr) throw PythonRaised{};
        const std::string pattern(text, static_cast<std::size_t>(size));
        const int ignore_case = PyObject_IsTrue(args[5]);
        if (ignore_case < 0) throw PythonRaised{};
        std::vector<std::int64_t> rows(intervals.size() * 8, 0);
        {
            Unlocked unlocked(nullptr, nullptr);
            std::lock_guard lock(state.mutex);
            visit_all(state, intervals, [&](std::size_t i, std::string_view bases) {
                const core::Composition c = core::compose(bases);
                std::int64_t* row = rows.data() + i * 8;
                const std::uint64_t values[] = {c.a, c.c, c.g, c.t, c.n, c.other, intervals[i].end - intervals[i].start,
                                                pattern.empty() ? 0 : core::count_pattern(bases, pattern, ignore_case != 0)};
                for (int k = 0; k < 8; ++k) row[k] = static_cast<std::int64_t>(values[k]);
            }, unlocked);
        }
        return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(rows.data()),
                                         static_cast<Py_ssize_t>(rows.size() * sizeof(std::int64_t)));
    });
}

PyObject* notes_list(const std::vector<core::IntervalNote>& notes) {
    PyRef list(PyList_New(static_cast<Py_ssize_t>(notes.size())));
    if (!list) throw PythonRaised{};
    for (std::size_t i = 0; i < notes.size(); ++i) {
        PyObject* item = Py_BuildValue("(Kss#)", static_cast<unsigned long long>(notes[i].line),
                                       fault_name(notes[i].fault), notes[i].text.data(),
                                       static_cast<Py_ssize_t>(notes[i].text.size()));
        if (item == nullptr) throw PythonRaised{};
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
    }
    return list.release();
}

// A BED command of bedtools: the BED read and parsed, the output written as
// the intervals are read, all with the interpreter lock released.
template <class Write>
PyObject* bed_command(PyObject* self, PyObject* bed, PyObject* output, PyObject* progress_arg, Write&& write) {
    return frame([&]() -> PyObject* {
        ProgressObject* progress = progress_of(progress_arg);
        const Place bed_place = place_of(bed, "bed", true, 0);
        const Place output_place = place_of(output, "output", true, 1);
        IntervalReaderObject::State& state = state_of(self);
        std::vector<core::IntervalNote> notes;
        {
            Unlocked unlocked(progress, nullptr);
            const std::string text = bed_text(bed_place);
            const core::BedIntervals intervals = parsed_bed(text);
            std::lock_guard lock(state.mutex);
            OutputStream out(std::make_unique<FileSink>(open_output_file(output_place, "output")));
            core::IntervalContext context{state.access, state.contigs, out, [&] { unlocked.checkpoint(); },
                                          state.helper_or_null()};
            auto done = write(context, intervals);
            if (!done) throw failure_problem(done.error());
            if (auto released = out.release(); !released) throw write_problem(released.error(), "output");
            notes = std::move(done).value();
        }
        return notes_list(notes);
    });
}

PyObject* interval_reader_getfasta(PyObject* self, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"bed", "output", "strand", "header", "tab", "progress", nullptr};
    PyObject* bed = nullptr;
    PyObject* output = nullptr;
    int strand = 0, tab = 0;
    const char* header = "position";
    PyObject* progress = Py_None;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOpsp|O:getfasta", const_cast<char**>(keywords), &bed, &output,
                                     &strand, &header, &tab, &progress)) {
        return nullptr;
    }
    const std::string_view form(header);
    core::GetfastaOptions options{strand != 0, core::HeaderForm::Position, tab != 0};
    if (form == "name") {
        options.header = core::HeaderForm::NameAndPosition;
    } else if (form == "name_only") {
        options.header = core::HeaderForm::Name;
    } else if (form != "position") {
        PyErr_SetString(PyExc_ValueError, "header must be 'position', 'name' or 'name_only'");
        return nullptr;
    }
    return bed_command(self, bed, output, progress, [&](core::IntervalContext& context, const core::BedIntervals& intervals) {
        return core::write_getfasta(context, intervals, options);
    });
}

PyObject* interval_reader_nuc(PyObject* self, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"bed", "output", "strand", "seq", "pattern", "ignore_case", "progress", nullptr};
    PyObject* bed = nullptr;
    PyObject* output = nullptr;
    int strand = 0, seq = 0, ignore_case = 0;
    const char* pattern = "";
    Py_ssize_t pattern_size = 0;
    PyObject* progress = Py_None;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOpps#p|O:nuc", const_cast<char**>(keywords), &bed, &output,
                                     &strand, &seq, &pattern, &pattern_size, &ignore_case, &progress)) {
        return nullptr;
    }
    const core::NucOptions options{strand != 0, seq != 0, std::string(pattern, static_cast<std::size_t>(pattern_size)),
                                   ignore_case != 0};
    return bed_command(self, bed, output, progress, [&](core::IntervalContext& context, const core::BedIntervals& intervals) {
        return core::write_nuc(context, intervals, options);
    });
}

PyObject* interval_reader_faidx(PyObject* self, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"contigs", "starts", "ends", "reverse", "headers", "output", "progress", nullptr};
    PyObject* arrays[4] = {};
    PyObject* headers = nullptr;
    PyObject* output = nullptr;
    PyObject* progress_arg = Py_None;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOOOO!O|O:faidx", const_cast<char**>(keywords), &arrays[0],
                                     &arrays[1], &arrays[2], &arrays[3], &PyList_Type, &headers, &output,
                                     &progress_arg)) {
        return nullptr;
    }
    return frame([&]() -> PyObject* {
        IntervalReaderObject::State& state = state_of(self);
        const std::vector<core::Interval> intervals = intervals_of(state.contigs, arrays);
        if (static_cast<std::size_t>(PyList_GET_SIZE(headers)) != intervals.size()) {
            PyErr_SetString(PyExc_ValueError, "one header per interval");
            throw PythonRaised{};
        }
        std::vector<std::string> texts;
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(headers); ++i) {
            PyRef encoded(PyUnicode_AsEncodedString(PyList_GET_ITEM(headers, i), "utf-8", "surrogateescape"));
            if (!encoded) throw PythonRaised{};
            texts.emplace_back(PyBytes_AS_STRING(encoded.get()), static_cast<std::size_t>(PyBytes_GET_SIZE(encoded.get())));
        }
        const std::vector<std::string_view> views(texts.begin(), texts.end());
        ProgressObject* progress = progress_of(progress_arg);
        const Place output_place = place_of(output, "output", true, 1);
        Unlocked unlocked(progress, nullptr);
        std::lock_guard lock(state.mutex);
        OutputStream out(std::make_unique<FileSink>(open_output_file(output_place, "output")));
        core::IntervalContext context{state.access, state.contigs, out, [&] { unlocked.checkpoint(); },
                                          state.helper_or_null()};
        if (auto done = core::write_faidx(context, intervals, views); !done) throw failure_problem(done.error());
        if (auto released = out.release(); !released) throw write_problem(released.error(), "output");
        return Py_NewRef(Py_None);
    });
}

PyMethodDef interval_reader_methods[] = {
    {"read_bed", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(interval_reader_read_bed)),
     METH_VARARGS | METH_KEYWORDS, "read_bed(source, strand): the BED intervals as arrays."},
    {"fetch_many", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(interval_reader_fetch_many)),
     METH_FASTCALL, "fetch_many(contigs, starts, ends, reverse): (bases, offsets)."},
    {"composition", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(interval_reader_composition)),
     METH_FASTCALL, "composition(contigs, starts, ends, reverse, pattern, ignore_case): eight int64 per interval."},
    {"getfasta", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(interval_reader_getfasta)),
     METH_VARARGS | METH_KEYWORDS, "getfasta(bed, output, strand, header, tab, progress=None): bedtools getfasta."},
    {"nuc", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(interval_reader_nuc)),
     METH_VARARGS | METH_KEYWORDS, "nuc(bed, output, strand, seq, pattern, ignore_case, progress=None): bedtools nuc."},
    {"faidx", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(interval_reader_faidx)),
     METH_VARARGS | METH_KEYWORDS, "faidx(contigs, starts, ends, reverse, headers, output, progress=None)."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot interval_reader_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(interval_reader_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(interval_reader_dealloc)},
    {Py_tp_methods, interval_reader_methods},
    {Py_tp_doc, const_cast<char*>("Many intervals of a plain or BGZF FASTA file.")},
    {0, nullptr},
};

PyType_Spec interval_reader_spec = {"seqtally_tools._engine.IntervalReader", sizeof(IntervalReaderObject), 0,
                                    Py_TPFLAGS_DEFAULT, interval_reader_slots};

// ------------------------------------------------------------ the module

PyMethodDef methods[] = {
    {"checksum", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(checksum)), METH_VARARGS | METH_KEYWORDS,
     "checksum(source, record_type, progress=None, on_record=None): per record (id, length, sha512t24u, md5)."},
    {"gc_values", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(gc_values)),
     METH_VARARGS | METH_KEYWORDS,
     "gc_values(source, window, omit_tail, progress=None, on_record=None, names='module', count='upper', "
     "min_acgt=0.25): per record (id, length, values, lowercase)."},
    {"write_track", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(write_track)),
     METH_VARARGS | METH_KEYWORDS,
     "write_track(source, output, form, window, omit_tail, gzip_level=None, sizes=None, track_line=False, "
     "progress=None, on_record=None, names='module', count='upper', min_acgt=0.25): a wiggle or bedGraph track; "
     "(bases, lowercase)."},
    {"index", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(index)), METH_VARARGS | METH_KEYWORDS,
     "index(source, digests=True, progress=None, on_record=None): (compression, records, gzi) in one read."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "_engine", "The native engine of seqtally_tools.", -1, methods,
                          nullptr, nullptr, nullptr, nullptr};

}  // namespace
}  // namespace seqtally::engine

PyMODINIT_FUNC PyInit__engine() {
    using namespace seqtally::engine;
    PyRef module(PyModule_Create(&module_def));
    if (!module) return nullptr;
    PyRef threading(PyImport_ImportModule("threading"));
    if (!threading) return nullptr;
    PyRef main_thread(PyObject_CallMethod(threading.get(), "main_thread", nullptr));
    if (!main_thread) return nullptr;
    PyRef ident(PyObject_GetAttrString(main_thread.get(), "ident"));
    if (!ident) return nullptr;
    main_thread_ident = PyLong_AsUnsignedLong(ident.get());
    if (PyErr_Occurred()) return nullptr;
    if (failure_type == nullptr) {
        failure_type = PyErr_NewExceptionWithDoc("seqtally_tools._engine.Failure",
                                                 "A failed call of the engine: kind, which, message, errno, line, "
                                                 "byte and record tell what and where.",
                                                 PyExc_Exception, nullptr);
        if (failure_type == nullptr) return nullptr;
    }
    if (progress_type == nullptr) {
        progress_type = PyType_FromSpec(&progress_spec);
        if (progress_type == nullptr) return nullptr;
    }
    if (PyModule_AddObjectRef(module.get(), "Failure", failure_type) < 0) return nullptr;
    if (random_access_type == nullptr) {
        random_access_type = PyType_FromSpec(&random_access_spec);
        if (random_access_type == nullptr) return nullptr;
    }
    if (PyModule_AddObjectRef(module.get(), "Progress", progress_type) < 0) return nullptr;
    if (PyModule_AddObjectRef(module.get(), "RandomAccess", random_access_type) < 0) return nullptr;
    if (interval_reader_type == nullptr) {
        interval_reader_type = PyType_FromSpec(&interval_reader_spec);
        if (interval_reader_type == nullptr) return nullptr;
    }
    if (PyModule_AddObjectRef(module.get(), "IntervalReader", interval_reader_type) < 0) return nullptr;
    return module.release();
}
