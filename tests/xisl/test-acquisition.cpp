// SPDX-License-Identifier: LGPL-2.1-or-later
// Buffers, acquisitions, triggers, callbacks, abort and close.
#include "sim-fixture.h"
#include "sim-pattern.h"

#include <future>

namespace TessaraVoltTest {
namespace {

using namespace std::chrono_literals;

class Acquire : public SimTest {
protected:
    void SetUp() override
    {
        SimTest::SetUp();
        useSensor(64, 32);
        xisl_sim_set_readout_ns_per_pixel(0);
    }
    // A callback calls block() to wait for `release`; blocked() says it got there.
    std::promise<void> entered, release;
    std::shared_future<void> released = release.get_future().share();
    void block()
    {
        entered.set_value();
        released.wait_for(kTimeout);
    }
    bool blocked() { return entered.get_future().wait_for(kTimeout) == std::future_status::ready; }
    // An abort on another thread waits for the blocked callback.
    void abortWaitsForTheBlockedCallback(HACQDESC handle)
    {
        auto aborted = std::async(std::launch::async, [=] { return Acquisition_Abort(handle); });
        EXPECT_EQ(aborted.wait_for(100ms), std::future_status::timeout);
        release.set_value();
        ASSERT_EQ(aborted.wait_for(kTimeout), std::future_status::ready);
        EXPECT_EQ(aborted.get(), 0u);
    }
};

TEST_F(Acquire, MismatchedBuffersAndStartsAreRefused)
{
    HACQDESC handle = openFirst();
    std::vector<unsigned short> buffer(3 * 64 * 32);
    EXPECT_EQ(start(handle, XISL_ACQ_ONE_BUFFER, 1), XISL_SIM_ERROR_NOT_READY);
    EXPECT_NE(Acquisition_DefineDestBuffers(handle, buffer.data(), 3, 64, 32), 0u);
    EXPECT_NE(Acquisition_DefineDestBuffers(handle, buffer.data(), 0, 32, 64), 0u);
    ASSERT_EQ(Acquisition_DefineDestBuffers(handle, buffer.data(), 3, 32, 64), 0u);
    ASSERT_EQ(Acquisition_SetCameraBinningMode(handle, XISL_BINNING_2X2), 0u);
    EXPECT_NE(Acquisition_DefineDestBuffers(handle, buffer.data(), 3, 32, 64), 0u);
    EXPECT_EQ(Acquisition_DefineDestBuffers(handle, buffer.data(), 3, 16, 32), 0u);
    for (XislStatus refused :
         {start(handle, 0), start(handle, 1), start(handle, 3), start(handle, 255),
          start(handle, XISL_ACQ_CONTINUOUS, 4), start(handle, XISL_ACQ_ONE_BUFFER, 0)})
        EXPECT_NE(refused, 0u);
    EXPECT_EQ(counters().framesProduced, 0u);
}

// Two runs on one handle, frames only when stepped, on the simulator's thread: numbers go on from
// the first frame number, wrapping at 2^32, and the buffer frames cycle 1..3 from each start.
TEST_F(Acquire, ContinuousModeCyclesBufferFramesOnTheSimulatorsThread)
{
    xisl_sim_set_first_frame_number(0xfffffffeu);
    xisl_sim_set_manual(1);
    Recorder recorder;
    Acquisition acquisition = prepare(recorder);
    std::vector<std::vector<DWORD>> seen;
    const std::thread::id testThread = std::this_thread::get_id();
    recorder.onFrame = [&](HACQDESC, size_t index) {
        const FrameRecord &frame = recorder.frames[index];
        const unsigned short *slot = acquisition.slot(frame.bufferFrame - 1);
        seen.push_back({frame.bufferFrame, frame.acquired - 0xfffffffeu,
                        DWORD{frame.thread == testThread},
                        slot[0] == patternPixel(0, 0, frame.acquired) &&
                            slot[31 * 64 + 63] == patternPixel(63, 31, frame.acquired)});
    };
    for (size_t run = 0; run < 2; ++run) {
        ASSERT_EQ(start(acquisition.handle, XISL_ACQ_CONTINUOUS), 0u);
        EXPECT_EQ(recorder.frames.size(), 5 * run); // the last run's callbacks have returned
        ASSERT_EQ(xisl_sim_step(acquisition.handle, 5, kTimeoutMs), 0);
        ASSERT_EQ(Acquisition_Abort(acquisition.handle), 0u);
    }
    EXPECT_EQ(seen, (std::vector<std::vector<DWORD>>{{1, 0, 0, 1},
                                                     {2, 1, 0, 1},
                                                     {3, 2, 0, 1},
                                                     {1, 3, 0, 1},
                                                     {2, 4, 0, 1},
                                                     {1, 5, 0, 1},
                                                     {2, 6, 0, 1},
                                                     {3, 7, 0, 1},
                                                     {1, 8, 0, 1},
                                                     {2, 9, 0, 1}}));
    // The slots keep the last frames written into them: the 8th in slot 3, the 10th in slot 2.
    EXPECT_EQ(acquisition.slot(2)[64 + 1], patternPixel(1, 1, 0xfffffffeu + 7));
    EXPECT_EQ(acquisition.slot(1)[64 + 1], patternPixel(1, 1, 0xfffffffeu + 9));
    EXPECT_EQ(counters().endOfAcquisitionCallbacks, 2u);
}

// As strict as the vendor library may be: the acquisition runs until its end-of-acquisition
// callback has returned, whoever asks to start the next one or to change its buffers; an abort
// waits for that return.
TEST_F(Acquire, StartsAreRefusedUntilTheEndOfAcquisitionCallbackHasReturned)
{
    Recorder recorder;
    Acquisition acquisition = prepare(recorder, 1);
    DWORD cycle = 0; // the internal timer at the shortest cycle the readout allows
    ASSERT_EQ(Acquisition_SetFrameSyncMode(acquisition.handle, XISL_SYNC_INTERNAL_TIMER) +
                  Acquisition_SetTimerSync(acquisition.handle, &cycle),
              0u);
    std::vector<XislStatus> fromCallbacks;
    recorder.onFrame = [&](HACQDESC handle, size_t) {
        fromCallbacks.push_back(start(handle, XISL_ACQ_ONE_BUFFER, 1));
    };
    recorder.onEndOfAcquisition = [&](HACQDESC handle) {
        if (fromCallbacks.size() == 1) {
            fromCallbacks.push_back(start(handle, XISL_ACQ_ONE_BUFFER, 1));
            block();
        }
    };
    EXPECT_EQ(Acquisition_Abort(acquisition.handle), 0u); // nothing runs: nothing to call back
    ASSERT_EQ(start(acquisition.handle, XISL_ACQ_ONE_BUFFER, 1), 0u);
    ASSERT_TRUE(blocked());
    std::vector<unsigned short> other(64 * 32);
    EXPECT_EQ(start(acquisition.handle, XISL_ACQ_ONE_BUFFER, 1), XISL_SIM_ERROR_BUSY);
    EXPECT_NE(Acquisition_DefineDestBuffers(acquisition.handle, other.data(), 1, 32, 64), 0u);
    EXPECT_NE(Acquisition_SetCameraBinningMode(acquisition.handle, XISL_BINNING_2X2), 0u);
    abortWaitsForTheBlockedCallback(acquisition.handle);
    EXPECT_EQ(fromCallbacks, (std::vector<XislStatus>{XISL_SIM_ERROR_BUSY, XISL_SIM_ERROR_BUSY}));
    ASSERT_EQ(start(acquisition.handle, XISL_ACQ_ONE_BUFFER, 1), 0u);
    ASSERT_EQ(xisl_sim_wait_idle(acquisition.handle, kTimeoutMs), 0);
    EXPECT_EQ(recorder.events, (std::vector<char>{'F', 'A', 'F', 'A'}));
}

// Pulses give frames in external-trigger mode, a software trigger none; a close while running
// aborts first, with one end of acquisition, and the handle is gone afterwards.
TEST_F(Acquire, ExternalPulsesGiveFramesOnlyInExternalTriggerMode)
{
    Recorder recorder;
    Acquisition acquisition = prepare(recorder);
    ASSERT_EQ(Acquisition_SetFrameSyncMode(acquisition.handle, XISL_SYNC_EXTERNAL_TRIGGER), 0u);
    ASSERT_EQ(start(acquisition.handle, XISL_ACQ_CONTINUOUS), 0u);
    ASSERT_EQ(Acquisition_SetFrameSync(acquisition.handle), 0u);
    for (int i = 0; i < 3; ++i)
        ASSERT_EQ(xisl_sim_pulse(acquisition.handle), 0);
    ASSERT_EQ(xisl_sim_wait_frames(3, kTimeoutMs), 0);
    EXPECT_NE(xisl_sim_wait_frames(4, 100), 0);
    ASSERT_EQ(Acquisition_Close(acquisition.handle), 0u);
    EXPECT_NE(xisl_sim_pulse(acquisition.handle), 0);
    EXPECT_NE(Acquisition_SetReady(acquisition.handle, 1), 0u);
    EXPECT_EQ(recorder.events, (std::vector<char>{'F', 'F', 'F', 'A'}));
    EXPECT_EQ(counters().openHandles, 0u);
}

// Frames come only by hand here: however late the aborting thread gets to run, no frame can
// follow the blocked callback before the abort takes effect.
TEST_F(Acquire, AbortReturnsOnlyAfterTheRunningCallbackAndEndOfAcquisition)
{
    xisl_sim_set_manual(1);
    Recorder recorder;
    Acquisition acquisition = prepare(recorder);
    recorder.onFrame = [&](HACQDESC, size_t index) {
        if (index == 2)
            block();
    };
    ASSERT_EQ(start(acquisition.handle, XISL_ACQ_CONTINUOUS), 0u);
    auto stepped = std::async(std::launch::async,
                              [&] { return xisl_sim_step(acquisition.handle, 3, kTimeoutMs); });
    ASSERT_TRUE(blocked());
    abortWaitsForTheBlockedCallback(acquisition.handle);
    EXPECT_EQ(stepped.get(), 0); // the blocked frame was the last one asked for, and it counted
    std::lock_guard<std::mutex> lock(recorder.mutex);
    EXPECT_EQ(recorder.events, (std::vector<char>{'F', 'F', 'F', 'A'}));
    EXPECT_EQ(xisl_sim_wait_idle(acquisition.handle, 0), 0);
}

} // namespace
} // namespace TessaraVoltTest
