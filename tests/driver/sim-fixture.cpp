#include "sim-fixture.h"

#include <cstring>
#include <thread>

#include "discovery.h"

namespace TessaraVoltTest {

bool matchesPattern(const TessaraVolt::Image &image, uint32_t frame)
{
    for (uint32_t y = 0; y < image.size.height; ++y)
        for (uint32_t x = 0; x < image.size.width; ++x)
            if (image.pixels[y * image.size.width + x] != patternPixel(x, y, frame))
                return false;
    return true;
}

XislSimSensor sensor(uint32_t width, uint32_t height, uint32_t headerId, uint32_t promId)
{
    XislSimSensor result{};
    result.promId = promId;
    result.headerId = headerId;
    result.extendedHeaderId = static_cast<uint16_t>(headerId);
    result.cameraType = 7;
    result.width = width;
    result.height = height;
    return result;
}

std::vector<XislSimCall> callsOf(const std::string &function)
{
    std::vector<XislSimCall> result;
    const size_t count = xisl_sim_call_count();
    for (size_t i = 0; i < count; ++i) {
        XislSimCall call{};
        if (xisl_sim_get_call(i, &call) == 0 && function == call.function)
            result.push_back(call);
    }
    return result;
}

std::vector<std::string> callNamesFrom(size_t first)
{
    std::vector<std::string> result;
    const size_t count = xisl_sim_call_count();
    for (size_t i = first; i < count; ++i) {
        XislSimCall call{};
        if (xisl_sim_get_call(i, &call) == 0)
            result.emplace_back(call.function);
    }
    return result;
}

XislSimCounters counters()
{
    XislSimCounters result{};
    xisl_sim_get_counters(&result);
    return result;
}

bool waitUntil(const std::function<bool()> &condition, std::chrono::milliseconds limit)
{
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

bool stepWhenRunning(HACQDESC handle, std::chrono::milliseconds limit)
{
    return waitUntil([handle] { return xisl_sim_step(handle, 1, 1000) == 0; }, limit);
}

void SimulatorTest::SetUp()
{
    xisl_sim_reset();
    const XislSimSensor one = sensor(width, height);
    ASSERT_EQ(xisl_sim_set_sensors(&one, 1), 0);
    xisl_sim_set_readout_ns_per_pixel(0);
    xisl_sim_set_manual(1);
    recordedLog().clear();
}

void SimulatorTest::TearDown()
{
    const XislSimCounters seen = counters();
    EXPECT_EQ(seen.callsOnClosedHandles, 0u);
    EXPECT_EQ(seen.callbacksAfterClose, 0u);
    EXPECT_EQ(seen.overlappingCallbacks, 0u);
}

std::unique_ptr<TessaraVolt::Detector> SimulatorTest::openDetector()
{
    auto detectors = TessaraVolt::findDetectors();
    EXPECT_EQ(detectors.size(), 1u);
    if (detectors.empty())
        return nullptr;
    xisl_sim_clear_call_log();
    recordedLog().clear();
    return std::move(detectors.front());
}

} // namespace TessaraVoltTest
