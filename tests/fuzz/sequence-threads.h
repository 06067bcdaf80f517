/* SPDX-License-Identifier: LGPL-2.1-or-later */
// The sequence fuzzer's two threads besides its own: a watchdog that aborts when an operation
// outlasts its bound, and a helper that runs one operation beside the main thread's.
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>

namespace TessaraVoltFuzz {

// Operations register while they run; one still running after `bound` aborts the process with
// its name, so that libFuzzer keeps the input as a crash instead of waiting for its own time-out.
class Watchdog {
public:
    // Marks one operation under way on the calling thread for its lifetime.
    class Scope {
    public:
        Scope(const char *operation, unsigned step);
        ~Scope();
        Scope(const Scope &) = delete;
        Scope &operator=(const Scope &) = delete;

    private:
        size_t slot_;
    };

    // Starts the watching thread once; it lives as long as the process.
    static void start(std::chrono::seconds bound);
};

// One thread that runs a task beside the caller's. Any thread may post; one task at a time.
class Helper {
public:
    static Helper &get();

    // Runs `task` on the helper's thread; the previous one must have finished.
    void post(std::function<void()> task);
    // Returns once the task posted last has returned.
    void wait();

private:
    Helper();
    void run();

    std::mutex mutex_;
    std::condition_variable changed_; // signals `task_` set or `busy_` cleared
    std::function<void()> task_;      // guarded by mutex_: posted, not yet taken
    bool busy_ = false;               // guarded by mutex_: posted or running
};

} // namespace TessaraVoltFuzz
