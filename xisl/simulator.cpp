#include "simulator.h"

#include "sim-content.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>

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

HACQDESC toHandle(uintptr_t token)
{
    return reinterpret_cast<HACQDESC>(token);
}

XislSimSensor defaultSensor()
{
    return makeSensor(0, 1024, 1024, 14);
}

} // namespace

Simulator &Simulator::instance()
{
    static Simulator simulator;
    return simulator;
}

Simulator::Simulator()
{
    log_.reserve(XISL_SIM_LOG_CAPACITY);
    frameTimes_.resize(XISL_SIM_FRAME_TIME_CAPACITY);
    applyDefaults();
    applyEnvironment();
}

// At exit no callback runs any more: their owners may already be gone.
Simulator::~Simulator()
{
    Lock lock(mutex_);
    std::vector<std::thread> workers;
    for (auto &[token, device] : devices_) {
        device->closed = true;
        if (device->worker.joinable())
            workers.push_back(std::move(device->worker));
    }
    for (std::thread &thread : retired_)
        workers.push_back(std::move(thread));
    retired_.clear();
    changed_.notify_all();
    lock.unlock();
    for (std::thread &thread : workers) {
        if (thread.get_id() == std::this_thread::get_id())
            thread.detach();
        else
            thread.join();
    }
}

Simulator::Lock Simulator::lockToStop()
{
    ++stopsWaiting_;
    Lock lock(mutex_);
    --stopsWaiting_;
    changed_.notify_all(); // a worker may be holding back for this caller
    return lock;
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
    if (settings.sensors)
        config_.sensors = enumerated_ = *settings.sensors;
    if (settings.content)
        config_.content = *settings.content;
    if (settings.seed)
        config_.seed = *settings.seed;
    if (settings.readoutNsPerPixel)
        config_.readoutNsPerPixel = *settings.readoutNsPerPixel;
    if (settings.firstFrame)
        config_.firstFrame = *settings.firstFrame;
    for (const Failure &failure : settings.failures)
        faults_.push_back(Fault{failure.function, failure.status, 0, 0});
}

Simulator::DevicePtr Simulator::find(HACQDESC handle) const
{
    auto it = devices_.find(reinterpret_cast<uintptr_t>(handle));
    return it == devices_.end() ? nullptr : it->second;
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
    uint64_t minimum = device.pixelCount() * config_.readoutNsPerPixel / 1000;
    return static_cast<uint32_t>(std::min<uint64_t>(minimum, std::numeric_limits<uint32_t>::max()));
}

XislStatus Simulator::faultFor(const char *function)
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

Device *Simulator::admit(const char *function, HACQDESC handle, XislStatus &status)
{
    DevicePtr device = find(handle);
    if (!device) {
        ++counters_.callsOnClosedHandles;
        status = XISL_SIM_ERROR_HANDLE;
        return nullptr;
    }
    status = faultFor(function);
    return status ? nullptr : device.get();
}

XislStatus Simulator::record(const char *function, HACQDESC handle,
                             std::initializer_list<uint64_t> args, XislStatus status,
                             uint64_t result)
{
    if (!logEnabled_ || log_.size() >= XISL_SIM_LOG_CAPACITY)
        return status;
    XislSimCall call{};
    std::snprintf(call.function, sizeof(call.function), "%s", function);
    call.handle = handle;
    std::copy_n(args.begin(), std::min<size_t>(args.size(), 6), call.args);
    call.result = result;
    call.status = status;
    log_.push_back(call);
    return status;
}

/* XISL calls. Each checks the handle and the injected faults first, then its arguments; a
 * failing call changes nothing. */

XislStatus Simulator::enumSensors(UINT *count)
{
    static const char *const kName = "Acquisition_EnumSensors";
    Lock lock(mutex_);
    XislStatus status = faultFor(kName);
    if (!status && !count)
        status = XISL_SIM_ERROR_ARGUMENT;
    if (status)
        return record(kName, nullptr, {address(count)}, status);
    enumerated_ = config_.sensors;
    *count = static_cast<UINT>(enumerated_.size());
    return record(kName, nullptr, {address(count)}, 0, *count);
}

XislStatus Simulator::getNextSensor(ACQDESCPOS *cursor, HACQDESC *handle)
{
    static const char *const kName = "Acquisition_GetNextSensor";
    Lock lock(mutex_);
    const uint64_t in = cursor ? *cursor : 0;
    XislStatus status = faultFor(kName);
    if (!status && (!cursor || !handle))
        status = XISL_SIM_ERROR_ARGUMENT;
    if (!status && *cursor >= enumerated_.size())
        status = XISL_SIM_ERROR_NO_SENSOR;
    if (status)
        return record(kName, nullptr, {in, address(handle)}, status);

    auto device = std::make_shared<Device>();
    device->token = kFirstToken + 16 * nextToken_++;
    device->sensor = enumerated_[*cursor];
    device->acquiredFrames = config_.firstFrame - 1;
    devices_.emplace(device->token, device);
    *cursor = *cursor + 1 < enumerated_.size() ? *cursor + 1 : 0;
    *handle = toHandle(device->token);
    return record(kName, *handle, {in, address(handle)}, 0, *cursor);
}

XislStatus Simulator::getHeader(const char *function, HACQDESC handle, XislHwHeaderInfo *header,
                                XislHwHeaderInfoEx *extended)
{
    Lock lock(mutex_);
    XislStatus status = 0;
    Device *device = admit(function, handle, status);
    const bool wantsExtended = std::strcmp(function, "Acquisition_GetHwHeaderInfo") != 0;
    if (device && (!header || (wantsExtended && !extended)))
        status = XISL_SIM_ERROR_ARGUMENT;
    if (status)
        return record(function, handle, {address(header), address(extended)}, status);

    std::memset(header, 0, sizeof(*header));
    header->promId = device->sensor.promId;
    header->headerId = device->sensor.headerId;
    header->rows = device->height();
    header->columns = device->width();
    if (wantsExtended) {
        std::memset(extended, 0, sizeof(*extended));
        extended->headerId = device->sensor.extendedHeaderId;
        extended->cameraType = device->sensor.cameraType;
    }
    return record(function, handle, {address(header), address(extended)}, 0);
}

XislStatus Simulator::close(HACQDESC handle)
{
    static const char *const kName = "Acquisition_Close";
    Lock lock = lockToStop();
    XislStatus status = 0;
    admit(kName, handle, status);
    if (status)
        return record(kName, handle, {}, status);
    closeDevice(find(handle), lock);
    return record(kName, handle, {}, 0);
}

XislStatus Simulator::setBinning(HACQDESC handle, WORD mode)
{
    static const char *const kName = "Acquisition_SetCameraBinningMode";
    Lock lock(mutex_);
    XislStatus status = 0;
    Device *device = admit(kName, handle, status);
    if (device && mode != XISL_BINNING_NONE && mode != XISL_BINNING_2X2)
        status = XISL_SIM_ERROR_ARGUMENT;
    else if (device && device->state != Device::State::Idle)
        status = XISL_SIM_ERROR_BUSY; // the buffers are sized for the running frame size
    if (!status)
        device->binning = mode;
    return record(kName, handle, {mode}, status);
}

XislStatus Simulator::defineDestBuffers(HACQDESC handle, unsigned short *buffer, UINT frames,
                                        UINT rows, UINT columns)
{
    static const char *const kName = "Acquisition_DefineDestBuffers";
    Lock lock(mutex_);
    XislStatus status = 0;
    Device *device = admit(kName, handle, status);
    if (device &&
        (!buffer || frames == 0 || rows != device->height() || columns != device->width()))
        status = XISL_SIM_ERROR_ARGUMENT;
    else if (device && device->state != Device::State::Idle)
        status = XISL_SIM_ERROR_BUSY; // the worker writes into the current buffer
    if (!status) {
        device->buffer = buffer;
        device->bufferFrames = frames;
    }
    return record(kName, handle, {address(buffer), frames, rows, columns}, status);
}

XislStatus Simulator::setAcqData(HACQDESC handle, void *data)
{
    static const char *const kName = "Acquisition_SetAcqData";
    Lock lock(mutex_);
    XislStatus status = 0;
    Device *device = admit(kName, handle, status);
    if (!status)
        device->acqData = data;
    return record(kName, handle, {address(data)}, status);
}

XislStatus Simulator::getAcqData(HACQDESC handle, void **data)
{
    static const char *const kName = "Acquisition_GetAcqData";
    Lock lock(mutex_);
    XislStatus status = 0;
    Device *device = admit(kName, handle, status);
    if (device && !data)
        status = XISL_SIM_ERROR_ARGUMENT;
    if (status)
        return record(kName, handle, {address(data)}, status);
    *data = device->acqData;
    return record(kName, handle, {address(data)}, 0, address(*data));
}

XislStatus Simulator::setCallbacks(HACQDESC handle, HWND window, UINT errorMessage,
                                   UINT lostMessage, XislCallback endOfFrame,
                                   XislCallback endOfAcquisition)
{
    static const char *const kName = "Acquisition_SetCallbacksAndMessages";
    Lock lock(mutex_);
    XislStatus status = 0;
    Device *device = admit(kName, handle, status);
    if (!status) {
        device->endOfFrame = endOfFrame;
        device->endOfAcquisition = endOfAcquisition;
    }
    return record(kName, handle,
                  {address(window), errorMessage, lostMessage, address(endOfFrame),
                   address(endOfAcquisition)},
                  status);
}

XislStatus Simulator::setGain(HACQDESC handle, WORD gain)
{
    static const char *const kName = "Acquisition_SetCameraGain";
    Lock lock(mutex_);
    XislStatus status = 0;
    Device *device = admit(kName, handle, status);
    if (!status)
        device->gain = gain;
    return record(kName, handle, {gain}, status);
}

XislStatus Simulator::setFrameSyncMode(HACQDESC handle, DWORD mode)
{
    static const char *const kName = "Acquisition_SetFrameSyncMode";
    Lock lock(mutex_);
    XislStatus status = 0;
    Device *device = admit(kName, handle, status);
    if (device && mode != XISL_SYNC_SOFTWARE_TRIGGER && mode != XISL_SYNC_INTERNAL_TIMER &&
        mode != XISL_SYNC_EXTERNAL_TRIGGER)
        status = XISL_SIM_ERROR_ARGUMENT;
    if (!status) {
        device->syncMode = mode;
        changed_.notify_all();
    }
    return record(kName, handle, {mode}, status);
}

XislStatus Simulator::setTimerSync(HACQDESC handle, DWORD *cycle)
{
    static const char *const kName = "Acquisition_SetTimerSync";
    Lock lock(mutex_);
    const uint64_t requested = cycle ? *cycle : 0;
    XislStatus status = 0;
    Device *device = admit(kName, handle, status);
    if (device && !cycle)
        status = XISL_SIM_ERROR_ARGUMENT;
    if (status)
        return record(kName, handle, {requested}, status);
    device->cycleMicroseconds = std::max<uint32_t>(*cycle, readoutMinimum(*device));
    *cycle = device->cycleMicroseconds;
    changed_.notify_all();
    return record(kName, handle, {requested}, 0, *cycle);
}

XislStatus Simulator::acquireImage(HACQDESC handle, UINT frames, UINT skip, UINT option,
                                   unsigned short *offset, DWORD *gainData, DWORD *pixelData)
{
    static const char *const kName = "Acquisition_Acquire_Image";
    Lock lock(mutex_);
    XislStatus status = 0;
    DevicePtr device = find(handle);
    admit(kName, handle, status);
    if (!status &&
        ((option != XISL_ACQ_ONE_BUFFER && option != XISL_ACQ_CONTINUOUS) || frames == 0))
        status = XISL_SIM_ERROR_ARGUMENT;
    else if (!status && (!device->buffer || frames > device->bufferFrames))
        status = XISL_SIM_ERROR_NOT_READY;
    else if (!status && device->state != Device::State::Idle)
        status = XISL_SIM_ERROR_BUSY; // until its end-of-acquisition callback has returned
    const std::initializer_list<uint64_t> args = {
        frames, skip, option, address(offset), address(gainData), address(pixelData)};
    if (status)
        return record(kName, handle, args, status);

    device->running = Device::Start{frames, option};
    device->framesDone = 0;
    device->bufferFrame = 0;
    device->startedAt = Clock::now();
    device->state = Device::State::Running;
    ++device->started;
    if (!device->worker.joinable())
        startWorker(device);
    changed_.notify_all();
    return record(kName, handle, args, 0);
}

XislStatus Simulator::setFrameSync(HACQDESC handle)
{
    static const char *const kName = "Acquisition_SetFrameSync";
    Lock lock(mutex_);
    XislStatus status = 0;
    Device *device = admit(kName, handle, status);
    if (!status && device->state == Device::State::Running &&
        device->syncMode == XISL_SYNC_SOFTWARE_TRIGGER && !device->abortRequested) {
        if (device->pendingTriggers++ == 0)
            device->triggerFrameDue = Clock::now() + readoutTime(*device);
        changed_.notify_all();
    }
    return record(kName, handle, {}, status);
}

XislStatus Simulator::abort(HACQDESC handle)
{
    static const char *const kName = "Acquisition_Abort";
    Lock lock = lockToStop();
    XislStatus status = 0;
    admit(kName, handle, status);
    if (status)
        return record(kName, handle, {}, status);
    DevicePtr device = find(handle);
    abortAndWait(*device, lock);
    return record(kName, handle, {}, 0);
}

XislStatus Simulator::getActFrame(HACQDESC handle, DWORD *acquired, DWORD *bufferFrame)
{
    static const char *const kName = "Acquisition_GetActFrame";
    Lock lock(mutex_);
    XislStatus status = 0;
    Device *device = admit(kName, handle, status);
    if (device && (!acquired || !bufferFrame))
        status = XISL_SIM_ERROR_ARGUMENT;
    if (status)
        return record(kName, handle, {address(acquired), address(bufferFrame)}, status);
    *acquired = device->acquiredFrames;
    *bufferFrame = device->bufferFrame;
    return record(kName, handle, {address(acquired), address(bufferFrame)}, 0,
                  (static_cast<uint64_t>(*acquired) << 32) | *bufferFrame);
}

XislStatus Simulator::setReady(HACQDESC handle, BOOL ready)
{
    static const char *const kName = "Acquisition_SetReady";
    Lock lock(mutex_);
    XislStatus status = 0;
    Device *device = admit(kName, handle, status);
    if (!status && ready && !device->frameHandedBack) {
        device->frameHandedBack = true;
        ++counters_.framesHandedBack;
    }
    return record(kName, handle, {static_cast<uint64_t>(static_cast<uint32_t>(ready))}, status);
}

/* Acquisition machinery. */

void Simulator::abortAndWait(Device &device, Lock &lock)
{
    if (device.state == Device::State::Idle)
        return;
    device.abortRequested = true;
    dropSteps(device);
    changed_.notify_all();
    // From the handle's own callback the acquisition ends once that callback returns; waiting
    // here would wait for ourselves.
    if (onWorkerOf(device))
        return;
    const uint64_t target = device.started;
    changed_.wait(lock, [&] { return device.finished >= target || device.closed; });
}

void Simulator::closeDevice(DevicePtr device, Lock &lock)
{
    if (!onWorkerOf(*device))
        abortAndWait(*device, lock);
    device->abortRequested = true;
    device->closed = true;
    devices_.erase(device->token);
    changed_.notify_all();
    if (!device->worker.joinable())
        return;
    if (onWorkerOf(*device)) {
        retired_.push_back(std::move(device->worker));
        return;
    }
    std::thread worker = std::move(device->worker);
    lock.unlock();
    worker.join();
    lock.lock();
}

void Simulator::startWorker(const DevicePtr &device)
{
    device->worker = std::thread([this, device] { runWorker(device); });
}

void Simulator::runWorker(const DevicePtr &device)
{
    Lock lock(mutex_);
    for (;;) {
        changed_.wait(lock,
                      [&] { return device->closed || device->state == Device::State::Running; });
        if (device->closed)
            return;
        runAcquisition(*device, lock);
    }
}

void Simulator::runAcquisition(Device &device, Lock &lock)
{
    // The first frame, too, takes a whole cycle: it is exposed and read out like any other.
    Clock::time_point nextTimerFrame =
        device.startedAt +
        std::chrono::microseconds(std::max(device.cycleMicroseconds, readoutMinimum(device)));
    for (;;) {
        bool stepped = false;
        if (!waitForFrame(device, lock, nextTimerFrame, stepped))
            break;
        produceFrame(device, lock, stepped);
        if (device.abortRequested || device.closed || device.ending())
            break;
    }
    finishAcquisition(device, lock);
}

// Waits for the next frame's cause: a step, a trigger or pulse, or the timer. False when the
// acquisition is to end instead.
bool Simulator::waitForFrame(Device &device, Lock &lock, Clock::time_point &nextTimerFrame,
                             bool &stepped)
{
    for (;;) {
        if (device.abortRequested || device.closed)
            return false;
        if (stopsWaiting_ > 0) {
            changed_.wait(
                lock, [&] { return stopsWaiting_ == 0 || device.abortRequested || device.closed; });
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
                changed_.wait_until(lock, due);
            else
                changed_.wait(lock);
            continue;
        }
        if (config_.manual) {
            changed_.wait(lock);
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
        changed_.wait_until(lock, nextTimerFrame);
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

void Simulator::produceFrame(Device &device, Lock &lock, bool stepped)
{
    const uint32_t index = device.framesDone % device.running.frames;
    uint16_t *frame = device.buffer + index * device.pixelCount();
    const uint32_t n = device.acquiredFrames + 1;
    const uint32_t width = device.width();
    const uint32_t height = device.height();
    const XislSimContent content = config_.content;
    const uint32_t seed = config_.seed;
    lock.unlock();
    writeFrame(frame, width, height, content, seed, n);
    lock.lock();
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
        invokeCallback(device, lock, device.endOfFrame);
        ++counters_.endOfFrameCallbacks;
        if (!device.frameHandedBack)
            ++counters_.framesNotHandedBack;
    }
    device.frameHandedBack = true;
    if (stepped)
        ++device.stepsDelivered;
    changed_.notify_all();
}

void Simulator::finishAcquisition(Device &device, Lock &lock)
{
    device.pendingTriggers = 0;
    if (config_.windDownMicroseconds > 0) {
        changed_.wait_for(lock, std::chrono::microseconds(config_.windDownMicroseconds),
                          [&] { return device.abortRequested || device.closed; });
    }
    if (!device.closed && device.endOfAcquisition) {
        invokeCallback(device, lock, device.endOfAcquisition);
        ++counters_.endOfAcquisitionCallbacks;
    }
    ++device.finished;
    device.abortRequested = false;
    device.state = Device::State::Idle;
    dropSteps(device);
    changed_.notify_all();
}

void Simulator::dropSteps(Device &device)
{
    device.pendingSteps = 0;
    device.stepsRequested = device.stepsDelivered;
}

void Simulator::invokeCallback(Device &device, Lock &lock, XislCallback callback)
{
    if (device.inCallback)
        ++counters_.overlappingCallbacks;
    if (device.closed)
        ++counters_.callbacksAfterClose;
    device.inCallback = true;
    const HACQDESC handle = toHandle(device.token);
    lock.unlock();
    callback(handle);
    lock.lock();
    device.inCallback = false;
}

void Simulator::joinRetired(Lock &lock)
{
    std::vector<std::thread> workers = std::move(retired_);
    retired_.clear();
    lock.unlock();
    for (std::thread &thread : workers) {
        if (thread.get_id() == std::this_thread::get_id())
            thread.detach();
        else
            thread.join();
    }
    lock.lock();
}

/* Control interface. */

void Simulator::reset()
{
    Lock lock = lockToStop();
    while (!devices_.empty())
        closeDevice(devices_.begin()->second, lock);
    joinRetired(lock);
    applyDefaults();
    log_.clear();
    std::fill(frameTimes_.begin(), frameTimes_.end(), FrameTime{});
    counters_ = XislSimCounters{};
    changed_.notify_all();
}

int Simulator::setSensors(const XislSimSensor *sensors, size_t count)
{
    if (count > 0 && !sensors)
        return XISL_SIM_ERROR_ARGUMENT;
    for (size_t i = 0; i < count; ++i) {
        if (sensors[i].width == 0 || sensors[i].height == 0)
            return XISL_SIM_ERROR_ARGUMENT;
    }
    Lock lock(mutex_);
    config_.sensors.assign(sensors, sensors + count);
    return 0;
}

int Simulator::setContent(XislSimContent content)
{
    if (content != XISL_SIM_CONTENT_PATTERN && content != XISL_SIM_CONTENT_PHANTOM)
        return XISL_SIM_ERROR_ARGUMENT;
    Lock lock(mutex_);
    config_.content = content;
    return 0;
}

void Simulator::setSeed(uint32_t seed)
{
    Lock lock(mutex_);
    config_.seed = seed;
}

void Simulator::setReadoutNsPerPixel(uint32_t nanoseconds)
{
    Lock lock(mutex_);
    config_.readoutNsPerPixel = nanoseconds;
    changed_.notify_all();
}

void Simulator::setWindDown(uint32_t microseconds)
{
    Lock lock(mutex_);
    config_.windDownMicroseconds = microseconds;
}

void Simulator::setFirstFrameNumber(uint32_t first)
{
    Lock lock(mutex_);
    config_.firstFrame = first;
}

int Simulator::fail(const char *function, XislStatus status, unsigned nth)
{
    if (!function || !isXislFunction(function))
        return XISL_SIM_ERROR_ARGUMENT;
    Lock lock(mutex_);
    if (status == 0) {
        faults_.erase(
            std::remove_if(faults_.begin(), faults_.end(),
                           [&](const Fault &fault) { return fault.function == function; }),
            faults_.end());
        return 0;
    }
    faults_.push_back(Fault{function, status, nth, 0});
    return 0;
}

void Simulator::clearFaults()
{
    Lock lock(mutex_);
    faults_.clear();
}

void Simulator::setManual(bool manual)
{
    Lock lock(mutex_);
    config_.manual = manual;
    changed_.notify_all();
}

int Simulator::step(HACQDESC handle, unsigned frames, unsigned timeoutMs)
{
    Lock lock(mutex_);
    DevicePtr device = find(handle);
    if (!device || device->state != Device::State::Running || device->abortRequested ||
        onWorkerOf(*device))
        return XISL_SIM_ERROR_HANDLE;
    device->pendingSteps += frames;
    device->stepsRequested += frames;
    const uint64_t target = device->stepsRequested;
    changed_.notify_all();
    changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] {
        return device->stepsDelivered >= target || device->state == Device::State::Idle ||
               device->closed;
    });
    if (device->stepsDelivered >= target)
        return 0;
    dropSteps(*device); // so that they cannot surprise a later acquisition
    return XISL_SIM_ERROR_TIMEOUT;
}

int Simulator::pulse(HACQDESC handle)
{
    Lock lock(mutex_);
    DevicePtr device = find(handle);
    if (!device)
        return XISL_SIM_ERROR_HANDLE;
    if (device->state == Device::State::Running && device->syncMode == XISL_SYNC_EXTERNAL_TRIGGER &&
        !device->abortRequested) {
        if (device->pendingTriggers++ == 0)
            device->triggerFrameDue = Clock::now() + readoutTime(*device);
        changed_.notify_all();
    }
    return 0;
}

int Simulator::waitFrames(uint64_t count, unsigned timeoutMs)
{
    Lock lock(mutex_);
    bool reached = changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                                     [&] { return counters_.endOfFrameCallbacks >= count; });
    return reached ? 0 : XISL_SIM_ERROR_TIMEOUT;
}

int Simulator::waitIdle(HACQDESC handle, unsigned timeoutMs)
{
    Lock lock(mutex_);
    DevicePtr device = find(handle);
    if (!device || onWorkerOf(*device))
        return XISL_SIM_ERROR_HANDLE;
    bool idle = changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] {
        return device->closed || device->finished >= device->started;
    });
    return idle ? 0 : XISL_SIM_ERROR_TIMEOUT;
}

int Simulator::frameCallbackTime(uint32_t frame, uint64_t *nanoseconds)
{
    if (!nanoseconds)
        return XISL_SIM_ERROR_ARGUMENT;
    Lock lock(mutex_);
    const FrameTime &entry = frameTimes_[frame % frameTimes_.size()];
    if (entry.nanoseconds == 0 || entry.frame != frame)
        return XISL_SIM_ERROR_ARGUMENT;
    *nanoseconds = entry.nanoseconds;
    return 0;
}

void Simulator::setCallLog(bool enabled)
{
    Lock lock(mutex_);
    logEnabled_ = enabled;
}

size_t Simulator::callCount()
{
    Lock lock(mutex_);
    return log_.size();
}

int Simulator::getCall(size_t index, XislSimCall *call)
{
    Lock lock(mutex_);
    if (!call || index >= log_.size())
        return XISL_SIM_ERROR_ARGUMENT;
    *call = log_[index];
    return 0;
}

void Simulator::clearCallLog()
{
    Lock lock(mutex_);
    log_.clear();
}

void Simulator::getCounters(XislSimCounters *counters)
{
    if (!counters)
        return;
    Lock lock(mutex_);
    *counters = counters_;
    counters->openHandles = static_cast<uint32_t>(devices_.size());
}

} // namespace XislSim
