// SPDX-License-Identifier: LGPL-2.1-or-later
#include "detector.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <thread>

#include "logging.h"

namespace TessaraVolt {

namespace {

// Beyond the time a frame is due: for its delivery on a loaded machine (2 s unless the build
// says otherwise).
constexpr std::chrono::milliseconds deliveryMargin{TESSARAVOLT_DELIVERY_MARGIN_MS};
// The timer takes its cycle as an unsigned 32-bit count of microseconds.
constexpr std::chrono::microseconds longestTimerCycle{std::numeric_limits<uint32_t>::max()};
constexpr uint32_t ringFrames = 3;

// Compared as doubles, after the truncation to whole microseconds: a double beyond the 64-bit
// range has no integer value.
bool exceeds(std::chrono::duration<double> seconds, std::chrono::microseconds longest)
{
    const std::chrono::duration<double, std::micro> requested = seconds;
    return std::trunc(requested.count()) > static_cast<double>(longest.count());
}

// Whole microseconds of a non-negative time, at most `longest`; nothing for NaN.
std::optional<std::chrono::microseconds> clampedMicroseconds(std::chrono::duration<double> seconds,
                                                             std::chrono::microseconds longest)
{
    if (std::isnan(seconds.count()))
        return std::nullopt;
    if (exceeds(seconds, longest))
        return longest;
    return std::chrono::duration_cast<std::chrono::microseconds>(
        std::max(seconds, std::chrono::duration<double>::zero()));
}

std::optional<DWORD> syncModeFor(TriggerMode mode)
{
    switch (mode) {
    case TriggerMode::Timer:
        return XISL_SYNC_INTERNAL_TIMER;
    case TriggerMode::Software:
        return XISL_SYNC_SOFTWARE_TRIGGER;
    case TriggerMode::External:
        return XISL_SYNC_EXTERNAL_TRIGGER;
    }
    return std::nullopt;
}

} // namespace

Detector::Detector(HACQDESC descriptor) : handle_(descriptor) {}

Detector::~Detector()
{
    close();
}

bool Detector::close()
{
    if (closed_)
        return handleClosed_;
    closed_ = true;
    closing_ = true;
    Delivery *const ownConsumer = isDelivering() ? delivery_ : nullptr;
    if (!ownConsumer) {
        // The consumer may reach what its owner is about to free: it finishes first.
        while (deliveries_ > 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    } else {
        // Closed by its own consumer on XISL's thread: onEndOfFrame() must not touch this object
        // once the consumer returns, so the frame is handed back here, before the close.
        ownConsumer->detectorClosed = true;
        delivery_ = nullptr;
        deliveringThread_ = std::thread::id();
        Acquisition_SetReady(handle_, 1);
    }
    if (!handle_)
        return handleClosed_ = true;
    // Abort first: once it returns no callback can reach this detector or its consumer. The
    // close ends the callbacks even where the abort was refused.
    Acquisition_Abort(handle_);
    handleClosed_ = Acquisition_Close(handle_) == 0;
    // The frames' pixels outlive this detector until its consumer returns. A handle XISL would
    // not close may go on writing into them: they stay then with this detector, which its owner
    // keeps (keepUnclosed()).
    if (ownConsumer && handleClosed_)
        ownConsumer->orphanedBuffer = std::move(destinationBuffer_);
    return handleClosed_;
}

void Detector::keepUnclosed(std::unique_ptr<Detector> detector)
{
    // A list through the detectors themselves, from a head that outlives every destructor: kept,
    // not leaked, until the process ends.
    static std::atomic<Detector *> head{nullptr};
    Detector *kept = detector.release();
    kept->nextUnclosed_ = head.load();
    while (!head.compare_exchange_weak(kept->nextUnclosed_, kept))
        ;
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
    const std::optional<std::chrono::microseconds> exposure =
        clampedMicroseconds(seconds, longestTimerCycle);
    if (!exposure)
        return;
    if (exceeds(seconds, longestTimerCycle))
        getLogger()->warn("Exposure time above the timer's longest cycle; using {0} us",
                          longestTimerCycle.count());
    exposure_ = *exposure;
}

std::chrono::duration<double> Detector::getExposureTime() const
{
    return exposure_.load();
}

XislStatus Detector::setBinning(uint32_t factor)
{
    const uint32_t binning = factor <= 1 ? 1 : 2;
    const WORD mask = binning == 1 ? XISL_BINNING_NONE : XISL_BINNING_2X2;
    getLogger()->info("Set detector binning mode: {0}", mask);
    // XISL refuses a binning change while an acquisition runs or ends.
    XislStatus status = endAcquisition();
    if (status == 0)
        status = Acquisition_SetCameraBinningMode(handle_, mask);
    if (status != 0) {
        getLogger()->warn("Binning mode {0} refused (status {1}); the detector keeps binning {2}",
                          mask, status, std::max(binning_.load(), 1u));
        return status;
    }
    binning_ = binning;
    return 0;
}

void Detector::setGain(uint32_t value)
{
    gain_ = std::min<uint32_t>(value, 5);
}

void Detector::setTriggerMode(TriggerMode mode)
{
    triggerMode_ = mode;
}

void Detector::setFrameTimeout(std::chrono::duration<double> seconds)
{
    const std::optional<std::chrono::microseconds> timeout = clampedMicroseconds(
        seconds, std::chrono::duration_cast<std::chrono::microseconds>(longestFrameTimeout));
    if (timeout)
        frameTimeout_ = *timeout;
}

std::chrono::duration<double> Detector::getFrameTimeout() const
{
    return frameTimeout_.load();
}

XislStatus Detector::startContinuous(FrameConsumer consumer, const AcquisitionOptions &options)
{
    XislStatus status = setupAcquisition(ringFrames, std::move(consumer), options);
    if (status == 0)
        status = Acquisition_Acquire_Image(handle_, ringFrames, 0, XISL_ACQ_CONTINUOUS, nullptr,
                                           nullptr, nullptr);
    if (status == 0)
        acquisitionToEnd_ = true;
    return status;
}

XislStatus Detector::prepareGrab(FrameConsumer consumer, const SetUpObserver &onSetUp)
{
    return setupAcquisition(1, std::move(consumer), AcquisitionOptions{0, onSetUp});
}

XislStatus Detector::acquireFrame()
{
    // Triggers sent while no acquisition ran are lost: they must not stretch this one's wait.
    lastTriggerFrameDue_ = Clock::time_point{};
    XislStatus status = endAcquisition();
    if (status == 0)
        status = Acquisition_Acquire_Image(handle_, 1, 0, XISL_ACQ_ONE_BUFFER, nullptr, nullptr,
                                           nullptr);
    // Even once its frame is delivered, a one-frame acquisition must still be ended: XISL accepts
    // the next start only after its end-of-acquisition callback has returned.
    if (status == 0)
        acquisitionToEnd_ = true;
    return status;
}

XislStatus Detector::endAcquisition()
{
    if (!acquisitionToEnd_)
        return 0;
    // Its end-of-acquisition callback can only run once the delivery on this thread returns.
    if (isDelivering())
        return driverBusy;
    // From outside the callbacks the abort returns once no callback runs and the
    // end-of-acquisition callback has returned.
    const XislStatus status = Acquisition_Abort(handle_);
    if (status == 0)
        acquisitionToEnd_ = false;
    return status;
}

XislStatus Detector::stop()
{
    const XislStatus status = Acquisition_Abort(handle_);
    if (status == 0 && !isDelivering())
        acquisitionToEnd_ = false;
    return status;
}

XislStatus Detector::trigger()
{
    const XislStatus status = Acquisition_SetFrameSync(handle_);
    // XISL drops a trigger that no running triggered acquisition waits for: it brings no frame.
    if (status != 0 || !acquisitionToEnd_ || syncedTriggerMode_ != TriggerMode::Software)
        return status;
    // A trigger that comes while an earlier one's frame is read out is read out after it.
    const Clock::time_point now = Clock::now();
    Clock::time_point previous = lastTriggerFrameDue_;
    while (!lastTriggerFrameDue_.compare_exchange_weak(previous,
                                                       std::max(now, previous) + readout_.load()))
        ;
    return 0;
}

bool Detector::isDelivering() const
{
    return deliveringThread_.load() == std::this_thread::get_id();
}

Clock::time_point Detector::getFrameDeadline(Clock::time_point requested) const
{
    const std::chrono::microseconds readout = readout_;
    // Frames still to be skipped come, and are waited for, before the one requested.
    const uint32_t frames = framesToSkip_ + 1;
    switch (syncedTriggerMode_) {
    case TriggerMode::Timer:
        return requested + frames * (cycle_.load() + readout) + deliveryMargin;
    case TriggerMode::Software:
        return std::max(requested + frames * (frameTimeout_.load() + readout),
                        lastTriggerFrameDue_.load() + deliveryMargin);
    default:
        return requested + frames * (frameTimeout_.load() + readout);
    }
}

AcquisitionSettings Detector::forecastSettings() const
{
    AcquisitionSettings forecast;
    forecast.requestedExposure = exposure_;
    forecast.gain = gain_.load();
    forecast.binning = std::max(binning_.load(), 1u);
    const TriggerMode mode = triggerMode_;
    if (syncModeFor(mode))
        forecast.triggerMode = mode;
    else
        forecast.refused = "trigger mode " + std::to_string(static_cast<int32_t>(mode)) +
                           " chooses no frame-sync mode";
    forecast.cycle = forecast.requestedExposure;
    if (mode == TriggerMode::Timer && shortestCycleBinning_ == forecast.binning)
        forecast.cycle = std::max(forecast.requestedExposure, shortestCycle_.load());
    return forecast;
}

void Detector::probeShortestCycle()
{
    // Silent: a timer that cannot be asked leaves the forecast at the request, and a set-up
    // reports the timer's refusals where they matter.
    DWORD shortest = 0;
    if (Acquisition_SetTimerSync(handle_, &shortest) == 0)
        noteShortestCycle(std::chrono::microseconds(shortest), std::max(binning_.load(), 1u));
}

void Detector::noteShortestCycle(std::chrono::microseconds cycle, uint32_t binning)
{
    shortestCycle_ = cycle;
    shortestCycleBinning_ = binning;
}

XislStatus Detector::setupAcquisition(uint32_t frameCount, FrameConsumer consumer,
                                      const AcquisitionOptions &options)
{
    // The set-up below must neither meet a busy detector nor replace a consumer, or buffers, that
    // an acquisition still uses.
    XislStatus status = endAcquisition();
    if (status != 0)
        return status;
    const FrameSize size = getFrameSize();
    if (size.pixelCount() > largestFramePixels)
        return driverFrameTooLarge;
    onFrame_ = std::move(consumer);
    framesToSkip_ = options.framesToSkip;
    frameSize_ = size;
    destinationBuffer_.resize(frameCount * size.pixelCount());
    getLogger()->info("Start recording: {0}x{1}", size.width, size.height);

    // Without the buffers, the acquisition data or the callbacks no frame can ever reach a
    // consumer: the caller must learn that now rather than wait for frames that never come.
    status = Acquisition_DefineDestBuffers(handle_, destinationBuffer_.data(), frameCount,
                                           size.height, size.width);
    if (status == 0)
        status = Acquisition_SetAcqData(handle_, this);
    if (status == 0)
        status = Acquisition_SetCallbacksAndMessages(handle_, nullptr, 0, 0, endOfFrameCallback,
                                                     endOfAcquisitionCallback);
    if (status != 0)
        return status;
    // Read once: what is sent and what the record says must be the same request, whatever a
    // client sets meanwhile.
    AcquisitionSettings applied;
    applied.requestedExposure = exposure_;
    applied.binning = std::max(binning_.load(), 1u);
    applied.frameSize = size;
    // Triggers sent before this acquisition can bring none of its frames.
    lastTriggerFrameDue_ = Clock::time_point{};
    sendGain(applied);
    sendTiming(applied);
    if (options.onSetUp)
        options.onSetUp(applied);
    return 0;
}

void Detector::sendGain(AcquisitionSettings &applied)
{
    const uint32_t gain = gain_;
    const XislStatus status = Acquisition_SetCameraGain(handle_, static_cast<WORD>(gain));
    if (status == 0) {
        applied.gain = gain;
        return;
    }
    getLogger()->warn("Gain {0} refused (status {1}); the detector's gain is unknown", gain,
                      status);
    applied.refused += (applied.refused.empty() ? "" : ", ") +
                       std::string("the detector refused gain ") + std::to_string(gain);
}

void Detector::sendTiming(AcquisitionSettings &applied)
{
    // The timer never runs faster than the detector reads a frame out: asked for a cycle of 0,
    // it answers the readout time, which every wait for a frame must allow for. Silent, since
    // only the timer's own mode depends on its answer.
    DWORD shortest = 0;
    const XislStatus probed = Acquisition_SetTimerSync(handle_, &shortest);
    if (probed == 0) {
        acceptedCycle_ = std::chrono::microseconds(shortest);
        noteShortestCycle(*acceptedCycle_, applied.binning);
    }
    readout_ = std::chrono::microseconds(probed == 0 ? shortest : 0);

    const TriggerMode mode = triggerMode_;
    syncedTriggerMode_ = mode;
    applied.cycle = applied.requestedExposure;
    const std::optional<DWORD> syncMode = syncModeFor(mode);
    if (!syncMode) {
        // No meaning: the detector keeps whatever frame-sync mode it had.
        applied.refused += (applied.refused.empty() ? "" : ", ") + std::string("trigger mode ") +
                           std::to_string(static_cast<int32_t>(mode)) +
                           " chooses no frame-sync mode";
        return;
    }
    const XislStatus status = Acquisition_SetFrameSyncMode(handle_, *syncMode);
    logStatus(status);
    if (status == 0)
        applied.triggerMode = mode;
    else
        applied.refused += (applied.refused.empty() ? "" : ", ") +
                           std::string("the detector refused frame-sync mode ") +
                           std::to_string(*syncMode);
    if (mode == TriggerMode::Timer)
        sendCycle(applied);
}

void Detector::sendCycle(AcquisitionSettings &applied)
{
    // Exact: setExposureTime() keeps the exposure within the timer's range.
    const std::chrono::microseconds asked = applied.requestedExposure;
    DWORD exposureInOut = static_cast<DWORD>(asked.count());
    const XislStatus status = Acquisition_SetTimerSync(handle_, &exposureInOut);
    logStatus(status);
    getLogger()->info("Set exposure to {0} us", exposureInOut);
    if (status == 0) {
        acceptedCycle_ = std::chrono::microseconds(exposureInOut);
    } else if (acceptedCycle_) {
        getLogger()->warn("Timer cycle of {0} us refused; the timer runs at {1} us", asked.count(),
                          acceptedCycle_->count());
    } else {
        getLogger()->warn("Timer cycle of {0} us refused; the timer's cycle is unknown",
                          asked.count());
    }
    applied.cycle = acceptedCycle_;
    if (!acceptedCycle_)
        applied.refused +=
            (applied.refused.empty() ? "" : ", ") + std::string("the timer refused every cycle");
    cycle_ = acceptedCycle_.value_or(asked);
}

void Detector::onEndOfFrame()
{
    ++deliveries_;
    if (closing_) {
        Acquisition_SetReady(handle_, 1);
        --deliveries_;
        return;
    }
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
    if (framesToSkip_ > 0) {
        --framesToSkip_;
    } else if (onFrame_ && (slot + 1) * pixelCount <= destinationBuffer_.size()) {
        Delivery delivery;
        delivery_ = &delivery;
        deliveringThread_ = std::this_thread::get_id();
        onFrame_(Image{destinationBuffer_.data() + slot * pixelCount, frameSize_});
        if (delivery.detectorClosed)
            return; // the consumer closed, perhaps destroyed, this detector; the frame went back
        deliveringThread_ = std::thread::id();
        delivery_ = nullptr;
    }
    Acquisition_SetReady(handle_, 1);
    --deliveries_;
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

void XISL_CALLBACK Detector::endOfFrameCallback(HACQDESC descriptor) noexcept
{
    if (Detector *detector = fromDescriptor(descriptor)) {
        detector->onEndOfFrame();
        return;
    }
    // Without its detector the frame reaches no consumer, but XISL still needs it back.
    Acquisition_SetReady(descriptor, 1);
}

void XISL_CALLBACK Detector::endOfAcquisitionCallback(HACQDESC descriptor) noexcept
{
    if (Detector *detector = fromDescriptor(descriptor))
        detector->onEndOfAcquisition();
}

} // namespace TessaraVolt
