// SPDX-License-Identifier: LGPL-2.1-or-later
#include "frame-event.h"

namespace TessaraVolt {

FrameEvent::Turn::Turn(FrameEvent &owner) : event_(&owner)
{
    MutexLocker locker(event_->mutex_);
    event_->condition_.wait(locker, [this]() TESSARAVOLT_REQUIRES(event_->mutex_) {
        return !event_->turnTaken_ || event_->cancelled_;
    });
    if (event_->cancelled_)
        return;
    event_->turnTaken_ = true;
    holdsTurn_ = true;
}

FrameEvent::Turn::~Turn()
{
    if (!holdsTurn_)
        return;
    MutexLocker locker(event_->mutex_);
    event_->destination_ = nullptr;
    event_->turnTaken_ = false;
    event_->condition_.notifyAll(); // the next Turn
}

bool FrameEvent::Turn::isLive() const
{
    MutexLocker locker(event_->mutex_);
    return holdsTurn_ && !event_->cancelled_;
}

void FrameEvent::Turn::expect(const FrameConsumer &consumer)
{
    MutexLocker locker(event_->mutex_);
    event_->destination_ = &consumer;
    event_->ready_ = false;
}

FrameWait FrameEvent::Turn::wait(const FrameDeadline &deadline)
{
    MutexLocker locker(event_->mutex_);
    event_->condition_.waitUntilLatest(locker, deadline,
                                       [this]() TESSARAVOLT_REQUIRES(event_->mutex_) {
                                           return event_->ready_ || event_->cancelled_;
                                       });
    const bool arrived = event_->ready_ && event_->destination_ != nullptr;
    event_->destination_ = nullptr; // a late frame is dropped
    if (arrived)
        return FrameWait::Arrived;
    return event_->cancelled_ ? FrameWait::Cancelled : FrameWait::TimedOut;
}

void FrameEvent::deliver(const Image &image)
{
    {
        MutexLocker locker(mutex_);
        if (destination_ == nullptr || ready_)
            return;
        (*destination_)(image);
        ready_ = true;
    }
    condition_.notifyAll();
}

void FrameEvent::cancel()
{
    {
        MutexLocker locker(mutex_);
        cancelled_ = true;
    }
    condition_.notifyAll();
}

void FrameEvent::rearm()
{
    MutexLocker locker(mutex_);
    cancelled_ = false;
}

} // namespace TessaraVolt
