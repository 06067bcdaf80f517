#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

#include "frame.h"

namespace TessaraVolt {

// Hands a single frame from XISL's callback thread to a grab waiting on the caller's thread.
//
// Threads: WaitScope runs on the grabbing thread, notify() on XISL's callback thread, cancel()
// on any thread, rearm() and waitUntilUnused() on the owner's thread. mutex guards every flag.
struct FrameEvent {
    std::mutex mutex;
    std::condition_variable condition; // signals `ready`, `cancelled` and `waiters` reaching 0
    bool ready = false;     // guarded by mutex
    bool cancelled = false; // guarded by mutex; set by cancel(), cleared by rearm()
    unsigned waiters = 0;   // guarded by mutex; live WaitScopes

    // Locks the event and clears `ready`, so that only a notification that comes after the
    // scope began ends wait(). The scope counts as a waiter until it is destroyed, even after
    // unlock(), so that the event's owner can wait for it to leave.
    class WaitScope {
    public:
        explicit WaitScope(FrameEvent &event);
        ~WaitScope();
        WaitScope(const WaitScope &) = delete;
        WaitScope &operator=(const WaitScope &) = delete;
        WaitScope(WaitScope &&) = delete;
        WaitScope &operator=(WaitScope &&) = delete;

        // Waits with the lock released until notified, cancelled or `limit` has passed. A frame
        // that arrived wins over a cancel that came with it.
        FrameWait wait(std::chrono::milliseconds limit);
        // Releases the lock early, e.g. to abort an acquisition whose callback takes it.
        void unlock();

    private:
        FrameEvent *event;
        std::unique_lock<std::mutex> lock;
    };

    // XISL's callback thread: a frame has arrived.
    void notify();
    // Any thread: releases every waiter with FrameWait::Cancelled until rearm().
    void cancel();
    // Caller's thread, at acquisition set-up.
    void rearm();
    // Owner's thread, before destruction: returns once no WaitScope is left.
    void waitUntilUnused();
};

} // namespace TessaraVolt
