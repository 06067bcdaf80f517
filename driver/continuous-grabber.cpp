#include "continuous-grabber.h"

#include <algorithm>

#include "detector.h"

namespace TessaraVolt {

ContinuousGrabber::~ContinuousGrabber()
{
    std::unique_lock<std::mutex> guard(mutex);
    cancelled = true;
    condition.notify_all();
    condition.wait(guard, [this] { return waiting == 0; });
}

XislStatus ContinuousGrabber::start(Detector &detector)
{
    {
        std::lock_guard<std::mutex> guard(mutex);
        cancelled = false;
    }
    return detector.startContinuous([this](const Image &image) { onFrame(image); });
}

FrameResult ContinuousGrabber::nextFrame(std::chrono::milliseconds limit)
{
    std::unique_lock<std::mutex> guard(mutex);
    const FrameWait status = awaitFrame(guard, limit);
    if (status != FrameWait::Arrived)
        return {status, {}};
    return {status, Image{pixels.data(), size}};
}

FrameWait ContinuousGrabber::nextFrameInto(std::chrono::milliseconds limit,
                                           const FrameConsumer &deliver)
{
    std::unique_lock<std::mutex> guard(mutex);
    if (delivery != nullptr) {
        // Another request owns the direct hand-over; this one takes its frame from the slot.
        const FrameWait status = awaitFrame(guard, limit);
        if (status == FrameWait::Arrived)
            deliver(Image{pixels.data(), size});
        return status;
    }
    delivery = &deliver;
    const FrameWait status = awaitFrame(guard, limit);
    delivery = nullptr;
    return status;
}

// Called with the lock held; returns with it held.
FrameWait ContinuousGrabber::awaitFrame(std::unique_lock<std::mutex> &guard,
                                        std::chrono::milliseconds limit)
{
    if (cancelled)
        return FrameWait::Cancelled;
    filled = false; // give up the frame held, and ask for the next one
    ++waiting;
    condition.wait_for(guard, limit, [this] { return filled || cancelled; });
    --waiting;

    FrameWait status = FrameWait::Arrived;
    if (!filled) {
        status = cancelled ? FrameWait::Cancelled : FrameWait::TimedOut;
        // With no request left, frames of the stream are dropped again instead of copied.
        if (waiting == 0)
            filled = true;
    }
    if (waiting == 0)
        condition.notify_all(); // the destructor may wait for the last request to leave
    return status;
}

void ContinuousGrabber::cancel()
{
    std::lock_guard<std::mutex> guard(mutex);
    cancelled = true;
    condition.notify_all();
}

unsigned ContinuousGrabber::waitingRequests()
{
    std::lock_guard<std::mutex> guard(mutex);
    return waiting;
}

void ContinuousGrabber::onFrame(const Image &image)
{
    std::lock_guard<std::mutex> guard(mutex);
    if (filled)
        return;
    if (delivery != nullptr)
        (*delivery)(image);
    if (delivery == nullptr || waiting > 1) {
        const uint32_t pixelCount = image.size.pixelCount();
        pixels.resize(pixelCount);
        std::copy_n(image.pixels, pixelCount, pixels.begin());
        size = image.size;
    }
    filled = true;
    condition.notify_all();
}

} // namespace TessaraVolt
