#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "detector.h"
#include "log-capture.h"
#include "sim-pattern.h"
#include "xisl-sim.h"

namespace TessaraVoltTest {

using SimPattern::patternPixel;

// Frame number (modulo 2^16) of a pattern frame, read back from its first pixel.
inline uint32_t patternFrameNumber(const TessaraVolt::Image &image)
{
    return SimPattern::patternFrameNumber(image.pixels[0], 0, 0);
}

// True when every pixel of the image matches frame `frame` of the pattern.
bool matchesPattern(const TessaraVolt::Image &image, uint32_t frame);

XislSimSensor sensor(uint32_t width, uint32_t height, uint32_t headerId = 14, uint32_t promId = 1);

std::vector<XislSimCall> callsOf(const std::string &function);
// Names of the calls logged from `first` on, in order.
std::vector<std::string> callNamesFrom(size_t first);
XislSimCounters counters();

// Polls `condition` until it holds or `limit` passes; true when it held.
bool waitUntil(const std::function<bool()> &condition,
               std::chrono::milliseconds limit = std::chrono::seconds(5));

// Steps one frame as soon as the handle has an acquisition running; false if none ran in time.
bool stepWhenRunning(HACQDESC handle, std::chrono::milliseconds limit = std::chrono::seconds(5));

// Resets the simulator (a small, fast sensor; frames only when stepped) and the recorded log;
// checks after each test that the simulator saw no misuse.
class SimulatorTest : public ::testing::Test {
protected:
    static constexpr uint32_t width = 64;
    static constexpr uint32_t height = 32;

    void SetUp() override;
    void TearDown() override;

    // Discovers the single default sensor and forgets the calls and lines that took.
    std::unique_ptr<TessaraVolt::Detector> openDetector();
};

} // namespace TessaraVoltTest
