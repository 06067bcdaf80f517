// SPDX-License-Identifier: LGPL-2.1-or-later
// uca_camera_parse_arg_props: name=value arguments set properties from text.
#include "test-support.h"

namespace TessaraVoltTest {
namespace {

constexpr int ANY = -3;

struct ParseCase {
    const char *name;
    std::vector<const char *> arguments;
    int code;                                                  // camera error, ANY, or -1
    const char *message;                                       // its text, nullptr: any
    std::vector<std::pair<const char *, std::string>> results; // properties as text afterwards
};

void PrintTo(const ParseCase &row, std::ostream *os)
{
    *os << row.name;
}

class ParseArgs : public ::testing::TestWithParam<ParseCase> {
protected:
    CameraFolder folder;
    CameraPtr camera = openTestCamera();
    Error error;
};

TEST_P(ParseArgs, SetsWhatItCanAndReportsTheRest)
{
    const ParseCase &row = GetParam();
    ASSERT_TRUE(camera);
    LogCapture log;
    const gboolean parsed =
        uca_camera_parse_arg_props(camera.get(), const_cast<gchar **>(row.arguments.data()),
                                   row.arguments.size(), error.out());
    EXPECT_EQ(parsed, row.code == -1);
    if (row.code == ANY) {
        EXPECT_NE(error.get(), nullptr);
    } else {
        EXPECT_EQ(error.camera().first, row.code) << error.message();
    }
    if (row.message) {
        EXPECT_EQ(error.message(), row.message);
    }
    for (const auto &[property, text] : row.results) {
        GValue value = G_VALUE_INIT, asText = G_VALUE_INIT;
        g_value_init(&asText, G_TYPE_STRING);
        g_object_get_property(G_OBJECT(camera.get()), property, &value);
        g_value_transform(&value, &asText);
        EXPECT_EQ(g_value_get_string(&asText), text) << property;
        g_value_unset(&value);
        g_value_unset(&asText);
    }
    EXPECT_TRUE(log.messages().empty()) << "reported as errors, not GObject warnings";
}

constexpr int NOT_FOUND = UCA_CAMERA_ERROR_NOT_FOUND,
              NOT_IMPLEMENTED = UCA_CAMERA_ERROR_NOT_IMPLEMENTED;

// clang-format off
INSTANTIATE_TEST_SUITE_P(Cases, ParseArgs, ::testing::Values(
    ParseCase{"NumbersStringsAndBooleans",
              {"roi-width=17", "exposure-time=0.125", "num-buffers=6", "buffered=TRUE", "transfer-asynchronously=trueish"}, -1, nullptr,
              {{"roi-width", "17"}, {"exposure-time", "0.125000"}, {"num-buffers", "6"}, {"buffered", "TRUE"}, {"transfer-asynchronously", "TRUE"}}},
    ParseCase{"OnlyTrueStartsTrue", {"buffered=yes", "transfer-asynchronously=1"}, -1, nullptr,
              {{"buffered", "FALSE"}, {"transfer-asynchronously", "FALSE"}}},
    ParseCase{"Nothing", {}, -1, nullptr, {}},
    ParseCase{"EnumsByNumberOrValueName", {"trigger-source=UCA_CAMERA_TRIGGER_SOURCE_SOFTWARE", "trigger-type=1"}, -1, nullptr,
              {{"trigger-source", "UCA_CAMERA_TRIGGER_SOURCE_SOFTWARE"}, {"trigger-type", "UCA_CAMERA_TRIGGER_TYPE_LEVEL"}}},
    ParseCase{"EnumByNumber", {"trigger-source=2"}, -1, nullptr, {{"trigger-source", "UCA_CAMERA_TRIGGER_SOURCE_EXTERNAL"}}},
    ParseCase{"EnumByNick", {"trigger-source=software"}, NOT_FOUND, "Enum value `software' does not exist for `trigger-source'", {}},
    ParseCase{"UnknownEnumNumber", {"trigger-source=7"}, NOT_FOUND, "Enum value `7' does not exist for `trigger-source'",
              {{"trigger-source", "UCA_CAMERA_TRIGGER_SOURCE_AUTO"}}},
    ParseCase{"UnknownPropertyStopsTheList", {"roi-width=9", "no-such-thing=1", "roi-height=9"}, NOT_IMPLEMENTED,
              "No property `no-such-thing' found", {{"roi-width", "9"}, {"roi-height", "32"}}},
    ParseCase{"ReadOnly", {"sensor-width=10"}, NOT_IMPLEMENTED, nullptr, {}},
    ParseCase{"Trailing", {"roi-width=12abc"}, ANY, nullptr, {{"roi-width", "64"}}},
    ParseCase{"Empty", {"roi-width="}, ANY, nullptr, {{"roi-width", "64"}}},
    ParseCase{"BelowMinimum", {"roi-width=0"}, ANY, nullptr, {{"roi-width", "64"}}},
    ParseCase{"Negative", {"roi-width=-3"}, ANY, nullptr, {{"roi-width", "64"}}},
    ParseCase{"NoEquals", {"roi-width"}, ANY, nullptr, {{"roi-width", "64"}}},
    ParseCase{"NoNumber", {"exposure-time=fast"}, ANY, nullptr, {{"exposure-time", "0.500000"}}},
    ParseCase{"NegativeDouble", {"exposure-time=-1"}, ANY, nullptr, {{"exposure-time", "0.500000"}}},
    ParseCase{"AboveMaximum", {"sensor-bitdepth=33"}, ANY, nullptr, {}}),
    [](const ::testing::TestParamInfo<ParseCase> &row) { return std::string(row.param.name); });
// clang-format on

} // namespace
} // namespace TessaraVoltTest
