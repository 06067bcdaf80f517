#include "frame-event.h"

namespace TessaraVolt {

FrameEvent::WaitScope::WaitScope(FrameEvent &owner) : event(&owner), lock(owner.mutex)
{
    event->ready = false;
    ++event->waiters;
}

FrameEvent::WaitScope::~WaitScope()
{
    if (!lock.owns_lock())
        lock.lock();
    if (--event->waiters == 0)
        event->condition.notify_all();
}

FrameWait FrameEvent::WaitScope::wait(std::chrono::milliseconds limit)
{
    event->condition.wait_for(lock, limit, [this] { return event->ready || event->cancelled; });
    if (event->ready)
        return FrameWait::Arrived;
    return event->cancelled ? FrameWait::Cancelled : FrameWait::TimedOut;
}

void FrameEvent::WaitScope::unlock()
{
    lock.unlock();
}

void FrameEvent::notify()
{
    {
        std::lock_guard<std::mutex> guard(mutex);
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
