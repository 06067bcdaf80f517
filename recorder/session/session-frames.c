/* SPDX-License-Identifier: LGPL-2.1-or-later */
/* The frames' way through a recording: the producer (grab thread or delivery thread) takes each
 * frame from the camera into the ring, the writer writes it. See session-private.h. */

#include "session-private.h"
#include "core/camera.h"
#include "platform/platform.h"
#include "core/signals.h"
#include "xisl-sim-pattern.h"

#include <string.h>

/* The simulated detector's pattern (xisl-sim-pattern.h): the first pixel of the region of
 * interest gives the frame number n, and the last pixel agrees with it only in a pattern frame.
 * FALSE for a frame that is no pattern. */
static gboolean
sim_pattern_number (const Session *session, const guint8 *pixels, guint16 *number)
{
    const FrameGeometry *geometry = session->geometry;
    const guint x0 = session->origin[0], y0 = session->origin[1];
    const guint x1 = x0 + geometry->width - 1, y1 = y0 + geometry->height - 1;
    const gsize last = (gsize) geometry->width * geometry->height - 1;
    const gboolean wide = geometry->bytes_per_pixel == 2;
    const guint16 first = wide ? ((const guint16 *) pixels)[0] : pixels[0];
    const guint16 final = wide ? ((const guint16 *) pixels)[last] : pixels[last];
    const guint16 mask = wide ? 0xFFFF : 0xFF;

    *number = xisl_sim_pattern_frame_number (first, x0, y0);
    return (final & mask) == (xisl_sim_pattern_pixel (x1, y1, *number) & mask);
}

/* On the producer's thread, for every frame the camera delivers, before it takes a slot: FALSE
 * for a frame not to be written, older than one before it. A frame that carries no frame number
 * ends the recording with session->grab_error. */
static gboolean
check_order (Session *session, const guint8 *pixels)
{
    FrameStats *stats = &session->stats;
    guint16 number;
    gint16 step;

    stats->received++;

    if (session->options->counter != COUNTER_SIM_PATTERN)
        return TRUE;

    if (!sim_pattern_number (session, pixels, &number)) {
        g_set_error (&session->grab_error, RECORD_ERROR,
                     stats->accepted == 0 ? RECORD_ERROR_USAGE : RECORD_ERROR_CAMERA,
                     "Frame %" G_GUINT64_FORMAT " carries no frame number: --frame-counter sim-pattern needs "
                     "the simulated detector's test pattern (XISL_SIM content=pattern)",
                     stats->received);
        atomic_store (&session->stop, 1);
        return FALSE;
    }

    step = (gint16) (guint16) (number - session->last_number);

    if (session->have_number && step <= 0) {
        stats->out_of_order++;
        return FALSE;
    }

    /* Numbers the camera never delivered; frames the recorder dropped were delivered. */
    if (session->have_number) {
        stats->skipped += (guint64) (step - 1);
        atomic_store_explicit (&session->skipped, stats->skipped, memory_order_relaxed);
    }

    session->last_number = number;
    session->have_number = TRUE;
    return TRUE;
}

/* On the producer's thread: hands the frame in `slot` to the writer. */
static void
accept_frame (Session *session, guint8 *slot, gint64 arrival_ns)
{
    FrameStats *stats = &session->stats;
    const guint8 *previous;

    /* Frames differ early, so this rarely reads far. */
    previous = ring_newest (session->ring);

    if (previous != NULL && memcmp (slot, previous, session->geometry->frame_bytes) == 0)
        stats->repeated++;

    if (stats->accepted == 0)
        stats->first_ns = arrival_ns;

    stats->last_ns = arrival_ns;
    stats->accepted++;
    ring_commit_write (session->ring, arrival_ns);
}

/* On the producer's thread: a recording begins with a frame taken before any request to stop.
 * One whose first frame comes later never begins, so an earlier recording it would replace stays
 * as it was; that frame counts as discarded. (A request that comes between the frame's arrival
 * and this look counts as earlier.) */
static gboolean
begins_before_stop (Session *session)
{
    if (session->stats.accepted > 0 || record_signals_keep_frame ())
        return TRUE;

    session->stats.after_stop++;
    return FALSE;
}

static gboolean
enough_frames (const Session *session)
{
    return session->options->n_frames > 0 && session->stats.accepted >= session->options->n_frames;
}

void *
session_grab_thread (void *data)
{
    Session *session = data;

    while (!atomic_load (&session->stop) && !enough_frames (session)) {
        guint8 *slot = ring_begin_write (session->ring, TRUE);
        gint in_camera = GRAB_IN_CAMERA;
        GError *grab_error = NULL;
        gboolean grabbed;
        gint64 start, end;

        atomic_store (&session->grab_state, GRAB_IN_CAMERA);

        if (slot == NULL || atomic_load (&session->stop))
            break;

        start = record_monotonic_ns ();
        grabbed = uca_camera_grab (session->camera, slot, &grab_error);

        /* A stop that gave up on this frame has moved on: the session is no longer ours. */
        if (!atomic_compare_exchange_strong (&session->grab_state, &in_camera, GRAB_OUTSIDE)) {
            g_clear_error (&grab_error);
            return NULL;
        }

        if (!grabbed) {
            session->grab_error = grab_error;

            if (session->grab_error == NULL)
                g_set_error (&session->grab_error, RECORD_ERROR, RECORD_ERROR_CAMERA,
                             "The camera returned no frame %" G_GUINT64_FORMAT, session->stats.received + 1);
            break;
        }

        end = record_monotonic_ns ();
        grab_times_add (&session->stats.grab_times, end - start);

        /* A frame that arrives after the duration is not kept, as in asynchronous mode. */
        if (end > atomic_load (&session->until_ns) || !begins_before_stop (session))
            break;

        if (check_order (session, slot))
            accept_frame (session, slot, end);
        else if (session->grab_error != NULL)
            break;
    }

    /* Also when it ended between setting GRAB_IN_CAMERA and its grab. */
    if (atomic_exchange (&session->grab_state, GRAB_OUTSIDE) == GRAB_ABANDONED)
        return NULL;

    atomic_store (&session->grab_done, 1);
    ring_finish_input (session->ring);
    return NULL;
}

/* On the camera's delivery thread; never waits, so a slow writer costs frames, not the
 * camera's pace. */
static void
take_async_frame (Session *session, gconstpointer data, gint64 arrival)
{
    guint8 *slot;

    if (atomic_load (&session->stop) || enough_frames (session) || arrival > atomic_load (&session->until_ns) ||
        !begins_before_stop (session))
        return;

    if (!check_order (session, data)) {
        if (session->grab_error != NULL)
            ring_finish_input (session->ring);
        return;
    }

    slot = ring_begin_write (session->ring, FALSE);

    if (slot == NULL)
        return;

    memcpy (slot, data, session->geometry->frame_bytes);
    accept_frame (session, slot, arrival);

    if (enough_frames (session))
        ring_finish_input (session->ring);
}

/* `data` is valid only until this returns. */
void
session_on_async_frame (gpointer data, gpointer user_data)
{
    Session *session = user_data;
    const gint64 arrival = record_monotonic_ns ();
    gint wanted = LAST_WANTED;

    if (atomic_compare_exchange_strong (&session->last_frame, &wanted, LAST_TAKEN)) {
        take_async_frame (session, data, arrival);
        atomic_store (&session->stop, 1);
        atomic_store (&session->grab_done, 1);
        /* Wakes the stop waiting for this frame. */
        ring_finish_input (session->ring);
    }
    else if (wanted != LAST_GIVEN_UP) {
        take_async_frame (session, data, arrival);
    }
}

/* How long at most a file that readers read while it grows goes without showing them the frames
 * written: a reader refreshing once a second is never more than about a second behind. */
enum {
    SYNC_INTERVAL_NS = 200000000
};

/* On the writer thread; FALSE after a failure, with session->write_error set. */
static gboolean
write_frame (Session *session, const guint8 *pixels, gint64 arrival)
{
    const gint64 start = record_monotonic_ns ();
    const gboolean first = session->written.bytes == 0;
    gboolean written;

    atomic_store (&session->beginning, first);
    written = record_output_write (session->output, pixels, arrival, &session->write_error);
    atomic_store (&session->beginning, 0);

    if (!written)
        return FALSE;

    session->written.bytes += session->geometry->frame_bytes;
    session->written.busy_ns += record_monotonic_ns () - start;
    return TRUE;
}

static gboolean
sync_output (Session *session, gint64 *synced_ns)
{
    const gint64 start = record_monotonic_ns ();

    if (!record_output_sync (session->output, &session->write_error))
        return FALSE;

    *synced_ns = record_monotonic_ns ();
    session->written.busy_ns += *synced_ns - start;
    return TRUE;
}

void *
session_writer_thread (void *data)
{
    Session *session = data;
    const gboolean grows = session->output != NULL && session->output->ops->sync != NULL;
    gboolean unsynced = FALSE, failed = FALSE;
    gint64 synced_ns = 0, arrival;
    const guint8 *pixels;
    guint64 number = 0;

    /* Waiting for frames, an unsynced file gets its sync when the interval is up. A quit leaves
     * the frames not yet written. */
    while (!failed && !record_quit_requested () &&
           ring_begin_read (session->ring, unsynced ? synced_ns + SYNC_INTERVAL_NS : RING_NO_DEADLINE, &pixels,
                            &arrival)) {
        if (pixels != NULL) {
            number++;

            if (session->monitor != NULL)
                record_monitor_offer (session->monitor, pixels, number);

            failed = session->output != NULL && !write_frame (session, pixels, arrival);
            ring_end_read (session->ring);
            unsynced = grows;
        }

        if (!failed && unsynced && record_monotonic_ns () - synced_ns >= SYNC_INTERVAL_NS) {
            failed = !sync_output (session, &synced_ns);
            unsynced = FALSE;
        }
    }

    if (failed)
        ring_abort (session->ring);

    return NULL;
}
