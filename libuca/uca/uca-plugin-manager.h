/* SPDX-License-Identifier: LGPL-2.1-or-later */
#ifndef UCA_PLUGIN_MANAGER_H
#define UCA_PLUGIN_MANAGER_H

#include <glib-object.h>
#include "uca-camera.h"

G_BEGIN_DECLS

#define UCA_TYPE_PLUGIN_MANAGER (uca_plugin_manager_get_type ())
#define UCA_PLUGIN_MANAGER(obj) (G_TYPE_CHECK_INSTANCE_CAST ((obj), UCA_TYPE_PLUGIN_MANAGER, UcaPluginManager))
#define UCA_IS_PLUGIN_MANAGER(obj) (G_TYPE_CHECK_INSTANCE_TYPE ((obj), UCA_TYPE_PLUGIN_MANAGER))

#define UCA_PLUGIN_MANAGER_ERROR uca_plugin_manager_error_quark ()
GQuark uca_plugin_manager_error_quark (void);

typedef enum {
    UCA_PLUGIN_MANAGER_ERROR_MODULE_NOT_FOUND,
    UCA_PLUGIN_MANAGER_ERROR_MODULE_OPEN,
    UCA_PLUGIN_MANAGER_ERROR_SYMBOL_NOT_FOUND,
} UcaPluginManagerError;

typedef struct _UcaPluginManager UcaPluginManager;
typedef struct _UcaPluginManagerClass UcaPluginManagerClass;
typedef struct _UcaPluginManagerPrivate UcaPluginManagerPrivate;

struct _UcaPluginManager {
    /*< private >*/
    GObject parent_instance;

    UcaPluginManagerPrivate *priv;
};

struct _UcaPluginManagerClass {
    /*< private >*/
    GObjectClass parent_class;
};

UcaPluginManager *uca_plugin_manager_new (void);
void uca_plugin_manager_add_path (UcaPluginManager *manager, const gchar *path);
GList *uca_plugin_manager_get_available_cameras (UcaPluginManager *manager);
UcaCamera *uca_plugin_manager_get_camerah (UcaPluginManager *manager, const gchar *name,
                                          GHashTable *parameters, GError **error);
G_GNUC_BEGIN_IGNORE_DEPRECATIONS
UcaCamera *uca_plugin_manager_get_camerav (UcaPluginManager *manager, const gchar *name,
                                          guint n_parameters, GParameter *parameters,
                                          GError **error);
G_GNUC_END_IGNORE_DEPRECATIONS
UcaCamera *uca_plugin_manager_get_camera (UcaPluginManager *manager, const gchar *name,
                                         GError **error, const gchar *first_prop_name, ...);
GType uca_plugin_manager_get_type (void);

G_END_DECLS

#endif
