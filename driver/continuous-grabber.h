/* SPDX-License-Identifier: LGPL-2.1-or-later */
#pragma once

#include <cstdint>
#include <vector>

#include "detector.h"
#include "frame.h"
#include "mutex.h"
#include "xisl.h"

namespace TessaraVolt {

// A one-frame slot fed by a detector's continuous stream: a frame is copied only while a
// request is pending, and each request takes the next frame that completes after it began.
//
// Threads: start(), nextFrame() and cancel() run on client threads; onFrame() runs on XISL's
// callback thread. mutex_ guards every member below it.
class ContinuousGrabber {
public:
    ContinuousGrabber() = default;
    // Releases waiting requests and waits until none is left inside nextFrame(). The stream
    // feeding the grabber must have been stopped (or its detector destroyed) before.
    ~ContinuousGrabber();

    ContinuousGrabber(const ContinuousGrabber &) = delete;
    ContinuousGrabber &operator=(const ContinuousGrabber &) = delete;
    ContinuousGrabber(ContinuousGrabber &&) = delete;
    ContinuousGrabber &operator=(ContinuousGrabber &&) = delete;

    // Re-arms after a cancel() and starts the detector's stream with this grabber as consumer.
    // Returns the detector's status: non-zero means no stream runs.
    XislStatus start(Detector &detector, const AcquisitionOptions &options = {});
    // Waits until the deadline for a frame completed after the call began. The image points into
    // the grabber's own copy, left alone until the next request.
    FrameResult nextFrame(const FrameDeadline &deadline);
    // The same request, but the frame that ends it is handed to `deliver` on XISL's callback
    // thread instead of being copied into the slot first: one whole-frame copy less per request.
    // `deliver` is never called once this returns.
    FrameWait nextFrameInto(const FrameDeadline &deadline, const FrameConsumer &deliver);
    // Releases every waiting request with FrameWait::Cancelled; later requests return at once
    // with it until the next start().
    void cancel();

private:
    // The tests' probe counts waiting requests; the library itself has no use for the count.
    friend class ContinuousGrabberProbe;

    FrameWait awaitFrame(MutexLocker &locker, const FrameDeadline &deadline)
        TESSARAVOLT_REQUIRES(mutex_);
    void onFrame(const Image &image);

    Mutex mutex_;
    ConditionVariable condition_; // signals `filled_`, `cancelled_` and `waiting_` reaching 0
    // onFrame() writes the slot on XISL's callback thread only while a request is pending;
    // client threads read it through the Image nextFrame() returned.
    std::vector<uint16_t> pixels_ TESSARAVOLT_GUARDED_BY(mutex_);
    FrameSize size_ TESSARAVOLT_GUARDED_BY(mutex_);
    // False while a request is pending: the next frame is taken.
    bool filled_ TESSARAVOLT_GUARDED_BY(mutex_) = true;
    // Set by cancel() and the destructor, cleared by start().
    bool cancelled_ TESSARAVOLT_GUARDED_BY(mutex_) = false;
    // Requests inside nextFrame() or nextFrameInto().
    unsigned waiting_ TESSARAVOLT_GUARDED_BY(mutex_) = 0;
    // The destination of the one request that waits in nextFrameInto(); others use the slot.
    const FrameConsumer *delivery_ TESSARAVOLT_GUARDED_BY(mutex_) = nullptr;
};

} // namespace TessaraVolt
