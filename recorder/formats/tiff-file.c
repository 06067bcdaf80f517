/* SPDX-License-Identifier: LGPL-2.1-or-later */
/* See tiff-file.h. */

#include "tiff-file.h"
#include "platform/platform.h"

#include <errno.h>
#include <string.h>

/* libtiff's last message, for failures that are not the system's. */
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

static gboolean
write_all (TiffFile *file, const guint8 *data, gsize size)
{
    gsize done = 0;

    while (!file->broken && done < size) {
        gint64 n = record_file_write (file->fd, data + done, size - done);

        if (n > 0) {
            done += (gsize) n;
        }
        else if (n < 0 && errno != EINTR) {
            file->error_number = errno;
            file->broken = TRUE;
        }
    }

    return !file->broken;
}

/* A link is a small write over what the file already holds. */
static gboolean
hold_link (TiffFile *file, const void *data, gsize size)
{
    TiffLink *link = &file->held[file->n_held];
    gint64 position;

    if (!file->holding || file->n_held == TIFF_HELD_LINKS || size > sizeof link->bytes)
        return FALSE;

    position = record_file_seek (file->fd, 0, SEEK_CUR);

    if (position < 0 || (guint64) position + size > tiff_file_size (file))
        return FALSE;

    link->offset = (guint64) position;
    link->length = size;
    memcpy (link->bytes, data, size);
    file->n_held++;
    return record_file_seek (file->fd, (gint64) size, SEEK_CUR) >= 0;
}

/* The page's directory is complete: the chain may lead to it. */
static gboolean
write_held_links (TiffFile *file)
{
    const gint64 position = record_file_seek (file->fd, 0, SEEK_CUR);

    for (guint i = 0; i < file->n_held && !file->broken; i++) {
        if (record_file_seek (file->fd, (gint64) file->held[i].offset, SEEK_SET) < 0) {
            file->error_number = errno;
            file->broken = TRUE;
        }

        write_all (file, file->held[i].bytes, file->held[i].length);
    }

    file->n_held = 0;
    return !file->broken && record_file_seek (file->fd, position, SEEK_SET) >= 0;
}

static tmsize_t
tiff_write (thandle_t handle, void *buffer, tmsize_t size)
{
    TiffFile *file = handle;

    if (!file->broken && hold_link (file, buffer, (gsize) size))
        return size;

    return write_all (file, buffer, (gsize) size) ? size : -1;
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
    return tiff_file_size (handle);
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

TIFF *
tiff_file_open (TiffFile *file, const gchar *name, const gchar *mode)
{
    TIFFSetErrorHandler (on_tiff_error);
    g_clear_pointer (&tiff_message, g_free);
    return TIFFClientOpen (name, mode, file, tiff_read, tiff_write, tiff_seek, tiff_close, tiff_size, tiff_map,
                           tiff_unmap);
}

/* The frame's description and what was done to its pixels, as the HDF5 file's attributes say. */
static gchar *
describe_page (const RecordOutput *output, gint64 timestamp_ns)
{
    const CameraInfo *info = &output->info;
    gchar *frame = record_output_frame_description (output, output->n_frames + 1, timestamp_ns);
    GString *text = g_string_new (frame);

    g_free (frame);
    g_string_append_printf (text, "corrections=%s\n", info->corrections);

    if (info->calibration_file != NULL)
        g_string_append_printf (text, "calibration_file=%s\n", info->calibration_file);

    if (info->calibration_start_time != NULL)
        g_string_append_printf (text, "calibration_start_time=%s\n", info->calibration_start_time);

    return g_string_free (text, FALSE);
}

gboolean
tiff_file_write_page (TIFF *tiff, const RecordOutput *output, const guint8 *pixels, gint64 timestamp_ns)
{
    const FrameGeometry *geometry = &output->geometry;
    TiffFile *file = TIFFClientdata (tiff);
    gchar *description = describe_page (output, timestamp_ns);
    const gdouble x_resolution = record_output_pixels_per_cm (output, 0);
    const gdouble y_resolution = record_output_pixels_per_cm (output, 1);
    gboolean success = TIFFSetField (tiff, TIFFTAG_IMAGEWIDTH, geometry->width) &&
                       TIFFSetField (tiff, TIFFTAG_IMAGELENGTH, geometry->height) &&
                       TIFFSetField (tiff, TIFFTAG_BITSPERSAMPLE, geometry->bytes_per_pixel * 8) &&
                       TIFFSetField (tiff, TIFFTAG_SAMPLESPERPIXEL, 1) &&
                       TIFFSetField (tiff, TIFFTAG_SAMPLEFORMAT, SAMPLEFORMAT_UINT) &&
                       TIFFSetField (tiff, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_MINISBLACK) &&
                       TIFFSetField (tiff, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG) &&
                       TIFFSetField (tiff, TIFFTAG_COMPRESSION, COMPRESSION_NONE) &&
                       TIFFSetField (tiff, TIFFTAG_ROWSPERSTRIP, geometry->height) &&
                       TIFFSetField (tiff, TIFFTAG_IMAGEDESCRIPTION, description) &&
                       (x_resolution <= 0 || y_resolution <= 0 ||
                        (TIFFSetField (tiff, TIFFTAG_RESOLUTIONUNIT, RESUNIT_CENTIMETER) &&
                         TIFFSetField (tiff, TIFFTAG_XRESOLUTION, x_resolution) &&
                         TIFFSetField (tiff, TIFFTAG_YRESOLUTION, y_resolution))) &&
                       TIFFWriteEncodedStrip (tiff, 0, (void *) pixels, (tmsize_t) geometry->frame_bytes) ==
                           (tmsize_t) geometry->frame_bytes;

    g_free (description);
    file->holding = TRUE;
    success = success && TIFFWriteDirectory (tiff);
    file->holding = FALSE;

    /* A page that failed stays out of the chain. */
    if (!success)
        file->n_held = 0;

    return success && write_held_links (file);
}

void
tiff_file_set_error (const RecordOutput *output, const gchar *final_name, const TiffFile *file, GError **error)
{
    record_output_set_write_error (output, final_name, file->error_number, tiff_message, error);
    g_clear_pointer (&tiff_message, g_free);
}

toff_t
tiff_file_size (const TiffFile *file)
{
    gint64 size = record_file_size (file->fd);

    return size >= 0 ? (toff_t) size : 0;
}

/* The page's tags and description, and the record, take a few kB; the rest is room for the file
 * system's blocks. */
guint64
tiff_file_first_page_bytes (const RecordOutput *output)
{
    return output->geometry.frame_bytes + (64 << 10);
}
