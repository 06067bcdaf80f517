/* SPDX-License-Identifier: LGPL-2.1-or-later */
// Owning handles for the GLib and libuca objects the tests hold.
#pragma once

#include <uca/uca-camera.h>
#include <uca/uca-plugin-manager.h>

#include <memory>

namespace TessaraVoltTest {

struct GObjectUnref {
    void operator()(gpointer object) const { g_object_unref(object); }
};
using CameraPtr = std::unique_ptr<UcaCamera, GObjectUnref>;
using ManagerPtr = std::unique_ptr<UcaPluginManager, GObjectUnref>;

struct GErrorFree {
    void operator()(GError *error) const { g_error_free(error); }
};
using ErrorPtr = std::unique_ptr<GError, GErrorFree>;

} // namespace TessaraVoltTest
