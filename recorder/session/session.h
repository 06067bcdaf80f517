/* SPDX-License-Identifier: LGPL-2.1-or-later */
/* One recording: frames from the camera into the ring, from the ring to the files, until the
 * frame count, the duration, a signal, a timeout or a failure ends it. */
#ifndef UCA_RECORD_SESSION_H
#define UCA_RECORD_SESSION_H

#include "monitor/monitor.h"
#include "output/output.h"
#include "core/report.h"
#include "stream/stream.h"

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

/* Records into `output` (NULL: frames are counted, not written), to `stream` (NULL: none) and
 * for `monitor` (NULL: none), closes the output, writes the preview and closes the stream. Fills
 * `result` also when it fails. */
gboolean record_session_run (UcaCamera *camera, const Options *options, const FrameGeometry *geometry,
                             const CameraInfo *info, guint n_slots, RecordOutput *output, RecordStream *stream,
                             RecordMonitor *monitor, RecordResult *result, GError **error);

#endif
