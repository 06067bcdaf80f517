/* SPDX-License-Identifier: LGPL-2.1-or-later */
/* tiff: one 16-bit grayscale TIFF per frame, each created under its temporary name and renamed
 * when complete. */

#include "tiff-file.h"
#include "platform/platform.h"

#include <errno.h>

static gpointer
series_open (RecordOutput *output, GError **error)
{
    (void) output, (void) error;
    return GINT_TO_POINTER (1); /* no state; non-NULL means success */
}

static gboolean
series_write (RecordOutput *output, gpointer state, const guint8 *pixels, gint64 timestamp_ns, GError **error)
{
    gchar *name = record_format_file_name (output->format, output->n_frames + 1);
    TiffFile file = { .fd = -1 };
    gchar *temporary = NULL;
    TIFF *tiff = NULL;
    gboolean success = FALSE;

    (void) state;
    file.fd = record_output_create_temporary (output, name, &temporary, error);

    if (file.fd >= 0)
        tiff = tiff_file_open (&file, name, "w");

    if (tiff != NULL) {
        success = tiff_file_write_page (tiff, output, pixels, timestamp_ns);
        TIFFClose (tiff);
        success = success && !file.broken;

        if (!success)
            tiff_file_set_error (output, name, &file, error);
    }
    else if (file.fd >= 0) {
        tiff_file_set_error (output, name, &file, error);
    }

    if (file.fd >= 0 && record_file_close (file.fd) != 0 && success) {
        record_output_set_write_error (output, name, errno, NULL, error);
        success = FALSE;
    }

    if (success)
        success = record_output_publish (output, temporary, name, error);
    else if (temporary != NULL)
        record_output_discard (output, temporary);

    g_free (temporary);
    g_free (name);
    return success;
}

static gboolean
series_close (RecordOutput *output, gpointer state, GError **error)
{
    (void) output, (void) state, (void) error;
    return TRUE;
}

const RecordFormatOps record_tiff_ops = { series_open, series_write, NULL, series_close, tiff_file_first_page_bytes,
                                          NULL };
