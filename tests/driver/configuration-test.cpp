// SPDX-License-Identifier: LGPL-2.1-or-later
#include <cmath>

#include "sim-fixture.h"

using namespace TessaraVolt;
using namespace std::chrono_literals;

namespace TessaraVoltTest {
namespace {

class ConfigurationTest : public SimulatorTest {
protected:
    void SetUp() override
    {
        SimulatorTest::SetUp();
        detector = openDetector();
        ASSERT_TRUE(detector);
    }

    std::unique_ptr<Detector> detector;
};

TEST_F(ConfigurationTest, BinningIsNormalisedLoggedAndSentEveryTime)
{
    struct Case {
        uint32_t requested;
        uint32_t stored;
    };
    const Case cases[] = {{0, 1}, {1, 1}, {2, 2}, {3, 2}, {8, 2}, {8, 2}, {1, 1}};
    for (const Case &c : cases) {
        xisl_sim_clear_call_log();
        detectorLog().clear();
        detector->setBinning(c.requested);
        EXPECT_EQ(detector->getBinning(), c.stored) << c.requested;
        const std::vector<XislSimCall> sent = callsOf("Acquisition_SetCameraBinningMode");
        ASSERT_EQ(sent.size(), 1u);
        EXPECT_EQ(sent[0].args[0], c.stored);
        EXPECT_EQ(detectorLog().texts(), std::vector<std::string>{"Set detector binning mode: " +
                                                                  std::to_string(c.stored)});
    }
}

// A refused binning is not reported as the detector's: it keeps the binning it really uses.
TEST_F(ConfigurationTest, RefusedBinningLeavesTheOldOneWithAWarning)
{
    ASSERT_EQ(detector->setBinning(2), 0u);
    ASSERT_EQ(xisl_sim_fail("Acquisition_SetCameraBinningMode", 3, 1), 0);
    detectorLog().clear();
    EXPECT_EQ(detector->setBinning(1), 3u);
    EXPECT_EQ(detector->getBinning(), 2u);
    EXPECT_EQ(detector->getFrameSize().width, width / 2); // the detector did not change
    const std::vector<LogLine> lines = detectorLog().lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].text, "Set detector binning mode: 1");
    EXPECT_EQ(lines[1].level, spdlog::level::warn);
    EXPECT_EQ(lines[1].text, "Binning mode 1 refused (status 3); the detector keeps binning 2");
}

// Frame size follows binning and reads 0 x 0 when unreadable; gain is clamped and sent only at
// set-up; nothing here calls XISL but the size read.
TEST_F(ConfigurationTest, FrameSizeAndGain)
{
    detector->setBinning(2);
    xisl_sim_clear_call_log();
    EXPECT_EQ(detector->getFrameSize().pixelCount(), width * height / 4);
    ASSERT_EQ(xisl_sim_fail("Acquisition_GetHwHeaderInfo", 5, 1), 0);
    EXPECT_EQ(detector->getFrameSize().pixelCount(), 0u);
    detector->setGain(200);
    EXPECT_EQ(detector->getGain(), 5u);
    detector->setGain(3);
    EXPECT_EQ(detector->getGain(), 3u);
    detector->setGain(6);
    EXPECT_EQ(callNamesFrom(0), std::vector<std::string>(2, "Acquisition_GetHwHeaderInfo"));
    detector->prepareGrab({});
    const std::vector<XislSimCall> sent = callsOf("Acquisition_SetCameraGain");
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].args[0], 5u);
}

// Whole microseconds, truncated; negative is 0, NaN changes nothing. The timer takes 32 bits of
// microseconds: longer exposures get its longest cycle, with one warning per write, instead of
// whatever their low 32 bits say.
TEST_F(ConfigurationTest, ExposureIsTruncatedToWholeMicrosecondsAndClampedToTheTimer)
{
    EXPECT_DOUBLE_EQ(detector->getExposureTime().count(), 0.067);
    const struct {
        double seconds, stored;
        bool clamped;
    } rows[] = {{0.0000015, 0.000001, false},
                {0.1, 0.1, false},
                {1.0 / 3.0, 0.333333, false},
                {-0.5, 0, false},
                {2.0, 2.0, false},
                {std::nan(""), 2.0, false},
                {4294.967295, 4294.967295, false},
                {4294.967296, 4294.967295, true},
                {5000, 4294.967295, true},
                {1e308, 4294.967295, true},
                {-1e300, 0, false}};
    for (const auto &row : rows) {
        SCOPED_TRACE(row.seconds);
        detectorLog().clear();
        xisl_sim_clear_call_log();
        detector->setExposureTime(std::chrono::duration<double>(row.seconds));
        EXPECT_DOUBLE_EQ(detector->getExposureTime().count(), row.stored);
        EXPECT_TRUE(callNamesFrom(0).empty());
        if (!row.clamped) {
            EXPECT_TRUE(detectorLog().lines().empty());
            continue;
        }
        const std::vector<LogLine> lines = detectorLog().lines();
        ASSERT_EQ(lines.size(), 1u);
        EXPECT_EQ(std::make_pair(lines[0].level, lines[0].text),
                  std::make_pair(int(spdlog::level::warn),
                                 std::string("Exposure time above the timer's longest cycle; "
                                             "using 4294967295 us")));
        detector->prepareGrab({});
        const std::vector<XislSimCall> timer = callsOf("Acquisition_SetTimerSync");
        ASSERT_EQ(timer.size(), 2u) << "the readout time, then the cycle";
        EXPECT_EQ(timer[1].args[0], 4294967295u);
        const Clock::time_point requested = Clock::now();
        EXPECT_EQ(detector->getFrameDeadline(requested) - requested, 4294967295us + 2s)
            << "one cycle, no readout here, and a margin";
    }
}

struct TriggerCase {
    int32_t mode;
    int expectedSyncMode; // -1: no frame-sync call
};

class TriggerModeTest : public ConfigurationTest,
                        public ::testing::WithParamInterface<TriggerCase> {};

TEST_P(TriggerModeTest, SetUpChoosesTheFrameSyncModeAndTheTimer)
{
    detector->setTriggerMode(GetParam().mode);
    EXPECT_EQ(detector->getTriggerMode(), GetParam().mode);
    detector->prepareGrab({});

    const std::vector<XislSimCall> sync = callsOf("Acquisition_SetFrameSyncMode");
    const bool timer = GetParam().mode == 0;
    if (GetParam().expectedSyncMode < 0) {
        EXPECT_TRUE(sync.empty());
    } else {
        ASSERT_EQ(sync.size(), 1u);
        EXPECT_EQ(sync[0].args[0], static_cast<uint64_t>(GetParam().expectedSyncMode));
    }
    // The readout time is asked for in every mode; the cycle is sent only with the timer.
    EXPECT_EQ(callsOf("Acquisition_SetTimerSync").size(), timer ? 2u : 1u);
    bool exposureLogged = false;
    for (const std::string &text : detectorLog().texts())
        exposureLogged |= text.rfind("Set exposure to ", 0) == 0;
    EXPECT_EQ(exposureLogged, timer);
    // With the timer: the default 67 ms cycle and a margin; else the default frame timeout.
    const Clock::time_point requested = Clock::now();
    EXPECT_EQ(detector->getFrameDeadline(requested) - requested, timer ? 2067ms : 10s);
}

// A request for a frame gives up only after the frame is due: with the timer one cycle and one
// readout on, with a software trigger one readout after the last trigger, with an external one
// the frame timeout and one readout on; later by as much for each frame still to be skipped.
TEST_F(ConfigurationTest, FrameDeadlineCountsFromWhenTheFrameIsDue)
{
    xisl_sim_set_readout_ns_per_pixel(100000); // 64 x 32 pixels: 204.8 ms
    constexpr std::chrono::microseconds readout{204800};
    detector->setExposureTime(std::chrono::duration<double>(0.001)); // the timer stretches it
    detector->setFrameTimeout(std::chrono::duration<double>(0.5));
    EXPECT_EQ(detector->getFrameTimeout().count(), 0.5);
    for (int32_t mode : {0, 2, 1}) { // software last: the trigger below needs it
        SCOPED_TRACE(mode);
        detector->setTriggerMode(mode);
        // Frames to be skipped come first: each adds what one frame may take.
        ASSERT_EQ(detector->startContinuous({}, AcquisitionOptions{2, {}}), 0u);
        Clock::time_point requested = Clock::now();
        EXPECT_EQ(detector->getFrameDeadline(requested) - requested,
                  mode == 0 ? 3 * (readout + readout) + 2s : 3 * (500ms + readout));
        ASSERT_EQ(detector->stop(), 0u);
        ASSERT_EQ(detector->prepareGrab({}), 0u);
        requested = Clock::now();
        const Clock::duration bound = detector->getFrameDeadline(requested) - requested;
        EXPECT_EQ(bound, mode == 0 ? readout + readout + 2s : 500ms + readout);
    }
    EXPECT_DOUBLE_EQ(detector->getExposureTime().count(), 0.2048) << "what the timer runs at";

    const Clock::time_point requested = Clock::now();
    detector->trigger();
    const Clock::time_point triggered = Clock::now();
    const Clock::time_point deadline = detector->getFrameDeadline(requested);
    EXPECT_GE(deadline, requested + readout + 2s);
    EXPECT_LE(deadline, triggered + readout + 2s);
    detector->trigger(); // read out after the first one
    EXPECT_GE(detector->getFrameDeadline(requested), requested + 2 * readout + 2s);

    detector->setFrameTimeout(std::chrono::duration<double>(-1));
    EXPECT_EQ(detector->getFrameTimeout().count(), 0.0);
    detector->setFrameTimeout(std::chrono::duration<double>(1e300));
    EXPECT_EQ(detector->getFrameTimeout(), Detector::longestFrameTimeout);
}

INSTANTIATE_TEST_SUITE_P(Modes, TriggerModeTest,
                         ::testing::Values(TriggerCase{0, 2}, TriggerCase{1, 1}, TriggerCase{2, 3},
                                           TriggerCase{5, -1}, TriggerCase{-1, -1}));

} // namespace
} // namespace TessaraVoltTest
