/* SPDX-License-Identifier: LGPL-2.1-or-later */
/* UcaPluginManager: finds camera plug-ins (libuca<name>.so, on Windows libuca<name>.dll) in its
 * search paths and
 * creates cameras from them. Modules stay loaded for the life of the process, because
 * the types they register cannot be unregistered. */

#include "uca/uca-plugin-manager.h"

#include <gio/gio.h>
#include <gmodule.h>
#include <string.h>
#ifdef G_OS_WIN32
#include <windows.h>
#endif

typedef GType (*UcaCameraPluginGetType) (void);

struct _UcaPluginManagerPrivate {
    GList *search_paths;    /* owned strings, in search order; client thread only */
};

G_DEFINE_TYPE_WITH_PRIVATE (UcaPluginManager, uca_plugin_manager, G_TYPE_OBJECT)

GQuark
uca_plugin_manager_error_quark (void)
{
    return g_quark_from_static_string ("uca-plugin-manager-error-quark");
}

static void
append_existing_path (UcaPluginManager *manager, const gchar *path)
{
    UcaPluginManagerPrivate *priv = manager->priv;

    if (g_file_test (path, G_FILE_TEST_IS_DIR))
        priv->search_paths = g_list_append (priv->search_paths, g_strdup (path));
}

static void
uca_plugin_manager_finalize (GObject *object)
{
    UcaPluginManagerPrivate *priv = UCA_PLUGIN_MANAGER (object)->priv;

    g_list_free_full (priv->search_paths, g_free);
    G_OBJECT_CLASS (uca_plugin_manager_parent_class)->finalize (object);
}

static void
uca_plugin_manager_class_init (UcaPluginManagerClass *klass)
{
    G_OBJECT_CLASS (klass)->finalize = uca_plugin_manager_finalize;
}

#ifdef G_OS_WIN32
/* Windows has no fixed prefix: the plug-in folder lies beside the folder of this DLL, as
 * UCA_PLUGINDIR lies in the prefix (lib/uca), wherever the installation was put. */
static gchar *
installed_plugin_folder (void)
{
    HMODULE self = NULL;
    gchar *root, *folder;

    if (!GetModuleHandleExW (GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                             (LPCWSTR) (gpointer) installed_plugin_folder, &self))
        return NULL;

    root = g_win32_get_package_installation_directory_of_module (self);
    folder = root != NULL ? g_build_filename (root, "lib", "uca", NULL) : NULL;
    g_free (root);
    return folder;
}
#else
static gchar *
installed_plugin_folder (void)
{
    return g_strdup (UCA_PLUGINDIR);
}
#endif

static void
uca_plugin_manager_init (UcaPluginManager *manager)
{
    const gchar *environment_path = g_getenv ("UCA_CAMERA_PATH");
    gchar *installed = installed_plugin_folder ();

    manager->priv = uca_plugin_manager_get_instance_private (manager);
    manager->priv->search_paths = NULL;

    /* A list, as PATH is: ':' separates folders, ';' on Windows, where ':' follows drive letters. */
    if (environment_path != NULL) {
        gchar **folders = g_strsplit (environment_path, G_SEARCHPATH_SEPARATOR_S, -1);

        for (gchar **folder = folders; *folder != NULL; folder++) {
            if (**folder != '\0')
                append_existing_path (manager, *folder);
        }

        g_strfreev (folders);
    }

    if (installed != NULL)
        append_existing_path (manager, installed);

    g_free (installed);
}

/**
 * uca_plugin_manager_new:
 *
 * Returns: (transfer full): A manager that searches `UCA_CAMERA_PATH`, then the installed
 *   plug-in folder
 */
UcaPluginManager *
uca_plugin_manager_new (void)
{
    return UCA_PLUGIN_MANAGER (g_object_new (UCA_TYPE_PLUGIN_MANAGER, NULL));
}

void
uca_plugin_manager_add_path (UcaPluginManager *manager, const gchar *path)
{
    g_return_if_fail (UCA_IS_PLUGIN_MANAGER (manager));
    g_return_if_fail (path != NULL);

    append_existing_path (manager, path);
}

/**
 * uca_plugin_manager_get_available_cameras:
 * @manager: A #UcaPluginManager
 *
 * Returns: (element-type utf8) (transfer full): The names of the cameras whose plug-ins lie in
 *   the search paths
 */
GList *
uca_plugin_manager_get_available_cameras (UcaPluginManager *manager)
{
    GRegex *pattern;
    GList *names = NULL;

    g_return_val_if_fail (UCA_IS_PLUGIN_MANAGER (manager), NULL);

    pattern = g_regex_new ("libuca([A-Za-z0-9]+)", 0, 0, NULL);

    for (GList *it = manager->priv->search_paths; it != NULL; it = g_list_next (it)) {
        GDir *dir = g_dir_open (it->data, 0, NULL);
        const gchar *entry;

        if (dir == NULL)
            continue;

        while ((entry = g_dir_read_name (dir)) != NULL) {
            GMatchInfo *match_info = NULL;

            if (g_regex_match (pattern, entry, 0, &match_info))
                names = g_list_append (names, g_match_info_fetch (match_info, 1));

            g_match_info_free (match_info);
        }

        g_dir_close (dir);
    }

    g_regex_unref (pattern);
    return names;
}

/* The first entry, in search order, whose name contains libuca<name>.so (.dll on Windows). */
static gchar *
find_module_path (UcaPluginManager *manager, const gchar *name)
{
    gchar *wanted = g_strdup_printf ("libuca%s." G_MODULE_SUFFIX, name);
    gchar *path = NULL;

    for (GList *it = manager->priv->search_paths; it != NULL && path == NULL; it = g_list_next (it)) {
        GDir *dir = g_dir_open (it->data, 0, NULL);
        const gchar *entry;

        if (dir == NULL)
            continue;

        while (path == NULL && (entry = g_dir_read_name (dir)) != NULL) {
            if (strstr (entry, wanted) != NULL)
                path = g_build_filename (it->data, entry, NULL);
        }

        g_dir_close (dir);
    }

    g_free (wanted);
    return path;
}

/* The camera type a loaded plug-in exports, or G_TYPE_INVALID. */
static GType
resolve_camera_type (GModule *module, const gchar *name, GError **error)
{
    UcaCameraPluginGetType get_type = NULL;
    GType type;

    if (!g_module_symbol (module, "camera_plugin_get_type", (gpointer *) &get_type)) {
        g_set_error_literal (error, UCA_PLUGIN_MANAGER_ERROR, UCA_PLUGIN_MANAGER_ERROR_SYMBOL_NOT_FOUND,
                             g_module_error ());
        return G_TYPE_INVALID;
    }

    type = get_type != NULL ? get_type () : G_TYPE_INVALID;

    /* Anything else would be handed to callers as a UcaCamera. */
    if (!g_type_is_a (type, UCA_TYPE_CAMERA)) {
        g_set_error (error, UCA_PLUGIN_MANAGER_ERROR, UCA_PLUGIN_MANAGER_ERROR_MODULE_OPEN,
                     "Camera module `%s' could not be opened: it exports no camera type", name);
        return G_TYPE_INVALID;
    }

    return type;
}

/* Loads the plug-in of the named camera and returns the camera type it exports. */
static GType
load_camera_type (UcaPluginManager *manager, const gchar *name, GError **error)
{
    gchar *path = find_module_path (manager, name);
    GModule *module;

    if (path == NULL) {
        g_set_error (error, UCA_PLUGIN_MANAGER_ERROR, UCA_PLUGIN_MANAGER_ERROR_MODULE_NOT_FOUND,
                     "Camera module `%s' not found", name);
        return G_TYPE_INVALID;
    }

    module = g_module_open (path, G_MODULE_BIND_LAZY);
    g_free (path);

    if (module == NULL) {
        g_set_error (error, UCA_PLUGIN_MANAGER_ERROR, UCA_PLUGIN_MANAGER_ERROR_MODULE_OPEN,
                     "Camera module `%s' could not be opened: %s", name, g_module_error ());
        return G_TYPE_INVALID;
    }

    /* Types a module registers stay registered, so the module stays loaded. */
    g_module_make_resident (module);
    return resolve_camera_type (module, name, error);
}

/* The GInitable step of a new camera; the camera is released if it fails. */
static UcaCamera *
initialise_camera (GObject *object, GError **error)
{
    if (G_IS_INITABLE (object) && !g_initable_init (G_INITABLE (object), NULL, error)) {
        g_object_unref (object);
        return NULL;
    }

    return UCA_CAMERA (object);
}

static UcaCamera *
create_camera (UcaPluginManager *manager, const gchar *name, guint n_properties,
               const gchar **names, const GValue *values, GError **error)
{
    GType type = load_camera_type (manager, name, error);

    if (type == G_TYPE_INVALID)
        return NULL;

    return initialise_camera (g_object_new_with_properties (type, n_properties, names, values), error);
}

/**
 * uca_plugin_manager_get_camerah:
 * @manager: A #UcaPluginManager
 * @name: Name of the camera
 * @parameters: (element-type utf8 GValue) (nullable): Construction properties by name
 * @error: Location for a #GError, or %NULL
 *
 * Returns: (transfer full): A new camera, or %NULL with @error set
 */
UcaCamera *
uca_plugin_manager_get_camerah (UcaPluginManager *manager, const gchar *name,
                                GHashTable *parameters, GError **error)
{
    guint n_properties;
    const gchar **names;
    GValue *values;
    GHashTableIter iter;
    gpointer key, value;
    guint i = 0;
    UcaCamera *camera;

    g_return_val_if_fail (UCA_IS_PLUGIN_MANAGER (manager), NULL);
    g_return_val_if_fail (name != NULL, NULL);

    n_properties = parameters != NULL ? g_hash_table_size (parameters) : 0;
    names = g_new0 (const gchar *, n_properties + 1);
    values = g_new0 (GValue, n_properties + 1);

    if (parameters != NULL) {
        g_hash_table_iter_init (&iter, parameters);

        while (g_hash_table_iter_next (&iter, &key, &value)) {
            names[i] = key;
            g_value_init (&values[i], G_VALUE_TYPE (value));
            g_value_copy (value, &values[i]);
            i++;
        }
    }

    camera = create_camera (manager, name, n_properties, names, values, error);

    for (i = 0; i < n_properties; i++)
        g_value_unset (&values[i]);

    g_free (values);
    g_free (names);
    return camera;
}

/**
 * uca_plugin_manager_get_camerav:
 * @manager: A #UcaPluginManager
 * @name: Name of the camera
 * @n_parameters: Number of elements in @parameters
 * @parameters: (array length=n_parameters): Construction properties
 * @error: Location for a #GError, or %NULL
 *
 * Returns: (transfer full): A new camera, or %NULL with @error set
 */
G_GNUC_BEGIN_IGNORE_DEPRECATIONS
UcaCamera *
uca_plugin_manager_get_camerav (UcaPluginManager *manager, const gchar *name,
                                guint n_parameters, GParameter *parameters, GError **error)
{
    const gchar **names;
    GValue *values;
    UcaCamera *camera;

    g_return_val_if_fail (UCA_IS_PLUGIN_MANAGER (manager), NULL);
    g_return_val_if_fail (name != NULL, NULL);
    g_return_val_if_fail (n_parameters == 0 || parameters != NULL, NULL);

    names = g_new0 (const gchar *, n_parameters + 1);
    values = g_new0 (GValue, n_parameters + 1);

    for (guint i = 0; i < n_parameters; i++) {
        names[i] = parameters[i].name;
        values[i] = parameters[i].value;
    }

    camera = create_camera (manager, name, n_parameters, names, values, error);

    g_free (values);
    g_free (names);
    return camera;
}
G_GNUC_END_IGNORE_DEPRECATIONS

/**
 * uca_plugin_manager_get_camera: (skip)
 * @manager: A #UcaPluginManager
 * @name: Name of the camera
 * @error: Location for a #GError, or %NULL
 * @first_prop_name: Name of the first construction property, or %NULL
 * @...: Its value, then further name and value pairs, ending with %NULL
 *
 * Returns: (transfer full): A new camera, or %NULL with @error set
 */
UcaCamera *
uca_plugin_manager_get_camera (UcaPluginManager *manager, const gchar *name,
                               GError **error, const gchar *first_prop_name, ...)
{
    GType type;
    GObject *object;
    va_list var_args;

    g_return_val_if_fail (UCA_IS_PLUGIN_MANAGER (manager), NULL);
    g_return_val_if_fail (name != NULL, NULL);

    type = load_camera_type (manager, name, error);

    if (type == G_TYPE_INVALID)
        return NULL;

    va_start (var_args, first_prop_name);
    object = g_object_new_valist (type, first_prop_name, var_args);
    va_end (var_args);

    return initialise_camera (object, error);
}
