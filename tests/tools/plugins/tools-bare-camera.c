/* SPDX-License-Identifier: LGPL-2.1-or-later */
/* A libuca camera that adds nothing to the base class: its page must document exactly the base
 * camera's properties. */

#include <gmodule.h>
#include <uca/uca-camera.h>

typedef struct {
    UcaCamera parent;
} UcaToolsBareCamera;

typedef struct {
    UcaCameraClass parent;
} UcaToolsBareCameraClass;

G_MODULE_EXPORT GType camera_plugin_get_type (void);
GType uca_tools_bare_camera_get_type (void);
G_DEFINE_TYPE (UcaToolsBareCamera, uca_tools_bare_camera, UCA_TYPE_CAMERA)

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
