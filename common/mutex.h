/* SPDX-License-Identifier: LGPL-2.1-or-later */
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

// clang's thread-safety analysis (-Wthread-safety) checks at compile time that a member marked
// TESSARAVOLT_GUARDED_BY(m) is only touched with m held, and that a function marked
// TESSARAVOLT_REQUIRES(m) is only called with it held. Other compilers see nothing. Prefixed, so
// that they cannot clash with another header's macros of the same purpose.
#if defined(__clang__)
#define TESSARAVOLT_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define TESSARAVOLT_THREAD_ANNOTATION(x)
#endif

#define TESSARAVOLT_CAPABILITY(name) TESSARAVOLT_THREAD_ANNOTATION(capability(name))
#define TESSARAVOLT_SCOPED_CAPABILITY TESSARAVOLT_THREAD_ANNOTATION(scoped_lockable)
#define TESSARAVOLT_GUARDED_BY(mutex) TESSARAVOLT_THREAD_ANNOTATION(guarded_by(mutex))
#define TESSARAVOLT_REQUIRES(...) TESSARAVOLT_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define TESSARAVOLT_EXCLUDES(...) TESSARAVOLT_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
#define TESSARAVOLT_ACQUIRE(...) TESSARAVOLT_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define TESSARAVOLT_RELEASE(...) TESSARAVOLT_THREAD_ANNOTATION(release_capability(__VA_ARGS__))

namespace TessaraVolt {

// std::mutex, known to the analysis as a capability; MutexLocker locks it.
class TESSARAVOLT_CAPABILITY("mutex") Mutex {
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

// Holds a Mutex for its scope; a ConditionVariable or a MutexUnlocker releases it meanwhile.
class TESSARAVOLT_SCOPED_CAPABILITY MutexLocker {
public:
    explicit MutexLocker(Mutex &mutex) TESSARAVOLT_ACQUIRE(mutex) : lock_(mutex.mutex_) {}
    ~MutexLocker() TESSARAVOLT_RELEASE() {}

    MutexLocker(const MutexLocker &) = delete;
    MutexLocker &operator=(const MutexLocker &) = delete;
    MutexLocker(MutexLocker &&) = delete;
    MutexLocker &operator=(MutexLocker &&) = delete;

private:
    friend class ConditionVariable;
    friend class MutexUnlocker;
    std::unique_lock<std::mutex> lock_;
};

// Releases the Mutex a MutexLocker holds for its own scope: for a function that runs with the
// lock held (TESSARAVOLT_REQUIRES) but must call out without it. The Mutex is named again so
// that the analysis knows which capability leaves and comes back.
class TESSARAVOLT_SCOPED_CAPABILITY MutexUnlocker {
public:
    MutexUnlocker(MutexLocker &locker, [[maybe_unused]] Mutex &mutex) TESSARAVOLT_RELEASE(mutex)
        : locker_(locker)
    {
        locker_.lock_.unlock();
    }
    ~MutexUnlocker() TESSARAVOLT_RELEASE() { locker_.lock_.lock(); }

    MutexUnlocker(const MutexUnlocker &) = delete;
    MutexUnlocker &operator=(const MutexUnlocker &) = delete;
    MutexUnlocker(MutexUnlocker &&) = delete;
    MutexUnlocker &operator=(MutexUnlocker &&) = delete;

private:
    MutexLocker &locker_;
};

// std::condition_variable over a MutexLocker. The analysis cannot see that a predicate runs with
// the mutex held, so predicates that read guarded members say so:
// [this]() TESSARAVOLT_REQUIRES(mutex_) {...}.
class ConditionVariable {
public:
    ConditionVariable() = default;
    ConditionVariable(const ConditionVariable &) = delete;
    ConditionVariable &operator=(const ConditionVariable &) = delete;
    ConditionVariable(ConditionVariable &&) = delete;
    ConditionVariable &operator=(ConditionVariable &&) = delete;

    void notifyAll() noexcept { condition_.notify_all(); }

    void wait(MutexLocker &locker) { condition_.wait(locker.lock_); }

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

    template <typename Clock, typename Duration, typename Predicate>
    bool waitUntil(MutexLocker &locker, const std::chrono::time_point<Clock, Duration> &deadline,
                   Predicate stopWaiting)
    {
        return condition_.wait_until(locker.lock_, deadline, stopWaiting);
    }

    template <typename Clock, typename Duration>
    void waitUntil(MutexLocker &locker, const std::chrono::time_point<Clock, Duration> &deadline)
    {
        condition_.wait_until(locker.lock_, deadline);
    }

    // As waitUntil, for a deadline that may move later while the wait runs: `deadline()` is asked
    // again once the time it gave has passed, and the wait goes on if it has moved.
    template <typename Deadline, typename Predicate>
    bool waitUntilLatest(MutexLocker &locker, const Deadline &deadline, Predicate stopWaiting)
    {
        for (auto due = deadline();;) {
            if (waitUntil(locker, due, stopWaiting))
                return true;
            const auto later = deadline();
            if (later <= due)
                return false;
            due = later;
        }
    }

private:
    std::condition_variable condition_;
};

} // namespace TessaraVolt
