/* SPDX-License-Identifier: LGPL-2.1-or-later */
/* The enumerations' GTypes. libuca exports them but installs no header declaring them,
 * so clients cannot rely on them; only this library and its own tests include this. */

#ifndef UCA_ENUMS_H
#define UCA_ENUMS_H

#include "uca/uca-camera.h"

G_BEGIN_DECLS

GType uca_camera_error_get_type (void);
GType uca_camera_trigger_source_get_type (void);
GType uca_camera_trigger_type_get_type (void);
GType uca_unit_get_type (void);

G_END_DECLS

#endif
