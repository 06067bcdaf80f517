// SPDX-License-Identifier: LGPL-2.1-or-later
// The XISL calls. Each passes the shared prologue (handle, injected faults) first, then checks
// its arguments; a failing call changes nothing.
#include "simulator.h"

#include <algorithm>
#include <cstring>

namespace XislSim {

namespace {

constexpr uintptr_t kFirstToken = 0x5100000;

uint64_t address(const void *pointer)
{
    return reinterpret_cast<uintptr_t>(pointer);
}

uint64_t address(XislCallback callback)
{
    return reinterpret_cast<uintptr_t>(callback);
}

} // namespace

XislStatus Simulator::enumSensors(UINT *count)
{
    Locker locker(mutex_);
    Call call(*this, Function::EnumSensors);
    if (call.ok() && !count)
        call.status = XISL_SIM_ERROR_ARGUMENT;
    if (!call.ok())
        return finish(call, {address(count)});
    enumerated_ = config_.sensors;
    *count = static_cast<UINT>(enumerated_.size());
    return finish(call, {address(count)}, *count);
}

XislStatus Simulator::getNextSensor(ACQDESCPOS *cursor, HACQDESC *handle)
{
    Locker locker(mutex_);
    Call call(*this, Function::GetNextSensor);
    const uint64_t in = cursor ? *cursor : 0;
    if (call.ok() && (!cursor || !handle))
        call.status = XISL_SIM_ERROR_ARGUMENT;
    if (call.ok() && *cursor >= enumerated_.size())
        call.status = XISL_SIM_ERROR_NO_SENSOR;
    if (!call.ok())
        return finish(call, {in, address(handle)});

    auto device = std::make_shared<Device>();
    device->token = kFirstToken + 16 * nextToken_++;
    device->sensor = enumerated_[*cursor];
    device->acquiredFrames = config_.firstFrame - 1;
    devices_.emplace(device->token, device);
    *cursor = *cursor + 1 < enumerated_.size() ? *cursor + 1 : 0;
    *handle = device->getHandle();
    call.handle = *handle;
    return finish(call, {in, address(handle)}, *cursor);
}

XislStatus Simulator::getHeader(Function function, HACQDESC handle, XislHwHeaderInfo *header,
                                XislHwHeaderInfoEx *extended)
{
    Locker locker(mutex_);
    Call call(*this, function, handle);
    const bool wantsExtended = function != Function::GetHwHeaderInfo;
    if (call.ok() && (!header || (wantsExtended && !extended)))
        call.status = XISL_SIM_ERROR_ARGUMENT;
    if (!call.ok())
        return finish(call, {address(header), address(extended)});

    const Device &device = *call.device;
    std::memset(header, 0, sizeof(*header));
    header->promId = device.sensor.promId;
    header->headerId = device.sensor.headerId;
    header->rows = device.getHeight();
    header->columns = device.getWidth();
    if (wantsExtended) {
        std::memset(extended, 0, sizeof(*extended));
        extended->headerId = device.sensor.extendedHeaderId;
        extended->cameraType = device.sensor.cameraType;
    }
    return finish(call, {address(header), address(extended)});
}

XislStatus Simulator::close(HACQDESC handle)
{
    ++stopsWaiting_;
    Locker locker(mutex_);
    stopArrived();
    Call call(*this, Function::Close, handle);
    if (call.ok())
        closeDevice(call.device, locker);
    return finish(call, {});
}

XislStatus Simulator::setBinning(HACQDESC handle, WORD mode)
{
    Locker locker(mutex_);
    Call call(*this, Function::SetCameraBinningMode, handle);
    if (call.ok() && mode != XISL_BINNING_NONE && mode != XISL_BINNING_2X2)
        call.status = XISL_SIM_ERROR_ARGUMENT;
    else if (call.ok() && call.device->state != Device::State::Idle)
        call.status = XISL_SIM_ERROR_BUSY; // the buffers are sized for the running frame size
    if (call.ok())
        call.device->binning = mode;
    return finish(call, {mode});
}

XislStatus Simulator::defineDestBuffers(HACQDESC handle, unsigned short *buffer, UINT frames,
                                        UINT rows, UINT columns)
{
    Locker locker(mutex_);
    Call call(*this, Function::DefineDestBuffers, handle);
    Device *device = call.device.get();
    if (call.ok() &&
        (!buffer || frames == 0 || rows != device->getHeight() || columns != device->getWidth()))
        call.status = XISL_SIM_ERROR_ARGUMENT;
    else if (call.ok() && device->state != Device::State::Idle)
        call.status = XISL_SIM_ERROR_BUSY; // the worker writes into the current buffer
    if (call.ok()) {
        device->buffer = buffer;
        device->bufferFrames = frames;
    }
    const XislStatus status = finish(call, {address(buffer), frames, rows, columns});
    // The panel's maps for the frames to come, built now rather than in the first frame's
    // readout: a panel sends its first frame as soon as its others, and a large simulated one
    // would take seconds longer than any wait for it allows.
    if (status == 0) {
        const XislSimScene scene = sceneOf(*device);
        TessaraVolt::MutexUnlocker unlocked(locker, mutex_);
        panelMaps_.get(scene);
    }
    return status;
}

XislStatus Simulator::setAcqData(HACQDESC handle, void *data)
{
    Locker locker(mutex_);
    Call call(*this, Function::SetAcqData, handle);
    if (call.ok())
        call.device->acqData = data;
    return finish(call, {address(data)});
}

XislStatus Simulator::getAcqData(HACQDESC handle, void **data)
{
    Locker locker(mutex_);
    Call call(*this, Function::GetAcqData, handle);
    if (call.ok() && !data)
        call.status = XISL_SIM_ERROR_ARGUMENT;
    if (!call.ok())
        return finish(call, {address(data)});
    *data = call.device->acqData;
    return finish(call, {address(data)}, address(*data));
}

XislStatus Simulator::setCallbacks(HACQDESC handle, HWND window, UINT errorMessage,
                                   UINT lostMessage, XislCallback endOfFrame,
                                   XislCallback endOfAcquisition)
{
    Locker locker(mutex_);
    Call call(*this, Function::SetCallbacksAndMessages, handle);
    if (call.ok()) {
        call.device->endOfFrame = endOfFrame;
        call.device->endOfAcquisition = endOfAcquisition;
    }
    return finish(call, {address(window), errorMessage, lostMessage, address(endOfFrame),
                         address(endOfAcquisition)});
}

XislStatus Simulator::setGain(HACQDESC handle, WORD gain)
{
    Locker locker(mutex_);
    Call call(*this, Function::SetCameraGain, handle);
    if (call.ok())
        call.device->gain = gain;
    return finish(call, {gain});
}

XislStatus Simulator::setFrameSyncMode(HACQDESC handle, DWORD mode)
{
    Locker locker(mutex_);
    Call call(*this, Function::SetFrameSyncMode, handle);
    if (call.ok() && mode != XISL_SYNC_SOFTWARE_TRIGGER && mode != XISL_SYNC_INTERNAL_TIMER &&
        mode != XISL_SYNC_EXTERNAL_TRIGGER)
        call.status = XISL_SIM_ERROR_ARGUMENT;
    if (call.ok()) {
        call.device->syncMode = mode;
        changed_.notifyAll();
    }
    return finish(call, {mode});
}

XislStatus Simulator::setTimerSync(HACQDESC handle, DWORD *cycle)
{
    Locker locker(mutex_);
    Call call(*this, Function::SetTimerSync, handle);
    const uint64_t requested = cycle ? *cycle : 0;
    if (call.ok() && !cycle)
        call.status = XISL_SIM_ERROR_ARGUMENT;
    if (!call.ok())
        return finish(call, {requested});
    Device &device = *call.device;
    device.cycleMicroseconds = std::max<uint32_t>(*cycle, readoutMinimum(device));
    *cycle = device.cycleMicroseconds;
    changed_.notifyAll();
    return finish(call, {requested}, *cycle);
}

XislStatus Simulator::acquireImage(HACQDESC handle, UINT frames, UINT skip, UINT option,
                                   unsigned short *offset, DWORD *gainData, DWORD *pixelData)
{
    Locker locker(mutex_);
    Call call(*this, Function::Acquire_Image, handle);
    const DevicePtr &device = call.device;
    if (call.ok() &&
        ((option != XISL_ACQ_ONE_BUFFER && option != XISL_ACQ_CONTINUOUS) || frames == 0))
        call.status = XISL_SIM_ERROR_ARGUMENT;
    else if (call.ok() && (!device->buffer || frames > device->bufferFrames))
        call.status = XISL_SIM_ERROR_NOT_READY;
    else if (call.ok() && device->state != Device::State::Idle)
        call.status = XISL_SIM_ERROR_BUSY; // until its end-of-acquisition callback has returned
    const std::initializer_list<uint64_t> args = {
        frames, skip, option, address(offset), address(gainData), address(pixelData)};
    if (!call.ok())
        return finish(call, args);

    device->running = Device::Start{frames, option};
    device->framesDone = 0;
    device->bufferFrame = 0;
    device->startedAt = Clock::now();
    device->state = Device::State::Running;
    ++device->started;
    if (!device->worker.joinable())
        startWorker(device);
    changed_.notifyAll();
    return finish(call, args);
}

XislStatus Simulator::setFrameSync(HACQDESC handle)
{
    Locker locker(mutex_);
    Call call(*this, Function::SetFrameSync, handle);
    if (call.ok())
        trigger(*call.device, XISL_SYNC_SOFTWARE_TRIGGER);
    return finish(call, {});
}

XislStatus Simulator::abort(HACQDESC handle)
{
    ++stopsWaiting_;
    Locker locker(mutex_);
    stopArrived();
    Call call(*this, Function::Abort, handle);
    if (call.ok())
        abortAndWait(*call.device, locker);
    return finish(call, {});
}

XislStatus Simulator::getActFrame(HACQDESC handle, DWORD *acquired, DWORD *bufferFrame)
{
    Locker locker(mutex_);
    Call call(*this, Function::GetActFrame, handle);
    if (call.ok() && (!acquired || !bufferFrame))
        call.status = XISL_SIM_ERROR_ARGUMENT;
    if (!call.ok())
        return finish(call, {address(acquired), address(bufferFrame)});
    *acquired = call.device->acquiredFrames;
    *bufferFrame = call.device->bufferFrame;
    return finish(call, {address(acquired), address(bufferFrame)},
                  (static_cast<uint64_t>(*acquired) << 32) | *bufferFrame);
}

XislStatus Simulator::setReady(HACQDESC handle, BOOL ready)
{
    Locker locker(mutex_);
    Call call(*this, Function::SetReady, handle);
    if (call.ok() && ready && !call.device->frameHandedBack) {
        call.device->frameHandedBack = true;
        ++counters_.framesHandedBack;
    }
    return finish(call, {static_cast<uint64_t>(static_cast<uint32_t>(ready))});
}

} // namespace XislSim
