// SPDX-License-Identifier: LGPL-2.1-or-later
#include "continuous-grabber.h"

#include <algorithm>

namespace TessaraVolt {

ContinuousGrabber::~ContinuousGrabber()
{
    MutexLocker locker(mutex_);
    cancelled_ = true;
    condition_.notifyAll();
    condition_.wait(locker, [this]() TESSARAVOLT_REQUIRES(mutex_) { return waiting_ == 0; });
}

XislStatus ContinuousGrabber::start(Detector &detector, const AcquisitionOptions &options)
{
    {
        MutexLocker locker(mutex_);
        cancelled_ = false;
    }
    return detector.startContinuous([this](const Image &image) { onFrame(image); }, options);
}

FrameResult ContinuousGrabber::nextFrame(const FrameDeadline &deadline)
{
    MutexLocker locker(mutex_);
    const FrameWait status = awaitFrame(locker, deadline);
    if (status != FrameWait::Arrived)
        return {status, {}};
    return {status, Image{pixels_.data(), size_}};
}

FrameWait ContinuousGrabber::nextFrameInto(const FrameDeadline &deadline,
                                           const FrameConsumer &deliver)
{
    MutexLocker locker(mutex_);
    if (delivery_ != nullptr) {
        // Another request owns the direct hand-over; this one takes its frame from the slot.
        const FrameWait status = awaitFrame(locker, deadline);
        if (status == FrameWait::Arrived)
            deliver(Image{pixels_.data(), size_});
        return status;
    }
    delivery_ = &deliver;
    const FrameWait status = awaitFrame(locker, deadline);
    delivery_ = nullptr;
    return status;
}

FrameWait ContinuousGrabber::awaitFrame(MutexLocker &locker, const FrameDeadline &deadline)
{
    if (cancelled_)
        return FrameWait::Cancelled;
    filled_ = false; // give up the frame held, and ask for the next one
    ++waiting_;
    condition_.waitUntilLatest(
        locker, deadline, [this]() TESSARAVOLT_REQUIRES(mutex_) { return filled_ || cancelled_; });
    --waiting_;

    FrameWait status = FrameWait::Arrived;
    if (!filled_) {
        status = cancelled_ ? FrameWait::Cancelled : FrameWait::TimedOut;
        // With no request left, frames of the stream are dropped again instead of copied.
        if (waiting_ == 0)
            filled_ = true;
    }
    if (waiting_ == 0)
        condition_.notifyAll(); // the destructor may wait for the last request to leave
    return status;
}

void ContinuousGrabber::cancel()
{
    MutexLocker locker(mutex_);
    cancelled_ = true;
    condition_.notifyAll();
}

void ContinuousGrabber::onFrame(const Image &image)
{
    MutexLocker locker(mutex_);
    if (filled_)
        return;
    if (delivery_ != nullptr)
        (*delivery_)(image);
    if (delivery_ == nullptr || waiting_ > 1) {
        const size_t pixelCount = image.size.pixelCount();
        pixels_.resize(pixelCount);
        std::copy_n(image.pixels, pixelCount, pixels_.begin());
        size_ = image.size;
    }
    filled_ = true;
    condition_.notifyAll();
}

} // namespace TessaraVolt
