#include "log-capture.h"

#include <memory>

#include <gtest/gtest.h>
#include <spdlog/spdlog.h>

namespace TessaraVoltTest {

std::vector<LogLine> RecordingSink::lines()
{
    std::lock_guard<std::mutex> guard(mutex_);
    return recorded;
}

std::vector<std::string> RecordingSink::texts()
{
    std::vector<std::string> result;
    for (const LogLine &line : lines())
        result.push_back(line.text);
    return result;
}

void RecordingSink::clear()
{
    std::lock_guard<std::mutex> guard(mutex_);
    recorded.clear();
}

void RecordingSink::sink_it_(const spdlog::details::log_msg &message)
{
    recorded.push_back(
        {message.level, std::string(message.payload.begin(), message.payload.end())});
}

namespace {

std::shared_ptr<RecordingSink> &sinkInstance()
{
    static std::shared_ptr<RecordingSink> sink = std::make_shared<RecordingSink>();
    return sink;
}

// The host's logger, registered under the driver's name before any test runs.
class HostLoggerEnvironment : public ::testing::Environment {
public:
    void SetUp() override
    {
        spdlog::register_logger(std::make_shared<spdlog::logger>("Detector", sinkInstance()));
    }
};

[[maybe_unused]] ::testing::Environment *const hostLogger =
    ::testing::AddGlobalTestEnvironment(new HostLoggerEnvironment);

} // namespace

RecordingSink &recordedLog()
{
    return *sinkInstance();
}

} // namespace TessaraVoltTest
