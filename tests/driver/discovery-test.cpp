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
};

// Each kept detector asks the hardware header through its own handle; the skipped sensor is
// closed at once, right after its header was read.
TEST_F(DiscoveryTest, KeepsSensorsInOrderAndSkipsOldHeaders)
{
    useSensors({sensor(100, 50, 14, 3), sensor(20, 10, 13, 4), sensor(40, 30, 15, 5)});
    auto detectors = findDetectors();
    ASSERT_EQ(detectors.size(), 2u);
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
    std::vector<std::string> calls = callNamesFrom(0);
    calls.resize(10);
    EXPECT_EQ(calls, (std::vector<std::string>{
                         "Acquisition_EnumSensors", "Acquisition_GetNextSensor",
                         "Acquisition_GetHwHeaderInfo", "Acquisition_GetHwHeaderInfoEx",
                         "Acquisition_GetNextSensor", "Acquisition_GetHwHeaderInfo",
                         "Acquisition_Close", "Acquisition_GetNextSensor",
                         "Acquisition_GetHwHeaderInfo", "Acquisition_GetHwHeaderInfoEx"}));
    detectors.clear();
    EXPECT_EQ(counters().openHandles, 0u);
    // A failing close of a skipped sensor stops nothing and logs no error; the simulator keeps
    // that handle open.
    useSensors({sensor(20, 10, 13), sensor(20, 10, 0)});
    ASSERT_EQ(xisl_sim_fail("Acquisition_Close", 9, 1), 0);
    EXPECT_TRUE(findDetectors().empty()) << "every sensor skipped";
    EXPECT_EQ(counters().openHandles, 1u);
    for (const auto &[level, text] : logged())
        EXPECT_NE(level, spdlog::level::err) << text;
}

// Discovery throws the message it logs last, at error level, and closes every handle; with no
// sensor it still asks for one. A failed extended header is still logged with what the record
// holds.
TEST_F(DiscoveryTest, FailsWithItsMessageAndClosesEverything)
{
    const struct {
        size_t sensors;
        const char *function; // null: none fails
        unsigned nth;
        const char *message;
    } rows[] = {
        {0, nullptr, 0, "Unable to get next sensor"},
        {3, "Acquisition_EnumSensors", 1, "Unable to enumerate sensors"},
        {3, "Acquisition_GetNextSensor", 2, "Unable to get next sensor"},
        {3, "Acquisition_GetHwHeaderInfo", 1, "Unable to get hardware header info"},
        {3, "Acquisition_GetHwHeaderInfo", 3, "Unable to get hardware header info"},
        {3, "Acquisition_GetHwHeaderInfoEx", 3, "Unable to get extended hardware header info"}};
    for (const auto &row : rows) {
        SCOPED_TRACE(row.message);
        SetUp();
        useSensors(std::vector<XislSimSensor>(row.sensors, sensor(64, 32)));
        ASSERT_EQ(row.function ? xisl_sim_fail(row.function, 9, row.nth) : 0, 0);
        std::string thrown;
        try {
            findDetectors();
        } catch (const std::runtime_error &error) {
            thrown = error.what();
        }
        const std::vector<std::pair<int, std::string>> lines = logged();
        ASSERT_FALSE(lines.empty());
        EXPECT_EQ(lines.back(), std::make_pair(int(spdlog::level::err), std::string(row.message)));
        EXPECT_EQ(thrown, row.message);
        EXPECT_EQ(counters().openHandles, 0u) << "a handle was left open";
        EXPECT_TRUE(lines.size() == 1 ||
                    lines.front().second == "Found " + std::to_string(row.sensors) + " sensors");
        EXPECT_TRUE(row.sensors > 0 || callsOf("Acquisition_GetNextSensor").size() == 1);
        EXPECT_TRUE(row.nth != 3 || row.function != std::string("Acquisition_GetHwHeaderInfoEx") ||
                    lines[lines.size() - 2].second == "Camera (extended): header 0, type 0");
    }
}

} // namespace
} // namespace TessaraVoltTest
