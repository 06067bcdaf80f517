/* SPDX-License-Identifier: LGPL-2.1-or-later */
// Shared set-up of the stress and fault tests: a camera made through libuca's plug-in manager on
// the simulated detector, the driver's log captured, bounded waits, and counts scaled down under
// the sanitizers (ThreadSanitizer runs 5 to 15 times slower).
#pragma once

#include <gtest/gtest.h>

#include "camera-support.h"

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
#define STRESS_THREAD_SANITIZER 1
#elif __has_feature(address_sanitizer)
#define STRESS_ADDRESS_SANITIZER 1
#endif
#elif defined(__SANITIZE_THREAD__)
#define STRESS_THREAD_SANITIZER 1
#elif defined(__SANITIZE_ADDRESS__)
#define STRESS_ADDRESS_SANITIZER 1
#endif

namespace TessaraVoltTest {

#if defined(STRESS_THREAD_SANITIZER)
constexpr unsigned sanitizerSlowdown = 10;
constexpr const char *buildKind = "ThreadSanitizer";
#elif defined(STRESS_ADDRESS_SANITIZER)
constexpr unsigned sanitizerSlowdown = 4;
constexpr const char *buildKind = "AddressSanitizer";
#else
constexpr unsigned sanitizerSlowdown = 1;
constexpr const char *buildKind = "plain";
#endif

// The number of repetitions a test runs in this build; printed so that a log shows what ran.
inline unsigned scaledCount(const char *what, unsigned plainCount)
{
    const unsigned count = plainCount / sanitizerSlowdown > 0 ? plainCount / sanitizerSlowdown : 1;
    std::printf("[ stress   ] %s: %u (%s build)\n", what, count, buildKind);
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

// Counts deliveries of the asynchronous callback and lets a thread wait for a number of them.
class DeliveryCounter {
public:
    void add()
    {
        {
            std::lock_guard<std::mutex> lock(mutex);
            count++;
        }
        condition.notify_all();
    }
    uint64_t value()
    {
        std::lock_guard<std::mutex> lock(mutex);
        return count;
    }
    bool waitFor(uint64_t target, std::chrono::milliseconds limit)
    {
        std::unique_lock<std::mutex> lock(mutex);
        return condition.wait_for(lock, limit, [&] { return count >= target; });
    }

private:
    std::mutex mutex;
    std::condition_variable condition; // signals count growing
    uint64_t count = 0;                // guarded by mutex
};

inline void countDelivery(gpointer, gpointer counter)
{
    static_cast<DeliveryCounter *>(counter)->add();
}

enum class Mode { Asynchronous, Continuous, SingleFrame };

inline const char *modeName(Mode mode)
{
    switch (mode) {
    case Mode::Asynchronous:
        return "Asynchronous";
    case Mode::Continuous:
        return "Continuous";
    case Mode::SingleFrame:
        break;
    }
    return "SingleFrame";
}

inline void selectMode(UcaCamera *camera, Mode mode)
{
    g_object_set(camera, "transfer-asynchronously", gboolean{mode == Mode::Asynchronous},
                 "grab-from-continuous", gboolean{mode == Mode::Continuous}, nullptr);
}

// Small frames keep a cycle cheap; the stress lies in the number of cycles.
constexpr uint32_t sensorSide = 64;

// A fresh simulator with small, fast frames; every test starts here.
class SimulatorTest : public SimulatorFixture {
protected:
    void SetUp() override
    {
        SimulatorFixture::SetUp();
        const XislSimSensor small = {1, 14, 14, 1, sensorSide, sensorSide};
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
