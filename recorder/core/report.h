/* SPDX-License-Identifier: LGPL-2.1-or-later */
/* What uca-record tells: the progress bar while recording and the report at the end. */
#ifndef UCA_RECORD_REPORT_H
#define UCA_RECORD_REPORT_H

#include "uca-record.h"

/* Grab times in a histogram of 64 bins per power of two (within 1.6 %), so that its size does
 * not grow with the number of frames. */
enum {
    GRAB_TIME_BINS = 64 * 42
};

typedef struct {
    guint64 counts[GRAB_TIME_BINS];
    guint64 total;
} GrabTimes;

void grab_times_add (GrabTimes *times, gint64 ns);

typedef struct {
    guint64 received;     /* frames the camera delivered, dropped ones included */
    guint64 accepted;     /* frames handed to the writer */
    guint64 repeated;     /* identical to the frame before */
    guint64 out_of_order; /* older than a frame already accepted; not written */
    guint64 skipped;      /* frame numbers the camera never delivered */
    guint64 dropped;      /* found the buffer full (asynchronous mode) */
    guint64 waits;        /* grabs that waited for the writer (synchronous modes) */
    guint64 unprepared;   /* of the drops or waits: for memory still being prepared */
    guint64 peak_waiting; /* the most frames waiting to be written at once */
    guint n_slots;        /* frames the buffer holds */
    guint64 prepared_bytes; /* memory the buffer took */
    gint64 first_ns;      /* arrival of the first and last accepted frame */
    gint64 last_ns;
    GrabTimes grab_times; /* empty in asynchronous mode */
    gboolean discarded;   /* a stop did not wait for the frame under way */
    guint64 after_stop;   /* arrived after a stop that came before any frame was kept: not kept */
    guint64 unwritten;    /* received, but the files were given up at the stop as they began */
} FrameStats;

typedef struct {
    guint64 frames; /* frames the files hold */
    guint64 bytes;
    gint64 busy_ns;    /* spent writing: the write rate is what the files can take */
    const gchar *name; /* e.g. "frame-NNNNNN.tif"; NULL when nothing is written */
    const gchar *part; /* where in the file, e.g. "/exchange/data_dark"; NULL for the whole file */
    gboolean added;    /* the frames were added to an earlier recording's file, copied beside them */
    guint64 copied_bytes;
    gint64 copy_ns;
    gboolean preview;
} WriteStats;

/* Progress on standard error, redrawn at most ten times a second and only for a terminal. */
typedef struct {
    gboolean enabled;
    gint64 start_ns;
    gint64 last_draw_ns;
} Progress;

void progress_init (Progress *progress, gboolean quiet);
/* `more` (may be NULL) is appended: the stream's part. */
void progress_draw (Progress *progress, guint64 frames, guint64 total, guint64 bytes_written, guint fill, guint n_slots,
                    const gchar *more, gboolean force);
void progress_end (Progress *progress);

/* `differences`: the settings the camera did not use as asked, or NULL. */
void record_print_report (const Options *options, const CameraInfo *info, const gchar *differences,
                          const FrameGeometry *geometry, const FrameStats *stats, const WriteStats *written);

#endif
