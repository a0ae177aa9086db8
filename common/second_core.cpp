#include "second_core.h"

#include <algorithm>

namespace seqtally {

SecondCore::~SecondCore() {
    {
        std::lock_guard lock(mutex_);
        stop_ = true;
    }
    changed_.notify_all();
    if (thread_.joinable()) thread_.join();
}

void SecondCore::attach(Task& task) {
    std::lock_guard lock(mutex_);
    tasks_.push_back(&task);
    if (!thread_.joinable()) thread_ = std::thread([this] { work(); });
}

void SecondCore::detach(Task& task) {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [&] { return !task.running_; });
    std::erase(tasks_, &task);
}

bool SecondCore::claim(Task& task) noexcept {
    if (task.running_) return false;
    task.running_ = true;
    return true;
}

void SecondCore::release(Task& task) noexcept {
    task.running_ = false;
    changed_.notify_all();
}

SecondCore::Task* SecondCore::ready_task(bool caller) const noexcept {
    for (Task* task : tasks_) {
        if (task->running_) continue;
        if (caller ? task->caller_helps_ && task->ready_for_caller() : task->ready()) return task;
    }
    return nullptr;
}

void SecondCore::run(Task& task, std::unique_lock<std::mutex>& lock) noexcept {
    task.running_ = true;
    task.step(lock);
    release(task);
}

void SecondCore::work() noexcept {
    std::unique_lock lock(mutex_);
    for (;;) {
        Task* task = nullptr;
        changed_.wait(lock, [&] { return stop_ || (task = ready_task(false)) != nullptr; });
        if (stop_) return;
        run(*task, lock);
    }
}

}  // namespace seqtally
