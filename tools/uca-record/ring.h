/* SPDX-License-Identifier: LGPL-2.1-or-later */
/* The ring of frame slots between the thread that receives frames and the writer thread.
 *
 * Every slot is allocated and touched before recording, so receiving a frame allocates nothing.
 * One producer (the grab thread, or the camera's delivery thread in asynchronous mode) fills
 * slots in order; one consumer (the writer) empties them in the same order. A slot belongs to
 * the producer between ring_begin_write and ring_commit_write and to the writer between
 * ring_begin_read and ring_end_read; the lock guards only the counters. */
#ifndef UCA_RECORD_RING_H
#define UCA_RECORD_RING_H

#include "uca-record.h"

typedef struct Ring Ring;

typedef struct {
    guint64 committed; /* frames handed to the writer */
    guint64 written;   /* frames the writer is done with */
    guint64 dropped;   /* frames that found the ring full and were not waited for */
    guint64 waits;     /* grabs that waited for a free slot */
    guint n_slots;
    gboolean input_done;
    gboolean aborted;
} RingStatus;

Ring *ring_new (gsize frame_bytes, guint n_slots, GError **error);
void ring_free (Ring *ring);

/* The producer's next slot. With `wait`, waits for a free one (and counts the wait); without,
 * counts a dropped frame when none is free. NULL when none, or once the ring is aborted. */
guint8 *ring_begin_write (Ring *ring, gboolean wait);
void ring_commit_write (Ring *ring, gint64 arrival_ns);
/* The producer has ended: the writer empties the ring and then gets NULL. */
void ring_finish_input (Ring *ring);
/* The writer has failed: producers get no more slots, the writer no more frames. */
void ring_abort (Ring *ring);

/* The writer's next frame, waiting for one; NULL when there will be none. */
const guint8 *ring_begin_read (Ring *ring, gint64 *arrival_ns);
void ring_end_read (Ring *ring);

/* Waits until the counters differ from `seen` (if given) or `deadline_ns` passes. */
void ring_wait_status (Ring *ring, const RingStatus *seen, gint64 deadline_ns, RingStatus *status);

/* The newest committed frame, or NULL when its slot has been taken again since. Only once
 * neither thread uses the ring any more. */
const guint8 *ring_newest (Ring *ring);

#endif
