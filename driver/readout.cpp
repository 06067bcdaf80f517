// SPDX-License-Identifier: LGPL-2.1-or-later
#include "readout.h"

#include <utility>

namespace TessaraVolt {

Readout::Readout(std::unique_ptr<Detector> detector) : detector_(std::move(detector))
{
    detector_->probeShortestCycle();
}

Readout::~Readout()
{
    close();
    // No callback reaches the hand-overs or the transfer consumer once the detector is closed;
    // one whose handle XISL would not close stays for the callbacks still to come.
    if (detectorClosed_)
        detector_.reset();
    else
        Detector::keepUnclosed(std::move(detector_));
}

void Readout::close()
{
    frameEvent_.cancel();
    grabber_.cancel();
    {
        MutexLocker locker(mutex_);
        if (closed_)
            return;
        // A stop under way on XISL's thread (from a transfer consumer) still calls the detector.
        // Destroyed from inside the delivery, a change on another thread may wait for this very
        // delivery to return, so only the grabs are waited for then.
        const bool delivering = detector_->isDelivering();
        condition_.wait(locker, [this, delivering]() TESSARAVOLT_REQUIRES(mutex_) {
            return grabsInFlight_ == 0 && (delivering || change_ == Change::None);
        });
        closed_ = true;
    }
    detectorClosed_ = detector_->close();
}

ReadoutMode Readout::getMode() const
{
    MutexLocker locker(mutex_);
    return mode_;
}

std::shared_ptr<const AppliedRecording> Readout::getApplied() const
{
    if (getMode() == ReadoutMode::Idle)
        return nullptr;
    return std::atomic_load(&applied_);
}

std::optional<CalibrationKey> calibrationKeyOf(const AcquisitionSettings &settings,
                                               const Region &region, std::string &unknown)
{
    if (!settings.cycle || !settings.gain || !settings.triggerMode) {
        unknown = settings.refused;
        return std::nullopt;
    }
    return CalibrationKey{settings.cycle->count(), *settings.gain, settings.binning, region,
                          static_cast<int32_t>(*settings.triggerMode)};
}

XislStatus Readout::startRecording(ReadoutMode mode, Recording recording,
                                   std::vector<std::string> &warnings)
{
    const Region region = recording.region;
    const uint32_t framesToSkip = recording.framesToSkip;
    FrameCorrection *const correction = recording.correction;
    AcquisitionOptions options;
    options.framesToSkip = framesToSkip;
    // The set-up's thread, once XISL has the settings and before the first frame: the record of
    // what was applied is what the copies and the correction go by.
    options.onSetUp = [this, region, framesToSkip, correction,
                       &warnings](const AcquisitionSettings &settings) {
        auto applied = std::make_shared<const AppliedRecording>(
            AppliedRecording{settings, region, framesToSkip});
        correction_ = correction;
        if (correction) {
            std::string unknown;
            const std::optional<CalibrationKey> key = calibrationKeyOf(settings, region, unknown);
            warnings = key ? correction->arm(*key) : correction->armUnknown(unknown);
        }
        std::atomic_store(&applied_, std::shared_ptr<const AppliedRecording>(std::move(applied)));
    };
    Transfer transfer;
    if (mode == ReadoutMode::Transfer) {
        transfer.bufferPixels = region.pixelCount();
        transfer.consumer = [this, onTransfer = std::move(recording.onTransfer)](const Image &frame,
                                                                                 uint16_t *buffer) {
            copyFrame(frame, buffer);
            // May stop or destroy this readout: nothing of it is touched afterwards.
            onTransfer(buffer);
        };
    }
    const XislStatus status = start(mode, std::move(transfer), std::move(options), region);
    if (status != 0 && correction)
        correction->disarm();
    return status;
}

FrameWait Readout::grabInto(uint16_t *destination)
{
    return grab([this, destination](const Image &frame) { copyFrame(frame, destination); });
}

void Readout::copyFrame(const Image &frame, uint16_t *destination) const
{
    // Both held for the copy: a client may swap either meanwhile.
    const std::shared_ptr<const AppliedRecording> applied = std::atomic_load(&applied_);
    FrameCorrection *const correction = correction_;
    const std::shared_ptr<const CorrectionPlan> plan =
        correction ? correction->getPlan() : std::shared_ptr<const CorrectionPlan>();
    if (applied)
        copyRegion(frame, applied->region, plan.get(), destination);
}

XislStatus Readout::start(ReadoutMode mode, Transfer transfer, AcquisitionOptions options,
                          std::optional<Region> region)
{
    const XislStatus ready = beginSetUp();
    if (ready != 0)
        return ready;
    // Begun from Idle (beginSetUp() refuses otherwise), a failed start returns there.
    const XislStatus status = region && !region->fits(detector_->getFrameSize())
                                  ? driverRegionOutside
                                  : startMode(mode, std::move(transfer), std::move(options));
    endChange(status == 0 ? mode : ReadoutMode::Idle);
    return status;
}

XislStatus Readout::stop()
{
    ReadoutMode mode = ReadoutMode::Idle;
    {
        MutexLocker locker(mutex_);
        // A stop under way ends this mode already, and so does a close. One from inside the
        // transfer consumer must not wait for it: that stop waits for the consumer to return.
        if (change_ == Change::Stopping || closed_)
            return 0;
        if (change_ != Change::None && detector_->isDelivering())
            return driverBusy;
        condition_.wait(locker,
                        [this]() TESSARAVOLT_REQUIRES(mutex_) { return change_ == Change::None; });
        if (mode_ == ReadoutMode::Idle)
            return 0;
        change_ = Change::Stopping;
        mode = mode_;
    }
    // A stream ends with its abort. A single-frame acquisition runs only while its grab waits;
    // the cancel releases that grab, which ends its acquisition itself.
    const XislStatus status = mode == ReadoutMode::SingleFrames ? 0 : detector_->stop();
    if (status == 0) {
        frameEvent_.cancel();
        grabber_.cancel();
        if (FrameCorrection *const correction = correction_.exchange(nullptr))
            correction->disarm();
    }
    endChange(status == 0 ? ReadoutMode::Idle : mode);
    return status;
}

FrameWait Readout::grab(const FrameConsumer &deliver)
{
    ReadoutMode mode = ReadoutMode::Idle;
    {
        MutexLocker locker(mutex_);
        condition_.wait(
            locker, [this]() TESSARAVOLT_REQUIRES(mutex_) { return change_ != Change::SettingUp; });
        mode = mode_;
        if (closed_)
            return FrameWait::Cancelled;
        if (mode == ReadoutMode::Idle)
            return FrameWait::NotRecording;
        if (mode == ReadoutMode::Transfer)
            return FrameWait::Transferring;
        ++grabsInFlight_;
    }
    FrameWait status = FrameWait::Cancelled;
    if (mode == ReadoutMode::Stream) {
        const Clock::time_point requested = Clock::now();
        status = grabber_.nextFrameInto(
            [this, requested] { return detector_->getFrameDeadline(requested); }, deliver);
    } else {
        status = grabSingleFrame(deliver);
    }
    MutexLocker locker(mutex_);
    --grabsInFlight_;
    condition_.notifyAll();
    return status;
}

XislStatus Readout::setBinning(uint32_t factor)
{
    const XislStatus ready = beginSetUp();
    if (ready != 0)
        return ready;
    const XislStatus status = detector_->setBinning(factor);
    // The forecast of the next set-up needs the timer's shortest cycle for the new frame size.
    if (status == 0)
        detector_->probeShortestCycle();
    endChange(ReadoutMode::Idle);
    return status;
}

XislStatus Readout::beginSetUp()
{
    MutexLocker locker(mutex_);
    // Grabs still leaving after a stop matter only while no mode runs; in a running mode the
    // set-up is refused below without waiting for them.
    const auto ready = [this]() TESSARAVOLT_REQUIRES(mutex_) {
        return change_ == Change::None && (mode_ != ReadoutMode::Idle || grabsInFlight_ == 0);
    };
    // What another thread is doing may be waiting for the delivery on this thread to return.
    if (!ready() && detector_->isDelivering())
        return driverBusy;
    condition_.wait(locker, ready);
    if (mode_ != ReadoutMode::Idle || closed_)
        return driverBusy;
    change_ = Change::SettingUp;
    return 0;
}

void Readout::endChange(ReadoutMode mode)
{
    // Released once the lock is, and only the readout's reference: a delivery under way holds
    // its own.
    std::shared_ptr<TransferState> released;
    MutexLocker locker(mutex_);
    change_ = Change::None;
    mode_ = mode;
    if (mode_ != ReadoutMode::Transfer)
        released = std::move(transfer_);
    condition_.notifyAll();
}

XislStatus Readout::startMode(ReadoutMode mode, Transfer transfer, AcquisitionOptions options)
{
    switch (mode) {
    case ReadoutMode::Transfer: {
        // The buffer holds a region of the frame, which the detector's set-up refuses beyond this.
        if (transfer.bufferPixels > largestFramePixels)
            return driverFrameTooLarge;
        auto state = std::make_shared<TransferState>(TransferState{
            std::vector<uint16_t>(transfer.bufferPixels), std::move(transfer.consumer)});
        const std::weak_ptr<TransferState> delivered = state;
        {
            MutexLocker locker(mutex_);
            transfer_ = std::move(state);
        }
        return detector_->startContinuous(
            [delivered](const Image &frame) {
                // Held for the call: a stop, or the readout's destruction, from inside the
                // consumer gives up only the readout's reference. Nothing captured is touched
                // afterwards.
                if (const std::shared_ptr<TransferState> held = delivered.lock())
                    held->consumer(frame, held->buffer.data());
            },
            options);
    }
    case ReadoutMode::Stream:
        return grabber_.start(*detector_, options);
    case ReadoutMode::SingleFrames:
        frameEvent_.rearm();
        singleFramesToSkip_ = options.framesToSkip;
        return detector_->prepareGrab([this](const Image &frame) { frameEvent_.deliver(frame); },
                                      options.onSetUp);
    case ReadoutMode::Idle:
        break;
    }
    return 0;
}

FrameWait Readout::grabSingleFrame(const FrameConsumer &deliver)
{
    // Held until this grab's acquisition has ended: a grab queued behind it can neither start
    // while it runs nor be handed one of its late frames.
    FrameEvent::Turn turn(frameEvent_);
    if (!turn.isLive())
        return FrameWait::Cancelled;
    static const FrameConsumer drop = [](const Image &) {};
    while (singleFramesToSkip_ > 0) {
        const FrameWait skipped = acquireSingleFrame(turn, drop);
        if (skipped != FrameWait::Arrived)
            return skipped;
        --singleFramesToSkip_;
    }
    return acquireSingleFrame(turn, deliver);
}

FrameWait Readout::acquireSingleFrame(FrameEvent::Turn &turn, const FrameConsumer &deliver)
{
    // The last acquisition ends before this grab's consumer is registered, so that none of its
    // frames can reach it; then no other is running, and XISL accepts the start.
    if (detector_->endAcquisition() != 0)
        return FrameWait::Refused;
    turn.expect(deliver);
    if (detector_->acquireFrame() != 0)
        return FrameWait::Refused;
    const Clock::time_point requested = Clock::now();
    const FrameWait status =
        turn.wait([this, requested] { return detector_->getFrameDeadline(requested); });
    // Without its frame the acquisition may still run: it ends before the turn passes on. An
    // abort XISL refuses is tried again before the next start or set-up, which it keeps out
    // until it succeeds.
    if (status != FrameWait::Arrived)
        detector_->stop();
    return status;
}

} // namespace TessaraVolt
