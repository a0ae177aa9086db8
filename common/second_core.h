#pragma once
// A call's second core: one thread that runs the steps of the call's
// sequential tasks (inflating gzip input ahead of the reader, MD5 of long
// records), which the call's own thread also runs whenever it would wait for
// one of them. Three busy threads on two cores lose to the scheduler: the
// waits for a queue's room or data fall where a thread is off its core. Here
// there are never more than two, and neither waits while a step is ready.
//
// Each task is stepped by one thread at a time, so its steps run in order.
// One mutex guards every task's shared state; a step runs with it released.
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace seqtally {

class SecondCore {
  public:
    class Task {
      public:
        // With the lock held: whether a step has work now, and whether it
        // has for a caller that would wait otherwise (a queue may let the
        // caller fill it deeper than the second core does: the caller only
        // helps while it cannot go on).
        virtual bool ready() const noexcept = 0;
        virtual bool ready_for_caller() const noexcept { return ready(); }
        // One step of work, entered and left with the lock held; it releases
        // the lock around the work itself. A failure is the task's to keep.
        virtual void step(std::unique_lock<std::mutex>& lock) noexcept = 0;

      protected:
        // `caller_helps`: whether a waiting caller may run steps too. Not
        // for a task whose step may wait for as long as a pipe's writer
        // likes: the caller must reach its checkpoints meanwhile.
        explicit Task(bool caller_helps = true) : caller_helps_(caller_helps) {}
        ~Task() = default;

      private:
        friend class SecondCore;
        bool caller_helps_;
        bool running_ = false;
    };

    // Tasks' waits call their checkpoint after this much time at most.
    static constexpr std::chrono::milliseconds kWaitSlice{50};

    SecondCore() = default;
    ~SecondCore();
    SecondCore(const SecondCore&) = delete;
    SecondCore& operator=(const SecondCore&) = delete;

    std::mutex& mutex() noexcept { return mutex_; }

    // Without the lock. The thread starts with the first task.
    void attach(Task& task);
    // Without the lock; waits while another thread runs a step of it, and
    // no step of it starts afterwards.
    void detach(Task& task);

    // With the lock held, after a change to a task's state: a step may be
    // ready, or a wait may be over.
    void changed() noexcept { changed_.notify_all(); }

    // With the lock held: marks the task as run by this thread, when no
    // other runs it (false otherwise). release() ends it.
    bool claim(Task& task) noexcept;
    void release(Task& task) noexcept;
    // With the lock held: whether some thread runs the task.
    bool running(const Task& task) const noexcept { return task.running_; }

    // With `lock` held: until done() holds, runs the ready steps of the
    // tasks that let the caller help, and waits when there are none.
    // `checkpoint` (may be empty) is called without the lock at least every
    // kWaitSlice; what it throws leaves with the lock released.
    template <class Done>
    void wait_until(std::unique_lock<std::mutex>& lock, Done done, const std::function<void()>& checkpoint) {
        auto last_checkpoint = std::chrono::steady_clock::now();
        while (!done()) {
            if (Task* task = ready_task(true)) {
                run(*task, lock);
            } else {
                changed_.wait_for(lock, kWaitSlice);
            }
            if (checkpoint && std::chrono::steady_clock::now() - last_checkpoint >= kWaitSlice) {
                lock.unlock();
                checkpoint();
                lock.lock();
                last_checkpoint = std::chrono::steady_clock::now();
            }
        }
    }

  private:
    Task* ready_task(bool caller) const noexcept;
    void run(Task& task, std::unique_lock<std::mutex>& lock) noexcept;
    void work() noexcept;

    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<Task*> tasks_;  // in the order of their attach: the earlier first
    bool stop_ = false;
    std::thread thread_;
};

}  // namespace seqtally
