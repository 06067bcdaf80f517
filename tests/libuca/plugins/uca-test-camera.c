/* SPDX-License-Identifier: LGPL-2.1-or-later */
/* A small camera for the libuca tests. Each grabbed frame starts with its sequence number (guint32)
 * and is filled with that number's low byte. Its own properties, all unsigned, let a test make
 * initialisation, start, stop or grab fail, make grab wait for a trigger, and count what happened.
 * Every property it handles keeps its value in a GValue of its own, guarded by the lock: grab runs
 * in the client's thread or libuca's read thread. */

#include <uca/uca-camera.h>

#include <gio/gio.h>
#include <gmodule.h>
#include <pthread.h>
#include <string.h>
#include <time.h>

enum {
    PROP_DEVICE_RECORDING = N_BASE_PROPERTIES, /* also is-recording */
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

static const guint overridden[] = { PROP_NAME,          PROP_SENSOR_WIDTH, PROP_SENSOR_HEIGHT, PROP_SENSOR_BITDEPTH,
                                    PROP_EXPOSURE_TIME, PROP_ROI_WIDTH,    PROP_ROI_HEIGHT,    PROP_IS_RECORDING };

typedef struct {
    UcaCamera parent;
    pthread_mutex_t lock;
    pthread_cond_t triggered;
    GValue values[N_PROPERTIES]; /* guarded by lock */
    guint triggers_consumed;     /* guarded by lock */
} UcaTestCamera;

typedef struct {
    UcaCameraClass parent;
} UcaTestCameraClass;

G_MODULE_EXPORT GType camera_plugin_get_type (void);
static GType uca_test_camera_get_type (void);
static void uca_test_camera_initable_iface_init (GInitableIface *iface);

G_DEFINE_TYPE_WITH_CODE (UcaTestCamera, uca_test_camera, UCA_TYPE_CAMERA,
                         G_IMPLEMENT_INTERFACE (G_TYPE_INITABLE, uca_test_camera_initable_iface_init))

/* Called with self->lock held. */
static guint
value_of (UcaTestCamera *self, guint id)
{
    return id == PROP_EXPOSURE_TIME ? 0 : g_value_get_uint (&self->values[id]);
}

static guint
locked_value (UcaTestCamera *self, guint id)
{
    guint result;

    pthread_mutex_lock (&self->lock);
    result = value_of (self, id);
    pthread_mutex_unlock (&self->lock);
    return result;
}

/* Adds delta to a counter, or sets it when set is TRUE; wakes a grab waiting for a trigger. */
static void
change (UcaTestCamera *self, guint id, guint delta, gboolean set)
{
    pthread_mutex_lock (&self->lock);
    g_value_set_uint (&self->values[id], (set ? 0 : value_of (self, id)) + delta);
    pthread_cond_broadcast (&self->triggered);
    pthread_mutex_unlock (&self->lock);
}

static gboolean
refuse (UcaTestCamera *self, guint id, const gchar *message, GError **error)
{
    if (locked_value (self, id) == 0)
        return FALSE;

    g_set_error_literal (error, UCA_CAMERA_ERROR,
                         id == PROP_FAIL_INIT ? UCA_CAMERA_ERROR_NOT_FOUND : UCA_CAMERA_ERROR_DEVICE, message);
    return TRUE;
}

static void
uca_test_camera_start_recording (UcaCamera *camera, GError **error)
{
    UcaTestCamera *self = (UcaTestCamera *) camera;
    guint width = locked_value (self, PROP_ROI_WIDTH_AT_START);

    if (refuse (self, PROP_FAIL_START, "Device refused to start", error))
        return;

    if (width > 0)
        change (self, PROP_ROI_WIDTH, width, TRUE);

    change (self, PROP_DEVICE_RECORDING, TRUE, TRUE);
}

static void
uca_test_camera_stop_recording (UcaCamera *camera, GError **error)
{
    UcaTestCamera *self = (UcaTestCamera *) camera;

    if (refuse (self, PROP_FAIL_STOP, "Device refused to stop", error))
        return;

    change (self, PROP_DEVICE_RECORDING, FALSE, TRUE);
    change (self, PROP_STOPS, 1, FALSE);
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
    (void) error;
    change ((UcaTestCamera *) camera, PROP_TRIGGERS, 1, FALSE);
}

static void
fill_frame (UcaTestCamera *self, gpointer data, guint32 sequence)
{
    memset (data, (int) (sequence & 0xff),
            (gsize) locked_value (self, PROP_ROI_WIDTH) * locked_value (self, PROP_ROI_HEIGHT) * sizeof (guint16));
    memcpy (data, &sequence, sizeof (sequence));
}

/* A grab waiting for a trigger gives up after 5 s, so that a trigger that never comes fails it. */
static gboolean
uca_test_camera_grab (UcaCamera *camera, gpointer data, GError **error)
{
    UcaTestCamera *self = (UcaTestCamera *) camera;
    guint fail_after;
    gboolean triggered = TRUE;
    struct timespec deadline;
    guint32 sequence;

    g_usleep (locked_value (self, PROP_FRAME_INTERVAL_US));
    clock_gettime (CLOCK_REALTIME, &deadline);
    deadline.tv_sec += 5;
    pthread_mutex_lock (&self->lock);
    fail_after = value_of (self, PROP_FAIL_GRAB_AFTER);

    if (fail_after > 0 && value_of (self, PROP_FRAMES_GRABBED) >= fail_after) {
        pthread_mutex_unlock (&self->lock);
        g_set_error_literal (error, UCA_CAMERA_ERROR, UCA_CAMERA_ERROR_DEVICE, "Detector lost");
        return FALSE;
    }

    if (value_of (self, PROP_GRAB_WAITS_FOR_TRIGGER)) {
        g_value_set_uint (&self->values[PROP_WAITING_GRABS], value_of (self, PROP_WAITING_GRABS) + 1);

        while (triggered && value_of (self, PROP_TRIGGERS) == self->triggers_consumed)
            triggered = pthread_cond_timedwait (&self->triggered, &self->lock, &deadline) == 0;

        g_value_set_uint (&self->values[PROP_WAITING_GRABS], value_of (self, PROP_WAITING_GRABS) - 1);
        self->triggers_consumed += triggered;
    }

    sequence = value_of (self, PROP_FRAMES_GRABBED) + triggered;
    g_value_set_uint (&self->values[PROP_FRAMES_GRABBED], sequence);
    pthread_mutex_unlock (&self->lock);

    if (!triggered) {
        g_set_error_literal (error, UCA_CAMERA_ERROR, UCA_CAMERA_ERROR_TIMEOUT, "No trigger arrived");
        return FALSE;
    }

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
    pthread_mutex_lock (&self->lock);
    g_value_copy (value, &self->values[property_id]);
    pthread_mutex_unlock (&self->lock);
}

static void
uca_test_camera_get_property (GObject *object, guint property_id, GValue *value, GParamSpec *pspec)
{
    UcaTestCamera *self = (UcaTestCamera *) object;

    (void) pspec;
    pthread_mutex_lock (&self->lock);

    if (property_id == PROP_IS_RECORDING)
        g_value_set_boolean (value, value_of (self, PROP_DEVICE_RECORDING));
    else
        g_value_copy (&self->values[property_id], value);

    pthread_mutex_unlock (&self->lock);
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
    static const gchar *own_names[] = {
        "device-recording",  "fail-init",          "fail-start",
        "fail-stop",         "fail-grab-after",    "grab-waits-for-trigger",
        "frame-interval-us", "roi-width-at-start", "frames-grabbed",
        "triggers",          "waiting-grabs",      "stops",
    };
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
    GValue *v = self->values;

    pthread_mutex_init (&self->lock, NULL);
    pthread_cond_init (&self->triggered, NULL);
    g_value_set_static_string (g_value_init (&v[PROP_NAME], G_TYPE_STRING), "test");
    g_value_set_double (g_value_init (&v[PROP_EXPOSURE_TIME], G_TYPE_DOUBLE), 0.5);

    for (guint id = PROP_SENSOR_WIDTH; id < N_PROPERTIES; id++)
        if (!G_IS_VALUE (&v[id]))
            g_value_init (&v[id], G_TYPE_UINT);

    g_value_set_uint (&v[PROP_SENSOR_WIDTH], 64);
    g_value_set_uint (&v[PROP_ROI_WIDTH], 64);
    g_value_set_uint (&v[PROP_SENSOR_HEIGHT], 32);
    g_value_set_uint (&v[PROP_ROI_HEIGHT], 32);
    g_value_set_uint (&v[PROP_SENSOR_BITDEPTH], 16);
}

GType
camera_plugin_get_type (void)
{
    return uca_test_camera_get_type ();
}
