/* SPDX-License-Identifier: LGPL-2.1-or-later */
/* See signals.h. The handler only notes the signal and writes a fixed text; the threads that act
 * on a stop ask record_stop_signal and record_quit_requested. */

#include "signals.h"
#include "platform/platform.h"
#include "uca-record.h"

#include <signal.h>
#include <stdatomic.h>

/* Atomics: the handler runs on whichever thread the signal finds, not only the main one. */
static atomic_int received_signal = 0;
static atomic_int quit_requested = 0;
static atomic_int recording = 0; /* the camera has started */

/* A warning, also with --quiet: whoever stopped it learns what happens next. */
static void
on_stop (int signal_number)
{
    static const char while_recording[] =
        "\nuca-record: warning: stopping: finishing the current frame if it completes within 2 s, then writing "
        "every frame received. Signal again to quit at once; frames not yet written are then lost.\n";
    static const char during_set_up[] =
        "\nuca-record: warning: stopping before recording starts. Signal again to quit at once.\n";

    atomic_store (&received_signal, signal_number);

    if (atomic_load (&recording))
        record_write_stderr (while_recording, sizeof while_recording - 1);
    else
        record_write_stderr (during_set_up, sizeof during_set_up - 1);
}

/* A warning, also with --quiet, as the first one. */
static void
on_quit (int signal_number)
{
    static const char quitting[] =
        "\nuca-record: warning: quitting: closing the files with the frames written so far.\n";

    (void) signal_number;
    atomic_store (&quit_requested, 1);
    record_write_stderr (quitting, sizeof quitting - 1);
}

void
record_install_signal_handlers (void)
{
    record_catch_stop (on_stop, on_quit, RECORD_QUIT_SECONDS);
}

gboolean
record_check_stop (GError **error)
{
    if (atomic_load (&received_signal) == 0)
        return TRUE;

    g_set_error (error, RECORD_ERROR, RECORD_ERROR_INTERRUPTED,
                 "Stopped by signal %d before recording started; nothing was recorded", atomic_load (&received_signal));
    return FALSE;
}

gint
record_stop_signal (void)
{
    return atomic_load (&received_signal);
}

gboolean
record_quit_requested (void)
{
    return atomic_load (&quit_requested);
}

void
record_signals_recording (void)
{
    atomic_store (&recording, 1);
}
