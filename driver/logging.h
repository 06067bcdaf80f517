/* SPDX-License-Identifier: LGPL-2.1-or-later */
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include <spdlog/spdlog.h>

namespace TessaraVolt {

// The "Detector" logger, created on first use unless the host registered one under that name.
// Safe when several threads ask for the first time at once.
std::shared_ptr<spdlog::logger> getLogger();

// Logs a non-zero XISL status as "Error {0} " at error level; the caller goes on.
void logStatus(uint32_t status);

// Logs the message at error level and throws it as std::runtime_error.
[[noreturn]] void throwError(const std::string &message);

} // namespace TessaraVolt
