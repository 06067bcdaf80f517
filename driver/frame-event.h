/* SPDX-License-Identifier: LGPL-2.1-or-later */
#pragma once

#include "frame.h"
#include "mutex.h"

namespace TessaraVolt {

// Hands a single frame from XISL's callback thread to a grab waiting on the caller's thread.
// The frame goes to the waiting grab's own consumer, run on the callback thread while the
// frame is still in that thread's cache, so the grabbing thread never reads the whole frame.
//
// Grabs take turns: a Turn lasts from before its acquisition starts until after that
// acquisition has ended (aborted, if need be), so a grab queued behind it can neither start
// while the acquisition runs nor receive one of its late frames.
//
// Threads: Turn runs on grabbing threads, deliver() on XISL's callback thread, cancel() and
// rearm() on the owner's. mutex_ guards every member. The owner destroys the event only once no
// Turn is left.
class FrameEvent {
public:
    // One grab's turn. Construction waits until no other Turn holds it, unless cancelled first.
    // No lock is held between the calls, so XISL may be called freely in between.
    class Turn {
    public:
        explicit Turn(FrameEvent &event);
        ~Turn();
        Turn(const Turn &) = delete;
        Turn &operator=(const Turn &) = delete;
        Turn(Turn &&) = delete;
        Turn &operator=(Turn &&) = delete;

        // False when the event was cancelled before the turn came, or since.
        bool isLive() const;
        // From now on the next frame delivered goes to `consumer`.
        void expect(const FrameConsumer &consumer);
        // Waits until the expected frame was delivered, the event cancelled or the deadline has
        // passed. A frame that arrived wins over a cancel that came with it. The consumer is
        // never called once this returns.
        FrameWait wait(const FrameDeadline &deadline);

    private:
        FrameEvent *const event_;
        bool holdsTurn_ = false; // written by the constructor only
    };

    // XISL's callback thread: hands the frame to the waiting Turn's consumer, if one waits and
    // has none yet; otherwise the frame is dropped.
    void deliver(const Image &image);
    // Any thread: releases every waiter with FrameWait::Cancelled until rearm().
    void cancel();
    // The owner's thread, before a new acquisition is set up.
    void rearm();

private:
    Mutex mutex_;
    // Signals `ready_`, `cancelled_` and the turn becoming free.
    ConditionVariable condition_;
    bool ready_ TESSARAVOLT_GUARDED_BY(mutex_) = false;     // the destination has its frame
    bool cancelled_ TESSARAVOLT_GUARDED_BY(mutex_) = false; // set by cancel(), cleared by rearm()
    bool turnTaken_ TESSARAVOLT_GUARDED_BY(mutex_) = false; // a Turn holds it
    // The consumer of the Turn that waits for a frame right now.
    const FrameConsumer *destination_ TESSARAVOLT_GUARDED_BY(mutex_) = nullptr;
};

} // namespace TessaraVolt
