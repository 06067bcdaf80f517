// SPDX-License-Identifier: LGPL-2.1-or-later
#include "plugin-folder.h"

#include <stdexcept>

#include <unistd.h>

#include <glib.h>
#include <glib/gstdio.h>

namespace TessaraVoltTest {

PluginFolder::PluginFolder(const std::vector<std::string> &plugins)
{
    GError *error = nullptr;
    gchar *path = g_dir_make_tmp("tessaravolt-plugins-XXXXXX", &error);
    if (path == nullptr) {
        std::string message = error->message;
        g_error_free(error);
        throw std::runtime_error("cannot make a plug-in folder: " + message);
    }
    path_ = path;
    g_free(path);

    // Links, not copies: one module file per process, or its types would register twice.
    try {
        for (const auto &plugin : plugins) {
            gchar *base = g_path_get_basename(plugin.c_str());
            const std::string name = base;
            g_free(base);
            addLink(name, plugin);
        }
    } catch (...) {
        removeAll();
        throw;
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

void PluginFolder::addFile(const std::string &name, const std::string &contents) const
{
    const std::string file = path_ + G_DIR_SEPARATOR_S + name;
    if (!g_file_set_contents(file.c_str(), contents.data(), static_cast<gssize>(contents.size()),
                             nullptr))
        throw std::runtime_error("cannot write " + file);
}

void PluginFolder::addLink(const std::string &name, const std::string &target) const
{
    const std::string link = path_ + G_DIR_SEPARATOR_S + name;
    if (symlink(target.c_str(), link.c_str()) != 0)
        throw std::runtime_error("cannot link " + link + " to " + target);
}

} // namespace TessaraVoltTest
