// SPDX-License-Identifier: LGPL-2.1-or-later
#include "logging.h"

#include <stdexcept>

#include <fmt/format.h>
#include <spdlog/cfg/env.h>
#include <spdlog/sinks/stdout_color_sinks.h>

#include "mutex.h"

namespace TessaraVolt {

namespace {
constexpr const char *loggerName = "Detector";
} // namespace

std::shared_ptr<spdlog::logger> getLogger()
{
    // Look-up and creation are one step: two threads logging for the first time would
    // otherwise both create, and spdlog refuses the second registration by throwing.
    static Mutex creation;
    MutexLocker locker(creation);
    std::shared_ptr<spdlog::logger> logger = spdlog::get(loggerName);
    if (!logger) {
        // SPDLOG_LEVEL (e.g. "warn") lets a client quieten the information lines.
        spdlog::cfg::load_env_levels();
        logger = spdlog::stdout_color_mt(loggerName);
    }
    return logger;
}

void logStatus(uint32_t status)
{
    if (status == 0)
        return;
    getLogger()->error("Error {0} ", status);
}

void throwError(const std::string &message)
{
    const std::string text = fmt::format(fmt::runtime(message));
    getLogger()->log(spdlog::level::err, spdlog::string_view_t(text));
    throw std::runtime_error(text);
}

} // namespace TessaraVolt
