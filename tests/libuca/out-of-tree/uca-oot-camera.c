/* A camera plug-in built outside the project against an installed libuca, the way a
 * third party would: only <uca/uca-camera.h> and pkg-config. Each frame is 8 x 4 pixels
 * of 16 bits holding the pixel's index. It overrides read-only properties only, so it
 * needs no set_property. */

#include <uca/uca-camera.h>
#include <gmodule.h>

#define OOT_WIDTH 8
#define OOT_HEIGHT 4

typedef struct {
    UcaCamera parent;
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
    (void) camera;
    (void) error;
}

static void
uca_oot_camera_stop_recording (UcaCamera *camera, GError **error)
{
    (void) camera;
    (void) error;
}

static gboolean
uca_oot_camera_grab (UcaCamera *camera, gpointer data, GError **error)
{
    guint16 *pixels = data;

    (void) camera;
    (void) error;

    for (guint i = 0; i < OOT_WIDTH * OOT_HEIGHT; i++)
        pixels[i] = (guint16) i;

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
uca_oot_camera_class_init (UcaOotCameraClass *klass)
{
    static const guint overridden[] = {
        PROP_NAME, PROP_SENSOR_BITDEPTH, PROP_SENSOR_WIDTH, PROP_SENSOR_HEIGHT,
    };
    GObjectClass *oclass = G_OBJECT_CLASS (klass);

    oclass->get_property = uca_oot_camera_get_property;
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
