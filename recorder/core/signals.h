/* SPDX-License-Identifier: LGPL-2.1-or-later */
/* Stopping a recording by signal. */
#ifndef UCA_RECORD_SIGNALS_H
#define UCA_RECORD_SIGNALS_H

#include <glib.h>

/* A request to stop (Ctrl-C, SIGTERM, SIGHUP...; see record_catch_stop) ends a recording cleanly.
 * A second one quits: the files are closed with the frames written so far, the rest are lost,
 * and the process ends within RECORD_QUIT_SECONDS however far that got (then leaving its files as
 * a kill does); a third ends it at once. What happens next is said as a warning, also with
 * --quiet. */
enum {
    RECORD_QUIT_SECONDS = 5,
    /* A stop waits this long for the frame under way, and for files that are beginning: it is
     * prompt whatever the exposure or the copy. */
    RECORD_STOP_GRACE_NS = 1500000000
};

void record_install_signal_handlers (void);
/* During set-up: FALSE, with an error saying so, once a stop has been requested. */
gboolean record_check_stop (GError **error);
/* The signal that requested the stop, or 0. */
gint record_stop_signal (void);
/* Whether RECORD_STOP_GRACE_NS has passed since the stop was requested: what would keep it
 * waiting longer (the copy that adds a series) gives way. */
gboolean record_stop_overdue (void);
/* Whether a second request came: every thread takes the shortest way to closed files. */
gboolean record_quit_requested (void);
/* From here on a stop finishes the current frame (for a while) and writes every frame received:
 * the camera starts recording. FALSE, with record_check_stop's error, when a stop came first. */
gboolean record_signals_recording (GError **error);
/* For each frame the producer would keep while none is kept yet: FALSE once a stop has been
 * requested, since a recording begins only with a frame taken before any (an earlier recording
 * it would replace then stays as it was); else it is kept and a later stop finishes the frame
 * under way. One decision with the stopping line: what that line says holds. */
gboolean record_signals_keep_frame (void);

#endif
