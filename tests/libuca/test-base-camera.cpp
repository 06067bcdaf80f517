// SPDX-License-Identifier: LGPL-2.1-or-later
// What the base camera answers and refuses, its units and writability marks, and the
// parts of its lifecycle a subclass depends on.
#include "test-support.h"

#include <gtest/gtest.h>

#include <cstddef>

namespace TessaraVoltTest {
namespace {

// Plug-ins built against libuca 2.4 rely on these offsets.
static_assert(offsetof(UcaCamera, grab_func) == sizeof(GObject), "grab_func follows the parent");
static_assert(offsetof(UcaCamera, user_data) == sizeof(GObject) + sizeof(gpointer),
              "user_data after grab_func");
static_assert(offsetof(UcaCamera, priv) == sizeof(GObject) + 2 * sizeof(gpointer), "priv last");
static_assert(offsetof(UcaCameraClass, start_recording) == sizeof(GObjectClass),
              "slots follow the parent class");
static_assert(offsetof(UcaCameraClass, readout) == sizeof(GObjectClass) + 7 * sizeof(gpointer),
              "eight slots");
static_assert(sizeof(UcaCameraClass) == sizeof(GObjectClass) + 8 * sizeof(gpointer),
              "nothing after the slots");

CameraPtr newBaseCamera()
{
    return CameraPtr(UCA_CAMERA(g_object_new(UCA_TYPE_CAMERA, nullptr)));
}

TEST(BaseCamera, AnswersFromItsOwnState)
{
    CameraPtr camera = newBaseCamera();

    EXPECT_FALSE(getBoolean(camera.get(), "is-recording"));
    EXPECT_FALSE(getBoolean(camera.get(), "is-readout"));
    EXPECT_FALSE(getBoolean(camera.get(), "transfer-asynchronously"));
    EXPECT_FALSE(getBoolean(camera.get(), "buffered"));
    EXPECT_EQ(getUint(camera.get(), "num-buffers"), 4u);
    EXPECT_EQ(getEnum(camera.get(), "trigger-source"), UCA_CAMERA_TRIGGER_SOURCE_AUTO);
    EXPECT_EQ(getEnum(camera.get(), "trigger-type"), UCA_CAMERA_TRIGGER_TYPE_EDGE);
    EXPECT_EQ(getUint(camera.get(), "recorded-frames"), 0u);
    EXPECT_DOUBLE_EQ(getDouble(camera.get(), "sensor-pixel-width"), 10e-6);
    EXPECT_DOUBLE_EQ(getDouble(camera.get(), "sensor-pixel-height"), 10e-6);
    for (const char *name : {"sensor-horizontal-binning", "sensor-vertical-binning",
                             "roi-width-multiplier", "roi-height-multiplier"})
        EXPECT_EQ(getUint(camera.get(), name), 1u) << name;
}

TEST(BaseCamera, KeepsWhatItHandles)
{
    CameraPtr camera = newBaseCamera();

    g_object_set(camera.get(), "transfer-asynchronously", TRUE, "trigger-source",
                 UCA_CAMERA_TRIGGER_SOURCE_SOFTWARE, "trigger-type", UCA_CAMERA_TRIGGER_TYPE_LEVEL,
                 "buffered", TRUE, "num-buffers", 9u, nullptr);

    EXPECT_TRUE(getBoolean(camera.get(), "transfer-asynchronously"));
    EXPECT_EQ(getEnum(camera.get(), "trigger-source"), UCA_CAMERA_TRIGGER_SOURCE_SOFTWARE);
    EXPECT_EQ(getEnum(camera.get(), "trigger-type"), UCA_CAMERA_TRIGGER_TYPE_LEVEL);
    EXPECT_TRUE(getBoolean(camera.get(), "buffered"));
    EXPECT_EQ(getUint(camera.get(), "num-buffers"), 9u);
}

TEST(BaseCamera, WarnsAboutPropertiesOnlyASubclassCanAnswer)
{
    CameraPtr camera = newBaseCamera();
    LogCapture log;

    gchar *name = nullptr;
    g_object_get(camera.get(), "name", &name, nullptr);
    g_free(name);
    EXPECT_TRUE(log.contains("invalid property id")) << "name";

    // frames-per-second derives from exposure-time, which the base cannot answer.
    getDouble(camera.get(), "frames-per-second");
    EXPECT_TRUE(log.contains("Invalid `::exposure-time' set"));
}

TEST(BaseCamera, FramesPerSecondIsTheInverseExposureTime)
{
    CameraFolder folder({TEST_CAMERA_MODULE});
    CameraPtr camera = openTestCamera(folder);
    ASSERT_TRUE(camera);

    g_object_set(camera.get(), "exposure-time", 0.25, nullptr);
    EXPECT_DOUBLE_EQ(getDouble(camera.get(), "frames-per-second"), 4.0);

    g_object_set(camera.get(), "frames-per-second", 20.0, nullptr);
    EXPECT_DOUBLE_EQ(getDouble(camera.get(), "exposure-time"), 0.05);
}

TEST(BaseCamera, RefusesBaseWritesWhileRecording)
{
    CameraFolder folder({TEST_CAMERA_MODULE});
    CameraPtr camera = openTestCamera(folder);
    ASSERT_TRUE(camera);
    Error error;
    uca_camera_start_recording(camera.get(), error.out());
    ASSERT_EQ(error.get(), nullptr) << error.message();

    {
        LogCapture log;
        g_object_set(camera.get(), "trigger-source", UCA_CAMERA_TRIGGER_SOURCE_EXTERNAL,
                     "num-buffers", 2u, nullptr);
        EXPECT_EQ(log.messages().size(), 2u);
        EXPECT_TRUE(log.contains("You cannot change properties during data acquisition"));
    }
    EXPECT_EQ(getEnum(camera.get(), "trigger-source"), UCA_CAMERA_TRIGGER_SOURCE_AUTO);
    EXPECT_EQ(getUint(camera.get(), "num-buffers"), 4u);

    // A subclass decides about the properties it overrides.
    g_object_set(camera.get(), "exposure-time", 0.125, nullptr);
    EXPECT_DOUBLE_EQ(getDouble(camera.get(), "exposure-time"), 0.125);

    uca_camera_stop_recording(camera.get(), error.out());
    g_object_set(camera.get(), "trigger-source", UCA_CAMERA_TRIGGER_SOURCE_EXTERNAL, nullptr);
    EXPECT_EQ(getEnum(camera.get(), "trigger-source"), UCA_CAMERA_TRIGGER_SOURCE_EXTERNAL);
}

TEST(BaseCamera, TakesOverARecordingDeviceAfterConstruction)
{
    CameraFolder folder({TEST_CAMERA_MODULE});
    ManagerPtr manager(uca_plugin_manager_new());
    Error error;
    CameraPtr camera(uca_plugin_manager_get_camera(manager.get(), "test", error.out(),
                                                   "already-recording", TRUE, nullptr));
    ASSERT_TRUE(camera) << error.message();

    uca_camera_start_recording(camera.get(), error.out());
    EXPECT_TRUE(error.is(UCA_CAMERA_ERROR, UCA_CAMERA_ERROR_RECORDING)) << error.message();

    uca_camera_stop_recording(camera.get(), error.out());
    EXPECT_EQ(error.get(), nullptr) << error.message();
    EXPECT_FALSE(uca_camera_is_recording(camera.get()));
}

TEST(BaseCamera, DisposeStopsARecordingCamera)
{
    CameraFolder folder({TEST_CAMERA_MODULE});
    CameraPtr camera = openTestCamera(folder);
    ASSERT_TRUE(camera);
    int stops = 0;
    g_object_set(camera.get(), "stop-counter", &stops, "buffered", TRUE, nullptr);
    Error error;
    uca_camera_start_recording(camera.get(), error.out());
    ASSERT_EQ(error.get(), nullptr) << error.message();

    camera.reset();
    EXPECT_EQ(stops, 1);
}

TEST(BaseCamera, DisposeWarnsWhenTheStopFails)
{
    CameraFolder folder({TEST_CAMERA_MODULE});
    CameraPtr camera = openTestCamera(folder);
    ASSERT_TRUE(camera);
    Error error;
    uca_camera_start_recording(camera.get(), error.out());
    g_object_set(camera.get(), "fail-stop", TRUE, nullptr);

    LogCapture log;
    camera.reset();
    EXPECT_TRUE(log.contains("Could not stop recording: Device refused to stop"));
}

TEST(BaseCamera, WriteWithoutSlotNamesTheType)
{
    CameraFolder folder({TEST_CAMERA_MODULE});
    CameraPtr camera = openTestCamera(folder);
    ASSERT_TRUE(camera);
    Error error;
    char byte = 0;

    uca_camera_write(camera.get(), "calibration", &byte, 1, error.out());
    EXPECT_TRUE(error.is(UCA_CAMERA_ERROR, UCA_CAMERA_ERROR_NOT_IMPLEMENTED));
    EXPECT_EQ(error.message(), "`UcaTestCamera' does not provide a `write' method");
}

TEST(Units, BaseRegistersItsUnits)
{
    CameraPtr camera = newBaseCamera();

    EXPECT_EQ(uca_camera_get_unit(camera.get(), "roi-width"), UCA_UNIT_PIXEL);
    EXPECT_EQ(uca_camera_get_unit(camera.get(), "sensor-vertical-binning"), UCA_UNIT_PIXEL);
    EXPECT_EQ(uca_camera_get_unit(camera.get(), "sensor-pixel-height"), UCA_UNIT_METER);
    EXPECT_EQ(uca_camera_get_unit(camera.get(), "exposure-time"), UCA_UNIT_SECOND);
    EXPECT_EQ(uca_camera_get_unit(camera.get(), "frames-per-second"), UCA_UNIT_COUNT);
    EXPECT_EQ(uca_camera_get_unit(camera.get(), "sensor-bitdepth"), UCA_UNIT_COUNT);
    EXPECT_EQ(uca_camera_get_unit(camera.get(), "name"), UCA_UNIT_NA);
    EXPECT_EQ(uca_camera_get_unit(camera.get(), "num-buffers"), UCA_UNIT_NA);
}

TEST(Units, UnknownPropertyWarns)
{
    CameraPtr camera = newBaseCamera();
    LogCapture log;

    EXPECT_EQ(uca_camera_get_unit(camera.get(), "no-such-thing"), UCA_UNIT_NA);
    uca_camera_register_unit(camera.get(), "no-such-thing", UCA_UNIT_METER);
    EXPECT_EQ(log.messages(),
              std::vector<std::string>(2, "Camera does not have property `no-such-thing'"));
}

TEST(Units, ADifferentUnitWarns)
{
    CameraPtr camera = newBaseCamera();
    LogCapture log;

    uca_camera_register_unit(camera.get(), "roi-x0", UCA_UNIT_PIXEL);
    EXPECT_TRUE(log.messages().empty());

    uca_camera_register_unit(camera.get(), "roi-x0", UCA_UNIT_METER);
    EXPECT_EQ(log.messages(), std::vector<std::string>{"::roi-x0 already has a different unit"});
    EXPECT_EQ(uca_camera_get_unit(camera.get(), "roi-x0"), UCA_UNIT_METER);

    uca_camera_register_unit(camera.get(), "roi-x0", UCA_UNIT_PIXEL);
}

TEST(Units, SurviveWhileAnyCameraLives)
{
    CameraPtr first = newBaseCamera();
    CameraPtr second = newBaseCamera();

    first.reset();
    EXPECT_EQ(uca_camera_get_unit(second.get(), "roi-width"), UCA_UNIT_PIXEL);

    gpointer klass = g_type_class_ref(UCA_TYPE_CAMERA);
    GParamSpec *roiWidth = g_object_class_find_property(G_OBJECT_CLASS(klass), "roi-width");
    second.reset();
    EXPECT_EQ(g_param_spec_get_qdata(roiWidth, uca_unit_quark()), nullptr)
        << "cleared with the last camera";
    g_type_class_unref(klass);
}

// Marks live on the shared base GParamSpecs for the life of the process; each test
// removes the marks it made, so that it can run again.
class Writable : public ::testing::Test {
protected:
    void TearDown() override
    {
        gpointer klass = g_type_class_ref(UCA_TYPE_CAMERA);
        for (const char *name : {"roi-height", "recorded-frames"})
            g_param_spec_set_qdata(g_object_class_find_property(G_OBJECT_CLASS(klass), name),
                                   uca_writable_quark(), nullptr);
        g_type_class_unref(klass);
    }
};

TEST_F(Writable, MarkIsFixedOnce)
{
    GParamSpec *pspec = g_param_spec_ref_sink(
        g_param_spec_uint("gain", "Gain", "Gain", 0, 5, 0, G_PARAM_READWRITE));
    LogCapture log;

    uca_camera_pspec_set_writable(pspec, TRUE);
    uca_camera_pspec_set_writable(pspec, FALSE);
    EXPECT_EQ(log.messages(), std::vector<std::string>{"::gain is already fixed"});
    EXPECT_NE(g_param_spec_get_qdata(pspec, uca_writable_quark()), nullptr);
    g_param_spec_unref(pspec);
}

TEST_F(Writable, MarkOnAnOverriddenPropertyIsShared)
{
    CameraFolder folder({TEST_CAMERA_MODULE});
    CameraPtr camera = openTestCamera(folder);
    ASSERT_TRUE(camera);
    CameraPtr base = newBaseCamera();

    EXPECT_FALSE(uca_camera_is_writable_during_acquisition(camera.get(), "roi-height"));
    uca_camera_set_writable(camera.get(), "roi-height", TRUE);
    EXPECT_TRUE(uca_camera_is_writable_during_acquisition(camera.get(), "roi-height"));
    EXPECT_TRUE(uca_camera_is_writable_during_acquisition(base.get(), "roi-height"));
}

TEST_F(Writable, ReadOnlyPropertyNeverCounts)
{
    CameraPtr camera = newBaseCamera();

    uca_camera_set_writable(camera.get(), "recorded-frames", TRUE);
    EXPECT_FALSE(uca_camera_is_writable_during_acquisition(camera.get(), "recorded-frames"));

    LogCapture log;
    EXPECT_FALSE(uca_camera_is_writable_during_acquisition(camera.get(), "no-such-thing"));
    EXPECT_TRUE(log.contains("Camera does not have property `no-such-thing'"));
}

} // namespace
} // namespace TessaraVoltTest
