// SPDX-License-Identifier: LGPL-2.1-or-later
/* The libuca camera for the TessaraVolt flat-panel detector.
 *
 * Threads: client threads run creation, properties, start and stop of recording, trigger and
 * grab (libuca serialises start, stop and unbuffered grabs, but not trigger and the buffered read
 * thread's grab; the readout is safe either way); XISL's callback thread runs the frame
 * consumers, one frame at a time. */
#include "uca-tessaravolt-camera-private.h"

#include <gio/gio.h>

#include <chrono>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <new>
#include <stdexcept>
#include <utility>
#include <vector>

#include "discovery.h"

namespace {

/* The base properties this camera answers itself; 0 ends the list. */
const guint overridden_properties[] = {
    PROP_NAME,
    PROP_SENSOR_WIDTH,
    PROP_SENSOR_HEIGHT,
    PROP_SENSOR_PIXEL_WIDTH,
    PROP_SENSOR_PIXEL_HEIGHT,
    PROP_SENSOR_BITDEPTH,
    PROP_SENSOR_HORIZONTAL_BINNING,
    PROP_SENSOR_VERTICAL_BINNING,
    PROP_TRIGGER_SOURCE,
    PROP_EXPOSURE_TIME,
    PROP_ROI_X,
    PROP_ROI_Y,
    PROP_ROI_WIDTH,
    PROP_ROI_HEIGHT,
    PROP_HAS_STREAMING,
    PROP_HAS_CAMRAM_RECORDING,
    0,
};

GParamSpec *tessaravolt_properties[N_PROPERTIES] = { nullptr };

/* Each skipped frame of a single-frame grab is an acquisition of its own. */
const guint max_skip_frames = 1000;

} // namespace

static gpointer uca_tessaravolt_camera_parent_class = nullptr;

static void uca_tessaravolt_camera_init (UcaTessaraVoltCamera *self);
static void uca_tessaravolt_camera_class_init (UcaTessaraVoltCameraClass *klass);
static void uca_tessaravolt_camera_initable_iface_init (GInitableIface *iface);

static void
uca_tessaravolt_camera_class_intern_init (gpointer klass)
{
    uca_tessaravolt_camera_parent_class = g_type_class_peek_parent (klass);
    uca_tessaravolt_camera_class_init (static_cast<UcaTessaraVoltCameraClass *> (klass));
}

GType
uca_tessaravolt_camera_get_type (void)
{
    static gsize type_id = 0;

    if (g_once_init_enter (&type_id)) {
        const GType new_type = g_type_register_static_simple (
            uca_camera_get_type (), g_intern_static_string ("UcaTessaraVoltCamera"),
            sizeof (UcaTessaraVoltCameraClass),
            (GClassInitFunc) (void (*) (void)) uca_tessaravolt_camera_class_intern_init,
            sizeof (UcaTessaraVoltCamera),
            (GInstanceInitFunc) (void (*) (void)) uca_tessaravolt_camera_init,
            (GTypeFlags) 0);
        const GInterfaceInfo initable_info = {
            (GInterfaceInitFunc) (void (*) (void)) uca_tessaravolt_camera_initable_iface_init,
            nullptr,
            nullptr,
        };
        g_type_add_interface_static (new_type, G_TYPE_INITABLE, &initable_info);
        g_once_init_leave (&type_id, new_type);
    }

    return type_id;
}

GType
camera_plugin_get_type (void)
{
    return uca_tessaravolt_camera_get_type ();
}

/* A camera made with a plain g_object_new, or whose initialisation failed, has none. */
static gboolean
has_detector (const UcaTessaraVoltCameraPrivate *priv, GError **error)
{
    if (priv->readout)
        return TRUE;

    g_set_error_literal (error, UCA_CAMERA_ERROR, UCA_CAMERA_ERROR_NOT_FOUND,
                         "The camera has no detector: its initialisation did not succeed");
    return FALSE;
}

/* Region writes are taken again once no mode copies the region. */
static void
release_region (UcaTessaraVoltCameraPrivate *priv)
{
    std::lock_guard<std::mutex> lock (priv->region_mutex);
    priv->region_fixed = false;
}

static void
set_region_error (const UcaTessaraVoltCameraPrivate *priv, const TessaraVolt::Region &region, GError **error)
{
    const TessaraVolt::FrameSize frame = get_detector (priv)->getFrameSize ();

    g_set_error (error, UCA_CAMERA_ERROR, UCA_CAMERA_ERROR_DEVICE,
                 "Region of interest %ux%u at (%u, %u) does not fit into the %ux%u frame", region.width, region.height,
                 region.x0, region.y0, frame.width, frame.height);
}

/* Asynchronous transfer: runs on XISL's callback thread for every frame, with its region. libuca's
 * grab callback as it was at start is called, so a later uca_camera_set_grab_func cannot race
 * with delivery. The callback may stop the recording or drop the last reference to the camera:
 * nothing of the camera is touched here, and the buffer stays valid until it returns. */
static std::function<void (uint16_t *)>
make_transfer (UcaCamera *camera)
{
    UcaCameraGrabFunc func = camera->grab_func;
    gpointer user_data = camera->user_data;

    return [func, user_data] (uint16_t *region) { func (region, user_data); };
}

/* Without this, a start XISL refused would look like a detector that never sends a frame. */
static gboolean
detector_accepted (XislStatus status, const gchar *action, GError **error)
{
    if (status == 0)
        return TRUE;

    if (status == TessaraVolt::driverBusy)
        g_set_error (error, UCA_CAMERA_ERROR, UCA_CAMERA_ERROR_RECORDING,
                     "The detector cannot %s while another acquisition runs", action);
    else if (status == TessaraVolt::driverFrameTooLarge)
        g_set_error (error, UCA_CAMERA_ERROR, UCA_CAMERA_ERROR_DEVICE,
                     "The detector cannot %s: its frames are too large", action);
    else
        g_set_error (error, UCA_CAMERA_ERROR, UCA_CAMERA_ERROR_DEVICE, "The detector refused to %s (XISL status %u)",
                     action, status);
    return FALSE;
}

static TessaraVolt::ReadoutMode
chosen_readout_mode (UcaCamera *camera, const UcaTessaraVoltCameraPrivate *priv)
{
    gboolean transfer_async = FALSE;

    g_object_get (camera, "transfer-asynchronously", &transfer_async, nullptr);

    if (transfer_async)
        return TessaraVolt::ReadoutMode::Transfer;
    return priv->grab_from_continuous ? TessaraVolt::ReadoutMode::Stream : TessaraVolt::ReadoutMode::SingleFrames;
}

static void
uca_tessaravolt_camera_start_recording (UcaCamera *camera, GError **error)
{
    g_return_if_fail (UCA_IS_TESSARAVOLT_CAMERA(camera));
    UcaTessaraVoltCameraPrivate *priv = get_private (camera);

    if (!has_detector (priv, error))
        return;

    const TessaraVolt::ReadoutMode mode = chosen_readout_mode (camera, priv);

    if (mode == TessaraVolt::ReadoutMode::Transfer && camera->grab_func == nullptr) {
        g_set_error_literal (error, UCA_CAMERA_ERROR, UCA_CAMERA_ERROR_NO_GRAB_FUNC, "No grab callback function set");
        return;
    }

    /* Taken and fixed here, and checked against the frame in the readout's set-up: writes from
     * other threads during the start are refused from now on, and a binning change that came
     * first shows in the frame the set-up finds. An empty region would let grabs "succeed"
     * without writing a pixel. */
    TessaraVolt::Recording recording;
    {
        std::lock_guard<std::mutex> lock (priv->region_mutex);
        priv->region_fixed = true;
        recording.region = TessaraVolt::Region{ priv->roi_x0, priv->roi_y0, priv->roi_width, priv->roi_height };
    }
    recording.framesToSkip = priv->skip_frames;
    recording.correction = &priv->corrector;
    if (mode == TessaraVolt::ReadoutMode::Transfer)
        recording.onTransfer = make_transfer (camera);
    const TessaraVolt::Region region = recording.region;
    std::vector<std::string> warnings;
    const XislStatus status = priv->readout->startRecording (mode, std::move (recording), warnings);

    uca_tessaravolt_camera_warn (warnings);
    if (status == 0)
        return;
    if (status == TessaraVolt::driverRegionOutside)
        set_region_error (priv, region, error);
    else
        detector_accepted (status, "start recording", error);
    release_region (priv);
}

/* A refused abort leaves the stream running: the caller learns it, and the camera stays
 * recording, since frames still arrive. */
static void
uca_tessaravolt_camera_stop_recording (UcaCamera *camera, GError **error)
{
    g_return_if_fail (UCA_IS_TESSARAVOLT_CAMERA(camera));
    UcaTessaraVoltCameraPrivate *priv = get_private (camera);

    if (priv->readout && detector_accepted (priv->readout->stop (), "stop its acquisition", error))
        release_region (priv);
}

static gboolean
frame_arrived (TessaraVolt::FrameWait status, const UcaTessaraVoltCameraPrivate *priv,
               std::chrono::steady_clock::time_point began, GError **error)
{
    switch (status) {
        case TessaraVolt::FrameWait::Arrived:
            return TRUE;
        case TessaraVolt::FrameWait::TimedOut: {
            const auto waited =
                std::chrono::duration_cast<std::chrono::milliseconds> (std::chrono::steady_clock::now () - began);
            /* The order that works is not obvious: say it where the other one fails. */
            const gboolean lost_trigger =
                priv->readout->getMode () == TessaraVolt::ReadoutMode::SingleFrames &&
                priv->readout->getDetector ().getTriggerMode () == TessaraVolt::TriggerMode::Software;

            g_set_error (error, UCA_CAMERA_ERROR, UCA_CAMERA_ERROR_TIMEOUT, "No frame arrived within %lld ms%s",
                         static_cast<long long> (waited.count ()),
                         lost_trigger ? " (with single frames, a software trigger counts only while a grab waits)"
                                      : "");
            return FALSE;
        }
        case TessaraVolt::FrameWait::Refused:
            g_set_error_literal (error, UCA_CAMERA_ERROR, UCA_CAMERA_ERROR_DEVICE,
                                 "The detector refused to acquire a frame");
            return FALSE;
        case TessaraVolt::FrameWait::Transferring:
            g_set_error_literal (error, UCA_CAMERA_ERROR, UCA_CAMERA_ERROR_RECORDING,
                                 "Frames go to the grab callback while transfer-asynchronously is on");
            return FALSE;
        case TessaraVolt::FrameWait::NotRecording:
            g_set_error_literal (error, UCA_CAMERA_ERROR, UCA_CAMERA_ERROR_NOT_RECORDING, "Camera is not recording");
            return FALSE;
        case TessaraVolt::FrameWait::Cancelled:
            break;
    }

    g_set_error_literal (error, UCA_CAMERA_ERROR, UCA_CAMERA_ERROR_NOT_RECORDING,
                         "Recording stopped while waiting for a frame");
    return FALSE;
}

/* The region of interest goes straight from the acquisition buffer into the caller's buffer, on
 * XISL's thread while this grab waits: one whole-frame copy less than going through a buffer of
 * the driver's, made by the thread that has the frame in its cache. */
static gboolean
uca_tessaravolt_camera_grab (UcaCamera *camera, gpointer data, GError **error)
{
    g_return_val_if_fail (UCA_IS_TESSARAVOLT_CAMERA (camera), FALSE);
    UcaTessaraVoltCameraPrivate *priv = get_private (camera);
    auto *destination = static_cast<uint16_t *> (data);

    if (!priv->readout)
        return frame_arrived (TessaraVolt::FrameWait::NotRecording, priv, {}, error);

    const auto began = std::chrono::steady_clock::now ();

    return frame_arrived (priv->readout->grabInto (destination), priv, began, error);
}

static void
uca_tessaravolt_camera_trigger (UcaCamera *camera, GError **error)
{
    g_return_if_fail (UCA_IS_TESSARAVOLT_CAMERA(camera));
    TessaraVolt::Detector *detector = get_detector (get_private (camera));

    if (!detector) {
        g_log (nullptr, G_LOG_LEVEL_WARNING, "Trigger ignored: the camera has no detector");
        return;
    }
    detector_accepted (detector->trigger (), "take the trigger", error);
}

/* Keeps the first detector found; the others are closed when the vector goes. */
static std::unique_ptr<TessaraVolt::Detector>
open_first_detector (void)
{
    std::vector<std::unique_ptr<TessaraVolt::Detector>> all = TessaraVolt::findDetectors ();

    if (all.empty ())
        throw std::runtime_error ("No cameras available. Check your driver and hardware installation.");

    return std::move (all.front ());
}

static void
replay_pending_writes (GObject *object, UcaTessaraVoltCameraPrivate *priv)
{
    std::vector<PendingWrite> writes = std::move (priv->pending_writes);

    for (const PendingWrite &write : writes)
        uca_tessaravolt_camera_apply_property (object, write.property_id, write.value.get (), write.pspec);
}

static gboolean
uca_tessaravolt_camera_initable_init (GInitable *self, GCancellable *, GError **error)
{
    g_return_val_if_fail (UCA_IS_TESSARAVOLT_CAMERA(self), FALSE);
    UcaTessaraVoltCameraPrivate *priv = get_private (self);

    /* GInitable allows a second call; it must not open the detector again. */
    if (priv->readout)
        return TRUE;

    try {
        priv->readout = std::make_unique<TessaraVolt::Readout> (open_first_detector ());
    }
    catch (const std::exception &e) {
        g_set_error_literal (error, UCA_CAMERA_ERROR, UCA_CAMERA_ERROR_NOT_FOUND, e.what ());
        return FALSE;
    }

    const TessaraVolt::FrameSize image_size = priv->readout->getDetector ().getFrameSize ();

    /* A failed header read gives 0 x 0: no camera rather than one without pixels. */
    if (image_size.width == 0 || image_size.height == 0) {
        priv->readout.reset ();
        g_set_error_literal (error, UCA_CAMERA_ERROR, UCA_CAMERA_ERROR_NOT_FOUND, "Unable to get hardware header info");
        return FALSE;
    }
    priv->roi_x0 = 0;
    priv->roi_y0 = 0;
    priv->sensor_width = priv->roi_width = image_size.width;
    priv->sensor_height = priv->roi_height = image_size.height;

    replay_pending_writes (G_OBJECT (self), priv);
    return TRUE;
}

static void
uca_tessaravolt_camera_initable_iface_init (GInitableIface *iface)
{
    iface->init = uca_tessaravolt_camera_initable_init;
}

static void
uca_tessaravolt_camera_dispose (GObject *object)
{
    /* The parent stops a recording camera, but the detector may refuse the stop and go on
     * delivering, and a stop from the grab callback may still be under way. The readout's close
     * releases waiting grabs and ends every callback while the readout is still there for what
     * such a callback calls; only then does it go. Done here, while a consumer may still read the
     * camera, not once it is being finalised. */
    G_OBJECT_CLASS (uca_tessaravolt_camera_parent_class)->dispose (object);
    UcaTessaraVoltCameraPrivate *priv = get_private (object);

    if (priv->readout) {
        priv->readout->close ();
        priv->readout.reset ();
    }
}

static void
uca_tessaravolt_camera_finalize (GObject *object)
{
    UcaTessaraVoltCameraPrivate *priv = get_private (object);

    priv->~UcaTessaraVoltCameraPrivate ();

    G_OBJECT_CLASS (uca_tessaravolt_camera_parent_class)->finalize (object);
}

static void
uca_tessaravolt_camera_class_init (UcaTessaraVoltCameraClass *klass)
{
    GObjectClass *object_class = G_OBJECT_CLASS (klass);
    UcaCameraClass *camera_class = UCA_CAMERA_CLASS (klass);

    object_class->set_property = uca_tessaravolt_camera_set_property;
    object_class->get_property = uca_tessaravolt_camera_get_property;
    object_class->dispose = uca_tessaravolt_camera_dispose;
    object_class->finalize = uca_tessaravolt_camera_finalize;

    camera_class->start_recording = uca_tessaravolt_camera_start_recording;
    camera_class->stop_recording = uca_tessaravolt_camera_stop_recording;
    camera_class->grab = uca_tessaravolt_camera_grab;
    camera_class->trigger = uca_tessaravolt_camera_trigger;

    for (guint i = 0; overridden_properties[i] != 0; i++)
        g_object_class_override_property (object_class, overridden_properties[i],
                                          uca_camera_props[overridden_properties[i]]);

    tessaravolt_properties[PROP_GAIN] =
        g_param_spec_uint ("gain", "Camera gain", "Camera gain", 0, 5, 0, G_PARAM_READWRITE);

    tessaravolt_properties[PROP_GRAB_FROM_CONTINUOUS] =
        g_param_spec_boolean ("grab-from-continuous", "Grab from a continuous background stream",
                              "Aquire single frames from a continuous grab instead of scheduling frames upon "
                              "calling grab.This allows faster framerate because of timer issues, but results "
                              "in less control over frame start times,since they are actually recorded "
                              "continuously.",
                              TRUE, G_PARAM_READWRITE);

    tessaravolt_properties[PROP_FRAME_TIMEOUT] =
        g_param_spec_double ("frame-timeout", "Frame time-out in seconds",
                             "How long a grab waits for a software or external trigger, beyond the frame's readout", 0,
                             TessaraVolt::Detector::longestFrameTimeout.count (),
                             TessaraVolt::Detector::defaultFrameTimeout.count (), G_PARAM_READWRITE);

    tessaravolt_properties[PROP_OFFSET_CORRECTION] =
        g_param_spec_boolean ("offset-correction", "Offset correction",
                              "Subtract the dark of the calibration taken with the current settings, and add the "
                              "pedestal",
                              FALSE, G_PARAM_READWRITE);

    tessaravolt_properties[PROP_GAIN_CORRECTION] =
        g_param_spec_boolean ("gain-correction", "Gain correction",
                              "Even out the pixels' response with the flat of the calibration (with "
                              "offset-correction)",
                              FALSE, G_PARAM_READWRITE);

    tessaravolt_properties[PROP_DEFECT_CORRECTION] = g_param_spec_boolean (
        "defect-correction", "Defect correction",
        "Replace the pixels the calibration shows defective by their neighbours' mean", FALSE, G_PARAM_READWRITE);

    tessaravolt_properties[PROP_CORRECTION_PEDESTAL] =
        g_param_spec_uint ("correction-pedestal", "Pedestal of offset-corrected frames",
                           "Counts added once the dark is subtracted, so that noise around the dark does not clip "
                           "at 0",
                           0, G_MAXUINT16, TessaraVolt::CorrectionSwitches{}.pedestal, G_PARAM_READWRITE);

    tessaravolt_properties[PROP_CALIBRATION_FILE] =
        g_param_spec_string ("calibration-file", "Calibration file or folder",
                             "Data Exchange HDF5 file with darks (/exchange/data_dark) and flats "
                             "(/exchange/data_white), or a folder of them; the one taken with the current "
                             "settings serves",
                             nullptr, G_PARAM_READWRITE);

    tessaravolt_properties[PROP_CALIBRATION_STATUS] =
        g_param_spec_string ("calibration-status", "Calibration status",
                             "What calibration is loaded, whether it fits the current settings, and what the "
                             "frames get",
                             nullptr, G_PARAM_READABLE);

    tessaravolt_properties[PROP_SKIP_FRAMES] =
        g_param_spec_uint ("skip-frames", "Frames skipped after each start",
                           "Frames discarded after each start of recording, which carry the panel's lag", 0,
                           max_skip_frames, 0, G_PARAM_READWRITE);

    tessaravolt_properties[PROP_FRAME_TIME] =
        g_param_spec_double ("frame-time", "Frame time in seconds",
                             "The cycle the detector runs in the acquisition in force, as its timer accepted it "
                             "(with a trigger, the exposure time); while not recording, what the next start "
                             "will apply as far as it can be known",
                             0, G_MAXDOUBLE, TessaraVolt::Detector::defaultExposure.count () / 1e6, G_PARAM_READABLE);

    tessaravolt_properties[PROP_CORRECTIONS_APPLIED] =
        g_param_spec_string ("corrections-applied", "Corrections applied",
                             "What the frames of the acquisition in force get: none, or a comma-separated list "
                             "of offset, gain and defects; while not recording, the forecast for the next start",
                             "none", G_PARAM_READABLE);

    tessaravolt_properties[PROP_CALIBRATION_IN_USE] = g_param_spec_string (
        "calibration-in-use", "Calibration in use",
        "The calibration file whose maps correct the frames; empty while they stay raw", "", G_PARAM_READABLE);

    tessaravolt_properties[PROP_CALIBRATION_START_TIME] =
        g_param_spec_string ("calibration-start-time", "Start time of the calibration in use",
                             "When the darks of the calibration in use were taken, as its file says; empty while "
                             "the frames stay raw or the file does not say",
                             "", G_PARAM_READABLE);

    tessaravolt_properties[PROP_CALIBRATION_FLATFIELD] =
        g_param_spec_boxed ("calibration-flatfield", "Flat field applied",
                            "The gain factor each pixel of the frames' region is multiplied with, float32 "
                            "little-endian, row after row, while recording with gain correction applied; NULL "
                            "otherwise",
                            G_TYPE_BYTES, G_PARAM_READABLE);

    tessaravolt_properties[PROP_CALIBRATION_PIXEL_MASK] =
        g_param_spec_boxed ("calibration-pixel-mask", "Pixel mask applied",
                            "The pixels of the frames' region replaced as defective, uint32 little-endian, row "
                            "after row, with NeXus pixel_mask bits (2 under-responding, 3 over-responding, 6 in a "
                            "cluster), while recording with defect correction applied; NULL otherwise",
                            G_TYPE_BYTES, G_PARAM_READABLE);

    for (guint id = PROP_GAIN; id < N_PROPERTIES; id++)
        g_object_class_install_property (object_class, id, tessaravolt_properties[id]);

    /* The corrector swaps the plan for the running acquisition at once. */
    for (guint id : { guint{ PROP_OFFSET_CORRECTION }, guint{ PROP_GAIN_CORRECTION }, guint{ PROP_DEFECT_CORRECTION },
                      guint{ PROP_CORRECTION_PEDESTAL }, guint{ PROP_CALIBRATION_FILE } })
        uca_camera_pspec_set_writable (tessaravolt_properties[id], TRUE);
    uca_camera_pspec_set_writable (g_object_class_find_property (object_class, uca_camera_props[PROP_EXPOSURE_TIME]),
                                   TRUE);

    G_GNUC_BEGIN_IGNORE_DEPRECATIONS
    g_type_class_add_private (klass, sizeof (UcaTessaraVoltCameraPrivate));
    G_GNUC_END_IGNORE_DEPRECATIONS
}

static void
uca_tessaravolt_camera_init (UcaTessaraVoltCamera *self)
{
    gpointer storage = g_type_instance_get_private (reinterpret_cast<GTypeInstance *> (self),
                                                    UCA_TYPE_TESSARAVOLT_CAMERA);

    /* GObject owns the storage; finalisation destroys the record in place. */
    self->priv = new (storage) UcaTessaraVoltCameraPrivate ();
}
