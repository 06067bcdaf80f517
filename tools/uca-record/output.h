/* SPDX-License-Identifier: LGPL-2.1-or-later */
/* uca-record's files: the output folder, the format chosen from the table in formats.h and the
 * preview.
 *
 * No name in the folder ever shows a half-written file. Every file is first created under a
 * fresh hidden name (exclusively, so that no planted link is followed) and renamed when
 * complete, or, for a file readers may read while it grows (hdf5), once it holds a frame and is
 * valid for them. After a failed write, a one-file format is completed with exactly the frames written
 * before the failure, or removed when it holds none. */
#ifndef UCA_RECORD_OUTPUT_H
#define UCA_RECORD_OUTPUT_H

#include "formats.h"

struct RecordOutput {
    const RecordFormat *format;
    gchar *dir;
    FrameGeometry geometry;
    CameraInfo info;
    gpointer state;
    guint64 n_frames; /* frames written completely */
    gboolean failed;  /* a write failed: nothing more is written */
};

/* Makes the folder if needed and proves that files can be created in it. An existing series
 * (any format's frames or a preview) is refused unless `overwrite`. */
gboolean record_output_prepare_folder (const gchar *dir, gboolean overwrite, GError **error);
/* Removes the series record_output_prepare_folder found, so that no two series mix. */
gboolean record_output_remove_series (const gchar *dir, GError **error);

RecordOutput *record_output_open (const RecordFormat *format, const gchar *dir, const FrameGeometry *geometry,
                                  const CameraInfo *info, GError **error);
gboolean record_output_write (RecordOutput *output, const guint8 *pixels, gint64 timestamp_ns, GError **error);
/* Makes the frames written so far visible to readers where the format lets them read a growing
 * file. A failure counts as a failed write. */
gboolean record_output_sync (RecordOutput *output, GError **error);
/* Completes and frees the output, also after a failed write, and says how many frames the files
 * hold. A format's close sets n_frames to 0 when it had to remove its file. */
gboolean record_output_close (RecordOutput *output, guint64 *frames_kept, GError **error);
gboolean record_output_write_preview (const gchar *dir, const guint8 *pixels, const FrameGeometry *geometry,
                                      GError **error);

/* Shared by the formats: a new hidden file beside `final_name`, created exclusively; returns its
 * descriptor and path, or -1 with an error. */
gint record_output_create_temporary (const RecordOutput *output, const gchar *final_name, gchar **path, GError **error);
/* Renames a complete temporary file to its final name. */
gboolean record_output_publish (const RecordOutput *output, const gchar *temporary, const gchar *final_name,
                                GError **error);
void record_output_set_write_error (const RecordOutput *output, const gchar *final_name, gint error_number,
                                    const gchar *detail, GError **error);

#endif
