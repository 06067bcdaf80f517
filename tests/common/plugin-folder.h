/* SPDX-License-Identifier: LGPL-2.1-or-later */
// A temporary folder holding symbolic links to plug-in files, removed with the object.
#pragma once

#include <string>
#include <vector>

namespace TessaraVoltTest {

class PluginFolder {
public:
    // Throws when the folder or a link cannot be made.
    explicit PluginFolder(const std::vector<std::string> &plugins);
    ~PluginFolder();
    PluginFolder(const PluginFolder &) = delete;
    PluginFolder &operator=(const PluginFolder &) = delete;

    const std::string &path() const { return path_; }
    // The file names in the order the directory lists them, which is libuca's order.
    std::vector<std::string> listing() const;
    void addFile(const std::string &name, const std::string &contents) const;
    void addLink(const std::string &name, const std::string &target) const;

private:
    void removeAll() const;

    std::string path_;
};

} // namespace TessaraVoltTest
