/* SPDX-License-Identifier: LGPL-2.1-or-later */
/* libtiff over the recorder's own file functions, for the TIFF formats: a failed write keeps the
 * system's reason ("No space left on device") instead of libtiff's summary, and a failed page
 * can be cut off cleanly. Only one thread at a time uses libtiff: the writer, then the main
 * thread once the writer has ended. */
#ifndef UCA_RECORD_TIFF_FILE_H
#define UCA_RECORD_TIFF_FILE_H

#include "output.h"

#include <tiffio.h>

typedef struct {
    gint fd;           /* the format's to close */
    gint error_number; /* of the first failed write */
    gboolean broken;   /* a write failed: every further write is refused */
} TiffFile;

TIFF *tiff_file_open (TiffFile *file, const gchar *name, const gchar *mode);
/* One frame as one uncompressed strip: a single large write per frame. */
gboolean tiff_file_write_page (TIFF *tiff, const FrameGeometry *geometry, const guint8 *pixels);
toff_t tiff_file_size (const TiffFile *file);
/* The system's reason for the failure, else libtiff's last message. */
void tiff_file_set_error (const RecordOutput *output, const gchar *final_name, const TiffFile *file, GError **error);

#endif
