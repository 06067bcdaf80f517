/* SPDX-License-Identifier: LGPL-2.1-or-later */
/* multitiff: every frame a page of one BigTIFF, created under its temporary name and renamed when
 * complete. Its pages read at every moment (tiff-file.h), so a killed recording leaves every
 * complete page readable. After a failed write the file is cut after the last complete page. */

#include "tiff-file.h"
#include "platform/platform.h"

#include <errno.h>

typedef struct {
    TiffFile file;
    gchar *temporary;
    TIFF *tiff;
    toff_t complete_end; /* the file's end after the last complete page */
} MultiTiff;

static gpointer
multitiff_open (RecordOutput *output, GError **error)
{
    MultiTiff *multi = g_new0 (MultiTiff, 1);

    multi->file.fd = record_output_create_temporary (output, output->format->file_name, &multi->temporary, error);

    if (multi->file.fd >= 0 && (multi->tiff = tiff_file_open (&multi->file, output->format->file_name, "w8")) == NULL)
        tiff_file_set_error (output, output->format->file_name, &multi->file, error);

    if (multi->tiff == NULL) {
        if (multi->file.fd >= 0) {
            record_file_close (multi->file.fd);
            record_output_discard (output, multi->temporary);
        }

        g_free (multi->temporary);
        g_free (multi);
        return NULL;
    }

    return multi;
}

static gboolean
multitiff_write (RecordOutput *output, gpointer state, const guint8 *pixels, gint64 timestamp_ns, GError **error)
{
    MultiTiff *multi = state;

    if (!tiff_file_write_page (multi->tiff, output, pixels, timestamp_ns) || multi->file.broken) {
        multi->file.broken = TRUE; /* also when libtiff failed on its own: write nothing more */
        tiff_file_set_error (output, output->format->file_name, &multi->file, error);
        return FALSE;
    }

    multi->complete_end = tiff_file_size (&multi->file);
    return TRUE;
}

static gboolean
multitiff_close (RecordOutput *output, gpointer state, GError **error)
{
    MultiTiff *multi = state;
    gboolean failed = multi->file.broken;
    gboolean keep;

    TIFFClose (multi->tiff);

    if (!failed && multi->file.broken) {
        tiff_file_set_error (output, output->format->file_name, &multi->file, error);
        failed = TRUE;
    }

    /* After a failure, cut the file after the last complete page, the last one linked. */
    keep = output->n_frames > 0 && (!failed || record_file_truncate (multi->file.fd, multi->complete_end) == 0);

    if (record_file_close (multi->file.fd) != 0 && !failed) {
        record_output_set_write_error (output, output->format->file_name, errno, NULL, error);
        keep = FALSE;
    }

    if (keep)
        keep = record_output_publish (output, multi->temporary, output->format->file_name, failed ? NULL : error);
    else
        record_output_discard (output, multi->temporary);

    if (!keep)
        output->n_frames = 0;

    g_free (multi->temporary);
    g_free (multi);
    return !failed && (keep || output->n_frames == 0);
}

const RecordFormatOps record_multitiff_ops = {
    multitiff_open, multitiff_write, NULL, multitiff_close, tiff_file_first_page_bytes, NULL
};
