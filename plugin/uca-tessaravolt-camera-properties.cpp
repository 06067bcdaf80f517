// SPDX-License-Identifier: LGPL-2.1-or-later
/* The camera's properties: writes go to the detector or the region of interest (or wait for the
 * detector while it is being created), reads answer from them. Client's thread only. */
#include "uca-tessaravolt-camera-private.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>
#include <memory>
#include <optional>
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

static TessaraVolt::TriggerMode
trigger_mode_from_source (gint source)
{
    switch (source) {
        case UCA_CAMERA_TRIGGER_SOURCE_SOFTWARE:
            return TessaraVolt::TriggerMode::Software;
        case UCA_CAMERA_TRIGGER_SOURCE_EXTERNAL:
            return TessaraVolt::TriggerMode::External;
        default:
            return TessaraVolt::TriggerMode::Timer;
    }
}

static UcaCameraTriggerSource
trigger_source_from_mode (TessaraVolt::TriggerMode mode)
{
    switch (mode) {
        case TessaraVolt::TriggerMode::Software:
            return UCA_CAMERA_TRIGGER_SOURCE_SOFTWARE;
        case TessaraVolt::TriggerMode::External:
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
    TessaraVolt::Corrector &corrector = priv->corrector;
    TessaraVolt::CorrectionSwitches switches = corrector.getSwitches ();

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
    uca_tessaravolt_camera_warn (corrector.setSwitches (switches));
}

/* The settings of the acquisition in force, or while none runs the forecast of the next start's,
 * made by the same rule. Null without a detector. */
static std::shared_ptr<const TessaraVolt::AppliedRecording>
settings_in_force (const UcaTessaraVoltCameraPrivate *priv)
{
    if (!priv->readout)
        return nullptr;
    if (std::shared_ptr<const TessaraVolt::AppliedRecording> applied = priv->readout->getApplied ())
        return applied;
    return std::make_shared<const TessaraVolt::AppliedRecording> (TessaraVolt::AppliedRecording{
        priv->readout->getDetector ().forecastSettings (), get_region (priv), priv->skip_frames });
}

/* The calibration key of the next start, for the idle forecasts; unset with the reason where a
 * setting cannot be known. */
static std::optional<TessaraVolt::CalibrationKey>
next_key (const UcaTessaraVoltCameraPrivate *priv, std::string &unknown)
{
    const std::shared_ptr<const TessaraVolt::AppliedRecording> next = settings_in_force (priv);

    return TessaraVolt::calibrationKeyOf (next->settings, next->region, unknown);
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

/* What the frames of the acquisition in force get, or while none runs the forecast for the
 * next start's: the one place the settings in force are worked out for a read. */
static void
get_in_force_property (const UcaTessaraVoltCameraPrivate *priv, guint property_id, GValue *value)
{
    const TessaraVolt::Corrector &corrector = priv->corrector;
    std::string unknown;
    const std::optional<TessaraVolt::CalibrationKey> next =
        priv->readout ? next_key (priv, unknown) : std::optional<TessaraVolt::CalibrationKey>{};

    switch (property_id) {
        case PROP_CALIBRATION_STATUS:
            g_value_set_string (value, corrector.getStatus (next, unknown).c_str ());
            break;
        case PROP_CORRECTIONS_APPLIED:
            g_value_set_string (value, corrector.getInForce (next).corrections.c_str ());
            break;
        case PROP_CALIBRATION_IN_USE:
            g_value_set_string (value, corrector.getInForce (next).calibrationPath.c_str ());
            break;
        default:
            g_value_set_string (value, corrector.getInForce (next).calibrationStartTime.c_str ());
            break;
    }
}

/* `values` as a GBytes of their little-endian bytes, without a copy on little-endian hosts; NULL
 * when empty. */
template <typename T>
static GBytes *
little_endian_bytes (std::vector<T> values)
{
    static_assert (sizeof (T) == sizeof (guint32), "words of 32 bits");
    if (values.empty ())
        return nullptr;
    if (G_BYTE_ORDER == G_BIG_ENDIAN) {
        for (T &value : values) {
            guint32 word;
            memcpy (&word, &value, sizeof word);
            word = GUINT32_TO_LE (word);
            memcpy (&value, &word, sizeof word);
        }
    }
    auto owner = std::make_unique<std::vector<T>> (std::move (values));
    const gsize size = owner->size () * sizeof (T);
    const gpointer data = owner->data ();
    return g_bytes_new_with_free_func (
        data, size, [] (gpointer vector) { std::unique_ptr<std::vector<T>> (static_cast<std::vector<T> *> (vector)); },
        owner.release ());
}

/* The maps the frames of the acquisition in force are corrected with: answered from the record
 * calibration-in-use and corrections-applied read while recording, never forecast. */
static void
get_applied_map_property (const UcaTessaraVoltCameraPrivate *priv, guint property_id, GValue *value)
{
    const bool flatfield = property_id == PROP_CALIBRATION_FLATFIELD;
    TessaraVolt::AppliedMaps maps = priv->corrector.getAppliedMaps (flatfield, !flatfield);

    if (flatfield)
        g_value_take_boxed (value, little_endian_bytes (std::move (maps.flatfield)));
    else
        g_value_take_boxed (value, little_endian_bytes (std::move (maps.pixelMask)));
}

/* The cycle in force, or the forecast of the next start's; unknown (a refused timer) reads 0. */
static gdouble
frame_time_seconds (const UcaTessaraVoltCameraPrivate *priv)
{
    const std::shared_ptr<const TessaraVolt::AppliedRecording> in_force = settings_in_force (priv);

    if (!in_force)
        return TessaraVolt::Detector::defaultExposure.count () / 1e6;
    return std::chrono::duration<double> (in_force->settings.cycle.value_or (std::chrono::microseconds::zero ()))
        .count ();
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
            g_value_set_enum (value, trigger_source_from_mode (detector ? detector->getTriggerMode ()
                                                                        : TessaraVolt::TriggerMode::Timer));
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
        case PROP_CORRECTIONS_APPLIED:
        case PROP_CALIBRATION_IN_USE:
        case PROP_CALIBRATION_START_TIME:
            get_in_force_property (priv, property_id, value);
            break;
        case PROP_CALIBRATION_FLATFIELD:
        case PROP_CALIBRATION_PIXEL_MASK:
            get_applied_map_property (priv, property_id, value);
            break;
        case PROP_SKIP_FRAMES:
            g_value_set_uint (value, priv->skip_frames);
            break;
        case PROP_FRAME_TIME:
            g_value_set_double (value, frame_time_seconds (priv));
            break;
        default:
            G_OBJECT_WARN_INVALID_PROPERTY_ID (object, property_id, pspec);
            break;
    }
}
