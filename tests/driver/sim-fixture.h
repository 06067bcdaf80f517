/* SPDX-License-Identifier: LGPL-2.1-or-later */
// The driver's tests on the simulated detector: a small, fast sensor whose frames come only when
// a test steps them, with the driver's log captured.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <thread>
#include <vector>

#include "detector.h"
#include "log-sink.h"
#include "readout.h"
#include "sim-pattern.h"
#include "sim-support.h"

namespace TessaraVoltTest {

// Frame number (modulo 2^16) of a pattern frame, read back from its first pixel.
inline uint32_t patternFrameNumber(const TessaraVolt::Image &image)
{
    return patternFrameNumber(image.pixels[0], 0, 0);
}

// True when every pixel of the image matches frame `frame` of the pattern.
inline bool matchesPattern(const TessaraVolt::Image &image, uint32_t frame)
{
    const auto number = frameNumberOf(image.pixels, {0, 0, image.size.width, image.size.height});
    return number == frame;
}

// A deadline `limit` from now, which does not move.
inline TessaraVolt::FrameDeadline within(std::chrono::milliseconds limit)
{
    const TessaraVolt::Clock::time_point due = TessaraVolt::Clock::now() + limit;
    return [due] { return due; };
}

// A consumer for grabs: keeps a copy of each frame and the thread it ran on.
struct Destination {
    std::vector<uint16_t> pixels;
    TessaraVolt::FrameSize size;
    std::thread::id thread;
    unsigned calls = 0;

    TessaraVolt::FrameConsumer consumer()
    {
        return [this](const TessaraVolt::Image &image) {
            pixels.assign(image.pixels, image.pixels + image.size.pixelCount());
            size = image.size;
            thread = std::this_thread::get_id();
            ++calls;
        };
    }
    TessaraVolt::Image image() const { return TessaraVolt::Image{pixels.data(), size}; }
};

// Steps one frame as soon as the handle has an acquisition running; false if none ran in time.
inline bool stepWhenRunning(HACQDESC handle,
                            std::chrono::milliseconds limit = std::chrono::seconds(5))
{
    return waitUntil([handle] { return xisl_sim_step(handle, 1, 1000) == 0; }, limit);
}

// Resets the simulator (a small, fast sensor; frames only when stepped) and the recorded log;
// checks after each test that the driver never called on a closed handle.
class SimulatorTest : public SimulatorFixture {
protected:
    static constexpr uint32_t width = 64;
    static constexpr uint32_t height = 32;

    void SetUp() override;
    void TearDown() override;

    // Discovers the single default sensor, keeps its handle in `handle`, and forgets the calls
    // and lines that took.
    std::unique_ptr<TessaraVolt::Detector> openDetector();
    // The same detector, owned by a readout.
    std::unique_ptr<TessaraVolt::Readout> openReadout();

    HACQDESC handle = nullptr;
};

} // namespace TessaraVoltTest
