/* SPDX-License-Identifier: LGPL-2.1-or-later */
/* A small camera for the libuca tests. Each grabbed frame starts with its sequence number (guint32)
 * and is filled with that number's low byte. Its own properties, all unsigned, let a test make
 * initialisation, start, stop or grab fail, make grab wait for a trigger, and count what happened. */

#include <uca/uca-camera.h>

#include <gio/gio.h>
#include <gmodule.h>
#include <pthread.h>
#include <string.h>
#include <time.h>

enum {
    PROP_DEVICE_RECORDING = N_BASE_PROPERTIES,
    PROP_FAIL_INIT,
    PROP_FAIL_START,
    PROP_FAIL_STOP,
    PROP_FAIL_GRAB_AFTER, /* frames before grab fails, 0: never */
    PROP_GRAB_WAITS_FOR_TRIGGER,
    PROP_FRAME_INTERVAL_US,
    PROP_ROI_WIDTH_AT_START, /* width the device takes as it starts, 0: as set */
    PROP_FRAMES_GRABBED,     /* read-only counters from here on */
    PROP_TRIGGERS,
    PROP_WAITING_GRABS,
    PROP_STOPS,
    N_PROPERTIES
};

static const gchar *own_names[] = {
    "device-recording",  "fail-init",          "fail-start",
    "fail-stop",         "fail-grab-after",    "grab-waits-for-trigger",
    "frame-interval-us", "roi-width-at-start", "frames-grabbed",
    "triggers",          "waiting-grabs",      "stops",
};

static const guint overridden[] = {
    PROP_NAME,          PROP_SENSOR_WIDTH, PROP_SENSOR_HEIGHT, PROP_SENSOR_BITDEPTH,
    PROP_EXPOSURE_TIME, PROP_ROI_WIDTH,    PROP_ROI_HEIGHT,    PROP_IS_RECORDING,
};

typedef struct {
    UcaCamera parent;

    /* Written by the client thread before recording starts. */
    guint roi_width;
    guint roi_height;
    gdouble exposure_time;

    /* Shared by grab (client or read thread), trigger and the client: guarded by lock. */
    pthread_mutex_t lock;
    pthread_cond_t triggered;
    guint own[N_PROPERTIES - N_BASE_PROPERTIES];
    guint triggers_consumed;
} UcaTestCamera;

typedef struct {
    UcaCameraClass parent;
} UcaTestCameraClass;

#define OWN(self, id) ((self)->own[(id) -N_BASE_PROPERTIES])

G_MODULE_EXPORT GType camera_plugin_get_type (void);
static GType uca_test_camera_get_type (void);
static void uca_test_camera_initable_iface_init (GInitableIface *iface);

G_DEFINE_TYPE_WITH_CODE (UcaTestCamera, uca_test_camera, UCA_TYPE_CAMERA,
                         G_IMPLEMENT_INTERFACE (G_TYPE_INITABLE, uca_test_camera_initable_iface_init))

static guint
own_get (UcaTestCamera *self, guint id)
{
    guint result;

    pthread_mutex_lock (&self->lock);
    result = OWN (self, id);
    pthread_mutex_unlock (&self->lock);
    return result;
}

static void
own_set (UcaTestCamera *self, guint id, guint value)
{
    pthread_mutex_lock (&self->lock);
    OWN (self, id) = value;
    pthread_mutex_unlock (&self->lock);
}

static gboolean
refuse (UcaTestCamera *self, guint id, const gchar *message, GError **error)
{
    if (own_get (self, id) == 0)
        return FALSE;

    g_set_error_literal (error, UCA_CAMERA_ERROR,
                         id == PROP_FAIL_INIT ? UCA_CAMERA_ERROR_NOT_FOUND : UCA_CAMERA_ERROR_DEVICE, message);
    return TRUE;
}

static void
uca_test_camera_start_recording (UcaCamera *camera, GError **error)
{
    UcaTestCamera *self = (UcaTestCamera *) camera;

    if (refuse (self, PROP_FAIL_START, "Device refused to start", error))
        return;

    if (own_get (self, PROP_ROI_WIDTH_AT_START) > 0)
        self->roi_width = own_get (self, PROP_ROI_WIDTH_AT_START);

    own_set (self, PROP_DEVICE_RECORDING, TRUE);
}

static void
uca_test_camera_stop_recording (UcaCamera *camera, GError **error)
{
    UcaTestCamera *self = (UcaTestCamera *) camera;

    if (refuse (self, PROP_FAIL_STOP, "Device refused to stop", error))
        return;

    pthread_mutex_lock (&self->lock);
    OWN (self, PROP_DEVICE_RECORDING) = FALSE;
    OWN (self, PROP_STOPS)++;
    pthread_mutex_unlock (&self->lock);
}

static void
uca_test_camera_readout_switch (UcaCamera *camera, GError **error)
{
    (void) camera;
    (void) error;
}

static void
uca_test_camera_trigger (UcaCamera *camera, GError **error)
{
    UcaTestCamera *self = (UcaTestCamera *) camera;

    (void) error;
    pthread_mutex_lock (&self->lock);
    OWN (self, PROP_TRIGGERS)++;
    pthread_cond_broadcast (&self->triggered);
    pthread_mutex_unlock (&self->lock);
}

/* Called with self->lock held; waits up to 5 s, so that a trigger that never comes fails the grab. */
static gboolean
wait_for_trigger (UcaTestCamera *self, GError **error)
{
    struct timespec deadline;
    gboolean triggered = TRUE;

    clock_gettime (CLOCK_REALTIME, &deadline);
    deadline.tv_sec += 5;
    OWN (self, PROP_WAITING_GRABS)++;

    while (triggered && OWN (self, PROP_TRIGGERS) == self->triggers_consumed)
        triggered = pthread_cond_timedwait (&self->triggered, &self->lock, &deadline) == 0;

    OWN (self, PROP_WAITING_GRABS)--;

    if (!triggered) {
        g_set_error_literal (error, UCA_CAMERA_ERROR, UCA_CAMERA_ERROR_TIMEOUT, "No trigger arrived");
        return FALSE;
    }

    self->triggers_consumed++;
    return TRUE;
}

static void
fill_frame (UcaTestCamera *self, gpointer data, guint32 sequence)
{
    memset (data, (int) (sequence & 0xff), (gsize) self->roi_width * self->roi_height * sizeof (guint16));
    memcpy (data, &sequence, sizeof (sequence));
}

static gboolean
uca_test_camera_grab (UcaCamera *camera, gpointer data, GError **error)
{
    UcaTestCamera *self = (UcaTestCamera *) camera;
    guint fail_after;
    guint32 sequence;

    g_usleep (own_get (self, PROP_FRAME_INTERVAL_US));
    pthread_mutex_lock (&self->lock);
    fail_after = OWN (self, PROP_FAIL_GRAB_AFTER);

    if (fail_after > 0 && OWN (self, PROP_FRAMES_GRABBED) >= fail_after) {
        pthread_mutex_unlock (&self->lock);
        g_set_error_literal (error, UCA_CAMERA_ERROR, UCA_CAMERA_ERROR_DEVICE, "Detector lost");
        return FALSE;
    }

    if (OWN (self, PROP_GRAB_WAITS_FOR_TRIGGER) && !wait_for_trigger (self, error)) {
        pthread_mutex_unlock (&self->lock);
        return FALSE;
    }

    sequence = ++OWN (self, PROP_FRAMES_GRABBED);
    pthread_mutex_unlock (&self->lock);
    fill_frame (self, data, sequence);
    return TRUE;
}

static gboolean
uca_test_camera_readout (UcaCamera *camera, gpointer data, guint index, GError **error)
{
    (void) error;
    fill_frame ((UcaTestCamera *) camera, data, index);
    return TRUE;
}

static gboolean
uca_test_camera_initable_init (GInitable *initable, GCancellable *cancellable, GError **error)
{
    (void) cancellable;
    return !refuse ((UcaTestCamera *) initable, PROP_FAIL_INIT, "No test device attached", error);
}

static void
uca_test_camera_initable_iface_init (GInitableIface *iface)
{
    iface->init = uca_test_camera_initable_init;
}

static void
uca_test_camera_set_property (GObject *object, guint property_id, const GValue *value, GParamSpec *pspec)
{
    UcaTestCamera *self = (UcaTestCamera *) object;

    (void) pspec;

    if (property_id == PROP_EXPOSURE_TIME)
        self->exposure_time = g_value_get_double (value);
    else if (property_id == PROP_ROI_WIDTH)
        self->roi_width = g_value_get_uint (value);
    else if (property_id == PROP_ROI_HEIGHT)
        self->roi_height = g_value_get_uint (value);
    else
        own_set (self, property_id, g_value_get_uint (value));
}

static void
uca_test_camera_get_property (GObject *object, guint property_id, GValue *value, GParamSpec *pspec)
{
    UcaTestCamera *self = (UcaTestCamera *) object;

    (void) pspec;

    switch (property_id) {
        case PROP_NAME:
            g_value_set_string (value, "test");
            break;
        case PROP_SENSOR_WIDTH:
            g_value_set_uint (value, 64);
            break;
        case PROP_SENSOR_HEIGHT:
            g_value_set_uint (value, 32);
            break;
        case PROP_SENSOR_BITDEPTH:
            g_value_set_uint (value, 16);
            break;
        case PROP_EXPOSURE_TIME:
            g_value_set_double (value, self->exposure_time);
            break;
        case PROP_ROI_WIDTH:
            g_value_set_uint (value, self->roi_width);
            break;
        case PROP_ROI_HEIGHT:
            g_value_set_uint (value, self->roi_height);
            break;
        case PROP_IS_RECORDING:
            g_value_set_boolean (value, own_get (self, PROP_DEVICE_RECORDING));
            break;
        default:
            g_value_set_uint (value, own_get (self, property_id));
            break;
    }
}

static void
uca_test_camera_finalize (GObject *object)
{
    UcaTestCamera *self = (UcaTestCamera *) object;

    pthread_cond_destroy (&self->triggered);
    pthread_mutex_destroy (&self->lock);
    G_OBJECT_CLASS (uca_test_camera_parent_class)->finalize (object);
}

static void
uca_test_camera_class_init (UcaTestCameraClass *klass)
{
    GObjectClass *oclass = G_OBJECT_CLASS (klass);
    UcaCameraClass *camera_class = UCA_CAMERA_CLASS (klass);

    oclass->set_property = uca_test_camera_set_property;
    oclass->get_property = uca_test_camera_get_property;
    oclass->finalize = uca_test_camera_finalize;
    camera_class->start_recording = uca_test_camera_start_recording;
    camera_class->stop_recording = uca_test_camera_stop_recording;
    camera_class->start_readout = uca_test_camera_readout_switch;
    camera_class->stop_readout = uca_test_camera_readout_switch;
    camera_class->trigger = uca_test_camera_trigger;
    camera_class->grab = uca_test_camera_grab;
    camera_class->readout = uca_test_camera_readout;

    for (gsize i = 0; i < G_N_ELEMENTS (overridden); i++)
        g_object_class_override_property (oclass, overridden[i], uca_camera_props[overridden[i]]);

    for (guint id = N_BASE_PROPERTIES; id < N_PROPERTIES; id++) {
        const gchar *name = own_names[id - N_BASE_PROPERTIES];
        GParamFlags flags = id < PROP_FRAMES_GRABBED ? G_PARAM_READWRITE | G_PARAM_CONSTRUCT : G_PARAM_READABLE;

        g_object_class_install_property (oclass, id, g_param_spec_uint (name, name, name, 0, G_MAXUINT, 0, flags));
    }
}

static void
uca_test_camera_init (UcaTestCamera *self)
{
    pthread_mutex_init (&self->lock, NULL);
    pthread_cond_init (&self->triggered, NULL);
    self->roi_width = 64;
    self->roi_height = 32;
    self->exposure_time = 0.5;
}

GType
camera_plugin_get_type (void)
{
    return uca_test_camera_get_type ();
}
