/* SPDX-License-Identifier: LGPL-2.1-or-later */
// Helpers shared by the libuca tests: an owned GError, a capture of GLib warnings, and a
// temporary plug-in folder that UCA_CAMERA_PATH points to.
#pragma once

#include "gobject-support.h"
#include "plugin-folder.h"
#include "wait-until.h"

#include <string>
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

// A plug-in folder that UCA_CAMERA_PATH points to while it lives.
class CameraFolder : public PluginFolder {
public:
    explicit CameraFolder(const std::vector<std::string> &modules);
    ~CameraFolder();
    CameraFolder(const CameraFolder &) = delete;
    CameraFolder &operator=(const CameraFolder &) = delete;
};

// The camera "test" from a manager created while UCA_CAMERA_PATH names folder.
CameraPtr openTestCamera(const PluginFolder &folder);

guint getUint(gpointer object, const char *name);
gdouble getDouble(gpointer object, const char *name);
gboolean getBoolean(gpointer object, const char *name);
gint getEnum(gpointer object, const char *name);

} // namespace TessaraVoltTest
