// SPDX-License-Identifier: LGPL-2.1-or-later
#include "logging.h"

#include <algorithm>
#include <cstdlib>
#include <stdexcept>
#include <string>

#include <fmt/format.h>
#include <spdlog/sinks/stdout_color_sinks.h>

#include "mutex.h"

namespace TessaraVolt {

namespace {
constexpr const char *loggerName = "Detector";

// SPDLOG_LEVEL ("warn", or "Detector=warn" among other loggers' levels) lets a client such as
// uca-record --quiet silence the driver's information lines. It sets this logger's level alone:
// spdlog's own loader would re-level every logger of the process, the host's too.
spdlog::level::level_enum levelAsked(spdlog::level::level_enum fallback)
{
    const char *text = std::getenv("SPDLOG_LEVEL");
    if (!text)
        return fallback;
    spdlog::level::level_enum level = fallback;
    bool named = false; // an entry naming this logger wins over a level for all
    std::string entries(text);
    size_t begin = 0;
    while (begin <= entries.size()) {
        const size_t end = std::min(entries.find(',', begin), entries.size());
        const std::string entry = entries.substr(begin, end - begin);
        const size_t equals = entry.find('=');
        const std::string name = equals == std::string::npos ? "" : entry.substr(0, equals);
        const std::string value = equals == std::string::npos ? entry : entry.substr(equals + 1);
        const spdlog::level::level_enum parsed = spdlog::level::from_str(value);
        // An unknown name reads as "off" in spdlog: only names it knows count.
        const bool known = parsed != spdlog::level::off || value == "off";
        if (known && (name == loggerName || (name.empty() && !named)))
            level = parsed;
        named = named || (known && name == loggerName);
        begin = end + 1;
    }
    return level;
}
} // namespace

std::shared_ptr<spdlog::logger> getLogger()
{
    // Look-up and creation are one step: two threads logging for the first time would
    // otherwise both create, and spdlog refuses the second registration by throwing.
    static Mutex creation;
    MutexLocker locker(creation);
    std::shared_ptr<spdlog::logger> logger = spdlog::get(loggerName);
    if (!logger) {
        logger = spdlog::stdout_color_mt(loggerName);
        logger->set_level(levelAsked(logger->level()));
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
