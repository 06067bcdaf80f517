/* SPDX-License-Identifier: LGPL-2.1-or-later */
/* A camera plug-in built outside the project against an installed libuca, the way a
 * third party would: only libuca's headers and pkg-config. Frame n (from 0) is 8 x 4
 * pixels of 16 bits, each holding its index plus n; the "device" stages frames in a
 * UcaRingBuffer that grab reads from. It overrides read-only properties only, so it
 * needs no set_property. */

#include <uca/uca-camera.h>
#include <uca/uca-ring-buffer.h>
#include <gmodule.h>
#include <string.h>

#define OOT_WIDTH 8
#define OOT_HEIGHT 4
#define OOT_FRAME_BYTES (OOT_WIDTH * OOT_HEIGHT * sizeof (guint16))

typedef struct {
    UcaCamera parent;

    /* Recording only; libuca serialises the slots that touch them. */
    UcaRingBuffer *staged;
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
    UcaOotCamera *self = (UcaOotCamera *) camera;

    (void) error;
    self->staged = uca_ring_buffer_new (OOT_FRAME_BYTES, 2);
    self->frames_made = 0;
}

static void
uca_oot_camera_stop_recording (UcaCamera *camera, GError **error)
{
    (void) error;
    g_clear_object (&((UcaOotCamera *) camera)->staged);
}

static void
stage_frame (UcaOotCamera *self)
{
    guint16 *pixels = uca_ring_buffer_get_write_pointer (self->staged);

    for (guint i = 0; i < OOT_WIDTH * OOT_HEIGHT; i++)
        pixels[i] = (guint16) (i + self->frames_made);

    self->frames_made++;
    uca_ring_buffer_write_advance (self->staged);
}

static gboolean
uca_oot_camera_grab (UcaCamera *camera, gpointer data, GError **error)
{
    UcaOotCamera *self = (UcaOotCamera *) camera;

    (void) error;

    if (!uca_ring_buffer_available (self->staged))
        stage_frame (self);

    memcpy (data, uca_ring_buffer_get_read_pointer (self->staged), OOT_FRAME_BYTES);
    return TRUE;
}

static void
uca_oot_camera_get_property (GObject *object, guint property_id, GValue *value, GParamSpec *pspec)
{
    switch (property_id) {
        case PROP_NAME:
            g_value_set_string (value, "out-of-tree");
            break;
        case PROP_SENSOR_BITDEPTH:
            g_value_set_uint (value, 16);
            break;
        case PROP_SENSOR_WIDTH:
            g_value_set_uint (value, OOT_WIDTH);
            break;
        case PROP_SENSOR_HEIGHT:
            g_value_set_uint (value, OOT_HEIGHT);
            break;
        default:
            G_OBJECT_WARN_INVALID_PROPERTY_ID (object, property_id, pspec);
            break;
    }
}

static void
uca_oot_camera_dispose (GObject *object)
{
    g_clear_object (&((UcaOotCamera *) object)->staged);
    G_OBJECT_CLASS (uca_oot_camera_parent_class)->dispose (object);
}

static void
uca_oot_camera_class_init (UcaOotCameraClass *klass)
{
    static const guint overridden[] = {
        PROP_NAME, PROP_SENSOR_BITDEPTH, PROP_SENSOR_WIDTH, PROP_SENSOR_HEIGHT,
    };
    GObjectClass *oclass = G_OBJECT_CLASS (klass);

    oclass->get_property = uca_oot_camera_get_property;
    oclass->dispose = uca_oot_camera_dispose;
    klass->parent.start_recording = uca_oot_camera_start_recording;
    klass->parent.stop_recording = uca_oot_camera_stop_recording;
    klass->parent.grab = uca_oot_camera_grab;

    for (gsize i = 0; i < G_N_ELEMENTS (overridden); i++)
        g_object_class_override_property (oclass, overridden[i], uca_camera_props[overridden[i]]);
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
