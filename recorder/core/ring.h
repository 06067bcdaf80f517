/* SPDX-License-Identifier: LGPL-2.1-or-later */
/* The ring of frame slots between the thread that receives frames and the writer thread.
 *
 * Memory by need. The ring reserves address space for all its slots at once but backs it with
 * memory only ahead of need: a thread of its own prepares slots in index order, a margin ahead
 * of the highest slot used so far, so that receiving a frame never waits for the system to map
 * a page, and the frame path itself only does bookkeeping. The producer gets the slot freed
 * last, whose memory is resident and warm, and a slot never used before only when every used
 * one is taken. So the memory a recording holds follows the most frames that waited at once,
 * plus the margin, not the size of the ring.
 *
 * Ownership. One producer (the grab thread, or the camera's delivery thread in asynchronous
 * mode) fills one slot at a time, between ring_begin_write and ring_commit_write; committed
 * frames are read in order by one reader, the writer, between ring_begin_read and ring_end_read.
 * A committed slot is held by the writer until ring_end_read, and as the newest frame until the
 * next commit (the producer compares each frame with it, and the preview shows it); it is free
 * once nothing holds it. When every slot is held and the newest frame's slot is held only as
 * the newest, the producer takes it and the newest frame is gone. A further reader, such as a
 * stream, would add one hold per committed frame. Only a slot's owner touches its pixels; the
 * lock guards the bookkeeping. */
#ifndef UCA_RECORD_RING_H
#define UCA_RECORD_RING_H

#include "uca-record.h"

typedef struct Ring Ring;

typedef struct {
    guint64 committed;      /* frames handed to the writer */
    guint64 written;        /* frames the writer is done with */
    guint64 dropped;        /* frames that found no free slot and were not waited for */
    guint64 waits;          /* grabs that waited for a free slot */
    guint64 unprepared;     /* of the drops and waits: because memory was still being prepared */
    guint64 peak_waiting;   /* the most frames committed and not yet written at once */
    guint64 prepared_bytes; /* memory backing the ring so far */
    gint prepare_error;     /* errno of a failed preparation: the ring stays as far as prepared */
    guint n_slots;
    gboolean input_done;
    gboolean aborted;
} RingStatus;

/* Reserves the ring, prepares the first slots (the margin, whatever the ring's size) and starts
 * preparing the next ones. `header_bytes` of room precede each slot's pixels; a ring with
 * `streamed` keeps every frame for the stream too. */
Ring *ring_new (gsize frame_bytes, gsize header_bytes, guint n_slots, gboolean streamed, GError **error);
void ring_free (Ring *ring);

/* The producer's next slot, the same again while the last one was not committed. With `wait`,
 * waits for a free one (and counts the wait); without, counts a dropped frame when none is
 * free. NULL when none, and once the ring is aborted. */
guint8 *ring_begin_write (Ring *ring, gboolean wait);
void ring_commit_write (Ring *ring, gint64 arrival_ns);
/* No more frames are wanted: a producer waiting for a free slot gets NULL, also later. */
void ring_stop_input (Ring *ring);
/* The producer has ended: the writer empties the ring and then gets NULL. */
void ring_finish_input (Ring *ring);
/* The writer has failed: producers get no more slots, the writer no more frames. */
void ring_abort (Ring *ring);

#define RING_NO_DEADLINE G_MAXINT64

/* The writer's next frame: FALSE when there will be none. Waits for one until `deadline_ns`
 * (on record_monotonic_ns ()'s clock), or as long as it takes; `pixels` is NULL when the
 * deadline came first. */
gboolean ring_begin_read (Ring *ring, gint64 deadline_ns, const guint8 **pixels, gint64 *arrival_ns);
void ring_end_read (Ring *ring);

/* A frame handed to the stream: its pixels (the header's room right before them), its slot and
 * its place in the order of committed frames, from 0. */
typedef struct {
    guint8 *pixels;
    guint slot;
    guint64 index;
    gint64 arrival_ns;
} RingFrame;

/* The stream's next frame, as ring_begin_read; the stream holds its slot until
 * ring_release_stream, which any thread may call. */
gboolean ring_take_for_stream (Ring *ring, gint64 deadline_ns, RingFrame *frame);
void ring_release_stream (Ring *ring, guint slot);

/* Waits until the counters differ from `seen` (if given) or `deadline_ns` passes. */
void ring_wait_status (Ring *ring, const RingStatus *seen, gint64 deadline_ns, RingStatus *status);

/* The newest committed frame, or NULL when its slot has been taken again since. For the
 * producer, and for anyone once the producer has ended. */
const guint8 *ring_newest (Ring *ring);

#endif
