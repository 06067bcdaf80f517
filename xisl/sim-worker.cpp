// SPDX-License-Identifier: LGPL-2.1-or-later
// Each handle's worker thread: it runs the handle's acquisitions, writes the frames and calls
// the callbacks; other threads only change its state and wake it.
#include "simulator.h"

#include "sim-content.h"

#include <algorithm>

namespace XislSim {

void Simulator::trigger(Device &device, uint32_t syncMode)
{
    if (device.state != Device::State::Running || device.syncMode != syncMode ||
        device.abortRequested)
        return;
    if (device.pendingTriggers++ == 0)
        device.triggerFrameDue = Clock::now() + readoutTime(device);
    changed_.notifyAll();
}

void Simulator::abortAndWait(Device &device, Locker &locker)
{
    if (device.state == Device::State::Idle)
        return;
    device.abortRequested = true;
    dropSteps(device);
    changed_.notifyAll();
    // From the handle's own callback the acquisition ends once that callback returns; waiting
    // here would wait for ourselves.
    if (onWorkerOf(device))
        return;
    const uint64_t target = device.started;
    changed_.wait(locker, [&]() TESSARAVOLT_REQUIRES(mutex_) {
        return device.finished >= target || device.closed;
    });
}

void Simulator::closeDevice(DevicePtr device, Locker &locker)
{
    if (!onWorkerOf(*device))
        abortAndWait(*device, locker);
    device->abortRequested = true;
    device->closed = true;
    devices_.erase(device->token);
    changed_.notifyAll();
    if (!device->worker.joinable())
        return;
    if (onWorkerOf(*device)) {
        retired_.push_back(std::move(device->worker));
        return;
    }
    std::thread worker = std::move(device->worker);
    TessaraVolt::MutexUnlocker unlocked(locker, mutex_);
    worker.join();
}

void Simulator::startWorker(const DevicePtr &device)
{
    device->worker = std::thread([this, device] { runWorker(device); });
}

void Simulator::runWorker(const DevicePtr &device)
{
    Locker locker(mutex_);
    for (;;) {
        changed_.wait(locker, [&]() TESSARAVOLT_REQUIRES(mutex_) {
            return device->closed || device->state == Device::State::Running;
        });
        if (device->closed)
            return;
        runAcquisition(*device, locker);
    }
}

void Simulator::runAcquisition(Device &device, Locker &locker)
{
    // The first frame, too, takes a whole cycle: it is exposed and read out like any other.
    Clock::time_point nextTimerFrame =
        device.startedAt +
        std::chrono::microseconds(std::max(device.cycleMicroseconds, readoutMinimum(device)));
    for (;;) {
        bool stepped = false;
        if (!waitForFrame(device, locker, nextTimerFrame, stepped))
            break;
        produceFrame(device, locker, stepped);
        if (device.abortRequested || device.closed || device.isEnding())
            break;
    }
    finishAcquisition(device, locker);
}

// Waits for the next frame's cause: a step, a trigger or pulse, or the timer. False when the
// acquisition is to end instead.
bool Simulator::waitForFrame(Device &device, Locker &locker, Clock::time_point &nextTimerFrame,
                             bool &stepped)
{
    for (;;) {
        if (device.abortRequested || device.closed)
            return false;
        if (stopsWaiting_ > 0) {
            changed_.wait(locker, [&]() TESSARAVOLT_REQUIRES(mutex_) {
                return stopsWaiting_ == 0 || device.abortRequested || device.closed;
            });
            continue;
        }
        if (device.pendingSteps > 0) {
            --device.pendingSteps;
            stepped = true;
            return true;
        }
        if (device.syncMode != XISL_SYNC_INTERNAL_TIMER) {
            Clock::time_point due;
            if (takeTrigger(device, due))
                return true;
            if (device.pendingTriggers > 0)
                changed_.waitUntil(locker, due);
            else
                changed_.wait(locker);
            continue;
        }
        if (config_.manual) {
            changed_.wait(locker);
            continue;
        }
        const auto cycle =
            std::chrono::microseconds(std::max(device.cycleMicroseconds, readoutMinimum(device)));
        const Clock::time_point now = Clock::now();
        if (now >= nextTimerFrame) {
            // Frames keep to the cycle's grid; one later than a whole cycle restarts the grid
            // rather than producing a burst to catch up.
            const bool onTime = now - nextTimerFrame < cycle;
            nextTimerFrame = (onTime ? nextTimerFrame : now) + cycle;
            return true;
        }
        changed_.waitUntil(locker, nextTimerFrame);
    }
}

bool Simulator::takeTrigger(Device &device, Clock::time_point &due)
{
    if (device.pendingTriggers == 0)
        return false;
    const Clock::time_point now = Clock::now();
    if (now < device.triggerFrameDue) {
        due = device.triggerFrameDue;
        return false;
    }
    // A trigger that came during this frame's readout is read out after it.
    if (--device.pendingTriggers > 0)
        device.triggerFrameDue = now + readoutTime(device);
    return true;
}

void Simulator::produceFrame(Device &device, Locker &locker, bool stepped)
{
    const uint32_t index = device.framesDone % device.running.frames;
    uint16_t *frame = device.buffer + index * device.getPixelCount();
    const uint32_t n = device.acquiredFrames + 1;
    const XislSimScene scene = sceneOf(device);
    {
        TessaraVolt::MutexUnlocker unlocked(locker, mutex_);
        writeFrame(frame, scene, n, panelMaps_);
    }
    if (device.closed)
        return;

    device.acquiredFrames = n;
    device.bufferFrame = index + 1;
    ++device.framesDone;
    ++counters_.framesProduced;
    device.frameHandedBack = false;
    if (device.endOfFrame) {
        const auto began = Clock::now().time_since_epoch();
        frameTimes_[n % frameTimes_.size()] =
            FrameTime{n, static_cast<uint64_t>(
                             std::chrono::duration_cast<std::chrono::nanoseconds>(began).count())};
        invokeCallback(device, locker, device.endOfFrame);
        ++counters_.endOfFrameCallbacks;
        if (!device.frameHandedBack)
            ++counters_.framesNotHandedBack;
    }
    device.frameHandedBack = true;
    if (stepped)
        ++device.stepsDelivered;
    changed_.notifyAll();
}

void Simulator::finishAcquisition(Device &device, Locker &locker)
{
    device.pendingTriggers = 0;
    if (config_.windDownMicroseconds > 0) {
        changed_.waitFor(
            locker, std::chrono::microseconds(config_.windDownMicroseconds),
            [&]() TESSARAVOLT_REQUIRES(mutex_) { return device.abortRequested || device.closed; });
    }
    if (!device.closed && device.endOfAcquisition) {
        invokeCallback(device, locker, device.endOfAcquisition);
        ++counters_.endOfAcquisitionCallbacks;
    }
    ++device.finished;
    device.abortRequested = false;
    device.state = Device::State::Idle;
    dropSteps(device);
    changed_.notifyAll();
}

void Simulator::dropSteps(Device &device)
{
    device.pendingSteps = 0;
    device.stepsRequested = device.stepsDelivered;
}

void Simulator::invokeCallback(Device &device, Locker &locker, XislCallback callback)
{
    if (device.inCallback)
        ++counters_.overlappingCallbacks;
    if (device.closed)
        ++counters_.callbacksAfterClose;
    device.inCallback = true;
    const HACQDESC handle = device.getHandle();
    {
        TessaraVolt::MutexUnlocker unlocked(locker, mutex_);
        callback(handle);
    }
    device.inCallback = false;
}

void Simulator::joinRetired(Locker &locker)
{
    std::vector<std::thread> workers = std::move(retired_);
    retired_.clear();
    TessaraVolt::MutexUnlocker unlocked(locker, mutex_);
    joinWorkers(workers);
}

void Simulator::joinWorkers(std::vector<std::thread> &workers)
{
    for (std::thread &thread : workers) {
        if (thread.get_id() == std::this_thread::get_id())
            thread.detach();
        else
            thread.join();
    }
}

} // namespace XislSim
