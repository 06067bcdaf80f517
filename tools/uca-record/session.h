/* SPDX-License-Identifier: LGPL-2.1-or-later */
/* One recording: frames from the camera into the ring, from the ring to the files, until the
 * frame count, the duration, a signal, a timeout or a failure ends it. */
#ifndef UCA_RECORD_SESSION_H
#define UCA_RECORD_SESSION_H

#include "output.h"
#include "report.h"
#include "stream.h"

#include <uca/uca-camera.h>

typedef struct {
    FrameStats stats;
    WriteStats written;
    CameraInfo info;       /* what the camera used, shares the strings of the one given */
    gchar *differences;    /* settings the camera did not use as asked, or NULL; the caller's */
    gboolean started;      /* the camera started recording */
    gint signal_number;    /* the signal that ended the recording, or 0 */
    gboolean camera_stuck; /* a grab never returned, or a delivering camera failed to stop: it
                            * cannot be freed, nor what its threads use */
} RecordResult;

/* A request to stop (Ctrl-C, SIGTERM, SIGHUP...; see record_catch_stop) ends a recording cleanly;
 * a second one ends the process at once. */
void record_install_signal_handlers (gboolean quiet);
/* During set-up: FALSE, with an error saying so, once a stop has been requested. */
gboolean record_check_stop (GError **error);
/* The signal that requested the stop, or 0. */
gint record_stop_signal (void);

/* How many frames the ring holds: what --buffer allows, no more than the recording needs. */
gboolean record_ring_slots (const Options *options, const FrameGeometry *geometry, guint *n_slots, GError **error);

/* Records into `output` (NULL: frames are counted, not written) and to `stream` (NULL: none),
 * closes the output, writes the preview and closes the stream. Fills `result` also when it
 * fails. */
gboolean record_session_run (UcaCamera *camera, const Options *options, const FrameGeometry *geometry,
                             const CameraInfo *info, guint n_slots, RecordOutput *output, RecordStream *stream,
                             RecordResult *result, GError **error);

#endif
