/* SPDX-License-Identifier: LGPL-2.1-or-later */
/* See tiff-file.h. */

#include "tiff-file.h"
#include "platform.h"

#include <errno.h>

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

gboolean
tiff_file_write_page (TIFF *tiff, const FrameGeometry *geometry, const guint8 *pixels)
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
