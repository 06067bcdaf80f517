/* SPDX-License-Identifier: LGPL-2.1-or-later */
// Shared set-up of the stress and fault tests: a camera made through libuca's plug-in manager on
// the simulated detector, the driver's log captured, bounded waits, and counts scaled down under
// the sanitizers (ThreadSanitizer runs 5 to 15 times slower).
#pragma once

#include <gtest/gtest.h>

#include "camera-support.h"
#include "wait-until.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#if defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define STRESS_SLOWDOWN 10
#elif __has_feature(address_sanitizer)
#define STRESS_SLOWDOWN 4
#endif
#elif defined(__SANITIZE_THREAD__)
#define STRESS_SLOWDOWN 10
#elif defined(__SANITIZE_ADDRESS__)
#define STRESS_SLOWDOWN 4
#endif
#ifndef STRESS_SLOWDOWN
#define STRESS_SLOWDOWN 1
#endif

namespace TessaraVoltTest {

constexpr unsigned sanitizerSlowdown = STRESS_SLOWDOWN;

// The camera gives up on a frame after its wait limit (2 s at the exposures used here); this
// leaves room for a slow sanitizer build.
constexpr auto grabBound = std::chrono::seconds(6);
constexpr uint32_t sensorSide = 64; // small frames keep a cycle cheap: the stress is in the count
constexpr Roi wholeFrame = {0, 0, sensorSide, sensorSide};

// The number of repetitions a test runs in this build.
inline unsigned scaledCount(unsigned plainCount)
{
    return std::max(plainCount / sanitizerSlowdown, 1u);
}

inline std::vector<std::string> errorLines()
{
    std::vector<std::string> errors;
    for (const LogLine &line : detectorLog().lines())
        if (line.level == spdlog::level::err)
            errors.push_back(line.text);
    return errors;
}

// Counts deliveries of the asynchronous callback, and those that were not a whole frame.
struct DeliveryCounter {
    static void add(gpointer pixels, gpointer self)
    {
        auto *counter = static_cast<DeliveryCounter *>(self);
        counter->corrupt += !frameNumberOf(static_cast<const uint16_t *>(pixels), wholeFrame);
        counter->count++;
    }
    bool waitFor(uint64_t target, std::chrono::milliseconds limit)
    {
        return waitUntil([&] { return count >= target; }, limit);
    }

    std::atomic<uint64_t> count{0};
    std::atomic<unsigned> corrupt{0};
};

enum class Mode { Asynchronous, Continuous, SingleFrame };
constexpr const char *modeNames[] = {"Asynchronous", "Continuous", "SingleFrame"};

inline void selectMode(UcaCamera *camera, Mode mode)
{
    g_object_set(camera, "transfer-asynchronously", gboolean{mode == Mode::Asynchronous},
                 "grab-from-continuous", gboolean{mode == Mode::Continuous}, nullptr);
}

inline ::testing::AssertionResult stopRecording(UcaCamera *camera)
{
    GError *error = nullptr;
    uca_camera_stop_recording(camera, &error);
    const ErrorPtr owned(error);
    return error ? ::testing::AssertionFailure() << error->message : ::testing::AssertionSuccess();
}

// One frame of the recording: the callback's next delivery, or a grab whose frame number it gives.
inline ::testing::AssertionResult takeFrame(UcaCamera *camera, Mode mode, DeliveryCounter &counter,
                                            std::optional<uint32_t> *number = nullptr)
{
    if (mode == Mode::Asynchronous)
        return ::testing::AssertionResult(counter.waitFor(counter.count + 1, grabBound));
    std::vector<uint16_t> pixels(size_t{sensorSide} * sensorSide);
    GError *error = nullptr;
    const gboolean grabbed = uca_camera_grab(camera, pixels.data(), &error);
    const ErrorPtr owned(error);
    if (!grabbed)
        return ::testing::AssertionFailure() << "grab: " << (error ? error->message : "no error");
    const std::optional<uint32_t> found = frameNumberOf(pixels.data(), wholeFrame);
    if (number)
        *number = found;
    return ::testing::AssertionResult(found.has_value()) << "the pixels are no frame";
}

// A fresh simulator with small, fast frames; every test starts here.
class SimulatorTest : public SimulatorFixture {
protected:
    void SetUp() override
    {
        SimulatorFixture::SetUp();
        const XislSimSensor small = sensor(sensorSide, sensorSide);
        ASSERT_EQ(xisl_sim_set_sensors(&small, 1), 0);
        xisl_sim_set_readout_ns_per_pixel(0);
        detectorLog().clear();
    }

    // A camera with a short exposure, so that frames come every 100 µs.
    static CameraPtr createFastCamera()
    {
        CameraPtr camera = createCamera(nullptr);
        if (camera)
            g_object_set(camera.get(), "exposure-time", 0.0001, nullptr);
        return camera;
    }
};

} // namespace TessaraVoltTest
