/* SPDX-License-Identifier: LGPL-2.1-or-later */
/* See output.h. */

#include "output.h"
#include "platform.h"

#include <errno.h>
#include <png.h>
#include <stdio.h>
#include <string.h>

#include <glib/gstdio.h>

/* ---- Folder ----------------------------------------------------------------------------- */

static const gchar preview_name[] = "preview.png";

static gboolean
is_series_file (const gchar *name)
{
    const gchar *visible = name[0] == '.' ? name + 1 : name;

    for (guint i = 0; i < record_n_formats; i++) {
        if (record_format_owns (&record_formats[i], name))
            return TRUE;
    }

    return g_str_has_prefix (visible, preview_name);
}

/* The first series file in `dir`, or NULL. */
static gchar *
find_series_file (const gchar *dir, GError **error)
{
    GDir *listing = g_dir_open (dir, 0, error);
    const gchar *name;
    gchar *found = NULL;

    if (listing == NULL)
        return NULL;

    while (found == NULL && (name = g_dir_read_name (listing)) != NULL) {
        if (is_series_file (name))
            found = g_strdup (name);
    }

    g_dir_close (listing);
    return found;
}

gboolean
record_output_prepare_folder (const gchar *dir, gboolean overwrite, GError **error)
{
    gchar *probe, *existing;
    gint fd;

    if (g_mkdir_with_parents (dir, 0777) != 0 || !g_file_test (dir, G_FILE_TEST_IS_DIR)) {
        g_set_error (error, RECORD_ERROR, RECORD_ERROR_USAGE, "Cannot create folder `%s': %s", dir,
                     g_strerror (errno != 0 ? errno : ENOTDIR));
        return FALSE;
    }

    probe = g_build_filename (dir, ".uca-record-XXXXXX", NULL);
    fd = g_mkstemp (probe);

    if (fd < 0) {
        g_set_error (error, RECORD_ERROR, RECORD_ERROR_USAGE, "Cannot write into folder `%s': %s", dir,
                     g_strerror (errno));
        g_free (probe);
        return FALSE;
    }

    record_file_close (fd);
    g_unlink (probe);
    g_free (probe);

    if (overwrite)
        return TRUE;

    existing = find_series_file (dir, error);

    if (existing != NULL)
        g_set_error (error, RECORD_ERROR, RECORD_ERROR_USAGE,
                     "Folder `%s' already holds a recording (%s); choose another folder, or give "
                     "--overwrite to replace it",
                     dir, existing);

    g_free (existing);
    return existing == NULL && (error == NULL || *error == NULL);
}

gboolean
record_output_remove_series (const gchar *dir, GError **error)
{
    GDir *listing = g_dir_open (dir, 0, error);
    const gchar *name;
    gboolean success = listing != NULL;

    /* Removing entries while listing is fine: each is seen at most once. */
    while (success && (name = g_dir_read_name (listing)) != NULL) {
        gchar *path = g_build_filename (dir, name, NULL);

        if (is_series_file (name) && g_unlink (path) != 0) {
            g_set_error (error, RECORD_ERROR, RECORD_ERROR_OUTPUT, "Cannot remove `%s' of the earlier recording: %s",
                         path, g_strerror (errno));
            success = FALSE;
        }

        g_free (path);
    }

    if (listing != NULL)
        g_dir_close (listing);

    return success;
}

/* ---- Shared file handling --------------------------------------------------------------- */

gint
record_output_create_temporary (const RecordOutput *output, const gchar *final_name, gchar **path, GError **error)
{
    gchar *name = g_strdup_printf (".%s.XXXXXX", final_name);
    gint fd;

    *path = g_build_filename (output->dir, name, NULL);
    g_free (name);
    fd = record_file_create_exclusive (*path);

    if (fd < 0) {
        record_output_set_write_error (output, final_name, errno, NULL, error);
        g_clear_pointer (path, g_free);
    }

    return fd;
}

gboolean
record_output_publish (const RecordOutput *output, const gchar *temporary, const gchar *final_name, GError **error)
{
    gchar *final = g_build_filename (output->dir, final_name, NULL);
    gboolean success = g_rename (temporary, final) == 0;

    if (!success) {
        g_set_error (error, RECORD_ERROR, RECORD_ERROR_OUTPUT, "Cannot rename `%s' to `%s': %s", temporary, final,
                     g_strerror (errno));
        g_unlink (temporary);
    }

    g_free (final);
    return success;
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

/* ---- Output ----------------------------------------------------------------------------- */

RecordOutput *
record_output_open (const RecordFormat *format, const gchar *dir, const FrameGeometry *geometry, const CameraInfo *info,
                    GError **error)
{
    RecordOutput *output = g_new0 (RecordOutput, 1);

    output->format = format;
    output->dir = g_strdup (dir);
    output->geometry = *geometry;
    output->info = *info;
    output->state = output->format->ops->open (output, error);

    if (output->state == NULL) {
        g_free (output->dir);
        g_free (output);
        return NULL;
    }

    return output;
}

gboolean
record_output_write (RecordOutput *output, const guint8 *pixels, gint64 timestamp_ns, GError **error)
{
    if (output->failed || !output->format->ops->write (output, output->state, pixels, timestamp_ns, error)) {
        output->failed = TRUE;
        return FALSE;
    }

    output->n_frames++;
    return TRUE;
}

gboolean
record_output_sync (RecordOutput *output, GError **error)
{
    if (output->failed || output->n_frames == 0 || output->format->ops->sync == NULL)
        return TRUE;

    output->failed = !output->format->ops->sync (output, output->state, error);
    return !output->failed;
}

gboolean
record_output_close (RecordOutput *output, guint64 *frames_kept, GError **error)
{
    gboolean success = output->format->ops->close (output, output->state, error);

    *frames_kept = output->n_frames;
    g_free (output->dir);
    g_free (output);
    return success;
}

/* ---- Preview ---------------------------------------------------------------------------- */

/* Maps the 0.1 % to 99.9 % range of the frame's values onto 0..255, so that a few hot or dead
 * pixels do not flatten the picture. */
static guint8 *
preview_pixels (const guint8 *pixels, const FrameGeometry *geometry)
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
record_output_write_preview (const gchar *dir, const guint8 *pixels, const FrameGeometry *geometry, GError **error)
{
    const gchar *name = preview_name;
    RecordOutput place = { .dir = (gchar *) dir };
    guint8 *gray = preview_pixels (pixels, geometry);
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
        g_unlink (temporary);

    png_image_free (&image);
    g_free (temporary);
    g_free (gray);
    return success;
}
