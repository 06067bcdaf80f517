// SPDX-License-Identifier: LGPL-2.1-or-later
// The base camera's GParamSpecs, read from the class at run time and
// compared with libuca 2.4's published table.
#include "test-support.h"

#include "uca-enums.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cfloat>
#include <ostream>
#include <string>

namespace TessaraVoltTest {
namespace {

enum class Kind { String, Uint, Double, Boolean, Enum };

struct Expected {
    guint id;
    const char *name;
    Kind kind;
    const char *nick;
    const char *blurb;
    double minimum;
    double maximum;
    double defaultNumber; // numbers, booleans and enums
    GParamFlags flags;
};

constexpr GParamFlags R = G_PARAM_READABLE;
constexpr GParamFlags RW = G_PARAM_READWRITE;
constexpr double MAXU = G_MAXUINT;

const Expected expectedProperties[] = {
    {PROP_NAME, "name", Kind::String, "Name of the camera", "Name of the camera", 0, 0, 0, R},
    {PROP_SENSOR_WIDTH, "sensor-width", Kind::Uint, "Width of sensor",
     "Width of the sensor in pixels", 1, MAXU, 512, R},
    {PROP_SENSOR_HEIGHT, "sensor-height", Kind::Uint, "Height of sensor",
     "Height of the sensor in pixels", 1, MAXU, 512, R},
    {PROP_SENSOR_PIXEL_WIDTH, "sensor-pixel-width", Kind::Double, "Width of sensor pixel in meters",
     "Width of sensor pixel in meters", DBL_MIN, DBL_MAX, 10e-6, R},
    {PROP_SENSOR_PIXEL_HEIGHT, "sensor-pixel-height", Kind::Double,
     "Height of sensor pixel in meters", "Height of sensor pixel in meters", DBL_MIN, DBL_MAX,
     10e-6, R},
    {PROP_SENSOR_BITDEPTH, "sensor-bitdepth", Kind::Uint, "Number of bits per pixel",
     "Number of bits per pixel", 1, 32, 8, R},
    {PROP_SENSOR_HORIZONTAL_BINNING, "sensor-horizontal-binning", Kind::Uint, "Horizontal binning",
     "Number of sensor ADCs that are combined to one pixel in horizontal direction", 1, MAXU, 1,
     RW},
    {PROP_SENSOR_VERTICAL_BINNING, "sensor-vertical-binning", Kind::Uint, "Vertical binning",
     "Number of sensor ADCs that are combined to one pixel in vertical direction", 1, MAXU, 1, RW},
    {PROP_TRIGGER_SOURCE, "trigger-source", Kind::Enum, "Trigger source", "Trigger source", 0, 0,
     UCA_CAMERA_TRIGGER_SOURCE_AUTO, RW},
    {PROP_TRIGGER_TYPE, "trigger-type", Kind::Enum, "Trigger type", "Trigger type", 0, 0,
     UCA_CAMERA_TRIGGER_TYPE_EDGE, RW},
    {PROP_EXPOSURE_TIME, "exposure-time", Kind::Double, "Exposure time in seconds",
     "Exposure time in seconds", 0.0, DBL_MAX, 1.0, RW},
    {PROP_FRAMES_PER_SECOND, "frames-per-second", Kind::Double, "Frames per second",
     "Frames per second", DBL_MIN, DBL_MAX, 1.0, RW},
    {PROP_ROI_X, "roi-x0", Kind::Uint, "Horizontal coordinate", "Horizontal coordinate", 0, MAXU, 0,
     RW},
    {PROP_ROI_Y, "roi-y0", Kind::Uint, "Vertical coordinate", "Vertical coordinate", 0, MAXU, 0,
     RW},
    {PROP_ROI_WIDTH, "roi-width", Kind::Uint, "Width", "Width of the region of interest", 1, MAXU,
     1, RW},
    {PROP_ROI_HEIGHT, "roi-height", Kind::Uint, "Height", "Height of the region of interest", 1,
     MAXU, 1, RW},
    {PROP_ROI_WIDTH_MULTIPLIER, "roi-width-multiplier", Kind::Uint, "Horizontal ROI multiplier",
     "Minimum possible step size of horizontal ROI", 1, MAXU, 1, R},
    {PROP_ROI_HEIGHT_MULTIPLIER, "roi-height-multiplier", Kind::Uint, "Vertical ROI multiplier",
     "Minimum possible step size of vertical ROI", 1, MAXU, 1, R},
    {PROP_HAS_STREAMING, "has-streaming", Kind::Boolean, "Streaming capability",
     "Is the camera able to stream the data", 0, 0, TRUE, R},
    {PROP_HAS_CAMRAM_RECORDING, "has-camram-recording", Kind::Boolean, "Cam-RAM capability",
     "Is the camera able to record the data in-camera", 0, 0, FALSE, R},
    {PROP_RECORDED_FRAMES, "recorded-frames", Kind::Uint,
     "Number of frames recorded into internal camera memory",
     "Number of frames recorded into internal camera memory", 0, MAXU, 0, R},
    {PROP_TRANSFER_ASYNCHRONOUSLY, "transfer-asynchronously", Kind::Boolean,
     "Specify whether data should be transfered asynchronously",
     "Specify whether data should be transfered asynchronously using a specified callback", 0, 0,
     FALSE, RW},
    {PROP_IS_RECORDING, "is-recording", Kind::Boolean, "Is camera recording",
     "Is the camera currently recording", 0, 0, FALSE, R},
    {PROP_IS_READOUT, "is-readout", Kind::Boolean, "Is camera in readout mode",
     "Is camera in readout mode", 0, 0, FALSE, R},
    {PROP_BUFFERED, "buffered", Kind::Boolean, "TRUE if libuca should buffer frames",
     "TRUE if libuca should buffer frames", 0, 0, FALSE, RW},
    {PROP_NUM_BUFFERS, "num-buffers", Kind::Uint, "Number of frame buffers in the ring buffer ",
     "Number of frame buffers in the ring buffer ", 0, MAXU, 4, RW},
};

static_assert(G_N_ELEMENTS(expectedProperties) == N_BASE_PROPERTIES - 1,
              "one row per base property");

// Names the row in test output instead of dumping its bytes.
void PrintTo(const Expected &row, std::ostream *os)
{
    *os << row.name;
}

class BaseProperty : public ::testing::TestWithParam<Expected> {};

void expectRangeAndDefault(GParamSpec *pspec, const Expected &expected)
{
    switch (expected.kind) {
    case Kind::String:
        ASSERT_TRUE(G_IS_PARAM_SPEC_STRING(pspec));
        EXPECT_STREQ(G_PARAM_SPEC_STRING(pspec)->default_value, "");
        break;
    case Kind::Uint:
        ASSERT_TRUE(G_IS_PARAM_SPEC_UINT(pspec));
        EXPECT_EQ(G_PARAM_SPEC_UINT(pspec)->minimum, expected.minimum);
        EXPECT_EQ(G_PARAM_SPEC_UINT(pspec)->maximum, expected.maximum);
        EXPECT_EQ(G_PARAM_SPEC_UINT(pspec)->default_value, expected.defaultNumber);
        break;
    case Kind::Double:
        ASSERT_TRUE(G_IS_PARAM_SPEC_DOUBLE(pspec));
        EXPECT_EQ(G_PARAM_SPEC_DOUBLE(pspec)->minimum, expected.minimum);
        EXPECT_EQ(G_PARAM_SPEC_DOUBLE(pspec)->maximum, expected.maximum);
        EXPECT_EQ(G_PARAM_SPEC_DOUBLE(pspec)->default_value, expected.defaultNumber);
        break;
    case Kind::Boolean:
        ASSERT_TRUE(G_IS_PARAM_SPEC_BOOLEAN(pspec));
        EXPECT_EQ(G_PARAM_SPEC_BOOLEAN(pspec)->default_value, expected.defaultNumber);
        break;
    case Kind::Enum:
        ASSERT_TRUE(G_IS_PARAM_SPEC_ENUM(pspec));
        EXPECT_EQ(G_PARAM_SPEC_ENUM(pspec)->default_value, expected.defaultNumber);
        break;
    }
}

TEST_P(BaseProperty, MatchesLibucaInterface)
{
    const Expected &expected = GetParam();
    gpointer klass = g_type_class_ref(UCA_TYPE_CAMERA);
    GParamSpec *pspec = g_object_class_find_property(G_OBJECT_CLASS(klass), expected.name);

    ASSERT_NE(pspec, nullptr);
    EXPECT_STREQ(uca_camera_props[expected.id], expected.name);
    EXPECT_EQ(pspec->param_id, expected.id);
    EXPECT_EQ(pspec->owner_type, UCA_TYPE_CAMERA);
    EXPECT_STREQ(g_param_spec_get_nick(pspec), expected.nick);
    EXPECT_STREQ(g_param_spec_get_blurb(pspec), expected.blurb);
    EXPECT_EQ(pspec->flags, expected.flags);
    expectRangeAndDefault(pspec, expected);
    g_type_class_unref(klass);
}

INSTANTIATE_TEST_SUITE_P(AllBaseProperties, BaseProperty, ::testing::ValuesIn(expectedProperties),
                         [](const ::testing::TestParamInfo<Expected> &row) {
                             std::string name = row.param.name;
                             std::replace(name.begin(), name.end(), '-', '_');
                             return name;
                         });

TEST(BasePropertyTable, HasExactlyTheBasePropertiesAndNullFirst)
{
    gpointer klass = g_type_class_ref(UCA_TYPE_CAMERA);
    guint count = 0;
    GParamSpec **pspecs = g_object_class_list_properties(G_OBJECT_CLASS(klass), &count);

    EXPECT_EQ(count, static_cast<guint>(N_BASE_PROPERTIES - 1));
    EXPECT_EQ(uca_camera_props[0], nullptr);
    EXPECT_EQ(N_BASE_PROPERTIES, 27);
    g_free(pspecs);
    g_type_class_unref(klass);
}

TEST(BaseTypes, EnumTypesCarryValueNamesAndNicks)
{
    struct Case {
        GType type;
        const char *typeName;
        int value;
        const char *valueName;
        const char *nick;
    } cases[] = {
        {uca_camera_error_get_type(), "UcaCameraError", UCA_CAMERA_ERROR_END_OF_STREAM,
         "UCA_CAMERA_ERROR_END_OF_STREAM", "end-of-stream"},
        {uca_camera_error_get_type(), "UcaCameraError", UCA_CAMERA_ERROR_DEVICE,
         "UCA_CAMERA_ERROR_DEVICE", "device"},
        {uca_camera_trigger_source_get_type(), "UcaCameraTriggerSource",
         UCA_CAMERA_TRIGGER_SOURCE_EXTERNAL, "UCA_CAMERA_TRIGGER_SOURCE_EXTERNAL", "external"},
        {uca_camera_trigger_type_get_type(), "UcaCameraTriggerType", UCA_CAMERA_TRIGGER_TYPE_LEVEL,
         "UCA_CAMERA_TRIGGER_TYPE_LEVEL", "level"},
        {uca_unit_get_type(), "UcaUnit", UCA_UNIT_DEGREE_CELSIUS, "UCA_UNIT_DEGREE_CELSIUS",
         "degree-celsius"},
    };

    for (const auto &c : cases) {
        EXPECT_STREQ(g_type_name(c.type), c.typeName);
        auto *klass = static_cast<GEnumClass *>(g_type_class_ref(c.type));
        GEnumValue *value = g_enum_get_value(klass, c.value);
        ASSERT_NE(value, nullptr) << c.valueName;
        EXPECT_STREQ(value->value_name, c.valueName);
        EXPECT_STREQ(value->value_nick, c.nick);
        g_type_class_unref(klass);
    }
    EXPECT_STREQ(g_type_name(UCA_TYPE_CAMERA), "UcaCamera");
    EXPECT_EQ(g_type_parent(UCA_TYPE_CAMERA), G_TYPE_OBJECT);
    EXPECT_FALSE(G_TYPE_IS_ABSTRACT(UCA_TYPE_CAMERA));
}

TEST(BaseTypes, ErrorQuarksComeFromTheirPublishedStrings)
{
    EXPECT_EQ(UCA_CAMERA_ERROR, g_quark_from_string("uca-camera-error-quark"));
    EXPECT_EQ(UCA_PLUGIN_MANAGER_ERROR, g_quark_from_string("uca-plugin-manager-error-quark"));
    EXPECT_EQ(uca_unit_quark(), g_quark_from_string("uca-unit-quark"));
    EXPECT_EQ(uca_writable_quark(), g_quark_from_string("uca-writable-quark"));
}

} // namespace
} // namespace TessaraVoltTest
