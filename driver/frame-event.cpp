#include "frame-event.h"

namespace TessaraVolt {

FrameEvent::WaitScope::WaitScope(FrameEvent &owner, const FrameConsumer &frameConsumer)
    : event(&owner), consumer(&frameConsumer), lock(owner.mutex)
{
    ++event->waiters;
    // A grab started by another thread keeps its destination until its wait ends.
    event->condition.wait(lock,
                          [this] { return event->destination == nullptr || event->cancelled; });
    if (event->cancelled)
        return;
    event->destination = consumer;
    event->ready = false;
}

FrameEvent::WaitScope::~WaitScope()
{
    if (!lock.owns_lock())
        lock.lock();
    release();
    if (--event->waiters == 0)
        event->condition.notify_all();
}

FrameWait FrameEvent::WaitScope::wait(std::chrono::milliseconds limit)
{
    event->condition.wait_for(lock, limit, [this] { return event->ready || event->cancelled; });
    const bool arrived = event->ready && event->destination == consumer;
    release();
    if (arrived)
        return FrameWait::Arrived;
    return event->cancelled ? FrameWait::Cancelled : FrameWait::TimedOut;
}

void FrameEvent::WaitScope::unlock()
{
    lock.unlock();
}

// Called with the lock held.
void FrameEvent::WaitScope::release()
{
    if (event->destination != consumer)
        return;
    event->destination = nullptr;
    event->condition.notify_all(); // a grab queued behind this one may go on
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
