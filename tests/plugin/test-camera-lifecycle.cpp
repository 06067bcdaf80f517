// SPDX-License-Identifier: LGPL-2.1-or-later
// Creation, type registration, the plug-in's exports and the camera's properties.
#include "camera-fixture.h"

#include <gio/gio.h>
#include <gmodule.h>

#include <algorithm>

namespace TessaraVoltTest {
namespace {

// The plug-in's type, asked through a handle closed right after: the registered type outlives
// the handle, so the plug-in must stay loaded. Through GModule, as libuca loads it, on Linux
// (dlopen) and on Windows (LoadLibrary) alike.
GType pluginType()
{
    const char *directory = g_getenv("UCA_CAMERA_PATH");
    const std::string path =
        std::string(directory ? directory : ".") + "/libucatessaravolt." G_MODULE_SUFFIX;
    GModule *plugin = g_module_open(path.c_str(), G_MODULE_BIND_LOCAL);
    gpointer symbol = nullptr;
    const bool found =
        plugin != nullptr && g_module_symbol(plugin, "camera_plugin_get_type", &symbol);
    const GType type = found ? reinterpret_cast<GType (*)()>(symbol)() : G_TYPE_INVALID;
    if (plugin != nullptr)
        g_module_close(plugin);
    return type;
}

using PropertyTest = CameraTest;

// Every failure is an error and leaves nothing open: no sensor, only an old header discovery
// skips (13), or an XISL call refused at its nth call.
TEST_F(CameraTest, FailedCreationBecomesErrorAndLeavesNothingOpen)
{
    constexpr gint notFound = UCA_CAMERA_ERROR_NOT_FOUND;
    for (const auto &[headerId, failing, nth, code, message] :
         {std::tuple{0u, "", 0u, notFound, "Unable to get next sensor"},
          {13u, "", 0u, notFound,
           "No cameras available. Check your driver and hardware installation."},
          {14u, "Acquisition_EnumSensors", 1u, 0, "Unable to enumerate sensors"},
          {14u, "Acquisition_GetNextSensor", 2u, 0, "Unable to get next sensor"},
          {14u, "Acquisition_GetHwHeaderInfo", 3u, 0, "Unable to get hardware header info"},
          {14u, "Acquisition_GetHwHeaderInfoEx", 3u, 0,
           "Unable to get extended hardware header info"}}) {
        SCOPED_TRACE(message);
        xisl_sim_reset();
        const XislSimSensor sensors[] = {sensor(64, 64, headerId, 1), sensor(64, 64, headerId, 2),
                                         sensor(64, 64, headerId, 3)};
        ASSERT_EQ(xisl_sim_set_sensors(sensors, headerId == 0 ? 0 : 3), 0);
        ASSERT_EQ(*failing ? xisl_sim_fail(failing, 5, nth) : 0, 0);
        GError *error = nullptr;
        camera = createCamera(&error);
        const ErrorPtr owned(error);
        ASSERT_TRUE(error && !camera);
        EXPECT_EQ(std::tuple(error->domain, error->code, std::string(error->message)),
                  std::tuple(UCA_CAMERA_ERROR, code, std::string(message)));
        EXPECT_EQ(counters().openHandles, 0u);
    }
}

// Defaults: an unbinned sensor reads binning 1, within the property's range. Written: the
// exposure in whole microseconds, truncated; roi-x0 stored unchecked (the start checks it); a
// gain above 5 refused by GObject.
TEST_F(PropertyTest, DefaultsAndValuesRoundTrip)
{
    create();
    EXPECT_EQ(texts({"name", "sensor-bitdepth", "sensor-pixel-width", "sensor-pixel-height",
                     "has-streaming", "has-camram-recording", "exposure-time", "gain",
                     "trigger-source", "sensor-horizontal-binning", "sensor-vertical-binning"}),
              "\"tessaravolt camera\" 16 0.000200 0.000200 TRUE FALSE 0.067000 0 "
              "((UcaCameraTriggerSource) UCA_CAMERA_TRIGGER_SOURCE_AUTO) 1 1");
    const GLibMessages refused;
    g_object_set(camera.get(), "exposure-time", 0.1234567, "gain", 3u, "roi-x0", 5000u,
                 "trigger-source", UCA_CAMERA_TRIGGER_SOURCE_EXTERNAL, nullptr);
    g_object_set(camera.get(), "gain", 6u, nullptr);
    EXPECT_EQ(texts({"exposure-time", "gain", "roi-x0", "trigger-source"}),
              "0.123456 3 5000 ((UcaCameraTriggerSource) UCA_CAMERA_TRIGGER_SOURCE_EXTERNAL)");
}

// Binning shrinks the region of interest at once and never grows it back; every write is sent.
// One whose header read fails warns and keeps the region instead of collapsing it to 0 x 0.
TEST_F(PropertyTest, BinningShrinksRoiAtOnceAndNeverGrowsItBack)
{
    create();
    g_object_set(camera.get(), "sensor-horizontal-binning", 2u, nullptr);
    EXPECT_EQ(texts({"sensor-vertical-binning", "sensor-width", "roi"}), "2 1024 0 0 512 512");
    g_object_set(camera.get(), "sensor-vertical-binning", 1u, nullptr);
    g_object_set(camera.get(), "sensor-vertical-binning", 1u, nullptr);
    EXPECT_EQ(texts({"sensor-horizontal-binning", "roi"}), "1 0 0 512 512");
    EXPECT_EQ(argsOf("Acquisition_SetCameraBinningMode", 0), (std::vector<uint64_t>{2, 1, 1}));
    ASSERT_EQ(xisl_sim_fail("Acquisition_GetHwHeaderInfo", 3, 1), 0);
    GLibMessages messages;
    g_object_set(camera.get(), "sensor-vertical-binning", 2u, nullptr);
    EXPECT_EQ(texts({"roi"}) + " " + std::to_string(messages.texts().size()), "0 0 512 512 1");
}

// A binning or timer cycle the detector refuses is not reported as the detector's: binning keeps
// the old factor and the region of interest, the frame time reads the cycle the timer runs at,
// the exposure what was asked for (and is sent again at the next start).
TEST_F(PropertyTest, RefusedSettingsReadWhatTheDetectorUses)
{
    xisl_sim_set_readout_ns_per_pixel(1000); // 1024 x 1024 pixels: 1048576 us
    create();
    ASSERT_EQ(xisl_sim_fail("Acquisition_SetCameraBinningMode", 3, 1), 0);
    g_object_set(camera.get(), "sensor-horizontal-binning", 2u, nullptr);
    ASSERT_EQ(xisl_sim_fail("Acquisition_SetTimerSync", 7, 2), 0); // the cycle, after the readout
    g_object_set(camera.get(), "exposure-time", 2.0, nullptr);
    ASSERT_TRUE(start());
    EXPECT_EQ(texts({"frame-time"}), "1.048576");
    stop();
    EXPECT_EQ(texts({"sensor-vertical-binning", "roi-width", "exposure-time"}), "1 1024 2.000000");
    ASSERT_TRUE(start());
    EXPECT_EQ(argsOf("Acquisition_SetTimerSync", 0).back(), 2000000u);
    stop();
}

// Made directly rather than through a plug-in manager, whose forwarding of construction
// properties is libuca's business, not the camera's.
TEST_F(PropertyTest, ConstructionPropertiesApplyOnceTheDetectorIsFound)
{
    GError *error = nullptr;
    camera.reset(static_cast<UcaCamera *>(
        g_initable_new(pluginType(), nullptr, &error, "exposure-time", 0.25,
                       "sensor-horizontal-binning", 2u, "roi-width", 100u, nullptr)));
    ASSERT_TRUE(camera) << error->message;
    EXPECT_EQ(texts({"exposure-time", "sensor-horizontal-binning", "roi"}),
              "0.250000 2 0 0 100 512");
}

// A camera whose initialisation never ran (a plain g_object_new) or failed has no detector:
// every property reads, libuca's frames-per-second too, trigger warns, recording is refused.
TEST_F(PropertyTest, CameraWithoutDetectorReadsDefaultsAndRefusesToRecord)
{
    ASSERT_EQ(xisl_sim_set_sensors(nullptr, 0), 0);
    for (bool initialise : {false, true}) {
        SCOPED_TRACE(initialise);
        camera.reset(static_cast<UcaCamera *>(g_object_new(pluginType(), nullptr)));
        EXPECT_FALSE(initialise && g_initable_init(G_INITABLE(camera.get()), nullptr, nullptr));
        guint count = 0;
        GParamSpec **specs =
            g_object_class_list_properties(G_OBJECT_GET_CLASS(camera.get()), &count);
        std::for_each(specs, specs + count, [&](GParamSpec *spec) { texts({spec->name}); });
        g_free(specs);
        EXPECT_EQ(texts({"exposure-time", "sensor-vertical-binning", "frames-per-second"}),
                  "0.067000 1 14.925373");
        GLibMessages messages;
        UCA_CAMERA_GET_CLASS(camera.get())->trigger(camera.get(), nullptr); // libuca asks recording
        EXPECT_EQ(messages.texts(),
                  std::vector<std::string>{"Trigger ignored: the camera has no detector"});
        EXPECT_EQ(startCode(), UCA_CAMERA_ERROR_NOT_FOUND);
    }
}

} // namespace
} // namespace TessaraVoltTest
