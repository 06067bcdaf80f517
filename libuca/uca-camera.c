/* SPDX-License-Identifier: LGPL-2.1-or-later */
/* UcaCamera: the base class every camera plug-in derives from. It owns the recording
 * state, serialises the slots of all cameras and, in buffered mode, runs a read thread
 * that fills a ring of frames for uca_camera_grab(). The ring and its read thread are in
 * uca-camera-buffer.c, the base properties with their units in uca-camera-properties.c,
 * and the parsing of name=value settings in uca-camera-args.c. */

#include "uca-camera-private.h"

G_DEFINE_TYPE_WITH_PRIVATE (UcaCamera, uca_camera, G_TYPE_OBJECT)

/* One lock shared by all cameras around every slot that touches the device, and one
 * lock per entry point around its whole body: plug-ins may assume their slots never
 * run concurrently. Trigger takes only its own, so it reaches a grab that waits. */
static pthread_mutex_t access_lock = PTHREAD_MUTEX_INITIALIZER;
static pthread_mutex_t start_recording_lock = PTHREAD_MUTEX_INITIALIZER;
static pthread_mutex_t stop_recording_lock = PTHREAD_MUTEX_INITIALIZER;
static pthread_mutex_t start_readout_lock = PTHREAD_MUTEX_INITIALIZER;
static pthread_mutex_t stop_readout_lock = PTHREAD_MUTEX_INITIALIZER;
static pthread_mutex_t trigger_lock = PTHREAD_MUTEX_INITIALIZER;
static pthread_mutex_t grab_lock = PTHREAD_MUTEX_INITIALIZER;
static pthread_mutex_t readout_lock = PTHREAD_MUTEX_INITIALIZER;

GQuark
uca_camera_error_quark (void)
{
    return g_quark_from_static_string ("uca-camera-error-quark");
}

static void
uca_camera_set_property (GObject *object, guint property_id, const GValue *value, GParamSpec *pspec)
{
    UcaCameraPrivate *priv = UCA_CAMERA (object)->priv;

    if (g_atomic_int_get (&priv->is_recording)) {
        g_warning ("You cannot change properties during data acquisition");
        return;
    }

    switch (property_id) {
        case PROP_TRANSFER_ASYNCHRONOUSLY:
            priv->transfer_async = g_value_get_boolean (value);
            break;
        case PROP_TRIGGER_SOURCE:
            priv->trigger_source = g_value_get_enum (value);
            break;
        case PROP_TRIGGER_TYPE:
            priv->trigger_type = g_value_get_enum (value);
            break;
        case PROP_BUFFERED:
            priv->buffered = g_value_get_boolean (value);
            break;
        case PROP_NUM_BUFFERS:
            priv->num_buffers = g_value_get_uint (value);
            break;
        case PROP_FRAMES_PER_SECOND:
            g_object_set (object, "exposure-time", 1.0 / g_value_get_double (value), NULL);
            break;
        default:
            G_OBJECT_WARN_INVALID_PROPERTY_ID (object, property_id, pspec);
            return;
    }
}

static void
get_frames_per_second (GObject *object, GValue *value)
{
    gdouble exposure_time = 0.0;

    g_object_get (object, "exposure-time", &exposure_time, NULL);

    if (exposure_time > 0.0)
        g_value_set_double (value, 1.0 / exposure_time);
    else
        g_warning ("Invalid `::exposure-time' set");
}

static void
uca_camera_get_property (GObject *object, guint property_id, GValue *value, GParamSpec *pspec)
{
    UcaCameraPrivate *priv = UCA_CAMERA (object)->priv;

    switch (property_id) {
        case PROP_IS_RECORDING:
            g_value_set_boolean (value, g_atomic_int_get (&priv->is_recording));
            break;
        case PROP_IS_READOUT:
            g_value_set_boolean (value, g_atomic_int_get (&priv->is_readout));
            break;
        case PROP_TRANSFER_ASYNCHRONOUSLY:
            g_value_set_boolean (value, priv->transfer_async);
            break;
        case PROP_TRIGGER_SOURCE:
            g_value_set_enum (value, priv->trigger_source);
            break;
        case PROP_TRIGGER_TYPE:
            g_value_set_enum (value, priv->trigger_type);
            break;
        case PROP_BUFFERED:
            g_value_set_boolean (value, priv->buffered);
            break;
        case PROP_NUM_BUFFERS:
            g_value_set_uint (value, priv->num_buffers);
            break;
        case PROP_FRAMES_PER_SECOND:
            get_frames_per_second (object, value);
            break;
        case PROP_RECORDED_FRAMES:
            g_value_set_uint (value, 0);
            break;
        case PROP_SENSOR_PIXEL_WIDTH:
        case PROP_SENSOR_PIXEL_HEIGHT:
            g_value_set_double (value, 10e-6);
            break;
        case PROP_SENSOR_HORIZONTAL_BINNING:
        case PROP_SENSOR_VERTICAL_BINNING:
        case PROP_ROI_WIDTH_MULTIPLIER:
        case PROP_ROI_HEIGHT_MULTIPLIER:
            g_value_set_uint (value, 1);
            break;
        default:
            G_OBJECT_WARN_INVALID_PROPERTY_ID (object, property_id, pspec);
            break;
    }
}

static void
uca_camera_constructed (GObject *object)
{
    UcaCameraPrivate *priv = UCA_CAMERA (object)->priv;
    gboolean is_recording = FALSE;
    gboolean is_readout = FALSE;

    G_OBJECT_CLASS (uca_camera_parent_class)->constructed (object);

    /* A subclass may find its device already recording. */
    g_object_get (object, "is-recording", &is_recording, "is-readout", &is_readout, NULL);
    g_atomic_int_set (&priv->is_recording, is_recording);
    g_atomic_int_set (&priv->is_readout, is_readout);
}

static void
uca_camera_dispose (GObject *object)
{
    UcaCamera *camera = UCA_CAMERA (object);

    if (g_atomic_int_get (&camera->priv->is_recording)) {
        GError *error = NULL;

        uca_camera_stop_recording (camera, &error);

        if (error != NULL) {
            g_warning ("Could not stop recording: %s", error->message);
            g_error_free (error);
        }
    }

    G_OBJECT_CLASS (uca_camera_parent_class)->dispose (object);
}

static void
uca_camera_finalize (GObject *object)
{
    uca_camera_release_base_units (G_OBJECT_GET_CLASS (object));

    uca_ring_destroy (&UCA_CAMERA (object)->priv->ring);

    G_OBJECT_CLASS (uca_camera_parent_class)->finalize (object);
}

static void
uca_camera_class_init (UcaCameraClass *klass)
{
    GObjectClass *oclass = G_OBJECT_CLASS (klass);

    oclass->set_property = uca_camera_set_property;
    oclass->get_property = uca_camera_get_property;
    oclass->constructed = uca_camera_constructed;
    oclass->dispose = uca_camera_dispose;
    oclass->finalize = uca_camera_finalize;

    uca_camera_install_base_properties (oclass);

    klass->start_recording = NULL;
    klass->stop_recording = NULL;
    klass->start_readout = NULL;
    klass->stop_readout = NULL;
    klass->trigger = NULL;
    klass->write = NULL;
    klass->grab = NULL;
    klass->readout = NULL;
}

static void
uca_camera_init (UcaCamera *camera)
{
    UcaCameraPrivate *priv = uca_camera_get_instance_private (camera);

    camera->priv = priv;
    camera->grab_func = NULL;
    camera->user_data = NULL;

    priv->num_buffers = 4;
    priv->trigger_source = UCA_CAMERA_TRIGGER_SOURCE_AUTO;
    priv->trigger_type = UCA_CAMERA_TRIGGER_TYPE_EDGE;
    uca_ring_init (&priv->ring);

    uca_camera_hold_base_units ();
}

void
uca_camera_start_recording (UcaCamera *camera, GError **error)
{
    UcaCameraClass *klass;
    UcaCameraPrivate *priv;
    GError *tmp_error = NULL;
    gboolean started = FALSE;

    g_return_if_fail (UCA_IS_CAMERA (camera));
    klass = UCA_CAMERA_GET_CLASS (camera);
    g_return_if_fail (klass->start_recording != NULL);
    priv = camera->priv;

    pthread_mutex_lock (&start_recording_lock);

    if (g_atomic_int_get (&priv->is_recording)) {
        g_set_error_literal (&tmp_error, UCA_CAMERA_ERROR, UCA_CAMERA_ERROR_RECORDING,
                             "Camera is already recording");
    }
    else if (priv->transfer_async && camera->grab_func == NULL) {
        g_set_error_literal (&tmp_error, UCA_CAMERA_ERROR, UCA_CAMERA_ERROR_NO_GRAB_FUNC,
                             "No grab callback function set");
    }
    else if (priv->buffered && klass->grab == NULL) {
        g_set_error (&tmp_error, UCA_CAMERA_ERROR, UCA_CAMERA_ERROR_NOT_IMPLEMENTED,
                     "`%s' does not provide a `grab' method", G_OBJECT_TYPE_NAME (camera));
    }
    else {
        pthread_mutex_lock (&access_lock);
        klass->start_recording (camera, &tmp_error);

        /* The ring is sized from the region of interest once the camera has started: a camera
         * that takes its region at its start then fills blocks of the size it records, whatever
         * another thread writes meanwhile. */
        if (tmp_error == NULL && priv->buffered && !uca_camera_prepare_buffering (camera, &tmp_error))
            klass->stop_recording (camera, NULL);

        pthread_mutex_unlock (&access_lock);

        if (tmp_error == NULL) {
            if (priv->buffered)
                priv->read_thread = uca_camera_start_read_thread (camera);

            /* Last: a concurrent stop that sees the camera recording finds the thread. */
            g_atomic_int_set (&priv->cancelling_recording, FALSE);
            g_atomic_int_set (&priv->is_readout, FALSE);
            g_atomic_int_set (&priv->is_recording, TRUE);
            started = TRUE;
        }
    }

    pthread_mutex_unlock (&start_recording_lock);

    if (started)
        g_object_notify (G_OBJECT (camera), "is-recording");

    if (tmp_error != NULL)
        g_propagate_error (error, tmp_error);
}

void
uca_camera_stop_recording (UcaCamera *camera, GError **error)
{
    UcaCameraClass *klass;
    UcaCameraPrivate *priv;
    GError *tmp_error = NULL;
    gboolean stopped = FALSE;

    g_return_if_fail (UCA_IS_CAMERA (camera));
    klass = UCA_CAMERA_GET_CLASS (camera);
    g_return_if_fail (klass->stop_recording != NULL);
    priv = camera->priv;

    /* A stop of this camera under way ends the recording already. Waiting for it could wait
     * forever: it may be waiting for the grab callback this call comes from. */
    if (!g_atomic_int_compare_and_exchange (&priv->stopping, FALSE, TRUE)) {
        g_set_error_literal (error, UCA_CAMERA_ERROR, UCA_CAMERA_ERROR_NOT_RECORDING,
                             "Recording is being stopped by another call");
        return;
    }

    pthread_mutex_lock (&stop_recording_lock);

    if (!g_atomic_int_get (&priv->is_recording)) {
        g_set_error_literal (&tmp_error, UCA_CAMERA_ERROR, UCA_CAMERA_ERROR_NOT_RECORDING,
                             "Camera is not recording");
    }
    else {
        g_atomic_int_set (&priv->cancelling_recording, TRUE);

        if (priv->read_thread != NULL) {
            uca_ring_cancel (&priv->ring);
            g_thread_join (priv->read_thread);
            priv->read_thread = NULL;
        }

        pthread_mutex_lock (&access_lock);
        klass->stop_recording (camera, &tmp_error);
        pthread_mutex_unlock (&access_lock);

        /* Also after a failed stop: the read thread is gone, waiting grabs must end. */
        uca_ring_release (&priv->ring);
        g_atomic_int_set (&priv->cancelling_recording, FALSE);

        /* Last: a concurrent start must not allocate the ring before it is released. */
        if (tmp_error == NULL) {
            g_atomic_int_set (&priv->is_readout, FALSE);
            g_atomic_int_set (&priv->is_recording, FALSE);
            stopped = TRUE;
        }
    }

    pthread_mutex_unlock (&stop_recording_lock);
    g_atomic_int_set (&priv->stopping, FALSE);

    if (stopped)
        g_object_notify (G_OBJECT (camera), "is-recording");

    if (tmp_error != NULL)
        g_propagate_error (error, tmp_error);
}

gboolean
uca_camera_is_recording (UcaCamera *camera)
{
    gboolean is_recording = FALSE;

    g_return_val_if_fail (UCA_IS_CAMERA (camera), FALSE);
    g_object_get (camera, "is-recording", &is_recording, NULL);
    return is_recording;
}

gboolean
uca_camera_stopped_recording (UcaCamera *camera)
{
    g_return_val_if_fail (UCA_IS_CAMERA (camera), TRUE);
    return !g_atomic_int_get (&camera->priv->is_recording) ||
           g_atomic_int_get (&camera->priv->cancelling_recording);
}

typedef void (*UcaCameraSlot) (UcaCamera *camera, GError **error);

/* Start and stop of readout: refused while recording, else the slot under the shared lock. */
static void
switch_readout (UcaCamera *camera, UcaCameraSlot slot, pthread_mutex_t *entry_lock,
                gboolean readout, GError **error)
{
    UcaCameraPrivate *priv = camera->priv;
    GError *tmp_error = NULL;

    pthread_mutex_lock (entry_lock);

    if (g_atomic_int_get (&priv->is_recording)) {
        g_set_error_literal (&tmp_error, UCA_CAMERA_ERROR, UCA_CAMERA_ERROR_RECORDING,
                             "Camera is still recording");
    }
    else {
        pthread_mutex_lock (&access_lock);
        slot (camera, &tmp_error);
        pthread_mutex_unlock (&access_lock);

        if (tmp_error == NULL)
            g_atomic_int_set (&priv->is_readout, readout);
    }

    pthread_mutex_unlock (entry_lock);

    if (tmp_error == NULL)
        g_object_notify (G_OBJECT (camera), "is-readout");
    else
        g_propagate_error (error, tmp_error);
}

void
uca_camera_start_readout (UcaCamera *camera, GError **error)
{
    UcaCameraClass *klass;

    g_return_if_fail (UCA_IS_CAMERA (camera));
    klass = UCA_CAMERA_GET_CLASS (camera);
    g_return_if_fail (klass->start_readout != NULL);
    switch_readout (camera, klass->start_readout, &start_readout_lock, TRUE, error);
}

void
uca_camera_stop_readout (UcaCamera *camera, GError **error)
{
    UcaCameraClass *klass;

    g_return_if_fail (UCA_IS_CAMERA (camera));
    klass = UCA_CAMERA_GET_CLASS (camera);
    g_return_if_fail (klass->stop_readout != NULL);
    switch_readout (camera, klass->stop_readout, &stop_readout_lock, FALSE, error);
}

void
uca_camera_trigger (UcaCamera *camera, GError **error)
{
    UcaCameraClass *klass;

    g_return_if_fail (UCA_IS_CAMERA (camera));
    klass = UCA_CAMERA_GET_CLASS (camera);
    g_return_if_fail (klass->trigger != NULL);

    pthread_mutex_lock (&trigger_lock);

    if (!g_atomic_int_get (&camera->priv->is_recording))
        g_set_error_literal (error, UCA_CAMERA_ERROR, UCA_CAMERA_ERROR_NOT_RECORDING,
                             "Camera is not recording");
    else
        klass->trigger (camera, error);

    pthread_mutex_unlock (&trigger_lock);
}

/**
 * uca_camera_write:
 * @camera: A #UcaCamera
 * @name: What the data is, as the camera understands it
 * @data: (array length=size) (element-type guint8): The bytes to write
 * @size: Number of bytes in @data
 * @error: Location for a #GError, or %NULL
 *
 * Hands arbitrary data to cameras that accept it.
 */
void
uca_camera_write (UcaCamera *camera, const gchar *name, gpointer data, gsize size, GError **error)
{
    UcaCameraClass *klass;

    g_return_if_fail (UCA_IS_CAMERA (camera));
    klass = UCA_CAMERA_GET_CLASS (camera);

    if (klass->write == NULL) {
        g_set_error (error, UCA_CAMERA_ERROR, UCA_CAMERA_ERROR_NOT_IMPLEMENTED,
                     "`%s' does not provide a `write' method", G_OBJECT_TYPE_NAME (camera));
        return;
    }

    klass->write (camera, name, data, size, error);
}

static gboolean
grab_unbuffered (UcaCamera *camera, gpointer data, GError **error)
{
    UcaCameraPrivate *priv = camera->priv;
    gboolean result;

    if (!g_atomic_int_get (&priv->is_recording) && !g_atomic_int_get (&priv->is_readout)) {
        g_set_error_literal (error, UCA_CAMERA_ERROR, UCA_CAMERA_ERROR_NOT_RECORDING,
                             "Camera is neither recording nor in readout mode");
        return FALSE;
    }

    pthread_mutex_lock (&access_lock);
    result = UCA_CAMERA_GET_CLASS (camera)->grab (camera, data, error);
    pthread_mutex_unlock (&access_lock);
    return result;
}

/**
 * uca_camera_grab:
 * @camera: A #UcaCamera
 * @data: (type guintptr): Address of a buffer for one frame: roi-width × roi-height pixels of
 *   1 byte (sensor-bitdepth up to 8) or 2 bytes. Must not be 0.
 * @error: Location for a #GError, or %NULL
 *
 * Copies the next frame into @data. The buffer is trusted as it is: nothing can check its
 * size, so callers (also through introspection, which passes a bare address) must make it
 * large enough and keep it alive until this returns.
 *
 * Returns: %TRUE when a frame was written into @data
 */
gboolean
uca_camera_grab (UcaCamera *camera, gpointer data, GError **error)
{
    gboolean result;

    g_return_val_if_fail (UCA_IS_CAMERA (camera), FALSE);
    g_return_val_if_fail (data != NULL, FALSE);
    g_return_val_if_fail (camera->priv->buffered || UCA_CAMERA_GET_CLASS (camera)->grab != NULL, FALSE);

    pthread_mutex_lock (&grab_lock);

    if (camera->priv->buffered)
        result = uca_ring_take (&camera->priv->ring, data, error);
    else
        result = grab_unbuffered (camera, data, error);

    pthread_mutex_unlock (&grab_lock);
    return result;
}

/**
 * uca_camera_readout:
 * @camera: A #UcaCamera
 * @data: (type guintptr): Address of a buffer for one frame, as for uca_camera_grab()
 * @index: Number of the frame in the camera's memory
 * @error: Location for a #GError, or %NULL
 *
 * Copies a frame recorded in the camera's memory into @data, which is trusted as in
 * uca_camera_grab().
 *
 * Returns: %TRUE when a frame was written into @data
 */
gboolean
uca_camera_readout (UcaCamera *camera, gpointer data, guint index, GError **error)
{
    UcaCameraClass *klass;
    UcaCameraPrivate *priv;
    gboolean result = FALSE;

    g_return_val_if_fail (UCA_IS_CAMERA (camera), FALSE);
    klass = UCA_CAMERA_GET_CLASS (camera);
    g_return_val_if_fail (klass->readout != NULL, FALSE);
    priv = camera->priv;

    pthread_mutex_lock (&readout_lock);

    if (priv->buffered) {
        g_set_error_literal (error, UCA_CAMERA_ERROR, UCA_CAMERA_ERROR_RECORDING,
                             "Cannot grab specific frame in buffered mode");
    }
    else if (!g_atomic_int_get (&priv->is_recording) && !g_atomic_int_get (&priv->is_readout)) {
        g_set_error_literal (error, UCA_CAMERA_ERROR, UCA_CAMERA_ERROR_NOT_RECORDING,
                             "Camera is not in readout or record mode");
    }
    else {
        pthread_mutex_lock (&access_lock);
        result = klass->readout (camera, data, index, error);
        pthread_mutex_unlock (&access_lock);
    }

    pthread_mutex_unlock (&readout_lock);
    return result;
}

/**
 * UcaCameraGrabFunc:
 * @data: (type guintptr): Address of the frame, valid only until the function returns
 * @user_data: (closure): The data given to uca_camera_set_grab_func()
 *
 * Receives each frame while the camera transfers asynchronously. It runs on a thread of the
 * camera, not on the thread that started the recording.
 */

/**
 * uca_camera_set_grab_func:
 * @camera: A #UcaCamera
 * @func: (scope forever) (closure user_data): The function that receives each frame
 * @user_data: Passed to @func with each frame
 *
 * Sets the function that receives frames when transfer-asynchronously is %TRUE. Callers keep
 * it, and what @user_data points to, until the recording has stopped.
 */
void
uca_camera_set_grab_func (UcaCamera *camera, UcaCameraGrabFunc func, gpointer user_data)
{
    g_return_if_fail (UCA_IS_CAMERA (camera));
    camera->grab_func = func;
    camera->user_data = user_data;
}
