/* SPDX-License-Identifier: LGPL-2.1-or-later */
/* See signals.h. The handler only notes the signal and writes a fixed text; the threads that act
 * on a stop ask record_stop_signal and record_quit_requested. */

#include "signals.h"
#include "platform/platform.h"
#include "platform/sync.h"
#include "uca-record.h"

#include <signal.h>
#include <stdatomic.h>

/* Atomics: the handler runs on whichever thread the signal finds, not only the main one. */
static atomic_int received_signal = 0;
static atomic_int quit_requested = 0;
static _Atomic gint64 signal_ns = 0; /* when the stop was requested; set before received_signal */

/* Where the recording is, in one word, so that the stopping line and the producer agree on
 * whether a frame came before the stop. */
enum {
    STATE_RECORDING = 1, /* the camera starts */
    STATE_KEPT = 2,      /* a frame was kept before any stop */
    STATE_STOPPED = 4,
};
static atomic_int state = 0;

/* A warning, also with --quiet: whoever stopped it learns what happens next. */
static void
on_stop (int signal_number)
{
    static const char while_recording[] =
        "\nuca-record: warning: stopping: finishing the current frame if it completes within 2 s, then writing "
        "every frame received. Signal again to quit at once; frames not yet written are then lost.\n";
    static const char before_first_frame[] =
        "\nuca-record: warning: stopping: no frame came before the stop and none is kept after it, so nothing is "
        "recorded. Signal again to quit at once.\n";
    static const char during_set_up[] =
        "\nuca-record: warning: stopping before recording starts. Signal again to quit at once.\n";

    gint before;

    atomic_store (&signal_ns, record_monotonic_ns ());
    atomic_store (&received_signal, signal_number);
    before = atomic_fetch_or (&state, STATE_STOPPED);

    if (before & STATE_KEPT)
        record_write_stderr (while_recording, sizeof while_recording - 1);
    else if (before & STATE_RECORDING)
        record_write_stderr (before_first_frame, sizeof before_first_frame - 1);
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
record_stop_overdue (void)
{
    return atomic_load (&received_signal) != 0 &&
           record_monotonic_ns () - atomic_load (&signal_ns) >= RECORD_STOP_GRACE_NS;
}

gboolean
record_quit_requested (void)
{
    return atomic_load (&quit_requested);
}

gboolean
record_signals_recording (GError **error)
{
    /* The handler notes the signal before its state: a stop seen here has its signal. */
    if (atomic_fetch_or (&state, STATE_RECORDING) & STATE_STOPPED)
        return record_check_stop (error);

    return TRUE;
}

gboolean
record_signals_keep_frame (void)
{
    gint expected = STATE_RECORDING;

    return atomic_compare_exchange_strong (&state, &expected, STATE_RECORDING | STATE_KEPT) ||
           (expected & STATE_KEPT) != 0;
}
