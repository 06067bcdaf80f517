/* SPDX-License-Identifier: LGPL-2.1-or-later */
/* See camera.h: the PROPERTY=VALUE arguments, checked against the camera's properties before
 * libuca's own parser, which takes malformed and out-of-range values. */

#include "camera.h"

#include <errno.h>
#include <math.h>
#include <string.h>

/* Turns GLib's number-parsing error into the recorder's own, naming the property. */
static gboolean
bad_number (GParamSpec *pspec, GError *parse_error, GError **error)
{
    g_set_error (error, RECORD_ERROR, RECORD_ERROR_PROPERTY, "Bad value for `%s': %s", pspec->name,
                 parse_error->message);
    g_error_free (parse_error);
    return FALSE;
}

static gboolean
check_unsigned (GParamSpec *pspec, const gchar *text, guint64 min, guint64 max, GError **error)
{
    guint64 number;
    GError *parse_error = NULL;

    return g_ascii_string_to_unsigned (text, 10, min, max, &number, &parse_error) ||
           bad_number (pspec, parse_error, error);
}

static gboolean
check_signed (GParamSpec *pspec, const gchar *text, gint64 min, gint64 max, GError **error)
{
    gint64 number;
    GError *parse_error = NULL;

    return g_ascii_string_to_signed (text, 10, min, max, &number, &parse_error) ||
           bad_number (pspec, parse_error, error);
}

static gboolean
check_double (GParamSpec *pspec, const gchar *text, gdouble min, gdouble max, GError **error)
{
    gchar *end = NULL;
    gdouble number;

    errno = 0;
    number = g_ascii_strtod (text, &end);

    if (*text == '\0' || *end != '\0' || errno != 0 || !isfinite (number)) {
        g_set_error (error, RECORD_ERROR, RECORD_ERROR_PROPERTY, "Bad value for `%s': `%s' is not a number",
                     pspec->name, text);
        return FALSE;
    }

    if (number < min || number > max) {
        g_set_error (error, RECORD_ERROR, RECORD_ERROR_PROPERTY, "Bad value for `%s': %s is out of bounds [%g, %g]",
                     pspec->name, text, min, max);
        return FALSE;
    }

    return TRUE;
}

/* libuca takes any text as FALSE unless it starts with "true"; a typo must not become FALSE. */
static gboolean
check_boolean (GParamSpec *pspec, const gchar *text, GError **error)
{
    if (g_ascii_strcasecmp (text, "true") == 0 || g_ascii_strcasecmp (text, "false") == 0)
        return TRUE;

    g_set_error (error, RECORD_ERROR, RECORD_ERROR_PROPERTY, "Bad value for `%s': `%s' is neither true nor false",
                 pspec->name, text);
    return FALSE;
}

/* libuca accepts an enum's number or value name; the short nick is accepted here as well and
 * handed on as the value name. Returns the text to hand on, or NULL. */
static gchar *
resolve_enum (GParamSpec *pspec, const gchar *text, GError **error)
{
    GEnumClass *enum_class = G_PARAM_SPEC_ENUM (pspec)->enum_class;
    GEnumValue *value;
    guint64 number;
    GString *names;

    if (g_ascii_string_to_unsigned (text, 10, 0, G_MAXINT, &number, NULL))
        value = g_enum_get_value (enum_class, (gint) number);
    else if ((value = g_enum_get_value_by_name (enum_class, text)) == NULL)
        value = g_enum_get_value_by_nick (enum_class, text);

    if (value != NULL)
        return g_strdup (value->value_name);

    names = g_string_new (NULL);

    for (guint i = 0; i < enum_class->n_values; i++)
        g_string_append_printf (names, "%s%s (%d)", i > 0 ? ", " : "", enum_class->values[i].value_nick,
                                enum_class->values[i].value);

    g_set_error (error, RECORD_ERROR, RECORD_ERROR_PROPERTY, "Bad value for `%s': `%s' is none of %s", pspec->name,
                 text, names->str);
    g_string_free (names, TRUE);
    return NULL;
}

/* Checks one PROPERTY=VALUE argument against the camera's property and returns the argument to
 * hand to libuca, or NULL with an error. */
static gchar *
check_property_argument (UcaCamera *camera, const gchar *argument, GError **error)
{
    gchar **parts = g_strsplit (argument, "=", 2);
    GParamSpec *pspec;
    gchar *result = NULL;
    gboolean valid;
    const gchar *invalid;

    /* GObject's text is UTF-8: other bytes would reach the camera and the files as they are. */
    if (!g_utf8_validate (argument, -1, &invalid)) {
        const gsize name_length = strcspn (argument, "=");
        gchar *name = g_strndup (argument, name_length);

        if ((gsize) (invalid - argument) < name_length)
            g_set_error (
                error, RECORD_ERROR, RECORD_ERROR_PROPERTY,
                "A property's name is not UTF-8 text (byte 0x%02x at position %ld of argument `PROPERTY=VALUE')",
                (guint) (guchar) *invalid, (glong) (invalid - argument) + 1);
        else
            g_set_error (error, RECORD_ERROR, RECORD_ERROR_PROPERTY,
                         "Bad value for `%s': not UTF-8 text (byte 0x%02x at position %ld of the value)", name,
                         (guint) (guchar) *invalid, (glong) (invalid - argument - name_length));
        g_free (name);
        goto out;
    }

    if (parts[0] == NULL || parts[1] == NULL || parts[0][0] == '\0') {
        g_set_error (error, RECORD_ERROR, RECORD_ERROR_PROPERTY, "`%s' is not of the form PROPERTY=VALUE", argument);
        goto out;
    }

    pspec = g_object_class_find_property (G_OBJECT_GET_CLASS (camera), parts[0]);

    if (pspec == NULL) {
        g_set_error (error, RECORD_ERROR, RECORD_ERROR_PROPERTY, "Camera has no property `%s'", parts[0]);
        goto out;
    }

    if (!(pspec->flags & G_PARAM_WRITABLE) || (pspec->flags & G_PARAM_CONSTRUCT_ONLY)) {
        g_set_error (error, RECORD_ERROR, RECORD_ERROR_PROPERTY, "Property `%s' cannot be written", pspec->name);
        goto out;
    }

    /* A file the camera would not find: said now, not as a camera's warning while recording. */
    if (G_IS_PARAM_SPEC_STRING (pspec) && g_str_has_suffix (pspec->name, "-file") && parts[1][0] != '\0' &&
        !g_file_test (parts[1], G_FILE_TEST_EXISTS)) {
        g_set_error (error, RECORD_ERROR, RECORD_ERROR_PROPERTY, "Bad value for `%s': `%s': no such file", pspec->name,
                     parts[1]);
        goto out;
    }

    if (G_IS_PARAM_SPEC_ENUM (pspec)) {
        gchar *value_name = resolve_enum (pspec, parts[1], error);

        if (value_name != NULL)
            result = g_strdup_printf ("%s=%s", parts[0], value_name);

        g_free (value_name);
        goto out;
    }

    if (G_IS_PARAM_SPEC_UINT (pspec))
        valid = check_unsigned (pspec, parts[1], G_PARAM_SPEC_UINT (pspec)->minimum, G_PARAM_SPEC_UINT (pspec)->maximum,
                                error);
    else if (G_IS_PARAM_SPEC_UINT64 (pspec))
        valid = check_unsigned (pspec, parts[1], G_PARAM_SPEC_UINT64 (pspec)->minimum,
                                G_PARAM_SPEC_UINT64 (pspec)->maximum, error);
    else if (G_IS_PARAM_SPEC_ULONG (pspec))
        valid = check_unsigned (pspec, parts[1], G_PARAM_SPEC_ULONG (pspec)->minimum,
                                G_PARAM_SPEC_ULONG (pspec)->maximum, error);
    else if (G_IS_PARAM_SPEC_INT (pspec))
        valid =
            check_signed (pspec, parts[1], G_PARAM_SPEC_INT (pspec)->minimum, G_PARAM_SPEC_INT (pspec)->maximum, error);
    else if (G_IS_PARAM_SPEC_INT64 (pspec))
        valid = check_signed (pspec, parts[1], G_PARAM_SPEC_INT64 (pspec)->minimum, G_PARAM_SPEC_INT64 (pspec)->maximum,
                              error);
    else if (G_IS_PARAM_SPEC_LONG (pspec))
        valid = check_signed (pspec, parts[1], G_PARAM_SPEC_LONG (pspec)->minimum, G_PARAM_SPEC_LONG (pspec)->maximum,
                              error);
    else if (G_IS_PARAM_SPEC_DOUBLE (pspec))
        valid = check_double (pspec, parts[1], G_PARAM_SPEC_DOUBLE (pspec)->minimum,
                              G_PARAM_SPEC_DOUBLE (pspec)->maximum, error);
    else if (G_IS_PARAM_SPEC_FLOAT (pspec))
        valid = check_double (pspec, parts[1], G_PARAM_SPEC_FLOAT (pspec)->minimum, G_PARAM_SPEC_FLOAT (pspec)->maximum,
                              error);
    else if (G_IS_PARAM_SPEC_BOOLEAN (pspec))
        valid = check_boolean (pspec, parts[1], error);
    else
        valid = TRUE;

    if (valid)
        result = g_strdup (argument);

out:
    g_strfreev (parts);
    return result;
}

gboolean
record_apply_properties (UcaCamera *camera, gchar **arguments, guint n_arguments, GError **error)
{
    gchar **checked = g_new0 (gchar *, n_arguments + 1);
    gboolean success = TRUE;

    for (guint i = 0; i < n_arguments && success; i++) {
        checked[i] = check_property_argument (camera, arguments[i], error);
        success = checked[i] != NULL;
    }

    if (success && n_arguments > 0)
        success = uca_camera_parse_arg_props (camera, checked, n_arguments, error);

    g_strfreev (checked);
    return success;
}
