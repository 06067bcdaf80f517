// SPDX-License-Identifier: LGPL-2.1-or-later
// Creation, type registration, the plug-in's exports and the camera's properties.
#include "camera-fixture.h"

#include <dlfcn.h>
#include <elf.h>
#include <gio/gio.h>

#include <fstream>
#include <iterator>
#include <set>

namespace TessaraVoltTest {
namespace {

std::string pluginPath()
{
    const char *directory = g_getenv("UCA_CAMERA_PATH");
    return std::string(directory ? directory : ".") + "/libucatessaravolt.so";
}

// The plug-in's type function. The plug-in stays loaded: its type outlives any handle.
using GetType = GType (*)();
GetType pluginGetType()
{
    void *plugin = dlopen(pluginPath().c_str(), RTLD_NOW | RTLD_LOCAL);
    return plugin ? reinterpret_cast<GetType>(dlsym(plugin, "camera_plugin_get_type")) : nullptr;
}

using LifecycleTest = CameraTest;
using PropertyTest = CameraTest;

struct CreationFailure {
    const char *name;
    uint32_t headerId; // 0: no sensor at all; 13: an old header discovery skips
    const char *failing;
    unsigned nth;
    gint code;
    const char *message;
};

void PrintTo(const CreationFailure &c, std::ostream *out)
{
    *out << c.name;
}

class CreationFailureTest : public CameraTest,
                            public ::testing::WithParamInterface<CreationFailure> {};

// Every failure is an error, logged by the driver when XISL refused, and leaves nothing open.
TEST_P(CreationFailureTest, BecomesErrorAndLeavesNothingOpen)
{
    const CreationFailure &c = GetParam();
    const XislSimSensor sensors[] = {sensor(64, 64, c.headerId, 1), sensor(64, 64, c.headerId, 2),
                                     sensor(64, 64, c.headerId, 3)};
    ASSERT_EQ(xisl_sim_set_sensors(sensors, c.headerId == 0 ? 0 : 3), 0);
    ASSERT_EQ(c.failing ? xisl_sim_fail(c.failing, 5, c.nth) : 0, 0);
    GError *error = nullptr;
    camera = createCamera(&error);
    const ErrorPtr owned(error);

    ASSERT_FALSE(camera);
    ASSERT_TRUE(error);
    EXPECT_EQ(error->domain, UCA_CAMERA_ERROR);
    EXPECT_EQ(error->code, c.code);
    EXPECT_STREQ(error->message, c.message);
    EXPECT_EQ(c.failing ? countLines(detectorLog().lines(), spdlog::level::err, c.message) : 1, 1u);
    EXPECT_EQ(counters().openHandles, 0u);
}

INSTANTIATE_TEST_SUITE_P(
    EachCause, CreationFailureTest,
    ::testing::Values(CreationFailure{"NoSensor", 0, nullptr, 0, UCA_CAMERA_ERROR_NOT_FOUND,
                                      "Unable to get next sensor"},
                      CreationFailure{
                          "OnlyOldHeaders", 13, nullptr, 0, UCA_CAMERA_ERROR_NOT_FOUND,
                          "No cameras available. Check your driver and hardware installation."},
                      CreationFailure{"EnumSensors", 14, "Acquisition_EnumSensors", 1, 0,
                                      "Unable to enumerate sensors"},
                      CreationFailure{"GetNextSensor", 14, "Acquisition_GetNextSensor", 2, 0,
                                      "Unable to get next sensor"},
                      CreationFailure{"GetHwHeaderInfo", 14, "Acquisition_GetHwHeaderInfo", 3, 0,
                                      "Unable to get hardware header info"},
                      CreationFailure{"GetHwHeaderInfoEx", 14, "Acquisition_GetHwHeaderInfoEx", 3,
                                      0, "Unable to get extended hardware header info"}),
    [](const ::testing::TestParamInfo<CreationFailure> &c) { return std::string(c.param.name); });

TEST_F(LifecycleTest, SkipsOldHeadersKeepsFirstAndClosesTheRest)
{
    const XislSimSensor sensors[] = {sensor(2048, 2048, 13, 7), sensor(640, 480, 14, 8),
                                     sensor(320, 240, 15, 9)};
    ASSERT_EQ(xisl_sim_set_sensors(sensors, 3), 0);
    create();

    EXPECT_EQ(counters().openHandles, 1u) << "only the kept detector stays open";
    const auto lines = detectorLog().lines();
    for (const auto &[line, count] : {std::pair{"Found 3 sensors", 1u},
                                      {"Camera: PROM 7, header 13", 1u},
                                      {"Camera (extended): header 13, type 7", 0u},
                                      {"Camera (extended): header 14, type 7", 1u},
                                      {"Camera (extended): header 15, type 7", 1u}})
        EXPECT_EQ(countLines(lines, spdlog::level::info, line), count) << line;
    EXPECT_EQ(texts({"sensor-width", "sensor-height", "grab-from-continuous"}), "640 480 TRUE");
    EXPECT_EQ(roi(), (Roi{0, 0, 640, 480}));
}

TEST_F(LifecycleTest, TypeRegisteredOnceWhenTwoThreadsAskAtOnce)
{
    void *plugin = dlopen(pluginPath().c_str(), RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(plugin, nullptr) << dlerror();
    const auto getType = reinterpret_cast<GetType>(dlsym(plugin, "camera_plugin_get_type"));
    ASSERT_NE(getType, nullptr);
    std::promise<void> go;
    std::shared_future<void> ready = go.get_future().share();
    const auto ask = [&] {
        ready.wait();
        return getType();
    };
    auto first = std::async(std::launch::async, ask);
    auto second = std::async(std::launch::async, ask);
    go.set_value();
    const GType type = first.get();

    EXPECT_EQ(second.get(), type);
    EXPECT_STREQ(g_type_name(type), "UcaTessaraVoltCamera");
    EXPECT_EQ(g_type_parent(type), UCA_TYPE_CAMERA);
    EXPECT_TRUE(g_type_is_a(type, G_TYPE_INITABLE));
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

TEST_F(PropertyTest, ConstantsAndDefaults)
{
    create();
    // An unbinned sensor reads binning 1, within the property's range.
    EXPECT_EQ(texts({"name", "sensor-bitdepth", "sensor-pixel-width", "sensor-pixel-height",
                     "has-streaming", "has-camram-recording", "exposure-time", "gain",
                     "trigger-source", "sensor-horizontal-binning", "sensor-vertical-binning"}),
              "\"tessaravolt camera\" 16 0.000200 0.000200 TRUE FALSE 0.067000 0 "
              "((UcaCameraTriggerSource) UCA_CAMERA_TRIGGER_SOURCE_AUTO) 1 1");
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
    g_object_set(camera.get(), "exposure-time", 0.1234567, nullptr);
    EXPECT_EQ(text("exposure-time"), "0.123456") << "whole microseconds, truncated";
    g_object_set(camera.get(), "gain", 3u, "roi-x0", 5000u, nullptr);
    EXPECT_EQ(text("gain"), "3");
    EXPECT_EQ(roi().x0, 5000u) << "stored unchecked; start of recording checks it";
    const GLibMessages refused;
    g_object_set(camera.get(), "gain", 6u, nullptr);
    EXPECT_EQ(text("gain"), "3") << "GObject refuses a gain above 5";
}

TEST_F(PropertyTest, BinningShrinksRoiAtOnceAndNeverGrowsItBack)
{
    create();
    g_object_set(camera.get(), "sensor-horizontal-binning", 2u, nullptr);
    EXPECT_EQ(texts({"sensor-vertical-binning", "sensor-width"}), "2 1024");
    EXPECT_EQ(roi(), (Roi{0, 0, 512, 512}));

    g_object_set(camera.get(), "sensor-vertical-binning", 1u, nullptr);
    EXPECT_EQ(text("sensor-horizontal-binning"), "1");
    EXPECT_EQ(roi(), (Roi{0, 0, 512, 512}));

    g_object_set(camera.get(), "sensor-vertical-binning", 1u, nullptr); // unchanged, still sent
    std::vector<uint64_t> factors;
    for (const XislSimCall &call : callsOf("Acquisition_SetCameraBinningMode"))
        factors.push_back(call.args[0]);
    EXPECT_EQ(factors, (std::vector<uint64_t>{2, 1, 1}));
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
    EXPECT_EQ(text("sensor-vertical-binning"), "1");
    EXPECT_EQ(roi().width, 1024u);

    ASSERT_EQ(xisl_sim_fail("Acquisition_SetTimerSync", 7, 2), 0); // the cycle, after the readout
    g_object_set(camera.get(), "exposure-time", 2.0, nullptr);
    ASSERT_TRUE(start());
    stop();
    EXPECT_EQ(text("exposure-time"), "1.048576") << "the timer kept the readout's cycle";
}

// Made directly rather than through a plug-in manager, whose forwarding of construction
// properties is libuca's business, not the camera's.
TEST_F(PropertyTest, ConstructionPropertiesApplyOnceTheDetectorIsFound)
{
    const GetType getType = pluginGetType();
    ASSERT_NE(getType, nullptr);
    GError *error = nullptr;
    camera.reset(static_cast<UcaCamera *>(
        g_initable_new(getType(), nullptr, &error, "exposure-time", 0.25,
                       "sensor-horizontal-binning", 2u, "roi-width", 100u, nullptr)));
    ASSERT_TRUE(camera) << error->message;
    EXPECT_EQ(texts({"exposure-time", "sensor-horizontal-binning"}), "0.250000 2");
    EXPECT_EQ(roi(), (Roi{0, 0, 100, 512}));
}

// A camera whose initialisation never ran (a plain g_object_new) or failed has no detector:
// listings and libuca's own frames-per-second read give the defaults, trigger warns, recording
// is refused, and nothing crashes.
TEST_F(PropertyTest, CameraWithoutDetectorReadsDefaultsAndRefusesToRecord)
{
    const GetType getType = pluginGetType();
    ASSERT_NE(getType, nullptr);
    for (bool initialise : {false, true}) {
        SCOPED_TRACE(initialise ? "initialisation failed" : "never initialised");
        ASSERT_EQ(xisl_sim_set_sensors(nullptr, 0), 0);
        camera.reset(static_cast<UcaCamera *>(g_object_new(getType(), nullptr)));
        EXPECT_FALSE(initialise && g_initable_init(G_INITABLE(camera.get()), nullptr, nullptr));
        guint count = 0;
        GParamSpec **specs =
            g_object_class_list_properties(G_OBJECT_GET_CLASS(camera.get()), &count);
        for (guint i = 0; i < count; i++)
            if (specs[i]->flags & G_PARAM_READABLE)
                text(specs[i]->name);
        g_free(specs);
        EXPECT_EQ(texts({"exposure-time", "sensor-vertical-binning"}), "0.067000 1");
        EXPECT_EQ(text("frames-per-second"), "14.925373");

        GLibMessages messages;
        UCA_CAMERA_GET_CLASS(camera.get())->trigger(camera.get(), nullptr); // libuca asks recording
        EXPECT_EQ(countLines(messages.lines(), G_LOG_LEVEL_WARNING,
                             "Trigger ignored: the camera has no detector"),
                  1u);
        EXPECT_EQ(codeOf(startError()), UCA_CAMERA_ERROR_NOT_FOUND);
        EXPECT_EQ(codeOf(grabInto(camera.get(), {0, 0, 4, 4}).error),
                  UCA_CAMERA_ERROR_NOT_RECORDING);
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
    EXPECT_EQ(roi(), (Roi{0, 0, 1024, 1024}));
    ASSERT_EQ(messages.lines().size(), 1u);
    EXPECT_EQ(messages.lines()[0].level, G_LOG_LEVEL_WARNING);

    g_object_set(camera.get(), "transfer-asynchronously", FALSE, nullptr);
    ASSERT_EQ(xisl_sim_fail("Acquisition_GetHwHeaderInfo", 3, 0), 0);
    for (gboolean fromContinuous : {gboolean{TRUE}, gboolean{FALSE}}) {
        g_object_set(camera.get(), "grab-from-continuous", fromContinuous, nullptr);
        EXPECT_EQ(codeOf(startError()), UCA_CAMERA_ERROR_DEVICE);
        EXPECT_FALSE(uca_camera_is_recording(camera.get()));
    }
    EXPECT_TRUE(callsOf("Acquisition_Acquire_Image").empty());
}

} // namespace
} // namespace TessaraVoltTest
