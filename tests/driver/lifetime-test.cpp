// SPDX-License-Identifier: LGPL-2.1-or-later
// The readout's contract: stop and destruction cancel everything, whatever a consumer was handed
// stays valid until it returns, and a set-up waits or refuses while a grab is under way.
#include <algorithm>
#include <atomic>
#include <future>

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
        readout = openReadout();
        ASSERT_TRUE(readout);
    }

    // A grab on another thread into `destination`, once its acquisition has started.
    std::future<FrameWait> grabStarted(const FrameConsumer &destination)
    {
        auto grabbed = std::async(std::launch::async, [&] { return readout->grab(destination); });
        EXPECT_TRUE(waitUntil([] { return !callsOf("Acquisition_Acquire_Image").empty(); }));
        return grabbed;
    }

    std::unique_ptr<Readout> readout;
};

// Right after a grab its acquisition is still winding down, and the detector refuses new
// buffers and starts until it has ended: the next grab, a set-up, a binning change and the
// destructor must wait for that end.
TEST_F(LifetimeTest, GrabSetUpBinningAndDestructionRightAfterAGrabMeetTheEndingAcquisition)
{
    xisl_sim_set_manual(0);
    xisl_sim_set_wind_down(10000);
    readout->getDetector().setExposureTime(std::chrono::duration<double>(0));
    Destination destination;
    const FrameConsumer toDestination = destination.consumer();
    for (int round = 0; round < 3; ++round) {
        ASSERT_EQ(readout->start(ReadoutMode::SingleFrames), 0u)
            << "set-up met the ending acquisition";
        ASSERT_EQ(readout->grab(toDestination), FrameWait::Arrived);
        ASSERT_EQ(readout->grab(toDestination), FrameWait::Arrived);
        ASSERT_EQ(readout->stop(), 0u);
    }
    EXPECT_EQ(readout->setBinning(2), 0u);
    ASSERT_EQ(readout->start(ReadoutMode::SingleFrames), 0u);
    ASSERT_EQ(readout->grab(toDestination), FrameWait::Arrived);
    readout.reset();
    EXPECT_EQ(counters().openHandles, 0u);
    EXPECT_EQ(counters().endOfAcquisitionCallbacks, 7u) << "each acquisition ended once";
    EXPECT_EQ(patternFrameNumber(destination.image()), 7u);
    for (const XislSimCall &logged : callsOf(nullptr))
        EXPECT_EQ(logged.status, 0u) << logged.function;
}

// A set-up or binning change while another thread's grab waits would replace the consumer and
// resize the buffers under a running acquisition: both are refused, and the grab still gets its
// frame. Once the mode is stopped, a start goes ahead.
TEST_F(LifetimeTest, SetUpAndBinningChangeAreRefusedWhileAGrabIsUnderWay)
{
    ASSERT_EQ(readout->start(ReadoutMode::SingleFrames), 0u);
    Destination waiting;
    const FrameConsumer toWaiting = waiting.consumer();
    auto grabbed = grabStarted(toWaiting);
    std::atomic<unsigned> streamed{0};
    EXPECT_EQ(
        readout->start(ReadoutMode::Transfer, {16, [&](const Image &, uint16_t *) { ++streamed; }}),
        driverBusy);
    EXPECT_EQ(readout->setBinning(2), driverBusy);
    ASSERT_TRUE(stepWhenRunning(handle));
    ASSERT_EQ(grabbed.get(), FrameWait::Arrived);
    EXPECT_TRUE(matchesPattern(waiting.image(), 1));
    EXPECT_EQ(streamed, 0u);
    EXPECT_EQ(readout->getDetector().getBinning(), 0u) << "never changed";

    ASSERT_EQ(readout->stop(), 0u);
    ASSERT_EQ(readout->start(ReadoutMode::Stream), 0u);
    EXPECT_EQ(readout->getMode(), ReadoutMode::Stream);
}

// A grab that timed out aborts its acquisition; when the detector refuses that abort, frames may
// still come, and no set-up may replace the consumer or the buffers until an abort succeeds.
TEST_F(LifetimeTest, RefusedAbortKeepsSetUpsOutUntilTheAcquisitionEnded)
{
    readout->getDetector().setTriggerMode(2);
    readout->getDetector().setFrameTimeout(std::chrono::duration<double>(0.05));
    ASSERT_EQ(readout->start(ReadoutMode::SingleFrames), 0u);
    ASSERT_EQ(xisl_sim_fail("Acquisition_Abort", 9, 0), 0);
    Destination lost;
    const FrameConsumer toLost = lost.consumer();
    ASSERT_EQ(readout->grab(toLost), FrameWait::TimedOut); // no pulse comes
    ASSERT_EQ(readout->stop(), 0u);
    std::atomic<unsigned> streamed{0};
    std::atomic<unsigned> intact{0};
    const Transfer transfer{16, [&](const Image &image, uint16_t *) {
                                intact += matchesPattern(image, patternFrameNumber(image));
                                ++streamed;
                            }};
    EXPECT_EQ(readout->start(ReadoutMode::Transfer, transfer), 9u);
    EXPECT_EQ(readout->setBinning(2), 9u);
    ASSERT_EQ(xisl_sim_pulse(handle), 0); // the old acquisition's frame, for nobody
    ASSERT_EQ(xisl_sim_wait_frames(1, 5000), 0);
    EXPECT_EQ(streamed, 0u);
    EXPECT_EQ(lost.calls, 0u);

    xisl_sim_clear_faults();
    ASSERT_EQ(readout->start(ReadoutMode::Transfer, transfer), 0u);
    ASSERT_EQ(xisl_sim_pulse(handle), 0);
    ASSERT_TRUE(waitUntil([&] { return streamed == 1; }));
    EXPECT_EQ(intact, 1u);
}

TEST_F(LifetimeTest, DestructionReleasesAWaitingGrab)
{
    readout->getDetector().setTriggerMode(2);
    ASSERT_EQ(readout->start(ReadoutMode::SingleFrames), 0u);
    Destination destination;
    const FrameConsumer toDestination = destination.consumer();
    auto grabbed = grabStarted(toDestination);
    readout.reset(); // returns only once the grab has left
    EXPECT_EQ(grabbed.get(), FrameWait::Cancelled);
    EXPECT_EQ(counters().openHandles, 0u);
}

// Whatever the transfer consumer calls, the buffer and the frame it was handed stay valid until
// it returns: here it stops the readout, or destroys it, and reads both afterwards.
TEST_F(LifetimeTest, TransferConsumerKeepsWhatItWasHandedWhateverItCalls)
{
    for (bool destroy : {false, true}) {
        SCOPED_TRACE(destroy ? "destroys the readout" : "stops the readout");
        if (!readout)
            readout = openReadout();
        std::promise<bool> intact;
        bool ended = false;
        const Transfer transfer{width * height, [&](const Image &image, uint16_t *buffer) {
                                    if (ended)
                                        return;
                                    ended = true;
                                    std::copy_n(image.pixels, image.size.pixelCount(), buffer);
                                    if (destroy)
                                        readout.reset();
                                    else
                                        readout->stop();
                                    const uint32_t number = patternFrameNumber(image);
                                    intact.set_value(matchesPattern(image, number) &&
                                                     matchesPattern({buffer, image.size}, number));
                                }};
        ASSERT_EQ(readout->start(ReadoutMode::Transfer, transfer), 0u);
        xisl_sim_step(handle, 1, 5000); // a close from inside the callback may end it first
        auto result = intact.get_future();
        ASSERT_EQ(result.wait_for(5s), std::future_status::ready);
        EXPECT_TRUE(result.get());
        if (readout) {
            EXPECT_EQ(readout->getMode(), ReadoutMode::Idle);
            ASSERT_EQ(readout->start(ReadoutMode::Stream), 0u)
                << "the next start waits for the end";
        }
        readout.reset();
        expectDetectorReleased();
        xisl_sim_clear_call_log();
    }
}

} // namespace
} // namespace TessaraVoltTest
