// SPDX-License-Identifier: LGPL-2.1-or-later
// uca_camera_parse_arg_props: name=value arguments set properties from text.
#include "test-support.h"

#include <gtest/gtest.h>

#include <vector>

namespace TessaraVoltTest {
namespace {

class ParseArgs : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(camera); }

    gboolean parse(std::vector<const char *> arguments)
    {
        return uca_camera_parse_arg_props(camera.get(), const_cast<gchar **>(arguments.data()),
                                          static_cast<guint>(arguments.size()), error.out());
    }

    CameraFolder folder{{TEST_CAMERA_MODULE}};
    CameraPtr camera = openTestCamera(folder);
    Error error;
};

TEST_F(ParseArgs, SetsNumbersStringsAndBooleans)
{
    ASSERT_TRUE(parse({"roi-width=17", "exposure-time=0.125", "num-buffers=6", "buffered=TRUE",
                       "transfer-asynchronously=trueish"}))
        << error.message();
    EXPECT_EQ(getUint(camera.get(), "roi-width"), 17u);
    EXPECT_DOUBLE_EQ(getDouble(camera.get(), "exposure-time"), 0.125);
    EXPECT_EQ(getUint(camera.get(), "num-buffers"), 6u);
    EXPECT_TRUE(getBoolean(camera.get(), "buffered"));
    EXPECT_TRUE(getBoolean(camera.get(), "transfer-asynchronously"));

    ASSERT_TRUE(parse({"buffered=yes", "transfer-asynchronously=1"}));
    EXPECT_FALSE(getBoolean(camera.get(), "buffered"));
    EXPECT_FALSE(getBoolean(camera.get(), "transfer-asynchronously"));
    EXPECT_TRUE(parse({}));
}

TEST_F(ParseArgs, EnumsByNumberOrValueName)
{
    ASSERT_TRUE(parse({"trigger-source=2"})) << error.message();
    EXPECT_EQ(getEnum(camera.get(), "trigger-source"), UCA_CAMERA_TRIGGER_SOURCE_EXTERNAL);

    ASSERT_TRUE(parse({"trigger-source=UCA_CAMERA_TRIGGER_SOURCE_SOFTWARE", "trigger-type=1"}))
        << error.message();
    EXPECT_EQ(getEnum(camera.get(), "trigger-source"), UCA_CAMERA_TRIGGER_SOURCE_SOFTWARE);
    EXPECT_EQ(getEnum(camera.get(), "trigger-type"), UCA_CAMERA_TRIGGER_TYPE_LEVEL);
}

TEST_F(ParseArgs, UnknownEnumValue)
{
    EXPECT_FALSE(parse({"trigger-source=SIDEWAYS"}));
    EXPECT_TRUE(error.is(UCA_CAMERA_ERROR, UCA_CAMERA_ERROR_NOT_FOUND));
    EXPECT_EQ(error.message(), "Enum value `SIDEWAYS' does not exist for `trigger-source'");

    EXPECT_FALSE(parse({"trigger-source=7"}));
    EXPECT_EQ(error.message(), "Enum value `7' does not exist for `trigger-source'");
    EXPECT_EQ(getEnum(camera.get(), "trigger-source"), UCA_CAMERA_TRIGGER_SOURCE_AUTO);
}

TEST_F(ParseArgs, UnknownPropertyStopsTheList)
{
    EXPECT_FALSE(parse({"roi-width=9", "no-such-thing=1", "roi-height=9"}));
    EXPECT_TRUE(error.is(UCA_CAMERA_ERROR, UCA_CAMERA_ERROR_NOT_IMPLEMENTED));
    EXPECT_EQ(error.message(), "No property `no-such-thing' found");
    EXPECT_EQ(getUint(camera.get(), "roi-width"), 9u);
    EXPECT_EQ(getUint(camera.get(), "roi-height"), 32u);
}

TEST_F(ParseArgs, RejectsTextThatIsNoValidValue)
{
    LogCapture log;
    for (const char *argument :
         {"roi-width=12abc", "roi-width=", "roi-width=0", "roi-width=-3", "exposure-time=fast",
          "exposure-time=-1", "sensor-bitdepth=33", "roi-width"}) {
        EXPECT_FALSE(parse({argument})) << argument;
        EXPECT_NE(error.get(), nullptr) << argument;
    }
    EXPECT_EQ(getUint(camera.get(), "roi-width"), 64u);
    EXPECT_DOUBLE_EQ(getDouble(camera.get(), "exposure-time"), 0.5);
    EXPECT_TRUE(log.messages().empty()) << "reported as errors, not GObject warnings";
}

TEST_F(ParseArgs, RefusesReadOnlyProperties)
{
    EXPECT_FALSE(parse({"sensor-width=10"}));
    EXPECT_TRUE(error.is(UCA_CAMERA_ERROR, UCA_CAMERA_ERROR_NOT_IMPLEMENTED));
}

} // namespace
} // namespace TessaraVoltTest
