#include "engine/unlocked.h"

namespace seqtally::engine {
namespace {

unsigned long main_thread_ident = 0;

PyObject* callback_of(PyObject* object) {
    if (object == nullptr || object == Py_None) return nullptr;
    if (!PyCallable_Check(object)) {
        PyErr_SetString(PyExc_TypeError, "on_record must be callable or None");
        throw PythonRaised{};
    }
    return object;
}

}  // namespace

void set_main_thread(unsigned long ident) noexcept { main_thread_ident = ident; }

Unlocked::Unlocked(ProgressObject* progress, PyObject* on_record)
    : progress_(progress),
      on_record_(on_record),
      on_main_thread_(PyThread_get_thread_ident() == main_thread_ident),
      state_(PyEval_SaveThread()) {}

Unlocked::~Unlocked() { PyEval_RestoreThread(state_); }

template <class F>
void Unlocked::locked(F&& f) {
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
void Unlocked::checkpoint() {
    if (progress_ != nullptr && progress_->cancelled.load(std::memory_order_relaxed)) {
        throw Problem(Kind::Cancelled, Which::Input, "cancelled", Fault::Cancelled);
    }
    if (!on_main_thread_) return;
    const auto now = std::chrono::steady_clock::now();
    if (now - last_signal_check_ < std::chrono::milliseconds(20)) return;
    last_signal_check_ = now;
    locked([] {
        if (PyErr_CheckSignals() < 0) throw PythonRaised{};
    });
}

void Unlocked::record_done(std::string_view name, std::uint64_t length) {
    if (on_record_ == nullptr) return;
    locked([&] {
        py::PyRef text(PyUnicode_DecodeUTF8(name.data(), static_cast<Py_ssize_t>(name.size()), "strict"));
        if (!text) throw PythonRaised{};
        py::PyRef size(PyLong_FromUnsignedLongLong(length));
        if (!size) throw PythonRaised{};
        py::PyRef result(PyObject_CallFunctionObjArgs(on_record_, text.get(), size.get(), nullptr));
        if (!result) throw PythonRaised{};
    });
}

InputOptions Unlocked::input_options(std::vector<GzipMember>* members) {
    InputOptions options;
    options.bytes_read = progress_ != nullptr ? &progress_->bytes_read : nullptr;
    options.checkpoint = [this] { checkpoint(); };
    options.members = members;
    return options;
}

Reading::Reading(PyObject* source, PyObject* progress, PyObject* on_record)
    : progress_(progress_of(progress)), on_record_(callback_of(on_record)), place_(place_of(source, "source", 0)) {}

}  // namespace seqtally::engine
