/* SPDX-License-Identifier: LGPL-2.1-or-later */
/* --monitor: a live view over HTTP while recording. A page at / shows the latest frame and the
 * recording's figures; /monitor/image.tiff, /monitor/image.png and /monitor/status.json serve
 * scripts. Only GET, only these paths, nothing from the file system.
 *
 * It never slows the recording. The server runs on a thread of its own with its own main
 * context; the writer offers each frame it reads, but the offer copies the frame only while a
 * client waits for a newer one and only when the monitor's one-slot mailbox is free (a try-lock),
 * so it never waits. Each frame taken is encoded at most once per kind of answer, whatever the
 * number of clients; a stuck client holds only its own connection. */
#ifndef UCA_RECORD_MONITOR_H
#define UCA_RECORD_MONITOR_H

#include "core/uca-record.h"

typedef struct RecordMonitor RecordMonitor;

/* The figures the page shows, from the main thread. */
typedef struct {
    guint64 received; /* frames handed to the writer */
    guint64 written;  /* frames the writer has written to the files */
    guint64 skipped;  /* frame numbers the camera never delivered */
    guint64 dropped;  /* frames that found the buffer full */
    guint64 sent;     /* frames the stream sent */
    gboolean writing; /* there are files */
    gboolean streaming;
} MonitorProgress;

/* Serves on `where`, "[ADDRESS:]PORT" (127.0.0.1 unless an address is given; port 0 takes a
 * free one), and tells its address on standard error unless `quiet`. A bad address or a port
 * that cannot be bound is a usage error. */
RecordMonitor *record_monitor_open (const gchar *where, gboolean quiet, GError **error);

/* The recording has begun, with the settings in `info`; frames offered before are not taken. */
void record_monitor_begin (RecordMonitor *monitor, const Options *options, const FrameGeometry *geometry,
                           const CameraInfo *info);
/* On the writer thread, for every frame it reads (numbered from 1); never waits. */
void record_monitor_offer (RecordMonitor *monitor, const guint8 *pixels, guint64 number);
/* Once the writer has ended: the newest frame, which the monitor shows from then on. */
void record_monitor_keep_last (RecordMonitor *monitor, const guint8 *pixels, guint64 number);
void record_monitor_set_progress (RecordMonitor *monitor, const MonitorProgress *progress);
/* The recording is over, with `error` NULL or why it failed. A page watching gets a moment, at
 * most a second and a half, to learn it. */
void record_monitor_end (RecordMonitor *monitor, const GError *error);
void record_monitor_close (RecordMonitor *monitor);

#endif
