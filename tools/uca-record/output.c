/* SPDX-License-Identifier: LGPL-2.1-or-later */
/* See output.h. The TIFF formats go through libtiff over the recorder's own file
 * functions, so that a failed write keeps the system's reason ("No space left on device")
 * instead of libtiff's summary, and so that a failed page can be cut off cleanly. */

#include "output.h"
#include "platform.h"

#include <errno.h>
#include <png.h>
#include <stdio.h>
#include <string.h>
#include <tiffio.h>

#include <glib/gstdio.h>

/* ---- Folder ----------------------------------------------------------------------------- */

static gboolean
is_series_file (const gchar *name)
{
    /* Hidden names are temporary files a killed recording left behind. */
    const gchar *visible = name[0] == '.' ? name + 1 : name;

    return (g_str_has_prefix (visible, "frame-") && strstr (visible, ".tif") != NULL) ||
           g_str_has_prefix (visible, "frames.tif") || g_str_has_prefix (visible, "frames.h5") ||
           g_str_has_prefix (visible, "preview.png");
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

/* ---- libtiff over the recorder's own file functions ------------------------------------- */

typedef struct {
    gint fd;
    gint error_number; /* of the first failed write */
    gboolean broken;   /* a write failed: every further write is refused */
} TiffFile;

/* libtiff's last message, for failures that are not the system's. Only one thread at a time
 * uses libtiff: the writer, then the main thread once the writer has ended. */
static gchar *tiff_message = NULL;

static void G_GNUC_PRINTF (2, 0) on_tiff_error (const char *module, const char *format, va_list args)
{
    (void) module;
    g_free (tiff_message);
    tiff_message = g_strdup_vprintf (format, args);
}

static tmsize_t
tiff_read (thandle_t handle, void *buffer, tmsize_t size)
{
    return (tmsize_t) record_file_read (((TiffFile *) handle)->fd, buffer, (size_t) size);
}

static tmsize_t
tiff_write (thandle_t handle, void *buffer, tmsize_t size)
{
    TiffFile *file = handle;
    const guint8 *data = buffer;
    tmsize_t done = 0;

    while (!file->broken && done < size) {
        gint64 n = record_file_write (file->fd, data + done, (size_t) (size - done));

        if (n > 0) {
            done += n;
        }
        else if (n < 0 && errno != EINTR) {
            file->error_number = errno;
            file->broken = TRUE;
        }
    }

    return file->broken ? -1 : size;
}

static toff_t
tiff_seek (thandle_t handle, toff_t offset, int whence)
{
    return (toff_t) record_file_seek (((TiffFile *) handle)->fd, (gint64) offset, whence);
}

static int
tiff_close (thandle_t handle)
{
    (void) handle; /* the descriptor is the format's to close */
    return 0;
}

static toff_t
tiff_size (thandle_t handle)
{
    gint64 size = record_file_size (((TiffFile *) handle)->fd);

    return size >= 0 ? (toff_t) size : 0;
}

static int
tiff_map (thandle_t handle, void **base, toff_t *size)
{
    (void) handle, (void) base, (void) size;
    return 0;
}

static void
tiff_unmap (thandle_t handle, void *base, toff_t size)
{
    (void) handle, (void) base, (void) size;
}

static TIFF *
tiff_open (TiffFile *file, const gchar *name, const gchar *mode)
{
    TIFFSetErrorHandler (on_tiff_error);
    return TIFFClientOpen (name, mode, file, tiff_read, tiff_write, tiff_seek, tiff_close, tiff_size, tiff_map,
                           tiff_unmap);
}

/* One frame as one uncompressed strip: a single large write per frame. */
static gboolean
tiff_write_page (TIFF *tiff, const FrameGeometry *geometry, const guint8 *pixels)
{
    return TIFFSetField (tiff, TIFFTAG_IMAGEWIDTH, geometry->width) &&
           TIFFSetField (tiff, TIFFTAG_IMAGELENGTH, geometry->height) &&
           TIFFSetField (tiff, TIFFTAG_BITSPERSAMPLE, geometry->bytes_per_pixel * 8) &&
           TIFFSetField (tiff, TIFFTAG_SAMPLESPERPIXEL, 1) &&
           TIFFSetField (tiff, TIFFTAG_SAMPLEFORMAT, SAMPLEFORMAT_UINT) &&
           TIFFSetField (tiff, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_MINISBLACK) &&
           TIFFSetField (tiff, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG) &&
           TIFFSetField (tiff, TIFFTAG_COMPRESSION, COMPRESSION_NONE) &&
           TIFFSetField (tiff, TIFFTAG_ROWSPERSTRIP, geometry->height) &&
           TIFFWriteEncodedStrip (tiff, 0, (void *) pixels, (tmsize_t) geometry->frame_bytes) ==
               (tmsize_t) geometry->frame_bytes &&
           TIFFWriteDirectory (tiff);
}

static void
tiff_set_error (const RecordOutput *output, const gchar *final_name, const TiffFile *file, GError **error)
{
    record_output_set_write_error (output, final_name, file->error_number, tiff_message, error);
}

/* ---- tiff: one file per frame ----------------------------------------------------------- */

static gpointer
series_open (RecordOutput *output, GError **error)
{
    (void) output, (void) error;
    return GINT_TO_POINTER (1); /* no state; non-NULL means success */
}

static gboolean
series_write (RecordOutput *output, gpointer state, const guint8 *pixels, gint64 timestamp_ns, GError **error)
{
    gchar *name = g_strdup_printf ("frame-%06" G_GUINT64_FORMAT ".tif", output->n_frames + 1);
    TiffFile file = { .fd = -1 };
    gchar *temporary = NULL;
    TIFF *tiff = NULL;
    gboolean success = FALSE;

    (void) state, (void) timestamp_ns;
    file.fd = record_output_create_temporary (output, name, &temporary, error);

    if (file.fd >= 0)
        tiff = tiff_open (&file, name, "w");

    if (tiff != NULL) {
        success = tiff_write_page (tiff, &output->geometry, pixels);
        TIFFClose (tiff);
        success = success && !file.broken;

        if (!success)
            tiff_set_error (output, name, &file, error);
    }
    else if (file.fd >= 0) {
        tiff_set_error (output, name, &file, error);
    }

    if (file.fd >= 0 && record_file_close (file.fd) != 0 && success) {
        record_output_set_write_error (output, name, errno, NULL, error);
        success = FALSE;
    }

    if (success)
        success = record_output_publish (output, temporary, name, error);
    else if (temporary != NULL)
        g_unlink (temporary);

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

static const RecordFormatOps series_ops = { NULL, series_open, series_write, series_close };

/* ---- multitiff: every frame a page of one BigTIFF --------------------------------------- */

typedef struct {
    TiffFile file;
    gchar *temporary;
    TIFF *tiff;
    toff_t complete_end; /* the file's end after the last complete page */
} MultiTiff;

static const gchar multitiff_name[] = "frames.tif";

static gpointer
multitiff_open (RecordOutput *output, GError **error)
{
    MultiTiff *multi = g_new0 (MultiTiff, 1);

    multi->file.fd = record_output_create_temporary (output, multitiff_name, &multi->temporary, error);

    if (multi->file.fd >= 0 && (multi->tiff = tiff_open (&multi->file, multitiff_name, "w8")) == NULL)
        tiff_set_error (output, multitiff_name, &multi->file, error);

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

    if (!tiff_write_page (multi->tiff, &output->geometry, pixels) || multi->file.broken) {
        multi->file.broken = TRUE; /* also when libtiff failed on its own: write nothing more */
        tiff_set_error (output, multitiff_name, &multi->file, error);
        return FALSE;
    }

    multi->complete_end = tiff_size (&multi->file);
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
        tiff_set_error (output, multitiff_name, &multi->file, error);
        failed = TRUE;
    }

    /* After a failure, cut the file after the last complete page. */
    keep = output->n_frames > 0 && (!failed || (multitiff_end_chain (multi->file.fd, output->n_frames) &&
                                                record_file_truncate (multi->file.fd, multi->complete_end) == 0));

    if (record_file_close (multi->file.fd) != 0 && !failed) {
        record_output_set_write_error (output, multitiff_name, errno, NULL, error);
        keep = FALSE;
    }

    if (keep)
        keep = record_output_publish (output, multi->temporary, multitiff_name, failed ? NULL : error);
    else
        g_unlink (multi->temporary);

    if (!keep)
        output->n_frames = 0;

    g_free (multi->temporary);
    g_free (multi);
    return !failed && (keep || output->n_frames == 0);
}

static const RecordFormatOps multitiff_ops = { multitiff_name, multitiff_open, multitiff_write, multitiff_close };

/* ---- Output ----------------------------------------------------------------------------- */

RecordOutput *
record_output_open (RecordFormat format, const gchar *dir, const FrameGeometry *geometry, const CameraInfo *info,
                    GError **error)
{
    static const RecordFormatOps *const ops[] = { &series_ops, &multitiff_ops, &record_hdf5_ops };
    RecordOutput *output = g_new0 (RecordOutput, 1);

    output->ops = ops[format];
    output->dir = g_strdup (dir);
    output->geometry = *geometry;
    output->info = *info;
    output->state = output->ops->open (output, error);

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
    if (output->failed || !output->ops->write (output, output->state, pixels, timestamp_ns, error)) {
        output->failed = TRUE;
        return FALSE;
    }

    output->n_frames++;
    return TRUE;
}

gboolean
record_output_close (RecordOutput *output, guint64 *frames_kept, GError **error)
{
    gboolean success = output->ops->close (output, output->state, error);

    *frames_kept = output->n_frames;
    g_clear_pointer (&tiff_message, g_free);
    g_free (output->dir);
    g_free (output);
    return success;
}

const gchar *
record_output_name (const RecordOutput *output)
{
    return output->ops->file_name != NULL ? output->ops->file_name : "frame-NNNNNN.tif";
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
    static const gchar name[] = "preview.png";
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
