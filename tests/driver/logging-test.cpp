// SPDX-License-Identifier: LGPL-2.1-or-later
#include <stdexcept>

#include "logging.h"
#include "sim-fixture.h"

using namespace TessaraVolt;

namespace TessaraVoltTest {
namespace {

// The host's logger is used unchanged; a status is logged only when it failed, unsigned; an
// error is logged, then thrown with the same text.
TEST(LoggingTest, StatusesAndErrors)
{
    detectorLog().clear();
    EXPECT_EQ(getLogger(), spdlog::get("Detector"));
    logStatus(0);
    logStatus(4294967295u);
    EXPECT_THROW(
        {
            try {
                throwError("Unable to get next sensor");
            } catch (const std::runtime_error &error) {
                EXPECT_STREQ(error.what(), "Unable to get next sensor");
                throw;
            }
        },
        std::runtime_error);
    const std::vector<LogLine> lines = detectorLog().lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(std::make_pair(lines[0].level, lines[0].text),
              std::make_pair(int(spdlog::level::err), std::string("Error 4294967295 ")));
    EXPECT_EQ(std::make_pair(lines[1].level, lines[1].text),
              std::make_pair(int(spdlog::level::err), std::string("Unable to get next sensor")));
}

} // namespace
} // namespace TessaraVoltTest
