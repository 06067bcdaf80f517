/* SPDX-License-Identifier: LGPL-2.1-or-later */
/* See ring.h. */

#include "ring.h"
#include "platform/platform.h"
#include "platform/sync.h"

#include <errno.h>

enum {
    NO_SLOT = G_MAXUINT,
    MARGIN_SLOTS = 4,        /* preparation keeps at least this many slots ahead of need, */
    MARGIN_BYTES = 32 << 20, /* and this much: 10 ms of frames at a few GB/s while it wakes */
    STEP_BYTES = 4 << 20,    /* prepared at a time, so that slots come into use meanwhile */
    WRITER_AND_NEWEST = 2,   /* holds on a freshly committed slot, and one more for a stream */
    SLOT_ALIGNMENT = 64,     /* a cache line: pixels start on one */
};

struct Ring {
    /* Set at creation. */
    guint8 *pixels; /* slot k at k * stride, its pixels header_bytes further, in reserved_bytes of
                     * address space */
    gsize frame_bytes;
    gsize header_bytes;
    gsize stride;
    guint8 committed_holds; /* the writer, the newest frame and the stream, if any */
    gsize reserved_bytes;
    guint margin_slots;
    RecordThread preparer;

    RecordLock lock;         /* guards everything below */
    RecordCondition changed; /* any counter or flag changed, or more memory is prepared */
    RecordCondition needed;  /* for the preparer: a slot never used before came into use */
    RingStatus status;
    guint *free_slots; /* a stack: the slot freed last is taken first */
    guint n_free;
    guint n_used;            /* slots 0 .. n_used - 1 have been handed out */
    guint *order;            /* the slot of committed frame i at i % n_slots */
    gint64 *arrival_ns;      /* per slot */
    guint8 *holds;           /* per slot */
    guint filling;           /* the producer's slot */
    guint newest;            /* the slot of the newest committed frame */
    guint64 streamed;        /* frames taken by the stream */
    gboolean preparing_over; /* everything is prepared, preparation failed, or the ring closes */
    gboolean closing;
    gboolean input_stopped;
};

static gsize
round_up (guint64 bytes, gsize granule)
{
    return (gsize) ((bytes + granule - 1) / granule * granule);
}

/* What should be prepared by now: the slots used so far and the margin. */
static gsize
wanted_bytes (const Ring *ring)
{
    guint64 slots = MIN ((guint64) ring->n_used + ring->margin_slots, ring->status.n_slots);

    return MIN (round_up (slots * ring->stride, record_memory_granule ()), ring->reserved_bytes);
}

static void *
prepare_thread (void *data)
{
    Ring *ring = data;

    record_lock (&ring->lock);

    while (!ring->closing && ring->status.prepared_bytes < ring->reserved_bytes) {
        const gsize from = ring->status.prepared_bytes;
        const gsize to = MIN (wanted_bytes (ring), from + STEP_BYTES);
        gint failure;

        if (to <= from) {
            record_condition_wait (&ring->needed, &ring->lock);
            continue;
        }

        record_unlock (&ring->lock);
        failure = record_memory_prepare (ring->pixels, from, to - from) == 0 ? 0 : errno != 0 ? errno : ENOMEM;
        record_lock (&ring->lock);

        if (failure != 0) {
            ring->status.prepare_error = failure;
            break;
        }

        ring->status.prepared_bytes = to;
        record_condition_broadcast (&ring->changed);
    }

    ring->preparing_over = TRUE;
    record_condition_broadcast (&ring->changed);
    record_unlock (&ring->lock);
    return NULL;
}

static void
free_ring (Ring *ring)
{
    if (ring->pixels != NULL)
        record_memory_release (ring->pixels, ring->reserved_bytes);

    g_free (ring->free_slots);
    g_free (ring->order);
    g_free (ring->arrival_ns);
    g_free (ring->holds);
    g_free (ring);
}

Ring *
ring_new (gsize frame_bytes, gsize header_bytes, guint n_slots, gboolean streamed, GError **error)
{
    Ring *ring = g_new0 (Ring, 1);
    gint failure;

    ring->frame_bytes = frame_bytes;
    ring->header_bytes = round_up (header_bytes, SLOT_ALIGNMENT);
    ring->stride = header_bytes > 0 ? round_up (ring->header_bytes + frame_bytes, SLOT_ALIGNMENT) : frame_bytes;
    ring->committed_holds = WRITER_AND_NEWEST + (streamed ? 1 : 0);
    ring->reserved_bytes = round_up ((guint64) ring->stride * n_slots, record_memory_granule ());
    ring->margin_slots = (guint) MAX (MARGIN_SLOTS, MIN (MARGIN_BYTES / frame_bytes, n_slots));
    ring->pixels = record_memory_reserve (ring->reserved_bytes);

    if (ring->pixels == NULL) {
        g_set_error (error, RECORD_ERROR, RECORD_ERROR_MEMORY,
                     "Cannot reserve a buffer of %" G_GSIZE_FORMAT " MiB: %s; try a smaller --buffer",
                     ring->reserved_bytes >> 20, g_strerror (errno));
        free_ring (ring);
        return NULL;
    }

    /* The margin now, whatever the ring's size: a camera at full speed from its first frame on
     * finds slots ready while the preparer starts. The rest alongside recording. */
    ring->status.n_slots = n_slots;
    ring->status.prepared_bytes = wanted_bytes (ring);

    if (record_memory_prepare (ring->pixels, 0, ring->status.prepared_bytes) != 0) {
        g_set_error (error, RECORD_ERROR, RECORD_ERROR_MEMORY, "Cannot get memory for the buffer: %s",
                     g_strerror (errno));
        free_ring (ring);
        return NULL;
    }

    ring->free_slots = g_new (guint, n_slots);
    ring->order = g_new (guint, n_slots);
    ring->arrival_ns = g_new0 (gint64, n_slots);
    ring->holds = g_new0 (guint8, n_slots);
    ring->filling = ring->newest = NO_SLOT;
    record_lock_init (&ring->lock);
    record_condition_init (&ring->changed);
    record_condition_init (&ring->needed);
    failure = record_thread_start (&ring->preparer, prepare_thread, ring);

    if (failure != 0) {
        g_set_error (error, RECORD_ERROR, RECORD_ERROR_MEMORY, "Cannot start a thread: %s", g_strerror (failure));
        record_condition_clear (&ring->needed);
        record_condition_clear (&ring->changed);
        record_lock_clear (&ring->lock);
        free_ring (ring);
        return NULL;
    }

    return ring;
}

void
ring_free (Ring *ring)
{
    if (ring == NULL)
        return;

    record_lock (&ring->lock);
    ring->closing = TRUE;
    record_condition_broadcast (&ring->needed);
    record_unlock (&ring->lock);
    record_thread_join (&ring->preparer);

    record_condition_clear (&ring->needed);
    record_condition_clear (&ring->changed);
    record_lock_clear (&ring->lock);
    free_ring (ring);
}

static guint8 *
pixels_of (const Ring *ring, guint slot)
{
    return ring->pixels + (gsize) slot * ring->stride + ring->header_bytes;
}

/* A free slot, the one freed last first; else a slot never used, once prepared; else the
 * newest frame's, when only that frame holds it. Sets `unprepared` when a slot would be there
 * but its memory is still being prepared. */
static guint
take_slot (Ring *ring, gboolean *unprepared)
{
    guint slot;

    *unprepared = FALSE;

    if (ring->n_free > 0)
        return ring->free_slots[--ring->n_free];

    if (ring->n_used < ring->status.n_slots) {
        if ((guint64) (ring->n_used + 1) * ring->stride <= ring->status.prepared_bytes) {
            record_condition_broadcast (&ring->needed);
            return ring->n_used++;
        }

        if (!ring->preparing_over) {
            *unprepared = TRUE;
            return NO_SLOT;
        }
    }

    if (ring->newest == NO_SLOT || ring->holds[ring->newest] != 1)
        return NO_SLOT;

    slot = ring->newest;
    ring->newest = NO_SLOT;
    ring->holds[slot] = 0;
    return slot;
}

static void
release (Ring *ring, guint slot)
{
    if (--ring->holds[slot] == 0)
        ring->free_slots[ring->n_free++] = slot;
}

guint8 *
ring_begin_write (Ring *ring, gboolean wait)
{
    gboolean waited = FALSE, unprepared = FALSE;
    guint8 *slot = NULL;

    record_lock (&ring->lock);

    while (ring->filling == NO_SLOT && !ring->status.aborted) {
        ring->filling = take_slot (ring, &unprepared);

        if (ring->filling != NO_SLOT)
            break;

        if (!wait) {
            ring->status.dropped++;
            ring->status.unprepared += unprepared;
            record_condition_broadcast (&ring->changed);
            break;
        }

        if (ring->input_stopped)
            break;

        if (!waited) {
            waited = TRUE;
            ring->status.waits++;
            ring->status.unprepared += unprepared;
        }

        record_condition_wait (&ring->changed, &ring->lock);
    }

    if (ring->filling != NO_SLOT && !ring->status.aborted)
        slot = pixels_of (ring, ring->filling);

    record_unlock (&ring->lock);
    return slot;
}

void
ring_commit_write (Ring *ring, gint64 arrival_ns)
{
    const guint slot = ring->filling; /* written only by the producer, which calls this */

    record_lock (&ring->lock);
    ring->order[ring->status.committed % ring->status.n_slots] = slot;
    ring->arrival_ns[slot] = arrival_ns;
    ring->holds[slot] = ring->committed_holds;

    if (ring->newest != NO_SLOT)
        release (ring, ring->newest);

    ring->newest = slot;
    ring->filling = NO_SLOT;
    ring->status.committed++;
    ring->status.peak_waiting = MAX (ring->status.peak_waiting, ring->status.committed - ring->status.written);
    record_condition_broadcast (&ring->changed);
    record_unlock (&ring->lock);
}

static void
set_flag (Ring *ring, gboolean *flag)
{
    record_lock (&ring->lock);
    *flag = TRUE;
    record_condition_broadcast (&ring->changed);
    record_unlock (&ring->lock);
}

void
ring_stop_input (Ring *ring)
{
    set_flag (ring, &ring->input_stopped);
}

void
ring_finish_input (Ring *ring)
{
    set_flag (ring, &ring->status.input_done);
}

void
ring_abort (Ring *ring)
{
    set_flag (ring, &ring->status.aborted);
}

static guint
oldest_unread (const Ring *ring)
{
    return ring->order[ring->status.written % ring->status.n_slots];
}

gboolean
ring_begin_read (Ring *ring, gint64 deadline_ns, const guint8 **pixels, gint64 *arrival_ns)
{
    gboolean more;

    record_lock (&ring->lock);

    while (ring->status.written == ring->status.committed && !ring->status.input_done && !ring->status.aborted) {
        if (deadline_ns == RING_NO_DEADLINE)
            record_condition_wait (&ring->changed, &ring->lock);
        else if (record_monotonic_ns () < deadline_ns)
            record_condition_wait_until (&ring->changed, &ring->lock, deadline_ns);
        else
            break;
    }

    *pixels = NULL;
    more = !ring->status.aborted && (ring->status.written < ring->status.committed || !ring->status.input_done);

    if (ring->status.written < ring->status.committed && !ring->status.aborted) {
        *pixels = pixels_of (ring, oldest_unread (ring));
        *arrival_ns = ring->arrival_ns[oldest_unread (ring)];
    }

    record_unlock (&ring->lock);
    return more;
}

void
ring_end_read (Ring *ring)
{
    record_lock (&ring->lock);
    release (ring, oldest_unread (ring));
    ring->status.written++;
    record_condition_broadcast (&ring->changed);
    record_unlock (&ring->lock);
}

gboolean
ring_take_for_stream (Ring *ring, gint64 deadline_ns, RingFrame *frame)
{
    gboolean more;

    record_lock (&ring->lock);

    while (ring->streamed == ring->status.committed && !ring->status.input_done && !ring->status.aborted &&
           record_monotonic_ns () < deadline_ns)
        record_condition_wait_until (&ring->changed, &ring->lock, deadline_ns);

    frame->pixels = NULL;
    more = !ring->status.aborted && (ring->streamed < ring->status.committed || !ring->status.input_done);

    if (ring->streamed < ring->status.committed && !ring->status.aborted) {
        frame->slot = ring->order[ring->streamed % ring->status.n_slots];
        frame->pixels = pixels_of (ring, frame->slot);
        frame->arrival_ns = ring->arrival_ns[frame->slot];
        frame->index = ring->streamed++;
    }

    record_unlock (&ring->lock);
    return more;
}

void
ring_release_stream (Ring *ring, guint slot)
{
    record_lock (&ring->lock);
    release (ring, slot);
    record_condition_broadcast (&ring->changed);
    record_unlock (&ring->lock);
}

static gboolean
same_status (const RingStatus *a, const RingStatus *b)
{
    return a->committed == b->committed && a->written == b->written && a->dropped == b->dropped &&
           a->waits == b->waits && a->prepare_error == b->prepare_error && a->input_done == b->input_done &&
           a->aborted == b->aborted;
}

void
ring_wait_status (Ring *ring, const RingStatus *seen, gint64 deadline_ns, RingStatus *status)
{
    record_lock (&ring->lock);

    if (seen != NULL && same_status (seen, &ring->status))
        record_condition_wait_until (&ring->changed, &ring->lock, deadline_ns);

    *status = ring->status;
    record_unlock (&ring->lock);
}

const guint8 *
ring_newest (Ring *ring)
{
    const guint8 *newest = NULL;

    record_lock (&ring->lock);

    if (ring->newest != NO_SLOT)
        newest = pixels_of (ring, ring->newest);

    record_unlock (&ring->lock);
    return newest;
}
