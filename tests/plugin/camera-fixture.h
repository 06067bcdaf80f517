// Shared set-up of the camera tests: a camera created through libuca's plug-in manager on the
// simulated detector, with the driver's log and GLib's messages captured.
#pragma once

#include <gtest/gtest.h>

#include "camera-support.h"

#include <chrono>
#include <cstdint>
#include <cstring>
#include <future>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace camera_test {

using namespace camera_support;

inline size_t countLines(const std::vector<LogLine> &lines, int level, const std::string &text)
{
    size_t count = 0;
    for (const LogLine &line : lines)
        count += line.level == level && line.text == text;
    return count;
}

// Captures GLib messages of every domain while it lives.
class GLibMessages {
public:
    GLibMessages() { previous = g_log_set_default_handler(&GLibMessages::handle, this); }
    ~GLibMessages() { g_log_set_default_handler(previous, nullptr); }
    GLibMessages(const GLibMessages &) = delete;
    GLibMessages &operator=(const GLibMessages &) = delete;

    std::vector<LogLine> lines()
    {
        std::lock_guard<std::mutex> lock(mutex);
        return captured;
    }

private:
    static void handle(const gchar *, GLogLevelFlags level, const gchar *message, gpointer self)
    {
        auto *messages = static_cast<GLibMessages *>(self);
        std::lock_guard<std::mutex> lock(messages->mutex);
        messages->captured.push_back({level & G_LOG_LEVEL_MASK, message});
    }

    GLogFunc previous;
    std::mutex mutex;
    std::vector<LogLine> captured; // guarded by mutex
};

// The frame number whose region of interest `pixels` holds exactly, or 0 when it matches none.
inline uint32_t frameNumberOf(const std::vector<uint16_t> &pixels, const Roi &roi)
{
    const uint16_t offset = static_cast<uint16_t>(pixels.at(0) - patternPixel(roi.x0, roi.y0, 0));
    if (offset % 17 != 0)
        return 0;
    const uint32_t n = offset / 17;
    for (uint32_t row = 0; row < roi.height; row++)
        for (uint32_t column = 0; column < roi.width; column++)
            if (pixels[size_t{row} * roi.width + column] !=
                patternPixel(roi.x0 + column, roi.y0 + row, n))
                return 0;
    return n;
}

class CameraTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        detectorLog();
        xisl_sim_reset();
        detectorLog().clear();
    }

    void TearDown() override
    {
        camera.reset();
        const XislSimCounters counters = simulatorCounters();
        EXPECT_EQ(counters.openHandles, 0u) << "the camera leaves no detector open";
        EXPECT_EQ(counters.callsOnClosedHandles, 0u);
        EXPECT_EQ(counters.callbacksAfterClose, 0u);
        EXPECT_EQ(counters.overlappingCallbacks, 0u);
    }

    void create()
    {
        GError *error = nullptr;
        camera = createCamera(&error);
        ASSERT_TRUE(camera) << (error ? error->message : "no error");
    }

    // The detector's acquisition descriptor, as the driver's set-up registered it.
    static HACQDESC acquisitionHandle()
    {
        const auto calls = simulatorCalls("Acquisition_DefineDestBuffers");
        return calls.empty() ? nullptr : calls.back().handle;
    }

    ErrorPtr start()
    {
        GError *error = nullptr;
        uca_camera_start_recording(camera.get(), &error);
        return ErrorPtr(error);
    }

    void stop()
    {
        GError *error = nullptr;
        uca_camera_stop_recording(camera.get(), &error);
        EXPECT_EQ(error, nullptr);
        g_clear_error(&error);
    }

    Roi roi()
    {
        guint x0 = 0, y0 = 0, width = 0, height = 0;
        g_object_get(camera.get(), "roi-x0", &x0, "roi-y0", &y0, "roi-width", &width, "roi-height",
                     &height, nullptr);
        return {x0, y0, width, height};
    }

    CameraPtr camera;
};

} // namespace camera_test
