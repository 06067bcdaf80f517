// SPDX-License-Identifier: LGPL-2.1-or-later
#include "sequence-threads.h"

#include "fuzz-support.h"

#include <array>
#include <thread>

namespace TessaraVoltFuzz {

namespace {

using Clock = std::chrono::steady_clock;

struct Running {
    const char *operation = nullptr; // null: the slot is free
    unsigned step = 0;
    Clock::time_point began;
};

// The main thread, the helper and a grab callback may each run one operation.
std::mutex runningMutex;
std::array<Running, 4> running; // guarded by runningMutex

[[noreturn]] void watch(std::chrono::seconds bound)
{
    for (;;) {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        std::lock_guard<std::mutex> lock(runningMutex);
        const Clock::time_point now = Clock::now();
        for (const Running &slot : running)
            FUZZ_CHECK(!slot.operation || now - slot.began < bound,
                       "watchdog: %s (step %u of the sequence) has not returned after %lld s",
                       slot.operation, slot.step, static_cast<long long>(bound.count()));
    }
}

} // namespace

Watchdog::Scope::Scope(const char *operation, unsigned step) : slot_(running.size())
{
    trace("step %u: %s", step, operation);
    std::lock_guard<std::mutex> lock(runningMutex);
    for (size_t i = 0; i < running.size(); i++) {
        if (!running[i].operation) {
            running[i] = Running{operation, step, Clock::now()};
            slot_ = i;
            return;
        }
    }
    fail("more operations at once than the watchdog has slots");
}

Watchdog::Scope::~Scope()
{
    std::lock_guard<std::mutex> lock(runningMutex);
    running[slot_].operation = nullptr;
}

void Watchdog::start(std::chrono::seconds bound)
{
    static std::once_flag started;
    std::call_once(started, [bound] { std::thread(watch, bound).detach(); });
}

Helper &Helper::get()
{
    // Never destroyed: its thread runs until the process ends.
    static Helper *const helper = [] {
        auto *created = new Helper();
        std::thread([created] { created->run(); }).detach();
        return created;
    }();
    return *helper;
}

Helper::Helper() = default;

void Helper::post(std::function<void()> task)
{
    std::lock_guard<std::mutex> lock(mutex_);
    FUZZ_CHECK(!busy_, "a task was posted before the last one finished");
    task_ = std::move(task);
    busy_ = true;
    changed_.notify_all();
}

void Helper::wait()
{
    // Unbounded here: the task runs under the watchdog, which ends a hang.
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [this] { return !busy_; });
}

void Helper::run()
{
    for (;;) {
        std::function<void()> task;
        {
            std::unique_lock<std::mutex> lock(mutex_);
            changed_.wait(lock, [this] { return static_cast<bool>(task_); });
            task = std::move(task_);
            task_ = nullptr;
        }
        task();
        std::lock_guard<std::mutex> lock(mutex_);
        busy_ = false;
        changed_.notify_all();
    }
}

} // namespace TessaraVoltFuzz
