/* SPDX-License-Identifier: LGPL-2.1-or-later */
// Shared set-up of the stress and fault tests: a camera made through libuca's plug-in manager on
// the simulated detector, the driver's log captured, bounded waits, and counts scaled down under
// the sanitizers (ThreadSanitizer runs 5 to 15 times slower).
#pragma once

#include <gtest/gtest.h>

#include "camera-support.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <mutex>
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

// The number of repetitions a test runs in this build; printed so that a log shows what ran.
inline unsigned scaledCount(const char *what, unsigned plainCount)
{
    const unsigned count = std::max(plainCount / sanitizerSlowdown, 1u);
    std::printf("[ stress   ] %s: %u (slowed down %ux)\n", what, count, sanitizerSlowdown);
    std::fflush(stdout);
    return count;
}

inline std::vector<std::string> errorLines()
{
    std::vector<std::string> errors;
    for (const LogLine &line : detectorLog().lines())
        if (line.level == spdlog::level::err)
            errors.push_back(line.text);
    return errors;
}

// Counts deliveries of the asynchronous callback, and those that were not a whole frame, and lets
// a thread wait for a number of them.
class DeliveryCounter {
public:
    static void add(gpointer pixels, gpointer self)
    {
        auto *counter = static_cast<DeliveryCounter *>(self);
        if (!frameNumberOf(static_cast<const uint16_t *>(pixels), wholeFrame))
            counter->corrupt++;
        {
            std::lock_guard<std::mutex> lock(counter->mutex_);
            counter->count_++;
        }
        counter->condition_.notify_all();
    }
    uint64_t value()
    {
        std::lock_guard<std::mutex> lock(mutex_);
        return count_;
    }
    bool waitFor(uint64_t target, std::chrono::milliseconds limit)
    {
        std::unique_lock<std::mutex> lock(mutex_);
        return condition_.wait_for(lock, limit, [&] { return count_ >= target; });
    }

    std::atomic<unsigned> corrupt{0};

private:
    std::mutex mutex_;
    std::condition_variable condition_; // signals count_ growing
    uint64_t count_ = 0;                // guarded by mutex_
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
    if (!error)
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "stop_recording: " << error->message;
}

// One frame of the recording: the callback's next delivery, or a grab whose frame number it gives.
inline ::testing::AssertionResult takeFrame(UcaCamera *camera, Mode mode, DeliveryCounter &counter,
                                            std::optional<uint32_t> *number = nullptr)
{
    if (mode == Mode::Asynchronous)
        return counter.waitFor(counter.value() + 1, grabBound)
                   ? ::testing::AssertionSuccess()
                   : ::testing::AssertionFailure() << "no frame";
    std::vector<uint16_t> pixels(size_t{sensorSide} * sensorSide);
    GError *error = nullptr;
    const gboolean grabbed = uca_camera_grab(camera, pixels.data(), &error);
    const ErrorPtr owned(error);
    if (!grabbed)
        return ::testing::AssertionFailure() << "grab: " << (error ? error->message : "no error");
    const std::optional<uint32_t> found = frameNumberOf(pixels.data(), wholeFrame);
    if (number)
        *number = found;
    return found ? ::testing::AssertionSuccess()
                 : ::testing::AssertionFailure() << "the pixels are no frame";
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
        GError *error = nullptr;
        CameraPtr camera = createCamera(&error);
        const ErrorPtr owned(error);
        EXPECT_TRUE(camera) << (error ? error->message : "no error");
        if (camera)
            g_object_set(camera.get(), "exposure-time", 0.0001, nullptr);
        return camera;
    }
};

} // namespace TessaraVoltTest
