/* SPDX-License-Identifier: LGPL-2.1-or-later */
/* A loadable module that lacks the camera_plugin_get_type export. */

#include <gmodule.h>

G_MODULE_EXPORT int uca_no_export_marker (void);

int
uca_no_export_marker (void)
{
    return 1;
}
