/* SPDX-License-Identifier: LGPL-2.1-or-later */
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

// clang's thread-safety analysis (-Wthread-safety) checks at compile time that a member marked
// GUARDED_BY(m) is only touched with m held, and that a function marked REQUIRES(m) is only
// called with it held. Other compilers see nothing.
#if defined(__clang__)
#define TESSARAVOLT_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define TESSARAVOLT_THREAD_ANNOTATION(x)
#endif

#define CAPABILITY(name) TESSARAVOLT_THREAD_ANNOTATION(capability(name))
#define SCOPED_CAPABILITY TESSARAVOLT_THREAD_ANNOTATION(scoped_lockable)
#define GUARDED_BY(mutex) TESSARAVOLT_THREAD_ANNOTATION(guarded_by(mutex))
#define REQUIRES(...) TESSARAVOLT_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define ACQUIRE(...) TESSARAVOLT_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define RELEASE(...) TESSARAVOLT_THREAD_ANNOTATION(release_capability(__VA_ARGS__))

namespace TessaraVolt {

// std::mutex, known to the analysis as a capability; MutexLocker locks it.
class CAPABILITY("mutex") Mutex {
public:
    Mutex() = default;
    Mutex(const Mutex &) = delete;
    Mutex &operator=(const Mutex &) = delete;
    Mutex(Mutex &&) = delete;
    Mutex &operator=(Mutex &&) = delete;

private:
    friend class MutexLocker;
    std::mutex mutex_;
};

// Holds a Mutex for its scope; a ConditionVariable releases it while waiting.
class SCOPED_CAPABILITY MutexLocker {
public:
    explicit MutexLocker(Mutex &mutex) ACQUIRE(mutex) : lock_(mutex.mutex_) {}
    ~MutexLocker() RELEASE() {}

    MutexLocker(const MutexLocker &) = delete;
    MutexLocker &operator=(const MutexLocker &) = delete;
    MutexLocker(MutexLocker &&) = delete;
    MutexLocker &operator=(MutexLocker &&) = delete;

private:
    friend class ConditionVariable;
    std::unique_lock<std::mutex> lock_;
};

// std::condition_variable over a MutexLocker. The analysis cannot see that a predicate runs with
// the mutex held, so predicates that read guarded members say so: [this]() REQUIRES(mutex_) {...}.
class ConditionVariable {
public:
    ConditionVariable() = default;
    ConditionVariable(const ConditionVariable &) = delete;
    ConditionVariable &operator=(const ConditionVariable &) = delete;
    ConditionVariable(ConditionVariable &&) = delete;
    ConditionVariable &operator=(ConditionVariable &&) = delete;

    void notifyAll() noexcept { condition_.notify_all(); }

    template <typename Predicate> void wait(MutexLocker &locker, Predicate stopWaiting)
    {
        condition_.wait(locker.lock_, stopWaiting);
    }

    // Returns the predicate's last value, as std::condition_variable::wait_for does.
    template <typename Rep, typename Period, typename Predicate>
    bool waitFor(MutexLocker &locker, const std::chrono::duration<Rep, Period> &limit,
                 Predicate stopWaiting)
    {
        return condition_.wait_for(locker.lock_, limit, stopWaiting);
    }

private:
    std::condition_variable condition_;
};

} // namespace TessaraVolt
