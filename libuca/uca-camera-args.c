/* SPDX-License-Identifier: LGPL-2.1-or-later */
/* uca_camera_parse_arg_props(): camera properties set from name=value text, as given on a
 * command line. */

#include "uca/uca-camera.h"

static gboolean
enum_from_text (GParamSpec *pspec, const gchar *text, GValue *value, GError **error)
{
    GEnumClass *enum_class = G_PARAM_SPEC_ENUM (pspec)->enum_class;
    GEnumValue *enum_value;
    gint64 number;

    if (g_ascii_string_to_signed (text, 10, G_MININT, G_MAXINT, &number, NULL))
        enum_value = g_enum_get_value (enum_class, (gint) number);
    else
        enum_value = g_enum_get_value_by_name (enum_class, text);

    if (enum_value == NULL) {
        g_set_error (error, UCA_CAMERA_ERROR, UCA_CAMERA_ERROR_NOT_FOUND, "Enum value `%s' does not exist for `%s'",
                     text, pspec->name);
        return FALSE;
    }

    g_value_set_enum (value, enum_value->value);
    return TRUE;
}

static gboolean
signed_from_text (const gchar *text, gint64 minimum, gint64 maximum, gint64 *number)
{
    return g_ascii_string_to_signed (text, 10, minimum, maximum, number, NULL);
}

static gboolean
unsigned_from_text (const gchar *text, guint64 minimum, guint64 maximum, guint64 *number)
{
    return g_ascii_string_to_unsigned (text, 10, minimum, maximum, number, NULL);
}

static gboolean
double_from_text (const gchar *text, gdouble minimum, gdouble maximum, gdouble *number)
{
    gchar *end = NULL;

    *number = g_ascii_strtod (text, &end);
    return end != text && *end == '\0' && *number >= minimum && *number <= maximum;
}

/* A number must be complete and inside the property's range: a typo must not silently
 * become 0, and GObject would only warn about an out-of-range value. */
static gboolean
number_from_text (GParamSpec *pspec, const gchar *text, GValue *value)
{
    gint64 s = 0;
    guint64 u = 0;
    gdouble d = 0.0;
    gboolean valid = FALSE;

    if (G_IS_PARAM_SPEC_INT (pspec)) {
        GParamSpecInt *range = G_PARAM_SPEC_INT (pspec);
        if ((valid = signed_from_text (text, range->minimum, range->maximum, &s)))
            g_value_set_int (value, (gint) s);
    }
    else if (G_IS_PARAM_SPEC_UINT (pspec)) {
        GParamSpecUInt *range = G_PARAM_SPEC_UINT (pspec);
        if ((valid = unsigned_from_text (text, range->minimum, range->maximum, &u)))
            g_value_set_uint (value, (guint) u);
    }
    else if (G_IS_PARAM_SPEC_LONG (pspec)) {
        GParamSpecLong *range = G_PARAM_SPEC_LONG (pspec);
        if ((valid = signed_from_text (text, range->minimum, range->maximum, &s)))
            g_value_set_long (value, (glong) s);
    }
    else if (G_IS_PARAM_SPEC_ULONG (pspec)) {
        GParamSpecULong *range = G_PARAM_SPEC_ULONG (pspec);
        if ((valid = unsigned_from_text (text, range->minimum, range->maximum, &u)))
            g_value_set_ulong (value, (gulong) u);
    }
    else if (G_IS_PARAM_SPEC_INT64 (pspec)) {
        GParamSpecInt64 *range = G_PARAM_SPEC_INT64 (pspec);
        if ((valid = signed_from_text (text, range->minimum, range->maximum, &s)))
            g_value_set_int64 (value, s);
    }
    else if (G_IS_PARAM_SPEC_UINT64 (pspec)) {
        GParamSpecUInt64 *range = G_PARAM_SPEC_UINT64 (pspec);
        if ((valid = unsigned_from_text (text, range->minimum, range->maximum, &u)))
            g_value_set_uint64 (value, u);
    }
    else if (G_IS_PARAM_SPEC_FLOAT (pspec)) {
        GParamSpecFloat *range = G_PARAM_SPEC_FLOAT (pspec);
        if ((valid = double_from_text (text, range->minimum, range->maximum, &d)))
            g_value_set_float (value, (gfloat) d);
    }
    else if (G_IS_PARAM_SPEC_DOUBLE (pspec)) {
        GParamSpecDouble *range = G_PARAM_SPEC_DOUBLE (pspec);
        if ((valid = double_from_text (text, range->minimum, range->maximum, &d)))
            g_value_set_double (value, d);
    }

    return valid;
}

static gboolean
value_from_text (GParamSpec *pspec, const gchar *text, GValue *value, GError **error)
{
    g_value_init (value, G_PARAM_SPEC_VALUE_TYPE (pspec));

    switch (G_TYPE_FUNDAMENTAL (G_PARAM_SPEC_VALUE_TYPE (pspec))) {
        case G_TYPE_BOOLEAN:
            g_value_set_boolean (value, g_ascii_strncasecmp (text, "true", 4) == 0);
            return TRUE;
        case G_TYPE_STRING:
            g_value_set_string (value, text);
            return TRUE;
        case G_TYPE_ENUM:
            return enum_from_text (pspec, text, value, error);
        case G_TYPE_INT:
        case G_TYPE_UINT:
        case G_TYPE_LONG:
        case G_TYPE_ULONG:
        case G_TYPE_INT64:
        case G_TYPE_UINT64:
        case G_TYPE_FLOAT:
        case G_TYPE_DOUBLE:
            if (number_from_text (pspec, text, value))
                return TRUE;

            g_set_error (error, UCA_CAMERA_ERROR, UCA_CAMERA_ERROR_NOT_FOUND, "Value `%s' is not valid for `%s'", text,
                         pspec->name);
            return FALSE;
        default:
            g_set_error (error, UCA_CAMERA_ERROR, UCA_CAMERA_ERROR_NOT_IMPLEMENTED, "Cannot set `%s' from text",
                         pspec->name);
            return FALSE;
    }
}

static gboolean
set_property_from_argument (UcaCamera *camera, const gchar *argument, GError **error)
{
    gchar **name_and_value = g_strsplit (argument, "=", 2);
    GParamSpec *pspec;
    GValue value = G_VALUE_INIT;
    gboolean set = FALSE;

    if (name_and_value[0] == NULL || name_and_value[1] == NULL) {
        g_set_error (error, UCA_CAMERA_ERROR, UCA_CAMERA_ERROR_NOT_FOUND, "Argument `%s' is not of the form name=value",
                     argument);
        goto out;
    }

    pspec = g_object_class_find_property (G_OBJECT_GET_CLASS (camera), name_and_value[0]);

    if (pspec == NULL) {
        g_set_error (error, UCA_CAMERA_ERROR, UCA_CAMERA_ERROR_NOT_IMPLEMENTED, "No property `%s' found",
                     name_and_value[0]);
        goto out;
    }

    if ((pspec->flags & G_PARAM_WRITABLE) == 0) {
        g_set_error (error, UCA_CAMERA_ERROR, UCA_CAMERA_ERROR_NOT_IMPLEMENTED, "Property `%s' is not writable",
                     pspec->name);
        goto out;
    }

    if (value_from_text (pspec, name_and_value[1], &value, error)) {
        g_object_set_property (G_OBJECT (camera), pspec->name, &value);
        set = TRUE;
    }

    if (G_IS_VALUE (&value))
        g_value_unset (&value);

out:
    g_strfreev (name_and_value);
    return set;
}

/**
 * uca_camera_parse_arg_props:
 * @camera: A #UcaCamera
 * @argv: (array length=argc): Settings of the form name=value
 * @argc: Number of settings in @argv
 * @error: Location for a #GError, or %NULL
 *
 * Sets properties from text, as given on a command line.
 *
 * Returns: %TRUE when every setting was applied
 */
gboolean
uca_camera_parse_arg_props (UcaCamera *camera, gchar **argv, guint argc, GError **error)
{
    g_return_val_if_fail (UCA_IS_CAMERA (camera), FALSE);
    g_return_val_if_fail (argv != NULL || argc == 0, FALSE);

    for (guint i = 0; i < argc; i++) {
        if (!set_property_from_argument (camera, argv[i], error))
            return FALSE;
    }

    return TRUE;
}
