/* SPDX-License-Identifier: LGPL-2.1-or-later */
/* A libuca camera that adds nothing to the base class: its page must document exactly the base
 * camera's properties. */

#include <gmodule.h>
#include <uca/uca-camera.h>

G_MODULE_EXPORT GType camera_plugin_get_type (void);

GType
camera_plugin_get_type (void)
{
    static GType type = 0;

    if (type == 0)
        type = g_type_register_static_simple (UCA_TYPE_CAMERA, "UcaToolsBareCamera", sizeof (UcaCameraClass), NULL,
                                              sizeof (UcaCamera), NULL, 0);

    return type;
}
