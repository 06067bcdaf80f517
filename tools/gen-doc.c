/* SPDX-License-Identifier: LGPL-2.1-or-later */
/* gen-doc: writes an HTML page documenting every property of a libuca camera.
 *
 * Usage: gen-doc [CAMERA]. Without a camera name it documents libuca's base camera class. The
 * page links "style.css" beside it and styles itself through the ids "header" and "toc" and the
 * classes "title" and "prop-type". Everything it writes, errors included, goes to standard
 * output; what a camera prints while it is created goes to standard error.
 * Single-threaded. */

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

#define WEB_FONTS_URL \
    "https://fonts.googleapis.com/css?family=Droid+Sans:400,700%7CDroid+Serif:400,400italic%7CInconsolata"

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

    g_print ("Usage: gen-doc [ ");

    if (names == NULL)
        g_print ("] -- no camera plugin found\n");

    for (GList *it = names; it != NULL; it = it->next)
        g_print (it->next != NULL ? "%s, " : "%s ]\n", (const gchar *) it->data);

    g_list_free_full (names, g_free);
    g_object_unref (manager);
}

/* g_object_new aborts the process on a type it cannot instantiate, so such a type becomes an
 * error here; libuca's own base camera is always instantiable. */
static GObject *
create_base_camera (GError **error)
{
    GType type = uca_camera_get_type ();

    if (!g_type_is_a (type, G_TYPE_OBJECT) || G_TYPE_IS_ABSTRACT (type)) {
        g_set_error (error, UCA_CAMERA_ERROR, UCA_CAMERA_ERROR_NOT_FOUND,
                     "The basic camera type `%s' cannot be instantiated",
                     type != G_TYPE_INVALID ? g_type_name (type) : "(invalid)");
        return NULL;
    }

    return g_object_new (type, NULL);
}

static GObject *
create_camera (UcaPluginManager *manager, const gchar *name, GError **error)
{
    GObject *camera;
    int stdout_copy;

    if (name == NULL)
        return create_base_camera (error);

    /* No construction properties; the second NULL is the sentinel the variadic list expects. */
    stdout_copy = divert_stdout ();
    camera = (GObject *) uca_plugin_manager_get_camera (manager, name, error, NULL, NULL);
    restore_stdout (stdout_copy);

    if (camera == NULL && error != NULL && *error == NULL)
        g_set_error (error, UCA_CAMERA_ERROR, UCA_CAMERA_ERROR_NOT_FOUND,
                     "camera `%s' could not be created (libuca gave no reason)", name);

    return camera;
}

/* Only the access bits count: a read-only property declared with static strings is still
 * read-only. */
static const gchar *
access_text (GParamFlags flags)
{
    switch (flags & G_PARAM_READWRITE) {
        case G_PARAM_READABLE:
            return "Read-only";
        case G_PARAM_WRITABLE:
            return "Write-only";
        case G_PARAM_READWRITE:
            return "Read / Write";
        default:
            return "";
    }
}

static void
append_enum_table (GString *possible, GType enum_type)
{
    GEnumClass *enum_class = g_type_class_ref (enum_type);

    if (enum_class->n_values > 0) {
        g_string_printf (possible, "<table><tr><th>Enum name</th><th>Value</th>");

        for (guint i = 0; i < enum_class->n_values; i++)
            g_string_append_printf (possible, "<tr><td><code>%s</code></td><td>%i</td></tr>",
                                    enum_class->values[i].value_name, enum_class->values[i].value);

        g_string_append (possible, "</table>");
    }

    g_type_class_unref (enum_class);
}

/* Dispatch is on the kind of parameter, not on the value type alone: a unichar parameter holds a
 * guint but has no range. Unsigned numbers are written unsigned. */
static void
print_value_details (GParamSpec *pspec)
{
    const gchar *name = g_param_spec_get_name (pspec);
    GString *possible = g_string_new (NULL);
    gchar *default_text = NULL;

    if (G_IS_PARAM_SPEC_BOOLEAN (pspec)) {
        default_text = g_strdup (G_PARAM_SPEC_BOOLEAN (pspec)->default_value ? "<code>TRUE</code>"
                                                                             : "<code>FALSE</code>");
    }
    else if (G_IS_PARAM_SPEC_UINT (pspec)) {
        GParamSpecUInt *range = G_PARAM_SPEC_UINT (pspec);

        g_string_printf (possible, "%u &#8804; <em>%s</em> &#8804; %u", range->minimum, name, range->maximum);
        default_text = g_strdup_printf ("%u", range->default_value);
    }
    else if (G_IS_PARAM_SPEC_FLOAT (pspec)) {
        GParamSpecFloat *range = G_PARAM_SPEC_FLOAT (pspec);

        g_string_printf (possible, "%.1e &#8804; <em>%s</em> &#8804; %.1e",
                         (double) range->minimum, name, (double) range->maximum);
        default_text = g_strdup_printf ("%.1e", (double) range->default_value);
    }
    else if (G_IS_PARAM_SPEC_DOUBLE (pspec)) {
        GParamSpecDouble *range = G_PARAM_SPEC_DOUBLE (pspec);

        g_string_printf (possible, "%.1e &#8804; <em>%s</em> &#8804; %.1e", range->minimum, name, range->maximum);
        default_text = g_strdup_printf ("%.1e", range->default_value);
    }

    if (G_TYPE_IS_ENUM (G_PARAM_SPEC_VALUE_TYPE (pspec)))
        append_enum_table (possible, G_PARAM_SPEC_VALUE_TYPE (pspec));

    if (possible->len > 0)
        g_print ("<p>Possible values: %s</p>", possible->str);

    if (default_text != NULL)
        g_print ("<p>Default value: %s</p>", default_text);

    g_free (default_text);
    g_string_free (possible, TRUE);
}

/* A property without a blurb gets no description paragraph rather than "(null)". */
static void
print_property (GParamSpec *pspec)
{
    const gchar *name = g_param_spec_get_name (pspec);
    const gchar *blurb = g_param_spec_get_blurb (pspec);

    g_print ("<dt id=\"%s\"><a href=\"#toc\">%s</a></dt>\n", name, name);
    g_print ("<dd>");
    g_print ("<pre><code class=\"prop-type\">\"%s\" : %s : %s</code></pre>\n",
             name, g_type_name (G_PARAM_SPEC_VALUE_TYPE (pspec)), access_text (pspec->flags));

    if (blurb != NULL)
        g_print ("<p>%s</p>\n", blurb);

    print_value_details (pspec);
    g_print ("</dd>");
}

/* Properties keep the order the type system lists them in: neither sorted nor grouped. */
static void
print_page (const gchar *title, GObject *camera)
{
    guint n_props = 0;
    GParamSpec **props = g_object_class_list_properties (G_OBJECT_GET_CLASS (camera), &n_props);

    g_print ("<html><head><link rel=\"stylesheet\" href=\"style.css\" type=\"text/css\" />"
             "<link href='%s' rel='stylesheet' type='text/css'>"
             "<title>%s &mdash; properties</title></head><body>",
             WEB_FONTS_URL, title);
    g_print ("<div id=\"header\"><h1 class=\"title\">Property documentation of %s</h1>", title);

    g_print ("<h2>Properties</h2><ul id=\"toc\">");

    for (guint i = 0; i < n_props; i++) {
        const gchar *name = g_param_spec_get_name (props[i]);

        g_print ("<li><code><a href=#%s>\"%s\"</a></code></li>", name, name);
    }

    g_print ("</ul>");
    g_print ("<h2>Details</h2><dl>");

    for (guint i = 0; i < n_props; i++)
        print_property (props[i]);

    g_print ("</dl>");
    g_free (props);
    g_print ("%s\n", "</body></html>");
}

int
main (int argc, char *argv[])
{
    const gchar *name = argc > 1 ? argv[1] : NULL;
    UcaPluginManager *manager = uca_plugin_manager_new ();
    GError *error = NULL;
    GObject *camera = create_camera (manager, name, &error);

    if (camera == NULL) {
        g_print ("Error during initialization: %s\n", error->message);
        g_error_free (error);
        print_usage ();
        g_object_unref (manager);
        return 1;
    }

    g_clear_error (&error);
    print_page (name != NULL ? name : "Basic camera", camera);
    g_object_unref (camera);
    g_object_unref (manager);
    return 0;
}
