/* SPDX-License-Identifier: LGPL-2.1-or-later */
/* See formats.h. */

#include "formats.h"

#include <string.h>

const RecordFormat record_formats[] = {
    { "tiff", "frame-NNNNNN.tif", "one 16-bit TIFF per frame", FALSE, NULL, NULL },
    { "multitiff", "frames.tif", "one BigTIFF, a page per frame", FALSE, NULL, NULL },
    /* Its SWMR writer's mark stays in the file until h5clear clears it. */
    { "hdf5", "frames.h5", "one HDF5 file, readable while it grows", TRUE, "h5clear -s", "Debian's hdf5-tools" },
};

const guint record_n_formats = G_N_ELEMENTS (record_formats);

const RecordFormat *
record_format_find (const gchar *name)
{
    for (guint i = 0; i < record_n_formats; i++) {
        if (g_strcmp0 (name, record_formats[i].name) == 0)
            return &record_formats[i];
    }

    return NULL;
}

gboolean
record_format_holds_series (const RecordFormat *format)
{
    return format->holds_series;
}

/* Where the pattern's run of N begins, and how long it is (0 for a single file). */
static const gchar *
number_field (const RecordFormat *format, gsize *width)
{
    const gchar *start = strchr (format->file_name, 'N');

    *width = start != NULL ? strspn (start, "N") : 0;
    return start;
}

gchar *
record_format_file_name (const RecordFormat *format, guint64 number)
{
    gsize width;
    const gchar *field = number_field (format, &width);

    if (field == NULL)
        return g_strdup (format->file_name);

    return g_strdup_printf ("%.*s%0*" G_GUINT64_FORMAT "%s", (int) (field - format->file_name), format->file_name,
                            (int) width, number, field + width);
}

gboolean
record_format_is_file (const RecordFormat *format, const gchar *name, guint64 *number)
{
    gsize width, prefix;
    const gchar *field = number_field (format, &width);
    const gchar *digits;

    if (number != NULL)
        *number = 0;

    if (field == NULL)
        return strcmp (name, format->file_name) == 0;

    /* Numbers beyond the field's width take more digits. */
    prefix = (gsize) (field - format->file_name);
    digits = name + prefix;

    if (strncmp (name, format->file_name, prefix) != 0 || strspn (digits, "0123456789") < width ||
        strcmp (digits + strspn (digits, "0123456789"), field + width) != 0)
        return FALSE;

    if (number != NULL)
        *number = g_ascii_strtoull (digits, NULL, 10);

    return TRUE;
}
