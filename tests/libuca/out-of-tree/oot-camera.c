/* SPDX-License-Identifier: LGPL-2.1-or-later */
/* A camera plug-in built against an installed libuca, only with its headers and pkg-config, the
 * way a third party would. It answers its name, which the installed uca-info reads back. */

#include <uca/uca-camera.h>
#include <gmodule.h>

typedef struct {
    UcaCamera parent;
} UcaOotCamera;

typedef struct {
    UcaCameraClass parent;
} UcaOotCameraClass;

G_MODULE_EXPORT GType camera_plugin_get_type (void);
static GType uca_oot_camera_get_type (void);
G_DEFINE_TYPE (UcaOotCamera, uca_oot_camera, UCA_TYPE_CAMERA)

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
