/* SPDX-License-Identifier: LGPL-2.1-or-later */
/* The formats uca-record writes, in one table (formats.c): a name for --format, the name of its
 * files and the operations that write them. The options, the output folder's check of what it
 * holds and the report all read the table, so adding a format is one row there and
 * one file with its operations. */
#ifndef UCA_RECORD_FORMATS_H
#define UCA_RECORD_FORMATS_H

#include "core/uca-record.h"

typedef struct RecordOutput RecordOutput;

/* A format's operations on its own state (what open returned); run on one thread at a time.
 * `write` and `sync` report failures with errno-based text. */
typedef struct {
    gpointer (*open) (RecordOutput *output, GError **error);
    gboolean (*write) (RecordOutput *output, gpointer state, const guint8 *pixels, gint64 timestamp_ns, GError **error);
    /* Makes the frames written so far visible to readers of a growing file; NULL where files
     * appear only when complete. */
    gboolean (*sync) (RecordOutput *output, gpointer state, GError **error);
    gboolean (*close) (RecordOutput *output, gpointer state, GError **error);
    /* The disk space the first frame takes, with all the format writes along with it: an earlier
     * recording goes only once that is free beside it. */
    guint64 (*first_frame_bytes) (const RecordOutput *output);
    /* For a format whose one file holds several series, each added by a run of its own: before
     * the camera is opened, whether the earlier recording's file at `path` can take `series`
     * (replacing it only with `overwrite`) and the disk has room to add it; `replaced_frames`
     * receives the frames of the series replaced, or -1 when the file holds none. NULL exactly
     * where each recording replaces the earlier one whole (holds_series FALSE). */
    gboolean (*check_addition) (const gchar *path, RecordSeries series, gboolean overwrite, gint64 *replaced_frames,
                                GError **error);
} RecordFormatOps;

struct RecordFormat {
    const gchar *name;      /* as --format takes it */
    const gchar *file_name; /* the one file, or per frame a pattern whose run of N is the frame
                             * number from 1, zero-padded: "frame-NNNNNN.tif" */
    const gchar *summary;   /* for --help */
    gboolean holds_series;  /* its one file holds several series, each added by a run of its own */
    /* The command that lets ordinary readers open a file whose writer was killed before it closed
     * it, and the Debian package that has it; NULL where such a file opens as it is. */
    const gchar *after_kill;
    const gchar *after_kill_package;
};

/* The first is the default. */
extern const RecordFormat record_formats[];
extern const guint record_n_formats;

/* The operations that write a format's files (format-ops.c). The table above, its names and the
 * command line's checks link without them. */
const RecordFormatOps *record_format_ops (const RecordFormat *format);

extern const RecordFormatOps record_tiff_ops;
extern const RecordFormatOps record_multitiff_ops;
extern const RecordFormatOps record_hdf5_ops;

const RecordFormat *record_format_find (const gchar *name);
/* Whether the format's one file holds several series, added by runs of their own. */
gboolean record_format_holds_series (const RecordFormat *format);
/* The name of the file that holds frame `number`. */
gchar *record_format_file_name (const RecordFormat *format, guint64 number);
/* Whether `name` is exactly one of the format's files; `number` (may be NULL) then receives the
 * frame number of a series' file, 0 for a single file. */
gboolean record_format_is_file (const RecordFormat *format, const gchar *name, guint64 *number);

#endif
