// SPDX-License-Identifier: LGPL-2.1-or-later
#include <stdexcept>

#include "discovery.h"
#include "sim-fixture.h"

using namespace TessaraVolt;

namespace TessaraVoltTest {
namespace {

class DiscoveryTest : public SimulatorTest {
protected:
    void useSensors(const std::vector<XislSimSensor> &sensors)
    {
        ASSERT_EQ(xisl_sim_set_sensors(sensors.data(), sensors.size()), 0);
    }

    // Runs discovery expecting it to fail with `message`, logged at error level as its last line.
    void expectFailure(const std::string &message)
    {
        try {
            findDetectors();
            ADD_FAILURE() << "discovery succeeded";
        } catch (const std::runtime_error &error) {
            EXPECT_EQ(error.what(), message);
        }
        const std::vector<LogLine> lines = detectorLog().lines();
        ASSERT_FALSE(lines.empty());
        EXPECT_EQ(lines.back().level, spdlog::level::err);
        EXPECT_EQ(lines.back().text, message);
        EXPECT_EQ(counters().openHandles, 0u) << "a handle was left open";
    }
};

TEST_F(DiscoveryTest, NoSensorStillAsksForOneAndFails)
{
    ASSERT_EQ(xisl_sim_set_sensors(nullptr, 0), 0);
    expectFailure("Unable to get next sensor");
    EXPECT_EQ(detectorLog().texts().front(), "Found 0 sensors");
    EXPECT_EQ(callsOf("Acquisition_GetNextSensor").size(), 1u);
}

TEST_F(DiscoveryTest, KeepsSensorsInOrderAndSkipsOldHeaders)
{
    useSensors({sensor(100, 50, 14, 3), sensor(20, 10, 13, 4), sensor(40, 30, 15, 5)});
    auto detectors = findDetectors();

    ASSERT_EQ(detectors.size(), 2u);
    // Each asks the hardware header through its own handle.
    EXPECT_EQ(detectors[0]->getFrameSize().width, 100u);
    const HACQDESC first = handleOfLast("Acquisition_GetHwHeaderInfo");
    EXPECT_EQ(detectors[1]->getFrameSize().width, 40u);
    EXPECT_NE(handleOfLast("Acquisition_GetHwHeaderInfo"), first);
    EXPECT_EQ(counters().openHandles, 2u);
    EXPECT_EQ(detectorLog().texts(),
              (std::vector<std::string>{"Found 3 sensors", "Camera: PROM 3, header 14",
                                        "Camera (extended): header 14, type 7",
                                        "Camera: PROM 4, header 13", "Camera: PROM 5, header 15",
                                        "Camera (extended): header 15, type 7"}));

    // The skipped sensor is closed at once, right after its header was read.
    const std::vector<std::string> calls = callNamesFrom(0);
    const std::vector<std::string> expected{
        "Acquisition_EnumSensors",     "Acquisition_GetNextSensor",
        "Acquisition_GetHwHeaderInfo", "Acquisition_GetHwHeaderInfoEx",
        "Acquisition_GetNextSensor",   "Acquisition_GetHwHeaderInfo",
        "Acquisition_Close",           "Acquisition_GetNextSensor",
        "Acquisition_GetHwHeaderInfo", "Acquisition_GetHwHeaderInfoEx"};
    ASSERT_GE(calls.size(), expected.size());
    EXPECT_EQ(std::vector<std::string>(calls.begin(), calls.begin() + expected.size()), expected);

    detectors.clear();
    EXPECT_EQ(counters().openHandles, 0u);
}

TEST_F(DiscoveryTest, EverySensorSkippedGivesAnEmptyResult)
{
    useSensors({sensor(20, 10, 13), sensor(20, 10, 0)});
    EXPECT_TRUE(findDetectors().empty());
    EXPECT_EQ(counters().openHandles, 0u);
}

struct DiscoveryFault {
    const char *function;
    unsigned nth;
    const char *message;
};

class DiscoveryFaultTest : public DiscoveryTest,
                           public ::testing::WithParamInterface<DiscoveryFault> {};

TEST_P(DiscoveryFaultTest, FailsWithItsMessageAndClosesEverything)
{
    useSensors({sensor(64, 32), sensor(64, 32), sensor(64, 32)});
    ASSERT_EQ(xisl_sim_fail(GetParam().function, 9, GetParam().nth), 0);
    expectFailure(GetParam().message);
}

INSTANTIATE_TEST_SUITE_P(
    EachCall, DiscoveryFaultTest,
    ::testing::Values(
        DiscoveryFault{"Acquisition_EnumSensors", 1, "Unable to enumerate sensors"},
        DiscoveryFault{"Acquisition_GetNextSensor", 2, "Unable to get next sensor"},
        DiscoveryFault{"Acquisition_GetHwHeaderInfo", 1, "Unable to get hardware header info"},
        DiscoveryFault{"Acquisition_GetHwHeaderInfo", 3, "Unable to get hardware header info"}));

TEST_F(DiscoveryTest, FailedExtendedHeaderIsStillLoggedWithWhatTheRecordHolds)
{
    useSensors({sensor(64, 32), sensor(64, 32), sensor(64, 32)});
    ASSERT_EQ(xisl_sim_fail("Acquisition_GetHwHeaderInfoEx", 9, 3), 0);
    expectFailure("Unable to get extended hardware header info");
    const std::vector<std::string> texts = detectorLog().texts();
    ASSERT_GE(texts.size(), 2u);
    EXPECT_EQ(texts[texts.size() - 2], "Camera (extended): header 0, type 0");
    // The two detectors already made are closed as the result goes away.
    EXPECT_EQ(callsOf("Acquisition_Close").size(), 3u);
}

} // namespace
} // namespace TessaraVoltTest
