#include "tool-runner.h"

#include <fstream>
#include <memory>
#include <sstream>
#include <stdexcept>

#include <unistd.h>

#include <glib.h>
#include <glib/gstdio.h>

namespace ToolsTest {

ToolResult runTool(const std::vector<std::string> &argv, const Environment &environment,
                   std::chrono::seconds timeout)
{
    TessaraVoltTest::ChildResult child = TessaraVoltTest::runChild(argv, environment, timeout);
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

PluginFolder::PluginFolder(const std::vector<std::string> &plugins)
{
    GError *error = nullptr;
    gchar *path = g_dir_make_tmp("uca-tools-XXXXXX", &error);
    if (path == nullptr) {
        std::string message = error->message;
        g_error_free(error);
        throw std::runtime_error(message);
    }
    path_ = path;
    g_free(path);

    for (const auto &plugin : plugins) {
        gchar *base = g_path_get_basename(plugin.c_str());
        std::string link = path_ + G_DIR_SEPARATOR_S + base;
        g_free(base);
        if (symlink(plugin.c_str(), link.c_str()) != 0) {
            removeAll();
            throw std::runtime_error("cannot link " + plugin);
        }
    }
}

PluginFolder::~PluginFolder()
{
    removeAll();
}

void PluginFolder::removeAll() const
{
    for (const auto &name : listing())
        g_remove((path_ + G_DIR_SEPARATOR_S + name).c_str());
    g_rmdir(path_.c_str());
}

std::vector<std::string> PluginFolder::listing() const
{
    std::vector<std::string> names;
    GDir *dir = g_dir_open(path_.c_str(), 0, nullptr);
    if (dir == nullptr)
        return names;
    while (const gchar *name = g_dir_read_name(dir))
        names.emplace_back(name);
    g_dir_close(dir);
    return names;
}

} // namespace ToolsTest
