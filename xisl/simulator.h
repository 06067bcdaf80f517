/* SPDX-License-Identifier: LGPL-2.1-or-later */
// The simulated detector's state: open handles, their acquisitions, call log, counters, faults.
// Its work is split by seam: simulator.cpp (state, call prologue and log), sim-calls.cpp (the
// XISL calls), sim-worker.cpp (each handle's worker thread), sim-control.cpp (xisl_sim_*).
#pragma once

#include "mutex.h"
#include "sim-panel.h"
#include "sim-settings.h"
#include "xisl-functions.h"
#include "xisl-sim.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <initializer_list>
#include <map>
#include <memory>
#include <thread>
#include <vector>

namespace XislSim {

// One opened sensor. Every member is guarded by Simulator::mutex_ (which the annotations cannot
// name from here: a Device is reached only through the simulator's guarded members, in functions
// that hold it); the worker thread runs the acquisitions and the callbacks, every other thread
// only changes state and wakes it.
struct Device {
    enum class State { Idle, Running };
    struct Start {
        uint32_t frames = 0;
        uint32_t option = 0;
    };

    uintptr_t token = 0;
    XislSimSensor sensor{};
    uint16_t binning = XISL_BINNING_NONE;
    unsigned short *buffer = nullptr;
    uint32_t bufferFrames = 0;
    void *acqData = nullptr;
    XislCallback endOfFrame = nullptr;
    XislCallback endOfAcquisition = nullptr;
    uint16_t gain = 0;
    uint32_t syncMode = XISL_SYNC_INTERNAL_TIMER;
    uint32_t cycleMicroseconds = 0;
    uint32_t acquiredFrames = 0; // wraps at 2^32
    uint32_t bufferFrame = 0;    // 1-based, 0 before the acquisition's first frame

    State state = State::Idle;
    Start running;                                   // the acquisition the worker runs
    uint32_t framesDone = 0;                         // frames of the running acquisition
    std::chrono::steady_clock::time_point startedAt; // of the running acquisition
    uint64_t started = 0;                            // acquisitions started ...
    uint64_t finished = 0; // ... and finished, end-of-acquisition callback included
    bool abortRequested = false;
    bool closed = false;
    bool inCallback = false;
    bool frameHandedBack = true;
    uint32_t pendingTriggers = 0; // software trigger or external pulses not yet served
    // When the oldest pending trigger's frame is read out.
    std::chrono::steady_clock::time_point triggerFrameDue;
    uint64_t pendingSteps = 0;
    uint64_t stepsRequested = 0;
    uint64_t stepsDelivered = 0;

    std::thread worker; // started by the first acquisition, ends on close

    HACQDESC getHandle() const { return reinterpret_cast<HACQDESC>(token); }
    uint32_t getWidth() const
    {
        return binning == XISL_BINNING_2X2 ? sensor.width / 2 : sensor.width;
    }
    uint32_t getHeight() const
    {
        return binning == XISL_BINNING_2X2 ? sensor.height / 2 : sensor.height;
    }
    size_t getPixelCount() const { return static_cast<size_t>(getWidth()) * getHeight(); }
    // A one-buffer acquisition whose last frame is out only has callbacks left to run.
    bool isEnding() const
    {
        return running.option == XISL_ACQ_ONE_BUFFER && framesDone >= running.frames;
    }
};

class Simulator {
public:
    static Simulator &getInstance();

    Simulator(const Simulator &) = delete;
    Simulator &operator=(const Simulator &) = delete;
    ~Simulator();

    // The XISL calls; any thread.
    XislStatus enumSensors(UINT *count);
    XislStatus getNextSensor(ACQDESCPOS *cursor, HACQDESC *handle);
    XislStatus getHeader(Function function, HACQDESC handle, XislHwHeaderInfo *header,
                         XislHwHeaderInfoEx *extended);
    XislStatus close(HACQDESC handle);
    XislStatus setBinning(HACQDESC handle, WORD mode);
    XislStatus defineDestBuffers(HACQDESC handle, unsigned short *buffer, UINT frames, UINT rows,
                                 UINT columns);
    XislStatus setAcqData(HACQDESC handle, void *data);
    XislStatus getAcqData(HACQDESC handle, void **data);
    XislStatus setCallbacks(HACQDESC handle, HWND window, UINT errorMessage, UINT lostMessage,
                            XislCallback endOfFrame, XislCallback endOfAcquisition);
    XislStatus setGain(HACQDESC handle, WORD gain);
    XislStatus setFrameSyncMode(HACQDESC handle, DWORD mode);
    XislStatus setTimerSync(HACQDESC handle, DWORD *cycle);
    XislStatus acquireImage(HACQDESC handle, UINT frames, UINT skip, UINT option,
                            unsigned short *offset, DWORD *gainData, DWORD *pixelData);
    XislStatus setFrameSync(HACQDESC handle);
    XislStatus abort(HACQDESC handle);
    XislStatus getActFrame(HACQDESC handle, DWORD *acquired, DWORD *bufferFrame);
    XislStatus setReady(HACQDESC handle, BOOL ready);

    // The control interface; any thread.
    void reset();
    int configure(const char *text);
    int setSensors(const XislSimSensor *sensors, size_t count);
    int setContent(XislSimContent content);
    void setSeed(uint32_t seed);
    void setBeam(uint32_t counts);
    int getScene(HACQDESC handle, XislSimScene *scene);
    int render(const XislSimScene *scene, uint32_t n, uint16_t *frame);
    void setReadoutNsPerPixel(uint32_t nanoseconds);
    void setFirstFrameNumber(uint32_t first);
    void setWindDown(uint32_t microseconds);
    int fail(const char *name, XislStatus status, unsigned nth);
    void clearFaults();
    void setManual(bool manual);
    int step(HACQDESC handle, unsigned frames, unsigned timeoutMs);
    int pulse(HACQDESC handle);
    int waitFrames(uint64_t count, unsigned timeoutMs);
    int waitIdle(HACQDESC handle, unsigned timeoutMs);
    int frameCallbackTime(uint32_t frame, uint64_t *nanoseconds);
    void setCallLog(bool enabled);
    size_t getCallCount();
    int getCall(size_t index, XislSimCall *call);
    void clearCallLog();
    void getCounters(XislSimCounters *counters);

private:
    struct Fault {
        Function function;
        XislStatus status = 0;
        unsigned nth = 0;   // 0: every call
        unsigned calls = 0; // calls of the function since the fault was set
    };
    // When an end-of-frame callback began, by frame number.
    struct FrameTime {
        uint32_t frame = 0;
        uint64_t nanoseconds = 0; // 0: nothing recorded
    };
    struct Config {
        std::vector<XislSimSensor> sensors;
        XislSimContent content = XISL_SIM_CONTENT_PATTERN;
        uint32_t seed = 1;
        uint32_t beam = XISL_SIM_BEAM_DEFAULT;
        uint32_t readoutNsPerPixel = 32;
        uint32_t firstFrame = 1;
        uint32_t windDownMicroseconds = 0;
        bool manual = false;
    };
    using Locker = TessaraVolt::MutexLocker;
    using DevicePtr = std::shared_ptr<Device>;
    using Clock = std::chrono::steady_clock;

    Simulator();
    void applyDefaults() TESSARAVOLT_REQUIRES(mutex_);
    void applyEnvironment() TESSARAVOLT_REQUIRES(mutex_);
    void applySettings(const Settings &settings) TESSARAVOLT_REQUIRES(mutex_);
    // A call that stops acquisitions (abort, close, reset) increments stopsWaiting_, takes mutex_
    // and then calls this. A worker producing frames as fast as it can re-takes mutex_ at once
    // after every frame and would otherwise keep such a caller waiting for thousands of frames;
    // announced, it lets the caller in first.
    void stopArrived() TESSARAVOLT_REQUIRES(mutex_);

    // The prologue every XISL call shares, with mutex_ held until the call returns.
    // Constructing one looks up the handle (counting calls on closed or unknown ones) and
    // applies the injected faults; the call then checks its arguments only while ok(), changes
    // state only when all passed, and returns finish(), which logs it. A failing call thus
    // changes nothing.
    struct Call {
        // For the calls on an opened handle.
        Call(Simulator &self, Function called, HACQDESC target) TESSARAVOLT_REQUIRES(self.mutex_);
        // For the enumeration calls, which have no handle yet.
        Call(Simulator &self, Function called) TESSARAVOLT_REQUIRES(self.mutex_);
        Call(const Call &) = delete;
        Call &operator=(const Call &) = delete;

        bool ok() const { return status == 0; }

        const Function function;
        HACQDESC handle;   // as logged: the opened one for Acquisition_GetNextSensor
        DevicePtr device;  // the handle's, null unless the prologue admitted the call
        XislStatus status; // the first failure found, 0 while none
    };
    // A call's epilogue: logs it with its arguments as numbers and, on success, its out-value.
    XislStatus finish(const Call &call, std::initializer_list<uint64_t> args, uint64_t result = 0)
        TESSARAVOLT_REQUIRES(mutex_);

    // Everything below runs with mutex_ held; a Locker passed in may be released inside.

    XislStatus faultFor(Function function) TESSARAVOLT_REQUIRES(mutex_);
    void record(Function function, HACQDESC handle, std::initializer_list<uint64_t> args,
                XislStatus status, uint64_t result) TESSARAVOLT_REQUIRES(mutex_);
    DevicePtr find(HACQDESC handle) const TESSARAVOLT_REQUIRES(mutex_);
    bool onWorkerOf(const Device &device) const TESSARAVOLT_REQUIRES(mutex_);
    XislSimScene sceneOf(const Device &device) const TESSARAVOLT_REQUIRES(mutex_);
    // A software trigger or external pulse: a frame when the acquisition runs in `syncMode`.
    void trigger(Device &device, uint32_t syncMode) TESSARAVOLT_REQUIRES(mutex_);
    // The shortest time in which the device reads out one frame.
    std::chrono::microseconds readoutTime(const Device &device) const TESSARAVOLT_REQUIRES(mutex_);
    uint32_t readoutMinimum(const Device &device) const TESSARAVOLT_REQUIRES(mutex_);

    // By value: the device must outlive its erasure from devices_.
    void closeDevice(DevicePtr device, Locker &locker) TESSARAVOLT_REQUIRES(mutex_);
    // Any thread; returns at once on the device's own worker thread.
    void abortAndWait(Device &device, Locker &locker) TESSARAVOLT_REQUIRES(mutex_);
    void startWorker(const DevicePtr &device) TESSARAVOLT_REQUIRES(mutex_);
    // The device's worker thread only, from here on; runWorker() takes mutex_ itself.
    void runWorker(const DevicePtr &device) TESSARAVOLT_EXCLUDES(mutex_);
    void runAcquisition(Device &device, Locker &locker) TESSARAVOLT_REQUIRES(mutex_);
    bool waitForFrame(Device &device, Locker &locker, Clock::time_point &nextTimerFrame,
                      bool &stepped) TESSARAVOLT_REQUIRES(mutex_);
    // A pending trigger whose frame is read out by now: true and served, or false and `due` set.
    bool takeTrigger(Device &device, Clock::time_point &due) TESSARAVOLT_REQUIRES(mutex_);
    void produceFrame(Device &device, Locker &locker, bool stepped) TESSARAVOLT_REQUIRES(mutex_);
    void finishAcquisition(Device &device, Locker &locker) TESSARAVOLT_REQUIRES(mutex_);
    void invokeCallback(Device &device, Locker &locker, XislCallback callback)
        TESSARAVOLT_REQUIRES(mutex_);
    void dropSteps(Device &device) TESSARAVOLT_REQUIRES(mutex_);
    // Any thread but a retired worker's own.
    void joinRetired(Locker &locker) TESSARAVOLT_REQUIRES(mutex_);
    // Joins every worker but the calling one, which cannot join itself and is detached.
    static void joinWorkers(std::vector<std::thread> &workers);

    std::atomic<unsigned> stopsWaiting_{0};  // stopping callers not yet holding mutex_
    TessaraVolt::Mutex mutex_;               // guards every member below and every Device
    TessaraVolt::ConditionVariable changed_; // any change of acquisition state or counters
    Config config_ TESSARAVOLT_GUARDED_BY(mutex_);
    // The list the cursor walks, fixed by enumeration.
    std::vector<XislSimSensor> enumerated_ TESSARAVOLT_GUARDED_BY(mutex_);
    std::map<uintptr_t, DevicePtr> devices_ TESSARAVOLT_GUARDED_BY(mutex_);
    // Workers of handles closed from their own callback.
    std::vector<std::thread> retired_ TESSARAVOLT_GUARDED_BY(mutex_);
    uintptr_t nextToken_ TESSARAVOLT_GUARDED_BY(mutex_) = 0; // never reused, not even by reset
    std::vector<Fault> faults_ TESSARAVOLT_GUARDED_BY(mutex_);
    std::vector<XislSimCall> log_ TESSARAVOLT_GUARDED_BY(mutex_);
    bool logEnabled_ TESSARAVOLT_GUARDED_BY(mutex_) = true;
    XislSimCounters counters_ TESSARAVOLT_GUARDED_BY(mutex_){};
    // XISL_SIM_FRAME_TIME_CAPACITY entries, by frame number.
    std::vector<FrameTime> frameTimes_ TESSARAVOLT_GUARDED_BY(mutex_);
    // Used with mutex_ released, while frames are written; it has its own lock. A member, so
    // that it outlives the workers, which the destructor joins.
    PanelMapCache panelMaps_;
};

} // namespace XislSim
