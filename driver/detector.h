/* SPDX-License-Identifier: LGPL-2.1-or-later */
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "frame.h"
#include "xisl.h"

namespace TessaraVolt {

// A status of the driver's own, never XISL's: the driver refused before asking XISL, because an
// acquisition runs (or, asked from inside the detector's own consumer, cannot have ended yet:
// XISL would refuse the same).
constexpr XislStatus driverBusy = 0xFFFFFFFFu;
// The driver's own refusal of a frame with more than largestFramePixels pixels.
constexpr XislStatus driverFrameTooLarge = 0xFFFFFFFEu;
// The driver's own refusal of a region that does not fit the frame.
constexpr XislStatus driverRegionOutside = 0xFFFFFFFDu;

// What a trigger source means to the detector. Other values are kept as they were set and
// choose no frame-sync mode at all.
enum class TriggerMode : int32_t {
    Timer = 0,    // frames paced by the detector's internal timer
    Software = 1, // a frame per trigger() while an acquisition runs
    External = 2, // a frame per external pulse
};

// What one set-up put in force, built from what XISL accepted: the settings an acquisition's
// frames are taken with. Made once by the set-up and never changed, so that whatever describes
// or corrects those frames reads the same truth. Unset means XISL refused it and what the
// detector does instead is not known.
struct AcquisitionSettings {
    // What the client asked for, sent as asked.
    std::chrono::microseconds requestedExposure{0};
    // With the internal timer, the cycle it runs: the one it accepted now, or after a refusal the
    // one it accepted before. With a trigger, the exposure asked for.
    std::optional<std::chrono::microseconds> cycle;
    std::optional<uint32_t> gain;
    uint32_t binning = 1;
    std::optional<TriggerMode> triggerMode; // unset also for a mode without meaning
    FrameSize frameSize;
    // Why a setting is unset, for whoever has to say why frames stay raw; empty otherwise.
    std::string refused;
};

// Called on the set-up's thread once the settings are sent and before the acquisition starts, so
// before any of its frames: what depends on the settings can be made ready for them.
using SetUpObserver = std::function<void(const AcquisitionSettings &)>;

struct AcquisitionOptions {
    // The first frames of a continuous acquisition, which never reach the consumer: a panel's
    // first frames after a start carry the lag of what it saw before.
    uint32_t framesToSkip = 0;
    SetUpObserver onSetUp;
};

// One attached detector: owns its XISL handle, keeps the settings that go out at acquisition
// set-up, starts and ends acquisitions and hands each finished frame to one consumer. Which
// consumer, and when an acquisition runs, its Readout decides.
//
// Threads: the acquisition side (set-up, starts, stop, binning) is driven by one thread at a
// time, its Readout's; the other settings may be read and written from any thread (atomics).
// onEndOfFrame(), and with it the consumer, runs on XISL's callback thread, one frame at a
// time. Set-up refuses to run while an acquisition may still run (see endAcquisition()), so
// the members it writes (onFrame_, frameSize_, destinationBuffer_, the timing) are stable while
// the callback thread reads them.
class Detector {
public:
    // The exposure a detector starts with.
    static constexpr std::chrono::microseconds defaultExposure{67000};
    // How long a grab waits for a trigger, beyond the readout, unless told otherwise.
    static constexpr std::chrono::duration<double> defaultFrameTimeout{10.0};
    // Longer frame timeouts are cut to this one (over eleven days).
    static constexpr std::chrono::duration<double> longestFrameTimeout{1e6};

    explicit Detector(HACQDESC handle);
    // close(), unless done.
    ~Detector();

    Detector(const Detector &) = delete;
    Detector &operator=(const Detector &) = delete;
    Detector(Detector &&) = delete;
    Detector &operator=(Detector &&) = delete;

    // From now on no frame reaches the consumer; a delivery under way on XISL's thread is waited
    // for (not from inside it). Then aborts a running acquisition and closes the handle. Called
    // by its own consumer on XISL's thread, it neither waits for itself nor lets the delivery
    // touch the detector once the consumer returns. Returns whether XISL closed the handle: where
    // it refused, its callbacks may still come, and the detector must outlive them (see
    // keepUnclosed()). Nothing but destruction may follow: the owner's thread only.
    bool close();
    // Keeps a detector whose handle XISL would not close for as long as the process runs, so that
    // the callbacks still to come find it, closed, instead of freed memory.
    static void keepUnclosed(std::unique_ptr<Detector> detector);

    // Asks the hardware header every time.
    FrameSize getFrameSize() const;

    // Settings.
    // Negative times give 0; times above the timer's longest cycle (4294.967295 s) give that
    // cycle, with a warning. NaN changes nothing.
    void setExposureTime(std::chrono::duration<double> seconds);
    // What was set: the timer's answer never replaces it, so that every set-up sends the request
    // again (a cycle lengthened for one binning would otherwise stick at another).
    std::chrono::duration<double> getExposureTime() const;
    // 1 or 2 after normalisation; sent to XISL at once, after ending an acquisition that may still
    // be ending. Returns XISL's status: a refused mode leaves the binning as it was, with a
    // warning.
    XislStatus setBinning(uint32_t factor);
    uint32_t getBinning() const { return binning_; }
    void setGain(uint32_t value); // clamped to 5
    uint32_t getGain() const { return gain_; }
    void setTriggerMode(TriggerMode mode);
    TriggerMode getTriggerMode() const { return triggerMode_; }
    // How long a grab waits for a software or external trigger, beyond the frame's readout.
    // Negative times give 0, longer ones than longestFrameTimeout that one; NaN changes nothing.
    void setFrameTimeout(std::chrono::duration<double> seconds);
    std::chrono::duration<double> getFrameTimeout() const;

    // Acquisition. Set-ups and starts return XISL's status: non-zero means the buffers, the
    // callbacks or the start were refused (or an acquisition that may still run could not be
    // ended), and no frame will come to `consumer`. A set-up that sent the settings tells its
    // observer, before the acquisition starts.
    XislStatus startContinuous(FrameConsumer consumer, const AcquisitionOptions &options = {});
    // A one-frame set-up; starts nothing.
    XislStatus prepareGrab(FrameConsumer consumer, const SetUpObserver &onSetUp = {});
    // Starts one one-frame acquisition of the last prepareGrab(); its frame goes to that consumer.
    XislStatus acquireFrame();
    // Ends an acquisition that may still run or be ending: XISL refuses a start, a set-up or a
    // binning change until then. Non-zero when it could not, which a stop from inside this
    // detector's own consumer cannot: the acquisition ends only once the consumer returns.
    XislStatus endAcquisition();
    // Aborts the running acquisition. Returns XISL's status: non-zero means it may still run, and
    // the next set-up, start or binning change tries again before anything else.
    XislStatus stop();
    // Returns XISL's status. A trigger counts towards a wait's deadline only while a triggered
    // acquisition runs: one sent before the grab starts its acquisition is lost.
    XislStatus trigger();
    // True on XISL's callback thread while this detector's consumer runs: whatever waits there
    // for another thread may wait for one that waits for the delivery to return.
    bool isDelivering() const;

    // When a request for a frame, made at `requested`, gives up. With the internal timer: one
    // cycle and one readout, and a margin for delivery on a loaded machine. With a software
    // trigger: the frame timeout and one readout, or, when later, a margin after the readout of
    // the last trigger sent. Otherwise (external trigger): the frame timeout and one readout.
    // Each frame still to be skipped adds its cycle or frame timeout and its readout.
    Clock::time_point getFrameDeadline(Clock::time_point requested) const;

    // What the next set-up would put in force, by the rule it applies, as far as it can be known
    // without asking XISL: the timer's cycle as the request, lengthened to the shortest cycle the
    // timer answered at this binning; gain and trigger mode as set. The frame size is left
    // unknown (0 x 0): a forecast reads nothing from the detector.
    AcquisitionSettings forecastSettings() const;
    // Asks the timer for its shortest cycle at the current binning, for forecasts. Changes the
    // timer's cycle, which every set-up sends anew: call it only where no set-up runs.
    void probeShortestCycle();

private:
    XislStatus setupAcquisition(uint32_t frameCount, FrameConsumer consumer,
                                const AcquisitionOptions &options);
    // Send the settings and fill in what was accepted.
    void sendGain(AcquisitionSettings &applied);
    void sendTiming(AcquisitionSettings &applied);
    void sendCycle(AcquisitionSettings &applied);
    void noteShortestCycle(std::chrono::microseconds cycle, uint32_t binning);
    void onEndOfFrame();
    void onEndOfAcquisition();
    static Detector *fromDescriptor(HACQDESC descriptor);
    // XISL calls these: no exception may leave them (CONTRIBUTING.md, Errors).
    static void XISL_CALLBACK endOfFrameCallback(HACQDESC descriptor) noexcept;
    static void XISL_CALLBACK endOfAcquisitionCallback(HACQDESC descriptor) noexcept;

    // One frame's delivery, on the delivering thread's stack. Its consumer may close or destroy
    // this detector from inside it: onEndOfFrame() must then not touch the detector again, and
    // the frame it handed out stays valid until the consumer returns.
    struct Delivery {
        bool detectorClosed = false;          // by the consumer, which handed the frame back
        std::vector<uint16_t> orphanedBuffer; // the closed detector's frames, freed afterwards
    };

    const HACQDESC handle_;
    bool closed_ = false;       // the owner's thread: close() and destruction
    bool handleClosed_ = false; // the owner's thread: what close() found
    // close() sets it; XISL's thread reads it for each frame, counted in deliveries_ while it
    // runs, so that close() can wait for the one under way.
    std::atomic<bool> closing_{false};
    std::atomic<unsigned> deliveries_{0};
    // Which thread runs this detector's consumer now (none: the default id), and its delivery.
    // Written by that thread; isDelivering() reads the id on any thread. Kept here, not in a
    // thread_local: the dynamic TLS of a plug-in loaded with dlopen is what LeakSanitizer's scan
    // at exit crashes on (GCC 12's and clang 14's runtimes).
    std::atomic<std::thread::id> deliveringThread_{};
    Delivery *delivery_ = nullptr;     // the delivering thread only
    Detector *nextUnclosed_ = nullptr; // keepUnclosed()'s list, never emptied
    // Set-up writes these (Readout's thread); the callback thread reads them while an
    // acquisition runs, which set-up never overlaps.
    FrameConsumer onFrame_;
    FrameSize frameSize_;
    std::vector<uint16_t> destinationBuffer_; // XISL writes the slots; the callback thread reads
    // The callback thread counts it down; waiting grabs read it for their deadline.
    std::atomic<uint32_t> framesToSkip_{0};
    // Settings: any thread writes, set-up reads. Atomic, since clients may set and read them from
    // several threads.
    std::atomic<uint32_t> binning_{0};
    std::atomic<uint32_t> gain_{0};
    std::atomic<std::chrono::microseconds> exposure_{defaultExposure};
    std::atomic<TriggerMode> triggerMode_{TriggerMode::Timer};
    std::atomic<std::chrono::microseconds> frameTimeout_{
        std::chrono::duration_cast<std::chrono::microseconds>(defaultFrameTimeout)};
    // What the last set-up learned (Readout's thread writes; waiting grabs read): the trigger
    // mode it chose, the timer cycle and the readout time the timer answered.
    std::atomic<TriggerMode> syncedTriggerMode_{TriggerMode::Timer};
    std::atomic<std::chrono::microseconds> cycle_{std::chrono::microseconds::zero()};
    std::atomic<std::chrono::microseconds> readout_{std::chrono::microseconds::zero()};
    // The last cycle the timer accepted, if any. Set-up's thread only.
    std::optional<std::chrono::microseconds> acceptedCycle_;
    // The shortest cycle the timer answered, and at which binning (Readout's thread writes,
    // forecasts read): the timer lengthens shorter requests to it.
    std::atomic<std::chrono::microseconds> shortestCycle_{std::chrono::microseconds::zero()};
    std::atomic<uint32_t> shortestCycleBinning_{0};
    // When the frame of the last software trigger is read out (the readouts of triggers sent
    // close together follow one another). trigger() writes it while a triggered acquisition
    // runs, each set-up resets it; waiting grabs read it.
    std::atomic<Clock::time_point> lastTriggerFrameDue_{Clock::time_point{}};
    // Set from a successful start until an abort from outside the detector's own delivery has
    // ended the acquisition: while it is set an acquisition may still run or be ending. The
    // Readout's thread writes it; a stop from inside the delivery leaves it set.
    std::atomic<bool> acquisitionToEnd_{false};
};

} // namespace TessaraVolt
