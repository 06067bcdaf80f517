// SPDX-License-Identifier: LGPL-2.1-or-later
/* The camera's properties: writes go to the detector or the region of interest (or wait for the
 * detector while it is being created), reads answer from them. Client's thread only. */
#include "uca-tessaravolt-camera-private.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace {

const gchar *const camera_name = "tessaravolt camera";
const gdouble pixel_size_in_meters = 0.0002;
const guint bits_per_pixel = 16;

PendingWrite
pending_write_new (guint property_id, const GValue *value, GParamSpec *pspec)
{
    std::unique_ptr<GValue, GValueDeleter> copy{ g_new0 (GValue, 1) };
    g_value_init (copy.get (), G_VALUE_TYPE (value));
    g_value_copy (value, copy.get ());
    return PendingWrite{ property_id, pspec, std::move (copy) };
}

} // namespace

static int32_t
trigger_mode_from_source (gint source)
{
    switch (source) {
        case UCA_CAMERA_TRIGGER_SOURCE_SOFTWARE:
            return 1;
        case UCA_CAMERA_TRIGGER_SOURCE_EXTERNAL:
            return 2;
        default:
            return 0;
    }
}

static UcaCameraTriggerSource
trigger_source_from_mode (int32_t mode)
{
    switch (mode) {
        case 1:
            return UCA_CAMERA_TRIGGER_SOURCE_SOFTWARE;
        case 2:
            return UCA_CAMERA_TRIGGER_SOURCE_EXTERNAL;
        default:
            return UCA_CAMERA_TRIGGER_SOURCE_AUTO;
    }
}

static void
warn_recording (GParamSpec *pspec)
{
    g_log (nullptr, G_LOG_LEVEL_WARNING, "Property '%s' cant be changed during acquisition", pspec->name);
}

/* A write lands before a start takes the region, or is refused until the stop. */
static void
set_region (UcaTessaraVoltCameraPrivate *priv, guint property_id, uint32_t value, GParamSpec *pspec)
{
    std::lock_guard<std::mutex> lock (priv->region_mutex);

    if (priv->region_fixed) {
        warn_recording (pspec);
        return;
    }
    switch (property_id) {
        case PROP_ROI_X:
            priv->roi_x0 = value;
            break;
        case PROP_ROI_Y:
            priv->roi_y0 = value;
            break;
        case PROP_ROI_WIDTH:
            priv->roi_width = value;
            break;
        default:
            priv->roi_height = value;
            break;
    }
}

static uint32_t
get_region (const UcaTessaraVoltCameraPrivate *priv, guint property_id)
{
    std::lock_guard<std::mutex> lock (priv->region_mutex);

    switch (property_id) {
        case PROP_ROI_X:
            return priv->roi_x0;
        case PROP_ROI_Y:
            return priv->roi_y0;
        case PROP_ROI_WIDTH:
            return priv->roi_width;
        default:
            return priv->roi_height;
    }
}

/* One factor serves both axes. The region of interest shrinks to the binned frame and never
 * grows back. A binning the detector refuses is not taken: the driver warns, and the property
 * and the frame keep the binning the detector really uses. */
static void
set_binning (UcaTessaraVoltCameraPrivate *priv, guint factor, GParamSpec *pspec)
{
    {
        /* The frame must not shrink under a region a start has taken (the readout would refuse
         * the binning while recording, but not during the start). */
        std::lock_guard<std::mutex> lock (priv->region_mutex);
        if (priv->region_fixed) {
            warn_recording (pspec);
            return;
        }
    }
    priv->readout->setBinning (factor);

    const TessaraVolt::FrameSize max_roi_size = priv->readout->getDetector ().getFrameSize ();

    /* A failed header read gives 0 x 0; the region then keeps the last good frame's bounds
     * instead of collapsing below libuca's minimum of 1. */
    if (max_roi_size.width == 0 || max_roi_size.height == 0) {
        g_log (nullptr, G_LOG_LEVEL_WARNING,
               "Unable to read the frame size after a binning change; the region of interest stays as it was");
        return;
    }
    std::lock_guard<std::mutex> lock (priv->region_mutex);
    if (priv->region_fixed)
        return; /* a start took the region meanwhile and checked it against this frame */
    priv->roi_width = std::min (priv->roi_width, max_roi_size.width);
    priv->roi_height = std::min (priv->roi_height, max_roi_size.height);
}

void
uca_tessaravolt_camera_warn (const std::vector<std::string> &warnings)
{
    for (const std::string &warning : warnings)
        g_log (nullptr, G_LOG_LEVEL_WARNING, "%s", warning.c_str ());
}

static void
set_correction_switch (UcaTessaraVoltCameraPrivate *priv, guint property_id, const GValue *value)
{
    TessaraVolt::CorrectionSwitches switches = priv->corrector.getSwitches ();

    switch (property_id) {
        case PROP_OFFSET_CORRECTION:
            switches.offset = g_value_get_boolean (value);
            break;
        case PROP_GAIN_CORRECTION:
            switches.gain = g_value_get_boolean (value);
            break;
        case PROP_DEFECT_CORRECTION:
            switches.defects = g_value_get_boolean (value);
            break;
        default:
            switches.pedestal = static_cast<uint16_t> (g_value_get_uint (value));
            break;
    }
    uca_tessaravolt_camera_warn (priv->corrector.setSwitches (switches));
}

/* The settings the next start will send; the timer may lengthen the exposure then. */
static TessaraVolt::CalibrationKey
current_settings (const UcaTessaraVoltCameraPrivate *priv, const TessaraVolt::Detector *detector)
{
    const std::chrono::duration<double, std::micro> exposure =
        detector ? detector->getExposureTime () : TessaraVolt::Detector::defaultExposure;

    return TessaraVolt::CalibrationKey{ std::llround (exposure.count ()), detector ? detector->getGain () : 0u,
                                        detector ? std::max (detector->getBinning (), 1u) : 1u, get_region (priv),
                                        detector ? detector->getTriggerMode () : 0 };
}

void
uca_tessaravolt_camera_apply_property (GObject *object, guint property_id, const GValue *value, GParamSpec *pspec)
{
    UcaTessaraVoltCameraPrivate *priv = get_private (object);
    TessaraVolt::Detector &detector = priv->readout->getDetector ();

    switch (property_id) {
        case PROP_SENSOR_HORIZONTAL_BINNING:
        case PROP_SENSOR_VERTICAL_BINNING:
            set_binning (priv, g_value_get_uint (value), pspec);
            break;
        case PROP_TRIGGER_SOURCE:
            detector.setTriggerMode (trigger_mode_from_source (g_value_get_enum (value)));
            break;
        case PROP_EXPOSURE_TIME:
            detector.setExposureTime (std::chrono::duration<double> (g_value_get_double (value)));
            break;
        case PROP_ROI_X:
        case PROP_ROI_Y:
        case PROP_ROI_WIDTH:
        case PROP_ROI_HEIGHT:
            set_region (priv, property_id, g_value_get_uint (value), pspec);
            break;
        case PROP_GAIN:
            detector.setGain (g_value_get_uint (value));
            break;
        case PROP_GRAB_FROM_CONTINUOUS:
            priv->grab_from_continuous = g_value_get_boolean (value);
            break;
        case PROP_FRAME_TIMEOUT:
            detector.setFrameTimeout (std::chrono::duration<double> (g_value_get_double (value)));
            break;
        case PROP_OFFSET_CORRECTION:
        case PROP_GAIN_CORRECTION:
        case PROP_DEFECT_CORRECTION:
        case PROP_CORRECTION_PEDESTAL:
            set_correction_switch (priv, property_id, value);
            break;
        case PROP_CALIBRATION_FILE: {
            const gchar *path = g_value_get_string (value);
            uca_tessaravolt_camera_warn (priv->corrector.setCalibrationPath (
                path ? path : "", TessaraVolt::FrameSize{ priv->sensor_width, priv->sensor_height }));
            break;
        }
        case PROP_SKIP_FRAMES:
            priv->skip_frames = g_value_get_uint (value);
            break;
        default:
            G_OBJECT_WARN_INVALID_PROPERTY_ID (object, property_id, pspec);
            break;
    }
}

void
uca_tessaravolt_camera_set_property (GObject *object, guint property_id, const GValue *value, GParamSpec *pspec)
{
    g_return_if_fail (UCA_IS_TESSARAVOLT_CAMERA (object));
    UcaTessaraVoltCameraPrivate *priv = get_private (object);

    if (uca_camera_is_recording (UCA_CAMERA (object)) &&
        !uca_camera_is_writable_during_acquisition (UCA_CAMERA (object), pspec->name)) {
        warn_recording (pspec);
        return;
    }

    /* Construction properties arrive before initialisation has found the detector. */
    if (!priv->readout) {
        priv->pending_writes.push_back (pending_write_new (property_id, value, pspec));
        return;
    }

    uca_tessaravolt_camera_apply_property (object, property_id, value, pspec);
}

static gdouble
exposure_seconds (const TessaraVolt::Detector *detector)
{
    const std::chrono::duration<double> exposure =
        detector ? detector->getExposureTime () : TessaraVolt::Detector::defaultExposure;

    return exposure.count ();
}

static gdouble
frame_timeout_seconds (const TessaraVolt::Detector *detector)
{
    return (detector ? detector->getFrameTimeout () : TessaraVolt::Detector::defaultFrameTimeout).count ();
}

/* Without a detector (no initialisation, or a failed one) the detector's values read as their
 * defaults: listings and libuca's own frames-per-second read must still work. */
void
uca_tessaravolt_camera_get_property (GObject *object, guint property_id, GValue *value, GParamSpec *pspec)
{
    const UcaTessaraVoltCameraPrivate *priv = get_private (object);
    const TessaraVolt::Detector *detector = get_detector (priv);

    switch (property_id) {
        case PROP_NAME:
            g_value_set_string (value, camera_name);
            break;
        case PROP_SENSOR_WIDTH:
            g_value_set_uint (value, priv->sensor_width);
            break;
        case PROP_SENSOR_HEIGHT:
            g_value_set_uint (value, priv->sensor_height);
            break;
        case PROP_SENSOR_PIXEL_WIDTH:
        case PROP_SENSOR_PIXEL_HEIGHT:
            g_value_set_double (value, pixel_size_in_meters);
            break;
        case PROP_SENSOR_BITDEPTH:
            g_value_set_uint (value, bits_per_pixel);
            break;
        case PROP_SENSOR_HORIZONTAL_BINNING:
        case PROP_SENSOR_VERTICAL_BINNING:
            /* The detector reports 0 until binning is first set; the sensor then runs unbinned. */
            g_value_set_uint (value, std::max (detector ? detector->getBinning () : 0u, 1u));
            break;
        case PROP_TRIGGER_SOURCE:
            g_value_set_enum (value, trigger_source_from_mode (detector ? detector->getTriggerMode () : 0));
            break;
        case PROP_EXPOSURE_TIME:
            g_value_set_double (value, exposure_seconds (detector));
            break;
        case PROP_ROI_X:
        case PROP_ROI_Y:
        case PROP_ROI_WIDTH:
        case PROP_ROI_HEIGHT:
            g_value_set_uint (value, get_region (priv, property_id));
            break;
        case PROP_HAS_STREAMING:
            g_value_set_boolean (value, TRUE);
            break;
        case PROP_HAS_CAMRAM_RECORDING:
            g_value_set_boolean (value, FALSE);
            break;
        case PROP_GAIN:
            g_value_set_uint (value, detector ? detector->getGain () : 0u);
            break;
        case PROP_GRAB_FROM_CONTINUOUS:
            g_value_set_boolean (value, priv->grab_from_continuous);
            break;
        case PROP_FRAME_TIMEOUT:
            g_value_set_double (value, frame_timeout_seconds (detector));
            break;
        case PROP_OFFSET_CORRECTION:
            g_value_set_boolean (value, priv->corrector.getSwitches ().offset);
            break;
        case PROP_GAIN_CORRECTION:
            g_value_set_boolean (value, priv->corrector.getSwitches ().gain);
            break;
        case PROP_DEFECT_CORRECTION:
            g_value_set_boolean (value, priv->corrector.getSwitches ().defects);
            break;
        case PROP_CORRECTION_PEDESTAL:
            g_value_set_uint (value, priv->corrector.getSwitches ().pedestal);
            break;
        case PROP_CALIBRATION_FILE: {
            const std::string path = priv->corrector.getCalibrationPath ();
            g_value_set_string (value, path.empty () ? nullptr : path.c_str ());
            break;
        }
        case PROP_CALIBRATION_STATUS:
            g_value_set_string (value, priv->corrector.getStatus (current_settings (priv, detector)).c_str ());
            break;
        case PROP_SKIP_FRAMES:
            g_value_set_uint (value, priv->skip_frames);
            break;
        default:
            G_OBJECT_WARN_INVALID_PROPERTY_ID (object, property_id, pspec);
            break;
    }
}
