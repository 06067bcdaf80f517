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

void ContinuousGrabber::start(Detector &detector)
{
    {
        std::lock_guard<std::mutex> guard(mutex);
        cancelled = false;
    }
    detector.startContinuous([this](const Image &image) { onFrame(image); });
}

FrameResult ContinuousGrabber::nextFrame(std::chrono::milliseconds limit)
{
    std::unique_lock<std::mutex> guard(mutex);
    if (cancelled)
        return {FrameWait::Cancelled, {}};
    filled = false; // give up the frame held, and ask for the next one
    ++waiting;
    condition.wait_for(guard, limit, [this] { return filled || cancelled; });
    --waiting;

    FrameResult result;
    if (filled) {
        result = {FrameWait::Arrived, Image{pixels.data(), size}};
    } else {
        result.status = cancelled ? FrameWait::Cancelled : FrameWait::TimedOut;
        // With no request left, frames of the stream are dropped again instead of copied.
        if (waiting == 0)
            filled = true;
    }
    if (waiting == 0)
        condition.notify_all(); // the destructor may wait for the last request to leave
    return result;
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
    const uint32_t pixelCount = image.size.pixelCount();
    pixels.resize(pixelCount);
    std::copy_n(image.pixels, pixelCount, pixels.begin());
    size = image.size;
    filled = true;
    condition.notify_all();
}

} // namespace TessaraVolt
