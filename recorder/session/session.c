/* SPDX-License-Identifier: LGPL-2.1-or-later */
/* See session.h: the main thread's half of a recording. The producer and the writer are in
 * session-frames.c, what both halves share (and which thread owns what) in session-private.h. */

#include "session-private.h"
#include "core/camera.h"
#include "core/signals.h"
#include "platform/platform.h"
#include "core/ring.h"
#include "platform/sync.h"

#include <stdatomic.h>
#include <string.h>

typedef enum {
    STOP_DONE, /* the producer ended: all frames, or a failed grab */
    STOP_DURATION,
    STOP_SIGNAL,
    STOP_TIMEOUT,
    STOP_WRITE_FAILED,
} StopReason;

static gint64
timeout_ns (const Session *session)
{
    gdouble seconds = session->options->timeout_s > 0 ? session->options->timeout_s : 2 * session->info.exposure_s + 10;

    return (gint64) (seconds * 1e9);
}

enum {
    /* A wait this long is told: shorter ones are a consumer's ordinary pace, or its connecting. */
    STREAM_STALL_NS = 1000000000
};

/* The stream's part of the progress line. */
static gchar *
stream_progress (const Session *session, const Progress *progress)
{
    const gdouble seconds = (record_monotonic_ns () - progress->start_ns) / 1e9;
    StreamStatus status;

    if (session->stream == NULL)
        return NULL;

    record_stream_get_status (session->stream, &status);

    if (status.waiting && status.waiting_consumers == 0)
        return g_strdup (" | stream: waiting for a consumer");

    if (status.leave_waited_ns >= STREAM_STALL_NS && status.awaited > 0)
        return g_strdup_printf (" | stream: waiting for %u consumer%s to leave after the end", status.awaited,
                                status.awaited == 1 ? "" : "s");

    if (status.waiting && status.waited_ns >= STREAM_STALL_NS)
        return g_strdup_printf (" | stream: waiting for %u connected consumer%s to take a frame",
                                status.waiting_consumers, status.waiting_consumers == 1 ? "" : "s");

    return g_strdup_printf (" | stream: %" G_GUINT64_FORMAT " sent, %" G_GUINT64_FORMAT " dropped, %u consumer%s, "
                            "%.1f MB/s",
                            status.sent, status.dropped, status.consumers, status.consumers == 1 ? "" : "s",
                            seconds > 0 ? status.bytes / 1e6 / seconds : 0.0);
}

static void
draw_progress (const Session *session, Progress *progress, const RingStatus *status, gboolean force)
{
    const guint64 bytes_per_frame = session->output != NULL ? session->geometry->frame_bytes : 0;
    gchar *more = progress->enabled ? stream_progress (session, progress) : NULL;

    progress_draw (progress, status->committed, session->options->n_frames, status->written * bytes_per_frame,
                   (guint) (status->committed - status->written), status->n_slots, more, force);
    g_free (more);
}

/* Says once of each kind, also where no progress line shows and with --quiet, that the stream
 * waits, for a consumer to connect or for the connected ones to take a frame, or after the end for
 * them to leave: nothing else would tell why recording stands still, or why the recorder does not
 * exit. Once a run: a wait that outlasts the recording is the same wait, and consumers refused by
 * CURVE, which reconnect again and again, would make every reconnection a new one; the progress
 * line shows each. */
static void
tell_stream_waits (Session *session)
{
    StreamStatus status;

    if (session->stream == NULL)
        return;

    record_stream_get_status (session->stream, &status);

    if (status.leave_waited_ns >= STREAM_STALL_NS && status.awaited > 0 && !session->told_lingering) {
        if (status.stopping)
            g_printerr ("uca-record: warning: %u consumer%s still connected after the end message: as recording "
                        "was stopped, the stream waits at most %.1f s after the stop for %s to leave\n",
                        status.awaited, status.awaited == 1 ? " is" : "s are", RECORD_STOP_GRACE_NS / 1e9,
                        status.awaited == 1 ? "it" : "them");
        else
            g_printerr ("uca-record: warning: %u consumer%s still connected after the end message: the stream "
                        "waits up to %.1f s (--timeout) for %s to leave, so that none loses the end, or until "
                        "Ctrl-C\n",
                        status.awaited, status.awaited == 1 ? " is" : "s are", status.patience_ns / 1e9,
                        status.awaited == 1 ? "it" : "them");
        session->told_lingering = TRUE;
    }

    if (!status.waiting || status.waited_ns < STREAM_STALL_NS)
        return;

    if (status.waiting_consumers == 0 && !session->told_waiting) {
        g_printerr ("uca-record: warning: waiting for a consumer to connect (--stream-policy block)\n");
        session->told_waiting = TRUE;
    }
    else if (status.waiting_consumers > 0 && !session->told_stalled) {
        g_printerr ("uca-record: warning: %u consumer%s connected but taking no frames: the stream waits "
                    "(--stream-policy block) until one takes a frame or leaves, or the recording is stopped; "
                    "after recording, for --timeout\n",
                    status.waiting_consumers, status.waiting_consumers == 1 ? " is" : "s are");
        session->told_stalled = TRUE;
    }
}

/* Whether the stream holds everything up: then a camera that delivers nothing is not at fault. */
static gboolean
stream_waits (const Session *session)
{
    StreamStatus status;

    if (session->stream == NULL)
        return FALSE;

    record_stream_get_status (session->stream, &status);
    return status.waiting;
}

/* The live view's figures. */
static void
tell_monitor (const Session *session, const RingStatus *status)
{
    MonitorProgress progress = { .received = status->committed,
                                 .written = status->written,
                                 .skipped = atomic_load_explicit (&session->skipped, memory_order_relaxed),
                                 .dropped = status->dropped,
                                 .writing = session->output != NULL,
                                 .streaming = session->stream != NULL };
    StreamStatus stream;

    if (session->monitor == NULL)
        return;

    if (session->stream != NULL) {
        record_stream_get_status (session->stream, &stream);
        progress.sent = stream.sent;
    }

    record_monitor_set_progress (session->monitor, &progress);
}

/* On the main thread, until something ends the recording. */
static StopReason
supervise (Session *session)
{
    const gint64 until = atomic_load (&session->until_ns);
    gint64 last_activity = session->started_ns;
    RingStatus seen = { 0 }, status;
    Progress progress;
    StopReason reason;

    progress_init (&progress, session->options->quiet);

    for (;;) {
        gint64 now;

        ring_wait_status (session->ring, &seen, record_monotonic_ns () + 100000000, &status);
        now = record_monotonic_ns ();

        /* A stream waiting for consumers or files that take long to begin hold the camera up; it is
         * not at fault. */
        if (status.committed + status.dropped != seen.committed + seen.dropped || stream_waits (session) ||
            atomic_load (&session->beginning))
            last_activity = now;

        tell_stream_waits (session);

        if (status.prepare_error != seen.prepare_error && !session->options->quiet)
            g_printerr ("uca-record: the buffer stays at %.1f MB: no more memory to be had (%s)\n",
                        status.prepared_bytes / 1e6, g_strerror (status.prepare_error));

        seen = status;
        draw_progress (session, &progress, &status, FALSE);
        tell_monitor (session, &status);

        if (status.aborted)
            reason = STOP_WRITE_FAILED;
        else if (status.input_done)
            reason = STOP_DONE;
        else if (record_stop_signal () != 0)
            reason = STOP_SIGNAL;
        else if (now >= until)
            reason = STOP_DURATION;
        else if (now - last_activity >= timeout_ns (session))
            reason = STOP_TIMEOUT;
        else
            continue;

        break;
    }

    draw_progress (session, &progress, &status, TRUE);
    progress_end (&progress);
    return reason;
}

enum {
    /* A signal waits at least this long for the camera's own stop, after a frame that completed
     * late in the grace: about two seconds in all. */
    STOP_CAMERA_NS = 500000000
};

/* A signal or the end of --duration does not wait for frames it would not keep. */
static gboolean
is_prompt (StopReason reason)
{
    return reason == STOP_SIGNAL || reason == STOP_DURATION;
}

static void
wait_grab_done (Session *session, gint64 deadline)
{
    RingStatus status = { 0 };

    /* A quit does not wait: the camera is left as it is. */
    while (!atomic_load (&session->grab_done) && record_monotonic_ns () < deadline && !record_quit_requested ())
        ring_wait_status (session->ring, &status, MIN (deadline, record_monotonic_ns () + 100000000), &status);
}

/* The grab under way may finish its frame: for RECORD_STOP_GRACE_NS after a signal or at the end
 * of --duration (a frame completed later would be dropped as after the duration anyway), else for
 * the timeout. A grab still in the camera then is abandoned with its frame (libuca's stop would
 * wait for it); a grab thread outside the camera ends at once. Returns FALSE when it was
 * abandoned or is stuck. */
static gboolean
end_grab_thread (Session *session, RecordThread *thread, StopReason reason)
{
    const gboolean prompt = is_prompt (reason);
    const gint64 wait_ns = reason == STOP_TIMEOUT ? 0 : prompt ? RECORD_STOP_GRACE_NS : timeout_ns (session);
    gint in_camera = GRAB_IN_CAMERA;

    atomic_store (&session->stop, 1);
    /* A grab thread waiting for a free slot, which a waiting stream may hold long, ends now. */
    ring_stop_input (session->ring);
    wait_grab_done (session, record_monotonic_ns () + wait_ns);

    if (!atomic_load (&session->grab_done) &&
        atomic_compare_exchange_strong (&session->grab_state, &in_camera, GRAB_ABANDONED)) {
        session->grab_abandoned = prompt;
        session->grab_stuck = !session->grab_abandoned;
        return FALSE;
    }

    wait_grab_done (session, record_monotonic_ns () + timeout_ns (session));

    if (!atomic_load (&session->grab_done)) {
        session->grab_stuck = TRUE;
        return FALSE;
    }

    record_thread_join (thread);
    return TRUE;
}

/* After a signal the frame under exposure, the callback's next, is kept if it comes within
 * RECORD_STOP_GRACE_NS, as in the synchronous modes, and counts as discarded if not; otherwise
 * no frame is kept from now on. */
static void
end_async_delivery (Session *session, StopReason reason, gint64 stopping)
{
    RingStatus status;
    gint wanted = LAST_WANTED;

    ring_wait_status (session->ring, NULL, 0, &status);

    if (reason == STOP_SIGNAL && !status.input_done) {
        atomic_store (&session->last_frame, LAST_WANTED);
        wait_grab_done (session, stopping + RECORD_STOP_GRACE_NS);

        if (atomic_compare_exchange_strong (&session->last_frame, &wanted, LAST_GIVEN_UP))
            session->grab_abandoned = TRUE;
        else /* the callback has the frame in hand */
            wait_grab_done (session, record_monotonic_ns () + timeout_ns (session));
    }

    atomic_store (&session->stop, 1);
}

/* libuca's stop on a thread of its own, which a stop that cannot wait leaves behind with this. */
typedef struct {
    UcaCamera *camera;
    RecordLock lock;
    RecordCondition condition;
    gboolean done; /* under the lock */
    GError *error; /* the stop thread's until done */
} CameraStop;

static void *
camera_stop_thread (void *data)
{
    CameraStop *stop = data;
    GError *error = NULL;

    uca_camera_stop_recording (stop->camera, &error);
    record_lock (&stop->lock);
    stop->error = error;
    stop->done = TRUE;
    record_condition_broadcast (&stop->condition);
    record_unlock (&stop->lock);
    return NULL;
}

/* Stops the camera, waiting at most until `deadline` (G_MAXINT64: as long as it takes, unless a
 * signal comes meanwhile, which allows it RECORD_STOP_GRACE_NS more) and not past a quit. FALSE:
 * the camera is still stopping and is left so. In buffered mode libuca's stop joins its read thread,
 * which sits in the camera's grab until the frame under exposure completes. */
static gboolean
stop_camera (UcaCamera *camera, gint64 deadline, GError **error)
{
    CameraStop *stop = g_new0 (CameraStop, 1);
    RecordThread thread;
    gboolean done;
    gint started;

    stop->camera = camera;
    record_lock_init (&stop->lock);
    record_condition_init (&stop->condition);
    started = record_thread_start (&thread, camera_stop_thread, stop);

    /* Without a thread to spare, the stop takes as long as it takes. */
    if (started != 0)
        camera_stop_thread (stop);

    record_lock (&stop->lock);

    while (!stop->done && !record_quit_requested ()) {
        const gint64 now = record_monotonic_ns ();

        if (deadline == G_MAXINT64 && record_stop_signal () != 0)
            deadline = now + RECORD_STOP_GRACE_NS;

        if (now >= deadline)
            break;

        /* A quit comes by a flag alone: it is looked at ten times a second. */
        record_condition_wait_until (&stop->condition, &stop->lock, MIN (deadline, now + 100000000));
    }

    done = stop->done;
    record_unlock (&stop->lock);

    /* The stop thread goes on using `stop` until the process ends. */
    if (!done)
        return FALSE;

    if (started == 0)
        record_thread_join (&thread);

    if (stop->error != NULL)
        g_propagate_error (error, stop->error);

    record_condition_clear (&stop->condition);
    record_lock_clear (&stop->lock);
    g_free (stop);
    return TRUE;
}

static void
set_timeout_error (const Session *session, GError **error)
{
    RingStatus status;

    ring_wait_status (session->ring, NULL, 0, &status);

    if (status.committed == 0)
        g_set_error (error, RECORD_ERROR, RECORD_ERROR_TIMEOUT,
                     "No frame arrived within %.1f s of the start; give a longer --timeout if the camera is that slow",
                     timeout_ns (session) / 1e9);
    else
        g_set_error (error, RECORD_ERROR, RECORD_ERROR_TIMEOUT,
                     "No frame arrived for %.1f s after frame %" G_GUINT64_FORMAT
                     "; give a longer --timeout if the camera is that slow",
                     timeout_ns (session) / 1e9, status.committed);
}

/* A duration shorter than the exposure leaves nothing, in every mode. */
static void
warn_if_no_frame (const Session *session)
{
    RingStatus status;

    ring_wait_status (session->ring, NULL, 0, &status);

    if (status.committed == 0)
        g_printerr ("uca-record: warning: no frame arrived within --duration %g s (the camera's exposure time is "
                    "%g s)\n",
                    session->options->duration_s, session->info.exposure_s);
}

/* Starts the camera, records, and stops it again, also after a failure. */
static gboolean
record_frames (Session *session, RecordResult *result, GError **error)
{
    const gboolean async = session->options->mode == MODE_ASYNC;
    RecordThread grabber;
    GError *stop_error = NULL;
    StopReason reason;
    GError *start_error = NULL;
    gboolean stuck = FALSE;
    gint64 stopping;
    gint started;

    /* Before the camera starts: a stop while it starts already finds it recording. */
    if (!record_signals_recording (error))
        return FALSE;

    if (async)
        uca_camera_set_grab_func (session->camera, session_on_async_frame, session);

    uca_camera_start_recording (session->camera, &start_error);

    if (start_error != NULL) {
        g_propagate_error (error, start_error);

        if (async)
            uca_camera_set_grab_func (session->camera, NULL, NULL);

        return FALSE;
    }

    result->started = TRUE;
    session->started_ns = record_monotonic_ns ();

    if (session->options->duration_s > 0)
        atomic_store (&session->until_ns, session->started_ns + (gint64) (session->options->duration_s * 1e9));

    /* The files state what the camera uses, which it has settled by now. */
    session->differences = record_read_settings (session->camera, session->options, &session->info);

    if (session->output != NULL)
        record_output_describe (session->output, &session->info);

    started = record_thread_start (&session->writer, session_writer_thread, session);
    session->writer_running = started == 0;

    /* The writer may offer frames before: the monitor takes none until it has begun. */
    if (session->monitor != NULL)
        record_monitor_begin (session->monitor, session->options, session->geometry, &session->info);

    /* The stream's start message states it too; frames committed meanwhile wait in the ring for
     * the stream, which reads them from the first. */
    if (started == 0 && session->stream != NULL) {
        AppliedMaps maps;

        record_read_applied_maps (session->camera, &session->info, session->geometry, &maps);

        if (!record_stream_start (session->stream, session->ring, &session->info, session->geometry, &maps,
                                  session->options->n_frames, timeout_ns (session), &session->grab_error))
            started = -1;

        record_applied_maps_clear (&maps);
    }

    if (started == 0 && !async)
        started = record_thread_start (&grabber, session_grab_thread, session);

    if (started > 0)
        g_set_error (&session->grab_error, RECORD_ERROR, RECORD_ERROR_MEMORY, "Cannot start a thread: %s",
                     g_strerror (started));

    reason = started != 0 ? STOP_DONE : supervise (session);
    stopping = record_monotonic_ns ();

    if (reason == STOP_SIGNAL && session->stream != NULL)
        record_stream_stop_waiting (session->stream, stopping + RECORD_STOP_GRACE_NS);

    if (async)
        end_async_delivery (session, reason, stopping);
    else if (started == 0)
        stuck = !end_grab_thread (session, &grabber, reason);

    /* A stuck or abandoned grab holds libuca's lock, which a stop would wait for: the camera is
     * left as it is. So is one that does not stop within what is left of the grace; in buffered
     * mode that leaves libuca's grab of the frame under exposure. */
    if (!stuck) {
        const gint64 deadline = is_prompt (reason)
                                    ? MAX (stopping + RECORD_STOP_GRACE_NS, record_monotonic_ns () + STOP_CAMERA_NS)
                                    : G_MAXINT64;

        if (!stop_camera (session->camera, deadline, &stop_error)) {
            stuck = TRUE;
            session->grab_abandoned = is_prompt (reason) && session->options->mode == MODE_BUFFERED;
        }
        /* A camera that failed to stop may go on calling back into the session. */
        else if (async && stop_error != NULL)
            stuck = TRUE;
        else if (async)
            uca_camera_set_grab_func (session->camera, NULL, NULL);
    }

    /* Also when the producer, finding its frame too late, ended first. */
    if (record_monotonic_ns () >= atomic_load (&session->until_ns))
        warn_if_no_frame (session);

    result->camera_stuck = stuck;
    /* A signal that came while the recording ended anyway still decides the exit status. */
    result->signal_number = record_stop_signal ();

    if (reason == STOP_TIMEOUT)
        set_timeout_error (session, error);
    else if (session->grab_stuck && !record_quit_requested ())
        g_set_error (error, RECORD_ERROR, RECORD_ERROR_TIMEOUT, "The camera did not finish its frame within %.1f s",
                     timeout_ns (session) / 1e9);
    else if (session->grab_error != NULL)
        g_propagate_error (error, g_steal_pointer (&session->grab_error));

    if (stop_error != NULL && (error == NULL || *error == NULL))
        g_propagate_prefixed_error (error, g_steal_pointer (&stop_error), "The camera could not be stopped: ");

    g_clear_error (&stop_error);
    return error == NULL || *error == NULL;
}

/* Writes the preview of the newest frame and fills in the files' side of the report. */
static gboolean
finish_output (Session *session, RecordResult *result, gboolean recorded, GError **error)
{
    GError *close_error = NULL;
    const guint8 *newest = ring_newest (session->ring);
    const RecordFolder *folder = session->output->folder;

    result->written.name = session->output->format->file_name;
    result->written.part = session->output->part;
    result->written.added = session->output->base != NULL && session->output->state != NULL;
    result->written.copied_bytes = session->output->copied_bytes;
    result->written.copy_ns = session->output->copy_ns;
    /* The write rate is the new frames'. */
    result->written.busy_ns -= session->output->copy_ns;

    if (!record_output_close (session->output, &result->written.frames, &close_error)) {
        if (close_error != NULL && (error == NULL || *error == NULL))
            g_propagate_error (error, g_steal_pointer (&close_error));

        g_clear_error (&close_error);
        return FALSE;
    }

    if (!recorded || newest == NULL || result->written.frames == 0)
        return TRUE;

    result->written.preview = record_output_write_preview (folder, newest, session->geometry, error);
    return result->written.preview;
}

/* What a stop before the first frame, or a quit, left; nothing when neither happened. */
static void
set_stop_error (const RecordResult *result, gboolean writes, GError **error)
{
    if (result->signal_number != 0 && result->stats.accepted == 0)
        g_set_error (error, RECORD_ERROR, RECORD_ERROR_INTERRUPTED,
                     "Stopped by signal %d before the first frame; nothing was recorded%s", result->signal_number,
                     writes ? ", and the folder is as it was" : "");
    else if (record_quit_requested () && writes)
        g_set_error (error, RECORD_ERROR, RECORD_ERROR_INTERRUPTED,
                     "Quit at a second signal: the files hold the %" G_GUINT64_FORMAT
                     " frames written before it, of %" G_GUINT64_FORMAT " received",
                     result->written.frames, result->stats.accepted);
}

/* After recording: the stream sends what is left, then its end, within the patience for
 * consumers that take nothing. A signal meanwhile lets it give up waiting for consumers that are
 * not there, and for the others after the grace, as for the frame under way; a quit, for any. */
static void
finish_stream (Session *session)
{
    if (session->stream == NULL)
        return;

    while (!record_stream_wait_done (session->stream, record_monotonic_ns () + 100000000)) {
        if (record_stop_signal () != 0)
            record_stream_stop_waiting (session->stream,
                                        record_monotonic_ns () + (record_quit_requested () ? 0 : RECORD_STOP_GRACE_NS));

        tell_stream_waits (session);
    }

    /* From here on ZeroMQ holds no slot of the ring. */
    record_stream_close (session->stream);
}

gboolean
record_session_run (UcaCamera *camera, const Options *options, const FrameGeometry *geometry, const CameraInfo *info,
                    guint n_slots, RecordOutput *output, RecordStream *stream, RecordMonitor *monitor,
                    RecordResult *result, GError **error)
{
    /* On the heap: a grab stuck in the camera keeps using it until the process ends. */
    Session *session = g_new0 (Session, 1);
    RingStatus status;
    gboolean success;

    *session = (Session){ .camera = camera,
                          .options = options,
                          .geometry = geometry,
                          .origin = { info->roi[0], info->roi[1] },
                          .output = output,
                          .stream = stream,
                          .monitor = monitor,
                          .info = *info };
    atomic_init (&session->until_ns, G_MAXINT64);
    memset (result, 0, sizeof *result);
    session->ring = ring_new (geometry->frame_bytes, stream != NULL ? record_stream_header_room () : 0, n_slots,
                              stream != NULL, error);

    if (session->ring == NULL) {
        if (output != NULL)
            record_output_close (output, &result->written.frames, NULL);
        g_free (session);
        return FALSE;
    }

    success = record_frames (session, result, error);

    /* Every frame received is written, also after a failure or a signal. */
    ring_finish_input (session->ring);

    if (session->writer_running)
        record_thread_join (&session->writer);

    ring_wait_status (session->ring, NULL, 0, &status);

    /* The live view shows the last frame and the final figures. */
    if (monitor != NULL && result->started && !session->grab_stuck) {
        tell_monitor (session, &status);

        if (ring_newest (session->ring) != NULL)
            record_monitor_keep_last (monitor, ring_newest (session->ring), status.committed);
    }

    /* A stuck grab thread still owns the producer's figures; the ring's count is safe to read.
     * (Callbacks of a camera that failed to stop see `stop` and touch nothing; an abandoned grab
     * thread touches nothing.) */
    if (!session->grab_stuck)
        result->stats = session->stats;

    result->stats.discarded = session->grab_abandoned;

    result->stats.accepted = status.committed;
    result->stats.dropped = status.dropped;
    result->stats.waits = status.waits;
    result->stats.unprepared = status.unprepared;
    result->stats.peak_waiting = status.peak_waiting;
    result->stats.n_slots = status.n_slots;
    result->stats.prepared_bytes = status.prepared_bytes;
    result->written.bytes = session->written.bytes;
    result->written.busy_ns = session->written.busy_ns;
    result->info = session->info;
    result->differences = g_steal_pointer (&session->differences);

    /* The files' beginning (a long copy) gave way to a stop: no frame was written. */
    if (g_error_matches (session->write_error, RECORD_ERROR, RECORD_ERROR_INTERRUPTED))
        result->stats.unwritten = status.committed;

    /* A quit left frames received unwritten: the files do not say they are complete. */
    if (output != NULL)
        output->cut_short = status.written < status.committed;

    if (session->write_error != NULL) {
        g_clear_error (error);
        g_propagate_error (error, g_steal_pointer (&session->write_error));
        success = FALSE;
    }

    /* The files are complete now, while the stream may take long to drain: the disk never waits
     * for the stream. The newest frame's slot, which the preview reads, stays held. */
    if (output != NULL)
        success = finish_output (session, result, success, error) && success;

    if (error == NULL || *error == NULL)
        set_stop_error (result, output != NULL, error);

    finish_stream (session);
    /* A signal while the stream waited for consumers stopped that wait. */
    result->signal_number = record_stop_signal ();

    /* A stuck grab thread may still write into both: the process ends without freeing them. */
    if (!result->camera_stuck) {
        ring_free (session->ring);
        g_free (session);
    }

    return success;
}
