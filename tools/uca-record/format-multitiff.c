/* SPDX-License-Identifier: LGPL-2.1-or-later */
/* multitiff: every frame a page of one BigTIFF, created under a hidden name and renamed when
 * complete. After a failed write the file is cut after the last complete page. */

#include "tiff-file.h"
#include "platform.h"

#include <errno.h>

#include <glib/gstdio.h>

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
            g_unlink (multi->temporary);
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

    (void) timestamp_ns;

    if (!tiff_file_write_page (multi->tiff, &output->geometry, pixels) || multi->file.broken) {
        multi->file.broken = TRUE; /* also when libtiff failed on its own: write nothing more */
        tiff_file_set_error (output, output->format->file_name, &multi->file, error);
        return FALSE;
    }

    multi->complete_end = tiff_file_size (&multi->file);
    return TRUE;
}

static gboolean
read_u64 (gint fd, guint64 offset, guint64 *value)
{
    return record_file_read_at (fd, value, sizeof *value, offset) == 0;
}

/* Ends the page chain after `pages` pages. libtiff links a page before writing it, so a page
 * that failed may already be linked from the one before. BigTIFF in the machine's byte order:
 * the first page's offset at byte 8; a page is an 8-byte entry count, 20-byte entries and the
 * next page's offset. */
static gboolean
multitiff_end_chain (gint fd, guint64 pages)
{
    guint64 offset = 0, count = 0, zero = 0;

    if (!read_u64 (fd, 8, &offset))
        return FALSE;

    for (guint64 page = 1; page <= pages; page++) {
        guint64 next_field;

        if (offset == 0 || !read_u64 (fd, offset, &count))
            return FALSE;

        next_field = offset + 8 + count * 20;

        if (page == pages)
            return record_file_write_at (fd, &zero, sizeof zero, next_field) == 0;

        if (!read_u64 (fd, next_field, &offset))
            return FALSE;
    }

    return FALSE;
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

    /* After a failure, cut the file after the last complete page. */
    keep = output->n_frames > 0 && (!failed || (multitiff_end_chain (multi->file.fd, output->n_frames) &&
                                                record_file_truncate (multi->file.fd, multi->complete_end) == 0));

    if (record_file_close (multi->file.fd) != 0 && !failed) {
        record_output_set_write_error (output, output->format->file_name, errno, NULL, error);
        keep = FALSE;
    }

    if (keep)
        keep = record_output_publish (output, multi->temporary, output->format->file_name, failed ? NULL : error);
    else
        g_unlink (multi->temporary);

    if (!keep)
        output->n_frames = 0;

    g_free (multi->temporary);
    g_free (multi);
    return !failed && (keep || output->n_frames == 0);
}

const RecordFormatOps record_multitiff_ops = { multitiff_open, multitiff_write, NULL, multitiff_close };
