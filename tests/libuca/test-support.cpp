// SPDX-License-Identifier: LGPL-2.1-or-later
#include "test-support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <mutex>

namespace TessaraVoltTest {
namespace {

std::mutex captureMutex;
bool capturing = false;                    // guarded by captureMutex
GLogLevelFlags capturedLevels;             // guarded by captureMutex
std::vector<std::string> capturedMessages; // guarded by captureMutex

// GLib allows one writer per process; it forwards to the capture while one is active.
GLogWriterOutput writeLog(GLogLevelFlags level, const GLogField *fields, gsize nFields,
                          gpointer userData)
{
    {
        std::lock_guard<std::mutex> lock(captureMutex);
        if (capturing && (level & capturedLevels)) {
            for (gsize i = 0; i < nFields; i++) {
                if (g_strcmp0(fields[i].key, "MESSAGE") == 0)
                    capturedMessages.emplace_back(static_cast<const char *>(fields[i].value));
            }
            return G_LOG_WRITER_HANDLED;
        }
    }
    return g_log_writer_default(level, fields, nFields, userData);
}

void installWriterOnce()
{
    static std::once_flag once;
    std::call_once(once, [] { g_log_set_writer_func(writeLog, nullptr, nullptr); });
}

} // namespace

LogCapture::LogCapture(GLogLevelFlags levels)
{
    installWriterOnce();
    std::lock_guard<std::mutex> lock(captureMutex);
    capturing = true;
    capturedLevels = levels;
    capturedMessages.clear();
}

LogCapture::~LogCapture()
{
    std::lock_guard<std::mutex> lock(captureMutex);
    capturing = false;
    capturedMessages.clear();
}

std::vector<std::string> LogCapture::messages() const
{
    std::lock_guard<std::mutex> lock(captureMutex);
    return capturedMessages;
}

bool LogCapture::contains(const std::string &text) const
{
    const auto all = messages();
    return std::any_of(all.begin(), all.end(), [&](const std::string &message) {
        return message.find(text) != std::string::npos;
    });
}

CameraFolder::CameraFolder(const std::vector<std::string> &modules) : PluginFolder(modules)
{
    g_setenv("UCA_CAMERA_PATH", path().c_str(), TRUE);
}

CameraFolder::~CameraFolder()
{
    g_unsetenv("UCA_CAMERA_PATH");
}

CameraPtr openTestCamera(const PluginFolder &folder)
{
    g_setenv("UCA_CAMERA_PATH", folder.path().c_str(), TRUE);
    ManagerPtr manager(uca_plugin_manager_new());
    Error error;
    CameraPtr camera(uca_plugin_manager_get_camera(manager.get(), "test", error.out(), nullptr));
    EXPECT_NE(camera, nullptr) << error.message();
    return camera;
}

guint getUint(gpointer object, const char *name)
{
    guint value = 0;
    g_object_get(object, name, &value, nullptr);
    return value;
}

gdouble getDouble(gpointer object, const char *name)
{
    gdouble value = 0.0;
    g_object_get(object, name, &value, nullptr);
    return value;
}

gboolean getBoolean(gpointer object, const char *name)
{
    gboolean value = FALSE;
    g_object_get(object, name, &value, nullptr);
    return value;
}

gint getEnum(gpointer object, const char *name)
{
    gint value = -1;
    g_object_get(object, name, &value, nullptr);
    return value;
}

} // namespace TessaraVoltTest
