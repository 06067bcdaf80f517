/* SPDX-License-Identifier: LGPL-2.1-or-later */
/* uca-info: lists every property of a libuca camera with its access and current value.
 *
 * Usage: uca-info [CAMERA]. Without a camera name it lists the cameras libuca can load. The tool
 * knows no particular camera: it reaches the camera through libuca's plug-in manager and
 * GObject's generic property interface only. Single-threaded. */

#include <string.h>

#include <glib-object.h>
#include <uca/uca-plugin-manager.h>

#include <stdio.h>

#ifdef G_OS_WIN32
#include <io.h>
#define dup _dup
#define dup2 _dup2
#define close _close
#define fileno _fileno
#else
#include <unistd.h>
#endif

/* A camera may print to standard output while it is created (the tessaravolt driver logs its
 * discovery there), which would end up inside this tool's own output: it goes to standard error
 * instead. Returns the saved standard output for restore_stdout (), or -1. */
static int
divert_stdout (void)
{
    int saved;

    fflush (stdout);
    saved = dup (fileno (stdout));

    if (saved >= 0)
        dup2 (fileno (stderr), fileno (stdout));

    return saved;
}

static void
restore_stdout (int saved)
{
    fflush (stdout);

    if (saved < 0)
        return;

    dup2 (saved, fileno (stdout));
    close (saved);
}

static void
print_usage (void)
{
    UcaPluginManager *manager = uca_plugin_manager_new ();
    GList *names = uca_plugin_manager_get_available_cameras (manager);

    g_print ("Usage: uca-info [ ");

    if (names == NULL)
        g_print ("] -- no camera plugin found\n");

    for (GList *it = names; it != NULL; it = it->next)
        g_print (it->next != NULL ? "%s, " : "%s ]\n", (const gchar *) it->data);

    g_list_free_full (names, g_free);
    g_object_unref (manager);
}

static void
print_creation_error (const gchar *name, const GError *error)
{
    if (error != NULL)
        g_printerr ("Error during initialization: %s\n", error->message);
    else
        g_printerr ("Error during initialization: camera `%s' could not be created (libuca gave no reason)\n",
                    name);
}

/* Only the access bits count: a read-only property declared with static strings is still
 * read-only. */
static const gchar *
access_mark (GParamFlags flags)
{
    switch (flags & G_PARAM_READWRITE) {
        case G_PARAM_READABLE:
            return "RO";
        case G_PARAM_WRITABLE:
            return "WO";
        case G_PARAM_READWRITE:
            return "RW";
        default:
            return "";
    }
}

/* A property that cannot be read shows its type's initial value: asking GObject for it would
 * only add a warning. */
static gchar *
read_value_text (GObject *object, GParamSpec *pspec)
{
    GValue value = G_VALUE_INIT;
    gchar *text;

    g_value_init (&value, G_PARAM_SPEC_VALUE_TYPE (pspec));

    if (pspec->flags & G_PARAM_READABLE)
        g_object_get_property (object, g_param_spec_get_name (pspec), &value);

    text = g_strdup_value_contents (&value);
    g_value_unset (&value);
    return text;
}

static gint
compare_names (gconstpointer a, gconstpointer b)
{
    return g_strcmp0 (a, b);
}

/* All values are read before the first row is printed; rows come in byte-wise name order. */
static void
print_properties (GObject *camera)
{
    GObjectClass *klass = G_OBJECT_GET_CLASS (camera);
    guint n_props = 0;
    GParamSpec **props = g_object_class_list_properties (klass, &n_props);
    GHashTable *texts = g_hash_table_new_full (g_str_hash, g_str_equal, NULL, g_free);
    guint name_width = 0;
    GList *names;

    for (guint i = 0; i < n_props; i++) {
        const gchar *name = g_param_spec_get_name (props[i]);

        name_width = MAX (name_width, (guint) strlen (name));
        g_hash_table_insert (texts, (gpointer) name, read_value_text (camera, props[i]));
    }

    names = g_list_sort (g_hash_table_get_keys (texts), compare_names);

    for (GList *it = names; it != NULL; it = it->next) {
        const gchar *name = it->data;
        GParamSpec *pspec = g_object_class_find_property (klass, name);

        g_print (" %s | %-*s | %s\n", access_mark (pspec->flags), (int) name_width, name,
                 (const gchar *) g_hash_table_lookup (texts, name));
    }

    g_list_free (names);
    g_hash_table_destroy (texts);
    g_free (props);
}

int
main (int argc, char *argv[])
{
    UcaPluginManager *manager;
    UcaCamera *camera;
    GError *error = NULL;
    int stdout_copy;

    if (argc < 2) {
        print_usage ();
        return 0;
    }

    manager = uca_plugin_manager_new ();
    /* No construction properties; the second NULL is the sentinel the variadic list expects. */
    stdout_copy = divert_stdout ();
    camera = uca_plugin_manager_get_camera (manager, argv[1], &error, NULL, NULL);
    restore_stdout (stdout_copy);

    if (camera == NULL) {
        print_creation_error (argv[1], error);
        g_clear_error (&error);
        print_usage ();
        g_object_unref (manager);
        return 1;
    }

    g_clear_error (&error);
    print_properties (G_OBJECT (camera));
    g_object_unref (camera);
    g_object_unref (manager);
    return 0;
}
