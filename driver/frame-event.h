#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

#include "frame.h"

namespace TessaraVolt {

// Hands a single frame from XISL's callback thread to a grab waiting on the caller's thread.
// The frame goes to the waiting grab's own consumer, run on the callback thread while the
// frame is still in that thread's cache, so the grabbing thread never reads the whole frame.
//
// Threads: WaitScope runs on grabbing threads, deliver() on XISL's callback thread, cancel()
// on any thread, rearm() and waitUntilUnused() on the owner's thread. mutex guards every member.
struct FrameEvent {
    std::mutex mutex;
    // Signals `ready`, `cancelled`, `destination` becoming free and `waiters` reaching 0.
    std::condition_variable condition;
    bool ready = false;     // guarded by mutex; the destination has its frame
    bool cancelled = false; // guarded by mutex; set by cancel(), cleared by rearm()
    unsigned waiters = 0;   // guarded by mutex; live WaitScopes
    // Guarded by mutex: the consumer of the one scope that waits for a frame right now.
    const FrameConsumer *destination = nullptr;

    // Locks the event and, once no other scope waits for a frame, makes `consumer` the
    // destination of the next frame delivered; unless cancelled first. The scope counts as a
    // waiter until it is destroyed, even after unlock(), so that the owner can wait for it to
    // leave.
    class WaitScope {
    public:
        WaitScope(FrameEvent &event, const FrameConsumer &consumer);
        ~WaitScope();
        WaitScope(const WaitScope &) = delete;
        WaitScope &operator=(const WaitScope &) = delete;
        WaitScope(WaitScope &&) = delete;
        WaitScope &operator=(WaitScope &&) = delete;

        // Waits with the lock released until the frame was delivered, the event cancelled or
        // `limit` has passed. A frame that arrived wins over a cancel that came with it. The
        // consumer is never called once this returns.
        FrameWait wait(std::chrono::milliseconds limit);
        // Releases the lock early, e.g. to abort an acquisition whose callback takes it.
        void unlock();

    private:
        void release();

        FrameEvent *event;
        const FrameConsumer *consumer;
        std::unique_lock<std::mutex> lock;
    };

    // XISL's callback thread: hands the frame to the waiting scope's consumer, if a scope
    // waits and has none yet; otherwise the frame is dropped.
    void deliver(const Image &image);
    // Any thread: releases every waiter with FrameWait::Cancelled until rearm().
    void cancel();
    // Caller's thread, at acquisition set-up.
    void rearm();
    // Owner's thread, before destruction: returns once no WaitScope is left.
    void waitUntilUnused();
};

} // namespace TessaraVolt
