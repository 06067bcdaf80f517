// SPDX-License-Identifier: LGPL-2.1-or-later
#include <cmath>

#include "sim-fixture.h"

using namespace TessaraVolt;
using namespace std::chrono_literals;

namespace TessaraVoltTest {
namespace {

using ConfigurationTest = DetectorTest;
using Lines = std::vector<std::pair<int, std::string>>;

// Normalised, logged and sent every time; a refused binning is not reported as the detector's:
// it keeps the binning and frame size it really uses, with a warning.
TEST_F(ConfigurationTest, BinningIsNormalisedLoggedAndSentEveryTime)
{
    const struct {
        uint32_t requested, stored, refusal;
    } rows[] = {{0, 1, 0}, {1, 1, 0}, {2, 2, 0}, {3, 2, 0}, {8, 2, 0},
                {8, 2, 0}, {1, 1, 0}, {2, 2, 0}, {1, 2, 3}};
    for (const auto &row : rows) {
        xisl_sim_clear_call_log();
        detectorLog().clear();
        ASSERT_EQ(
            row.refusal ? xisl_sim_fail("Acquisition_SetCameraBinningMode", row.refusal, 1) : 0, 0);
        EXPECT_EQ(detector->setBinning(row.requested), row.refusal);
        const std::vector<XislSimCall> sent = callsOf("Acquisition_SetCameraBinningMode");
        Lines expected{{spdlog::level::info, "Set detector binning mode: " +
                                                 std::to_string(row.refusal ? 1 : row.stored)}};
        if (row.refusal)
            expected.emplace_back(
                spdlog::level::warn,
                "Binning mode 1 refused (status 3); the detector keeps binning 2");
        EXPECT_EQ(logged(), expected) << row.requested;
        EXPECT_EQ(
            std::make_tuple(detector->getBinning(), sent.size(), detector->getFrameSize().width),
            std::make_tuple(row.stored, size_t{1}, width / row.stored));
    }
}

// Whole microseconds, truncated; negative is 0, NaN changes nothing. The timer takes 32 bits of
// microseconds: longer exposures get its longest cycle, with one warning per write, instead of
// whatever their low 32 bits say; the frame deadline is one cycle (no readout here) and a margin.
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
        EXPECT_EQ(
            logged(),
            (row.clamped
                 ? Lines{{spdlog::level::warn,
                          "Exposure time above the timer's longest cycle; using 4294967295 us"}}
                 : Lines{}));
        if (!row.clamped)
            continue;
        detector->prepareGrab({});
        const std::vector<XislSimCall> timer = callsOf("Acquisition_SetTimerSync");
        ASSERT_EQ(timer.size(), 2u) << "the readout time, then the cycle";
        EXPECT_EQ(timer[1].args[0], 4294967295u);
        const Clock::time_point requested = Clock::now();
        EXPECT_EQ(detector->getFrameDeadline(requested) - requested, 4294967295us + 2s);
    }
}

// A request for a frame gives up only after the frame is due: with the timer one cycle and one
// readout on, with a software trigger one readout after the last trigger, with an external one
// the frame timeout and one readout on; later by as much for each frame still to be skipped.
// Each set-up picks the mode's frame-sync mode and asks the readout time; only the timer gets a
// cycle.
TEST_F(ConfigurationTest, FrameDeadlineCountsFromWhenTheFrameIsDue)
{
    xisl_sim_set_readout_ns_per_pixel(100000); // 64 x 32 pixels: 204.8 ms
    constexpr std::chrono::microseconds readout{204800};
    detector->setExposureTime(std::chrono::duration<double>(0.001)); // the timer stretches it
    EXPECT_EQ(detector->getFrameTimeout(), 10s);
    detector->setFrameTimeout(std::chrono::duration<double>(0.5));
    EXPECT_EQ(detector->getFrameTimeout().count(), 0.5);
    for (int32_t mode : {0, 2, 1}) { // software last: the trigger below needs it
        SCOPED_TRACE(mode);
        xisl_sim_clear_call_log();
        detector->setTriggerMode(static_cast<TriggerMode>(mode));
        // Frames to be skipped come first: each adds what one frame may take.
        ASSERT_EQ(detector->startContinuous({}, AcquisitionOptions{2, {}}), 0u);
        Clock::time_point requested = Clock::now();
        const Clock::duration one = mode == 0 ? readout + readout + 2s : 500ms + readout;
        EXPECT_EQ(detector->getFrameDeadline(requested) - requested,
                  mode == 0 ? one + 2 * (readout + readout) : 3 * one);
        ASSERT_EQ(detector->stop(), 0u);
        ASSERT_EQ(detector->prepareGrab({}), 0u);
        requested = Clock::now();
        EXPECT_EQ(detector->getFrameDeadline(requested) - requested, one);
        const std::vector<XislSimCall> sync = callsOf("Acquisition_SetFrameSyncMode");
        ASSERT_EQ(sync.size(), 2u);
        EXPECT_EQ(sync[1].args[0], std::vector<uint64_t>({2, 1, 3})[mode]);
        EXPECT_EQ(callsOf("Acquisition_SetTimerSync").size(), mode == 0 ? 4u : 2u);
    }
    EXPECT_DOUBLE_EQ(detector->getExposureTime().count(), 0.001) << "the request, not the answer";

    // No acquisition runs after a one-frame set-up: XISL drops the triggers, and so does the
    // deadline, however many come.
    Clock::time_point requested = Clock::now();
    for (int lost = 0; lost < 100; ++lost)
        EXPECT_EQ(detector->trigger(), 0u);
    EXPECT_EQ(detector->getFrameDeadline(requested) - requested, 500ms + readout);

    ASSERT_EQ(detector->startContinuous({}), 0u);
    requested = Clock::now();
    detector->trigger();
    const Clock::time_point triggered = Clock::now();
    const Clock::time_point deadline = detector->getFrameDeadline(requested);
    EXPECT_GE(deadline, requested + readout + 2s);
    EXPECT_LE(deadline, triggered + readout + 2s);
    detector->trigger(); // read out after the first one
    EXPECT_GE(detector->getFrameDeadline(requested), requested + 2 * readout + 2s);
    ASSERT_EQ(detector->stop(), 0u);
    ASSERT_EQ(detector->startContinuous({}), 0u) << "a set-up forgets the triggers before it";
    requested = Clock::now();
    EXPECT_EQ(detector->getFrameDeadline(requested) - requested, 500ms + readout);
    ASSERT_EQ(detector->stop(), 0u);
    ASSERT_EQ(xisl_sim_fail("Acquisition_SetFrameSync", 6, 1), 0);
    EXPECT_EQ(detector->trigger(), 6u) << "a refused trigger is reported";

    detector->setFrameTimeout(std::chrono::duration<double>(-1));
    EXPECT_EQ(detector->getFrameTimeout().count(), 0.0);
    detector->setFrameTimeout(std::chrono::duration<double>(1e300));
    EXPECT_EQ(detector->getFrameTimeout(), Detector::longestFrameTimeout);
}

} // namespace
} // namespace TessaraVoltTest
