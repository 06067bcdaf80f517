// SPDX-License-Identifier: LGPL-2.1-or-later
// uca_camera_parse_arg_props: name=value arguments set properties from text.
#include "test-support.h"

namespace TessaraVoltTest {
namespace {

constexpr int ANY = -3, OK = -1;

struct ParseCase {
    const char *name;
    std::vector<const char *> arguments;
    int code;             // the camera error, ANY, or OK
    const char *message;  // its text, nullptr: any
    const char *property; // and a property afterwards, as text
    const char *text;
};

void PrintTo(const ParseCase &row, std::ostream *os)
{
    *os << row.name;
}

class ParseArgs : public ::testing::TestWithParam<ParseCase> {};

TEST_P(ParseArgs, SetsWhatItCanAndReportsTheRest)
{
    const ParseCase &row = GetParam();
    CameraFolder folder;
    CameraPtr camera = openTestCamera();
    Error error;
    LogCapture log;
    const gboolean parsed =
        uca_camera_parse_arg_props(camera.get(), const_cast<gchar **>(row.arguments.data()),
                                   row.arguments.size(), error.out());
    EXPECT_EQ(parsed, row.code == OK);
    EXPECT_EQ(error.camera().first == OK ? OK
              : row.code == ANY          ? ANY
                                         : error.camera().first,
              row.code);
    EXPECT_EQ(error.message(), row.message ? row.message : error.message());
    GValue value = G_VALUE_INIT, asText = G_VALUE_INIT;
    g_object_get_property(G_OBJECT(camera.get()), row.property, &value);
    g_value_transform(&value, g_value_init(&asText, G_TYPE_STRING));
    EXPECT_STREQ(g_value_get_string(&asText), row.text) << row.property;
    g_value_unset(&value);
    g_value_unset(&asText);
    EXPECT_TRUE(log.messages().empty()) << "reported as errors, not GObject warnings";
}

constexpr int NOT_FOUND = UCA_CAMERA_ERROR_NOT_FOUND,
              NOT_IMPLEMENTED = UCA_CAMERA_ERROR_NOT_IMPLEMENTED;
const char *const sources = "trigger-source";

// clang-format off
INSTANTIATE_TEST_SUITE_P(Cases, ParseArgs, ::testing::Values(
    ParseCase{"Numbers", {"roi-width=17", "exposure-time=0.125", "roi-height=6"}, OK, nullptr, "exposure-time", "0.125000"},
    ParseCase{"TrueStartsWithTrue", {"buffered=TRUE", "transfer-asynchronously=trueish"}, OK, nullptr, "transfer-asynchronously", "TRUE"},
    ParseCase{"AnythingElseIsFalse", {"buffered=TRUE", "buffered=yes"}, OK, nullptr, "buffered", "FALSE"},
    ParseCase{"OneIsFalse", {"buffered=TRUE", "buffered=1"}, OK, nullptr, "buffered", "FALSE"},
    ParseCase{"Nothing", {}, OK, nullptr, "roi-width", "64"},
    ParseCase{"EnumByValueName", {"trigger-source=UCA_CAMERA_TRIGGER_SOURCE_SOFTWARE"}, OK, nullptr, sources, "UCA_CAMERA_TRIGGER_SOURCE_SOFTWARE"},
    ParseCase{"EnumByNumber", {"trigger-type=1"}, OK, nullptr, "trigger-type", "UCA_CAMERA_TRIGGER_TYPE_LEVEL"},
    ParseCase{"EnumByNick", {"trigger-source=software"}, NOT_FOUND, "Enum value `software' does not exist for `trigger-source'", sources, "UCA_CAMERA_TRIGGER_SOURCE_AUTO"},
    ParseCase{"UnknownEnumNumber", {"trigger-source=7"}, NOT_FOUND, "Enum value `7' does not exist for `trigger-source'", sources, "UCA_CAMERA_TRIGGER_SOURCE_AUTO"},
    ParseCase{"UnknownPropertyStopsTheList", {"roi-width=9", "no-such-thing=1", "roi-height=9"}, NOT_IMPLEMENTED, "No property `no-such-thing' found", "roi-height", "32"},
    ParseCase{"SetBeforeAnUnknownProperty", {"roi-width=9", "no-such-thing=1"}, NOT_IMPLEMENTED, nullptr, "roi-width", "9"},
    ParseCase{"ReadOnly", {"sensor-width=10"}, NOT_IMPLEMENTED, nullptr, "sensor-width", "64"},
    ParseCase{"Trailing", {"roi-width=12abc"}, ANY, nullptr, "roi-width", "64"},
    ParseCase{"Empty", {"roi-width="}, ANY, nullptr, "roi-width", "64"},
    ParseCase{"BelowMinimum", {"roi-width=0"}, ANY, nullptr, "roi-width", "64"},
    ParseCase{"Negative", {"roi-width=-3"}, ANY, nullptr, "roi-width", "64"},
    ParseCase{"NoEquals", {"roi-width"}, ANY, nullptr, "roi-width", "64"},
    ParseCase{"NoNumber", {"exposure-time=fast"}, ANY, nullptr, "exposure-time", "0.500000"},
    ParseCase{"NegativeDouble", {"exposure-time=-1"}, ANY, nullptr, "exposure-time", "0.500000"},
    ParseCase{"AboveMaximum", {"num-buffers=4294967296"}, ANY, nullptr, "num-buffers", "4"}),
    [](const ::testing::TestParamInfo<ParseCase> &row) { return std::string(row.param.name); });
// clang-format on

} // namespace
} // namespace TessaraVoltTest
