// SPDX-License-Identifier: LGPL-2.1-or-later
// name=value settings, as uca-record and other tools take them from their command line, applied
// to the tessaravolt camera by libuca's parser; then one recording with what the camera made of
// them. The input is the settings, one a line.
#include "fuzz-support.h"
#include "sim-pattern.h"

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

namespace TessaraVoltFuzz {
namespace {

using TessaraVoltTest::frameNumberOf;

// The first frame that reaches libuca's grab callback: it must be the region of a whole frame.
struct FirstDelivery {
    Roi roi{};
    std::mutex mutex;
    std::condition_variable arrived; // signals `delivered`
    bool delivered = false;          // guarded by mutex
};

void checkFrame(const uint16_t *pixels, const Roi &roi)
{
    FUZZ_CHECK(frameNumberOf(pixels, roi), "no whole frame of the region %ux%u at (%u, %u)",
               roi.width, roi.height, roi.x0, roi.y0);
}

void receive(gpointer pixels, gpointer user_data)
{
    auto *first = static_cast<FirstDelivery *>(user_data);
    std::lock_guard<std::mutex> lock(first->mutex);
    if (!first->delivered)
        checkFrame(static_cast<const uint16_t *>(pixels), first->roi);
    first->delivered = true;
    first->arrived.notify_all();
}

// Lowers the settings that only make a run slow or big to a few milliseconds and a few frames.
void keepWaitsShort(UcaCamera *camera)
{
    gdouble exposure = 0, frameTimeout = 0;
    guint buffers = 0;
    g_object_get(camera, "exposure-time", &exposure, "frame-timeout", &frameTimeout, "num-buffers",
                 &buffers, nullptr);
    g_object_set(camera, "exposure-time", std::min(exposure, 0.002), "frame-timeout",
                 std::min(frameTimeout, 0.02), "num-buffers", std::min(buffers, 16u), nullptr);
}

// Start, one frame, stop. A refused start is a sound answer to bad settings; a frame that
// arrives must be exactly the region of interest, and a stop must succeed.
void recordOnce(UcaCamera *camera)
{
    FirstDelivery first;
    first.roi = roiOf(camera);
    uca_camera_set_grab_func(camera, receive, &first);
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
        std::unique_lock<std::mutex> lock(first.mutex);
        first.arrived.wait_for(lock, std::chrono::seconds(1), [&] { return first.delivered; });
    } else {
        std::vector<uint16_t> pixels(size_t{first.roi.width} * first.roi.height);
        if (uca_camera_grab(camera, pixels.data(), &error))
            checkFrame(pixels.data(), first.roi);
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
    const std::string text(reinterpret_cast<const char *>(data), size);
    std::vector<std::string> settings;
    for (size_t begin = 0; begin <= size && settings.size() < 16;) {
        const size_t end = std::min(text.find_first_of(std::string("\n\0", 2), begin), size);
        settings.push_back(text.substr(begin, end - begin));
        begin = end + 1;
    }
    std::vector<gchar *> arguments;
    for (std::string &setting : settings)
        arguments.push_back(setting.data());
    const gboolean applied = uca_camera_parse_arg_props(
        camera.get(), arguments.data(), static_cast<guint>(arguments.size()), &error);
    FUZZ_CHECK(applied == (error == nullptr), "the parser returned %d, error %p", applied,
               static_cast<void *>(error));
    g_clear_error(&error);

    checkPropertiesReadable(camera.get());
    keepWaitsShort(camera.get());
    recordOnce(camera.get());
    camera.reset();
    checkSimulatorRules();
    return 0;
}
