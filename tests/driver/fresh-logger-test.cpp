// SPDX-License-Identifier: LGPL-2.1-or-later
// Runs without a host logger: the driver creates its own on first use.
#include <future>
#include <vector>

#include <gtest/gtest.h>
#include <spdlog/sinks/stdout_color_sinks.h>

#include "logging.h"

using namespace TessaraVolt;

namespace TessaraVoltTest {
namespace {

// One round: several threads ask for the logger at the same moment, none registered yet.
void raceForFirstUse()
{
    constexpr int threads = 8;
    std::promise<void> go;
    std::shared_future<void> start = go.get_future().share();
    std::vector<std::future<std::shared_ptr<spdlog::logger>>> loggers;
    for (int i = 0; i < threads; ++i)
        loggers.push_back(std::async(std::launch::async, [start] {
            start.wait();
            return getLogger();
        }));
    go.set_value();

    const std::shared_ptr<spdlog::logger> first = loggers[0].get(); // rethrows "already exists"
    for (int i = 1; i < threads; ++i)
        EXPECT_EQ(loggers[i].get(), first);
    EXPECT_EQ(spdlog::get("Detector"), first);
}

// The race is narrow; dropping the logger between rounds makes each round a first use. The
// logger made is a colour console on standard output at level info.
TEST(FreshLoggerTest, ConcurrentFirstUseCreatesOneLogger)
{
    for (int round = 0; round < 200 && !::testing::Test::HasFailure(); ++round) {
        ASSERT_FALSE(spdlog::get("Detector"));
        raceForFirstUse();
        spdlog::drop("Detector");
    }
    const std::shared_ptr<spdlog::logger> logger = getLogger();
    EXPECT_EQ(logger->level(), spdlog::level::info);
    ASSERT_EQ(logger->sinks().size(), 1u);
    EXPECT_TRUE(
        std::dynamic_pointer_cast<spdlog::sinks::stdout_color_sink_mt>(logger->sinks().front()));
}

} // namespace
} // namespace TessaraVoltTest
