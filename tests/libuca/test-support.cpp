#include "test-support.h"

#include <glib/gstdio.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <mutex>
#include <thread>

namespace LibucaTest {
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

PluginFolder::PluginFolder(const std::vector<std::string> &modules)
{
    GError *error = nullptr;
    gchar *made = g_dir_make_tmp("libuca-test-XXXXXX", &error);
    if (made == nullptr) {
        ADD_FAILURE() << "cannot make a plug-in folder: " << error->message;
        g_error_free(error);
        return;
    }
    path_ = made;
    g_free(made);

    // Links, not copies: one module file per process, or its types would register twice.
    for (const auto &module : modules) {
        gchar *base = g_path_get_basename(module.c_str());
        addLink(base, module);
        g_free(base);
    }
    g_setenv("UCA_CAMERA_PATH", path_.c_str(), TRUE);
}

PluginFolder::~PluginFolder()
{
    if (path_.empty())
        return;
    GDir *dir = g_dir_open(path_.c_str(), 0, nullptr);
    if (dir != nullptr) {
        while (const gchar *entry = g_dir_read_name(dir)) {
            gchar *file = g_build_filename(path_.c_str(), entry, nullptr);
            g_unlink(file);
            g_free(file);
        }
        g_dir_close(dir);
    }
    g_rmdir(path_.c_str());
    g_unsetenv("UCA_CAMERA_PATH");
}

void PluginFolder::addFile(const std::string &name, const std::string &contents) const
{
    gchar *file = g_build_filename(path_.c_str(), name.c_str(), nullptr);
    ASSERT_TRUE(
        g_file_set_contents(file, contents.data(), static_cast<gssize>(contents.size()), nullptr));
    g_free(file);
}

void PluginFolder::addLink(const std::string &name, const std::string &target) const
{
    gchar *link = g_build_filename(path_.c_str(), name.c_str(), nullptr);
    EXPECT_EQ(symlink(target.c_str(), link), 0) << link;
    g_free(link);
}

bool waitFor(const std::function<bool()> &condition, std::chrono::milliseconds timeout)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
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

} // namespace LibucaTest
