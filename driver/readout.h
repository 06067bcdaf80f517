/* SPDX-License-Identifier: LGPL-2.1-or-later */
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "calibration.h"
#include "continuous-grabber.h"
#include "detector.h"
#include "frame-correction.h"
#include "frame-event.h"
#include "frame.h"
#include "mutex.h"

namespace TessaraVolt {

// Where frames go between a start and a stop.
enum class ReadoutMode {
    Idle,
    Transfer,     // every frame of the stream goes to the transfer consumer
    Stream,       // the stream feeds the ContinuousGrabber; each grab takes the next frame
    SingleFrames, // each grab acquires one frame, handed over by the FrameEvent
};

// Asynchronous transfer: called on XISL's callback thread for every frame, with a buffer of the
// readout's that stays valid until the call returns, whatever it calls (a stop, or the
// readout's destruction, included). The same buffer serves every frame.
using TransferConsumer = std::function<void(const Image &frame, uint16_t *buffer)>;

struct Transfer {
    size_t bufferPixels = 0;
    TransferConsumer consumer;
};

// What a recording fixes at its start, beside the mode.
struct Recording {
    // The part of each frame delivered; must fit the frame the set-up finds.
    Region region;
    // The first frames after the start, which reach nobody (see AcquisitionOptions).
    uint32_t framesToSkip = 0;
    // ReadoutMode::Transfer only: called on XISL's callback thread with each frame's region,
    // corrected, in a buffer of the readout's that stays valid until it returns. It may stop or
    // destroy the readout.
    std::function<void(uint16_t *region)> onTransfer;
    // Armed by each set-up with what it applied, and asked for a plan for each frame; null for
    // raw frames. Borrowed: it must outlive the readout.
    FrameCorrection *correction = nullptr;
};

// The acquisition in force: what its set-up applied, and what the start fixed. Made once by the
// set-up and never changed.
struct AppliedRecording {
    AcquisitionSettings settings;
    Region region;
    uint32_t framesToSkip = 0;
};

// The settings a calibration must have been taken with to serve frames taken with `settings`,
// cut to `region`; none, with the reason in `unknown`, where XISL refused a setting.
std::optional<CalibrationKey> calibrationKeyOf(const AcquisitionSettings &settings,
                                               const Region &region, std::string &unknown);

// The one owner of a detector's three readout modes and of the contract between them:
// - start() sets up one mode; stop() and destruction cancel everything: the acquisition ends
//   and waiting grabs return;
// - whatever a consumer was handed (the frame, the transfer buffer) stays valid until it
//   returns;
// - a start or a binning change waits while a grab or another start or stop is under way, and
//   refuses (driverBusy) while a mode runs.
//
// Threads: every operation may be called from any client thread. Grabs from several threads take
// turns (single frames) or share a frame (stream). The transfer consumer runs on XISL's callback
// thread and may stop or destroy the readout. A grab's own consumer runs there too, while its
// grab waits, and must not stop or destroy the readout, since that would wait for the grab. No
// lock of the readout is held while XISL is called; mutex_ guards the members marked so.
class Readout {
public:
    explicit Readout(std::unique_ptr<Detector> detector);
    // close(), unless done, then destroys the detector.
    ~Readout();

    // Cancels everything, waits for grabs to leave and for a start or stop under way on another
    // thread, then closes the detector, which ends its acquisition: once it returns, no callback
    // runs and none will. What a consumer still calls meanwhile (a stop from the transfer
    // callback) finds the readout whole, and closed: starts are refused, stops and grabs end at
    // once. For an owner that must end the callbacks before its own state goes.
    void close();

    Readout(const Readout &) = delete;
    Readout &operator=(const Readout &) = delete;
    Readout(Readout &&) = delete;
    Readout &operator=(Readout &&) = delete;

    // Settings, frame size and trigger; binning goes through setBinning().
    Detector &getDetector() const { return *detector_; }
    ReadoutMode getMode() const;
    // The acquisition in force; null while no mode runs.
    std::shared_ptr<const AppliedRecording> getApplied() const;

    // The frame route: every frame's region is copied out of the acquisition buffer and
    // corrected for the acquisition in force, on XISL's thread, straight to where it is wanted.
    // Starts as start() does; `warnings` gets what the correction has to say about the frames.
    XislStatus startRecording(ReadoutMode mode, Recording recording,
                              std::vector<std::string> &warnings);
    // grab(), with the frame's region copied into `destination` as the route says.
    FrameWait grabInto(uint16_t *destination);

    // Returns the detector's status (non-zero: the mode did not start), or driverBusy while a mode
    // runs. `transfer` serves ReadoutMode::Transfer only. In every mode the first
    // `options.framesToSkip` frames after the start reach nobody: with single frames the first
    // grab acquires and drops them, one acquisition each. `region`, the part of each frame the
    // consumers copy, must fit the frame the set-up finds (driverRegionOutside otherwise); checked
    // there, no binning change can come in between.
    XislStatus start(ReadoutMode mode, Transfer transfer = {}, AcquisitionOptions options = {},
                     std::optional<Region> region = std::nullopt);
    // Returns the detector's status: non-zero means a stream still runs, and the mode with it.
    // From inside the transfer consumer it returns at once; the acquisition then ends as the
    // consumer returns. There it cannot wait for a start still under way on another thread,
    // which may be waiting for the consumer, and returns driverBusy instead.
    XislStatus stop();
    // The next frame, handed to `deliver` on XISL's callback thread while this waits; `deliver`
    // is never called once this returns. Waits at most until the detector's frame deadline.
    FrameWait grab(const FrameConsumer &deliver);
    // The detector's status, or driverBusy while a mode runs: its buffers fit the frame size.
    XislStatus setBinning(uint32_t factor);

private:
    // The Transfer mode's buffer and consumer. Shared: a delivery under way holds them until it
    // returns, so that a stop or the readout's destruction from inside it frees nothing in use.
    struct TransferState {
        std::vector<uint16_t> buffer;
        TransferConsumer consumer;
    };
    // A start or binning change (set-up), or a stop, between its XISL calls.
    enum class Change { None, SettingUp, Stopping };

    // Waits until no other change is under way and no grab is still leaving, then marks a set-up
    // under way; driverBusy while a mode runs.
    XislStatus beginSetUp();
    void endChange(ReadoutMode mode);
    XislStatus startMode(ReadoutMode mode, Transfer transfer, AcquisitionOptions options);
    FrameWait grabSingleFrame(const FrameConsumer &deliver);
    FrameWait acquireSingleFrame(FrameEvent::Turn &turn, const FrameConsumer &deliver);
    // XISL's thread: the acquisition in force's region of `frame`, corrected, into `destination`.
    void copyFrame(const Image &frame, uint16_t *destination) const;

    std::unique_ptr<Detector> detector_; // set at construction; reset by the destructor
    FrameEvent frameEvent_;
    ContinuousGrabber grabber_;
    // Single frames still to drop after the start: the start sets it while no grab runs, the grab
    // that holds the FrameEvent's turn counts it down.
    std::atomic<uint32_t> singleFramesToSkip_{0};
    // The recording's correction: set by startRecording() while no mode runs, read by XISL's
    // thread and by stop() while one does.
    std::atomic<FrameCorrection *> correction_{nullptr};
    // Replaced by each set-up of startRecording() with std::atomic_store, before its acquisition
    // starts; XISL's thread and clients read it with std::atomic_load.
    std::shared_ptr<const AppliedRecording> applied_;

    mutable Mutex mutex_;
    ConditionVariable condition_; // signals `change_` and `grabsInFlight_` changing
    ReadoutMode mode_ TESSARAVOLT_GUARDED_BY(mutex_) = ReadoutMode::Idle;
    Change change_ TESSARAVOLT_GUARDED_BY(mutex_) = Change::None;
    unsigned grabsInFlight_ TESSARAVOLT_GUARDED_BY(mutex_) = 0;
    bool closed_ TESSARAVOLT_GUARDED_BY(mutex_) = false;
    bool detectorClosed_ = false; // close()'s thread: XISL closed the handle
    std::shared_ptr<TransferState> transfer_ TESSARAVOLT_GUARDED_BY(mutex_);
};

} // namespace TessaraVolt
