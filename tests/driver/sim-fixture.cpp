// SPDX-License-Identifier: LGPL-2.1-or-later
#include "sim-fixture.h"

#include "discovery.h"

namespace TessaraVoltTest {

void SimulatorTest::SetUp()
{
    SimulatorFixture::SetUp();
    const XislSimSensor one = sensor(width, height);
    ASSERT_EQ(xisl_sim_set_sensors(&one, 1), 0);
    xisl_sim_set_readout_ns_per_pixel(0);
    xisl_sim_set_manual(1);
    detectorLog().clear();
}

void SimulatorTest::TearDown()
{
    expectNoCallOnClosedHandles();
    expectCallbacksInOrder();
}

std::unique_ptr<TessaraVolt::Detector> SimulatorTest::openDetector()
{
    auto detectors = TessaraVolt::findDetectors();
    EXPECT_EQ(detectors.size(), 1u);
    if (detectors.empty())
        return nullptr;
    handle = handleOfLast("Acquisition_GetHwHeaderInfo");
    xisl_sim_clear_call_log();
    detectorLog().clear();
    return std::move(detectors.front());
}

std::unique_ptr<TessaraVolt::Readout> SimulatorTest::openReadout()
{
    std::unique_ptr<TessaraVolt::Detector> detector = openDetector();
    return detector ? std::make_unique<TessaraVolt::Readout>(std::move(detector)) : nullptr;
}

} // namespace TessaraVoltTest
