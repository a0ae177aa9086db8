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
#include "fasta/copying_source.h"
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

    InputOptions input_options(std::vector<GzipMember>* members = nullptr, SecondCore* second_core = nullptr);

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
    // gzip members (complete once this returns). `copy` receives the decoded
    // input as it is read; its failure is thrown as the output's Problem.
    template <class Pass>
    auto run(core::NameNeeds needs, Pass&& pass, std::vector<GzipMember>* members = nullptr, Sink* copy = nullptr) {
        Unlocked unlocked(progress_, on_record_);
        // One thread beside this one both reads ahead and does the pass's
        // own second-core work (MD5): never three busy threads on two cores.
        SecondCore second_core;
        std::unique_ptr<ByteSource> source =
            open_input(open_input_file(place_), unlocked.input_options(members, &second_core));
        const CopyingSource* copying = nullptr;
        if (copy != nullptr) {
            auto copied = std::make_unique<CopyingSource>(std::move(source), *copy);
            copying = copied.get();
            source = std::move(copied);
        }
        core::NamedRecords records(std::move(source), core::NameRule::Word, needs, &second_core);
        auto result = pass(records, unlocked);
        if (copying != nullptr && copying->failure()) throw write_problem(*copying->failure(), Which::Output);
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
