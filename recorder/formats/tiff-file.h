/* SPDX-License-Identifier: LGPL-2.1-or-later */
/* libtiff over the recorder's own file functions, for the TIFF formats: a failed write keeps the
 * system's reason ("No space left on device") instead of libtiff's summary, and the pages linked
 * in the file are complete at every moment. libtiff links a page into the chain before it writes
 * the page's directory; those links are held back until the directory is written, so a process
 * killed at any moment leaves a file whose every page reads. Only one thread at a time uses
 * libtiff: the writer, then the main thread once the writer has ended. */
#ifndef UCA_RECORD_TIFF_FILE_H
#define UCA_RECORD_TIFF_FILE_H

#include "output/output.h"

#include <tiffio.h>

enum {
    TIFF_HELD_LINKS = 4
};

typedef struct {
    guint64 offset;
    guint8 bytes[8]; /* a BigTIFF offset */
    gsize length;
} TiffLink;

typedef struct {
    gint fd;           /* the format's to close */
    gint error_number; /* of the first failed write */
    gboolean broken;   /* a write failed: every further write is refused */
    gboolean holding;  /* a page's directory is being written: its links wait */
    TiffLink held[TIFF_HELD_LINKS];
    guint n_held;
} TiffFile;

TIFF *tiff_file_open (TiffFile *file, const gchar *name, const gchar *mode);
/* The output's next frame as one uncompressed strip (a single large write per frame), with its
 * number, time and exposure in the image description and its pixel size as the resolution. */
gboolean tiff_file_write_page (TIFF *tiff, const RecordOutput *output, const guint8 *pixels, gint64 timestamp_ns);
toff_t tiff_file_size (const TiffFile *file);
/* A first page's bytes on the disk, with the folder's record beside it. */
guint64 tiff_file_first_page_bytes (const RecordOutput *output);
/* The system's reason for the failure, else libtiff's last message. */
void tiff_file_set_error (const RecordOutput *output, const gchar *final_name, const TiffFile *file, GError **error);

#endif
