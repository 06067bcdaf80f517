// SPDX-License-Identifier: LGPL-2.1-or-later
#include "detector.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "logging.h"

namespace TessaraVolt {

namespace {

constexpr std::chrono::milliseconds triggeredFrameWaitLimit = std::chrono::seconds(10);
// Beyond one timer cycle: time for the readout, the delivery and a loaded machine.
constexpr std::chrono::milliseconds timerFrameWaitMargin = std::chrono::seconds(2);
// The timer takes its cycle as an unsigned 32-bit count of microseconds.
constexpr std::chrono::microseconds longestTimerCycle{std::numeric_limits<uint32_t>::max()};
constexpr uint32_t ringFrames = 3;

// The detector whose frame this thread delivers right now, if any: a consumer may stop or
// destroy that detector from inside the delivery, and onEndOfFrame() must then know.
thread_local const void *deliveringDetector = nullptr;

// With the internal timer a frame is due within one cycle.
std::chrono::milliseconds timerFrameWaitLimit(DWORD cycleMicroseconds)
{
    const std::chrono::microseconds cycle(static_cast<uint64_t>(cycleMicroseconds));
    return std::chrono::ceil<std::chrono::milliseconds>(cycle) + timerFrameWaitMargin;
}

} // namespace

Detector::Detector(HACQDESC descriptor) : handle_(descriptor) {}

Detector::~Detector()
{
    if (deliveringDetector == this) {
        // Destroyed by its own consumer on XISL's thread: onEndOfFrame() must not touch this
        // object once the consumer returns, so the frame is handed back here, before the close.
        deliveringDetector = nullptr;
        Acquisition_SetReady(handle_, 1);
    }
    // Abort first: once it returns no callback can reach this detector or its consumer.
    if (handle_)
        Acquisition_Abort(handle_);
    frameEvent_.cancel();
    frameEvent_.waitUntilUnused();
    if (handle_)
        Acquisition_Close(handle_);
}

FrameSize Detector::getFrameSize() const
{
    // Zeroed so that a failed read gives 0 x 0 instead of whatever the stack held.
    XislHwHeaderInfo header{};
    Acquisition_GetHwHeaderInfo(handle_, &header);
    return FrameSize{header.columns, header.rows};
}

void Detector::setExposureTime(std::chrono::duration<double> seconds)
{
    const std::chrono::duration<double, std::micro> requested = seconds;
    if (std::isnan(requested.count()))
        return;
    // Compared as doubles, after the truncation to whole microseconds: a double beyond the
    // 64-bit range has no integer value.
    if (std::trunc(requested.count()) > static_cast<double>(longestTimerCycle.count())) {
        exposure_ = longestTimerCycle;
        getLogger()->warn("Exposure time above the timer's longest cycle; using {0} us",
                          longestTimerCycle.count());
        return;
    }
    exposure_ = std::chrono::duration_cast<std::chrono::microseconds>(
        std::max(requested, std::chrono::duration<double, std::micro>::zero()));
}

std::chrono::duration<double> Detector::getExposureTime() const
{
    return exposure_.load();
}

void Detector::setBinning(uint32_t factor)
{
    // XISL refuses a binning change while the last single-frame acquisition ends.
    endEndingAcquisition();
    binning_ = factor <= 1 ? 1 : 2;
    const WORD mask = binning_ == 1 ? XISL_BINNING_NONE : XISL_BINNING_2X2;
    getLogger()->info("Set detector binning mode: {0}", mask);
    Acquisition_SetCameraBinningMode(handle_, mask);
}

void Detector::setGain(uint32_t value)
{
    gain_ = std::min<uint32_t>(value, 5);
}

void Detector::setTriggerMode(int32_t mode)
{
    triggerMode_ = mode;
}

XislStatus Detector::startContinuous(FrameConsumer consumer)
{
    const XislStatus status = setupAcquisition(ringFrames, std::move(consumer));
    if (status != 0)
        return status;
    return Acquisition_Acquire_Image(handle_, ringFrames, 0, XISL_ACQ_CONTINUOUS, nullptr, nullptr,
                                     nullptr);
}

XislStatus Detector::prepareGrab()
{
    return setupAcquisition(1, [this](const Image &image) { frameEvent_.deliver(image); });
}

FrameResult Detector::grab()
{
    const FrameConsumer keep = [this](const Image &image) {
        frameBuffer_.resize(image.size.pixelCount()); // allocates once per frame size
        std::copy_n(image.pixels, image.size.pixelCount(), frameBuffer_.begin());
    };
    const FrameWait status = grabInto(keep);
    if (status != FrameWait::Arrived)
        return {status, {}};
    return {status, Image{frameBuffer_.data(), frameSize_}};
}

FrameWait Detector::grabInto(const FrameConsumer &deliver)
{
    // Held until this grab's acquisition has ended: a grab queued behind it can neither start
    // while it runs nor be handed one of its late frames.
    FrameEvent::Turn turn(frameEvent_);
    if (!turn.isLive())
        return FrameWait::Cancelled;
    // XISL refuses a start until the previous acquisition's end-of-acquisition callback has
    // returned, and only an abort tells that moment.
    endEndingAcquisition();
    turn.expect(deliver);
    if (Acquisition_Acquire_Image(handle_, 1, 0, XISL_ACQ_ONE_BUFFER, nullptr, nullptr, nullptr))
        return FrameWait::Refused;
    const FrameWait status = turn.wait(waitLimit_);
    if (status != FrameWait::Arrived) {
        // Ends the acquisition before the turn passes on, so that the next grab can start.
        Acquisition_Abort(handle_);
        return status;
    }
    // The frame was delivered, but its callback and the end-of-acquisition callback may still
    // run: the next start or set-up waits for them.
    abortPending_ = true;
    return status;
}

XislStatus Detector::stop()
{
    const XislStatus status = Acquisition_Abort(handle_);
    if (status == 0 && deliveringDetector == this)
        abortPending_ = true;
    frameEvent_.cancel();
    return status;
}

void Detector::trigger()
{
    Acquisition_SetFrameSync(handle_);
}

XislStatus Detector::setupAcquisition(uint32_t frameCount, FrameConsumer consumer)
{
    // The set-up below must neither meet a busy detector nor replace a consumer that is still
    // being called.
    endEndingAcquisition();
    frameEvent_.rearm();
    onFrame_ = std::move(consumer);
    const FrameSize size = getFrameSize();
    const uint32_t pixelCount = size.pixelCount();
    frameSize_ = size;
    destinationBuffer_.resize(frameCount * pixelCount);
    getLogger()->info("Start recording: {0}x{1}", size.width, size.height);

    // Without the buffers, the acquisition data or the callbacks no frame can ever reach a
    // consumer: the caller must learn that now rather than wait for frames that never come.
    XislStatus status = Acquisition_DefineDestBuffers(handle_, destinationBuffer_.data(),
                                                      frameCount, size.height, size.width);
    if (status == 0)
        status = Acquisition_SetAcqData(handle_, this);
    if (status == 0)
        status = Acquisition_SetCallbacksAndMessages(handle_, nullptr, 0, 0, endOfFrameCallback,
                                                     endOfAcquisitionCallback);
    if (status != 0)
        return status;
    // Exact: setExposureTime() keeps the exposure within the timer's range.
    DWORD exposureInOut = static_cast<DWORD>(exposure_.load().count());
    Acquisition_SetCameraGain(handle_, static_cast<WORD>(gain_));

    waitLimit_ = triggeredFrameWaitLimit;
    switch (triggerMode_) {
    case 0:
        logStatus(Acquisition_SetFrameSyncMode(handle_, XISL_SYNC_INTERNAL_TIMER));
        logStatus(Acquisition_SetTimerSync(handle_, &exposureInOut));
        getLogger()->info("Set exposure to {0} us", exposureInOut);
        waitLimit_ = timerFrameWaitLimit(exposureInOut);
        break;
    case 1:
        logStatus(Acquisition_SetFrameSyncMode(handle_, XISL_SYNC_SOFTWARE_TRIGGER));
        break;
    case 2:
        logStatus(Acquisition_SetFrameSyncMode(handle_, XISL_SYNC_EXTERNAL_TRIGGER));
        break;
    default:
        // No meaning: the detector keeps whatever frame-sync mode it had.
        break;
    }
    return 0;
}

void Detector::endEndingAcquisition()
{
    // From this thread the abort returns once no callback runs and the end-of-acquisition
    // callback has returned; with nothing running it does nothing.
    if (abortPending_.exchange(false))
        Acquisition_Abort(handle_);
}

void Detector::onEndOfFrame()
{
    DWORD hardwareBuffer = 0;
    DWORD userBuffer = 0;
    XislHwHeaderInfo header{};
    XislHwHeaderInfoEx extended{};
    logStatus(Acquisition_GetLatestFrameHeader(handle_, &header, &extended));
    Acquisition_GetActFrame(handle_, &hardwareBuffer, &userBuffer);

    // userBuffer counts 1, 2, 3, 1, ... over the ring; 0 wraps to slot 0 as well.
    const uint32_t slot = (userBuffer - 1u) % ringFrames;
    const size_t pixelCount = frameSize_.pixelCount();
    // A slot beyond the registered frames (the one-frame buffer) would be read out of bounds.
    if (onFrame_ && (slot + 1) * pixelCount <= destinationBuffer_.size()) {
        deliveringDetector = this;
        onFrame_(Image{destinationBuffer_.data() + slot * pixelCount, frameSize_});
        if (deliveringDetector != this)
            return; // the consumer destroyed this detector, whose destructor handed the frame back
        deliveringDetector = nullptr;
    }
    Acquisition_SetReady(handle_, 1);
}

void Detector::onEndOfAcquisition()
{
    // Nothing to do: every frame, the single form's too, arrives through onEndOfFrame(). A
    // signal from here would come before the callback has returned, which is when XISL accepts
    // the next start; the next start therefore waits in Acquisition_Abort instead.
}

Detector *Detector::fromDescriptor(HACQDESC descriptor)
{
    void *self = nullptr;
    Acquisition_GetAcqData(descriptor, &self);
    return static_cast<Detector *>(self);
}

void XISL_CALLBACK Detector::endOfFrameCallback(HACQDESC descriptor)
{
    if (Detector *detector = fromDescriptor(descriptor))
        detector->onEndOfFrame();
}

void XISL_CALLBACK Detector::endOfAcquisitionCallback(HACQDESC descriptor)
{
    if (Detector *detector = fromDescriptor(descriptor))
        detector->onEndOfAcquisition();
}

} // namespace TessaraVolt
