/* SPDX-License-Identifier: LGPL-2.1-or-later */
// Shared set-up of the camera tests: a camera created through libuca's plug-in manager on the
// simulated detector, with the driver's log and GLib's messages captured.
#pragma once

#include <gtest/gtest.h>

#include "camera-support.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <future>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace TessaraVoltTest {

using namespace std::chrono_literals;

// Argument `index` (-1: the result's low 32 bits) of each call of `function`.
inline std::vector<uint64_t> argsOf(const char *function, int index)
{
    std::vector<uint64_t> values;
    for (const XislSimCall &call : callsOf(function))
        values.push_back(index < 0 ? call.result & 0xffffffffu : call.args[index]);
    return values;
}

// Captures GLib's errors, criticals, warnings and messages of every domain while it lives. Debug
// and info lines are left out: a default handler shows them only on request, and GIO's own
// threads log them at moments of their own (on Windows, its look-up of installed applications).
class GLibMessages {
public:
    GLibMessages() { previous = g_log_set_default_handler(&GLibMessages::handle, this); }
    ~GLibMessages() { g_log_set_default_handler(previous, nullptr); }
    GLibMessages(const GLibMessages &) = delete;
    GLibMessages &operator=(const GLibMessages &) = delete;

    std::vector<std::string> texts()
    {
        std::lock_guard<std::mutex> lock(mutex);
        return captured;
    }

private:
    static void handle(const gchar *, GLogLevelFlags level, const gchar *message, gpointer self)
    {
        if (level & (G_LOG_LEVEL_INFO | G_LOG_LEVEL_DEBUG))
            return;
        auto *messages = static_cast<GLibMessages *>(self);
        std::lock_guard<std::mutex> lock(messages->mutex);
        messages->captured.push_back(message);
    }

    GLogFunc previous;
    std::mutex mutex;
    std::vector<std::string> captured; // guarded by mutex
};

// The pixels of a grab, or its error.
struct Grabbed {
    std::vector<uint16_t> pixels;
    ErrorPtr error;
};

// The code of an error meant to be there; -1 when there is none.
inline gint codeOf(const ErrorPtr &error)
{
    return error ? error->code : -1;
}

class CameraTest : public SimulatorFixture {
protected:
    void TearDown() override
    {
        camera.reset();
        expectDetectorReleased();
    }

    void create()
    {
        GError *error = nullptr;
        camera = createCamera(&error);
        ASSERT_TRUE(camera) << (error ? error->message : "no error");
    }

    ::testing::AssertionResult start() { return startRecording(camera.get()); }

    // The error code of a start meant to fail, asked of the camera directly: libuca checks some
    // of the causes itself first.
    gint startCode()
    {
        GError *error = nullptr;
        UCA_CAMERA_GET_CLASS(camera.get())->start_recording(camera.get(), &error);
        return codeOf(ErrorPtr(error));
    }

    void stop()
    {
        GError *error = nullptr;
        uca_camera_stop_recording(camera.get(), &error);
        EXPECT_EQ(codeOf(ErrorPtr(error)), -1);
    }

    // Frames come only when a test steps them, so every frame number is known.
    void createStepped()
    {
        xisl_sim_set_manual(1);
        xisl_sim_set_readout_ns_per_pixel(0);
        create();
        g_object_set(camera.get(), "exposure-time", 0.001, nullptr);
    }

    void step(unsigned frames) { ASSERT_EQ(xisl_sim_step(acquisitionHandle(), frames, 2000), 0); }

    Grabbed grab()
    {
        const Roi region = roi();
        Grabbed grabbed{std::vector<uint16_t>(size_t{region.width} * region.height), nullptr};
        GError *error = nullptr;
        uca_camera_grab(camera.get(), grabbed.pixels.data(), &error);
        grabbed.error.reset(error);
        return grabbed;
    }

    std::future<Grabbed> grabLater()
    {
        return std::async(std::launch::async, [this] { return grab(); });
    }

    // Steps frames until the pending grab has taken one; a grab that waits is never missed.
    Grabbed grabStepped()
    {
        auto pending = grabLater();
        EXPECT_TRUE(waitUntil([&] {
            xisl_sim_step(acquisitionHandle(), 1, 1000);
            return pending.wait_for(1ms) == std::future_status::ready;
        })) << "the grab never returned";
        Grabbed grabbed = pending.get();
        EXPECT_EQ(codeOf(grabbed.error), -1) << grabbed.error->message;
        return grabbed;
    }

    // Hands each frame the callback gets to `onFrame`, on XISL's thread.
    void deliverTo(std::function<void(const uint16_t *)> onFrame)
    {
        frameCallback = std::move(onFrame);
        callbackRoi = roi();
        uca_camera_set_grab_func(
            camera.get(),
            [](gpointer data, gpointer self) {
                static_cast<CameraTest *>(self)->frameCallback(static_cast<const uint16_t *>(data));
            },
            this);
    }

    Roi roi()
    {
        guint x0 = 0, y0 = 0, width = 0, height = 0;
        g_object_get(camera.get(), "roi-x0", &x0, "roi-y0", &y0, "roi-width", &width, "roi-height",
                     &height, nullptr);
        return {x0, y0, width, height};
    }

    void setRoi(const Roi &roi)
    {
        g_object_set(camera.get(), "roi-x0", roi.x0, "roi-y0", roi.y0, "roi-width", roi.width,
                     "roi-height", roi.height, nullptr);
    }

    // The properties' values as GLib writes them (numbers as %g, enums by name, strings quoted),
    // separated by blanks; "roi" stands for the four bounds.
    std::string texts(std::initializer_list<const char *> properties)
    {
        std::string joined;
        for (const std::string property : properties) {
            if (property == "roi") {
                joined += (joined.empty() ? "" : " ") +
                          texts({"roi-x0", "roi-y0", "roi-width", "roi-height"});
                continue;
            }
            GValue value = G_VALUE_INIT;
            g_object_get_property(G_OBJECT(camera.get()), property.c_str(), &value);
            gchar *contents = g_strdup_value_contents(&value);
            joined += (joined.empty() ? "" : " ") + std::string(contents);
            g_free(contents);
            g_value_unset(&value);
        }
        return joined;
    }

    CameraPtr camera;
    std::function<void(const uint16_t *)> frameCallback; // set before the start
    Roi callbackRoi{};
};

} // namespace TessaraVoltTest
