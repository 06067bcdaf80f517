/* SPDX-License-Identifier: LGPL-2.1-or-later */
/* Preloaded into gen-doc to stand in for a libuca whose base camera cannot be instantiated. */

#include <glib-object.h>

GType uca_camera_get_type (void);

GType
uca_camera_get_type (void)
{
    static GType type = 0;

    if (type == 0)
        type = g_type_register_static_simple (G_TYPE_OBJECT, "ToolsAbstractCamera", sizeof (GObjectClass),
                                              NULL, sizeof (GObject), NULL, G_TYPE_FLAG_ABSTRACT);

    return type;
}
