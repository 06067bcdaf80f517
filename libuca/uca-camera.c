/* UcaCamera: the base class every camera plug-in derives from. It owns the recording
 * state, serialises the slots of all cameras and, in buffered mode, runs a read thread
 * that fills a ring of frames for uca_camera_grab(). */

#include "uca/uca-camera.h"
#include "uca-enums.h"

#include <pthread.h>
#include <stdlib.h>
#include <string.h>

/* Frames of the buffered mode: n_frames readable blocks plus one that the read thread
 * fills outside the readable range, so readers (who copy under the lock) never see a
 * half-written frame and a full ring stays readable while the next frame comes in. Only
 * when that frame is committed does a full ring drop its oldest one. */
typedef struct {
    pthread_mutex_t lock;       /* guards every member below */
    pthread_cond_t changed;     /* a frame was committed or the stream ended */
    guint8 *blocks;             /* n_frames + 1 blocks; NULL while no buffered recording runs */
    gsize frame_size;
    guint n_frames;             /* readable blocks at most: num-buffers */
    guint head;                 /* oldest readable block */
    guint count;                /* readable blocks */
    guint dropped;              /* frames dropped unread in this recording */
    gboolean cancelled;         /* set by stop, read by the read thread */
    gboolean ended;             /* the read thread will commit nothing more */
    GError *error;              /* why the read thread ended early, if it failed */
} UcaRing;

struct _UcaCameraPrivate {
    /* Written under the entry points' locks, read from any thread: atomic access. */
    gint is_recording;
    gint is_readout;
    gint cancelling_recording;

    /* Base-held property values: client thread only. */
    gboolean transfer_async;
    gboolean buffered;
    guint num_buffers;
    UcaCameraTriggerSource trigger_source;
    UcaCameraTriggerType trigger_type;

    /* Buffered mode: started and joined by start/stop recording. */
    GThread *read_thread;
    UcaRing ring;
};

G_DEFINE_TYPE_WITH_PRIVATE (UcaCamera, uca_camera, G_TYPE_OBJECT)

const gchar *uca_camera_props[N_BASE_PROPERTIES] = {
    NULL,
    "name",
    "sensor-width",
    "sensor-height",
    "sensor-pixel-width",
    "sensor-pixel-height",
    "sensor-bitdepth",
    "sensor-horizontal-binning",
    "sensor-vertical-binning",
    "trigger-source",
    "trigger-type",
    "exposure-time",
    "frames-per-second",
    "roi-x0",
    "roi-y0",
    "roi-width",
    "roi-height",
    "roi-width-multiplier",
    "roi-height-multiplier",
    "has-streaming",
    "has-camram-recording",
    "recorded-frames",
    "transfer-asynchronously",
    "is-recording",
    "is-readout",
    "buffered",
    "num-buffers",
};

static GParamSpec *camera_properties[N_BASE_PROPERTIES] = { NULL, };

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

/* Units live on the shared GParamSpecs; they are cleared when the last
 * camera goes, not when any camera goes, so living cameras keep theirs. */
static pthread_mutex_t units_lock = PTHREAD_MUTEX_INITIALIZER;
static guint n_live_cameras = 0;    /* guarded by units_lock */

GQuark
uca_camera_error_quark (void)
{
    return g_quark_from_static_string ("uca-camera-error-quark");
}

GQuark
uca_unit_quark (void)
{
    return g_quark_from_static_string ("uca-unit-quark");
}

GQuark
uca_writable_quark (void)
{
    return g_quark_from_static_string ("uca-writable-quark");
}

static void
ring_init (UcaRing *ring)
{
    pthread_mutex_init (&ring->lock, NULL);
    pthread_cond_init (&ring->changed, NULL);
    ring->blocks = NULL;
    ring->error = NULL;
}

static void
ring_destroy (UcaRing *ring)
{
    g_free (ring->blocks);
    g_clear_error (&ring->error);
    pthread_cond_destroy (&ring->changed);
    pthread_mutex_destroy (&ring->lock);
}

static guint
ring_n_blocks (const UcaRing *ring)
{
    return ring->n_frames + 1;
}

static gboolean
ring_allocate (UcaRing *ring, guint n_frames, gsize frame_size)
{
    const guint64 n_blocks = (guint64) n_frames + 1;
    guint8 *blocks;

    if (n_frames == 0 || n_frames == G_MAXUINT || frame_size == 0 || frame_size > G_MAXSIZE / n_blocks)
        return FALSE;

    blocks = g_try_malloc (frame_size * n_blocks);

    if (blocks == NULL)
        return FALSE;

    pthread_mutex_lock (&ring->lock);
    ring->blocks = blocks;
    ring->frame_size = frame_size;
    ring->n_frames = n_frames;
    ring->head = 0;
    ring->count = 0;
    ring->dropped = 0;
    ring->cancelled = FALSE;
    ring->ended = FALSE;
    g_clear_error (&ring->error);
    pthread_mutex_unlock (&ring->lock);
    return TRUE;
}

static void
ring_release (UcaRing *ring)
{
    pthread_mutex_lock (&ring->lock);
    g_clear_pointer (&ring->blocks, g_free);
    ring->count = 0;
    ring->ended = TRUE;
    g_clear_error (&ring->error);
    pthread_cond_broadcast (&ring->changed);
    pthread_mutex_unlock (&ring->lock);
}

/* Read thread: the block to fill next, or NULL once the recording is cancelled. */
static guint8 *
ring_reserve (UcaRing *ring)
{
    guint8 *block = NULL;

    pthread_mutex_lock (&ring->lock);

    if (!ring->cancelled)
        block = ring->blocks + ((ring->head + ring->count) % ring_n_blocks (ring)) * ring->frame_size;

    pthread_mutex_unlock (&ring->lock);
    return block;
}

/* Callers count dropped frames through the debug message; each carries the total. */
static void
ring_commit (UcaRing *ring)
{
    guint dropped = 0;

    pthread_mutex_lock (&ring->lock);

    if (ring->count < ring->n_frames)
        ring->count++;
    else {
        ring->head = (ring->head + 1) % ring_n_blocks (ring);
        dropped = ++ring->dropped;
    }

    pthread_cond_broadcast (&ring->changed);
    pthread_mutex_unlock (&ring->lock);

    /* Outside the lock: a slow log writer must not hold up readers. */
    if (dropped > 0)
        g_debug ("Ring buffer full: dropped the oldest unread frame (%u dropped since recording started)", dropped);
}

static void
ring_end (UcaRing *ring, GError *error)
{
    pthread_mutex_lock (&ring->lock);
    ring->ended = TRUE;
    ring->error = error;
    pthread_cond_broadcast (&ring->changed);
    pthread_mutex_unlock (&ring->lock);
}

static void
ring_cancel (UcaRing *ring)
{
    pthread_mutex_lock (&ring->lock);
    ring->cancelled = TRUE;
    pthread_mutex_unlock (&ring->lock);
}

/* Waits for the oldest frame and copies it to data. Frames already buffered are handed
 * over before a failure of the read thread is reported. */
static gboolean
ring_take (UcaRing *ring, gpointer data, GError **error)
{
    gboolean taken = FALSE;

    pthread_mutex_lock (&ring->lock);

    while (ring->blocks != NULL && ring->count == 0 && !ring->ended)
        pthread_cond_wait (&ring->changed, &ring->lock);

    if (ring->count > 0) {
        memcpy (data, ring->blocks + ring->head * ring->frame_size, ring->frame_size);
        ring->head = (ring->head + 1) % ring_n_blocks (ring);
        ring->count--;
        taken = TRUE;
    }
    else if (ring->error != NULL)
        g_propagate_error (error, g_error_copy (ring->error));
    else
        g_set_error_literal (error, UCA_CAMERA_ERROR, UCA_CAMERA_ERROR_END_OF_STREAM,
                             "Ring buffer is empty");

    pthread_mutex_unlock (&ring->lock);
    return taken;
}

static gpointer
buffer_thread (gpointer data)
{
    UcaCamera *camera = data;
    UcaCameraClass *klass = UCA_CAMERA_GET_CLASS (camera);
    UcaRing *ring = &camera->priv->ring;
    guint8 *block;

    while ((block = ring_reserve (ring)) != NULL) {
        GError *error = NULL;

        if (!klass->grab (camera, block, &error)) {
            ring_end (ring, error);
            return NULL;
        }

        ring_commit (ring);
    }

    ring_end (ring, NULL);
    return NULL;
}

static gsize
frame_size_of (UcaCamera *camera)
{
    guint width = 0;
    guint height = 0;
    guint bitdepth = 0;

    g_object_get (camera,
                  "roi-width", &width,
                  "roi-height", &height,
                  "sensor-bitdepth", &bitdepth,
                  NULL);

    if (height != 0 && width > G_MAXSIZE / 2 / height)
        return 0;

    return (gsize) width * height * (bitdepth <= 8 ? 1 : 2);
}

static gboolean
prepare_buffering (UcaCamera *camera, GError **error)
{
    UcaCameraPrivate *priv = camera->priv;

    if (UCA_CAMERA_GET_CLASS (camera)->grab == NULL) {
        g_set_error (error, UCA_CAMERA_ERROR, UCA_CAMERA_ERROR_NOT_IMPLEMENTED,
                     "`%s' does not provide a `grab' method", G_OBJECT_TYPE_NAME (camera));
        return FALSE;
    }

    if (!ring_allocate (&priv->ring, priv->num_buffers, frame_size_of (camera))) {
        g_set_error (error, UCA_CAMERA_ERROR, UCA_CAMERA_ERROR_DEVICE,
                     "Cannot allocate a ring buffer of %u frames", priv->num_buffers);
        return FALSE;
    }

    return TRUE;
}

static void
set_unit (GParamSpec *pspec, UcaUnit unit)
{
    UcaUnit old_unit = (UcaUnit) GPOINTER_TO_INT (g_param_spec_get_qdata (pspec, uca_unit_quark ()));

    if (old_unit != UCA_UNIT_NA && old_unit != unit)
        g_warning ("::%s already has a different unit", pspec->name);

    g_param_spec_set_qdata (pspec, uca_unit_quark (), GINT_TO_POINTER (unit));
}

static GParamSpec *
find_property (UcaCamera *camera, const gchar *prop_name)
{
    GParamSpec *pspec = g_object_class_find_property (G_OBJECT_GET_CLASS (camera), prop_name);

    if (pspec == NULL)
        g_warning ("Camera does not have property `%s'", prop_name);

    return pspec;
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
clear_units (GObjectClass *klass)
{
    guint n_properties;
    GParamSpec **pspecs = g_object_class_list_properties (klass, &n_properties);

    for (guint i = 0; i < n_properties; i++)
        g_param_spec_set_qdata (pspecs[i], uca_unit_quark (), NULL);

    g_free (pspecs);
}

static void
uca_camera_finalize (GObject *object)
{
    pthread_mutex_lock (&units_lock);

    if (--n_live_cameras == 0)
        clear_units (G_OBJECT_GET_CLASS (object));

    pthread_mutex_unlock (&units_lock);

    ring_destroy (&UCA_CAMERA (object)->priv->ring);

    G_OBJECT_CLASS (uca_camera_parent_class)->finalize (object);
}

static void
install_properties (GObjectClass *oclass)
{
    const GParamFlags R = G_PARAM_READABLE;
    const GParamFlags RW = G_PARAM_READWRITE;

    camera_properties[PROP_NAME] =
        g_param_spec_string ("name", "Name of the camera", "Name of the camera", "", R);
    camera_properties[PROP_SENSOR_WIDTH] =
        g_param_spec_uint ("sensor-width", "Width of sensor", "Width of the sensor in pixels",
                           1, G_MAXUINT, 512, R);
    camera_properties[PROP_SENSOR_HEIGHT] =
        g_param_spec_uint ("sensor-height", "Height of sensor", "Height of the sensor in pixels",
                           1, G_MAXUINT, 512, R);
    camera_properties[PROP_SENSOR_PIXEL_WIDTH] =
        g_param_spec_double ("sensor-pixel-width", "Width of sensor pixel in meters",
                             "Width of sensor pixel in meters", G_MINDOUBLE, G_MAXDOUBLE, 10e-6, R);
    camera_properties[PROP_SENSOR_PIXEL_HEIGHT] =
        g_param_spec_double ("sensor-pixel-height", "Height of sensor pixel in meters",
                             "Height of sensor pixel in meters", G_MINDOUBLE, G_MAXDOUBLE, 10e-6, R);
    camera_properties[PROP_SENSOR_BITDEPTH] =
        g_param_spec_uint ("sensor-bitdepth", "Number of bits per pixel", "Number of bits per pixel",
                           1, 32, 8, R);
    camera_properties[PROP_SENSOR_HORIZONTAL_BINNING] =
        g_param_spec_uint ("sensor-horizontal-binning", "Horizontal binning",
                           "Number of sensor ADCs that are combined to one pixel in horizontal direction",
                           1, G_MAXUINT, 1, RW);
    camera_properties[PROP_SENSOR_VERTICAL_BINNING] =
        g_param_spec_uint ("sensor-vertical-binning", "Vertical binning",
                           "Number of sensor ADCs that are combined to one pixel in vertical direction",
                           1, G_MAXUINT, 1, RW);
    camera_properties[PROP_TRIGGER_SOURCE] =
        g_param_spec_enum ("trigger-source", "Trigger source", "Trigger source",
                           uca_camera_trigger_source_get_type (), UCA_CAMERA_TRIGGER_SOURCE_AUTO, RW);
    camera_properties[PROP_TRIGGER_TYPE] =
        g_param_spec_enum ("trigger-type", "Trigger type", "Trigger type",
                           uca_camera_trigger_type_get_type (), UCA_CAMERA_TRIGGER_TYPE_EDGE, RW);
    camera_properties[PROP_EXPOSURE_TIME] =
        g_param_spec_double ("exposure-time", "Exposure time in seconds", "Exposure time in seconds",
                             0.0, G_MAXDOUBLE, 1.0, RW);
    camera_properties[PROP_FRAMES_PER_SECOND] =
        g_param_spec_double ("frames-per-second", "Frames per second", "Frames per second",
                             G_MINDOUBLE, G_MAXDOUBLE, 1.0, RW);
    camera_properties[PROP_ROI_X] =
        g_param_spec_uint ("roi-x0", "Horizontal coordinate", "Horizontal coordinate",
                           0, G_MAXUINT, 0, RW);
    camera_properties[PROP_ROI_Y] =
        g_param_spec_uint ("roi-y0", "Vertical coordinate", "Vertical coordinate",
                           0, G_MAXUINT, 0, RW);
    camera_properties[PROP_ROI_WIDTH] =
        g_param_spec_uint ("roi-width", "Width", "Width of the region of interest",
                           1, G_MAXUINT, 1, RW);
    camera_properties[PROP_ROI_HEIGHT] =
        g_param_spec_uint ("roi-height", "Height", "Height of the region of interest",
                           1, G_MAXUINT, 1, RW);
    camera_properties[PROP_ROI_WIDTH_MULTIPLIER] =
        g_param_spec_uint ("roi-width-multiplier", "Horizontal ROI multiplier",
                           "Minimum possible step size of horizontal ROI", 1, G_MAXUINT, 1, R);
    camera_properties[PROP_ROI_HEIGHT_MULTIPLIER] =
        g_param_spec_uint ("roi-height-multiplier", "Vertical ROI multiplier",
                           "Minimum possible step size of vertical ROI", 1, G_MAXUINT, 1, R);
    camera_properties[PROP_HAS_STREAMING] =
        g_param_spec_boolean ("has-streaming", "Streaming capability",
                              "Is the camera able to stream the data", TRUE, R);
    camera_properties[PROP_HAS_CAMRAM_RECORDING] =
        g_param_spec_boolean ("has-camram-recording", "Cam-RAM capability",
                              "Is the camera able to record the data in-camera", FALSE, R);
    camera_properties[PROP_RECORDED_FRAMES] =
        g_param_spec_uint ("recorded-frames", "Number of frames recorded into internal camera memory",
                           "Number of frames recorded into internal camera memory",
                           0, G_MAXUINT, 0, R);
    camera_properties[PROP_TRANSFER_ASYNCHRONOUSLY] =
        g_param_spec_boolean ("transfer-asynchronously",
                              "Specify whether data should be transfered asynchronously",
                              "Specify whether data should be transfered asynchronously using a specified callback",
                              FALSE, RW);
    camera_properties[PROP_IS_RECORDING] =
        g_param_spec_boolean ("is-recording", "Is camera recording", "Is the camera currently recording",
                              FALSE, R);
    camera_properties[PROP_IS_READOUT] =
        g_param_spec_boolean ("is-readout", "Is camera in readout mode", "Is camera in readout mode",
                              FALSE, R);
    camera_properties[PROP_BUFFERED] =
        g_param_spec_boolean ("buffered", "TRUE if libuca should buffer frames",
                              "TRUE if libuca should buffer frames", FALSE, RW);
    camera_properties[PROP_NUM_BUFFERS] =
        g_param_spec_uint ("num-buffers", "Number of frame buffers in the ring buffer ",
                           "Number of frame buffers in the ring buffer ", 0, G_MAXUINT, 4, RW);

    g_object_class_install_properties (oclass, N_BASE_PROPERTIES, camera_properties);
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

    install_properties (oclass);

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
register_base_units (void)
{
    static const struct {
        guint property_id;
        UcaUnit unit;
    } units[] = {
        { PROP_SENSOR_WIDTH, UCA_UNIT_PIXEL },
        { PROP_SENSOR_HEIGHT, UCA_UNIT_PIXEL },
        { PROP_SENSOR_HORIZONTAL_BINNING, UCA_UNIT_PIXEL },
        { PROP_SENSOR_VERTICAL_BINNING, UCA_UNIT_PIXEL },
        { PROP_ROI_X, UCA_UNIT_PIXEL },
        { PROP_ROI_Y, UCA_UNIT_PIXEL },
        { PROP_ROI_WIDTH, UCA_UNIT_PIXEL },
        { PROP_ROI_HEIGHT, UCA_UNIT_PIXEL },
        { PROP_ROI_WIDTH_MULTIPLIER, UCA_UNIT_PIXEL },
        { PROP_ROI_HEIGHT_MULTIPLIER, UCA_UNIT_PIXEL },
        { PROP_SENSOR_PIXEL_WIDTH, UCA_UNIT_METER },
        { PROP_SENSOR_PIXEL_HEIGHT, UCA_UNIT_METER },
        { PROP_SENSOR_BITDEPTH, UCA_UNIT_COUNT },
        { PROP_FRAMES_PER_SECOND, UCA_UNIT_COUNT },
        { PROP_RECORDED_FRAMES, UCA_UNIT_COUNT },
        { PROP_EXPOSURE_TIME, UCA_UNIT_SECOND },
    };

    for (gsize i = 0; i < G_N_ELEMENTS (units); i++)
        set_unit (camera_properties[units[i].property_id], units[i].unit);
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
    ring_init (&priv->ring);

    pthread_mutex_lock (&units_lock);
    n_live_cameras++;
    register_base_units ();
    pthread_mutex_unlock (&units_lock);
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
    else if (!priv->buffered || prepare_buffering (camera, &tmp_error)) {
        pthread_mutex_lock (&access_lock);
        klass->start_recording (camera, &tmp_error);
        pthread_mutex_unlock (&access_lock);

        if (tmp_error == NULL) {
            if (priv->buffered)
                priv->read_thread = g_thread_new ("uca-ring", buffer_thread, camera);

            /* Last: a concurrent stop that sees the camera recording finds the thread. */
            g_atomic_int_set (&priv->cancelling_recording, FALSE);
            g_atomic_int_set (&priv->is_readout, FALSE);
            g_atomic_int_set (&priv->is_recording, TRUE);
            started = TRUE;
        }
        else if (priv->buffered)
            ring_release (&priv->ring);
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

    pthread_mutex_lock (&stop_recording_lock);

    if (!g_atomic_int_get (&priv->is_recording)) {
        g_set_error_literal (&tmp_error, UCA_CAMERA_ERROR, UCA_CAMERA_ERROR_NOT_RECORDING,
                             "Camera is not recording");
    }
    else {
        g_atomic_int_set (&priv->cancelling_recording, TRUE);

        if (priv->read_thread != NULL) {
            ring_cancel (&priv->ring);
            g_thread_join (priv->read_thread);
            priv->read_thread = NULL;
        }

        pthread_mutex_lock (&access_lock);
        klass->stop_recording (camera, &tmp_error);
        pthread_mutex_unlock (&access_lock);

        /* Also after a failed stop: the read thread is gone, waiting grabs must end. */
        ring_release (&priv->ring);
        g_atomic_int_set (&priv->cancelling_recording, FALSE);

        /* Last: a concurrent start must not allocate the ring before it is released. */
        if (tmp_error == NULL) {
            g_atomic_int_set (&priv->is_readout, FALSE);
            g_atomic_int_set (&priv->is_recording, FALSE);
            stopped = TRUE;
        }
    }

    pthread_mutex_unlock (&stop_recording_lock);

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
        result = ring_take (&camera->priv->ring, data, error);
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

static gboolean
enum_from_text (GParamSpec *pspec, const gchar *text, GValue *value, GError **error)
{
    GEnumClass *enum_class = G_PARAM_SPEC_ENUM (pspec)->enum_class;
    GEnumValue *enum_value;
    gint64 number;

    if (g_ascii_string_to_signed (text, 10, G_MININT, G_MAXINT, &number, NULL))
        enum_value = g_enum_get_value (enum_class, (gint) number);
    else
        enum_value = g_enum_get_value_by_name (enum_class, text);

    if (enum_value == NULL) {
        g_set_error (error, UCA_CAMERA_ERROR, UCA_CAMERA_ERROR_NOT_FOUND,
                     "Enum value `%s' does not exist for `%s'", text, pspec->name);
        return FALSE;
    }

    g_value_set_enum (value, enum_value->value);
    return TRUE;
}

static gboolean
signed_from_text (const gchar *text, gint64 minimum, gint64 maximum, gint64 *number)
{
    return g_ascii_string_to_signed (text, 10, minimum, maximum, number, NULL);
}

static gboolean
unsigned_from_text (const gchar *text, guint64 minimum, guint64 maximum, guint64 *number)
{
    return g_ascii_string_to_unsigned (text, 10, minimum, maximum, number, NULL);
}

static gboolean
double_from_text (const gchar *text, gdouble minimum, gdouble maximum, gdouble *number)
{
    gchar *end = NULL;

    *number = g_ascii_strtod (text, &end);
    return end != text && *end == '\0' && *number >= minimum && *number <= maximum;
}

/* A number must be complete and inside the property's range: a typo must not silently
 * become 0, and GObject would only warn about an out-of-range value. */
static gboolean
number_from_text (GParamSpec *pspec, const gchar *text, GValue *value)
{
    gint64 s = 0;
    guint64 u = 0;
    gdouble d = 0.0;
    gboolean valid = FALSE;

    if (G_IS_PARAM_SPEC_INT (pspec)) {
        GParamSpecInt *range = G_PARAM_SPEC_INT (pspec);
        if ((valid = signed_from_text (text, range->minimum, range->maximum, &s)))
            g_value_set_int (value, (gint) s);
    }
    else if (G_IS_PARAM_SPEC_UINT (pspec)) {
        GParamSpecUInt *range = G_PARAM_SPEC_UINT (pspec);
        if ((valid = unsigned_from_text (text, range->minimum, range->maximum, &u)))
            g_value_set_uint (value, (guint) u);
    }
    else if (G_IS_PARAM_SPEC_LONG (pspec)) {
        GParamSpecLong *range = G_PARAM_SPEC_LONG (pspec);
        if ((valid = signed_from_text (text, range->minimum, range->maximum, &s)))
            g_value_set_long (value, (glong) s);
    }
    else if (G_IS_PARAM_SPEC_ULONG (pspec)) {
        GParamSpecULong *range = G_PARAM_SPEC_ULONG (pspec);
        if ((valid = unsigned_from_text (text, range->minimum, range->maximum, &u)))
            g_value_set_ulong (value, (gulong) u);
    }
    else if (G_IS_PARAM_SPEC_INT64 (pspec)) {
        GParamSpecInt64 *range = G_PARAM_SPEC_INT64 (pspec);
        if ((valid = signed_from_text (text, range->minimum, range->maximum, &s)))
            g_value_set_int64 (value, s);
    }
    else if (G_IS_PARAM_SPEC_UINT64 (pspec)) {
        GParamSpecUInt64 *range = G_PARAM_SPEC_UINT64 (pspec);
        if ((valid = unsigned_from_text (text, range->minimum, range->maximum, &u)))
            g_value_set_uint64 (value, u);
    }
    else if (G_IS_PARAM_SPEC_FLOAT (pspec)) {
        GParamSpecFloat *range = G_PARAM_SPEC_FLOAT (pspec);
        if ((valid = double_from_text (text, range->minimum, range->maximum, &d)))
            g_value_set_float (value, (gfloat) d);
    }
    else if (G_IS_PARAM_SPEC_DOUBLE (pspec)) {
        GParamSpecDouble *range = G_PARAM_SPEC_DOUBLE (pspec);
        if ((valid = double_from_text (text, range->minimum, range->maximum, &d)))
            g_value_set_double (value, d);
    }

    return valid;
}

static gboolean
value_from_text (GParamSpec *pspec, const gchar *text, GValue *value, GError **error)
{
    g_value_init (value, G_PARAM_SPEC_VALUE_TYPE (pspec));

    switch (G_TYPE_FUNDAMENTAL (G_PARAM_SPEC_VALUE_TYPE (pspec))) {
        case G_TYPE_BOOLEAN:
            g_value_set_boolean (value, g_ascii_strncasecmp (text, "true", 4) == 0);
            return TRUE;
        case G_TYPE_STRING:
            g_value_set_string (value, text);
            return TRUE;
        case G_TYPE_ENUM:
            return enum_from_text (pspec, text, value, error);
        case G_TYPE_INT:
        case G_TYPE_UINT:
        case G_TYPE_LONG:
        case G_TYPE_ULONG:
        case G_TYPE_INT64:
        case G_TYPE_UINT64:
        case G_TYPE_FLOAT:
        case G_TYPE_DOUBLE:
            if (number_from_text (pspec, text, value))
                return TRUE;

            g_set_error (error, UCA_CAMERA_ERROR, UCA_CAMERA_ERROR_NOT_FOUND,
                         "Value `%s' is not valid for `%s'", text, pspec->name);
            return FALSE;
        default:
            g_set_error (error, UCA_CAMERA_ERROR, UCA_CAMERA_ERROR_NOT_IMPLEMENTED,
                         "Cannot set `%s' from text", pspec->name);
            return FALSE;
    }
}

static gboolean
set_property_from_argument (UcaCamera *camera, const gchar *argument, GError **error)
{
    gchar **name_and_value = g_strsplit (argument, "=", 2);
    GParamSpec *pspec;
    GValue value = G_VALUE_INIT;
    gboolean set = FALSE;

    if (name_and_value[0] == NULL || name_and_value[1] == NULL) {
        g_set_error (error, UCA_CAMERA_ERROR, UCA_CAMERA_ERROR_NOT_FOUND,
                     "Argument `%s' is not of the form name=value", argument);
        goto out;
    }

    pspec = g_object_class_find_property (G_OBJECT_GET_CLASS (camera), name_and_value[0]);

    if (pspec == NULL) {
        g_set_error (error, UCA_CAMERA_ERROR, UCA_CAMERA_ERROR_NOT_IMPLEMENTED,
                     "No property `%s' found", name_and_value[0]);
        goto out;
    }

    if ((pspec->flags & G_PARAM_WRITABLE) == 0) {
        g_set_error (error, UCA_CAMERA_ERROR, UCA_CAMERA_ERROR_NOT_IMPLEMENTED,
                     "Property `%s' is not writable", pspec->name);
        goto out;
    }

    if (value_from_text (pspec, name_and_value[1], &value, error)) {
        g_object_set_property (G_OBJECT (camera), pspec->name, &value);
        set = TRUE;
    }

    if (G_IS_VALUE (&value))
        g_value_unset (&value);

out:
    g_strfreev (name_and_value);
    return set;
}

/**
 * uca_camera_parse_arg_props:
 * @camera: A #UcaCamera
 * @argv: (array length=argc): Settings of the form name=value
 * @argc: Number of settings in @argv
 * @error: Location for a #GError, or %NULL
 *
 * Sets properties from text, as given on a command line.
 *
 * Returns: %TRUE when every setting was applied
 */
gboolean
uca_camera_parse_arg_props (UcaCamera *camera, gchar **argv, guint argc, GError **error)
{
    g_return_val_if_fail (UCA_IS_CAMERA (camera), FALSE);
    g_return_val_if_fail (argv != NULL || argc == 0, FALSE);

    for (guint i = 0; i < argc; i++) {
        if (!set_property_from_argument (camera, argv[i], error))
            return FALSE;
    }

    return TRUE;
}

void
uca_camera_register_unit (UcaCamera *camera, const gchar *prop_name, UcaUnit unit)
{
    GParamSpec *pspec;

    g_return_if_fail (UCA_IS_CAMERA (camera));
    g_return_if_fail (prop_name != NULL);

    pspec = find_property (camera, prop_name);

    if (pspec != NULL)
        set_unit (pspec, unit);
}

UcaUnit
uca_camera_get_unit (UcaCamera *camera, const gchar *prop_name)
{
    GParamSpec *pspec;

    g_return_val_if_fail (UCA_IS_CAMERA (camera), UCA_UNIT_NA);
    g_return_val_if_fail (prop_name != NULL, UCA_UNIT_NA);

    pspec = find_property (camera, prop_name);

    if (pspec == NULL)
        return UCA_UNIT_NA;

    return (UcaUnit) GPOINTER_TO_INT (g_param_spec_get_qdata (pspec, uca_unit_quark ()));
}

void
uca_camera_pspec_set_writable (GParamSpec *pspec, gboolean writable)
{
    g_return_if_fail (G_IS_PARAM_SPEC (pspec));

    if (g_param_spec_get_qdata (pspec, uca_writable_quark ()) != NULL) {
        g_warning ("::%s is already fixed", pspec->name);
        return;
    }

    g_param_spec_set_qdata (pspec, uca_writable_quark (), GINT_TO_POINTER (writable));
}

void
uca_camera_set_writable (UcaCamera *camera, const gchar *prop_name, gboolean writable)
{
    GParamSpec *pspec;

    g_return_if_fail (UCA_IS_CAMERA (camera));
    g_return_if_fail (prop_name != NULL);

    pspec = find_property (camera, prop_name);

    if (pspec != NULL)
        uca_camera_pspec_set_writable (pspec, writable);
}

gboolean
uca_camera_is_writable_during_acquisition (UcaCamera *camera, const gchar *prop_name)
{
    GParamSpec *pspec;

    g_return_val_if_fail (UCA_IS_CAMERA (camera), FALSE);
    g_return_val_if_fail (prop_name != NULL, FALSE);

    pspec = find_property (camera, prop_name);

    return pspec != NULL &&
           (pspec->flags & G_PARAM_WRITABLE) != 0 &&
           g_param_spec_get_qdata (pspec, uca_writable_quark ()) != NULL;
}
