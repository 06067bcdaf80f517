/* SPDX-License-Identifier: LGPL-2.1-or-later */
/* A small camera for the libuca tests. Each grabbed frame starts with its sequence
 * number (guint32) and is filled with that number's low byte; properties let a test make
 * initialisation, start, stop or grab fail, and make grab wait for a trigger. */

#include <uca/uca-camera.h>

#include <gio/gio.h>
#include <gmodule.h>
#include <pthread.h>
#include <string.h>
#include <time.h>

#define UCA_TYPE_TEST_CAMERA (uca_test_camera_get_type ())
#define UCA_TEST_CAMERA(obj) (G_TYPE_CHECK_INSTANCE_CAST ((obj), UCA_TYPE_TEST_CAMERA, UcaTestCamera))

typedef struct _UcaTestCamera UcaTestCamera;
typedef struct {
    UcaCameraClass parent;
} UcaTestCameraClass;

static GType uca_test_camera_get_type (void);

G_MODULE_EXPORT GType camera_plugin_get_type (void);

enum {
    PROP_ALREADY_RECORDING = N_BASE_PROPERTIES,
    PROP_FAIL_INIT,
    PROP_FAIL_START,
    PROP_FAIL_STOP,
    PROP_FAIL_GRAB_AFTER,
    PROP_GRAB_WAITS_FOR_TRIGGER,
    PROP_FRAME_INTERVAL,
    PROP_FRAMES_GRABBED,
    PROP_TRIGGERS,
    PROP_WAITING_GRABS,
    PROP_STOP_COUNTER,
    PROP_ROI_WIDTH_AT_START,
    N_PROPERTIES
};

static const guint overridden[] = {
    PROP_NAME, PROP_SENSOR_WIDTH, PROP_SENSOR_HEIGHT, PROP_SENSOR_BITDEPTH,
    PROP_EXPOSURE_TIME, PROP_ROI_WIDTH, PROP_ROI_HEIGHT, PROP_IS_RECORDING,
};

static GParamSpec *own_properties[N_PROPERTIES] = { NULL, };

struct _UcaTestCamera {
    UcaCamera parent;

    /* Settings: client thread (written before recording starts). */
    gboolean fail_init;
    gboolean fail_start;
    gboolean fail_stop;
    guint fail_grab_after;
    gboolean grab_waits_for_trigger;
    guint frame_interval_us;
    gint *stop_counter;     /* the test's counter of successful stops, may be NULL */
    guint roi_width;
    guint roi_height;
    guint roi_width_at_start; /* 0: the device keeps the width it was given */
    gdouble exposure_time;

    /* Shared between the grab (client or read thread) and trigger: guarded by lock. */
    pthread_mutex_t lock;
    pthread_cond_t triggered;
    gboolean device_recording;
    guint frames_grabbed;
    guint triggers;
    guint triggers_consumed;
    guint waiting_grabs;
};

static void uca_test_camera_initable_iface_init (GInitableIface *iface);

G_DEFINE_TYPE_WITH_CODE (UcaTestCamera, uca_test_camera, UCA_TYPE_CAMERA,
                         G_IMPLEMENT_INTERFACE (G_TYPE_INITABLE, uca_test_camera_initable_iface_init))

static void
set_device_recording (UcaTestCamera *self, gboolean recording)
{
    pthread_mutex_lock (&self->lock);
    self->device_recording = recording;
    pthread_mutex_unlock (&self->lock);
}

static void
uca_test_camera_start_recording (UcaCamera *camera, GError **error)
{
    UcaTestCamera *self = UCA_TEST_CAMERA (camera);

    if (self->fail_start) {
        g_set_error_literal (error, UCA_CAMERA_ERROR, UCA_CAMERA_ERROR_DEVICE, "Device refused to start");
        return;
    }

    if (self->roi_width_at_start > 0)
        self->roi_width = self->roi_width_at_start;
    set_device_recording (self, TRUE);
}

static void
uca_test_camera_stop_recording (UcaCamera *camera, GError **error)
{
    UcaTestCamera *self = UCA_TEST_CAMERA (camera);

    if (self->fail_stop) {
        g_set_error_literal (error, UCA_CAMERA_ERROR, UCA_CAMERA_ERROR_DEVICE, "Device refused to stop");
        return;
    }

    set_device_recording (self, FALSE);

    if (self->stop_counter != NULL)
        (*self->stop_counter)++;
}

static void
uca_test_camera_start_readout (UcaCamera *camera, GError **error)
{
    (void) camera;
    (void) error;
}

static void
uca_test_camera_stop_readout (UcaCamera *camera, GError **error)
{
    (void) camera;
    (void) error;
}

static void
uca_test_camera_trigger (UcaCamera *camera, GError **error)
{
    UcaTestCamera *self = UCA_TEST_CAMERA (camera);

    (void) error;
    pthread_mutex_lock (&self->lock);
    self->triggers++;
    pthread_cond_broadcast (&self->triggered);
    pthread_mutex_unlock (&self->lock);
}

static void
deadline_after_seconds (struct timespec *deadline, time_t seconds)
{
    clock_gettime (CLOCK_REALTIME, deadline);
    deadline->tv_sec += seconds;
}

/* Called with self->lock held. */
static gboolean
wait_for_trigger (UcaTestCamera *self, GError **error)
{
    struct timespec deadline;

    gboolean triggered = TRUE;

    deadline_after_seconds (&deadline, 5);
    self->waiting_grabs++;

    while (triggered && self->triggers == self->triggers_consumed)
        triggered = pthread_cond_timedwait (&self->triggered, &self->lock, &deadline) == 0;

    self->waiting_grabs--;

    if (!triggered) {
        g_set_error_literal (error, UCA_CAMERA_ERROR, UCA_CAMERA_ERROR_TIMEOUT, "No trigger arrived");
        return FALSE;
    }

    self->triggers_consumed++;
    return TRUE;
}

static gsize
frame_size (UcaTestCamera *self)
{
    return (gsize) self->roi_width * self->roi_height * sizeof (guint16);
}

static void
fill_frame (UcaTestCamera *self, gpointer data, guint32 sequence)
{
    memset (data, (int) (sequence & 0xff), frame_size (self));
    memcpy (data, &sequence, sizeof (sequence));
}

static gboolean
uca_test_camera_grab (UcaCamera *camera, gpointer data, GError **error)
{
    UcaTestCamera *self = UCA_TEST_CAMERA (camera);
    guint32 sequence;

    if (self->frame_interval_us > 0)
        g_usleep (self->frame_interval_us);

    pthread_mutex_lock (&self->lock);

    if (self->fail_grab_after > 0 && self->frames_grabbed >= self->fail_grab_after) {
        pthread_mutex_unlock (&self->lock);
        g_set_error_literal (error, UCA_CAMERA_ERROR, UCA_CAMERA_ERROR_DEVICE, "Detector lost");
        return FALSE;
    }

    if (self->grab_waits_for_trigger && !wait_for_trigger (self, error)) {
        pthread_mutex_unlock (&self->lock);
        return FALSE;
    }

    sequence = ++self->frames_grabbed;
    pthread_mutex_unlock (&self->lock);

    fill_frame (self, data, sequence);
    return TRUE;
}

static gboolean
uca_test_camera_readout (UcaCamera *camera, gpointer data, guint index, GError **error)
{
    (void) error;
    fill_frame (UCA_TEST_CAMERA (camera), data, index);
    return TRUE;
}

static gboolean
uca_test_camera_initable_init (GInitable *initable, GCancellable *cancellable, GError **error)
{
    (void) cancellable;

    if (UCA_TEST_CAMERA (initable)->fail_init) {
        g_set_error_literal (error, UCA_CAMERA_ERROR, UCA_CAMERA_ERROR_NOT_FOUND, "No test device attached");
        return FALSE;
    }

    return TRUE;
}

static void
uca_test_camera_initable_iface_init (GInitableIface *iface)
{
    iface->init = uca_test_camera_initable_init;
}

static void
uca_test_camera_set_property (GObject *object, guint property_id, const GValue *value, GParamSpec *pspec)
{
    UcaTestCamera *self = UCA_TEST_CAMERA (object);

    switch (property_id) {
        case PROP_EXPOSURE_TIME:
            self->exposure_time = g_value_get_double (value);
            break;
        case PROP_ROI_WIDTH:
            self->roi_width = g_value_get_uint (value);
            break;
        case PROP_ROI_HEIGHT:
            self->roi_height = g_value_get_uint (value);
            break;
        case PROP_ALREADY_RECORDING:
            self->device_recording = g_value_get_boolean (value);
            break;
        case PROP_FAIL_INIT:
            self->fail_init = g_value_get_boolean (value);
            break;
        case PROP_FAIL_START:
            self->fail_start = g_value_get_boolean (value);
            break;
        case PROP_FAIL_STOP:
            self->fail_stop = g_value_get_boolean (value);
            break;
        case PROP_FAIL_GRAB_AFTER:
            self->fail_grab_after = g_value_get_uint (value);
            break;
        case PROP_GRAB_WAITS_FOR_TRIGGER:
            self->grab_waits_for_trigger = g_value_get_boolean (value);
            break;
        case PROP_FRAME_INTERVAL:
            self->frame_interval_us = g_value_get_uint (value);
            break;
        case PROP_STOP_COUNTER:
            self->stop_counter = g_value_get_pointer (value);
            break;
        case PROP_ROI_WIDTH_AT_START:
            self->roi_width_at_start = g_value_get_uint (value);
            break;
        default:
            G_OBJECT_WARN_INVALID_PROPERTY_ID (object, property_id, pspec);
            break;
    }
}

static guint
locked_read (UcaTestCamera *self, const guint *member)
{
    guint result;

    pthread_mutex_lock (&self->lock);
    result = *member;
    pthread_mutex_unlock (&self->lock);
    return result;
}

static gboolean
is_device_recording (UcaTestCamera *self)
{
    gboolean result;

    pthread_mutex_lock (&self->lock);
    result = self->device_recording;
    pthread_mutex_unlock (&self->lock);
    return result;
}

static void
uca_test_camera_get_property (GObject *object, guint property_id, GValue *value, GParamSpec *pspec)
{
    UcaTestCamera *self = UCA_TEST_CAMERA (object);

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
        case PROP_ALREADY_RECORDING:
            g_value_set_boolean (value, is_device_recording (self));
            break;
        case PROP_FAIL_INIT:
            g_value_set_boolean (value, self->fail_init);
            break;
        case PROP_FAIL_START:
            g_value_set_boolean (value, self->fail_start);
            break;
        case PROP_FAIL_STOP:
            g_value_set_boolean (value, self->fail_stop);
            break;
        case PROP_FAIL_GRAB_AFTER:
            g_value_set_uint (value, self->fail_grab_after);
            break;
        case PROP_GRAB_WAITS_FOR_TRIGGER:
            g_value_set_boolean (value, self->grab_waits_for_trigger);
            break;
        case PROP_FRAME_INTERVAL:
            g_value_set_uint (value, self->frame_interval_us);
            break;
        case PROP_FRAMES_GRABBED:
            g_value_set_uint (value, locked_read (self, &self->frames_grabbed));
            break;
        case PROP_TRIGGERS:
            g_value_set_uint (value, locked_read (self, &self->triggers));
            break;
        case PROP_WAITING_GRABS:
            g_value_set_uint (value, locked_read (self, &self->waiting_grabs));
            break;
        case PROP_STOP_COUNTER:
            g_value_set_pointer (value, self->stop_counter);
            break;
        case PROP_ROI_WIDTH_AT_START:
            g_value_set_uint (value, self->roi_width_at_start);
            break;
        default:
            G_OBJECT_WARN_INVALID_PROPERTY_ID (object, property_id, pspec);
            break;
    }
}

static void
uca_test_camera_finalize (GObject *object)
{
    UcaTestCamera *self = UCA_TEST_CAMERA (object);

    pthread_cond_destroy (&self->triggered);
    pthread_mutex_destroy (&self->lock);
    G_OBJECT_CLASS (uca_test_camera_parent_class)->finalize (object);
}

static void
install_own_properties (GObjectClass *oclass)
{
    const GParamFlags RW = G_PARAM_READWRITE | G_PARAM_CONSTRUCT;

    own_properties[PROP_ALREADY_RECORDING] =
        g_param_spec_boolean ("already-recording", "Already recording",
                              "The device records before libuca starts it", FALSE,
                              G_PARAM_READWRITE | G_PARAM_CONSTRUCT_ONLY);
    own_properties[PROP_FAIL_INIT] =
        g_param_spec_boolean ("fail-init", "Fail initialisation", "Make GInitable fail", FALSE, RW);
    own_properties[PROP_FAIL_START] =
        g_param_spec_boolean ("fail-start", "Fail start", "Make the start slot fail", FALSE, RW);
    own_properties[PROP_FAIL_STOP] =
        g_param_spec_boolean ("fail-stop", "Fail stop", "Make the stop slot fail", FALSE, RW);
    own_properties[PROP_FAIL_GRAB_AFTER] =
        g_param_spec_uint ("fail-grab-after", "Fail grab after", "Frames before grab fails (0: never)",
                           0, G_MAXUINT, 0, RW);
    own_properties[PROP_GRAB_WAITS_FOR_TRIGGER] =
        g_param_spec_boolean ("grab-waits-for-trigger", "Grab waits for trigger",
                              "Each grab waits for one trigger", FALSE, RW);
    own_properties[PROP_FRAME_INTERVAL] =
        g_param_spec_uint ("frame-interval-us", "Frame interval", "Time one grab takes in microseconds",
                           0, G_MAXUINT, 0, RW);
    own_properties[PROP_FRAMES_GRABBED] =
        g_param_spec_uint ("frames-grabbed", "Frames grabbed", "Frames grabbed so far",
                           0, G_MAXUINT, 0, G_PARAM_READABLE);
    own_properties[PROP_TRIGGERS] =
        g_param_spec_uint ("triggers", "Triggers", "Triggers received so far",
                           0, G_MAXUINT, 0, G_PARAM_READABLE);
    own_properties[PROP_WAITING_GRABS] =
        g_param_spec_uint ("waiting-grabs", "Waiting grabs", "Grabs waiting for a trigger",
                           0, G_MAXUINT, 0, G_PARAM_READABLE);
    own_properties[PROP_STOP_COUNTER] =
        g_param_spec_pointer ("stop-counter", "Stop counter", "gint incremented by each successful stop",
                              G_PARAM_READWRITE);

    own_properties[PROP_ROI_WIDTH_AT_START] = g_param_spec_uint (
        "roi-width-at-start", "Width at start",
        "Region width the device takes when it starts, as one rounding to its steps would (0: as set)", 0, G_MAXUINT, 0,
        RW);

    for (guint id = N_BASE_PROPERTIES; id < N_PROPERTIES; id++)
        g_object_class_install_property (oclass, id, own_properties[id]);
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
    camera_class->start_readout = uca_test_camera_start_readout;
    camera_class->stop_readout = uca_test_camera_stop_readout;
    camera_class->trigger = uca_test_camera_trigger;
    camera_class->grab = uca_test_camera_grab;
    camera_class->readout = uca_test_camera_readout;

    for (gsize i = 0; i < G_N_ELEMENTS (overridden); i++)
        g_object_class_override_property (oclass, overridden[i], uca_camera_props[overridden[i]]);

    install_own_properties (oclass);
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
    return UCA_TYPE_TEST_CAMERA;
}
