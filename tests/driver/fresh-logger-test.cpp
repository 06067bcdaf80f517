// SPDX-License-Identifier: LGPL-2.1-or-later
// Runs without a host logger: the driver creates its own on first use.
#include <cstdlib>
#include <future>
#include <set>
#include <vector>

#include <gtest/gtest.h>
#include <spdlog/sinks/stdout_color_sinks.h>

#include "logging.h"

namespace TessaraVoltTest {
namespace {

// The C runtime's own environment on either system; null removes the variable.
void setVariable(const char *name, const char *value)
{
#ifdef _WIN32
    _putenv_s(name, value ? value : "");
#else
    if (value)
        setenv(name, value, 1);
    else
        unsetenv(name);
#endif
}

// Several threads ask for the logger at the same moment, none registered yet; the race is narrow,
// so dropping the logger between rounds makes each round a first use. The logger made is a
// colour console on standard output at level info.
TEST(FreshLoggerTest, ConcurrentFirstUseCreatesOneLogger)
{
    for (int round = 0; round < 200 && !::testing::Test::HasFailure(); ++round) {
        ASSERT_FALSE(spdlog::get("Detector"));
        std::promise<void> go;
        std::shared_future<void> start = go.get_future().share();
        std::vector<std::future<std::shared_ptr<spdlog::logger>>> loggers;
        for (int i = 0; i < 8; ++i)
            loggers.push_back(std::async(
                std::launch::async, [start] { return start.wait(), TessaraVolt::getLogger(); }));
        go.set_value();
        std::set<std::shared_ptr<spdlog::logger>> made; // get() rethrows "already exists"
        for (auto &logger : loggers)
            made.insert(logger.get());
        EXPECT_EQ(made, std::set<std::shared_ptr<spdlog::logger>>{spdlog::get("Detector")});
        spdlog::drop("Detector");
    }
    const std::shared_ptr<spdlog::logger> logger = TessaraVolt::getLogger();
    EXPECT_EQ(logger->level(), spdlog::level::info);
    ASSERT_EQ(logger->sinks().size(), 1u);
    EXPECT_TRUE(
        std::dynamic_pointer_cast<spdlog::sinks::stdout_color_sink_mt>(logger->sinks().front()));
}

// SPDLOG_LEVEL quietens the driver's logger alone: a host's logger keeps the level it has. An
// entry naming the driver's logger wins over a level for all; names spdlog does not know change
// nothing.
TEST(FreshLoggerTest, TheLevelAskedForSetsTheDriversLoggerAlone)
{
    const std::shared_ptr<spdlog::logger> host = spdlog::stdout_color_mt("host");
    for (const auto &[asked, level] : {std::pair{"warn", spdlog::level::warn},
                                       {"Detector=error,warn", spdlog::level::err},
                                       {"host=off", spdlog::level::info},
                                       {"loud", spdlog::level::info},
                                       {"off", spdlog::level::off}}) {
        SCOPED_TRACE(asked);
        spdlog::drop("Detector");
        host->set_level(spdlog::level::debug);
        setVariable("SPDLOG_LEVEL", asked);
        EXPECT_EQ(TessaraVolt::getLogger()->level(), level);
        EXPECT_EQ(host->level(), spdlog::level::debug);
    }
    setVariable("SPDLOG_LEVEL", nullptr);
    spdlog::drop("Detector");
    spdlog::drop("host");
}

} // namespace
} // namespace TessaraVoltTest
