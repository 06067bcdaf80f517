/* SPDX-License-Identifier: LGPL-2.1-or-later */
/* uca-record's files: the format chosen from the table in formats.h and the preview, in the
 * output folder (folder.h).
 *
 * Nothing is created before the first frame is in hand: then the folder removes an earlier
 * recording and the format opens. No name in the folder ever shows a half-written file. Every
 * file is first created under its temporary name (exclusively, so that no planted link is
 * followed) and renamed when complete, or, for a file readers may read while it grows (hdf5),
 * once it holds a frame and is valid for them. After a failed write, a one-file format is
 * completed with exactly the frames written before the failure, or removed when it holds none.
 * A format holding several series adds the recording's series to the earlier recording's file:
 * it writes a copy with the series added, which replaces the file once complete. */
#ifndef UCA_RECORD_OUTPUT_H
#define UCA_RECORD_OUTPUT_H

#include "folder.h"

struct RecordOutput {
    const RecordFormat *format;
    const RecordFormatOps *ops; /* the format's, handed in: output.c needs no format's code */
    RecordFolder *folder;
    const gchar *dir; /* the folder's */
    FrameGeometry geometry;
    CameraInfo info;      /* what the camera uses, from before the first frame */
    RecordSeries series;  /* for a format holding several: the one recorded */
    const gchar *base;    /* the folder's: the earlier file the series is added to, or NULL */
    gpointer state;       /* the format's, from the first frame on */
    gint64 first_ns;      /* when the first frame arrived, on record_monotonic_ns ()'s clock */
    gint64 start_us;      /* the same moment in microseconds since 1970 (UTC) */
    guint64 n_frames;     /* frames written completely */
    gboolean failed;      /* a write failed: nothing more is written */
    gboolean cut_short;   /* set before the close: frames received were left unwritten (a second
                           * request to stop), so the files do not say they are complete */
    const gchar *part;    /* set by the format: where in its file the frames go, or NULL */
    guint64 copied_bytes; /* set by the format: of the earlier file, copied beside the series */
    gint64 copy_ns;       /* how long the copy took */
};

RecordOutput *record_output_new (const RecordFormat *format, const RecordFormatOps *ops, RecordFolder *folder,
                                 const FrameGeometry *geometry, RecordSeries series);
/* What the camera uses, for the files; called before the first frame is written. */
void record_output_describe (RecordOutput *output, const CameraInfo *info);
gboolean record_output_write (RecordOutput *output, const guint8 *pixels, gint64 timestamp_ns, GError **error);
/* Makes the frames written so far visible to readers where the format lets them read a growing
 * file. A failure counts as a failed write. */
gboolean record_output_sync (RecordOutput *output, GError **error);
/* Completes and frees the output, also after a failed write, and says how many frames the files
 * hold. A format's close sets n_frames to 0 when it had to remove its file. */
gboolean record_output_close (RecordOutput *output, guint64 *frames_kept, GError **error);
/* The frame's 0.1 % to 99.9 % range mapped onto 0..255, one byte a pixel; the caller's to free. */
guint8 *record_preview_pixels (const guint8 *pixels, const FrameGeometry *geometry);
gboolean record_output_write_preview (const RecordFolder *folder, const guint8 *pixels, const FrameGeometry *geometry,
                                      GError **error);

/* Shared by the formats: `final_name` under its temporary name, created exclusively; returns its
 * descriptor and path, or -1 with an error. */
gint record_output_create_temporary (const RecordOutput *output, const gchar *final_name, gchar **path, GError **error);
/* Renames a complete temporary file to its final name, and removes a temporary file: through the
 * folder, the one part that removes or replaces files (record_folder_publish and _discard). */
gboolean record_output_publish (const RecordOutput *output, const gchar *temporary, const gchar *final_name,
                                GError **error);
void record_output_discard (const RecordOutput *output, const gchar *temporary);
void record_output_set_write_error (const RecordOutput *output, const gchar *final_name, gint error_number,
                                    const gchar *detail, GError **error);
/* What a TIFF page says about frame `number` (from 1) that arrived at `timestamp_ns`. */
gchar *record_output_frame_description (const RecordOutput *output, guint64 number, gint64 timestamp_ns);
/* A frame's pixels per centimetre, or 0 when the camera does not tell its pixel size. */
gdouble record_output_pixels_per_cm (const RecordOutput *output, guint axis);

#endif
