// SPDX-License-Identifier: LGPL-2.1-or-later
// The simulator's shared state: set-up, handle look-up, readout times, and the prologue and log
// of the XISL calls.
#include "simulator.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <utility>

namespace XislSim {

namespace {

constexpr bool namesFitCallLog()
{
    for (std::string_view name : kFunctionNames) {
        if (name.size() >= sizeof(XislSimCall::function))
            return false;
    }
    return true;
}
static_assert(namesFitCallLog(), "the call log holds every XISL name whole");

XislSimSensor defaultSensor()
{
    return makeSensor(0, 1024, 1024, 14);
}

} // namespace

Simulator &Simulator::getInstance()
{
    static Simulator simulator;
    return simulator;
}

Simulator::Simulator()
{
    Locker locker(mutex_);
    log_.reserve(XISL_SIM_LOG_CAPACITY);
    frameTimes_.resize(XISL_SIM_FRAME_TIME_CAPACITY);
    applyDefaults();
    applyEnvironment();
}

// At exit no callback runs any more: their owners may already be gone.
Simulator::~Simulator()
{
    std::vector<std::thread> workers;
    {
        Locker locker(mutex_);
        for (auto &[token, device] : devices_) {
            device->closed = true;
            if (device->worker.joinable())
                workers.push_back(std::move(device->worker));
        }
        for (std::thread &thread : retired_)
            workers.push_back(std::move(thread));
        retired_.clear();
        changed_.notifyAll();
    }
    joinWorkers(workers);
}

void Simulator::stopArrived()
{
    --stopsWaiting_;
    changed_.notifyAll(); // a worker may be holding back for this caller
}

void Simulator::applyDefaults()
{
    config_ = Config{};
    config_.sensors = {defaultSensor()};
    enumerated_ = config_.sensors;
    faults_.clear();
    logEnabled_ = true;
}

void Simulator::applyEnvironment()
{
    const char *text = std::getenv("XISL_SIM");
    if (!text)
        return;
    Settings settings;
    std::string error;
    if (!parseSettings(text, settings, error)) {
        std::fprintf(stderr, "xislsim: %s; XISL_SIM ignored\n", error.c_str());
        return;
    }
    applySettings(settings);
}

void Simulator::applySettings(const Settings &settings)
{
    if (settings.sensors)
        config_.sensors = enumerated_ = *settings.sensors;
    if (settings.content)
        config_.content = *settings.content;
    if (settings.seed)
        config_.seed = *settings.seed;
    if (settings.beam)
        config_.beam = *settings.beam;
    if (settings.readoutNsPerPixel)
        config_.readoutNsPerPixel = *settings.readoutNsPerPixel;
    if (settings.firstFrame)
        config_.firstFrame = *settings.firstFrame;
    // The parser accepts only the names of XISL calls.
    for (const Failure &failure : settings.failures)
        faults_.push_back(Fault{*findFunction(failure.function), failure.status, 0, 0});
}

Simulator::DevicePtr Simulator::find(HACQDESC handle) const
{
    auto it = devices_.find(reinterpret_cast<uintptr_t>(handle));
    return it == devices_.end() ? nullptr : it->second;
}

XislSimScene Simulator::sceneOf(const Device &device) const
{
    return XislSimScene{config_.content,      config_.seed,   device.sensor.width,
                        device.sensor.height, device.binning, config_.beam};
}

bool Simulator::onWorkerOf(const Device &device) const
{
    return device.worker.get_id() == std::this_thread::get_id();
}

std::chrono::microseconds Simulator::readoutTime(const Device &device) const
{
    return std::chrono::microseconds(readoutMinimum(device));
}

uint32_t Simulator::readoutMinimum(const Device &device) const
{
    uint64_t minimum = device.getPixelCount() * config_.readoutNsPerPixel / 1000;
    return static_cast<uint32_t>(std::min<uint64_t>(minimum, std::numeric_limits<uint32_t>::max()));
}

Simulator::Call::Call(Simulator &self, Function called, HACQDESC target)
    : function(called), handle(target), device(self.find(target)), status(0)
{
    if (!device) {
        ++self.counters_.callsOnClosedHandles;
        status = XISL_SIM_ERROR_HANDLE;
        return;
    }
    status = self.faultFor(function);
    if (status)
        device.reset();
}

Simulator::Call::Call(Simulator &self, Function called)
    : function(called), handle(nullptr), status(self.faultFor(called))
{
}

XislStatus Simulator::finish(const Call &call, std::initializer_list<uint64_t> args,
                             uint64_t result)
{
    record(call.function, call.handle, args, call.status, call.status ? 0 : result);
    return call.status;
}

XislStatus Simulator::faultFor(Function function)
{
    XislStatus status = 0;
    for (auto it = faults_.begin(); it != faults_.end();) {
        if (it->function != function) {
            ++it;
            continue;
        }
        ++it->calls;
        if (it->nth == 0 || it->calls == it->nth) {
            status = status ? status : it->status;
            if (it->nth != 0) {
                it = faults_.erase(it);
                continue;
            }
        }
        ++it;
    }
    return status;
}

void Simulator::record(Function function, HACQDESC handle, std::initializer_list<uint64_t> args,
                       XislStatus status, uint64_t result)
{
    if (!logEnabled_ || log_.size() >= XISL_SIM_LOG_CAPACITY)
        return;
    XislSimCall call{};
    std::snprintf(call.function, sizeof(call.function), "%s", getFunctionName(function));
    call.handle = handle;
    std::copy_n(args.begin(), std::min<size_t>(args.size(), 6), call.args);
    call.result = result;
    call.status = status;
    log_.push_back(call);
}

} // namespace XislSim
