// SPDX-License-Identifier: LGPL-2.1-or-later
#include <stdexcept>

#include "logging.h"
#include "sim-fixture.h"

using namespace TessaraVolt;

namespace TessaraVoltTest {
namespace {

class LoggingTest : public ::testing::Test {
protected:
    void SetUp() override { detectorLog().clear(); }
};

TEST_F(LoggingTest, HostLoggerIsUsedUnchanged)
{
    const std::shared_ptr<spdlog::logger> registered = spdlog::get("Detector");
    ASSERT_TRUE(registered);
    EXPECT_EQ(getLogger(), registered);
    EXPECT_EQ(getLogger()->sinks().size(), 1u);
}

TEST_F(LoggingTest, StatusIsLoggedOnlyWhenItFailed)
{
    logStatus(0);
    logStatus(1);
    logStatus(4294967295u);
    const std::vector<LogLine> lines = detectorLog().lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].level, spdlog::level::err);
    EXPECT_EQ(lines[0].text, "Error 1 ");
    EXPECT_EQ(lines[1].text, "Error 4294967295 ");
}

TEST_F(LoggingTest, ThrowErrorLogsThenThrowsTheSameText)
{
    try {
        throwError("Unable to get next sensor");
        FAIL() << "throwError returned";
    } catch (const std::runtime_error &error) {
        EXPECT_STREQ(error.what(), "Unable to get next sensor");
    }
    const std::vector<LogLine> lines = detectorLog().lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].level, spdlog::level::err);
    EXPECT_EQ(lines[0].text, "Unable to get next sensor");
}

} // namespace
} // namespace TessaraVoltTest
