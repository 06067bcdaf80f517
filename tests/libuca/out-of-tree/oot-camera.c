/* SPDX-License-Identifier: LGPL-2.1-or-later */
/* A camera plug-in built against an installed libuca, only with its headers and pkg-config, the
 * way a third party would. Frame n (from 0) holds pixel index + n; the "device" stages it in a
 * UcaRingBuffer that grab reads from. */

#include <uca/uca-camera.h>
#include <uca/uca-ring-buffer.h>
#include <gmodule.h>
#include <string.h>

#define OOT_PIXELS 32

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

