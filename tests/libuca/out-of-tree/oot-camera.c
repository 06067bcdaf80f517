/* SPDX-License-Identifier: LGPL-2.1-or-later */
/* Built twice against an installed libuca, only with its headers and pkg-config, the way a third
 * party would: as the camera plug-in libucaoot.so, and with OOT_LOADER as the program that loads
 * it through the plug-in manager and grabs two frames. Frame n (from 0) holds pixel index + n; the
 * "device" stages it in a UcaRingBuffer that grab reads from. */

#include <uca/uca-plugin-manager.h>
#include <uca/uca-ring-buffer.h>
#include <gmodule.h>
#include <stdlib.h>
#include <string.h>

#define OOT_PIXELS 32

#ifndef OOT_LOADER

typedef struct {
    UcaCamera parent;
    UcaRingBuffer *staged; /* recording only; libuca serialises the slots that touch it */
    guint16 frames_made;
} UcaOotCamera;

typedef struct {
    UcaCameraClass parent;
} UcaOotCameraClass;

G_MODULE_EXPORT GType camera_plugin_get_type (void);
static GType uca_oot_camera_get_type (void);
G_DEFINE_TYPE (UcaOotCamera, uca_oot_camera, UCA_TYPE_CAMERA)

static void
uca_oot_camera_start_recording (UcaCamera *camera, GError **error)
{
    (void) error;
    ((UcaOotCamera *) camera)->staged = uca_ring_buffer_new (OOT_PIXELS * sizeof (guint16), 2);
}

static void
uca_oot_camera_stop_recording (UcaCamera *camera, GError **error)
{
    (void) error;
    g_clear_object (&((UcaOotCamera *) camera)->staged);
}

static gboolean
uca_oot_camera_grab (UcaCamera *camera, gpointer data, GError **error)
{
    UcaOotCamera *self = (UcaOotCamera *) camera;
    guint16 *pixels = uca_ring_buffer_get_write_pointer (self->staged);

    (void) error;
    for (guint16 i = 0; i < OOT_PIXELS; i++)
        pixels[i] = i + self->frames_made;

    self->frames_made++;
    uca_ring_buffer_write_advance (self->staged);
    memcpy (data, uca_ring_buffer_get_read_pointer (self->staged), OOT_PIXELS * sizeof (guint16));
    return TRUE;
}

/* Only the read-only name is overridden, so no set_property is needed. */
static void
uca_oot_camera_get_property (GObject *object, guint property_id, GValue *value, GParamSpec *pspec)
{
    if (property_id == PROP_NAME)
        g_value_set_string (value, "out-of-tree");
    else
        G_OBJECT_WARN_INVALID_PROPERTY_ID (object, property_id, pspec);
}

static void
uca_oot_camera_class_init (UcaOotCameraClass *klass)
{
    G_OBJECT_CLASS (klass)->get_property = uca_oot_camera_get_property;
    klass->parent.start_recording = uca_oot_camera_start_recording;
    klass->parent.stop_recording = uca_oot_camera_stop_recording;
    klass->parent.grab = uca_oot_camera_grab;
    g_object_class_override_property (G_OBJECT_CLASS (klass), PROP_NAME, uca_camera_props[PROP_NAME]);
}

static void
uca_oot_camera_init (UcaOotCamera *camera)
{
    (void) camera;
}

GType
camera_plugin_get_type (void)
{
    return uca_oot_camera_get_type ();
}

#else

/* Any warning or critical from libuca or GObject is a failure too (g_log_set_always_fatal). */
int
main (void)
{
    UcaPluginManager *manager = uca_plugin_manager_new ();
    UcaCamera *camera;
    GError *error = NULL;
    gchar *name = NULL;
    guint16 frame[OOT_PIXELS];

    g_log_set_always_fatal (G_LOG_LEVEL_WARNING | G_LOG_LEVEL_CRITICAL);
    camera = uca_plugin_manager_get_camera (manager, "oot", &error, NULL);
    g_assert_no_error (error);
    g_object_get (camera, "name", &name, NULL);
    g_assert_cmpstr (name, ==, "out-of-tree");
    g_assert_cmpint (uca_camera_get_unit (camera, "roi-width"), ==, UCA_UNIT_PIXEL);
    uca_camera_start_recording (camera, &error);
    g_assert_no_error (error);

    for (guint n = 0; n < 2; n++) {
        g_assert_true (uca_camera_grab (camera, frame, &error));
        g_assert_cmpuint (frame[0], ==, n);
        g_assert_cmpuint (frame[OOT_PIXELS - 1], ==, OOT_PIXELS - 1 + n);
    }

    uca_camera_stop_recording (camera, &error);
    g_assert_no_error (error);
    g_assert_false (uca_camera_is_recording (camera));
    g_assert_null (uca_plugin_manager_get_camera (manager, "missing", &error, NULL));
    g_assert_error (error, UCA_PLUGIN_MANAGER_ERROR, UCA_PLUGIN_MANAGER_ERROR_MODULE_NOT_FOUND);
    g_print ("the plug-in built against the installed libuca loads, records and stops\n");
    g_error_free (error);
    g_free (name);
    g_object_unref (camera);
    g_object_unref (manager);
    return 0;
}

#endif
