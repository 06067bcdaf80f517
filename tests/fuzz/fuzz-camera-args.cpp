// SPDX-License-Identifier: LGPL-2.1-or-later
// name=value settings, as uca-record and other tools take them from their command line, applied
// to the tessaravolt camera by libuca's parser; then one recording with what the camera made of
// them. The input is the settings, one a line.
#include "fuzz-support.h"
#include "sim-pattern.h"

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

namespace TessaraVoltFuzz {
namespace {

using TessaraVoltTest::frameNumberOf;

constexpr size_t mostSettings = 16;
// Not square, so that a swapped width and height shows.
constexpr uint32_t sensorWidth = 40;
constexpr uint32_t sensorHeight = 24;

std::vector<std::string> settingsOf(const uint8_t *data, size_t size)
{
    std::vector<std::string> settings;
    const char *text = reinterpret_cast<const char *>(data);
    size_t begin = 0;
    for (size_t i = 0; i <= size && settings.size() < mostSettings; i++) {
        if (i == size || text[i] == '\n' || text[i] == '\0') {
            settings.emplace_back(text + begin, i - begin);
            begin = i + 1;
        }
    }
    return settings;
}

// The first frame that reaches libuca's grab callback: it must be the region of a whole frame.
struct FirstDelivery {
    Roi roi{};
    std::mutex mutex;
    std::condition_variable arrived; // signals `delivered`
    bool delivered = false;          // guarded by mutex
};

void receive(gpointer pixels, gpointer user_data)
{
    auto *first = static_cast<FirstDelivery *>(user_data);
    std::lock_guard<std::mutex> lock(first->mutex);
    if (first->delivered)
        return;
    FUZZ_CHECK(frameNumberOf(static_cast<const uint16_t *>(pixels), first->roi),
               "the grab callback got no whole frame of the region %ux%u at (%u, %u)",
               first->roi.width, first->roi.height, first->roi.x0, first->roi.y0);
    first->delivered = true;
    first->arrived.notify_all();
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
            FUZZ_CHECK(frameNumberOf(pixels.data(), first.roi),
                       "a grab returned no whole frame of the region %ux%u at (%u, %u)",
                       first.roi.width, first.roi.height, first.roi.x0, first.roi.y0);
        g_clear_error(&error);
    }
    uca_camera_stop_recording(camera, &error);
    FUZZ_CHECK(!error, "stop failed: %s", error->message);
}

} // namespace
} // namespace TessaraVoltFuzz

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    TessaraVoltFuzz::prepareProcess(argc, argv);
    TessaraVoltFuzz::preloadCamera();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    using namespace TessaraVoltFuzz;
    xisl_sim_reset();
    const XislSimSensor sensor{1, 14, 14, 1, sensorWidth, sensorHeight};
    xisl_sim_set_sensors(&sensor, 1);
    xisl_sim_set_readout_ns_per_pixel(0);

    GError *error = nullptr;
    CameraPtr camera = createCamera(&error);
    FUZZ_CHECK(camera, "no camera: %s", error ? error->message : "no error");

    std::vector<std::string> settings = settingsOf(data, size);
    std::vector<gchar *> arguments;
    for (std::string &setting : settings)
        arguments.push_back(setting.data());
    const gboolean applied = uca_camera_parse_arg_props(
        camera.get(), arguments.data(), static_cast<guint>(arguments.size()), &error);
    FUZZ_CHECK(applied == (error == nullptr), "the parser returned %s %s an error",
               applied ? "TRUE" : "FALSE", error ? "with" : "without");
    g_clear_error(&error);

    checkPropertiesReadable(camera.get());
    keepWaitsShort(camera.get());
    recordOnce(camera.get());
    camera.reset();
    checkSimulatorRules();
    return 0;
}
