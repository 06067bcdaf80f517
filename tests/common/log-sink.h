/* SPDX-License-Identifier: LGPL-2.1-or-later */
// The driver's log, captured: the test registers the "Detector" logger before the driver's first
// use, so that the driver writes through it.
#pragma once

#include <spdlog/sinks/base_sink.h>
#include <spdlog/spdlog.h>

#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace TessaraVoltTest {

struct LogLine {
    int level; // spdlog::level or GLogLevelFlags, by source
    std::string text;
};

// Records the level and the text of every message, from any thread.
class LogSink : public spdlog::sinks::base_sink<std::mutex> {
public:
    std::vector<LogLine> lines()
    {
        std::lock_guard<std::mutex> lock(mutex_);
        return lines_;
    }
    std::vector<std::string> texts()
    {
        std::vector<std::string> result;
        for (const LogLine &line : lines())
            result.push_back(line.text);
        return result;
    }
    void clear()
    {
        std::lock_guard<std::mutex> lock(mutex_);
        lines_.clear();
    }

protected:
    void sink_it_(const spdlog::details::log_msg &message) override
    {
        lines_.push_back(
            {message.level, std::string(message.payload.begin(), message.payload.end())});
    }
    void flush_() override {}

private:
    std::vector<LogLine> lines_; // guarded by base_sink's mutex_
};

// The sink behind the "Detector" logger, registered on the first call.
inline LogSink &detectorLog()
{
    static const std::shared_ptr<LogSink> sink = [] {
        auto created = std::make_shared<LogSink>();
        spdlog::register_logger(std::make_shared<spdlog::logger>("Detector", created));
        return created;
    }();
    return *sink;
}

} // namespace TessaraVoltTest
