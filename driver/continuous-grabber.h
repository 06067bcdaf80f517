#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <vector>

#include "frame.h"
#include "xisl.h"

namespace TessaraVolt {

class Detector;

// A one-frame slot fed by a detector's continuous stream: a frame is copied only while a
// request is pending, and each request takes the next frame that completes after it began.
//
// Threads: start(), nextFrame() and cancel() run on client threads; onFrame() runs on XISL's
// callback thread. mutex guards every member below it.
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
    XislStatus start(Detector &detector);
    // Waits at most `limit` for a frame completed after the call began. The image points into
    // the grabber's own copy, left alone until the next request.
    FrameResult nextFrame(std::chrono::milliseconds limit);
    // The same request, but the frame that ends it is handed to `deliver` on XISL's callback
    // thread instead of being copied into the slot first: one whole-frame copy less per request.
    // `deliver` is never called once this returns.
    FrameWait nextFrameInto(std::chrono::milliseconds limit, const FrameConsumer &deliver);
    // Releases every waiting request with FrameWait::Cancelled; later requests return at once
    // with it until the next start().
    void cancel();
    // Requests waiting right now, for monitoring and tests.
    unsigned waitingRequests();

private:
    FrameWait awaitFrame(std::unique_lock<std::mutex> &guard, std::chrono::milliseconds limit);
    void onFrame(const Image &image);

    std::mutex mutex;
    std::condition_variable condition; // signals `filled`, `cancelled` and `waiting` reaching 0
    // Guarded by mutex. onFrame() writes the slot on XISL's callback thread only while a request
    // is pending; client threads read it through the Image nextFrame() returned.
    std::vector<uint16_t> pixels;
    FrameSize size;
    bool filled = true;     // false while a request is pending: the next frame is taken
    bool cancelled = false; // set by cancel() and the destructor, cleared by start()
    unsigned waiting = 0;   // requests inside nextFrame() or nextFrameInto()
    // The destination of the one request that waits in nextFrameInto(); others use the slot.
    const FrameConsumer *delivery = nullptr;
};

} // namespace TessaraVolt
