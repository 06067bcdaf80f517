#include "detector.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "logging.h"

namespace TessaraVolt {

namespace {

constexpr std::chrono::milliseconds triggeredFrameWaitLimit = std::chrono::seconds(10);
constexpr std::chrono::milliseconds shortestTimerFrameWaitLimit = std::chrono::seconds(2);
constexpr uint64_t timerCyclesToWait = 10;
constexpr uint32_t ringFrames = 3;

// The detector whose frame this thread delivers right now, if any: a consumer may stop or
// destroy that detector from inside the delivery, and onEndOfFrame() must then know.
thread_local const void *deliveringDetector = nullptr;

// With the internal timer a frame is due within one cycle; ten of them is a generous bound.
std::chrono::milliseconds timerFrameWaitLimit(DWORD cycleMicroseconds)
{
    const std::chrono::microseconds cycles(cycleMicroseconds * timerCyclesToWait);
    return std::max(shortestTimerFrameWaitLimit,
                    std::chrono::ceil<std::chrono::milliseconds>(cycles));
}

} // namespace

Detector::Detector(HACQDESC descriptor) : handle(descriptor) {}

Detector::~Detector()
{
    if (deliveringDetector == this) {
        // Destroyed by its own consumer on XISL's thread: onEndOfFrame() must not touch this
        // object once the consumer returns, so the frame is handed back here, before the close.
        deliveringDetector = nullptr;
        Acquisition_SetReady(handle, 1);
    }
    // Abort first: once it returns no callback can reach this detector or its consumer.
    if (handle)
        Acquisition_Abort(handle);
    frameEvent.cancel();
    frameEvent.waitUntilUnused();
    if (handle)
        Acquisition_Close(handle);
}

FrameSize Detector::getFrameSize() const
{
    // Zeroed so that a failed read gives 0 x 0 instead of whatever the stack held.
    XislHwHeaderInfo header{};
    Acquisition_GetHwHeaderInfo(handle, &header);
    return FrameSize{header.columns, header.rows};
}

void Detector::setExposureTime(std::chrono::duration<double> seconds)
{
    const std::chrono::duration<double, std::micro> requested = seconds;
    // A double beyond the 64-bit range (or NaN) has no integer value; converting it is undefined.
    if (std::isnan(requested.count()))
        return;
    constexpr double largest = static_cast<double>(std::numeric_limits<int64_t>::max());
    if (requested.count() >= largest)
        exposure = std::chrono::microseconds::max();
    else if (requested.count() <= -largest)
        exposure = std::chrono::microseconds::min();
    else
        exposure = std::chrono::duration_cast<std::chrono::microseconds>(requested);
}

std::chrono::duration<double> Detector::getExposureTime() const
{
    return exposure.load();
}

void Detector::setBinning(uint32_t factor)
{
    binning = factor <= 1 ? 1 : 2;
    const WORD mask = binning == 1 ? XISL_BINNING_NONE : XISL_BINNING_2X2;
    getLogger()->info("Set detector binning mode: {0}", mask);
    Acquisition_SetCameraBinningMode(handle, mask);
}

void Detector::setGain(uint32_t value)
{
    gain = std::min<uint32_t>(value, 5);
}

void Detector::setTriggerMode(int32_t mode)
{
    triggerMode = mode;
}

XislStatus Detector::startContinuous(FrameConsumer consumer)
{
    const XislStatus status = setupAcquisition(ringFrames, std::move(consumer));
    if (status != 0)
        return status;
    return Acquisition_Acquire_Image(handle, ringFrames, 0, XISL_ACQ_CONTINUOUS, nullptr, nullptr,
                                     nullptr);
}

XislStatus Detector::prepareGrab()
{
    return setupAcquisition(1, [this](const Image &image) { frameEvent.deliver(image); });
}

FrameResult Detector::grab()
{
    const FrameConsumer keep = [this](const Image &image) {
        frameBuffer.resize(image.size.pixelCount()); // allocates once per frame size
        std::copy_n(image.pixels, image.size.pixelCount(), frameBuffer.begin());
    };
    const FrameWait status = grabInto(keep);
    if (status != FrameWait::Arrived)
        return {status, {}};
    return {status, Image{frameBuffer.data(), frameSize}};
}

FrameWait Detector::grabInto(const FrameConsumer &deliver)
{
    FrameEvent::WaitScope scope(frameEvent, deliver);
    if (frameEvent.cancelled)
        return FrameWait::Cancelled;
    if (Acquisition_Acquire_Image(handle, 1, 0, XISL_ACQ_ONE_BUFFER, nullptr, nullptr, nullptr))
        return FrameWait::Refused;
    const FrameWait status = scope.wait(waitLimit);
    if (status != FrameWait::Arrived) {
        // The frame's callback takes the event's lock and Abort waits for callbacks, so the
        // lock goes first. Aborting lets the next grab start a new acquisition.
        scope.unlock();
        Acquisition_Abort(handle);
        return status;
    }
    // The frame was delivered, but its callback and the end-of-acquisition callback may still
    // run: the next set-up must wait for them before it replaces the buffers and the consumer.
    abortPending = true;
    return status;
}

XislStatus Detector::stop()
{
    const XislStatus status = Acquisition_Abort(handle);
    if (status == 0 && deliveringDetector == this)
        abortPending = true;
    frameEvent.cancel();
    return status;
}

void Detector::trigger()
{
    Acquisition_SetFrameSync(handle);
}

XislStatus Detector::setupAcquisition(uint32_t frameCount, FrameConsumer consumer)
{
    // A stream stopped from its own callback, or the last single-frame acquisition, may still be
    // ending; from this thread the abort waits until no callback runs, so the set-up below
    // neither meets a busy detector nor replaces a consumer that is still being called.
    if (abortPending.exchange(false))
        Acquisition_Abort(handle);
    frameEvent.rearm();
    onFrame = std::move(consumer);
    const FrameSize size = getFrameSize();
    const uint32_t pixelCount = size.pixelCount();
    frameSize = size;
    destinationBuffer.resize(frameCount * pixelCount);
    getLogger()->info("Start recording: {0}x{1}", size.width, size.height);

    // Without the buffers, the acquisition data or the callbacks no frame can ever reach a
    // consumer: the caller must learn that now rather than wait for frames that never come.
    XislStatus status = Acquisition_DefineDestBuffers(handle, destinationBuffer.data(), frameCount,
                                                      size.height, size.width);
    if (status == 0)
        status = Acquisition_SetAcqData(handle, this);
    if (status == 0)
        status = Acquisition_SetCallbacksAndMessages(handle, nullptr, 0, 0, endOfFrameCallback,
                                                     endOfAcquisitionCallback);
    if (status != 0)
        return status;
    DWORD exposureInOut = static_cast<uint32_t>(exposure.load().count());
    Acquisition_SetCameraGain(handle, static_cast<WORD>(gain));

    waitLimit = triggeredFrameWaitLimit;
    switch (triggerMode) {
    case 0:
        logStatus(Acquisition_SetFrameSyncMode(handle, XISL_SYNC_INTERNAL_TIMER));
        logStatus(Acquisition_SetTimerSync(handle, &exposureInOut));
        getLogger()->info("Set exposure to {0} us", exposureInOut);
        waitLimit = timerFrameWaitLimit(exposureInOut);
        break;
    case 1:
        logStatus(Acquisition_SetFrameSyncMode(handle, XISL_SYNC_SOFTWARE_TRIGGER));
        break;
    case 2:
        logStatus(Acquisition_SetFrameSyncMode(handle, XISL_SYNC_EXTERNAL_TRIGGER));
        break;
    default:
        // No meaning: the detector keeps whatever frame-sync mode it had.
        break;
    }
    return 0;
}

void Detector::onEndOfFrame()
{
    DWORD hardwareBuffer = 0;
    DWORD userBuffer = 0;
    XislHwHeaderInfo header{};
    XislHwHeaderInfoEx extended{};
    logStatus(Acquisition_GetLatestFrameHeader(handle, &header, &extended));
    Acquisition_GetActFrame(handle, &hardwareBuffer, &userBuffer);

    // userBuffer counts 1, 2, 3, 1, ... over the ring; 0 wraps to slot 0 as well.
    const uint32_t slot = (userBuffer - 1u) % ringFrames;
    const size_t pixelCount = frameSize.pixelCount();
    // A slot beyond the registered frames (the one-frame buffer) would be read out of bounds.
    if (onFrame && (slot + 1) * pixelCount <= destinationBuffer.size()) {
        deliveringDetector = this;
        onFrame(Image{destinationBuffer.data() + slot * pixelCount, frameSize});
        if (deliveringDetector != this)
            return; // the consumer destroyed this detector, whose destructor handed the frame back
        deliveringDetector = nullptr;
    }
    Acquisition_SetReady(handle, 1);
}

void Detector::onEndOfAcquisition()
{
    // Nothing to do: every frame, the single form's too, arrives through onEndOfFrame().
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
