#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

#include "frame.h"

namespace TessaraVolt {

// Hands a single frame from XISL's callback thread to one grab waiting on the caller's thread.
struct FrameEvent {
    std::mutex mutex;
    std::condition_variable condition;
    bool ready = false;     // guarded by mutex
    bool cancelled = false; // guarded by mutex; set by cancel(), cleared by rearm()

    // Locks the event and clears `ready`, so that only a notification that comes after the
    // scope began ends wait(). Unlocks when destroyed.
    class WaitScope {
    public:
        explicit WaitScope(FrameEvent &event);
        WaitScope(const WaitScope &) = delete;
        WaitScope &operator=(const WaitScope &) = delete;

        // Waits with the lock released until notified, cancelled or `limit` has passed.
        FrameWait wait(std::chrono::milliseconds limit);

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
};

} // namespace TessaraVolt
