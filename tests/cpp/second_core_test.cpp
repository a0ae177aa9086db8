// The call's second core: each task's steps in order and one at a time,
// whichever thread runs them; a task that bars the caller runs only on the
// second core; a wait that helps still reaches its checkpoints and leaves
// when one throws; detaching waits for a running step.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "common/second_core.h"

namespace seqtally {
namespace {

using namespace std::literals;

struct HangGuard {
    HangGuard() { ::alarm(60); }
    ~HangGuard() { ::alarm(0); }
};

// Steps that append their number while `limit` allows; each holds the lock
// released for a moment, so that the two threads overlap if they can.
class Counting final : public SecondCore::Task {
  public:
    explicit Counting(bool caller_helps) : Task(caller_helps) {}
    bool ready() const noexcept override { return done.size() < limit; }
    void step(std::unique_lock<std::mutex>& lock) noexcept override {
        const std::size_t number = next++;
        lock.unlock();
        if (inside.exchange(true)) overlapped = true;
        if (std::this_thread::get_id() == caller) ++by_caller;
        std::this_thread::sleep_for(20us);
        inside = false;
        lock.lock();
        done.push_back(number);
    }

    std::size_t limit = 0;
    std::size_t next = 0;
    std::vector<std::size_t> done;
    std::atomic<bool> inside{false};
    std::atomic<bool> overlapped{false};
    std::atomic<int> by_caller{0};
    std::thread::id caller = std::this_thread::get_id();
};

TEST(SecondCore, StepsRunInOrderOneAtATimeOnEitherThread) {
    HangGuard guard;
    for (const bool caller_helps : {true, false}) {
        SCOPED_TRACE(caller_helps ? "the caller helps" : "the second core alone");
        SecondCore core;
        Counting first(caller_helps), second(caller_helps);
        core.attach(first);
        core.attach(second);
        {
            std::unique_lock lock(core.mutex());
            first.limit = second.limit = 2000;
            core.changed();
            core.wait_until(lock, [&] { return first.done.size() == 2000 && second.done.size() == 2000; }, {});
        }
        for (const Counting* task : {&first, &second}) {
            for (std::size_t i = 0; i < task->done.size(); ++i) ASSERT_EQ(task->done[i], i);
            EXPECT_FALSE(task->overlapped);
        }
        if (caller_helps) {
            EXPECT_GT(first.by_caller + second.by_caller, 0);
        } else {
            EXPECT_EQ(first.by_caller + second.by_caller, 0);
        }
        core.detach(second);
        core.detach(first);
    }
}

// A step that runs until told to stop, and a checkpoint that throws after
// a few calls: the wait ends within a few slices with the lock released.
class Stalled final : public SecondCore::Task {
  public:
    Stalled() : Task(false) {}
    bool ready() const noexcept override { return !started; }
    void step(std::unique_lock<std::mutex>& lock) noexcept override {
        started = true;
        lock.unlock();
        while (!release) std::this_thread::sleep_for(1ms);
        lock.lock();
    }
    bool started = false;
    std::atomic<bool> release{false};
};

TEST(SecondCore, WaitsReachCheckpointsAndDetachWaitsForTheStep) {
    HangGuard guard;
    struct Stop {};
    SecondCore core;
    Stalled task;
    core.attach(task);
    int checkpoints = 0;
    const auto start = std::chrono::steady_clock::now();
    std::unique_lock lock(core.mutex());
    EXPECT_THROW(core.wait_until(lock, [] { return false; },
                                 [&] {
                                     if (++checkpoints == 3) throw Stop{};
                                 }),
                 Stop);
    EXPECT_FALSE(lock.owns_lock());
    EXPECT_LT(std::chrono::steady_clock::now() - start, 1s);
    EXPECT_GE(std::chrono::steady_clock::now() - start, 2 * SecondCore::kWaitSlice);
    std::thread releaser([&] {
        std::this_thread::sleep_for(100ms);
        task.release = true;
    });
    const auto detaching = std::chrono::steady_clock::now();
    core.detach(task);
    EXPECT_TRUE(task.release);  // not before the step ended
    EXPECT_GE(std::chrono::steady_clock::now() - detaching, 50ms);
    releaser.join();
}

}  // namespace
}  // namespace seqtally
