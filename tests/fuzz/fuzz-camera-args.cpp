// SPDX-License-Identifier: LGPL-2.1-or-later
// name=value settings, as uca-record and other tools take them from their command line, applied
// to the tessaravolt camera by libuca's parser; then one recording with what the camera made of
// them. The input is the settings, one a line.
#include "fuzz-support.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

namespace TessaraVoltFuzz {
namespace {

// The frames that reach libuca's grab callback must each be the region of a whole frame.
struct Delivery {
    Roi roi{};
    std::mutex mutex;
    std::condition_variable arrived; // signals `delivered`
    bool delivered = false;          // guarded by mutex
};

void receive(gpointer pixels, gpointer user_data)
{
    auto *delivery = static_cast<Delivery *>(user_data);
    checkRegion(static_cast<const uint16_t *>(pixels), delivery->roi);
    std::lock_guard<std::mutex> lock(delivery->mutex);
    delivery->delivered = true;
    delivery->arrived.notify_all();
}

// Start, one frame, stop. A refused start is a sound answer to bad settings; a frame that
// arrives must be exactly the region of interest, and a stop must succeed.
void recordOnce(UcaCamera *camera)
{
    // Only the settings that make a run slow or big are lowered, to a few milliseconds and frames.
    gdouble exposure = 0, frameTimeout = 0;
    guint buffers = 0;
    g_object_get(camera, "exposure-time", &exposure, "frame-timeout", &frameTimeout, "num-buffers",
                 &buffers, nullptr);
    g_object_set(camera, "exposure-time", std::min(exposure, 0.002), "frame-timeout",
                 std::min(frameTimeout, 0.02), "num-buffers", std::min(buffers, 16u), nullptr);
    Delivery delivery;
    delivery.roi = roiOf(camera);
    uca_camera_set_grab_func(camera, receive, &delivery);
    GError *error = nullptr;
    uca_camera_start_recording(camera, &error);
    if (error) {
        g_error_free(error);
        return;
    }
    gboolean asynchronous = FALSE;
    g_object_get(camera, "transfer-asynchronously", &asynchronous, nullptr);
    if (asynchronous) {
        // Whatever the trigger source, one of these makes a frame.
        uca_camera_trigger(camera, nullptr);
        xisl_sim_pulse(detectorHandle());
        // Bounded: on a loaded machine the frame may come late; its absence is no fault here.
        std::unique_lock<std::mutex> lock(delivery.mutex);
        delivery.arrived.wait_for(lock, std::chrono::seconds(1),
                                  [&] { return delivery.delivered; });
    } else {
        std::vector<uint16_t> pixels(size_t{delivery.roi.width} * delivery.roi.height);
        if (uca_camera_grab(camera, pixels.data(), &error))
            checkRegion(pixels.data(), delivery.roi);
        g_clear_error(&error);
    }
    uca_camera_stop_recording(camera, &error);
    FUZZ_CHECK(!error, "stop failed: %s", error->message);
}

} // namespace
} // namespace TessaraVoltFuzz

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    TessaraVoltFuzz::prepareProcess(argc, argv, true);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    using namespace TessaraVoltFuzz;
    xisl_sim_reset();
    // Not square, so that a swapped width and height shows.
    const XislSimSensor sensor{1, 14, 14, 1, 40, 24};
    xisl_sim_set_sensors(&sensor, 1);
    xisl_sim_set_readout_ns_per_pixel(0);
    GError *error = nullptr;
    CameraPtr camera = createCamera(&error);
    FUZZ_CHECK(camera, "no camera: %s", error ? error->message : "no error");

    // At most 16 settings, one a line or up to a NUL.
    std::string text(reinterpret_cast<const char *>(data), size);
    std::replace(text.begin(), text.end(), '\0', '\n');
    gchar **settings = g_strsplit(text.c_str(), "\n", 16);
    const gboolean applied =
        uca_camera_parse_arg_props(camera.get(), settings, g_strv_length(settings), &error);
    FUZZ_CHECK(applied == (error == nullptr), "the parser returned %d, error %p", applied,
               static_cast<void *>(error));
    g_clear_error(&error);
    g_strfreev(settings);

    checkPropertiesReadable(camera.get());
    recordOnce(camera.get());
    camera.reset();
    checkSimulatorRules();
    return 0;
}
