// SPDX-License-Identifier: LGPL-2.1-or-later
#include <algorithm>
#include <atomic>
#include <future>

#include "continuous-grabber.h"
#include "discovery.h"
#include "sim-fixture.h"

using namespace TessaraVolt;
using namespace std::chrono_literals;

namespace TessaraVoltTest {
namespace {

class LifetimeTest : public SimulatorTest {
protected:
    void SetUp() override
    {
        SimulatorTest::SetUp();
        detector = openDetector();
        ASSERT_TRUE(detector);
    }

    // True once the grab running on another thread has started its acquisition.
    static bool grabStarted()
    {
        return waitUntil([] { return !callsOf("Acquisition_Acquire_Image").empty(); });
    }

    std::unique_ptr<Detector> detector;
};

TEST_F(LifetimeTest, WaitLimitFollowsTheCycleTheTimerAnswered)
{
    detector->setExposureTime(std::chrono::duration<double>(0.5));
    detector->prepareGrab();
    EXPECT_EQ(detector->getFrameWaitLimit(), 2500ms) << "one cycle and a 2 s margin";

    // The requested 1 ms is stretched to 204.8 ms of readout, which is waited for.
    xisl_sim_set_readout_ns_per_pixel(100000);
    detector->setExposureTime(std::chrono::duration<double>(0.001));
    detector->prepareGrab();
    const uint64_t answered = callsOf("Acquisition_SetTimerSync").back().result;
    ASSERT_GT(answered, 200000u);
    EXPECT_EQ(detector->getFrameWaitLimit(),
              std::chrono::ceil<std::chrono::milliseconds>(std::chrono::microseconds(answered)) +
                  2s);
}

TEST_F(LifetimeTest, GrabThatTimesOutAbortsSoThatTheNextGrabWorks)
{
    detector->setExposureTime(std::chrono::duration<double>(0.001));
    detector->prepareGrab();
    ASSERT_EQ(detector->getFrameWaitLimit(), 2001ms);

    const auto begin = std::chrono::steady_clock::now();
    const FrameResult lost = detector->grab(); // manual stepping: no frame comes
    EXPECT_EQ(lost.status, FrameWait::TimedOut);
    EXPECT_GE(std::chrono::steady_clock::now() - begin, 2001ms);
    std::vector<std::string> calls = callNamesFrom(0);
    // The end-of-acquisition callback looks its detector up when the abort ends the acquisition.
    calls.erase(std::remove(calls.begin(), calls.end(), "Acquisition_GetAcqData"), calls.end());
    ASSERT_GE(calls.size(), 2u);
    EXPECT_EQ(calls[calls.size() - 2], "Acquisition_Acquire_Image");
    EXPECT_EQ(calls.back(), "Acquisition_Abort");
    EXPECT_EQ(xisl_sim_wait_idle(handle, 1000), 0);

    auto grabbed = std::async(std::launch::async, [this] { return detector->grab(); });
    ASSERT_TRUE(stepWhenRunning(handle));
    const FrameResult next = grabbed.get();
    ASSERT_EQ(next.status, FrameWait::Arrived);
    EXPECT_TRUE(matchesPattern(next.image, patternFrameNumber(next.image)));
}

TEST_F(LifetimeTest, StopReleasesAWaitingGrabUntilTheNextSetUp)
{
    detector->setTriggerMode(1); // no trigger will come
    detector->prepareGrab();
    auto grabbed = std::async(std::launch::async, [this] { return detector->grab(); });
    ASSERT_TRUE(grabStarted());
    const auto begin = std::chrono::steady_clock::now();
    detector->stop();
    EXPECT_EQ(grabbed.get().status, FrameWait::Cancelled);
    EXPECT_LT(std::chrono::steady_clock::now() - begin, 5s);
    EXPECT_EQ(detector->grab().status, FrameWait::Cancelled);

    detector->prepareGrab();
    grabbed = std::async(std::launch::async, [this] { return detector->grab(); });
    ASSERT_TRUE(stepWhenRunning(handle));
    EXPECT_EQ(grabbed.get().status, FrameWait::Arrived);
}

// Right after a grab its acquisition is still winding down, and the detector refuses new
// buffers until it has ended: a set-up, a stop or the destructor must end it first.
TEST_F(LifetimeTest, SetUpStopAndDestructionRightAfterAGrabMeetTheEndingAcquisition)
{
    xisl_sim_set_manual(0);
    xisl_sim_set_wind_down(10000);
    detector->setExposureTime(std::chrono::duration<double>(0));
    ASSERT_EQ(detector->prepareGrab(), 0u);
    ASSERT_EQ(detector->grab().status, FrameWait::Arrived);
    ASSERT_EQ(detector->prepareGrab(), 0u) << "set-up met the ending acquisition";
    ASSERT_EQ(detector->grab().status, FrameWait::Arrived);
    ASSERT_EQ(detector->stop(), 0u);
    EXPECT_EQ(detector->grab().status, FrameWait::Cancelled);
    ASSERT_EQ(detector->prepareGrab(), 0u);
    ASSERT_EQ(detector->grab().status, FrameWait::Arrived);
    detector->setBinning(2);
    EXPECT_EQ(callsOf("Acquisition_SetCameraBinningMode").at(0).status, 0u);
    ASSERT_EQ(detector->prepareGrab(), 0u);
    ASSERT_EQ(detector->grab().status, FrameWait::Arrived);
    detector.reset();
    EXPECT_EQ(counters().openHandles, 0u);
    EXPECT_EQ(counters().endOfAcquisitionCallbacks, 4u) << "each acquisition ended once";
    for (const XislSimCall &call : callsOf("Acquisition_DefineDestBuffers"))
        EXPECT_EQ(call.status, 0u);
}

TEST_F(LifetimeTest, DestructionReleasesAWaitingGrab)
{
    detector->setTriggerMode(2);
    detector->prepareGrab();
    Detector *const inUse = detector.get();
    auto grabbed = std::async(std::launch::async, [inUse] { return inUse->grab(); });
    ASSERT_TRUE(grabStarted());
    detector.reset(); // returns only once the grab has left
    EXPECT_EQ(grabbed.get().status, FrameWait::Cancelled);
    EXPECT_EQ(counters().openHandles, 0u);
}

TEST_F(LifetimeTest, DestroyingAStreamingDetectorStopsEveryCallbackFirst)
{
    detector.reset();
    xisl_sim_set_manual(0);
    for (int round = 0; round < 30; ++round) {
        auto detectors = findDetectors();
        ASSERT_EQ(detectors.size(), 1u);
        detectors[0]->setExposureTime(std::chrono::duration<double>(0.0001));
        // Owned by this scope and destroyed after the detector, like the camera's grabber.
        auto delivered = std::make_unique<std::atomic<unsigned>>(0);
        std::atomic<unsigned> *const count = delivered.get();
        detectors[0]->startContinuous([count](const Image &) { ++*count; });
        const uint64_t before = counters().endOfFrameCallbacks;
        ASSERT_EQ(xisl_sim_wait_frames(before + 2, 5000), 0);
        detectors.clear();
        delivered.reset();
    }
    const XislSimCounters seen = counters();
    EXPECT_EQ(seen.callbacksAfterClose, 0u);
    EXPECT_EQ(seen.openHandles, 0u);
    EXPECT_EQ(seen.framesNotHandedBack, 0u);
}

TEST_F(LifetimeTest, DestroyingAStreamingDetectorBeforeItsGrabberIsSafe)
{
    xisl_sim_set_manual(0);
    detector->setExposureTime(std::chrono::duration<double>(0.0001));
    auto grabber = std::make_unique<ContinuousGrabber>();
    grabber->start(*detector);
    ASSERT_EQ(grabber->nextFrame(5s).status, FrameWait::Arrived);
    detector.reset();
    grabber.reset();

    std::vector<std::string> lastCalls;
    for (const std::string &name : callNamesFrom(0))
        if (name == "Acquisition_Abort" || name == "Acquisition_Close")
            lastCalls.push_back(name);
    ASSERT_GE(lastCalls.size(), 2u);
    EXPECT_EQ(lastCalls[lastCalls.size() - 2], "Acquisition_Abort");
    EXPECT_EQ(lastCalls.back(), "Acquisition_Close");
    EXPECT_EQ(callsOf("Acquisition_Close").back().handle, handle);
}

} // namespace
} // namespace TessaraVoltTest
