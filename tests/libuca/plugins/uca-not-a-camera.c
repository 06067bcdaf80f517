/* SPDX-License-Identifier: LGPL-2.1-or-later */
/* A module whose export names a type that is not a camera. */

#include <glib-object.h>
#include <gmodule.h>

G_MODULE_EXPORT GType camera_plugin_get_type (void);

GType
camera_plugin_get_type (void)
{
    return G_TYPE_OBJECT;
}
