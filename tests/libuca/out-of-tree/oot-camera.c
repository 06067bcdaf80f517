/* SPDX-License-Identifier: LGPL-2.1-or-later */
/* Built twice against an installed libuca, only with its headers and pkg-config, the way a third
 * party would: as the camera plug-in libucaoot.so, and with OOT_LOADER as the program that loads
 * it through the plug-in manager and records two frames. Frame n (from 0) holds pixel index + n;
 * the "device" stages it in a UcaRingBuffer that grab reads from. */

#include <uca/uca-plugin-manager.h>
#include <uca/uca-ring-buffer.h>
#include <gmodule.h>
#include <stdlib.h>
#include <string.h>

#define OOT_PIXELS (8 * 4)

#ifndef OOT_LOADER

typedef struct {
    UcaCamera parent;
    UcaRingBuffer *staged; /* recording only; libuca serialises the slots that touch it */
    guint frames_made;
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
    for (guint i = 0; i < OOT_PIXELS; i++)
        pixels[i] = (guint16) (i + self->frames_made);

    self->frames_made++;
    uca_ring_buffer_write_advance (self->staged);
    memcpy (data, uca_ring_buffer_get_read_pointer (self->staged), OOT_PIXELS * sizeof (guint16));
    return TRUE;
}

/* Only read-only properties are overridden, so no set_property is needed. */
static void
uca_oot_camera_get_property (GObject *object, guint property_id, GValue *value, GParamSpec *pspec)
{
    if (property_id == PROP_NAME)
        g_value_set_string (value, "out-of-tree");
    else if (property_id == PROP_SENSOR_WIDTH || property_id == PROP_SENSOR_HEIGHT)
        g_value_set_uint (value, property_id == PROP_SENSOR_WIDTH ? 8 : 4);
    else
        G_OBJECT_WARN_INVALID_PROPERTY_ID (object, property_id, pspec);
}

static void
uca_oot_camera_class_init (UcaOotCameraClass *klass)
{
    GObjectClass *oclass = G_OBJECT_CLASS (klass);

    oclass->get_property = uca_oot_camera_get_property;
    klass->parent.start_recording = uca_oot_camera_start_recording;
    klass->parent.stop_recording = uca_oot_camera_stop_recording;
    klass->parent.grab = uca_oot_camera_grab;
    g_object_class_override_property (oclass, PROP_NAME, uca_camera_props[PROP_NAME]);
    g_object_class_override_property (oclass, PROP_SENSOR_WIDTH, uca_camera_props[PROP_SENSOR_WIDTH]);
    g_object_class_override_property (oclass, PROP_SENSOR_HEIGHT, uca_camera_props[PROP_SENSOR_HEIGHT]);
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

static void
check (gboolean passed, const gchar *what, GError **error)
{
    g_print ("  %-50s %s %s\n", what, passed ? "ok" : "FAILED", *error != NULL ? (*error)->message : "");

    if (!passed)
        exit (1);

    g_clear_error (error);
}

int
main (void)
{
    UcaPluginManager *manager = uca_plugin_manager_new ();
    GList *names = uca_plugin_manager_get_available_cameras (manager);
    UcaCamera *camera;
    GError *error = NULL;
    gchar *name = NULL;
    guint width = 0, height = 0;
    guint16 frame[OOT_PIXELS];

    /* Any warning or critical from libuca or GObject is a failure too. */
    g_log_set_always_fatal (G_LOG_LEVEL_WARNING | G_LOG_LEVEL_CRITICAL);
    check (g_list_find_custom (names, "oot", (GCompareFunc) g_strcmp0) != NULL, "lists `oot'", &error);
    g_list_free_full (names, g_free);
    camera = uca_plugin_manager_get_camera (manager, "oot", &error, NULL);
    check (camera != NULL, "creates the camera", &error);
    g_object_get (camera, "name", &name, "sensor-width", &width, "sensor-height", &height, NULL);
    check (g_strcmp0 (name, "out-of-tree") == 0 && width * height == OOT_PIXELS, "answers its own properties", &error);
    check (uca_camera_get_unit (camera, "roi-width") == UCA_UNIT_PIXEL, "has the base units", &error);
    uca_camera_start_recording (camera, &error);
    check (error == NULL && uca_camera_is_recording (camera), "starts recording", &error);

    for (guint n = 0; n < 2; n++) {
        check (uca_camera_grab (camera, frame, &error), "grabs a frame", &error);
        check (frame[0] == n && frame[OOT_PIXELS - 1] == OOT_PIXELS - 1 + n, "holds the plug-in's pixels", &error);
    }

    uca_camera_stop_recording (camera, &error);
    check (error == NULL && !uca_camera_is_recording (camera), "stops recording", &error);
    check (uca_plugin_manager_get_camera (manager, "missing", &error, NULL) == NULL &&
               g_error_matches (error, UCA_PLUGIN_MANAGER_ERROR, UCA_PLUGIN_MANAGER_ERROR_MODULE_NOT_FOUND),
           "a missing camera is MODULE_NOT_FOUND", &error);
    g_free (name);
    g_object_unref (camera);
    g_object_unref (manager);
    return 0;
}

#endif
