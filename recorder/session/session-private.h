/* SPDX-License-Identifier: LGPL-2.1-or-later */
/* What a recording's two halves share: session.c (the main thread: start, supervision, stop,
 * the files' and the stream's end) and session-frames.c (the producer that takes frames from the
 * camera and the writer that writes them).
 *
 * Threads: the main thread supervises (progress, limits, signals, timeout) and starts and stops
 * the camera; frames arrive on the grab thread (synchronous modes) or on the camera's delivery
 * thread (asynchronous mode); the writer thread writes them. The ring's lock is the only lock;
 * everything else is owned by one thread at a time, as noted at each member. */
#ifndef UCA_RECORD_SESSION_PRIVATE_H
#define UCA_RECORD_SESSION_PRIVATE_H

#include "session.h"
#include "core/ring.h"
#include "platform/sync.h"

#include <stdatomic.h>

typedef struct {
    /* Set before recording; read-only while it runs. */
    UcaCamera *camera;
    const Options *options;
    const FrameGeometry *geometry;
    guint origin[2]; /* of the region of interest, where the test pattern's numbers are read */
    Ring *ring;
    RecordOutput *output;
    RecordStream *stream;   /* NULL: nothing is published */
    RecordMonitor *monitor; /* NULL: no live view */

    /* The main thread's; once recording, what the camera really uses. */
    CameraInfo info;
    gchar *differences;
    gint64 started_ns;
    RecordThread writer;
    gboolean writer_running;

    /* The producer's (grab thread or delivery thread); the main thread reads them once the
     * producer has ended. */
    FrameStats stats;
    guint16 last_number;
    gboolean have_number;
    GError *grab_error;
    _Atomic guint64 skipped; /* stats.skipped, for the live view */

    atomic_int stop;         /* main thread to producer: accept no more frames */
    _Atomic gint64 until_ns; /* main thread to producer: frames arriving later are not kept */
    gboolean grab_stuck;     /* main thread's: the grab thread never ended */
    gboolean told_waiting;   /* main thread's: the stream's wait for a consumer was reported */
    gboolean told_stalled;   /* main thread's: its wait for connected consumers to take a frame, too */
    gboolean told_lingering; /* main thread's: its wait for them to leave after the end, too */
    gboolean grab_abandoned; /* main thread's: a stop did not wait for the frame under way */
    atomic_int grab_done;    /* producer to main thread: it has ended (asynchronous: with LAST_TAKEN) */
    atomic_int grab_state;   /* GrabState; whoever moves it from GRAB_IN_CAMERA owns the frame */
    atomic_int last_frame;   /* LastFrame (asynchronous mode); whoever moves it from LAST_WANTED owns it */

    /* The writer thread's; the main thread reads them once the writer has ended. */
    WriteStats written;
    GError *write_error;
    atomic_int beginning; /* writer to main thread: the files begin, which may take long (a copy) */
} Session;

/* Where the grab thread is. Once the main thread has moved it from GRAB_IN_CAMERA to
 * GRAB_ABANDONED, the grab thread touches nothing of the session again. */
typedef enum {
    GRAB_OUTSIDE,
    GRAB_IN_CAMERA,
    GRAB_ABANDONED,
} GrabState;

/* After a signal in asynchronous mode, the frame under exposure: the callback that takes it
 * moves LAST_WANTED to LAST_TAKEN and ends the delivery with it; a stop that waited the grace
 * in vain moves it to LAST_GIVEN_UP, and the frame is discarded. */
typedef enum {
    LAST_NONE,
    LAST_WANTED,
    LAST_TAKEN,
    LAST_GIVEN_UP,
} LastFrame;

/* The grab thread of the synchronous modes. */
void *session_grab_thread (void *data);
/* libuca's grab callback in asynchronous mode, on the camera's delivery thread. */
void session_on_async_frame (gpointer data, gpointer user_data);
/* The writer thread. */
void *session_writer_thread (void *data);

#endif
