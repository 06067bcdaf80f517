/* SPDX-License-Identifier: LGPL-2.1-or-later */
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <vector>

#include "frame-event.h"
#include "frame.h"
#include "xisl.h"

namespace TessaraVolt {

// One attached detector: owns its XISL handle, keeps the settings that go out at acquisition
// set-up, and hands finished frames to a consumer.
//
// Threads: every public operation runs on the caller's thread; onEndOfFrame() (and with it the
// consumer) runs on XISL's callback thread, one frame at a time. Set-up runs only while no
// acquisition runs, so the members it writes (onFrame_, frameSize_, the buffers, waitLimit_) are
// stable while the callback thread reads them. frameEvent_'s own mutex guards its flags;
// no other member needs a lock.
class Detector {
public:
    // The exposure a detector starts with.
    static constexpr std::chrono::microseconds defaultExposure{67000};

    explicit Detector(HACQDESC handle);
    // Aborts a running acquisition (no callback reaches the detector or its consumer
    // afterwards), releases a waiting grab and waits for it to leave, then closes the handle.
    ~Detector();

    Detector(const Detector &) = delete;
    Detector &operator=(const Detector &) = delete;
    Detector(Detector &&) = delete;
    Detector &operator=(Detector &&) = delete;

    // Asks the hardware header every time.
    FrameSize getFrameSize() const;

    // Settings.
    // Negative times give 0; times above the timer's longest cycle (4294.967295 s) give that
    // cycle, with a warning. NaN changes nothing.
    void setExposureTime(std::chrono::duration<double> seconds);
    std::chrono::duration<double> getExposureTime() const;
    void setBinning(uint32_t factor); // 1 or 2 after normalisation; sent to XISL at once
    uint32_t getBinning() const { return binning_; }
    void setGain(uint32_t value); // clamped to 5
    uint32_t getGain() const { return gain_; }
    void setTriggerMode(int32_t mode); // 0 timer, 1 software, 2 external
    int32_t getTriggerMode() const { return triggerMode_; }

    // Acquisition. Set-up and start return XISL's status: non-zero means the buffers, the
    // callbacks or the start were refused, and no frame will come.
    XislStatus startContinuous(FrameConsumer consumer);
    XislStatus prepareGrab();
    // One single-frame acquisition; waits at most getFrameWaitLimit(). The image is the detector's
    // own copy and stays valid until the next grab. A wait that ends without a frame aborts the
    // acquisition it started, so that the next grab can start again. After stop() it returns
    // Cancelled until the next set-up, and Refused at once when XISL refuses to start the
    // acquisition. Grabs from several threads take turns, each from before its start until its
    // acquisition has ended, so each gets a frame of its own acquisition.
    FrameResult grab();
    // The same acquisition, but the frame goes to `deliver` on XISL's callback thread, straight
    // from the acquisition buffer: one whole-frame copy less, and made by the thread that has the
    // frame in its cache. `deliver` is never called once this returns.
    FrameWait grabInto(const FrameConsumer &deliver);
    // Aborts the running acquisition and releases a waiting grab; the next set-up re-arms.
    // Returns XISL's status: non-zero means the acquisition still runs. Called from inside one of
    // the detector's own callbacks it cannot wait for the acquisition to end; the next set-up
    // waits for it instead.
    XislStatus stop();
    void trigger();

    // How long a grab waits for its frame: one timer cycle and a fixed margin with the internal
    // timer, a fixed bound for software and external triggers. Set at set-up.
    std::chrono::milliseconds getFrameWaitLimit() const { return waitLimit_; }

private:
    XislStatus setupAcquisition(uint32_t frameCount, FrameConsumer consumer);
    // Caller's thread: waits for an acquisition that abortPending_ says may still be ending.
    void endEndingAcquisition();
    void onEndOfFrame();
    void onEndOfAcquisition();
    static Detector *fromDescriptor(HACQDESC descriptor);
    static void XISL_CALLBACK endOfFrameCallback(HACQDESC descriptor);
    static void XISL_CALLBACK endOfAcquisitionCallback(HACQDESC descriptor);

    // Written on the caller's thread only; read there and, for the acquisition members, by the
    // callback thread while an acquisition runs (set-up never overlaps one). No lock.
    const HACQDESC handle_;
    FrameConsumer onFrame_; // set-up writes; the callback thread calls it
    uint32_t binning_ = 0;
    uint32_t gain_ = 0;
    // Atomic: the one setting a client may change while recording, so another client thread
    // may read it at the same time.
    std::atomic<std::chrono::microseconds> exposure_{defaultExposure};
    FrameSize frameSize_;                     // set-up writes; the callback thread reads
    std::vector<uint16_t> destinationBuffer_; // XISL writes the slots; the callback thread reads
    // grab()'s consumer writes it on the callback thread while grab() waits; grab()'s caller
    // reads it until the next grab.
    std::vector<uint16_t> frameBuffer_;
    FrameEvent frameEvent_; // its own mutex guards its flags
    int32_t triggerMode_ = 0;
    std::chrono::milliseconds waitLimit_{0}; // set-up writes; grab() reads
    // Set when an acquisition may still be ending: by stop() on XISL's callback thread when a
    // consumer stopped the stream from inside its own delivery, and by a grab once its frame
    // arrived. The next set-up or grab (caller's thread) clears it after waiting for the end.
    std::atomic<bool> abortPending_{false};
};

} // namespace TessaraVolt
