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
    const XislSimCall buffers = callsOf("Acquisition_DefineDestBuffers").at(0);
    EXPECT_NE(buffers.args[0], 0u);
    EXPECT_EQ(buffers.args[1], 1u);
    EXPECT_EQ(buffers.args[2], height);
    EXPECT_EQ(buffers.args[3], width);
    EXPECT_EQ(callsOf("Acquisition_SetAcqData").at(0).args[0],
              reinterpret_cast<uintptr_t>(detector.get()));
    const XislSimCall callbacks = callsOf("Acquisition_SetCallbacksAndMessages").at(0);
    EXPECT_EQ(callbacks.args[0], 0u);
    EXPECT_EQ(callbacks.args[1], 0u);
    EXPECT_EQ(callbacks.args[2], 0u);
    EXPECT_NE(callbacks.args[3], 0u);
    EXPECT_NE(callbacks.args[4], 0u);
    EXPECT_EQ(callsOf("Acquisition_SetCameraGain").at(0).args[0], 3u);

    // Asked for a cycle of 0, the timer answers the readout time.
    const XislSimCall readout = callsOf("Acquisition_SetTimerSync").at(0);
    EXPECT_EQ(readout.args[0], 0u);
    EXPECT_EQ(readout.result, uint64_t(width) * height);
    const XislSimCall timer = callsOf("Acquisition_SetTimerSync").at(1);
    EXPECT_EQ(timer.args[0], 1000u);
    EXPECT_EQ(timer.result, uint64_t(width) * height); // stretched to one readout
    EXPECT_EQ(
        detectorLog().texts(),
        (std::vector<std::string>{"Start recording: 64x32",
                                  "Set exposure to " + std::to_string(timer.result) + " us"}));
    EXPECT_DOUBLE_EQ(detector->getExposureTime().count(), timer.result / 1e6)
        << "the exposure reads what the timer runs at";
    EXPECT_TRUE(callsOf("Acquisition_Acquire_Image").empty()) << "set-up starts nothing";
}

// A refused cycle is logged, the set-up goes on, and the exposure reads the cycle the timer
// really runs at: the one it accepted last.
TEST_F(AcquisitionTest, TimerAndSyncFailuresAreLoggedAndSetUpGoesOn)
{
    xisl_sim_set_readout_ns_per_pixel(1000); // 2048 us
    ASSERT_EQ(xisl_sim_fail("Acquisition_SetFrameSyncMode", 9, 1), 0);
    ASSERT_EQ(xisl_sim_fail("Acquisition_SetTimerSync", 7, 2), 0); // the cycle, after the readout
    detector->setExposureTime(std::chrono::duration<double>(0.02));
    detector->prepareGrab({});
    const std::vector<LogLine> lines = detectorLog().lines();
    ASSERT_EQ(lines.size(), 5u);
    EXPECT_EQ(lines[1].text, "Error 9 ");
    EXPECT_EQ(lines[1].level, spdlog::level::err);
    EXPECT_EQ(lines[2].text, "Error 7 ");
    EXPECT_EQ(lines[3].text, "Set exposure to 20000 us"); // the failed call left it alone
    EXPECT_EQ(lines[3].level, spdlog::level::info);
    EXPECT_EQ(lines[4].text, "Timer cycle of 20000 us refused; the timer runs at 2048 us");
    EXPECT_EQ(lines[4].level, spdlog::level::warn);
    EXPECT_DOUBLE_EQ(detector->getExposureTime().count(), 0.002048);
}

TEST_F(AcquisitionTest, ContinuousStreamDeliversTheRingSlotsInTurn)
{
    detector->startContinuous(recorder.consumer());
    const XislSimCall start = callsOf("Acquisition_Acquire_Image").at(0);
    EXPECT_EQ(start.args[0], 3u);
    EXPECT_EQ(start.args[1], 0u);
    EXPECT_EQ(start.args[2], 256u);
    EXPECT_EQ(callsOf("Acquisition_DefineDestBuffers").at(0).args[1], 3u);

    for (int i = 0; i < 5; ++i)
        ASSERT_EQ(xisl_sim_step(handle, 1, 5000), 0);

    const std::vector<SeenFrame> frames = recorder.seen();
    ASSERT_EQ(frames.size(), 5u);
    const size_t slotSize = width * height;
    const size_t expectedSlots[] = {0, 1, 2, 0, 1};
    for (size_t i = 0; i < frames.size(); ++i) {
        EXPECT_EQ(size_t(frames[i].pixels - frames[0].pixels), expectedSlots[i] * slotSize) << i;
        EXPECT_EQ(frames[i].frameNumber, i + 1);
        EXPECT_TRUE(frames[i].matchesPattern) << i;
        EXPECT_EQ(frames[i].size.width, width);
        EXPECT_EQ(frames[i].size.height, height);
    }
    EXPECT_EQ(counters().framesHandedBack, 5u);
    EXPECT_EQ(counters().framesNotHandedBack, 0u);
}

TEST_F(AcquisitionTest, PixelsOfAStreamedFrameFollowThePattern)
{
    std::promise<std::vector<uint16_t>> firstFrame;
    bool delivered = false;
    detector->startContinuous([&](const Image &image) {
        if (!delivered)
            firstFrame.set_value(
                std::vector<uint16_t>(image.pixels, image.pixels + image.size.pixelCount()));
        delivered = true;
    });
    ASSERT_EQ(xisl_sim_step(handle, 1, 5000), 0);
    const std::vector<uint16_t> pixels = firstFrame.get_future().get();
    // Frame 1: (x ^ (y << 6)) + 17.
    EXPECT_EQ(pixels[0], 17);
    EXPECT_EQ(pixels[1 * width + 1], 82);     // (1 ^ 64) + 17
    EXPECT_EQ(pixels[2 * width + 5], 150);    // (5 ^ 128) + 17
    EXPECT_EQ(pixels[31 * width + 63], 2064); // (63 ^ 1984) + 17
}

TEST_F(AcquisitionTest, FailedFrameHeaderIsLoggedAndTheFrameStillDeliveredAndHandedBack)
{
    ASSERT_EQ(xisl_sim_fail("Acquisition_GetLatestFrameHeader", 5, 0), 0);
    detector->startContinuous(recorder.consumer());
    detectorLog().clear();
    const size_t firstCall = xisl_sim_call_count();
    ASSERT_EQ(xisl_sim_step(handle, 2, 5000), 0);

    const std::vector<LogLine> lines = detectorLog().lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].level, spdlog::level::err);
    EXPECT_EQ(lines[0].text, "Error 5 ");
    const std::vector<SeenFrame> frames = recorder.seen();
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_TRUE(frames[0].matchesPattern);
    EXPECT_EQ(counters().framesHandedBack, 2u);

    // Per frame: header, active frame, the consumer, then the hand-back.
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
}

TEST_F(AcquisitionTest, NewSetUpAfterBinningChangeResizes)
{
    detector->startContinuous(recorder.consumer());
    ASSERT_EQ(xisl_sim_step(handle, 1, 5000), 0);
    detector->stop();
    detector->setBinning(2);
    detectorLog().clear();
    xisl_sim_clear_call_log();

    detector->startContinuous(recorder.consumer());
    EXPECT_EQ(detectorLog().texts().at(0), "Start recording: 32x16");
    const XislSimCall buffers = callsOf("Acquisition_DefineDestBuffers").at(0);
    EXPECT_EQ(buffers.args[2], 16u);
    EXPECT_EQ(buffers.args[3], 32u);
    ASSERT_EQ(xisl_sim_step(handle, 1, 5000), 0);

    const std::vector<SeenFrame> frames = recorder.seen();
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_EQ(frames[1].size.width, 32u);
    EXPECT_EQ(frames[1].size.height, 16u);
    EXPECT_TRUE(frames[1].matchesPattern);
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

    // Grabs one frame, stepping it as soon as the grab's acquisition runs.
    FrameWait grabStepped(Destination &destination)
    {
        const FrameConsumer consumer = destination.consumer();
        auto grabbed = std::async(std::launch::async, [&] { return readout->grab(consumer); });
        EXPECT_TRUE(stepWhenRunning(handle));
        return grabbed.get();
    }

    std::unique_ptr<Readout> readout;
};

TEST_F(SingleFrameTest, EachGrabAcquiresANewFrameOnXislsThread)
{
    ASSERT_EQ(readout->start(ReadoutMode::SingleFrames), 0u);
    Destination first;
    Destination second;
    ASSERT_EQ(grabStepped(first), FrameWait::Arrived);
    ASSERT_EQ(grabStepped(second), FrameWait::Arrived);
    EXPECT_TRUE(matchesPattern(first.image(), 1));
    EXPECT_TRUE(matchesPattern(second.image(), 2));
    EXPECT_NE(first.thread, std::this_thread::get_id());
    for (const XislSimCall &start : callsOf("Acquisition_Acquire_Image")) {
        EXPECT_EQ(start.args[0], 1u);
        EXPECT_EQ(start.args[2], 2u);
    }
    EXPECT_EQ(counters().framesHandedBack, 2u);
}

// A stop releases a waiting grab, whose consumer is never called afterwards.
TEST_F(SingleFrameTest, StopReleasesAWaitingGrabUntilTheNextStart)
{
    readout->getDetector().setTriggerMode(1); // no trigger will come
    ASSERT_EQ(readout->start(ReadoutMode::SingleFrames), 0u);
    Destination abandoned;
    const FrameConsumer toAbandoned = abandoned.consumer();
    auto cancelled = std::async(std::launch::async, [&] { return readout->grab(toAbandoned); });
    ASSERT_TRUE(waitUntil([] { return callsOf("Acquisition_Acquire_Image").size() == 1; }));
    ASSERT_EQ(readout->stop(), 0u);
    ASSERT_EQ(cancelled.get(), FrameWait::Cancelled);
    EXPECT_EQ(readout->grab(toAbandoned), FrameWait::NotRecording);

    readout->getDetector().setTriggerMode(0);
    ASSERT_EQ(readout->start(ReadoutMode::SingleFrames), 0u);
    Destination wanted;
    ASSERT_EQ(grabStepped(wanted), FrameWait::Arrived);
    EXPECT_EQ(abandoned.calls, 0u);
    EXPECT_TRUE(matchesPattern(wanted.image(), patternFrameNumber(wanted.image())));
}

// Grabs from two threads must not share one frame or one destination: they take turns.
TEST_F(SingleFrameTest, GrabsFromTwoThreadsTakeTurns)
{
    ASSERT_EQ(readout->start(ReadoutMode::SingleFrames), 0u);
    Destination first;
    Destination second;
    const FrameConsumer toFirst = first.consumer();
    const FrameConsumer toSecond = second.consumer();
    auto firstGrab = std::async(std::launch::async, [&] { return readout->grab(toFirst); });
    ASSERT_TRUE(waitUntil([] { return callsOf("Acquisition_Acquire_Image").size() == 1; }));
    auto secondGrab = std::async(std::launch::async, [&] { return readout->grab(toSecond); });

    ASSERT_TRUE(stepWhenRunning(handle));
    ASSERT_TRUE(waitUntil([] { return callsOf("Acquisition_Acquire_Image").size() == 2; }));
    ASSERT_TRUE(stepWhenRunning(handle));
    ASSERT_EQ(firstGrab.get(), FrameWait::Arrived);
    ASSERT_EQ(secondGrab.get(), FrameWait::Arrived);

    ASSERT_EQ(first.calls, 1u);
    ASSERT_EQ(second.calls, 1u);
    const uint32_t firstNumber = patternFrameNumber(first.image());
    EXPECT_TRUE(matchesPattern(first.image(), firstNumber));
    EXPECT_TRUE(matchesPattern(second.image(), firstNumber + 1));
}

// The detector refuses a start until the previous acquisition's end-of-acquisition callback has
// returned, and a grab returns as soon as its frame is in: the next grab must wait for that end,
// here made long enough to be met every time.
TEST_F(SingleFrameTest, BackToBackGrabsNeverMeetTheEndingAcquisition)
{
    xisl_sim_set_manual(0);
    xisl_sim_set_wind_down(1000);
    readout->getDetector().setExposureTime(std::chrono::duration<double>(0));
    ASSERT_EQ(readout->start(ReadoutMode::SingleFrames), 0u);
    Destination destination;
    const FrameConsumer toDestination = destination.consumer();
    constexpr unsigned grabs = 100;
    for (unsigned i = 0; i < grabs; ++i)
        ASSERT_EQ(readout->grab(toDestination), FrameWait::Arrived) << "grab " << i;
    EXPECT_EQ(destination.calls, grabs);
    EXPECT_EQ(patternFrameNumber(destination.image()), grabs);
    const std::vector<XislSimCall> starts = callsOf("Acquisition_Acquire_Image");
    ASSERT_EQ(starts.size(), grabs);
    for (const XislSimCall &start : starts)
        ASSERT_EQ(start.status, 0u);
}

// A grab that times out ends its acquisition before a grab queued behind it may start, so the
// queued grab is neither refused, nor aborted, nor handed a late frame of the first acquisition.
TEST_F(SingleFrameTest, TimedOutGrabHandsOverOnlyOnceItsAcquisitionEnded)
{
    readout->getDetector().setExposureTime(std::chrono::duration<double>(0.001));
    ASSERT_EQ(readout->start(ReadoutMode::SingleFrames), 0u); // stepping: the first grab gets none
    Destination first;
    Destination second;
    const FrameConsumer toFirst = first.consumer();
    const FrameConsumer toSecond = second.consumer();
    auto firstGrab = std::async(std::launch::async, [&] { return readout->grab(toFirst); });
    ASSERT_TRUE(waitUntil([] { return callsOf("Acquisition_Acquire_Image").size() == 1; }));
    auto secondGrab = std::async(std::launch::async, [&] { return readout->grab(toSecond); });
    ASSERT_EQ(firstGrab.get(), FrameWait::TimedOut);
    ASSERT_TRUE(waitUntil([] { return callsOf("Acquisition_Acquire_Image").size() == 2; }));
    ASSERT_TRUE(stepWhenRunning(handle));
    ASSERT_EQ(secondGrab.get(), FrameWait::Arrived);

    EXPECT_EQ(first.calls, 0u);
    ASSERT_EQ(second.calls, 1u);
    EXPECT_TRUE(matchesPattern(second.image(), 1));
    std::vector<std::string> calls = callNamesFrom(0);
    calls.erase(std::remove_if(calls.begin(), calls.end(),
                               [](const std::string &name) {
                                   return name != "Acquisition_Acquire_Image" &&
                                          name != "Acquisition_Abort";
                               }),
                calls.end());
    EXPECT_EQ(calls, (std::vector<std::string>{"Acquisition_Acquire_Image", "Acquisition_Abort",
                                               "Acquisition_Acquire_Image"}));
    for (const XislSimCall &start : callsOf("Acquisition_Acquire_Image"))
        EXPECT_EQ(start.status, 0u);
}

// A refused set-up or start is reported at once instead of leaving a caller waiting for frames.
TEST_F(SingleFrameTest, RefusedSetUpAndStartsAreReported)
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

    ASSERT_EQ(readout->start(ReadoutMode::SingleFrames), 0u);
    ASSERT_EQ(xisl_sim_fail("Acquisition_Acquire_Image", refused, 1), 0);
    EXPECT_EQ(readout->grab(toDestination), FrameWait::Refused);
    ASSERT_EQ(grabStepped(destination), FrameWait::Arrived);
    EXPECT_EQ(destination.calls, 1u);
    EXPECT_TRUE(matchesPattern(destination.image(), patternFrameNumber(destination.image())));
}

TEST_F(AcquisitionTest, SoftwareTriggerReleasesAFrame)
{
    detector->setTriggerMode(1);
    detector->startContinuous(recorder.consumer());
    detector->trigger();
    ASSERT_TRUE(xisl_sim_wait_frames(1, 5000) == 0);
    EXPECT_EQ(callsOf("Acquisition_SetFrameSync").size(), 1u);
    EXPECT_EQ(recorder.seen().size(), 1u);
}

// No consumer can be found, but the frame still goes back to XISL.
TEST_F(AcquisitionTest, CallbackWithoutAcquisitionDataOnlyHandsTheFrameBack)
{
    detector->startContinuous(recorder.consumer());
    ASSERT_EQ(Acquisition_SetAcqData(handle, nullptr), 0u);
    ASSERT_EQ(xisl_sim_step(handle, 1, 5000), 0);
    EXPECT_TRUE(recorder.seen().empty());
    EXPECT_EQ(counters().framesNotHandedBack, 0u);
}

using FrameSizeTest = SimulatorTest;

// A frame of 2^32 pixels (8 GiB) is no detector's: every mode refuses it before allocating.
TEST_F(FrameSizeTest, FrameBeyondThirtyTwoBitCountsIsRefused)
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
