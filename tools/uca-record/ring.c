/* SPDX-License-Identifier: LGPL-2.1-or-later */
/* See ring.h. */

#include "ring.h"
#include "sync.h"

#include <string.h>

struct Ring {
    guint8 *pixels; /* n_slots * frame_bytes, slot k of frame i at k = i % n_slots */
    gsize frame_bytes;
    gint64 *arrival_ns; /* per slot */

    RecordLock lock;         /* guards everything below */
    RecordCondition changed; /* any counter or flag changed */
    RingStatus status;
    gboolean newest_valid; /* the slot of frame committed - 1 still holds it */
};

Ring *
ring_new (gsize frame_bytes, guint n_slots, GError **error)
{
    Ring *ring = g_new0 (Ring, 1);
    guint64 bytes = (guint64) frame_bytes * n_slots;

    ring->pixels = g_try_malloc (bytes);
    ring->arrival_ns = g_try_new0 (gint64, n_slots);

    if (ring->pixels == NULL || ring->arrival_ns == NULL) {
        g_set_error (error, RECORD_ERROR, RECORD_ERROR_MEMORY,
                     "Cannot allocate a buffer of %" G_GUINT64_FORMAT " MiB; try a smaller --buffer", bytes >> 20);
        g_free (ring->pixels);
        g_free (ring->arrival_ns);
        g_free (ring);
        return NULL;
    }

    /* Touch every page now so that recording never waits for the kernel to map one. Not with
     * zeros: the compiler may turn malloc and a zeroing memset into calloc, which maps lazily. */
    memset (ring->pixels, 0xff, bytes);
    ring->frame_bytes = frame_bytes;
    ring->status.n_slots = n_slots;
    record_lock_init (&ring->lock);
    record_condition_init (&ring->changed);
    return ring;
}

void
ring_free (Ring *ring)
{
    if (ring == NULL)
        return;

    record_condition_clear (&ring->changed);
    record_lock_clear (&ring->lock);
    g_free (ring->arrival_ns);
    g_free (ring->pixels);
    g_free (ring);
}

static guint8 *
slot_of (const Ring *ring, guint64 frame)
{
    return ring->pixels + (gsize) (frame % ring->status.n_slots) * ring->frame_bytes;
}

static gboolean
is_full (const Ring *ring)
{
    return ring->status.committed - ring->status.written >= ring->status.n_slots;
}

guint8 *
ring_begin_write (Ring *ring, gboolean wait)
{
    guint8 *slot = NULL;

    record_lock (&ring->lock);

    if (wait && is_full (ring) && !ring->status.aborted) {
        ring->status.waits++;

        while (is_full (ring) && !ring->status.aborted)
            record_condition_wait (&ring->changed, &ring->lock);
    }

    if (ring->status.aborted) {
        /* nothing to hand out */
    }
    else if (is_full (ring)) {
        ring->status.dropped++;
        record_condition_broadcast (&ring->changed);
    }
    else {
        slot = slot_of (ring, ring->status.committed);
        /* With one slot, the newest frame's slot is the one being refilled. */
        ring->newest_valid = ring->newest_valid && ring->status.n_slots > 1;
    }

    record_unlock (&ring->lock);
    return slot;
}

void
ring_commit_write (Ring *ring, gint64 arrival_ns)
{
    record_lock (&ring->lock);
    ring->arrival_ns[ring->status.committed % ring->status.n_slots] = arrival_ns;
    ring->status.committed++;
    ring->newest_valid = TRUE;
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
ring_finish_input (Ring *ring)
{
    set_flag (ring, &ring->status.input_done);
}

void
ring_abort (Ring *ring)
{
    set_flag (ring, &ring->status.aborted);
}

const guint8 *
ring_begin_read (Ring *ring, gint64 *arrival_ns)
{
    const guint8 *slot = NULL;

    record_lock (&ring->lock);

    while (ring->status.written == ring->status.committed && !ring->status.input_done && !ring->status.aborted)
        record_condition_wait (&ring->changed, &ring->lock);

    if (ring->status.written < ring->status.committed && !ring->status.aborted) {
        slot = slot_of (ring, ring->status.written);
        *arrival_ns = ring->arrival_ns[ring->status.written % ring->status.n_slots];
    }

    record_unlock (&ring->lock);
    return slot;
}

void
ring_end_read (Ring *ring)
{
    record_lock (&ring->lock);
    ring->status.written++;
    record_condition_broadcast (&ring->changed);
    record_unlock (&ring->lock);
}

static gboolean
same_status (const RingStatus *a, const RingStatus *b)
{
    return a->committed == b->committed && a->written == b->written && a->dropped == b->dropped &&
           a->waits == b->waits && a->input_done == b->input_done && a->aborted == b->aborted;
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

    if (ring->status.committed > 0 && ring->newest_valid)
        newest = slot_of (ring, ring->status.committed - 1);

    record_unlock (&ring->lock);
    return newest;
}
