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

    GError **out()
    {
        g_clear_error(&error_);
        return &error_;
    }
    bool is(GQuark domain, int code) const { return g_error_matches(error_, domain, code); }
    std::string message() const { return error_ ? error_->message : ""; }
    // A camera error's code (another domain's: -2; none: -1) and text.
    std::pair<int, std::string> camera() const
    {
        return {error_ ? (error_->domain == UCA_CAMERA_ERROR ? error_->code : -2) : -1, message()};
    }

private:
    GError *error_ = nullptr;
};

// Captures GLib messages of the given levels while it lives; GLib allows one writer per process,
// which forwards to the capture while one is active. One capture at a time.
class LogCapture {
public:
    explicit LogCapture(GLogLevelFlags levels = GLogLevelFlags(G_LOG_LEVEL_WARNING |
                                                               G_LOG_LEVEL_CRITICAL))
    {
        static std::once_flag once;
        std::call_once(once, [] { g_log_set_writer_func(write, nullptr, nullptr); });
        std::lock_guard<std::mutex> lock(state().mutex);
        state().levels = levels;
        state().messages.clear();
    }
    ~LogCapture()
    {
        std::lock_guard<std::mutex> lock(state().mutex);
        state().levels = GLogLevelFlags(0);
    }
    LogCapture(const LogCapture &) = delete;
    LogCapture &operator=(const LogCapture &) = delete;

    std::vector<std::string> messages() const
    {
        std::lock_guard<std::mutex> lock(state().mutex);
        return state().messages;
    }
    size_t count(const std::string &text) const
    {
        const auto all = messages();
        return std::count_if(all.begin(), all.end(), [&](const std::string &message) {
            return message.find(text) != std::string::npos;
        });
    }
    bool contains(const std::string &text) const { return count(text) > 0; }

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
            std::lock_guard<std::mutex> lock(state().mutex);
            if (level & state().levels) {
                for (gsize i = 0; i < n; i++)
                    if (g_strcmp0(fields[i].key, "MESSAGE") == 0)
                        state().messages.emplace_back(static_cast<const char *>(fields[i].value));
                return G_LOG_WRITER_HANDLED;
            }
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
    CameraPtr camera(
        uca_plugin_manager_get_camera(manager.get(), "toolstest", error.out(), properties..., nullptr));
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
