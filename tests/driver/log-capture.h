#pragma once

#include <mutex>
#include <string>
#include <vector>

#include <spdlog/sinks/base_sink.h>

namespace TessaraVoltTest {

struct LogLine {
    spdlog::level::level_enum level;
    std::string text;
};

// Records the level and the formatted text of every message, from any thread.
class RecordingSink : public spdlog::sinks::base_sink<std::mutex> {
public:
    std::vector<LogLine> lines();
    std::vector<std::string> texts();
    void clear();

protected:
    void sink_it_(const spdlog::details::log_msg &message) override;
    void flush_() override {}

private:
    std::vector<LogLine> recorded; // guarded by base_sink's mutex
};

// The sink behind the "Detector" logger that the test environment registers before the driver
// first logs.
RecordingSink &recordedLog();

} // namespace TessaraVoltTest
