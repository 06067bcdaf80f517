/* SPDX-License-Identifier: LGPL-2.1-or-later */
/* See signals.h. The handler only notes the signal and writes a fixed text; the threads that act
 * on a stop ask record_stop_signal. */

#include "signals.h"
#include "platform.h"
#include "uca-record.h"

#include <signal.h>

static volatile sig_atomic_t received_signal = 0;
static volatile sig_atomic_t recording = 0; /* the camera has started */

/* A warning, also with --quiet: whoever stopped it learns what happens next. */
static void
on_stop (int signal_number)
{
    static const char while_recording[] =
        "\nuca-record: warning: stopping: finishing the current frame if it completes within 2 s, then writing "
        "every frame received. Signal again to quit at once; frames not yet written are then lost.\n";
    static const char during_set_up[] =
        "\nuca-record: warning: stopping before recording starts. Signal again to quit at once.\n";

    received_signal = signal_number;

    if (recording)
        record_write_stderr (while_recording, sizeof while_recording - 1);
    else
        record_write_stderr (during_set_up, sizeof during_set_up - 1);
}

void
record_install_signal_handlers (void)
{
    record_catch_stop (on_stop);
}

gboolean
record_check_stop (GError **error)
{
    if (received_signal == 0)
        return TRUE;

    g_set_error (error, RECORD_ERROR, RECORD_ERROR_INTERRUPTED,
                 "Stopped by signal %d before recording started; nothing was recorded", (int) received_signal);
    return FALSE;
}

gint
record_stop_signal (void)
{
    return received_signal;
}

void
record_signals_recording (void)
{
    recording = 1;
}
