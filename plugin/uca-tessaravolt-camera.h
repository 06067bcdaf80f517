/* SPDX-License-Identifier: LGPL-2.1-or-later */
/* The libuca camera for the TessaraVolt flat-panel detector. */
#ifndef UCA_TESSARAVOLT_CAMERA_H
#define UCA_TESSARAVOLT_CAMERA_H

#include <glib-object.h>
#include <gmodule.h>
#include <uca/uca-camera.h>

G_BEGIN_DECLS

#define UCA_TYPE_TESSARAVOLT_CAMERA (uca_tessaravolt_camera_get_type ())
#define UCA_TESSARAVOLT_CAMERA(obj) \
    (G_TYPE_CHECK_INSTANCE_CAST ((obj), UCA_TYPE_TESSARAVOLT_CAMERA, UcaTessaraVoltCamera))
#define UCA_IS_TESSARAVOLT_CAMERA(obj) (G_TYPE_CHECK_INSTANCE_TYPE ((obj), UCA_TYPE_TESSARAVOLT_CAMERA))
#define UCA_TESSARAVOLT_CAMERA_CLASS(klass) \
    (G_TYPE_CHECK_CLASS_CAST ((klass), UCA_TYPE_TESSARAVOLT_CAMERA, UcaTessaraVoltCameraClass))
#define UCA_IS_TESSARAVOLT_CAMERA_CLASS(klass) (G_TYPE_CHECK_CLASS_TYPE ((klass), UCA_TYPE_TESSARAVOLT_CAMERA))
#define UCA_TESSARAVOLT_CAMERA_GET_CLASS(obj) \
    (G_TYPE_INSTANCE_GET_CLASS ((obj), UCA_TYPE_TESSARAVOLT_CAMERA, UcaTessaraVoltCameraClass))

typedef struct _UcaTessaraVoltCamera UcaTessaraVoltCamera;
typedef struct _UcaTessaraVoltCameraClass UcaTessaraVoltCameraClass;
typedef struct _UcaTessaraVoltCameraPrivate UcaTessaraVoltCameraPrivate;

struct _UcaTessaraVoltCamera {
    /*< private >*/
    UcaCamera parent;

    UcaTessaraVoltCameraPrivate *priv;
};

struct _UcaTessaraVoltCameraClass {
    /*< private >*/
    UcaCameraClass parent;
};

/* The plug-in's only export: libuca's plug-in manager asks it for the camera type. */
G_MODULE_EXPORT GType camera_plugin_get_type (void);

GType uca_tessaravolt_camera_get_type (void);

G_END_DECLS

#endif
