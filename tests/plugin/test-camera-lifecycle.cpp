// SPDX-License-Identifier: LGPL-2.1-or-later
// Creation, type registration, the plug-in's exports and the camera's properties.
#include "camera-fixture.h"

#include <dlfcn.h>
#include <elf.h>
#include <gio/gio.h>

#include <fstream>
#include <iterator>
#include <set>
#include <thread>

namespace TessaraVoltTest {
namespace {

std::string pluginPath()
{
    const char *directory = g_getenv("UCA_CAMERA_PATH");
    return std::string(directory ? directory : ".") + "/libucatessaravolt.so";
}

// The camera type as the plug-in exports it, for creating cameras without libuca's plug-in
// manager. The plug-in stays loaded: its type outlives any handle.
GType pluginCameraType()
{
    void *plugin = dlopen(pluginPath().c_str(), RTLD_NOW | RTLD_LOCAL);
    auto getType =
        plugin ? reinterpret_cast<GType (*)()>(dlsym(plugin, "camera_plugin_get_type")) : nullptr;
    return getType ? getType() : G_TYPE_INVALID;
}

XislSimSensor sensor(uint32_t promId, uint32_t headerId, uint32_t width, uint32_t height)
{
    return XislSimSensor{promId, headerId, static_cast<uint16_t>(headerId), 3, width, height};
}

using LifecycleTest = CameraTest;

TEST_F(LifecycleTest, NoDetectorGivesNotFoundError)
{
    ASSERT_EQ(xisl_sim_set_sensors(nullptr, 0), 0);
    GError *error = nullptr;
    camera = createCamera(&error);
    const ErrorPtr owned(error);

    ASSERT_FALSE(camera);
    ASSERT_TRUE(error);
    EXPECT_EQ(error->domain, UCA_CAMERA_ERROR);
    EXPECT_EQ(error->code, UCA_CAMERA_ERROR_NOT_FOUND);
    EXPECT_STREQ(error->message, "Unable to get next sensor")
        << "the cursor has no sensor to return";
}

TEST_F(LifecycleTest, SkipsOldHeadersKeepsFirstAndClosesTheRest)
{
    const XislSimSensor sensors[] = {sensor(7, 13, 2048, 2048), sensor(8, 14, 640, 480),
                                     sensor(9, 15, 320, 240)};
    ASSERT_EQ(xisl_sim_set_sensors(sensors, 3), 0);
    create();

    EXPECT_EQ(counters().openHandles, 1u) << "only the kept detector stays open";
    const auto lines = detectorLog().lines();
    EXPECT_EQ(countLines(lines, spdlog::level::info, "Found 3 sensors"), 1u);
    EXPECT_EQ(countLines(lines, spdlog::level::info, "Camera: PROM 7, header 13"), 1u);
    EXPECT_EQ(countLines(lines, spdlog::level::info, "Camera (extended): header 13, type 3"), 0u);
    EXPECT_EQ(countLines(lines, spdlog::level::info, "Camera (extended): header 14, type 3"), 1u);
    EXPECT_EQ(countLines(lines, spdlog::level::info, "Camera (extended): header 15, type 3"), 1u);

    guint sensorWidth = 0, sensorHeight = 0;
    gboolean grabFromContinuous = FALSE;
    g_object_get(camera.get(), "sensor-width", &sensorWidth, "sensor-height", &sensorHeight,
                 "grab-from-continuous", &grabFromContinuous, nullptr);
    EXPECT_EQ(sensorWidth, 640u);
    EXPECT_EQ(sensorHeight, 480u);
    EXPECT_TRUE(grabFromContinuous);
    const Roi initial = roi();
    EXPECT_EQ(initial.x0, 0u);
    EXPECT_EQ(initial.y0, 0u);
    EXPECT_EQ(initial.width, 640u);
    EXPECT_EQ(initial.height, 480u);
}

TEST_F(LifecycleTest, OnlyOldHeadersGiveNoCamerasAvailable)
{
    const XislSimSensor sensors[] = {sensor(7, 13, 64, 64)};
    ASSERT_EQ(xisl_sim_set_sensors(sensors, 1), 0);
    GError *error = nullptr;
    camera = createCamera(&error);
    const ErrorPtr owned(error);

    ASSERT_TRUE(error);
    EXPECT_EQ(error->code, UCA_CAMERA_ERROR_NOT_FOUND);
    EXPECT_STREQ(error->message,
                 "No cameras available. Check your driver and hardware installation.");
}

struct DiscoveryFault {
    const char *function;
    unsigned nth;
    const char *message;
};

void PrintTo(const DiscoveryFault &fault, std::ostream *out)
{
    *out << fault.function << " fails, call " << fault.nth;
}

class DiscoveryFaultTest : public CameraTest,
                           public ::testing::WithParamInterface<DiscoveryFault> {};

TEST_P(DiscoveryFaultTest, BecomesErrorAndLeavesNothingOpen)
{
    const XislSimSensor sensors[] = {sensor(1, 14, 64, 64), sensor(2, 14, 64, 64),
                                     sensor(3, 14, 64, 64)};
    ASSERT_EQ(xisl_sim_set_sensors(sensors, 3), 0);
    ASSERT_EQ(xisl_sim_fail(GetParam().function, 5, GetParam().nth), 0);
    GError *error = nullptr;
    camera = createCamera(&error);
    const ErrorPtr owned(error);

    ASSERT_FALSE(camera);
    ASSERT_TRUE(error);
    EXPECT_EQ(error->domain, UCA_CAMERA_ERROR);
    EXPECT_EQ(error->code, 0);
    EXPECT_STREQ(error->message, GetParam().message);
    EXPECT_EQ(countLines(detectorLog().lines(), spdlog::level::err, GetParam().message), 1u);
    EXPECT_EQ(counters().openHandles, 0u);
}

INSTANTIATE_TEST_SUITE_P(
    EachDiscoveryCall, DiscoveryFaultTest,
    ::testing::Values(DiscoveryFault{"Acquisition_EnumSensors", 1, "Unable to enumerate sensors"},
                      DiscoveryFault{"Acquisition_GetNextSensor", 2, "Unable to get next sensor"},
                      DiscoveryFault{"Acquisition_GetHwHeaderInfo", 3,
                                     "Unable to get hardware header info"},
                      DiscoveryFault{"Acquisition_GetHwHeaderInfoEx", 3,
                                     "Unable to get extended hardware header info"}),
    [](const ::testing::TestParamInfo<DiscoveryFault> &fault) {
        return std::string(fault.param.function).substr(std::strlen("Acquisition_"));
    });

TEST_F(LifecycleTest, TypeRegisteredOnceWhenTwoThreadsAskAtOnce)
{
    void *plugin = dlopen(pluginPath().c_str(), RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(plugin, nullptr) << dlerror();
    auto getType = reinterpret_cast<GType (*)()>(dlsym(plugin, "camera_plugin_get_type"));
    ASSERT_NE(getType, nullptr);

    std::promise<void> go;
    std::shared_future<void> ready = go.get_future().share();
    auto ask = [&] {
        ready.wait();
        return getType();
    };
    auto first = std::async(std::launch::async, ask);
    auto second = std::async(std::launch::async, ask);
    go.set_value();
    const GType type = first.get();

    EXPECT_EQ(second.get(), type);
    EXPECT_EQ(getType(), type);
    EXPECT_STREQ(g_type_name(type), "UcaTessaraVoltCamera");
    EXPECT_EQ(g_type_parent(type), UCA_TYPE_CAMERA);
    EXPECT_TRUE(g_type_is_a(type, G_TYPE_INITABLE));
    EXPECT_FALSE(G_TYPE_IS_ABSTRACT(type));

    dlclose(plugin); // the registered type outlives this handle, so the code must stay loaded
    create();
}

// Names of the defined, global symbols in the library's dynamic symbol table.
std::set<std::string> exportedSymbols(const std::string &path)
{
    std::ifstream file(path, std::ios::binary);
    const std::string image((std::istreambuf_iterator<char>(file)),
                            std::istreambuf_iterator<char>());
    const auto *header = reinterpret_cast<const Elf64_Ehdr *>(image.data());
    const auto *sections = reinterpret_cast<const Elf64_Shdr *>(image.data() + header->e_shoff);
    std::set<std::string> names;
    for (unsigned i = 0; i < header->e_shnum; i++) {
        if (sections[i].sh_type != SHT_DYNSYM)
            continue;
        const char *strings = image.data() + sections[sections[i].sh_link].sh_offset;
        const auto *symbols =
            reinterpret_cast<const Elf64_Sym *>(image.data() + sections[i].sh_offset);
        for (size_t s = 0; s < sections[i].sh_size / sizeof(Elf64_Sym); s++)
            if (symbols[s].st_shndx != SHN_UNDEF && ELF64_ST_BIND(symbols[s].st_info) != STB_LOCAL)
                names.insert(strings + symbols[s].st_name);
    }
    return names;
}

TEST(CameraPlugin, ExportsOnlyTheTypeFunction)
{
    EXPECT_EQ(exportedSymbols(pluginPath()), std::set<std::string>{"camera_plugin_get_type"});
}

using PropertyTest = CameraTest;

TEST_F(PropertyTest, ConstantsAndDefaults)
{
    create();
    gchar *name = nullptr;
    guint bitdepth = 0, gain = 99, horizontal = 0, vertical = 0;
    gdouble pixelWidth = 0, pixelHeight = 0, exposure = 0;
    gboolean streaming = FALSE, camram = TRUE;
    gint source = -1;
    g_object_get(camera.get(), "name", &name, "sensor-bitdepth", &bitdepth, "sensor-pixel-width",
                 &pixelWidth, "sensor-pixel-height", &pixelHeight, "has-streaming", &streaming,
                 "has-camram-recording", &camram, "exposure-time", &exposure, "gain", &gain,
                 "trigger-source", &source, "sensor-horizontal-binning", &horizontal,
                 "sensor-vertical-binning", &vertical, nullptr);

    EXPECT_STREQ(name, "tessaravolt camera");
    g_free(name);
    EXPECT_EQ(bitdepth, 16u);
    EXPECT_DOUBLE_EQ(pixelWidth, 0.0002);
    EXPECT_DOUBLE_EQ(pixelHeight, 0.0002);
    EXPECT_TRUE(streaming);
    EXPECT_FALSE(camram);
    EXPECT_DOUBLE_EQ(exposure, 0.067);
    EXPECT_EQ(gain, 0u);
    EXPECT_EQ(source, UCA_CAMERA_TRIGGER_SOURCE_AUTO);
    EXPECT_EQ(horizontal, 1u) << "an unbinned sensor reads 1, within the property's range";
    EXPECT_EQ(vertical, 1u);
}

TEST_F(PropertyTest, BinningShrinksRoiAtOnceAndNeverGrowsItBack)
{
    create();
    g_object_set(camera.get(), "sensor-horizontal-binning", 2u, nullptr);

    guint vertical = 0, sensorWidth = 0;
    g_object_get(camera.get(), "sensor-vertical-binning", &vertical, "sensor-width", &sensorWidth,
                 nullptr);
    EXPECT_EQ(vertical, 2u);
    EXPECT_EQ(sensorWidth, 1024u);
    EXPECT_EQ(roi().width, 512u);
    EXPECT_EQ(roi().height, 512u);

    g_object_set(camera.get(), "sensor-vertical-binning", 1u, nullptr);
    guint horizontal = 0;
    g_object_get(camera.get(), "sensor-horizontal-binning", &horizontal, nullptr);
    EXPECT_EQ(horizontal, 1u);
    EXPECT_EQ(roi().width, 512u);
    EXPECT_EQ(roi().height, 512u);

    g_object_set(camera.get(), "sensor-vertical-binning", 1u, nullptr); // unchanged, still sent
    const auto calls = callsOf("Acquisition_SetCameraBinningMode");
    ASSERT_EQ(calls.size(), 3u);
    EXPECT_EQ(calls[0].args[0], 2u);
    EXPECT_EQ(calls[1].args[0], 1u);
    EXPECT_EQ(calls[2].args[0], 1u);
    const auto lines = detectorLog().lines();
    EXPECT_EQ(countLines(lines, spdlog::level::info, "Set detector binning mode: 2"), 1u);
    EXPECT_EQ(countLines(lines, spdlog::level::info, "Set detector binning mode: 1"), 2u);
}

// A binning or timer cycle the detector refuses is not reported as the detector's: binning keeps
// the old factor and the region of interest, the exposure reads the cycle the timer runs at.
TEST_F(PropertyTest, RefusedSettingsReadWhatTheDetectorUses)
{
    xisl_sim_set_readout_ns_per_pixel(1000); // 1024 x 1024 pixels: 1048576 us
    create();
    ASSERT_EQ(xisl_sim_fail("Acquisition_SetCameraBinningMode", 3, 1), 0);
    g_object_set(camera.get(), "sensor-horizontal-binning", 2u, nullptr);
    guint binning = 0;
    g_object_get(camera.get(), "sensor-vertical-binning", &binning, nullptr);
    EXPECT_EQ(binning, 1u);
    EXPECT_EQ(roi().width, 1024u);

    ASSERT_EQ(xisl_sim_fail("Acquisition_SetTimerSync", 7, 2), 0); // the cycle, after the readout
    g_object_set(camera.get(), "exposure-time", 2.0, nullptr);
    ASSERT_TRUE(start());
    stop();
    gdouble exposure = 0;
    g_object_get(camera.get(), "exposure-time", &exposure, nullptr);
    EXPECT_DOUBLE_EQ(exposure, 1.048576) << "the timer kept the readout's cycle";
    const std::vector<LogLine> lines = detectorLog().lines();
    EXPECT_EQ(countLines(lines, spdlog::level::warn,
                         "Binning mode 2 refused (status 3); the detector keeps binning 1"),
              1u);
    EXPECT_EQ(countLines(lines, spdlog::level::warn,
                         "Timer cycle of 2000000 us refused; the timer runs at 1048576 us"),
              1u);
}

TEST_F(PropertyTest, ValuesRoundTrip)
{
    create();
    for (gint source : {UCA_CAMERA_TRIGGER_SOURCE_SOFTWARE, UCA_CAMERA_TRIGGER_SOURCE_EXTERNAL,
                        UCA_CAMERA_TRIGGER_SOURCE_AUTO}) {
        gint read = -1;
        g_object_set(camera.get(), "trigger-source", source, nullptr);
        g_object_get(camera.get(), "trigger-source", &read, nullptr);
        EXPECT_EQ(read, source);
    }

    gdouble exposure = 0;
    g_object_set(camera.get(), "exposure-time", 0.1234567, nullptr);
    g_object_get(camera.get(), "exposure-time", &exposure, nullptr);
    EXPECT_DOUBLE_EQ(exposure, 0.123456) << "whole microseconds, truncated";

    guint gain = 0;
    g_object_set(camera.get(), "gain", 3u, "roi-x0", 5000u, "grab-from-continuous", FALSE, nullptr);
    gboolean grabFromContinuous = TRUE;
    g_object_get(camera.get(), "gain", &gain, "grab-from-continuous", &grabFromContinuous, nullptr);
    EXPECT_EQ(gain, 3u);
    EXPECT_FALSE(grabFromContinuous);
    EXPECT_EQ(roi().x0, 5000u) << "stored unchecked; start of recording checks it";

    GLibMessages messages;
    g_object_set(camera.get(), "gain", 6u, nullptr);
    g_object_get(camera.get(), "gain", &gain, nullptr);
    EXPECT_EQ(gain, 3u) << "GObject refuses a gain above 5";
    EXPECT_EQ(messages.lines().size(), 1u);
}

// Made directly rather than through a plug-in manager, whose forwarding of construction
// properties is libuca's business, not the camera's.
TEST_F(PropertyTest, ConstructionPropertiesApplyOnceTheDetectorIsFound)
{
    const GType type = pluginCameraType();
    ASSERT_NE(type, G_TYPE_INVALID);
    GError *error = nullptr;
    camera.reset(static_cast<UcaCamera *>(g_initable_new(type, nullptr, &error, "exposure-time",
                                                         0.25, "sensor-horizontal-binning", 2u,
                                                         "roi-width", 100u, nullptr)));
    ASSERT_TRUE(camera) << error->message;

    gdouble exposure = 0;
    guint binning = 0;
    g_object_get(camera.get(), "exposure-time", &exposure, "sensor-horizontal-binning", &binning,
                 nullptr);
    EXPECT_DOUBLE_EQ(exposure, 0.25);
    EXPECT_EQ(binning, 2u);
    EXPECT_EQ(roi().width, 100u);
    EXPECT_EQ(roi().height, 512u);
}

// A camera whose initialisation never ran (a plain g_object_new) or failed has no detector:
// listings and libuca's own frames-per-second read give the defaults, trigger warns, recording
// is refused, and nothing crashes.
TEST_F(PropertyTest, CameraWithoutDetectorReadsDefaultsAndRefusesToRecord)
{
    const GType type = pluginCameraType();
    ASSERT_NE(type, G_TYPE_INVALID);
    for (bool initialise : {false, true}) {
        SCOPED_TRACE(initialise ? "initialisation failed" : "never initialised");
        ASSERT_EQ(xisl_sim_set_sensors(nullptr, 0), 0);
        camera.reset(static_cast<UcaCamera *>(g_object_new(type, nullptr)));
        if (initialise) {
            GError *error = nullptr;
            EXPECT_FALSE(g_initable_init(G_INITABLE(camera.get()), nullptr, &error));
            g_clear_error(&error);
        }

        guint count = 0;
        GParamSpec **specs =
            g_object_class_list_properties(G_OBJECT_GET_CLASS(camera.get()), &count);
        for (guint i = 0; i < count; i++) {
            if (!(specs[i]->flags & G_PARAM_READABLE))
                continue;
            GValue value = G_VALUE_INIT;
            g_value_init(&value, specs[i]->value_type);
            g_object_get_property(G_OBJECT(camera.get()), specs[i]->name, &value);
            g_value_unset(&value);
        }
        g_free(specs);
        gdouble exposure = 0, fps = 0;
        guint binning = 0;
        g_object_get(camera.get(), "exposure-time", &exposure, "frames-per-second", &fps,
                     "sensor-vertical-binning", &binning, nullptr);
        EXPECT_DOUBLE_EQ(exposure, 0.067);
        EXPECT_DOUBLE_EQ(fps, 1 / 0.067);
        EXPECT_EQ(binning, 1u);

        GLibMessages messages;
        UCA_CAMERA_GET_CLASS(camera.get())->trigger(camera.get(), nullptr); // libuca asks recording
        const std::vector<LogLine> lines = messages.lines();
        ASSERT_EQ(lines.size(), 1u);
        EXPECT_EQ(lines[0].text, "Trigger ignored: the camera has no detector");
        EXPECT_EQ(lines[0].level, G_LOG_LEVEL_WARNING);

        const ErrorPtr refused = startError();
        ASSERT_TRUE(refused);
        EXPECT_EQ(refused->code, UCA_CAMERA_ERROR_NOT_FOUND);
        GError *error = nullptr;
        std::vector<uint16_t> pixels(16);
        EXPECT_FALSE(uca_camera_grab(camera.get(), pixels.data(), &error));
        ASSERT_TRUE(error);
        EXPECT_EQ(error->code, UCA_CAMERA_ERROR_NOT_RECORDING);
        g_clear_error(&error);
        camera.reset();
        xisl_sim_reset();
    }
}

// A binning write whose header read fails keeps the region of interest instead of collapsing it
// to 0 x 0; a start whose frame size cannot be read is refused instead of delivering nothing.
TEST_F(PropertyTest, FailedHeaderReadNeitherEmptiesTheRoiNorStartsAnEmptyRecording)
{
    create();
    ASSERT_EQ(xisl_sim_fail("Acquisition_GetHwHeaderInfo", 3, 1), 0);
    GLibMessages messages;
    g_object_set(camera.get(), "sensor-horizontal-binning", 2u, nullptr);
    EXPECT_EQ(roi().width, 1024u);
    EXPECT_EQ(roi().height, 1024u);
    ASSERT_EQ(messages.lines().size(), 1u);
    EXPECT_EQ(messages.lines()[0].level, G_LOG_LEVEL_WARNING);

    g_object_set(camera.get(), "transfer-asynchronously", FALSE, nullptr);
    ASSERT_EQ(xisl_sim_fail("Acquisition_GetHwHeaderInfo", 3, 0), 0);
    for (gboolean fromContinuous : {gboolean{TRUE}, gboolean{FALSE}}) {
        g_object_set(camera.get(), "grab-from-continuous", fromContinuous, nullptr);
        const ErrorPtr refused = startError();
        ASSERT_TRUE(refused);
        EXPECT_EQ(refused->code, UCA_CAMERA_ERROR_DEVICE);
        gboolean recording = TRUE;
        g_object_get(camera.get(), "is-recording", &recording, nullptr);
        EXPECT_FALSE(recording);
    }
    EXPECT_TRUE(callsOf("Acquisition_Acquire_Image").empty());
}

} // namespace
} // namespace TessaraVoltTest
