// SPDX-License-Identifier: LGPL-2.1-or-later
/* What the camera's two source files share: its private record and its property handlers, which
 * live in uca-tessaravolt-camera-properties.cpp. */
#pragma once

#include "uca-tessaravolt-camera.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "corrector.h"
#include "readout.h"

enum {
    PROP_GAIN = N_BASE_PROPERTIES,
    PROP_GRAB_FROM_CONTINUOUS,
    PROP_FRAME_TIMEOUT,
    PROP_OFFSET_CORRECTION,
    PROP_GAIN_CORRECTION,
    PROP_DEFECT_CORRECTION,
    PROP_CORRECTION_PEDESTAL,
    PROP_CALIBRATION_FILE,
    PROP_CALIBRATION_STATUS,
    PROP_SKIP_FRAMES,
    PROP_FRAME_TIME,
    PROP_CORRECTIONS_APPLIED,
    PROP_CALIBRATION_IN_USE,
    PROP_CALIBRATION_START_TIME,
    PROP_CALIBRATION_FLATFIELD,
    PROP_CALIBRATION_PIXEL_MASK,
    N_PROPERTIES
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
    /* Set once by initialisation. It owns the detector, the three readout modes and the whole
     * frame route (the region fixed at start, the correction, the copy): client threads call it,
     * its consumers run on XISL's thread. */
    std::unique_ptr<TessaraVolt::Readout> readout;
    /* Client's thread only; read once at initialisation. */
    uint32_t sensor_width = 0;
    uint32_t sensor_height = 0;
    /* Clients write and read the region of interest from any thread; a start takes it. Under
     * region_mutex a write lands before a start takes the region, or is refused from then until
     * the stop, so that the properties always read what the frames hold. */
    mutable std::mutex region_mutex;
    uint32_t roi_x0 = 0;       /* region_mutex */
    uint32_t roi_y0 = 0;       /* region_mutex */
    uint32_t roi_width = 0;    /* region_mutex */
    uint32_t roi_height = 0;   /* region_mutex */
    bool region_fixed = false; /* region_mutex: from a start taking the region to its stop */
    /* Any client thread writes them; a start reads them. */
    std::atomic<bool> grab_from_continuous{ true };
    std::atomic<guint> skip_frames{ 0 };
    /* Thread-safe on its own; the readout borrows it for each recording, and XISL's thread takes
     * the plan for each frame from it. Outlives the readout, which dispose destroys. */
    TessaraVolt::Corrector corrector;
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

/* The region of interest the next start will take. */
inline TessaraVolt::Region
get_region (const UcaTessaraVoltCameraPrivate *priv)
{
    std::lock_guard<std::mutex> lock (priv->region_mutex);
    return TessaraVolt::Region{ priv->roi_x0, priv->roi_y0, priv->roi_width, priv->roi_height };
}

/* The detector behind the readout; null without one (no initialisation, or a failed one). */
inline TessaraVolt::Detector *
get_detector (const UcaTessaraVoltCameraPrivate *priv)
{
    return priv->readout ? &priv->readout->getDetector () : nullptr;
}

void uca_tessaravolt_camera_set_property (GObject *object, guint property_id, const GValue *value, GParamSpec *pspec);
void uca_tessaravolt_camera_get_property (GObject *object, guint property_id, GValue *value, GParamSpec *pspec);
/* Logs what the corrector warns about, outside its lock. */
void uca_tessaravolt_camera_warn (const std::vector<std::string> &warnings);
/* Writes a property to the detector or the region of interest; the detector must exist. */
void uca_tessaravolt_camera_apply_property (GObject *object, guint property_id, const GValue *value, GParamSpec *pspec);
