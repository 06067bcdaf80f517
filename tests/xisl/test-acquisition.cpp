// SPDX-License-Identifier: LGPL-2.1-or-later
// Buffers, acquisitions, callbacks, abort and close.
#include "sim-fixture.h"
#include "sim-pattern.h"

#include <atomic>
#include <future>

namespace TessaraVoltTest {
namespace {

class Acquire : public SimTest {
protected:
    void SetUp() override
    {
        SimTest::SetUp();
        useSensor(64, 32);
        xisl_sim_set_readout_ns_per_pixel(0);
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

    for (UINT option : {0u, 1u, 3u, 255u})
        EXPECT_NE(start(handle, option), 0u);
    EXPECT_NE(start(handle, XISL_ACQ_CONTINUOUS, 4), 0u);
    EXPECT_NE(start(handle, XISL_ACQ_ONE_BUFFER, 0), 0u);
    EXPECT_EQ(counters().framesProduced, 0u);
}

TEST_F(Acquire, ContinuousModeCyclesBufferFramesOnTheSimulatorsThread)
{
    xisl_sim_set_manual(1);
    Recorder recorder;
    Acquisition acquisition = prepare(recorder);
    std::vector<std::vector<unsigned short>> delivered;
    recorder.onFrame = [&](HACQDESC, size_t index) {
        const FrameRecord &frame = recorder.frames[index];
        const unsigned short *slot = acquisition.slot(frame.bufferFrame - 1);
        delivered.emplace_back(slot, slot + 64 * 32);
    };
    for (int run = 0; run < 2; ++run) {
        ASSERT_EQ(start(acquisition.handle, XISL_ACQ_CONTINUOUS), 0u);
        EXPECT_EQ(recorder.frameCount(), 5u * run); // manual mode: nothing before the step
        ASSERT_EQ(xisl_sim_step(acquisition.handle, 5, kTimeoutMs), 0);
        ASSERT_EQ(Acquisition_Abort(acquisition.handle), 0u);
    }

    const DWORD bufferFrames[10] = {1, 2, 3, 1, 2, 1, 2, 3, 1, 2};
    ASSERT_EQ(recorder.frames.size(), 10u);
    for (uint32_t i = 0; i < 10; ++i) {
        EXPECT_NE(recorder.frames[i].thread, std::this_thread::get_id());
        EXPECT_EQ(recorder.frames[i].bufferFrame, bufferFrames[i]) << i;
        EXPECT_EQ(recorder.frames[i].acquired, i + 1) << i;
        // Each callback saw its own frame's pixels in the slot it was told about.
        EXPECT_EQ(delivered[i][0], patternPixel(0, 0, i + 1));
        EXPECT_EQ(delivered[i][31 * 64 + 63], patternPixel(63, 31, i + 1));
        EXPECT_EQ(delivered[i][5 * 64 + 17], patternPixel(17, 5, i + 1));
    }
    // The slots hold the last frames written into them: 9 in slot 3, 10 in slot 2.
    EXPECT_EQ(acquisition.slot(2)[64 + 1], patternPixel(1, 1, 8));
    EXPECT_EQ(acquisition.slot(1)[64 + 1], patternPixel(1, 1, 10));
    EXPECT_EQ(recorder.endOfAcquisitionCount(), 2u);
    EXPECT_NE(recorder.endOfAcquisitionThread, std::this_thread::get_id());
}

TEST_F(Acquire, AcquiredFramesStartAtTheFirstFrameNumberAndWrap)
{
    xisl_sim_set_first_frame_number(0xfffffffeu);
    xisl_sim_set_manual(1);
    Recorder recorder;
    Acquisition acquisition = prepare(recorder);
    ASSERT_EQ(start(acquisition.handle, XISL_ACQ_CONTINUOUS), 0u);
    ASSERT_EQ(xisl_sim_step(acquisition.handle, 4, kTimeoutMs), 0);
    ASSERT_EQ(Acquisition_Abort(acquisition.handle), 0u);
    const DWORD expected[4] = {0xfffffffeu, 0xffffffffu, 0, 1};
    for (int i = 0; i < 4; ++i)
        EXPECT_EQ(recorder.frames[i].acquired, expected[i]);
    // Frame 0 of the wrapped counter: 17 * 0 added.
    EXPECT_EQ(acquisition.slot(2)[2 * 64 + 3], (3 ^ 128));
}

TEST_F(Acquire, OneBufferAcquisitionEndsWithEndOfAcquisition)
{
    Recorder recorder;
    Acquisition acquisition = prepare(recorder, 2);
    setTimer(acquisition.handle, 0);
    ASSERT_EQ(start(acquisition.handle, XISL_ACQ_ONE_BUFFER, 2), 0u);
    ASSERT_TRUE(recorder.waitUntil(
        [&] { return !recorder.events.empty() && recorder.events.back() == 'A'; }));
    ASSERT_EQ(xisl_sim_wait_idle(acquisition.handle, kTimeoutMs), 0);
    EXPECT_EQ(recorder.events, (std::vector<char>{'F', 'F', 'A'}));
    EXPECT_EQ(recorder.frames[1].bufferFrame, 2u);

    // Idle again: a new start is accepted and runs the same way.
    ASSERT_EQ(start(acquisition.handle, XISL_ACQ_ONE_BUFFER, 1), 0u);
    ASSERT_EQ(xisl_sim_wait_idle(acquisition.handle, kTimeoutMs), 0);
    EXPECT_EQ(recorder.events, (std::vector<char>{'F', 'F', 'A', 'F', 'A'}));
    EXPECT_EQ(recorder.frames[2].bufferFrame, 1u);
    EXPECT_EQ(counters().endOfAcquisitionCallbacks, 2u);
}

TEST_F(Acquire, SecondStartWhileRunningIsRefused)
{
    xisl_sim_set_manual(1);
    Recorder recorder;
    Acquisition acquisition = prepare(recorder);
    ASSERT_EQ(start(acquisition.handle, XISL_ACQ_CONTINUOUS), 0u);
    EXPECT_EQ(start(acquisition.handle, XISL_ACQ_ONE_BUFFER, 1), XISL_SIM_ERROR_BUSY);
    std::vector<unsigned short> other(64 * 32);
    EXPECT_NE(Acquisition_DefineDestBuffers(acquisition.handle, other.data(), 1, 32, 64), 0u);
    EXPECT_NE(Acquisition_SetCameraBinningMode(acquisition.handle, XISL_BINNING_2X2), 0u);
    ASSERT_EQ(Acquisition_Abort(acquisition.handle), 0u);
    EXPECT_EQ(recorder.endOfAcquisitionCount(), 1u);
}

// As strict as the vendor library may be: the acquisition runs until its end-of-acquisition
// callback has returned, whoever asks to start the next one; an abort waits for that return.
TEST_F(Acquire, StartsAreRefusedUntilTheEndOfAcquisitionCallbackHasReturned)
{
    Recorder recorder;
    Acquisition acquisition = prepare(recorder, 1);
    setTimer(acquisition.handle, 0);
    std::vector<XislStatus> fromCallbacks;
    std::promise<void> entered;
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    recorder.onFrame = [&](HACQDESC handle, size_t) {
        fromCallbacks.push_back(start(handle, XISL_ACQ_ONE_BUFFER, 1));
    };
    recorder.onEndOfAcquisition = [&](HACQDESC handle) {
        if (!fromCallbacks.empty() && fromCallbacks.size() < 2) {
            fromCallbacks.push_back(start(handle, XISL_ACQ_ONE_BUFFER, 1));
            entered.set_value();
            released.wait_for(kTimeout);
        }
    };
    ASSERT_EQ(start(acquisition.handle, XISL_ACQ_ONE_BUFFER, 1), 0u);
    ASSERT_EQ(entered.get_future().wait_for(kTimeout), std::future_status::ready);
    EXPECT_EQ(start(acquisition.handle, XISL_ACQ_ONE_BUFFER, 1), XISL_SIM_ERROR_BUSY);
    auto aborted =
        std::async(std::launch::async, [&] { return Acquisition_Abort(acquisition.handle); });
    EXPECT_EQ(aborted.wait_for(std::chrono::milliseconds(100)), std::future_status::timeout);
    release.set_value();
    ASSERT_EQ(aborted.wait_for(kTimeout), std::future_status::ready);
    EXPECT_EQ(aborted.get(), 0u);
    EXPECT_EQ(fromCallbacks, (std::vector<XislStatus>{XISL_SIM_ERROR_BUSY, XISL_SIM_ERROR_BUSY}));

    // Once the callback has returned, the next start is accepted.
    ASSERT_EQ(start(acquisition.handle, XISL_ACQ_ONE_BUFFER, 1), 0u);
    ASSERT_EQ(xisl_sim_wait_idle(acquisition.handle, kTimeoutMs), 0);
    EXPECT_EQ(recorder.events, (std::vector<char>{'F', 'A', 'F', 'A'}));
}

TEST_F(Acquire, SoftwareTriggersGiveOneFrameEachAndCallbacksNeverOverlap)
{
    Recorder recorder;
    Acquisition acquisition = prepare(recorder);
    ASSERT_EQ(Acquisition_SetFrameSyncMode(acquisition.handle, XISL_SYNC_SOFTWARE_TRIGGER), 0u);
    std::atomic<int> inside{0};
    std::atomic<int> overlaps{0};
    recorder.onFrame = [&](HACQDESC, size_t) {
        if (inside.fetch_add(1) != 0)
            ++overlaps;
        // Stay a moment so that overlapping deliveries would be caught.
        const auto until = std::chrono::steady_clock::now() + std::chrono::microseconds(200);
        while (std::chrono::steady_clock::now() < until)
            std::this_thread::yield();
        inside.fetch_sub(1);
    };
    ASSERT_EQ(start(acquisition.handle, XISL_ACQ_CONTINUOUS), 0u);
    std::vector<std::thread> triggers;
    for (int t = 0; t < 4; ++t) {
        triggers.emplace_back([&] {
            for (int i = 0; i < 25; ++i)
                Acquisition_SetFrameSync(acquisition.handle);
        });
    }
    for (std::thread &thread : triggers)
        thread.join();
    EXPECT_EQ(xisl_sim_wait_frames(100, kTimeoutMs), 0);
    ASSERT_EQ(Acquisition_Abort(acquisition.handle), 0u);
    EXPECT_EQ(recorder.frameCount(), 100u);
    EXPECT_EQ(overlaps.load(), 0);
    EXPECT_EQ(counters().overlappingCallbacks, 0u);
}

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
    EXPECT_NE(xisl_sim_wait_frames(4, 100), 0); // the software trigger gave nothing
    ASSERT_EQ(Acquisition_Close(acquisition.handle), 0u);
    EXPECT_NE(xisl_sim_pulse(acquisition.handle), 0);
    EXPECT_EQ(recorder.frameCount(), 3u);
}

TEST_F(Acquire, ManualModeHoldsTheTimerAndStepsNeedARunningAcquisition)
{
    xisl_sim_set_manual(1);
    Recorder recorder;
    Acquisition acquisition = prepare(recorder);
    setTimer(acquisition.handle, 0);
    EXPECT_NE(xisl_sim_step(acquisition.handle, 1, 100), 0);
    ASSERT_EQ(start(acquisition.handle, XISL_ACQ_CONTINUOUS), 0u);
    EXPECT_NE(xisl_sim_wait_frames(1, 100), 0);
    ASSERT_EQ(xisl_sim_step(acquisition.handle, 2, kTimeoutMs), 0);
    EXPECT_EQ(recorder.frameCount(), 2u);

    // Switching manual mode off lets the timer run again.
    xisl_sim_set_manual(0);
    EXPECT_EQ(xisl_sim_wait_frames(10, kTimeoutMs), 0);
    ASSERT_EQ(Acquisition_Abort(acquisition.handle), 0u);
}

TEST_F(Acquire, TimerCycleSpacesFramesFromTheStartOn)
{
    Recorder recorder;
    Acquisition acquisition = prepare(recorder);
    setTimer(acquisition.handle, 20000);
    const auto begin = std::chrono::steady_clock::now();
    ASSERT_EQ(start(acquisition.handle, XISL_ACQ_CONTINUOUS), 0u);
    ASSERT_EQ(xisl_sim_wait_frames(4, kTimeoutMs), 0);
    const auto elapsed = std::chrono::steady_clock::now() - begin;
    ASSERT_EQ(Acquisition_Abort(acquisition.handle), 0u);
    // The first frame, too, ends a whole cycle after the start.
    EXPECT_GE(elapsed, std::chrono::milliseconds(80));
}

// 64 x 32 pixels at 10 us each: 20.48 ms per frame, and readouts do not overlap.
TEST_F(Acquire, TriggeredFramesEndOneReadoutAfterTheirTrigger)
{
    for (DWORD mode : {XISL_SYNC_SOFTWARE_TRIGGER, XISL_SYNC_EXTERNAL_TRIGGER}) {
        SCOPED_TRACE(mode);
        xisl_sim_reset();
        useSensor(64, 32);
        xisl_sim_set_readout_ns_per_pixel(10000);
        Recorder recorder;
        Acquisition acquisition = prepare(recorder);
        ASSERT_EQ(Acquisition_SetFrameSyncMode(acquisition.handle, mode), 0u);
        ASSERT_EQ(start(acquisition.handle, XISL_ACQ_CONTINUOUS), 0u);
        const auto begin = std::chrono::steady_clock::now();
        for (int i = 0; i < 2; ++i) {
            if (mode == XISL_SYNC_SOFTWARE_TRIGGER)
                ASSERT_EQ(Acquisition_SetFrameSync(acquisition.handle), 0u);
            else
                ASSERT_EQ(xisl_sim_pulse(acquisition.handle), 0);
        }
        ASSERT_EQ(xisl_sim_wait_frames(1, kTimeoutMs), 0);
        EXPECT_GE(std::chrono::steady_clock::now() - begin, std::chrono::microseconds(20480));
        ASSERT_EQ(xisl_sim_wait_frames(2, kTimeoutMs), 0);
        EXPECT_GE(std::chrono::steady_clock::now() - begin, std::chrono::microseconds(40960));
        ASSERT_EQ(Acquisition_Close(acquisition.handle), 0u);
    }
}

TEST_F(Acquire, TheStartOfEachEndOfFrameCallbackIsKeptByFrameNumber)
{
    xisl_sim_set_first_frame_number(41);
    Recorder recorder;
    Acquisition acquisition = prepare(recorder);
    setTimer(acquisition.handle, 0);
    std::vector<uint64_t> insideCallback;
    recorder.onFrame = [&](HACQDESC, size_t) {
        insideCallback.push_back(
            static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(
                                      std::chrono::steady_clock::now().time_since_epoch())
                                      .count()));
    };
    const auto before = std::chrono::steady_clock::now().time_since_epoch();
    ASSERT_EQ(start(acquisition.handle, XISL_ACQ_ONE_BUFFER, 3), 0u);
    ASSERT_EQ(xisl_sim_wait_idle(acquisition.handle, kTimeoutMs), 0);
    ASSERT_EQ(insideCallback.size(), 3u);
    uint64_t previous =
        static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(before).count());
    for (uint32_t i = 0; i < 3; ++i) {
        uint64_t began = 0;
        ASSERT_EQ(xisl_sim_frame_callback_time(41 + i, &began), 0);
        EXPECT_GE(began, previous);
        EXPECT_LE(began, insideCallback[i]);
        previous = insideCallback[i];
    }
    uint64_t unused = 0;
    EXPECT_NE(xisl_sim_frame_callback_time(44, &unused), 0);
    EXPECT_NE(xisl_sim_frame_callback_time(41 + XISL_SIM_FRAME_TIME_CAPACITY, &unused), 0);
    xisl_sim_reset();
    EXPECT_NE(xisl_sim_frame_callback_time(41, &unused), 0);
}

TEST_F(Acquire, FramesNotHandedBackAreCounted)
{
    xisl_sim_set_manual(1);
    Recorder recorder;
    recorder.handBack = false;
    recorder.onFrame = [](HACQDESC handle, size_t index) {
        if (index % 2 == 0)
            Acquisition_SetReady(handle, 1);
    };
    Acquisition acquisition = prepare(recorder);
    ASSERT_EQ(start(acquisition.handle, XISL_ACQ_CONTINUOUS), 0u);
    ASSERT_EQ(xisl_sim_step(acquisition.handle, 5, kTimeoutMs), 0);
    ASSERT_EQ(Acquisition_Abort(acquisition.handle), 0u);
    XislSimCounters c = counters();
    EXPECT_EQ(c.framesProduced, 5u);
    EXPECT_EQ(c.endOfFrameCallbacks, 5u);
    EXPECT_EQ(c.framesHandedBack, 3u);
    EXPECT_EQ(c.framesNotHandedBack, 2u);
}

TEST_F(Acquire, AbortWithNothingRunningSucceedsAndCallsNothing)
{
    Recorder recorder;
    Acquisition acquisition = prepare(recorder);
    EXPECT_EQ(Acquisition_Abort(acquisition.handle), 0u);
    EXPECT_EQ(Acquisition_Abort(acquisition.handle), 0u);
    EXPECT_EQ(recorder.events.size(), 0u);
}

// Frames come only by hand here: however late the aborting thread gets to run, no frame can
// follow the blocked callback before the abort takes effect.
TEST_F(Acquire, AbortReturnsOnlyAfterTheRunningCallbackAndEndOfAcquisition)
{
    xisl_sim_set_manual(1);
    Recorder recorder;
    Acquisition acquisition = prepare(recorder);
    std::promise<void> entered;
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    recorder.onFrame = [&](HACQDESC, size_t index) {
        if (index != 2)
            return;
        entered.set_value();
        released.wait_for(kTimeout);
    };
    ASSERT_EQ(start(acquisition.handle, XISL_ACQ_CONTINUOUS), 0u);
    auto stepped = std::async(std::launch::async,
                              [&] { return xisl_sim_step(acquisition.handle, 3, kTimeoutMs); });
    ASSERT_EQ(entered.get_future().wait_for(kTimeout), std::future_status::ready);
    auto aborted =
        std::async(std::launch::async, [&] { return Acquisition_Abort(acquisition.handle); });
    EXPECT_EQ(aborted.wait_for(std::chrono::milliseconds(100)), std::future_status::timeout);
    release.set_value();
    ASSERT_EQ(aborted.wait_for(kTimeout), std::future_status::ready);
    EXPECT_EQ(aborted.get(), 0u);
    EXPECT_EQ(stepped.get(), 0); // the blocked frame was the last one asked for, and it counted

    const std::vector<char> events = [&] {
        std::lock_guard<std::mutex> lock(recorder.mutex);
        return recorder.events;
    }();
    EXPECT_EQ(events, (std::vector<char>{'F', 'F', 'F', 'A'}));
    EXPECT_EQ(xisl_sim_wait_idle(acquisition.handle, 0), 0);
    EXPECT_EQ(counters().framesProduced, 3u);
}

TEST_F(Acquire, AbortFromInsideACallbackEndsAfterItWithOneEndOfAcquisition)
{
    Recorder recorder;
    Acquisition acquisition = prepare(recorder);
    setTimer(acquisition.handle, 0);
    XislStatus abortStatus = 1;
    recorder.onFrame = [&](HACQDESC handle, size_t index) {
        if (index == 2)
            abortStatus = Acquisition_Abort(handle);
    };
    ASSERT_EQ(start(acquisition.handle, XISL_ACQ_CONTINUOUS), 0u);
    ASSERT_TRUE(recorder.waitUntil(
        [&] { return !recorder.events.empty() && recorder.events.back() == 'A'; }));
    ASSERT_EQ(xisl_sim_wait_idle(acquisition.handle, kTimeoutMs), 0);
    EXPECT_EQ(abortStatus, 0u);
    EXPECT_EQ(recorder.events, (std::vector<char>{'F', 'F', 'F', 'A'}));
    // An abort from outside afterwards has nothing left to do.
    EXPECT_EQ(Acquisition_Abort(acquisition.handle), 0u);
    EXPECT_EQ(recorder.endOfAcquisitionCount(), 1u);
}

TEST_F(Acquire, CloseAbortsFirst)
{
    Recorder recorder;
    Acquisition acquisition = prepare(recorder);
    setTimer(acquisition.handle, 0);
    ASSERT_EQ(start(acquisition.handle, XISL_ACQ_CONTINUOUS), 0u);
    ASSERT_EQ(xisl_sim_wait_frames(5, kTimeoutMs), 0);
    ASSERT_EQ(Acquisition_Close(acquisition.handle), 0u);
    const size_t frames = recorder.frameCount();
    EXPECT_EQ(recorder.endOfAcquisitionCount(), 1u);
    EXPECT_EQ(recorder.events.back(), 'A');
    XislSimCounters c = counters();
    EXPECT_EQ(c.openHandles, 0u);
    EXPECT_EQ(c.endOfFrameCallbacks, frames);
    EXPECT_NE(Acquisition_SetReady(acquisition.handle, 1), 0u);
}

TEST_F(Acquire, CloseFromInsideACallbackStopsEveryFurtherCallback)
{
    Recorder recorder;
    Acquisition acquisition = prepare(recorder);
    setTimer(acquisition.handle, 0);
    XislStatus closeStatus = 1;
    XislStatus readyAfterClose = 0;
    recorder.handBack = false;
    recorder.onFrame = [&](HACQDESC handle, size_t index) {
        if (index == 1) {
            closeStatus = Acquisition_Close(handle);
            readyAfterClose = Acquisition_SetReady(handle, 1);
        } else {
            Acquisition_SetReady(handle, 1);
        }
    };
    ASSERT_EQ(start(acquisition.handle, XISL_ACQ_CONTINUOUS), 0u);
    ASSERT_TRUE(recorder.waitUntil([&] { return recorder.frames.size() >= 2; }));
    // Once the handle is gone and a reset has collected its thread, nothing more can arrive.
    ASSERT_EQ(xisl_sim_wait_frames(2, kTimeoutMs), 0);
    EXPECT_EQ(counters().openHandles, 0u);
    xisl_sim_reset();
    EXPECT_EQ(closeStatus, 0u);
    EXPECT_NE(readyAfterClose, 0u);
    EXPECT_EQ(recorder.events, (std::vector<char>{'F', 'F'}));
}

} // namespace
} // namespace TessaraVoltTest
