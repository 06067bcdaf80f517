/* SPDX-License-Identifier: LGPL-2.1-or-later */
// The driver's tests on the simulated detector: a small, fast sensor whose frames come only when
// a test steps them, with the driver's log captured.
#pragma once

#include <chrono>
#include <cstdint>
#include <future>
#include <memory>
#include <thread>
#include <utility>
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
    return frameNumberOf(image.pixels, {0, 0, image.size.width, image.size.height}) == frame;
}

// A deadline `limit` from now, which does not move.
inline TessaraVolt::FrameDeadline within(std::chrono::milliseconds limit)
{
    const TessaraVolt::Clock::time_point due = TessaraVolt::Clock::now() + limit;
    return [due] { return due; };
}

// The driver's log lines as (level, text).
inline std::vector<std::pair<int, std::string>> logged()
{
    std::vector<std::pair<int, std::string>> lines;
    for (const LogLine &line : detectorLog().lines())
        lines.emplace_back(line.level, line.text);
    return lines;
}

// A consumer for grabs: keeps a copy of each frame and the thread it ran on.
struct Destination {
    Destination() = default;
    Destination(const Destination &) = delete; // the consumer writes into this one
    std::vector<uint16_t> pixels;
    TessaraVolt::FrameSize size;
    std::thread::id thread;
    unsigned calls = 0;
    const TessaraVolt::FrameConsumer consumer = [this](const TessaraVolt::Image &image) {
        pixels.assign(image.pixels, image.pixels + image.size.pixelCount());
        size = image.size;
        thread = std::this_thread::get_id();
        ++calls;
    };

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

// A test of the detector on its own.
class DetectorTest : public SimulatorTest {
protected:
    void SetUp() override
    {
        SimulatorTest::SetUp();
        detector = openDetector();
        ASSERT_TRUE(detector);
    }

    std::unique_ptr<TessaraVolt::Detector> detector;
};

// A test of the readout that owns the detector.
class ReadoutTest : public SimulatorTest {
protected:
    void SetUp() override
    {
        SimulatorTest::SetUp();
        readout = openReadout();
        ASSERT_TRUE(readout);
    }

    // A grab on another thread into `destination`, once `acquisitions` have started in all.
    std::future<TessaraVolt::FrameWait> grabStarted(Destination &destination,
                                                    size_t acquisitions = 1)
    {
        auto grabbed =
            std::async(std::launch::async, [&] { return readout->grab(destination.consumer); });
        EXPECT_TRUE(
            waitUntil([=] { return callsOf("Acquisition_Acquire_Image").size() == acquisitions; }));
        return grabbed;
    }
    // Grabs one frame, stepping `frames` frames, each as soon as an acquisition runs.
    TessaraVolt::FrameWait grabStepped(Destination &destination, unsigned frames = 1)
    {
        auto grabbed =
            std::async(std::launch::async, [&] { return readout->grab(destination.consumer); });
        for (unsigned i = 0; i < frames; ++i)
            EXPECT_TRUE(stepWhenRunning(handle));
        return grabbed.get();
    }

    std::unique_ptr<TessaraVolt::Readout> readout;
};

} // namespace TessaraVoltTest
