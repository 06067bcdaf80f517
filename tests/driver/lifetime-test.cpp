// SPDX-License-Identifier: LGPL-2.1-or-later
// The readout's contract: stop and destruction cancel everything, whatever a consumer was handed
// stays valid until it returns, and a set-up waits or refuses while a grab is under way.
#include <algorithm>
#include <atomic>
#include <future>

#include "sim-fixture.h"

using namespace TessaraVolt;
using namespace std::chrono_literals;

namespace TessaraVoltTest {
namespace {

using LifetimeTest = ReadoutTest;

// Right after a grab its acquisition is still winding down, and the detector refuses new
// buffers and starts until it has ended: the next grab, a set-up, a binning change and the
// destructor must wait for that end.
TEST_F(LifetimeTest, GrabSetUpBinningAndDestructionRightAfterAGrabMeetTheEndingAcquisition)
{
    xisl_sim_set_manual(0);
    xisl_sim_set_wind_down(10000);
    readout->getDetector().setExposureTime(std::chrono::duration<double>(0));
    Destination destination;
    for (int round = 0; round < 4; ++round) {
        ASSERT_EQ(round < 3 ? 0u : readout->setBinning(2), 0u);
        ASSERT_EQ(readout->start(ReadoutMode::SingleFrames), 0u)
            << "set-up met the ending acquisition";
        ASSERT_EQ(readout->grab(destination.consumer), FrameWait::Arrived);
        ASSERT_EQ(round < 3 ? readout->grab(destination.consumer) : FrameWait::Arrived,
                  FrameWait::Arrived);
        ASSERT_EQ(round < 3 ? readout->stop() : 0u, 0u);
    }
    readout.reset();
    EXPECT_EQ(std::make_pair(counters().openHandles, counters().endOfAcquisitionCallbacks),
              std::make_pair(0u, uint64_t{7}))
        << "each acquisition ended once";
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
    auto grabbed = grabStarted(waiting);
    std::atomic<unsigned> streamed{0};
    EXPECT_EQ(
        readout->start(ReadoutMode::Transfer, {16, [&](const Image &, uint16_t *) { ++streamed; }}),
        driverBusy);
    EXPECT_EQ(readout->setBinning(2), driverBusy);
    ASSERT_TRUE(stepWhenRunning(handle));
    ASSERT_EQ(grabbed.get(), FrameWait::Arrived);
    EXPECT_TRUE(matchesPattern(waiting.image(), 1));
    EXPECT_EQ(std::make_pair(streamed.load(), readout->getDetector().getBinning()),
              std::make_pair(0u, 0u));
    ASSERT_EQ(readout->stop(), 0u);
    ASSERT_EQ(readout->start(ReadoutMode::Stream), 0u);
}

// A grab that timed out aborts its acquisition; when the detector refuses that abort, frames may
// still come, and no set-up may replace the consumer or the buffers until an abort succeeds.
TEST_F(LifetimeTest, RefusedAbortKeepsSetUpsOutUntilTheAcquisitionEnded)
{
    readout->getDetector().setTriggerMode(TriggerMode::External);
    readout->getDetector().setFrameTimeout(std::chrono::duration<double>(0.05));
    ASSERT_EQ(readout->start(ReadoutMode::SingleFrames), 0u);
    ASSERT_EQ(xisl_sim_fail("Acquisition_Abort", 9, 0), 0);
    Destination lost;
    ASSERT_EQ(readout->grab(lost.consumer), FrameWait::TimedOut); // no pulse comes
    ASSERT_EQ(readout->stop(), 0u);
    std::atomic<unsigned> streamed{0}, intact{0};
    const Transfer transfer{16, [&](const Image &image, uint16_t *) {
                                intact += matchesPattern(image, patternFrameNumber(image));
                                ++streamed;
                            }};
    EXPECT_EQ(readout->start(ReadoutMode::Transfer, transfer), 9u);
    EXPECT_EQ(readout->setBinning(2), 9u);
    ASSERT_EQ(xisl_sim_pulse(handle), 0); // the old acquisition's frame, for nobody
    ASSERT_EQ(xisl_sim_wait_frames(1, 5000), 0);
    EXPECT_EQ(std::make_pair(streamed.load(), lost.calls), std::make_pair(0u, 0u));
    xisl_sim_clear_faults();
    ASSERT_EQ(readout->start(ReadoutMode::Transfer, transfer), 0u);
    ASSERT_EQ(xisl_sim_pulse(handle), 0);
    ASSERT_TRUE(waitUntil([&] { return streamed == 1; }));
    EXPECT_EQ(intact, 1u);
}

// Where XISL refuses both the abort and the close, the acquisition goes on after the readout is
// gone, destroyed from outside or by its own consumer: its frames find no detector (the one they
// would call is freed) and are handed back, and the buffer XISL still writes them into stays
// (under AddressSanitizer, a freed one shows).
class RefusedCloseTest : public ReadoutTest, public ::testing::WithParamInterface<bool> {};

TEST_P(RefusedCloseTest, FramesAfterItReachNobody)
{
    const bool byConsumer = GetParam();
    readout->getDetector().setTriggerMode(TriggerMode::External);
    std::atomic<unsigned> delivered{0};
    std::atomic<bool> destroyed{false};
    ASSERT_EQ(readout->start(ReadoutMode::Transfer, Transfer{16,
                                                             [&](const Image &, uint16_t *) {
                                                                 if (++delivered == 2) {
                                                                     readout.reset();
                                                                     destroyed = true;
                                                                 }
                                                             }}),
              0u);
    ASSERT_EQ(xisl_sim_pulse(handle), 0);
    ASSERT_TRUE(waitUntil([&] { return delivered == 1; }));
    ASSERT_EQ(xisl_sim_fail("Acquisition_Abort", 9, 0), 0);
    ASSERT_EQ(xisl_sim_fail("Acquisition_Close", 9, 0), 0);
    if (byConsumer)
        ASSERT_EQ(xisl_sim_pulse(handle), 0);
    else
        readout.reset();
    ASSERT_TRUE(!byConsumer || waitUntil([&] { return destroyed.load(); }));
    const uint64_t before = counters().endOfFrameCallbacks;
    ASSERT_EQ(xisl_sim_pulse(handle), 0); // the handle is still open, the acquisition running
    ASSERT_EQ(xisl_sim_wait_frames(before + 1, 5000), 0);
    EXPECT_EQ(std::make_pair(delivered.load(), counters().framesNotHandedBack),
              std::make_pair(byConsumer ? 2u : 1u, uint64_t{0}));
    xisl_sim_clear_faults();
    // What the refused close left running ends here: its thread, still waiting for a trigger at
    // exit, would keep the process from ending under Wine.
    EXPECT_EQ(Acquisition_Abort(handle), 0u);
    EXPECT_EQ(Acquisition_Close(handle), 0u);
}

INSTANTIATE_TEST_SUITE_P(FromOutsideOrByItsConsumer, RefusedCloseTest, ::testing::Bool());

// The grab ends its acquisition as it leaves: before the close, never on a closed handle. A
// destruction that went ahead would race with it, so the rounds give the race its chances.
TEST_F(LifetimeTest, DestructionReleasesAWaitingGrab)
{
    for (size_t round = 1; round <= 100; ++round) {
        if (!readout)
            readout = openReadout();
        readout->getDetector().setTriggerMode(TriggerMode::External);
        ASSERT_EQ(readout->start(ReadoutMode::SingleFrames), 0u);
        Destination destination;
        xisl_sim_clear_call_log();
        auto grabbed = grabStarted(destination);
        readout.reset(); // returns only once the grab has left
        EXPECT_EQ(grabbed.get(), FrameWait::Cancelled);
        ASSERT_EQ(std::make_pair(counters().openHandles, counters().callsOnClosedHandles),
                  std::make_pair(0u, uint64_t{0}))
            << round;
    }
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
                                    if (std::exchange(ended, true))
                                        return;
                                    std::copy_n(image.pixels, image.size.pixelCount(), buffer);
                                    destroy ? readout.reset() : void(readout->stop());
                                    const uint32_t number = patternFrameNumber(image);
                                    intact.set_value(matchesPattern(image, number) &&
                                                     matchesPattern({buffer, image.size}, number));
                                }};
        ASSERT_EQ(readout->start(ReadoutMode::Transfer, transfer), 0u);
        xisl_sim_step(handle, 1, 5000); // a close from inside the callback may end it first
        auto result = intact.get_future();
        ASSERT_EQ(result.wait_for(5s), std::future_status::ready);
        EXPECT_TRUE(result.get());
        ASSERT_TRUE(!readout || readout->getMode() == ReadoutMode::Idle);
        // The next start waits for the end.
        ASSERT_EQ(readout ? readout->start(ReadoutMode::Stream) : 0u, 0u);
        readout.reset();
        expectDetectorReleased();
        xisl_sim_clear_call_log();
    }
}

} // namespace
} // namespace TessaraVoltTest
