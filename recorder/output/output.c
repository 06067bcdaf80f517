/* SPDX-License-Identifier: LGPL-2.1-or-later */
/* See output.h. */

#include "output.h"
#include "platform/platform.h"
#include "platform/sync.h"

#include <errno.h>
#include <png.h>
#include <stdio.h>
#include <string.h>

/* ---- Shared file handling --------------------------------------------------------------- */

gint
record_output_create_temporary (const RecordOutput *output, const gchar *final_name, gchar **path, GError **error)
{
    gint fd;

    *path = record_folder_temporary_path (output->folder, final_name);
    fd = record_file_create_new (*path);

    if (fd < 0) {
        record_output_set_write_error (output, final_name, errno, NULL, error);
        g_clear_pointer (path, g_free);
    }

    return fd;
}

gboolean
record_output_publish (const RecordOutput *output, const gchar *temporary, const gchar *final_name, GError **error)
{
    return record_folder_publish (output->folder, temporary, final_name, error);
}

void
record_output_discard (const RecordOutput *output, const gchar *temporary)
{
    record_folder_discard (output->folder, temporary);
}

void
record_output_set_write_error (const RecordOutput *output, const gchar *final_name, gint error_number,
                               const gchar *detail, GError **error)
{
    gchar *final = g_build_filename (output->dir, final_name, NULL);

    g_set_error (error, RECORD_ERROR, RECORD_ERROR_OUTPUT, "Cannot write `%s': %s", final,
                 error_number != 0 ? g_strerror (error_number) : (detail != NULL ? detail : "unknown error"));
    g_free (final);
}

gchar *
record_output_frame_description (const RecordOutput *output, guint64 number, gint64 timestamp_ns)
{
    gchar *time = record_utc_text (output->start_us + (timestamp_ns - output->first_ns) / 1000);
    gchar exposure[G_ASCII_DTOSTR_BUF_SIZE];
    gchar *text;

    /* Not the locale's decimal comma: readers parse this. */
    g_ascii_dtostr (exposure, sizeof exposure, output->info.exposure_s);
    text = g_strdup_printf ("frame=%" G_GUINT64_FORMAT "\ntime=%s\nexposure_time=%s\n", number, time, exposure);
    g_free (time);
    return text;
}

gdouble
record_output_pixels_per_cm (const RecordOutput *output, guint axis)
{
    const gdouble metres = output->info.pixel_size[axis] * MAX (output->info.binning[axis], 1);

    return metres > 0 ? 0.01 / metres : 0;
}

/* ---- Output ----------------------------------------------------------------------------- */

RecordOutput *
record_output_new (const RecordFormat *format, const RecordFormatOps *ops, RecordFolder *folder,
                   const FrameGeometry *geometry, RecordSeries series)
{
    RecordOutput *output = g_new0 (RecordOutput, 1);

    output->format = format;
    output->ops = ops;
    output->folder = folder;
    output->dir = record_folder_path (folder);
    output->series = series;
    output->base = record_folder_addition_base (folder);
    output->geometry = *geometry;
    return output;
}

void
record_output_describe (RecordOutput *output, const CameraInfo *info)
{
    output->info = *info;
}

/* With the first frame in hand the recording goes ahead: the earlier recording goes, the files
 * begin. */
static gboolean
begin (RecordOutput *output, gint64 timestamp_ns, GError **error)
{
    output->first_ns = timestamp_ns;
    output->start_us = g_get_real_time () - (record_monotonic_ns () - timestamp_ns) / 1000;

    if (!record_folder_begin (output->folder, output->ops->first_frame_bytes (output), error))
        return FALSE;

    output->state = output->ops->open (output, error);
    return output->state != NULL;
}

gboolean
record_output_write (RecordOutput *output, const guint8 *pixels, gint64 timestamp_ns, GError **error)
{
    if (output->failed || (output->state == NULL && !begin (output, timestamp_ns, error)) ||
        !output->ops->write (output, output->state, pixels, timestamp_ns, error)) {
        output->failed = TRUE;
        return FALSE;
    }

    output->n_frames++;
    return TRUE;
}

gboolean
record_output_sync (RecordOutput *output, GError **error)
{
    if (output->failed || output->n_frames == 0 || output->ops->sync == NULL)
        return TRUE;

    output->failed = !output->ops->sync (output, output->state, error);
    return !output->failed;
}

gboolean
record_output_close (RecordOutput *output, guint64 *frames_kept, GError **error)
{
    gboolean success = output->state == NULL || output->ops->close (output, output->state, error);

    *frames_kept = output->n_frames;
    g_free (output);
    return success;
}

/* ---- Preview ---------------------------------------------------------------------------- */

/* Maps the 0.1 % to 99.9 % range of the frame's values onto 0..255, so that a few hot or dead
 * pixels do not flatten the picture. */
guint8 *
record_preview_pixels (const guint8 *pixels, const FrameGeometry *geometry)
{
    const gsize n_pixels = (gsize) geometry->width * geometry->height;
    const gboolean wide = geometry->bytes_per_pixel > 1;
    const guint n_levels = wide ? 65536 : 256;
    guint *histogram = g_new0 (guint, n_levels);
    guint8 *gray = g_malloc (n_pixels);
    guint low = 0, high = n_levels - 1;
    gsize count;

    for (gsize i = 0; i < n_pixels; i++)
        histogram[wide ? ((const guint16 *) pixels)[i] : pixels[i]]++;

    for (count = histogram[low]; count <= n_pixels / 1000 && low < high; count += histogram[low])
        low++;

    for (count = histogram[high]; count <= n_pixels / 1000 && high > low; count += histogram[high])
        high--;

    for (gsize i = 0; i < n_pixels; i++) {
        guint value = wide ? ((const guint16 *) pixels)[i] : pixels[i];
        guint clamped = CLAMP (value, low, high);

        gray[i] = high > low ? (guint8) ((clamped - low) * 255u / (high - low)) : 0;
    }

    g_free (histogram);
    return gray;
}

gboolean
record_output_write_preview (const RecordFolder *folder, const guint8 *pixels, const FrameGeometry *geometry,
                             GError **error)
{
    const gchar *name = record_preview_name;
    RecordOutput place = { .folder = (RecordFolder *) folder, .dir = record_folder_path (folder) };
    guint8 *gray = record_preview_pixels (pixels, geometry);
    gchar *temporary = NULL;
    gint fd = record_output_create_temporary (&place, name, &temporary, error);
    FILE *stream = fd >= 0 ? record_file_stream (fd) : NULL;
    png_image image;
    gboolean success = FALSE;

    memset (&image, 0, sizeof image);
    image.version = PNG_IMAGE_VERSION;
    image.width = geometry->width;
    image.height = geometry->height;
    image.format = PNG_FORMAT_GRAY;

    if (stream != NULL) {
        errno = 0;
        success = png_image_write_to_stdio (&image, stream, 0, gray, (png_int_32) geometry->width, NULL) != 0;
        success = fclose (stream) == 0 && success;

        if (!success)
            record_output_set_write_error (&place, name, errno, image.message, error);

        success = success && record_output_publish (&place, temporary, name, error);
    }
    else if (fd >= 0) {
        record_output_set_write_error (&place, name, errno, NULL, error);
        record_file_close (fd);
    }

    if (!success && temporary != NULL)
        record_folder_discard (folder, temporary);

    png_image_free (&image);
    g_free (temporary);
    g_free (gray);
    return success;
}
