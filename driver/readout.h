/* SPDX-License-Identifier: LGPL-2.1-or-later */
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "continuous-grabber.h"
#include "detector.h"
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
    // Cancels everything, waits for grabs to leave, then destroys the detector, which ends its
    // acquisition and closes it.
    ~Readout();

    Readout(const Readout &) = delete;
    Readout &operator=(const Readout &) = delete;
    Readout(Readout &&) = delete;
    Readout &operator=(Readout &&) = delete;

    // Settings, frame size and trigger; binning goes through setBinning().
    Detector &getDetector() const { return *detector_; }
    ReadoutMode getMode() const;

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

    std::unique_ptr<Detector> detector_; // set at construction; reset by the destructor
    FrameEvent frameEvent_;
    ContinuousGrabber grabber_;
    // Single frames still to drop after the start: the start sets it while no grab runs, the grab
    // that holds the FrameEvent's turn counts it down.
    std::atomic<uint32_t> singleFramesToSkip_{0};

    mutable Mutex mutex_;
    ConditionVariable condition_; // signals `change_` and `grabsInFlight_` changing
    ReadoutMode mode_ TESSARAVOLT_GUARDED_BY(mutex_) = ReadoutMode::Idle;
    Change change_ TESSARAVOLT_GUARDED_BY(mutex_) = Change::None;
    unsigned grabsInFlight_ TESSARAVOLT_GUARDED_BY(mutex_) = 0;
    std::shared_ptr<TransferState> transfer_ TESSARAVOLT_GUARDED_BY(mutex_);
};

} // namespace TessaraVolt
