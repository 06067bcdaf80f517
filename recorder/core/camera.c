/* SPDX-License-Identifier: LGPL-2.1-or-later */
/* See camera.h. */

#include "camera.h"

#include <errno.h>
#include <math.h>
#include <string.h>

static gboolean
has_property (UcaCamera *camera, const gchar *name)
{
    return g_object_class_find_property (G_OBJECT_GET_CLASS (camera), name) != NULL;
}

static gboolean
has_writable_boolean (UcaCamera *camera, const gchar *name)
{
    GParamSpec *pspec = g_object_class_find_property (G_OBJECT_GET_CLASS (camera), name);

    return pspec != NULL && G_IS_PARAM_SPEC_BOOLEAN (pspec) && (pspec->flags & G_PARAM_WRITABLE);
}

/* The mode overrides whatever the property arguments said about the same switches. */
void
record_configure_mode (UcaCamera *camera, RecordMode mode)
{
    g_object_set (camera, "transfer-asynchronously", mode == MODE_ASYNC, "buffered", mode == MODE_BUFFERED, NULL);

    if (has_writable_boolean (camera, "grab-from-continuous"))
        g_object_set (camera, "grab-from-continuous", mode != MODE_SINGLE, NULL);
}

/* libuca 2.4's buffered mode divides by the number of its buffers. */
static gboolean
check_buffers (UcaCamera *camera, RecordMode mode, GError **error)
{
    guint n_buffers = 1;

    if (mode != MODE_BUFFERED || !has_property (camera, "num-buffers"))
        return TRUE;

    g_object_get (camera, "num-buffers", &n_buffers, NULL);

    if (n_buffers >= 1)
        return TRUE;

    g_set_error (error, RECORD_ERROR, RECORD_ERROR_PROPERTY,
                 "Bad value for `num-buffers': --mode buffered needs at least 1 buffer, not %u", n_buffers);
    return FALSE;
}

/* A region beyond the (binned) frame, refused here with the other bad values instead of by the
 * camera when it starts. Rounded up: only a region that cannot fit is refused. */
static gboolean
check_region (UcaCamera *camera, GError **error)
{
    guint sensor[2] = { 0, 0 }, binning[2] = { 1, 1 }, roi[4] = { 0, 0, 0, 0 }, frame[2];

    g_object_get (camera, "sensor-width", &sensor[0], "sensor-height", &sensor[1], "roi-x0", &roi[0], "roi-y0", &roi[1],
                  "roi-width", &roi[2], "roi-height", &roi[3], NULL);

    if (has_property (camera, "sensor-horizontal-binning"))
        g_object_get (camera, "sensor-horizontal-binning", &binning[0], "sensor-vertical-binning", &binning[1], NULL);

    for (guint i = 0; i < 2; i++)
        frame[i] = (sensor[i] + MAX (binning[i], 1) - 1) / MAX (binning[i], 1);

    if ((guint64) roi[0] + roi[2] <= frame[0] && (guint64) roi[1] + roi[3] <= frame[1])
        return TRUE;

    g_set_error (error, RECORD_ERROR, RECORD_ERROR_PROPERTY,
                 "Bad value for the region (roi-x0, roi-y0, roi-width, roi-height): %ux%u at (%u, %u) does not fit "
                 "into the %ux%u frame",
                 roi[2], roi[3], roi[0], roi[1], frame[0], frame[1]);
    return FALSE;
}

gboolean
record_check_settings (UcaCamera *camera, RecordMode mode, GError **error)
{
    return check_buffers (camera, mode, error) && check_region (camera, error);
}

/* Nothing here sends software triggers: a camera waiting for one would never deliver. */
gboolean
record_check_trigger_source (UcaCamera *camera, GError **error)
{
    UcaCameraTriggerSource source = UCA_CAMERA_TRIGGER_SOURCE_AUTO;

    g_object_get (camera, "trigger-source", &source, NULL);

    if (source != UCA_CAMERA_TRIGGER_SOURCE_SOFTWARE)
        return TRUE;

    g_set_error_literal (error, RECORD_ERROR, RECORD_ERROR_PROPERTY,
                         "uca-record sends no software triggers; use trigger-source=auto or external");
    return FALSE;
}

/* Each camera once: libuca lists a plug-in once per file it finds, and it may find one in its
 * plug-in folder as well as in UCA_CAMERA_PATH. */
static gchar *
list_cameras (UcaPluginManager *manager)
{
    GList *names = uca_plugin_manager_get_available_cameras (manager);
    GString *text = g_string_new (NULL);

    for (GList *it = names; it != NULL; it = it->next) {
        if (g_list_find_custom (names, it->data, (GCompareFunc) g_strcmp0) == it)
            g_string_append_printf (text, "%s%s", text->len == 0 ? "" : ", ", (const gchar *) it->data);
    }

    g_list_free_full (names, g_free);

    if (text->len == 0)
        g_string_append (text, "none");

    return g_string_free (text, FALSE);
}

UcaCamera *
record_open_camera (UcaPluginManager *manager, const gchar *name, GError **error)
{
    GError *open_error = NULL;
    UcaCamera *camera = uca_plugin_manager_get_camerah (manager, name, NULL, &open_error);
    gchar *available;

    if (camera != NULL)
        return camera;

    available = list_cameras (manager);
    g_set_error (error, RECORD_ERROR, RECORD_ERROR_CAMERA, "Cannot open camera `%s': %s (available: %s)", name,
                 open_error != NULL ? open_error->message : "unknown error", available);
    g_free (available);
    g_clear_error (&open_error);
    return NULL;
}

/* Not every libuca camera has the property, nor of the same type. */
static gboolean
has_readable (UcaCamera *camera, const gchar *name, GType type)
{
    GParamSpec *pspec = g_object_class_find_property (G_OBJECT_GET_CLASS (camera), name);

    return pspec != NULL && G_TYPE_CHECK_INSTANCE_TYPE (pspec, type) && (pspec->flags & G_PARAM_READABLE);
}

/* A readable string property's value, or NULL when there is none or it is empty. */
static gchar *
read_text (UcaCamera *camera, const gchar *name)
{
    gchar *text = NULL;

    if (has_readable (camera, name, G_TYPE_PARAM_STRING))
        g_object_get (camera, name, &text, NULL);

    if (text != NULL && text[0] == '\0')
        g_clear_pointer (&text, g_free);

    return text;
}

/* The property that says how long a frame takes in the acquisition in force: a camera whose timer
 * may run another cycle than the exposure asked for says so in "frame-time"; elsewhere the
 * exposure time is all there is. */
static const gchar *
frame_time_property (UcaCamera *camera)
{
    return has_readable (camera, "frame-time", G_TYPE_PARAM_DOUBLE) ? "frame-time" : "exposure-time";
}

/* What may change when recording starts: the camera may round or refuse what was written. */
static void
read_settings (UcaCamera *camera, CameraInfo *info)
{
    GParamSpec *gain = g_object_class_find_property (G_OBJECT_GET_CLASS (camera), "gain");

    g_object_get (camera, "roi-x0", &info->roi[0], "roi-y0", &info->roi[1], "roi-width", &info->roi[2], "roi-height",
                  &info->roi[3], frame_time_property (camera), &info->exposure_s, NULL);

    if (has_property (camera, "sensor-horizontal-binning"))
        g_object_get (camera, "sensor-horizontal-binning", &info->binning[0], "sensor-vertical-binning",
                      &info->binning[1], NULL);

    if (has_property (camera, "sensor-pixel-width"))
        g_object_get (camera, "sensor-pixel-width", &info->pixel_size[0], "sensor-pixel-height", &info->pixel_size[1],
                      NULL);

    info->has_gain = gain != NULL && G_IS_PARAM_SPEC_UINT (gain) && (gain->flags & G_PARAM_READABLE);

    if (info->has_gain)
        g_object_get (camera, "gain", &info->gain, NULL);
}

/* An enum property's name for its value, as libuca names it ("auto"), or NULL. */
static gchar *
read_enum_name (UcaCamera *camera, const gchar *name)
{
    GParamSpec *pspec = g_object_class_find_property (G_OBJECT_GET_CLASS (camera), name);
    GEnumValue *named;
    gint value;

    if (pspec == NULL || !G_IS_PARAM_SPEC_ENUM (pspec) || !(pspec->flags & G_PARAM_READABLE))
        return NULL;

    g_object_get (camera, name, &value, NULL);
    named = g_enum_get_value (G_PARAM_SPEC_ENUM (pspec)->enum_class, value);
    return named != NULL ? g_strdup (named->value_nick) : NULL;
}

/* What the camera does to the frames it delivers; a camera that does not say corrects nothing. */
static void
read_corrections (UcaCamera *camera, CameraInfo *info)
{
    gchar *corrections = read_text (camera, "corrections-applied");
    gchar *file = read_text (camera, "calibration-in-use");
    gchar *start_time = read_text (camera, "calibration-start-time");
    const gboolean corrected = corrections != NULL && g_strcmp0 (corrections, "none") != 0;

    info->corrections = g_intern_string (corrected ? corrections : "none");
    info->calibration_file = corrected ? g_intern_string (file) : NULL;
    info->calibration_start_time = corrected ? g_intern_string (start_time) : NULL;
    /* "none", or a comma list of "offset", "gain" and "defects": a flat field applied, defective
     * pixels replaced. */
    info->gain_corrected = info->defects_corrected = FALSE;
    if (corrected) {
        gchar **names = g_strsplit (corrections, ",", -1);

        for (guint i = 0; names[i] != NULL; i++) {
            const gchar *name = g_strstrip (names[i]);

            info->gain_corrected = info->gain_corrected || strcmp (name, "gain") == 0;
            info->defects_corrected = info->defects_corrected || strcmp (name, "defects") == 0;
        }
        g_strfreev (names);
    }
    g_free (corrections);
    g_free (file);
    g_free (start_time);
}

void
record_read_camera (UcaCamera *camera, const gchar *name, FrameGeometry *geometry, CameraInfo *info)
{
    memset (info, 0, sizeof *info);
    info->camera_name = name;
    info->told_name = read_text (camera, "name");
    info->model = read_text (camera, "model");
    info->serial_number = read_text (camera, "serial-number");
    /* It cannot change while recording. */
    info->trigger_source = read_enum_name (camera, "trigger-source");
    read_settings (camera, info);
    read_corrections (camera, info);
    g_object_get (camera, "sensor-bitdepth", &geometry->bits, NULL);
    geometry->width = info->roi[2];
    geometry->height = info->roi[3];
    geometry->bytes_per_pixel = geometry->bits <= 8 ? 1 : 2;
    geometry->frame_bytes = (gsize) geometry->width * geometry->height * geometry->bytes_per_pixel;
}

void
record_camera_info_clear (CameraInfo *info)
{
    g_clear_pointer (&info->told_name, g_free);
    g_clear_pointer (&info->model, g_free);
    g_clear_pointer (&info->serial_number, g_free);
    g_clear_pointer (&info->trigger_source, g_free);
}

/* ---- What the camera uses ---------------------------------------------------------------- */

/* A value as the command line gives it; doubles to nine digits, enough to tell a rounding. */
static gchar *
value_text (const GValue *value)
{
    if (G_VALUE_HOLDS_DOUBLE (value))
        return g_strdup_printf ("%.9g", g_value_get_double (value));

    if (G_VALUE_HOLDS_FLOAT (value))
        return g_strdup_printf ("%.9g", (gdouble) g_value_get_float (value));

    if (G_VALUE_HOLDS_BOOLEAN (value))
        return g_strdup (g_value_get_boolean (value) ? "TRUE" : "FALSE");

    if (G_VALUE_HOLDS_ENUM (value)) {
        GEnumValue *named =
            g_enum_get_value (G_ENUM_CLASS (g_type_class_peek (G_VALUE_TYPE (value))), g_value_get_enum (value));

        return named != NULL ? g_strdup (named->value_nick) : g_strdup_printf ("%d", g_value_get_enum (value));
    }

    /* An unset string is the empty one the command line sets it to. */
    if (G_VALUE_HOLDS_STRING (value))
        return g_strdup (g_value_get_string (value) != NULL ? g_value_get_string (value) : "");

    {
        GValue text = G_VALUE_INIT;
        gchar *result;

        g_value_init (&text, G_TYPE_STRING);
        result = g_value_transform (value, &text) ? g_value_dup_string (&text) : g_strdup ("?");
        g_value_unset (&text);
        return result;
    }
}

/* Whether the camera's value is the one asked, given as text that has passed the checks above
 * (an enum's by its nick). */
static gboolean
same_value (const GValue *used, const gchar *used_text, const gchar *asked)
{
    gchar *number;
    gboolean same;

    if (G_VALUE_HOLDS_DOUBLE (used) || G_VALUE_HOLDS_FLOAT (used)) {
        const gdouble a = g_ascii_strtod (asked, NULL);
        const gdouble b = G_VALUE_HOLDS_DOUBLE (used) ? g_value_get_double (used) : g_value_get_float (used);

        /* Beyond the last digits a double keeps. */
        return fabs (a - b) <= 1e-12 * MAX (fabs (a), fabs (b));
    }

    if (G_VALUE_HOLDS_BOOLEAN (used))
        return g_value_get_boolean (used) == (g_ascii_strcasecmp (asked, "true") == 0);

    if (G_VALUE_HOLDS_ENUM (used) || G_VALUE_HOLDS_STRING (used))
        return g_strcmp0 (used_text, asked) == 0;

    /* Whole numbers, as their transformation to text writes them: "007" asks for 7. */
    number = asked[0] == '-' ? g_strdup_printf ("%" G_GINT64_FORMAT, g_ascii_strtoll (asked, NULL, 10))
                             : g_strdup_printf ("%" G_GUINT64_FORMAT, g_ascii_strtoull (asked, NULL, 10));
    same = g_strcmp0 (used_text, number) == 0;
    g_free (number);
    return same;
}

/* "name used (asked value)" when the camera does not use what `argument` asked, else NULL. The
 * exposure asked for is compared with the cycle the camera runs, where it says one. */
static gchar *
compare_with_asked (UcaCamera *camera, const gchar *argument)
{
    gchar **parts = g_strsplit (argument, "=", 2);
    const gchar *used_name = g_strcmp0 (parts[0], "exposure-time") == 0 ? frame_time_property (camera) : parts[0];
    GParamSpec *pspec = g_object_class_find_property (G_OBJECT_GET_CLASS (camera), used_name);
    GValue used = G_VALUE_INIT;
    gchar *difference = NULL, *used_text, *asked = parts[1];

    if (pspec == NULL || !(pspec->flags & G_PARAM_READABLE)) {
        g_strfreev (parts);
        return NULL;
    }

    g_value_init (&used, pspec->value_type);
    g_object_get_property (G_OBJECT (camera), pspec->name, &used);
    used_text = value_text (&used);

    /* An enum is compared by its value, however it was named. */
    if (G_IS_PARAM_SPEC_ENUM (pspec)) {
        GEnumClass *enum_class = G_PARAM_SPEC_ENUM (pspec)->enum_class;
        GEnumValue *named = g_enum_get_value_by_name (enum_class, asked);

        if (named == NULL)
            named = g_enum_get_value_by_nick (enum_class, asked);

        if (named == NULL)
            named = g_enum_get_value (enum_class, (gint) g_ascii_strtoll (asked, NULL, 10));

        if (named != NULL)
            asked = (gchar *) named->value_nick;
    }

    if (!same_value (&used, used_text, asked) && g_strcmp0 (pspec->name, parts[0]) == 0)
        difference = g_strdup_printf ("%s %s (asked %s)", pspec->name, used_text, asked);
    else if (!same_value (&used, used_text, asked))
        difference = g_strdup_printf ("%s %s (%s asked %s)", pspec->name, used_text, parts[0], asked);

    g_free (used_text);
    g_value_unset (&used);
    g_strfreev (parts);
    return difference;
}

/* A correction switch asked on reads back as on even where the camera leaves the frames raw (no
 * calibration, or one that does not fit): what it applies is "corrections-applied", a list of
 * "offset", "gain" and "defects". */
static gchar *
compare_correction_with_asked (UcaCamera *camera, const CameraInfo *info, const gchar *argument)
{
    gchar **parts = g_strsplit (argument, "=", 2);
    gchar **applied = g_strsplit (info->corrections, ",", -1);
    gchar *difference = NULL;
    gboolean found = FALSE;

    if (has_property (camera, "corrections-applied") && g_str_has_suffix (parts[0], "-correction") &&
        g_ascii_strcasecmp (parts[1], "true") == 0) {
        const gsize kind_length = strlen (parts[0]) - strlen ("-correction");

        for (guint i = 0; applied[i] != NULL && !found; i++)
            found = strncmp (g_strstrip (applied[i]), parts[0], kind_length) == 0;

        if (!found)
            difference =
                g_strdup_printf ("corrections-applied %s (%s asked %s)", info->corrections, parts[0], parts[1]);
    }

    g_strfreev (applied);
    g_strfreev (parts);
    return difference;
}

/* Whether a later PROPERTY=VALUE argument sets the same property: the camera has the last. */
static gboolean
asked_again (const Options *options, guint index)
{
    const gchar *argument = options->properties[index];
    const gsize name_length = strcspn (argument, "=");

    for (guint i = index + 1; i < options->n_properties; i++) {
        if (strncmp (options->properties[i], argument, name_length + 1) == 0)
            return TRUE;
    }

    return FALSE;
}

gchar *
record_read_settings (UcaCamera *camera, const Options *options, CameraInfo *info)
{
    GString *differences = g_string_new (NULL);

    read_settings (camera, info);
    read_corrections (camera, info);

    for (guint i = 0; i < options->n_properties; i++) {
        gchar *difference;

        if (asked_again (options, i))
            continue;

        difference = compare_with_asked (camera, options->properties[i]);

        if (difference == NULL)
            difference = compare_correction_with_asked (camera, info, options->properties[i]);

        if (difference == NULL)
            continue;

        g_printerr ("uca-record: warning: the camera uses %s\n", difference);
        g_string_append_printf (differences, "%s%s", differences->len > 0 ? ", " : "", difference);
        g_free (difference);
    }

    return g_string_free (differences, differences->len == 0);
}

/* A map of 4 bytes a pixel, or NULL. */
static GBytes *
read_map (UcaCamera *camera, const gchar *name, const FrameGeometry *geometry)
{
    GParamSpec *pspec = g_object_class_find_property (G_OBJECT_GET_CLASS (camera), name);
    GBytes *map = NULL;

    if (pspec == NULL || pspec->value_type != G_TYPE_BYTES || !(pspec->flags & G_PARAM_READABLE))
        return NULL;

    g_object_get (camera, name, &map, NULL);

    if (map != NULL && g_bytes_get_size (map) != (gsize) geometry->width * geometry->height * 4)
        g_clear_pointer (&map, g_bytes_unref);

    return map;
}

void
record_read_applied_maps (UcaCamera *camera, const CameraInfo *info, const FrameGeometry *geometry, AppliedMaps *maps)
{
    maps->flatfield = info->gain_corrected ? read_map (camera, "calibration-flatfield", geometry) : NULL;
    maps->pixel_mask = info->defects_corrected ? read_map (camera, "calibration-pixel-mask", geometry) : NULL;
}

void
record_applied_maps_clear (AppliedMaps *maps)
{
    g_clear_pointer (&maps->flatfield, g_bytes_unref);
    g_clear_pointer (&maps->pixel_mask, g_bytes_unref);
}
