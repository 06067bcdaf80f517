/* SPDX-License-Identifier: LGPL-2.1-or-later */
// Runs a command-line tool as a user would and collects what it prints.
#pragma once

#include "child-process.h"
#include "plugin-folder.h"

#include <glib.h>

#include <fstream>
#include <sstream>
#include <stdexcept>

namespace TessaraVoltTest {

// Runs argv[0] with the environment changed; a child still running after `bound` is killed and
// the call throws.
inline ChildResult runTool(const std::vector<std::string> &argv, const EnvironmentChanges &changes,
                           std::chrono::seconds bound = std::chrono::seconds(60))
{
    ChildResult child = runChild(argv, changes, bound);
    if (!child.finished)
        throw std::runtime_error(argv.at(0) + " did not finish in time");
    return child;
}

inline std::string readFile(const std::string &path)
{
    std::ifstream file(path, std::ios::binary);
    if (!file)
        throw std::runtime_error("cannot read " + path);
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

// Replaces the time stamp of spdlog's default pattern at the start of every line by "[TIME] ".
// GRegex rather than std::regex: GCC's sanitizer builds warn inside libstdc++'s regex.
inline std::string maskLogTimes(const std::string &text)
{
    static GRegex *const stamp = g_regex_new(R"(^\[\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3}\] )",
                                             GRegexCompileFlags(G_REGEX_MULTILINE | G_REGEX_RAW),
                                             GRegexMatchFlags(0), nullptr);
    gchar *masked = g_regex_replace_literal(stamp, text.c_str(), -1, 0, "[TIME] ",
                                            GRegexMatchFlags(0), nullptr);
    std::string result = masked;
    g_free(masked);
    return result;
}

} // namespace TessaraVoltTest
