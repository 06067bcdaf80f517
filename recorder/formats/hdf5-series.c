/* SPDX-License-Identifier: LGPL-2.1-or-later */
/* See hdf5-series.h. */

#include "hdf5-series.h"

#include "data-exchange.h"

#include <math.h>
#include <string.h>

const gchar *const record_hdf5_series_paths[3] = { DX_GROUP "/" DX_DATA, DX_GROUP "/" DX_DARK, DX_GROUP "/" DX_FLAT };

/* A setting of a series in the file, as numbers; FALSE when the series has none such. */
static gboolean
read_numbers (hid_t data, const gchar *name, gdouble *values, hssize_t count)
{
    hid_t attribute = H5Aexists (data, name) > 0 ? H5Aopen (data, name, H5P_DEFAULT) : H5I_INVALID_HID;
    hid_t space = attribute >= 0 ? H5Aget_space (attribute) : H5I_INVALID_HID;
    gboolean success = space >= 0 && H5Sget_simple_extent_npoints (space) == count &&
                       H5Aread (attribute, H5T_NATIVE_DOUBLE, values) >= 0;

    if (space >= 0)
        H5Sclose (space);

    if (attribute >= 0)
        H5Aclose (attribute);

    return success;
}

/* A text setting of a series in the file, fixed or variable length, in its own character set; NULL
 * when the series has none such. */
static gchar *
read_text (hid_t data, const gchar *name)
{
    hid_t attribute = H5Aexists (data, name) > 0 ? H5Aopen (data, name, H5P_DEFAULT) : H5I_INVALID_HID;
    hid_t type = attribute >= 0 ? H5Aget_type (attribute) : H5I_INVALID_HID;
    hid_t memory = type >= 0 && H5Tget_class (type) == H5T_STRING ? H5Tcopy (type) : H5I_INVALID_HID;
    gchar *text = NULL;

    if (memory >= 0 && H5Tis_variable_str (type) > 0) {
        gchar *value = NULL;

        if (H5Aread (attribute, memory, &value) >= 0 && value != NULL)
            text = g_strdup (value);

        H5free_memory (value);
    }
    else if (memory >= 0) {
        gchar *buffer = g_malloc0 (H5Tget_size (type) + 1);

        if (H5Aread (attribute, memory, buffer) >= 0)
            text = g_strdup (buffer);

        g_free (buffer);
    }

    if (memory >= 0)
        H5Tclose (memory);

    if (type >= 0)
        H5Tclose (type);

    if (attribute >= 0)
        H5Aclose (attribute);

    return text;
}

static void
compare_numbers (GString *differences, hid_t data, const gchar *name, const gdouble *own, hssize_t count)
{
    gdouble theirs[4];
    gboolean same = TRUE;

    if (!read_numbers (data, name, theirs, count))
        return;

    for (hssize_t i = 0; i < count; i++)
        same = same && fabs (theirs[i] - own[i]) <= 1e-9 * MAX (fabs (theirs[i]), fabs (own[i]));

    if (same)
        return;

    g_string_append_printf (differences, "%s%s ", differences->len > 0 ? "; " : "", name);

    for (hssize_t i = 0; i < count; i++)
        g_string_append_printf (differences, "%s%g", i > 0 ? "," : "", theirs[i]);

    g_string_append (differences, ", this series' ");

    for (hssize_t i = 0; i < count; i++)
        g_string_append_printf (differences, "%s%g", i > 0 ? "," : "", own[i]);
}

void
record_hdf5_warn_of_other_settings (const RecordOutput *output, hid_t file)
{
    const CameraInfo *info = &output->info;
    const gdouble roi[4] = { info->roi[0], info->roi[1], info->roi[2], info->roi[3] };
    const gdouble binning[2] = { info->binning[0], info->binning[1] };
    const gdouble gain = info->gain;

    if (H5Lexists (file, DX_GROUP, H5P_DEFAULT) <= 0)
        return;

    for (guint other = 0; other < G_N_ELEMENTS (record_hdf5_series_paths); other++) {
        GString *differences;
        gchar *trigger;
        hid_t data;

        if (other == (guint) output->series || H5Lexists (file, record_hdf5_series_paths[other], H5P_DEFAULT) <= 0 ||
            (data = H5Dopen2 (file, record_hdf5_series_paths[other], H5P_DEFAULT)) < 0)
            continue;

        differences = g_string_new (NULL);
        compare_numbers (differences, data, DX_EXPOSURE_TIME, &info->exposure_s, 1);

        if (info->has_gain)
            compare_numbers (differences, data, DX_GAIN, &gain, 1);

        if (info->binning[0] > 0)
            compare_numbers (differences, data, DX_BINNING, binning, 2);

        compare_numbers (differences, data, DX_ROI, roi, 4);
        trigger = read_text (data, DX_TRIGGER_SOURCE);

        if (trigger != NULL && info->trigger_source != NULL && g_strcmp0 (trigger, info->trigger_source) != 0)
            g_string_append_printf (differences, "%s" DX_TRIGGER_SOURCE " %s, this series' %s",
                                    differences->len > 0 ? "; " : "", trigger, info->trigger_source);

        if (differences->len > 0)
            g_printerr ("uca-record: warning: `%s' holds a %s series (%s) taken with other settings than this %s "
                        "series: %s\n",
                        output->base, record_series_names[other], record_hdf5_series_paths[other],
                        record_series_names[output->series], differences->str);

        g_free (trigger);
        g_string_free (differences, TRUE);
        H5Dclose (data);
    }
}
