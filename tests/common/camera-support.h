/* SPDX-License-Identifier: LGPL-2.1-or-later */
// What the camera tests share: the tessaravolt camera made through libuca's plug-in manager on the
// simulated detector, the driver's log captured, and the simulator's documented pattern.
#pragma once

#include "gobject-support.h"
#include "log-sink.h"
#include "sim-pattern.h"
#include "sim-support.h"

namespace TessaraVoltTest {

inline CameraPtr createCamera(GError **error)
{
    ManagerPtr manager(uca_plugin_manager_new());
    return CameraPtr(
        uca_plugin_manager_get_camera(manager.get(), "tessaravolt", error, nullptr, nullptr));
}

// The detector's acquisition descriptor, as the driver's set-up registered it.
inline HACQDESC acquisitionHandle()
{
    return handleOfLast("Acquisition_DefineDestBuffers");
}

// Recording started, or the failure with the camera's own message.
inline ::testing::AssertionResult startRecording(UcaCamera *camera)
{
    GError *error = nullptr;
    uca_camera_start_recording(camera, &error);
    const ErrorPtr owned(error);
    if (error == nullptr)
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "start_recording: " << error->message;
}

} // namespace TessaraVoltTest
