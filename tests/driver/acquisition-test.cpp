// SPDX-License-Identifier: LGPL-2.1-or-later
#include <algorithm>
#include <future>
#include <mutex>
#include <thread>
#include <utility>

#include "sim-fixture.h"

using namespace TessaraVolt;
using namespace std::chrono_literals;

namespace TessaraVoltTest {
namespace {

// What a consumer saw of one frame, copied during its call.
struct SeenFrame {
    const uint16_t *pixels;
    FrameSize size;
    uint32_t frameNumber;
    bool matchesPattern;
    size_t callsLoggedBefore;
};

// A consumer that records every frame; safe to read once the frames were stepped.
class FrameRecorder {
public:
    FrameConsumer consumer()
    {
        return [this](const Image &image) {
            std::lock_guard<std::mutex> guard(mutex);
            frames.push_back({image.pixels, image.size, patternFrameNumber(image),
                              matchesPattern(image, patternFrameNumber(image)),
                              xisl_sim_call_count()});
        };
    }
    std::vector<SeenFrame> seen()
    {
        std::lock_guard<std::mutex> guard(mutex);
        return frames;
    }

private:
    std::mutex mutex;
    std::vector<SeenFrame> frames; // guarded by mutex
};

class AcquisitionTest : public SimulatorTest {
protected:
    void SetUp() override
    {
        SimulatorTest::SetUp();
        detector = openDetector();
        ASSERT_TRUE(detector);
    }

    std::unique_ptr<Detector> detector;
    FrameRecorder recorder;
};

TEST_F(AcquisitionTest, SetUpSendsEverythingInOrderAndLogsWhatTheTimerAnswered)
{
    // The simulated timer never runs faster than the readout allows: 1 us per pixel here.
    xisl_sim_set_readout_ns_per_pixel(1000);
    detector->setGain(3);
    detector->setExposureTime(std::chrono::duration<double>(0.001));
    detector->prepareGrab({});

    EXPECT_EQ(callNamesFrom(0), (std::vector<std::string>{
                                    "Acquisition_GetHwHeaderInfo", "Acquisition_DefineDestBuffers",
                                    "Acquisition_SetAcqData", "Acquisition_SetCallbacksAndMessages",
                                    "Acquisition_SetCameraGain", "Acquisition_SetTimerSync",
                                    "Acquisition_SetFrameSyncMode", "Acquisition_SetTimerSync"}));
    const std::vector<XislSimCall> calls = callsOf(nullptr);
    EXPECT_NE(calls[1].args[0], 0u);
    EXPECT_EQ(std::vector<uint64_t>(calls[1].args + 1, calls[1].args + 4),
              (std::vector<uint64_t>{1, height, width}));
    EXPECT_EQ(calls[2].args[0], reinterpret_cast<uintptr_t>(detector.get()));
    EXPECT_EQ(
        std::vector<bool>({calls[3].args[0] != 0, calls[3].args[1] != 0, calls[3].args[2] != 0,
                           calls[3].args[3] != 0, calls[3].args[4] != 0}),
        std::vector<bool>({false, false, false, true, true}));
    EXPECT_EQ(calls[4].args[0], 3u);
    // Asked for a cycle of 0, the timer answers the readout time; the exposure is stretched to it.
    EXPECT_EQ(std::vector<uint64_t>(
                  {calls[5].args[0], calls[5].result, calls[7].args[0], calls[7].result}),
              (std::vector<uint64_t>{0, width * height, 1000, width * height}));
    EXPECT_EQ(detectorLog().texts(),
              (std::vector<std::string>{"Start recording: 64x32", "Set exposure to 2048 us"}));
    EXPECT_DOUBLE_EQ(detector->getExposureTime().count(), 0.002048);
    EXPECT_TRUE(callsOf("Acquisition_Acquire_Image").empty()) << "set-up starts nothing";
}

// A refused cycle is logged, the set-up goes on, and the exposure reads the cycle the timer
// really runs at: the one it accepted last. A status is logged unsigned.
TEST_F(AcquisitionTest, TimerAndSyncFailuresAreLoggedAndSetUpGoesOn)
{
    xisl_sim_set_readout_ns_per_pixel(1000); // 2048 us
    ASSERT_EQ(xisl_sim_fail("Acquisition_SetFrameSyncMode", 4294967295u, 1), 0);
    ASSERT_EQ(xisl_sim_fail("Acquisition_SetTimerSync", 7, 2), 0); // the cycle, after the readout
    detector->setExposureTime(std::chrono::duration<double>(0.02));
    detector->prepareGrab({});
    const std::vector<LogLine> lines = detectorLog().lines();
    ASSERT_EQ(lines.size(), 5u);
    const std::vector<std::pair<int, std::string>> expected = {
        {spdlog::level::err, "Error 4294967295 "},
        {spdlog::level::err, "Error 7 "},
        {spdlog::level::info, "Set exposure to 20000 us"}, // the failed call left it alone
        {spdlog::level::warn, "Timer cycle of 20000 us refused; the timer runs at 2048 us"}};
    for (size_t i = 0; i < expected.size(); ++i)
        EXPECT_EQ(std::make_pair(lines[i + 1].level, lines[i + 1].text), expected[i]);
    EXPECT_DOUBLE_EQ(detector->getExposureTime().count(), 0.002048);
}

// The frames to skip after the start reach nobody; the rest come from the three ring slots in
// turn, whole, each handed back.
TEST_F(AcquisitionTest, ContinuousStreamSkipsItsFirstFramesAndDeliversTheRingSlotsInTurn)
{
    detector->startContinuous(recorder.consumer(), AcquisitionOptions{2, {}});
    const XislSimCall start = callsOf("Acquisition_Acquire_Image").at(0);
    EXPECT_EQ(std::vector<uint64_t>(start.args, start.args + 3),
              (std::vector<uint64_t>{3, 0, 256}));
    EXPECT_EQ(callsOf("Acquisition_DefineDestBuffers").at(0).args[1], 3u);
    for (int i = 0; i < 7; ++i)
        ASSERT_EQ(xisl_sim_step(handle, 1, 5000), 0);
    const std::vector<SeenFrame> frames = recorder.seen();
    ASSERT_EQ(frames.size(), 5u);
    const uint16_t *ring = frames[1].pixels; // frame 4 in the first slot
    for (size_t i = 0; i < frames.size(); ++i) {
        EXPECT_EQ(frames[i].frameNumber, i + 3);
        EXPECT_EQ(frames[i].pixels - ring, std::ptrdiff_t((i + 2) % 3 * width * height)) << i;
        EXPECT_TRUE(frames[i].matchesPattern) << i;
        EXPECT_EQ(std::make_pair(frames[i].size.width, frames[i].size.height),
                  std::make_pair(width, height));
    }
    EXPECT_EQ(counters().framesHandedBack, 7u);
}

// A failed header is logged and the frame still delivered; per frame: header, active frame, the
// consumer, then the hand-back. Without acquisition data the frame is only handed back.
TEST_F(AcquisitionTest, FailedFrameHeaderIsLoggedAndTheFrameStillDeliveredAndHandedBack)
{
    ASSERT_EQ(xisl_sim_fail("Acquisition_GetLatestFrameHeader", 5, 0), 0);
    detector->startContinuous(recorder.consumer());
    detectorLog().clear();
    const size_t firstCall = xisl_sim_call_count();
    ASSERT_EQ(xisl_sim_step(handle, 2, 5000), 0);
    const std::vector<LogLine> lines = detectorLog().lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(std::make_pair(lines[0].level, lines[0].text),
              std::make_pair(int(spdlog::level::err), std::string("Error 5 ")));
    const std::vector<SeenFrame> frames = recorder.seen();
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_TRUE(frames[0].matchesPattern);
    std::vector<std::string> names = callNamesFrom(firstCall);
    names.erase(std::remove(names.begin(), names.end(), "Acquisition_GetAcqData"), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"Acquisition_GetLatestFrameHeader",
                                               "Acquisition_GetActFrame", "Acquisition_SetReady",
                                               "Acquisition_GetLatestFrameHeader",
                                               "Acquisition_GetActFrame", "Acquisition_SetReady"}));
    XislSimCall handBack{};
    ASSERT_EQ(xisl_sim_get_call(frames[0].callsLoggedBefore, &handBack), 0);
    EXPECT_STREQ(handBack.function, "Acquisition_SetReady");
    EXPECT_EQ(handBack.args[0], 1u);

    ASSERT_EQ(Acquisition_SetAcqData(handle, nullptr), 0u);
    ASSERT_EQ(xisl_sim_step(handle, 1, 5000), 0);
    EXPECT_EQ(recorder.seen().size(), 2u);
    EXPECT_EQ(counters().framesHandedBack, 3u);
}

// Single frames, through the readout that owns them.
class SingleFrameTest : public SimulatorTest {
protected:
    void SetUp() override
    {
        SimulatorTest::SetUp();
        readout = openReadout();
        ASSERT_TRUE(readout);
    }

    // A grab on another thread, once `acquisitions` acquisitions have started in all.
    std::future<FrameWait> grabStarted(const FrameConsumer &consumer, size_t acquisitions = 1)
    {
        auto grabbed = std::async(std::launch::async, [&] { return readout->grab(consumer); });
        EXPECT_TRUE(
            waitUntil([=] { return callsOf("Acquisition_Acquire_Image").size() == acquisitions; }));
        return grabbed;
    }

    // Grabs one frame, stepping `frames` frames, each as soon as an acquisition runs.
    FrameWait grabStepped(Destination &destination, unsigned frames = 1)
    {
        const FrameConsumer consumer = destination.consumer();
        auto grabbed = std::async(std::launch::async, [&] { return readout->grab(consumer); });
        for (unsigned i = 0; i < frames; ++i)
            EXPECT_TRUE(stepWhenRunning(handle));
        return grabbed.get();
    }

    std::unique_ptr<Readout> readout;
};

// The first grab after a start acquires and drops the frame to skip, one acquisition each.
TEST_F(SingleFrameTest, EachGrabAcquiresANewFrameOnXislsThread)
{
    ASSERT_EQ(readout->start(ReadoutMode::SingleFrames, {}, AcquisitionOptions{1, {}}), 0u);
    Destination first, second;
    ASSERT_EQ(grabStepped(first, 2), FrameWait::Arrived);
    ASSERT_EQ(grabStepped(second), FrameWait::Arrived);
    EXPECT_TRUE(matchesPattern(first.image(), 2));
    EXPECT_TRUE(matchesPattern(second.image(), 3));
    EXPECT_EQ(first.calls, 1u);
    EXPECT_NE(first.thread, std::this_thread::get_id());
    for (const XislSimCall &start : callsOf("Acquisition_Acquire_Image"))
        EXPECT_EQ(std::make_pair(start.args[0], start.args[2]),
                  std::make_pair(uint64_t{1}, uint64_t{2}));
    EXPECT_EQ(counters().framesHandedBack, 3u);
}

// A stop releases a waiting grab, whose consumer is never called afterwards.
TEST_F(SingleFrameTest, StopReleasesAWaitingGrabUntilTheNextStart)
{
    readout->getDetector().setTriggerMode(1); // no trigger will come
    ASSERT_EQ(readout->start(ReadoutMode::SingleFrames), 0u);
    Destination abandoned, wanted;
    const FrameConsumer toAbandoned = abandoned.consumer();
    auto cancelled = grabStarted(toAbandoned);
    ASSERT_EQ(readout->stop(), 0u);
    ASSERT_EQ(cancelled.get(), FrameWait::Cancelled);
    EXPECT_EQ(readout->grab(toAbandoned), FrameWait::NotRecording);
    readout->getDetector().setTriggerMode(0);
    ASSERT_EQ(readout->start(ReadoutMode::SingleFrames), 0u);
    ASSERT_EQ(grabStepped(wanted), FrameWait::Arrived);
    EXPECT_EQ(abandoned.calls, 0u);
    EXPECT_TRUE(matchesPattern(wanted.image(), patternFrameNumber(wanted.image())));
}

// Grabs from two threads must not share one frame or one destination: they take turns. A grab
// that times out ends its acquisition before the queued one may start, so that one is neither
// refused, nor aborted, nor handed a late frame of the first acquisition.
TEST_F(SingleFrameTest, GrabsFromTwoThreadsTakeTurns)
{
    for (bool firstTimesOut : {false, true}) {
        SCOPED_TRACE(firstTimesOut ? "the first times out" : "both arrive");
        readout.reset();
        xisl_sim_reset();
        SimulatorTest::SetUp();
        readout = openReadout();
        readout->getDetector().setExposureTime(std::chrono::duration<double>(0.001));
        ASSERT_EQ(readout->start(ReadoutMode::SingleFrames), 0u);
        Destination first, second;
        const FrameConsumer toFirst = first.consumer(), toSecond = second.consumer();
        auto firstGrab = grabStarted(toFirst);
        auto secondGrab = std::async(std::launch::async, [&] { return readout->grab(toSecond); });
        ASSERT_TRUE(firstTimesOut || stepWhenRunning(handle));
        ASSERT_EQ(firstGrab.get(), firstTimesOut ? FrameWait::TimedOut : FrameWait::Arrived);
        ASSERT_TRUE(waitUntil([] { return callsOf("Acquisition_Acquire_Image").size() == 2; }));
        ASSERT_TRUE(stepWhenRunning(handle));
        ASSERT_EQ(secondGrab.get(), FrameWait::Arrived);
        EXPECT_EQ(first.calls, firstTimesOut ? 0u : 1u);
        ASSERT_EQ(second.calls, 1u);
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
    const FrameConsumer toDestination = destination.consumer();
    EXPECT_EQ(readout->grab(toDestination), FrameWait::NotRecording);

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
    EXPECT_EQ(readout->grab(toDestination), FrameWait::Refused);
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
    EXPECT_EQ(readout->start(ReadoutMode::Stream), driverFrameTooLarge);
    EXPECT_EQ(readout->start(ReadoutMode::SingleFrames), driverFrameTooLarge);
    EXPECT_EQ(readout->start(ReadoutMode::Transfer, Transfer{1, ignore}), driverFrameTooLarge);
    EXPECT_EQ(readout->start(ReadoutMode::Transfer, Transfer{largestFramePixels + 1, ignore}),
              driverFrameTooLarge);
    EXPECT_TRUE(callsOf("Acquisition_DefineDestBuffers").empty());
}

} // namespace
} // namespace TessaraVoltTest
