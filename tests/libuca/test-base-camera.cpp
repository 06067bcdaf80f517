// SPDX-License-Identifier: LGPL-2.1-or-later
// The base camera as libuca 2.4 publishes it: its GParamSpecs, units, types and layout, what it
// answers and refuses itself, and the parts of its lifecycle a subclass depends on.
#include "test-support.h"

#include "uca-enums.h"

#include <cstddef>
#include <ostream>

namespace TessaraVoltTest {
namespace {

// Plug-ins built against libuca 2.4 rely on these offsets.
static_assert(offsetof(UcaCamera, grab_func) == sizeof(GObject), "grab_func follows the parent");
static_assert(offsetof(UcaCamera, priv) == sizeof(GObject) + 2 * sizeof(gpointer), "priv last");
static_assert(offsetof(UcaCameraClass, start_recording) == sizeof(GObjectClass), "slots first");
static_assert(sizeof(UcaCameraClass) == sizeof(GObjectClass) + 8 * sizeof(gpointer), "8 slots");

CameraPtr newBaseCamera()
{
    return CameraPtr(UCA_CAMERA(g_object_new(UCA_TYPE_CAMERA, nullptr)));
}

// Types, blurbs, flags, ranges and defaults show on gen-doc's page of the basic camera, which the
// tools' tests pin byte for byte.
struct Expected {
    guint id;
    const char *name, *nick;
    const char *blurb; // nullptr: the same as the nick
    UcaUnit unit;
    bool answered; // by the base itself, with the default; else only a subclass can answer
};

constexpr UcaUnit NA = UCA_UNIT_NA, PIXEL = UCA_UNIT_PIXEL, COUNT = UCA_UNIT_COUNT;

// clang-format off
const Expected expectedProperties[] = {
    {PROP_NAME, "name", "Name of the camera", nullptr, NA, false},
    {PROP_SENSOR_WIDTH, "sensor-width", "Width of sensor", "Width of the sensor in pixels", PIXEL, false},
    {PROP_SENSOR_HEIGHT, "sensor-height", "Height of sensor", "Height of the sensor in pixels", PIXEL, false},
    {PROP_SENSOR_PIXEL_WIDTH, "sensor-pixel-width", "Width of sensor pixel in meters", nullptr, UCA_UNIT_METER, true},
    {PROP_SENSOR_PIXEL_HEIGHT, "sensor-pixel-height", "Height of sensor pixel in meters", nullptr, UCA_UNIT_METER, true},
    {PROP_SENSOR_BITDEPTH, "sensor-bitdepth", "Number of bits per pixel", nullptr, COUNT, false},
    {PROP_SENSOR_HORIZONTAL_BINNING, "sensor-horizontal-binning", "Horizontal binning", "Number of sensor ADCs that are combined to one pixel in horizontal direction", PIXEL, true},
    {PROP_SENSOR_VERTICAL_BINNING, "sensor-vertical-binning", "Vertical binning", "Number of sensor ADCs that are combined to one pixel in vertical direction", PIXEL, true},
    {PROP_TRIGGER_SOURCE, "trigger-source", "Trigger source", nullptr, NA, true},
    {PROP_TRIGGER_TYPE, "trigger-type", "Trigger type", nullptr, NA, true},
    {PROP_EXPOSURE_TIME, "exposure-time", "Exposure time in seconds", nullptr, UCA_UNIT_SECOND, false},
    {PROP_FRAMES_PER_SECOND, "frames-per-second", "Frames per second", nullptr, COUNT, false},
    {PROP_ROI_X, "roi-x0", "Horizontal coordinate", nullptr, PIXEL, false},
    {PROP_ROI_Y, "roi-y0", "Vertical coordinate", nullptr, PIXEL, false},
    {PROP_ROI_WIDTH, "roi-width", "Width", "Width of the region of interest", PIXEL, false},
    {PROP_ROI_HEIGHT, "roi-height", "Height", "Height of the region of interest", PIXEL, false},
    {PROP_ROI_WIDTH_MULTIPLIER, "roi-width-multiplier", "Horizontal ROI multiplier", "Minimum possible step size of horizontal ROI", PIXEL, true},
    {PROP_ROI_HEIGHT_MULTIPLIER, "roi-height-multiplier", "Vertical ROI multiplier", "Minimum possible step size of vertical ROI", PIXEL, true},
    {PROP_HAS_STREAMING, "has-streaming", "Streaming capability", "Is the camera able to stream the data", NA, false},
    {PROP_HAS_CAMRAM_RECORDING, "has-camram-recording", "Cam-RAM capability", "Is the camera able to record the data in-camera", NA, false},
    {PROP_RECORDED_FRAMES, "recorded-frames", "Number of frames recorded into internal camera memory", nullptr, COUNT, true},
    {PROP_TRANSFER_ASYNCHRONOUSLY, "transfer-asynchronously", "Specify whether data should be transfered asynchronously", "Specify whether data should be transfered asynchronously using a specified callback", NA, true},
    {PROP_IS_RECORDING, "is-recording", "Is camera recording", "Is the camera currently recording", NA, true},
    {PROP_IS_READOUT, "is-readout", "Is camera in readout mode", nullptr, NA, true},
    {PROP_BUFFERED, "buffered", "TRUE if libuca should buffer frames", nullptr, NA, true},
    {PROP_NUM_BUFFERS, "num-buffers", "Number of frame buffers in the ring buffer ", nullptr, NA, true},
};
// clang-format on
static_assert(G_N_ELEMENTS(expectedProperties) == N_BASE_PROPERTIES - 1, "a row per property");
static_assert(N_BASE_PROPERTIES == 27, "libuca 2.4's count");

void PrintTo(const Expected &row, std::ostream *os)
{
    *os << row.name;
}

class BaseProperty : public ::testing::TestWithParam<Expected> {};

TEST_P(BaseProperty, MatchesLibucaInterface)
{
    const Expected &expected = GetParam();
    CameraPtr camera = newBaseCamera();
    GParamSpec *pspec =
        g_object_class_find_property(G_OBJECT_GET_CLASS(camera.get()), expected.name);
    ASSERT_NE(pspec, nullptr);

    EXPECT_STREQ(uca_camera_props[expected.id], expected.name);
    EXPECT_EQ(uca_camera_props[0], nullptr);
    EXPECT_EQ(pspec->param_id, expected.id);
    EXPECT_EQ(pspec->owner_type, UCA_TYPE_CAMERA);
    EXPECT_STREQ(g_param_spec_get_nick(pspec), expected.nick);
    EXPECT_STREQ(g_param_spec_get_blurb(pspec), expected.blurb ? expected.blurb : expected.nick);
    EXPECT_EQ(uca_camera_get_unit(camera.get(), expected.name), expected.unit);

    LogCapture log;
    GValue value = G_VALUE_INIT, fallback = G_VALUE_INIT;
    g_object_get_property(G_OBJECT(camera.get()), expected.name, &value);
    g_param_value_set_default(pspec, g_value_init(&fallback, G_PARAM_SPEC_VALUE_TYPE(pspec)));
    EXPECT_EQ(log.messages().empty(), expected.answered);
    EXPECT_EQ(expected.answered ? g_param_values_cmp(pspec, &value, &fallback) : 0, 0);
    g_value_unset(&value);
    g_value_unset(&fallback);
}

INSTANTIATE_TEST_SUITE_P(All, BaseProperty, ::testing::ValuesIn(expectedProperties),
                         [](const ::testing::TestParamInfo<Expected> &row) {
                             std::string name = row.param.name;
                             std::replace(name.begin(), name.end(), '-', '_');
                             return name;
                         });

// The enumerations' value names are pinned where they are printed and parsed (tools, parse-args).
TEST(BaseCamera, TypesAndQuarksCarryTheirPublishedNames)
{
    // clang-format off
    for (auto [type, name] : {std::pair{uca_camera_error_get_type(), "UcaCameraError"}, {uca_unit_get_type(), "UcaUnit"},
                              {uca_camera_trigger_source_get_type(), "UcaCameraTriggerSource"},
                              {uca_camera_trigger_type_get_type(), "UcaCameraTriggerType"}, {UCA_TYPE_CAMERA, "UcaCamera"}})
        EXPECT_STREQ(g_type_name(type), name);
    for (auto [quark, name] : {std::pair{UCA_CAMERA_ERROR, "uca-camera-error-quark"}, {uca_unit_quark(), "uca-unit-quark"},
                               {UCA_PLUGIN_MANAGER_ERROR, "uca-plugin-manager-error-quark"},
                               {uca_writable_quark(), "uca-writable-quark"}})
        EXPECT_EQ(quark, g_quark_from_string(name));
    // clang-format on
    EXPECT_EQ(g_type_parent(UCA_TYPE_CAMERA), G_TYPE_OBJECT);
    EXPECT_FALSE(G_TYPE_IS_ABSTRACT(UCA_TYPE_CAMERA));
    gpointer klass = g_type_class_ref(UCA_TYPE_CAMERA);
    guint count = 0;
    g_free(g_object_class_list_properties(G_OBJECT_CLASS(klass), &count));
    EXPECT_EQ(count, N_BASE_PROPERTIES - 1u) << "none beyond libuca's";
    g_type_class_unref(klass);
}

// Units warn about unknown properties and changes, and live on the shared base GParamSpecs while
// any camera lives.
TEST(Units, WarnAboutUnknownPropertiesAndChangesAndLastAsLongAsACamera)
{
    CameraPtr camera = newBaseCamera(), other = newBaseCamera();
    LogCapture log;
    EXPECT_EQ(uca_camera_get_unit(camera.get(), "no-such-thing"), UCA_UNIT_NA);
    uca_camera_register_unit(camera.get(), "no-such-thing", UCA_UNIT_METER);
    uca_camera_register_unit(camera.get(), "roi-x0", UCA_UNIT_PIXEL);
    uca_camera_register_unit(camera.get(), "roi-x0", UCA_UNIT_METER);
    EXPECT_EQ(uca_camera_get_unit(camera.get(), "roi-x0"), UCA_UNIT_METER);
    uca_camera_register_unit(camera.get(), "roi-x0", UCA_UNIT_PIXEL);
    EXPECT_EQ(log.messages(),
              (std::vector<std::string>{"Camera does not have property `no-such-thing'",
                                        "Camera does not have property `no-such-thing'",
                                        "::roi-x0 already has a different unit",
                                        "::roi-x0 already has a different unit"}));

    other.reset();
    EXPECT_EQ(uca_camera_get_unit(camera.get(), "roi-width"), UCA_UNIT_PIXEL);
    gpointer klass = g_type_class_ref(UCA_TYPE_CAMERA);
    GParamSpec *roiWidth = g_object_class_find_property(G_OBJECT_CLASS(klass), "roi-width");
    camera.reset();
    EXPECT_EQ(g_param_spec_get_qdata(roiWidth, uca_unit_quark()), nullptr)
        << "cleared with the last";
    g_type_class_unref(klass);
}

// The marks live on the shared base GParamSpecs; each test case runs in a process of its own.
TEST(Writable, MarkIsSharedFixedOnceAndNeverOnReadOnly)
{
    CameraFolder folder;
    CameraPtr camera = openTestCamera(), base = newBaseCamera();
    EXPECT_FALSE(uca_camera_is_writable_during_acquisition(camera.get(), "roi-height"));
    uca_camera_set_writable(camera.get(), "roi-height", TRUE);
    EXPECT_TRUE(uca_camera_is_writable_during_acquisition(camera.get(), "roi-height"));
    EXPECT_TRUE(uca_camera_is_writable_during_acquisition(base.get(), "roi-height"))
        << "overridden";

    uca_camera_set_writable(base.get(), "recorded-frames", TRUE);
    EXPECT_FALSE(uca_camera_is_writable_during_acquisition(base.get(), "recorded-frames"));

    LogCapture log;
    uca_camera_set_writable(base.get(), "roi-height", FALSE);
    EXPECT_TRUE(uca_camera_is_writable_during_acquisition(base.get(), "roi-height"));
    EXPECT_FALSE(uca_camera_is_writable_during_acquisition(base.get(), "no-such-thing"));
    EXPECT_EQ(log.messages(),
              (std::vector<std::string>{"::roi-height is already fixed",
                                        "Camera does not have property `no-such-thing'"}));
}

} // namespace
} // namespace TessaraVoltTest
