/* SPDX-License-Identifier: LGPL-2.1-or-later */
// Runs a command-line tool as a user would and collects what it prints.
#pragma once

#include <chrono>
#include <string>
#include <vector>

#include "child-process.h"
#include "plugin-folder.h"

namespace TessaraVoltTest {

struct ToolResult {
    int status = -1; // exit status, or 128 + signal number
    std::string out;
    std::string err;
};

// Variables mapped to std::nullopt are removed from the child's environment.
using Environment = EnvironmentChanges;

// Runs argv[0] with the given arguments; a child still running after `timeout` is killed and
// the call throws.
ToolResult runTool(const std::vector<std::string> &argv, const Environment &environment,
                   std::chrono::seconds timeout = std::chrono::seconds(60));

// The text of a whole file; throws when it cannot be read.
std::string readFile(const std::string &path);

// Replaces the time stamp at the start of every log line of spdlog's default pattern
// ("[2026-12-07 22:30:00.123] ") by "[TIME] ".
std::string maskLogTimes(const std::string &text);

} // namespace TessaraVoltTest
