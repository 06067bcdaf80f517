// Helpers shared by the libuca tests: owning handles for GLib objects, a capture of
// GLib warnings, and a temporary plug-in folder that UCA_CAMERA_PATH points to.
#pragma once

#include <uca/uca-camera.h>
#include <uca/uca-plugin-manager.h>

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace LibucaTest {

struct ObjectUnref {
    void operator()(gpointer object) const { g_object_unref(object); }
};
using CameraPtr = std::unique_ptr<UcaCamera, ObjectUnref>;
using ManagerPtr = std::unique_ptr<UcaPluginManager, ObjectUnref>;

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
    const GError *get() const { return error_; }
    bool is(GQuark domain, int code) const { return g_error_matches(error_, domain, code); }
    std::string message() const { return error_ ? error_->message : "(no error)"; }

private:
    GError *error_ = nullptr;
};

// Captures GLib messages of the given levels while it lives, so that tests can expect
// them; other messages go to the default writer. One capture at a time.
class LogCapture {
public:
    explicit LogCapture(GLogLevelFlags levels = GLogLevelFlags(G_LOG_LEVEL_WARNING |
                                                               G_LOG_LEVEL_CRITICAL));
    ~LogCapture();
    LogCapture(const LogCapture &) = delete;
    LogCapture &operator=(const LogCapture &) = delete;

    std::vector<std::string> messages() const;
    bool contains(const std::string &text) const;
};

// A fresh folder holding links to the named test modules; UCA_CAMERA_PATH points to it
// while the folder lives.
class PluginFolder {
public:
    explicit PluginFolder(const std::vector<std::string> &modules);
    ~PluginFolder();
    PluginFolder(const PluginFolder &) = delete;
    PluginFolder &operator=(const PluginFolder &) = delete;

    const std::string &path() const { return path_; }
    void addFile(const std::string &name, const std::string &contents) const;
    void addLink(const std::string &name, const std::string &target) const;

private:
    std::string path_;
};

// Polls condition until it holds or the timeout passes; returns whether it held.
bool waitFor(const std::function<bool()> &condition,
             std::chrono::milliseconds timeout = std::chrono::seconds(5));

// The camera "test" from a manager created while UCA_CAMERA_PATH names folder.
CameraPtr openTestCamera(const PluginFolder &folder);

guint getUint(gpointer object, const char *name);
gdouble getDouble(gpointer object, const char *name);
gboolean getBoolean(gpointer object, const char *name);
gint getEnum(gpointer object, const char *name);

} // namespace LibucaTest
