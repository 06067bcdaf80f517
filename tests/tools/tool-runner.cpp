// SPDX-License-Identifier: LGPL-2.1-or-later
#include "tool-runner.h"

#include <fstream>
#include <sstream>
#include <stdexcept>

#include <glib.h>

namespace TessaraVoltTest {

ToolResult runTool(const std::vector<std::string> &argv, const Environment &environment,
                   std::chrono::seconds timeout)
{
    ChildResult child = runChild(argv, environment, timeout);
    if (!child.finished)
        throw std::runtime_error(argv.at(0) + " did not finish in time");
    return ToolResult{child.status, std::move(child.out), std::move(child.err)};
}

std::string readFile(const std::string &path)
{
    std::ifstream file(path, std::ios::binary);
    if (!file)
        throw std::runtime_error("cannot read " + path);
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

// GRegex rather than std::regex: GCC's sanitizer builds warn inside libstdc++'s regex.
std::string maskLogTimes(const std::string &text)
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
