// SPDX-License-Identifier: LGPL-2.1-or-later
// name=value settings, as uca-record and other tools take them from their command line, applied
// to the tessaravolt camera by libuca's parser. The input is the settings, one a line. What a
// recording makes of any values set, the sequence target tries.
#include "fuzz-support.h"

#include <algorithm>
#include <string>

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    TessaraVoltFuzz::prepareProcess(argc, argv, true);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    using namespace TessaraVoltFuzz;
    xisl_sim_reset();
    const XislSimSensor sensor{1, 14, 14, 1, 40, 24};
    xisl_sim_set_sensors(&sensor, 1);
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
    camera.reset();
    checkSimulatorRules();
    return 0;
}
