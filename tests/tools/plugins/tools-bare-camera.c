/* SPDX-License-Identifier: LGPL-2.1-or-later */
/* A libuca camera that adds nothing to the base class: its page must document exactly the base
 * camera's properties. */

#include <gio/gio.h>
#include <gmodule.h>
#include <uca/uca-camera.h>

typedef struct {
    UcaCamera parent;
} UcaToolsBareCamera;

typedef struct {
    UcaCameraClass parent;
} UcaToolsBareCameraClass;

GType camera_plugin_get_type (void);
GType uca_tools_bare_camera_get_type (void);
static void uca_tools_bare_camera_initable_iface_init (GInitableIface *iface);

G_DEFINE_TYPE_WITH_CODE (UcaToolsBareCamera, uca_tools_bare_camera, UCA_TYPE_CAMERA,
                         G_IMPLEMENT_INTERFACE (G_TYPE_INITABLE, uca_tools_bare_camera_initable_iface_init))

static gboolean
uca_tools_bare_camera_initable_init (GInitable *initable, GCancellable *cancellable, GError **error)
{
    (void) initable;
    (void) cancellable;
    (void) error;
    return TRUE;
}

static void
uca_tools_bare_camera_initable_iface_init (GInitableIface *iface)
{
    iface->init = uca_tools_bare_camera_initable_init;
}

static void
uca_tools_bare_camera_class_init (UcaToolsBareCameraClass *klass)
{
    (void) klass;
}

static void
uca_tools_bare_camera_init (UcaToolsBareCamera *self)
{
    (void) self;
}

G_MODULE_EXPORT GType
camera_plugin_get_type (void)
{
    return uca_tools_bare_camera_get_type ();
}
