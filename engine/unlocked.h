#pragma once
// The region of a call that runs without the interpreter lock, and the one
// context every reading entry runs in: its arguments converted with the
// lock held, then the lock released, the input opened and its records
// handed to the core's pass; the lock is back when the pass returns or
// throws, and the pass's error values become Problems.
#include <chrono>
#include <string_view>
#include <vector>

#include "capi/py_ref.h"
#include "core/src/lib/named_records.h"
#include "engine/failures.h"
#include "engine/progress.h"
#include "engine/sources.h"
#include "fasta/input.h"

namespace seqtally::engine {

// Set by the module's init: signal handlers run only on this thread.
void set_main_thread(unsigned long ident) noexcept;

// The interpreter lock released for the life of the object. As the core's
// RecordEvents: checkpoints (a cancel, and signal handlers on the main
// thread) and on_record callbacks, each taking the lock back for a moment.
class Unlocked final : public core::RecordEvents {
  public:
    Unlocked(ProgressObject* progress, PyObject* on_record);
    ~Unlocked() override;
    Unlocked(const Unlocked&) = delete;
    Unlocked& operator=(const Unlocked&) = delete;

    // Throws Problem(Cancelled) or PythonRaised (a signal handler raised).
    void checkpoint() override;
    void record_done(std::string_view name, std::uint64_t length) override;

    InputOptions input_options(std::vector<GzipMember>* members = nullptr);

  private:
    template <class F>
    void locked(F&& f);

    ProgressObject* progress_;
    PyObject* on_record_;
    bool on_main_thread_;
    std::chrono::steady_clock::time_point last_signal_check_{};
    PyThreadState* state_;
};

// A source, a Progress or None, and an on_record callable or None.
class Reading {
  public:
    Reading(PyObject* source, PyObject* progress, PyObject* on_record);

    // pass(records, unlocked) with the lock released: the core's result, or
    // its RecordError thrown as a Problem. `members` receives the input's
    // gzip members (complete once this returns).
    template <class Pass>
    auto run(core::NameNeeds needs, Pass&& pass, std::vector<GzipMember>* members = nullptr) {
        Unlocked unlocked(progress_, on_record_);
        core::NamedRecords records(open_input(open_input_file(place_), unlocked.input_options(members)),
                                   core::NameRule::Word, needs);
        auto result = pass(records, unlocked);
        if (!result) throw record_problem(result.error());
        return std::move(result).value();
    }

    ProgressObject* progress() const noexcept { return progress_; }
    PyObject* on_record() const noexcept { return on_record_; }
    const Place& place() const noexcept { return place_; }

  private:
    ProgressObject* progress_;
    PyObject* on_record_;
    Place place_;
};

}  // namespace seqtally::engine
