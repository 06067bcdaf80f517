/* SPDX-License-Identifier: LGPL-2.1-or-later */
// The libuca tests' kit: an owned GError, a capture of GLib messages, and the test camera from a
// plug-in folder that UCA_CAMERA_PATH points to.
#pragma once

#include "gobject-support.h"
#include "plugin-folder.h"
#include "wait-until.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace TessaraVoltTest {

// Owns a GError; pass out() where a GError** is wanted.
class Error {
public:
    Error() = default;
    ~Error() { g_clear_error(&error_); }
    Error(const Error &) = delete;
    Error &operator=(const Error &) = delete;

    GError **out() { return g_clear_error(&error_), &error_; }
    std::string message() const { return error_ ? error_->message : ""; }
    // The error's code, -1 without one; another domain than the camera's gives -2 unless named.
    std::pair<int, std::string> camera(GQuark domain = UCA_CAMERA_ERROR) const
    {
        return {error_ ? (error_->domain == domain ? error_->code : -2) : -1, message()};
    }

private:
    GError *error_ = nullptr;
};

// Captures GLib messages of the given levels while it lives, one capture at a time. GLib takes one
// writer per process: it hands the messages of other levels to the default writer.
class LogCapture {
public:
    explicit LogCapture(GLogLevelFlags levels = GLogLevelFlags(G_LOG_LEVEL_WARNING |
                                                               G_LOG_LEVEL_CRITICAL))
    {
        static std::once_flag once;
        std::call_once(once, [] { g_log_set_writer_func(write, nullptr, nullptr); });
        std::lock_guard<std::mutex> hold(state().mutex);
        state().levels = levels;
        state().messages.clear();
    }
    ~LogCapture()
    {
        std::lock_guard<std::mutex> hold(state().mutex);
        state().levels = GLogLevelFlags(0);
    }
    LogCapture(const LogCapture &) = delete;
    LogCapture &operator=(const LogCapture &) = delete;

    std::vector<std::string> messages() const
    {
        std::lock_guard<std::mutex> hold(state().mutex);
        return state().messages;
    }
    size_t count(const std::string &text) const
    {
        const auto all = messages();
        return std::count_if(all.begin(), all.end(), [&](const std::string &m) {
            return m.find(text) != std::string::npos;
        });
    }

private:
    struct State {
        std::mutex mutex;
        GLogLevelFlags levels = GLogLevelFlags(0); // guarded by mutex
        std::vector<std::string> messages;         // guarded by mutex
    };
    static State &state()
    {
        static State shared;
        return shared;
    }
    static GLogWriterOutput write(GLogLevelFlags level, const GLogField *fields, gsize n, gpointer)
    {
        {
            std::lock_guard<std::mutex> hold(state().mutex);
            for (gsize i = 0; (level & state().levels) && i < n; i++)
                if (g_strcmp0(fields[i].key, "MESSAGE") == 0)
                    state().messages.emplace_back(static_cast<const char *>(fields[i].value));
            if (level & state().levels)
                return G_LOG_WRITER_HANDLED;
        }
        return g_log_writer_default(level, fields, n, nullptr);
    }
};

// A plug-in folder that UCA_CAMERA_PATH points to while it lives.
class CameraFolder : public PluginFolder {
public:
    explicit CameraFolder(const std::vector<std::string> &modules = {TEST_CAMERA_MODULE})
        : PluginFolder(modules)
    {
        g_setenv("UCA_CAMERA_PATH", path().c_str(), TRUE);
    }
    ~CameraFolder() { g_unsetenv("UCA_CAMERA_PATH"); }
};

// The test camera, its construction properties given as name, value pairs ending in nullptr.
template <typename... Properties> CameraPtr openTestCamera(Properties... properties)
{
    ManagerPtr manager(uca_plugin_manager_new());
    Error error;
    CameraPtr camera(uca_plugin_manager_get_camera(manager.get(), "toolstest", error.out(),
                                                   properties..., nullptr));
    EXPECT_NE(camera, nullptr) << error.message();
    return camera;
}

template <typename T> T get(gpointer object, const char *name)
{
    T value{};
    g_object_get(object, name, &value, nullptr);
    return value;
}

} // namespace TessaraVoltTest
