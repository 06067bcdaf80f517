// SPDX-License-Identifier: LGPL-2.1-or-later
/* What the camera's two source files share: its private record and its property handlers, which
 * live in uca-tessaravolt-camera-properties.cpp. */
#pragma once

#include "uca-tessaravolt-camera.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <vector>

#include "continuous-grabber.h"
#include "detector.h"

enum {
    PROP_GAIN = N_BASE_PROPERTIES,
    PROP_GRAB_FROM_CONTINUOUS,
    N_PROPERTIES
};

/* Where frames go between start and stop of recording; chosen at start. */
enum class ReadoutMode {
    Idle,
    AsynchronousTransfer, /* the stream feeds libuca's grab callback */
    ContinuousStream,     /* the stream feeds the grabber; grab takes the next frame */
    SingleFrames,         /* each grab acquires one frame */
};

struct GValueDeleter {
    void
    operator() (GValue *value) const
    {
        g_value_unset (value);
        g_free (value);
    }
};

/* A property written before the detector exists (a construction property), replayed once it
 * does. */
struct PendingWrite {
    guint property_id;
    GParamSpec *pspec;
    std::unique_ptr<GValue, GValueDeleter> value;
};

struct _UcaTessaraVoltCameraPrivate {
    /* Set once by initialisation; the client's thread calls it, its callbacks run on XISL's
     * thread. */
    std::unique_ptr<TessaraVolt::Detector> detector;
    /* Client's thread only; read once at initialisation. */
    uint32_t sensor_width = 0;
    uint32_t sensor_height = 0;
    /* Written on the client's thread while not recording (writes during recording are refused),
     * so XISL's thread reads them without a lock while frames are delivered. */
    uint32_t roi_x0 = 0;
    uint32_t roi_y0 = 0;
    uint32_t roi_width = 0;
    uint32_t roi_height = 0;
    gboolean grab_from_continuous = TRUE;
    /* Guards itself: XISL's thread feeds it, the grabbing thread takes frames out. */
    TessaraVolt::ContinuousGrabber continuous;
    /* Sized at start, written by XISL's thread while asynchronous transfer runs, released at
     * stop only after the detector has stopped. */
    std::vector<uint16_t> transfer_buffer;
    /* Set at start, cleared at stop, read by grab: libuca serialises these, but a grab that
     * bypasses its lock (or libuca's buffer thread) must still read a whole value. */
    std::atomic<ReadoutMode> mode{ ReadoutMode::Idle };
    /* libuca's grab callback as it was at start: XISL's thread calls this copy, so a later
     * uca_camera_set_grab_func cannot race with frame delivery. */
    UcaCameraGrabFunc transfer_func = nullptr;
    gpointer transfer_user_data = nullptr;
    /* Client's thread, before initialisation only. */
    std::vector<PendingWrite> pending_writes;
};

static_assert (alignof (UcaTessaraVoltCameraPrivate) <= 2 * sizeof (gsize),
               "GObject aligns the private area to two machine words");

inline UcaTessaraVoltCameraPrivate *
get_private (gpointer camera)
{
    return static_cast<UcaTessaraVoltCamera *> (camera)->priv;
}

void uca_tessaravolt_camera_set_property (GObject *object, guint property_id, const GValue *value, GParamSpec *pspec);
void uca_tessaravolt_camera_get_property (GObject *object, guint property_id, GValue *value, GParamSpec *pspec);
/* Writes a property to the detector or the region of interest; the detector must exist. */
void uca_tessaravolt_camera_apply_property (GObject *object, guint property_id, const GValue *value, GParamSpec *pspec);
