#include "frame-event.h"

namespace TessaraVolt {

FrameEvent::Turn::Turn(FrameEvent &owner) : event(&owner)
{
    std::unique_lock<std::mutex> lock(event->mutex);
    ++event->waiters;
    event->condition.wait(lock, [this] { return !event->turnTaken || event->cancelled; });
    if (event->cancelled)
        return;
    event->turnTaken = true;
    holdsTurn = true;
}

FrameEvent::Turn::~Turn()
{
    std::lock_guard<std::mutex> lock(event->mutex);
    --event->waiters;
    if (holdsTurn) {
        event->destination = nullptr;
        event->turnTaken = false;
    }
    // Wakes the next Turn, or the owner waiting for the last one to leave. Under the lock: once
    // it is released, the owner may destroy the event.
    event->condition.notify_all();
}

bool FrameEvent::Turn::live() const
{
    std::lock_guard<std::mutex> lock(event->mutex);
    return holdsTurn && !event->cancelled;
}

void FrameEvent::Turn::expect(const FrameConsumer &consumer)
{
    std::lock_guard<std::mutex> lock(event->mutex);
    event->destination = &consumer;
    event->ready = false;
}

FrameWait FrameEvent::Turn::wait(std::chrono::milliseconds limit)
{
    std::unique_lock<std::mutex> lock(event->mutex);
    event->condition.wait_for(lock, limit, [this] { return event->ready || event->cancelled; });
    const bool arrived = event->ready && event->destination != nullptr;
    event->destination = nullptr; // a late frame is dropped
    if (arrived)
        return FrameWait::Arrived;
    return event->cancelled ? FrameWait::Cancelled : FrameWait::TimedOut;
}

void FrameEvent::deliver(const Image &image)
{
    {
        std::lock_guard<std::mutex> guard(mutex);
        if (destination == nullptr || ready)
            return;
        (*destination)(image);
        ready = true;
    }
    condition.notify_all();
}

void FrameEvent::cancel()
{
    {
        std::lock_guard<std::mutex> guard(mutex);
        cancelled = true;
    }
    condition.notify_all();
}

void FrameEvent::rearm()
{
    std::lock_guard<std::mutex> guard(mutex);
    cancelled = false;
}

void FrameEvent::waitUntilUnused()
{
    std::unique_lock<std::mutex> guard(mutex);
    condition.wait(guard, [this] { return waiters == 0; });
}

} // namespace TessaraVolt
