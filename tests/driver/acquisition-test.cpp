// SPDX-License-Identifier: LGPL-2.1-or-later
#include <algorithm>
#include <tuple>

#include "sim-fixture.h"

using namespace TessaraVolt;
using namespace std::chrono_literals;

namespace TessaraVoltTest {
namespace {

using AcquisitionTest = DetectorTest;

// The calls in order with their arguments; asked for a cycle of 0, the timer answers the readout
// time (1 us per pixel here), and the exposure is stretched to it. Set-up starts nothing.
TEST_F(AcquisitionTest, SetUpSendsEverythingInOrderAndLogsWhatTheTimerAnswered)
{
    xisl_sim_set_readout_ns_per_pixel(1000);
    detector->setGain(200); // clamped to 5, sent only here
    detector->setExposureTime(std::chrono::duration<double>(0.001));
    detector->prepareGrab({});
    EXPECT_EQ(callNamesFrom(0), (std::vector<std::string>{
                                    "Acquisition_GetHwHeaderInfo", "Acquisition_DefineDestBuffers",
                                    "Acquisition_SetAcqData", "Acquisition_SetCallbacksAndMessages",
                                    "Acquisition_SetCameraGain", "Acquisition_SetTimerSync",
                                    "Acquisition_SetFrameSyncMode", "Acquisition_SetTimerSync"}));
    const std::vector<XislSimCall> c = callsOf(nullptr);
    // Buffers: one frame of height x width; callbacks: end of frame and of acquisition only.
    EXPECT_EQ(
        std::vector<uint64_t>({c[1].args[0] != 0, c[1].args[1], c[1].args[2], c[1].args[3],
                               c[2].args[0], c[3].args[0] || c[3].args[1] || c[3].args[2],
                               c[3].args[3] && c[3].args[4], c[4].args[0], c[5].args[0],
                               c[5].result, c[7].args[0], c[7].result}),
        std::vector<uint64_t>({1, 1, height, width, reinterpret_cast<uintptr_t>(detector.get()), 0,
                               1, 5, 0, width * height, 1000, width * height}));
    EXPECT_EQ(detectorLog().texts(),
              (std::vector<std::string>{"Start recording: 64x32", "Set exposure to 2048 us"}));
    EXPECT_DOUBLE_EQ(detector->getExposureTime().count(), 0.001) << "the request stays";
}

// A refused cycle is logged, the set-up goes on, and the record of what was applied says the
// cycle the timer really runs at (the one it accepted last) and leaves what was refused unknown,
// never the refused value. The exposure keeps the request. A status is logged unsigned.
TEST_F(AcquisitionTest, TimerAndSyncFailuresAreLoggedAndSetUpGoesOn)
{
    xisl_sim_set_readout_ns_per_pixel(1000); // 2048 us
    ASSERT_EQ(xisl_sim_fail("Acquisition_SetFrameSyncMode", 4294967295u, 1), 0);
    ASSERT_EQ(xisl_sim_fail("Acquisition_SetTimerSync", 7, 2), 0); // the cycle, after the readout
    ASSERT_EQ(xisl_sim_fail("Acquisition_SetCameraGain", 5, 1), 0);
    detector->setExposureTime(std::chrono::duration<double>(0.02));
    detector->setGain(3);
    AcquisitionSettings applied;
    detector->prepareGrab({}, [&](const AcquisitionSettings &settings) { applied = settings; });
    EXPECT_EQ(std::make_tuple(applied.requestedExposure, applied.cycle, applied.gain,
                              applied.triggerMode, applied.refused),
              std::make_tuple(20000us, std::optional(2048us), std::optional<uint32_t>(),
                              std::optional<TriggerMode>(),
                              std::string("the detector refused gain 3, the detector refused "
                                          "frame-sync mode 2")));
    std::vector<std::pair<int, std::string>> lines = logged();
    ASSERT_EQ(lines.size(), 6u);
    lines.erase(lines.begin());
    EXPECT_EQ(
        lines,
        (std::vector<std::pair<int, std::string>>{
            {spdlog::level::warn, "Gain 3 refused (status 5); the detector's gain is unknown"},
            {spdlog::level::err, "Error 4294967295 "},
            {spdlog::level::err, "Error 7 "},
            {spdlog::level::info, "Set exposure to 20000 us"}, // the failed call left it alone
            {spdlog::level::warn, "Timer cycle of 20000 us refused; the timer runs at 2048 us"}}));
    EXPECT_DOUBLE_EQ(detector->getExposureTime().count(), 0.02);
}

// The frames to skip after the start reach nobody; the rest come from the three ring slots in
// turn, whole, each handed back.
TEST_F(AcquisitionTest, ContinuousStreamSkipsItsFirstFramesAndDeliversTheRingSlotsInTurn)
{
    // Per frame: its place, number, whether all of it matched, the calls logged before it.
    std::vector<std::tuple<const uint16_t *, uint32_t, bool, size_t>> seen; // on XISL's thread
    detector->startContinuous(
        [&](const Image &image) {
            const uint32_t number = patternFrameNumber(image);
            seen.emplace_back(image.pixels, number, matchesPattern(image, number),
                              xisl_sim_call_count());
        },
        AcquisitionOptions{2, {}});
    const XislSimCall start = callsOf("Acquisition_Acquire_Image").at(0);
    EXPECT_EQ(std::vector<uint64_t>(start.args, start.args + 3),
              (std::vector<uint64_t>{3, 0, 256}));
    EXPECT_EQ(callsOf("Acquisition_DefineDestBuffers").at(0).args[1], 3u);
    for (int i = 0; i < 7; ++i)
        ASSERT_EQ(xisl_sim_step(handle, 1, 5000), 0);
    ASSERT_EQ(seen.size(), 5u);
    const uint16_t *ring = std::get<0>(seen[1]); // frame 4 in the first slot
    for (size_t i = 0; i < seen.size(); ++i)
        EXPECT_EQ(
            std::make_tuple(std::get<0>(seen[i]) - ring, std::get<1>(seen[i]),
                            std::get<2>(seen[i])),
            std::make_tuple(std::ptrdiff_t((i + 2) % 3 * width * height), uint32_t(i + 3), true));
    EXPECT_EQ(counters().framesHandedBack, 7u);
    XislSimCall handBack{}; // after the consumer returned
    ASSERT_EQ(xisl_sim_get_call(std::get<3>(seen[0]), &handBack), 0);
    EXPECT_EQ(std::make_pair(std::string(handBack.function), handBack.args[0]),
              std::make_pair(std::string("Acquisition_SetReady"), uint64_t{1}));
}

using SingleFrameTest = ReadoutTest;

// The first grab after a start acquires and drops the frame to skip, one acquisition each, and
// delivers on XISL's thread.
TEST_F(SingleFrameTest, EachGrabAcquiresANewFrameOnXislsThread)
{
    ASSERT_EQ(readout->start(ReadoutMode::SingleFrames, {}, AcquisitionOptions{1, {}}), 0u);
    Destination first, second;
    ASSERT_EQ(grabStepped(first, 2), FrameWait::Arrived);
    ASSERT_EQ(grabStepped(second), FrameWait::Arrived);
    EXPECT_TRUE(matchesPattern(first.image(), 2) && matchesPattern(second.image(), 3));
    EXPECT_EQ(first.calls, 1u);
    EXPECT_NE(first.thread, std::this_thread::get_id());
    for (const XislSimCall &start : callsOf("Acquisition_Acquire_Image"))
        EXPECT_EQ(std::make_pair(start.args[0], start.args[2]),
                  std::make_pair(uint64_t{1}, uint64_t{2}));
    EXPECT_EQ(counters().framesHandedBack, 3u);
}

// Grabs from two threads must not share one frame or one destination: they take turns. A grab
// that times out ends its acquisition before the queued one may start, so that one is neither
// refused, nor aborted, nor handed a late frame of the first acquisition.
TEST_F(SingleFrameTest, GrabsFromTwoThreadsTakeTurns)
{
    for (bool firstTimesOut : {false, true}) {
        SCOPED_TRACE(firstTimesOut ? "the first times out" : "both arrive");
        readout.reset();
        SetUp();
        readout->getDetector().setExposureTime(std::chrono::duration<double>(0.001));
        ASSERT_EQ(readout->start(ReadoutMode::SingleFrames), 0u);
        Destination first, second;
        auto firstGrab = grabStarted(first);
        auto secondGrab =
            std::async(std::launch::async, [&] { return readout->grab(second.consumer); });
        ASSERT_TRUE(firstTimesOut || stepWhenRunning(handle));
        ASSERT_EQ(firstGrab.get(), firstTimesOut ? FrameWait::TimedOut : FrameWait::Arrived);
        ASSERT_TRUE(waitUntil([] { return callsOf("Acquisition_Acquire_Image").size() == 2; }));
        ASSERT_TRUE(stepWhenRunning(handle));
        ASSERT_EQ(secondGrab.get(), FrameWait::Arrived);
        EXPECT_EQ(std::make_pair(first.calls, second.calls),
                  std::make_pair(firstTimesOut ? 0u : 1u, 1u));
        EXPECT_TRUE(firstTimesOut || matchesPattern(first.image(), 1));
        EXPECT_TRUE(matchesPattern(second.image(), firstTimesOut ? 1 : 2));
        for (const XislSimCall &start : callsOf("Acquisition_Acquire_Image"))
            EXPECT_EQ(start.status, 0u);
    }
}

// A refused set-up or start is reported at once instead of leaving a caller waiting for frames;
// a stop whose abort is refused says so, and the stream still counts as running until an abort
// succeeds.
TEST_F(SingleFrameTest, RefusedSetUpStartsAndAbortsAreReported)
{
    constexpr XislStatus refused = 5;
    ASSERT_EQ(xisl_sim_fail("Acquisition_SetCallbacksAndMessages", refused, 1), 0);
    EXPECT_EQ(readout->start(ReadoutMode::SingleFrames), refused);
    EXPECT_TRUE(callsOf("Acquisition_SetCameraGain").empty()) << "set-up went on after a refusal";
    Destination destination;
    EXPECT_EQ(readout->grab(destination.consumer), FrameWait::NotRecording);

    ASSERT_EQ(xisl_sim_fail("Acquisition_Acquire_Image", refused, 1), 0);
    EXPECT_EQ(readout->start(ReadoutMode::Stream), refused);
    EXPECT_EQ(readout->getMode(), ReadoutMode::Idle);
    ASSERT_EQ(readout->start(ReadoutMode::Stream), 0u);
    ASSERT_EQ(xisl_sim_fail("Acquisition_Abort", refused, 1), 0);
    EXPECT_EQ(readout->stop(), refused);
    EXPECT_EQ(readout->getMode(), ReadoutMode::Stream);
    ASSERT_EQ(readout->stop(), 0u);
    EXPECT_EQ(readout->getMode(), ReadoutMode::Idle);

    ASSERT_EQ(readout->start(ReadoutMode::SingleFrames), 0u);
    ASSERT_EQ(xisl_sim_fail("Acquisition_Acquire_Image", refused, 1), 0);
    EXPECT_EQ(readout->grab(destination.consumer), FrameWait::Refused);
    ASSERT_EQ(grabStepped(destination), FrameWait::Arrived);
    EXPECT_EQ(destination.calls, 1u);
}

// A frame of 2^32 pixels (8 GiB) is no detector's: every mode refuses it before allocating.
TEST_F(SimulatorTest, FrameBeyondThirtyTwoBitCountsIsRefused)
{
    const XislSimSensor huge = sensor(65536, 65536);
    ASSERT_EQ(xisl_sim_set_sensors(&huge, 1), 0);
    const std::unique_ptr<Readout> readout = openReadout();
    ASSERT_TRUE(readout);
    const TransferConsumer ignore = [](const Image &, uint16_t *) {};
    for (XislStatus refused :
         {readout->start(ReadoutMode::Stream), readout->start(ReadoutMode::SingleFrames),
          readout->start(ReadoutMode::Transfer, Transfer{1, ignore}),
          readout->start(ReadoutMode::Transfer, Transfer{largestFramePixels + 1, ignore})})
        EXPECT_EQ(refused, driverFrameTooLarge);
    EXPECT_TRUE(callsOf("Acquisition_DefineDestBuffers").empty());
}

} // namespace
} // namespace TessaraVoltTest
