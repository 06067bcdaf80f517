// SPDX-License-Identifier: LGPL-2.1-or-later
// The control interface the tests and benchmarks drive the simulated detector with.
#include "simulator.h"

#include "sim-content.h"

#include <algorithm>

namespace XislSim {

void Simulator::reset()
{
    ++stopsWaiting_;
    Locker locker(mutex_);
    stopArrived();
    while (!devices_.empty())
        closeDevice(devices_.begin()->second, locker);
    joinRetired(locker);
    applyDefaults();
    log_.clear();
    std::fill(frameTimes_.begin(), frameTimes_.end(), FrameTime{});
    counters_ = XislSimCounters{};
    changed_.notifyAll();
}

int Simulator::configure(const char *text)
{
    Settings settings;
    std::string error;
    if (!text || !parseSettings(text, settings, error))
        return XISL_SIM_ERROR_ARGUMENT;
    Locker locker(mutex_);
    applySettings(settings);
    return 0;
}

int Simulator::setSensors(const XislSimSensor *sensors, size_t count)
{
    if (count > 0 && !sensors)
        return XISL_SIM_ERROR_ARGUMENT;
    for (size_t i = 0; i < count; ++i) {
        if (sensors[i].width == 0 || sensors[i].height == 0)
            return XISL_SIM_ERROR_ARGUMENT;
    }
    Locker locker(mutex_);
    config_.sensors.assign(sensors, sensors + count);
    return 0;
}

int Simulator::setContent(XislSimContent content)
{
    if (content != XISL_SIM_CONTENT_PATTERN && content != XISL_SIM_CONTENT_PHANTOM &&
        content != XISL_SIM_CONTENT_FLAT)
        return XISL_SIM_ERROR_ARGUMENT;
    Locker locker(mutex_);
    config_.content = content;
    return 0;
}

void Simulator::setSeed(uint32_t seed)
{
    Locker locker(mutex_);
    config_.seed = seed;
}

void Simulator::setBeam(uint32_t counts)
{
    Locker locker(mutex_);
    config_.beam = counts;
}

int Simulator::getScene(HACQDESC handle, XislSimScene *scene)
{
    if (!scene)
        return XISL_SIM_ERROR_ARGUMENT;
    Locker locker(mutex_);
    DevicePtr device = find(handle);
    if (!device)
        return XISL_SIM_ERROR_HANDLE;
    *scene = sceneOf(*device);
    return 0;
}

int Simulator::render(const XislSimScene *scene, uint32_t n, uint16_t *frame)
{
    if (!scene || !frame || !isValid(*scene))
        return XISL_SIM_ERROR_ARGUMENT;
    writeFrame(frame, *scene, n, panelMaps_);
    return 0;
}

void Simulator::setReadoutNsPerPixel(uint32_t nanoseconds)
{
    Locker locker(mutex_);
    config_.readoutNsPerPixel = nanoseconds;
    changed_.notifyAll();
}

void Simulator::setWindDown(uint32_t microseconds)
{
    Locker locker(mutex_);
    config_.windDownMicroseconds = microseconds;
}

void Simulator::setFirstFrameNumber(uint32_t first)
{
    Locker locker(mutex_);
    config_.firstFrame = first;
}

int Simulator::fail(const char *name, XislStatus status, unsigned nth)
{
    const std::optional<Function> function = name ? findFunction(name) : std::nullopt;
    if (!function)
        return XISL_SIM_ERROR_ARGUMENT;
    Locker locker(mutex_);
    if (status == 0) {
        faults_.erase(
            std::remove_if(faults_.begin(), faults_.end(),
                           [&](const Fault &fault) { return fault.function == *function; }),
            faults_.end());
        return 0;
    }
    faults_.push_back(Fault{*function, status, nth, 0});
    return 0;
}

void Simulator::clearFaults()
{
    Locker locker(mutex_);
    faults_.clear();
}

void Simulator::setManual(bool manual)
{
    Locker locker(mutex_);
    config_.manual = manual;
    changed_.notifyAll();
}

int Simulator::step(HACQDESC handle, unsigned frames, unsigned timeoutMs)
{
    Locker locker(mutex_);
    DevicePtr device = find(handle);
    if (!device || device->state != Device::State::Running || device->abortRequested ||
        onWorkerOf(*device))
        return XISL_SIM_ERROR_HANDLE;
    device->pendingSteps += frames;
    device->stepsRequested += frames;
    const uint64_t target = device->stepsRequested;
    changed_.notifyAll();
    changed_.waitFor(locker, std::chrono::milliseconds(timeoutMs),
                     [&]() TESSARAVOLT_REQUIRES(mutex_) {
                         return device->stepsDelivered >= target ||
                                device->state == Device::State::Idle || device->closed;
                     });
    if (device->stepsDelivered >= target)
        return 0;
    dropSteps(*device); // so that they cannot surprise a later acquisition
    return XISL_SIM_ERROR_TIMEOUT;
}

int Simulator::pulse(HACQDESC handle)
{
    Locker locker(mutex_);
    DevicePtr device = find(handle);
    if (!device)
        return XISL_SIM_ERROR_HANDLE;
    trigger(*device, XISL_SYNC_EXTERNAL_TRIGGER);
    return 0;
}

int Simulator::waitFrames(uint64_t count, unsigned timeoutMs)
{
    Locker locker(mutex_);
    const bool reached = changed_.waitFor(
        locker, std::chrono::milliseconds(timeoutMs),
        [&]() TESSARAVOLT_REQUIRES(mutex_) { return counters_.endOfFrameCallbacks >= count; });
    return reached ? 0 : XISL_SIM_ERROR_TIMEOUT;
}

int Simulator::waitIdle(HACQDESC handle, unsigned timeoutMs)
{
    Locker locker(mutex_);
    DevicePtr device = find(handle);
    if (!device || onWorkerOf(*device))
        return XISL_SIM_ERROR_HANDLE;
    const bool idle = changed_.waitFor(locker, std::chrono::milliseconds(timeoutMs), [&]() {
        return device->closed || device->finished >= device->started;
    });
    return idle ? 0 : XISL_SIM_ERROR_TIMEOUT;
}

int Simulator::frameCallbackTime(uint32_t frame, uint64_t *nanoseconds)
{
    if (!nanoseconds)
        return XISL_SIM_ERROR_ARGUMENT;
    Locker locker(mutex_);
    const FrameTime &entry = frameTimes_[frame % frameTimes_.size()];
    if (entry.nanoseconds == 0 || entry.frame != frame)
        return XISL_SIM_ERROR_ARGUMENT;
    *nanoseconds = entry.nanoseconds;
    return 0;
}

void Simulator::setCallLog(bool enabled)
{
    Locker locker(mutex_);
    logEnabled_ = enabled;
}

size_t Simulator::getCallCount()
{
    Locker locker(mutex_);
    return log_.size();
}

int Simulator::getCall(size_t index, XislSimCall *call)
{
    Locker locker(mutex_);
    if (!call || index >= log_.size())
        return XISL_SIM_ERROR_ARGUMENT;
    *call = log_[index];
    return 0;
}

void Simulator::clearCallLog()
{
    Locker locker(mutex_);
    log_.clear();
}

void Simulator::getCounters(XislSimCounters *counters)
{
    if (!counters)
        return;
    Locker locker(mutex_);
    *counters = counters_;
    counters->openHandles = static_cast<uint32_t>(devices_.size());
}

} // namespace XislSim
